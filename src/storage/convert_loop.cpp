#include "storage/convert_loop.h"

#include <algorithm>
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

// Float16 on either side goes through chunks of floats or doubles that the
// many-element conversions of float16.h take at once. A value exact in single
// precision (float16, float32, integers of at most 16 bits) rounds to half
// from the float; any other from its double, as half_bits_of rounds it.
template <class T>
inline constexpr bool exact_in_float =
    std::is_same_v<T, Half> || std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>> ||
    (std::is_integral_v<T> && sizeof(T) <= 2);

constexpr std::size_t half_chunk = 256;

// With `noting_invalid` (a float16 source, an integer target), also whether
// any element's cast is invalid (see convert_noting_invalid).
template <class S, class T, bool SwapIn, bool SwapOut, bool noting_invalid = false>
bool convert_half(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
                  std::uint64_t n) {
  bool invalid = false;
  std::uint16_t bits[half_chunk];
  for (std::uint64_t done = 0; done < n; done += half_chunk) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(half_chunk, n - done));
    const std::uint8_t* from = src + static_cast<std::int64_t>(done) * src_stride;
    std::uint8_t* to = dst + static_cast<std::int64_t>(done) * dst_stride;
    if constexpr (std::is_same_v<S, Half>) {
      float values[half_chunk];
      for (std::size_t i = 0; i < count; ++i)
        bits[i] = element_detail::load_bits<std::uint16_t, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride);
      halves_to_floats(bits, values, count);
      if constexpr (std::is_same_v<T, Half>) {
        floats_to_halves(values, bits, count);
      } else {
        for (std::size_t i = 0; i < count; ++i) {
          if constexpr (noting_invalid) invalid |= integer_cast_is_invalid(Half{values[i]}, float_range(dtype_of<T>));
          store_element<T, SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, cast_element<T>(Half{values[i]}));
        }
        continue;
      }
    } else if constexpr (exact_in_float<S>) {
      float values[half_chunk];
      for (std::size_t i = 0; i < count; ++i)
        values[i] = static_cast<float>(real_as_double(load_element<S, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride)));
      floats_to_halves(values, bits, count);
    } else {
      double values[half_chunk];
      for (std::size_t i = 0; i < count; ++i)
        values[i] = real_as_double(load_element<S, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride));
      doubles_to_halves(values, bits, count);
    }
    for (std::size_t i = 0; i < count; ++i)
      store_half_bits<SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, bits[i]);
  }
  return invalid;
}

template <class S, class T, bool SwapIn, bool SwapOut>
void convert(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
             std::uint64_t n) {
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  if constexpr (std::is_same_v<S, Half> || std::is_same_v<T, Half>) {
    convert_half<S, T, SwapIn, SwapOut>(src, src_stride, dst, dst_stride, n);
  } else if constexpr (std::is_same_v<S, T> && SwapIn == SwapOut && bytes_round_trip<T>) {
    if (src_stride == in_size && dst_stride == out_size) {
      if (n != 0 && src != dst) std::memmove(dst, src, n * in_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) std::memcpy(dst, src, in_size);
  } else {
    auto one = [](const std::uint8_t* from, std::uint8_t* to) {
      store_element<T, SwapOut>(to, cast_element<T>(load_element<S, SwapIn>(from)));
    };
    // The unit-stride form lets the compiler vectorise.
    if (src_stride == in_size && dst_stride == out_size) {
      for (std::uint64_t i = 0; i < n; ++i) one(src + i * in_size, dst + i * out_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) one(src, dst);
  }
}

// The same for a float or complex source and an integer target, also telling
// whether any element's cast left the range in which it is faithful: the test
// rides along in the converting pass, branch-free.
template <class S, class T, bool SwapIn, bool SwapOut>
bool convert_noting_invalid(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                            std::int64_t dst_stride, std::uint64_t n) {
  constexpr FloatRange range = float_range(dtype_of<T>);
  if constexpr (std::is_same_v<S, Half>) {
    return convert_half<S, T, SwapIn, SwapOut, true>(src, src_stride, dst, dst_stride, n);
  } else {
    constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
    bool invalid = false;
    auto one = [&invalid, &range](const std::uint8_t* from, std::uint8_t* to) {
      const S v = load_element<S, SwapIn>(from);
      invalid |= integer_cast_is_invalid(v, range);
      store_element<T, SwapOut>(to, cast_element<T>(v));
    };
    if (src_stride == in_size && dst_stride == out_size) {
      for (std::uint64_t i = 0; i < n; ++i) one(src + i * in_size, dst + i * out_size);
      return invalid;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) one(src, dst);
    return invalid;
  }
}

// One-byte elements have no byte order: their two tags share one loop.
template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr ConvertLoop loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  return &convert<S, T, SwapIn && (stored_size<S> > 1), SwapOut && (stored_size<T> > 1)>;
}

template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr NotingConvertLoop noting_loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  if constexpr ((is_float_element<S> || is_std_complex<S>) && std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    return &convert_noting_invalid<S, T, SwapIn && (stored_size<S> > 1), SwapOut && (stored_size<T> > 1)>;
  } else {
    return nullptr;
  }
}

// Indexed [from][to][swap in * 2 + swap out].
template <class Loop>
using LoopRow = std::array<std::array<Loop, 4>, fixed_count>;

template <std::size_t From, std::size_t... To>
constexpr LoopRow<ConvertLoop> loop_row(std::index_sequence<To...>) {
  return {{{loop_for<From, To, false, false>(), loop_for<From, To, false, true>(), loop_for<From, To, true, false>(),
            loop_for<From, To, true, true>()}...}};
}
template <std::size_t From, std::size_t... To>
constexpr LoopRow<NotingConvertLoop> noting_loop_row(std::index_sequence<To...>) {
  return {{{noting_loop_for<From, To, false, false>(), noting_loop_for<From, To, false, true>(),
            noting_loop_for<From, To, true, false>(), noting_loop_for<From, To, true, true>()}...}};
}

template <std::size_t... From>
constexpr std::array<LoopRow<ConvertLoop>, fixed_count> loop_table(std::index_sequence<From...>) {
  return {loop_row<From>(std::make_index_sequence<fixed_count>{})...};
}
template <std::size_t... From>
constexpr std::array<LoopRow<NotingConvertLoop>, fixed_count> noting_loop_table(std::index_sequence<From...>) {
  return {noting_loop_row<From>(std::make_index_sequence<fixed_count>{})...};
}

constexpr auto loops = loop_table(std::make_index_sequence<fixed_count>{});
constexpr auto noting_loops = noting_loop_table(std::make_index_sequence<fixed_count>{});

}  // namespace

ConvertLoop find_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return nullptr;
  return loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

NotingConvertLoop find_conversion_noting_invalid(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return nullptr;
  return noting_loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

}  // namespace quarvel_storage
