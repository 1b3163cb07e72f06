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

// One part into the same byte order. A form that reads as itself keeps its
// bits, so its integers are copied with the padding zeroed: no round trip
// through the processor's 80-bit load and store, which bound a copy.
template <bool Swap>
[[gnu::always_inline]] inline void copy_extended_part(const std::uint8_t* from, std::uint8_t* to) {
  std::uint64_t low, high;  // bytes 0-7 and 8-15
  std::memcpy(&low, from, 8);
  std::memcpy(&high, from + 8, 8);
  // Byte-reversed, the value's 10 bytes are the last ones: its significand is
  // bytes 8-15 and its sign and exponent bytes 6-7.
  const std::uint64_t m = Swap ? __builtin_bswap64(high) : low;
  const auto se = static_cast<std::uint16_t>(Swap ? __builtin_bswap16(static_cast<std::uint16_t>(low >> 48)) : high);
  if (!quarvel_longdouble::reads_as_stored(m, se)) [[unlikely]] {
    store_extended_part<Swap>(to, load_extended_part<Swap>(from));
    return;
  }
  if constexpr (Swap) low &= 0xFFFF000000000000u;
  else high &= 0xFFFFu;
  std::memcpy(to, &low, 8);
  std::memcpy(to + 8, &high, 8);
}

template <class S, class T, bool SwapIn, bool SwapOut>
void convert_one(const std::uint8_t* from, std::uint8_t* to) {
  if constexpr (is_extended_element<S> && std::is_same_v<S, T> && SwapIn == SwapOut) {
    copy_extended_part<SwapIn>(from, to);
    if constexpr (std::is_same_v<S, ComplexExtended>) copy_extended_part<SwapIn>(from + 16, to + 16);
  } else if constexpr (std::is_same_v<S, Extended> && std::is_integral_v<T> && !std::is_same_v<T, bool>) {
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

// The same to an integer target, also telling whether any element's cast is
// invalid (integer_cast_is_invalid): both read from the part's stored bits.
template <class S, class T, bool SwapIn, bool SwapOut>
bool convert_noting_invalid(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                            std::int64_t dst_stride, std::uint64_t n) {
  constexpr FloatRange range = float_range(dtype_of<T>);
  bool invalid = false;
  for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) {
    invalid |= extended_integer_cast_is_invalid<SwapIn>(src, range);
    store_element<T, SwapOut>(dst, load_extended_integer<T, SwapIn>(src));
  }
  return invalid;
}

template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr NotingConvertLoop noting_loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  if constexpr (is_extended_element<S> && std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    return &convert_noting_invalid<S, T, SwapIn, SwapOut && (stored_size<T> > 1)>;
  } else {
    return nullptr;
  }
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
template <class Loop>
using LoopRow = std::array<std::array<Loop, 4>, DType::count>;

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
constexpr std::array<LoopRow<ConvertLoop>, DType::count> loop_table(std::index_sequence<From...>) {
  return {loop_row<From>(std::make_index_sequence<DType::count>{})...};
}
template <std::size_t... From>
constexpr std::array<LoopRow<NotingConvertLoop>, DType::count> noting_loop_table(std::index_sequence<From...>) {
  return {noting_loop_row<From>(std::make_index_sequence<DType::count>{})...};
}

constexpr auto loops = loop_table(std::make_index_sequence<DType::count>{});
constexpr auto noting_loops = noting_loop_table(std::make_index_sequence<DType::count>{});

}  // namespace

ConvertLoop find_extended_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  return loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

NotingConvertLoop find_extended_conversion_noting_invalid(DType from, ByteOrder from_order, DType to,
                                                          ByteOrder to_order) {
  return noting_loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

}  // namespace quarvel_storage
