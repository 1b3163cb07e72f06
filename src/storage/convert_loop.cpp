#include "storage/convert_loop.h"

#include <array>
#include <cstring>

#include "storage/cast.h"
#include "storage/element.h"

namespace quarvel_storage {

namespace {

constexpr std::size_t fixed_count = DType::LongDouble;  // codes 0 .. 13

// Decoding then encoding an element gives its bytes back, except for bool
// (any nonzero byte becomes 1) and float16 (a signalling NaN comes back quiet).
template <class T>
inline constexpr bool bytes_round_trip = !std::is_same_v<T, bool> && !std::is_same_v<T, Half>;

template <class S, class T, bool SwapIn, bool SwapOut>
void convert(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
             std::uint64_t n) {
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  if constexpr (std::is_same_v<S, T> && SwapIn == SwapOut && bytes_round_trip<T>) {
    if (src_stride == in_size && dst_stride == out_size) {
      if (n != 0 && src != dst) std::memmove(dst, src, n * in_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) std::memcpy(dst, src, in_size);
  } else {
    auto one = [](const std::uint8_t* from, std::uint8_t* to) {
      if constexpr (std::is_same_v<T, Half> && !std::is_same_v<S, Half>) {
        // Rounded once to its bits, not to a Half and back to them.
        store_half_bits<SwapOut>(to, half_bits_of(load_element<S, SwapIn>(from)));
      } else {
        store_element<T, SwapOut>(to, cast_element<T>(load_element<S, SwapIn>(from)));
      }
    };
    // The unit-stride form lets the compiler vectorise.
    if (src_stride == in_size && dst_stride == out_size) {
      for (std::uint64_t i = 0; i < n; ++i) one(src + i * in_size, dst + i * out_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) one(src, dst);
  }
}

// One-byte elements have no byte order: their two tags share one loop.
template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr ConvertLoop loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  return &convert<S, T, SwapIn && (stored_size<S> > 1), SwapOut && (stored_size<T> > 1)>;
}

// Indexed [from][to][swap in * 2 + swap out].
using LoopRow = std::array<std::array<ConvertLoop, 4>, fixed_count>;

template <std::size_t From, std::size_t... To>
constexpr LoopRow loop_row(std::index_sequence<To...>) {
  return {{{loop_for<From, To, false, false>(), loop_for<From, To, false, true>(), loop_for<From, To, true, false>(),
            loop_for<From, To, true, true>()}...}};
}

template <std::size_t... From>
constexpr std::array<LoopRow, fixed_count> loop_table(std::index_sequence<From...>) {
  return {loop_row<From>(std::make_index_sequence<fixed_count>{})...};
}

constexpr auto loops = loop_table(std::make_index_sequence<fixed_count>{});

}  // namespace

ConvertLoop find_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return find_extended_conversion(from, from_order, to, to_order);
  return loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

}  // namespace quarvel_storage
