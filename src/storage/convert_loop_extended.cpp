// Typed conversion loops to and from long double and complex long double:
// the bits of decode -> Scalar::cast -> encode (their text rules, cast.h),
// without the text.
#include <array>
#include <cstring>

#include "storage/cast.h"
#include "storage/convert_loop.h"
#include "storage/element.h"

namespace quarvel_storage {

namespace {

// Targets that read the source through its double.
template <class T>
inline constexpr bool reads_double =
    std::is_same_v<T, Half> || std::is_same_v<T, float> || std::is_same_v<T, double> || is_std_complex<T>;

template <class S, class T, bool SwapIn, bool SwapOut>
void convert_one(const std::uint8_t* from, std::uint8_t* to) {
  if constexpr (std::is_same_v<S, Extended> && std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    store_element<T, SwapOut>(to, load_extended_integer<T, SwapIn>(from));
  } else if constexpr (std::is_same_v<S, Extended> && reads_double<T>) {
    // The double reading straight from the stored bits.
    const double x = load_extended_double<SwapIn>(from);
    if constexpr (std::is_same_v<T, Half>) {
      store_half_bits<SwapOut>(to, half_bits_of(x));
    } else {
      store_element<T, SwapOut>(to, cast_element<T>(x));
    }
  } else if constexpr (std::is_same_v<T, Half>) {
    // Rounded once to its bits, not to a Half and back to them.
    store_half_bits<SwapOut>(to, half_bits_of(load_element<S, SwapIn>(from)));
  } else {
    store_element<T, SwapOut>(to, cast_element<T>(load_element<S, SwapIn>(from)));
  }
}

template <class S, class T, bool SwapIn, bool SwapOut>
void convert(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
             std::uint64_t n) {
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  if (src_stride == in_size && dst_stride == out_size) {
    for (std::uint64_t i = 0; i < n; ++i) convert_one<S, T, SwapIn, SwapOut>(src + i * in_size, dst + i * out_size);
    return;
  }
  for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride)
    convert_one<S, T, SwapIn, SwapOut>(src, dst);
}

template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr ConvertLoop loop_for() {
  constexpr DType from = DType::from_index(From), to = DType::from_index(To);
  if constexpr (!from.is_long_double() && !to.is_long_double()) {
    return nullptr;
  } else {
    using S = element_t<static_cast<DType::Code>(From)>;
    using T = element_t<static_cast<DType::Code>(To)>;
    // One-byte elements have no byte order: their two tags share one loop.
    return &convert<S, T, SwapIn && (stored_size<S> > 1), SwapOut && (stored_size<T> > 1)>;
  }
}

// Indexed [from][to][swap in * 2 + swap out]; null where neither side is long double.
using LoopRow = std::array<std::array<ConvertLoop, 4>, DType::count>;

template <std::size_t From, std::size_t... To>
constexpr LoopRow loop_row(std::index_sequence<To...>) {
  return {{{loop_for<From, To, false, false>(), loop_for<From, To, false, true>(), loop_for<From, To, true, false>(),
            loop_for<From, To, true, true>()}...}};
}

template <std::size_t... From>
constexpr std::array<LoopRow, DType::count> loop_table(std::index_sequence<From...>) {
  return {loop_row<From>(std::make_index_sequence<DType::count>{})...};
}

constexpr auto loops = loop_table(std::make_index_sequence<DType::count>{});

}  // namespace

ConvertLoop find_extended_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  return loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

}  // namespace quarvel_storage
