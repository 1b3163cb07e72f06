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
