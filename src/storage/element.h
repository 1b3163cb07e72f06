// The C++ element type of each fixed-width dtype and its stored bytes: the one
// codec that Buffer's element reads and writes and the typed loops share.
//
// Element formats are those of buffer.h; `Swap` is true for the ">" tag. Long
// double and complex long double elements are machine values (extended.h),
// read and written as their text form would be; their Scalars stay text.
#pragma once

#include <bit>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <variant>

#include "storage/dtype.h"
#include "storage/extended.h"
#include "storage/float16.h"
#include "storage/scalar.h"

namespace quarvel_storage {

// The C++ type each dtype is computed in (float16 as Half, the long double
// types as Extended and ComplexExtended); for a fixed-width dtype also the
// Scalar variant alternative of that dtype.
template <DType::Code C>
struct element {
  using type = std::conditional_t<
      C == DType::LongDouble, Extended,
      std::conditional_t<C == DType::ComplexLongDouble, ComplexExtended, std::variant_alternative_t<C, Scalar::Storage>>>;
};
template <DType::Code C>
using element_t = typename element<C>::type;

// The dtype of an element type (its index in the Scalar variant for the
// fixed-width ones).
template <class T>
inline constexpr DType dtype_of = [] {
  if constexpr (std::is_same_v<T, Extended>) {
    return DType(DType::LongDouble);
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    return DType(DType::ComplexLongDouble);
  } else {
    return []<class... Ts>(std::type_identity<std::variant<Ts...>>) {
      std::size_t i = 0;
      ((std::is_same_v<T, Ts> ? false : (++i, true)) && ...);
      return DType::from_index(i);
    }(std::type_identity<Scalar::Storage>{});
  }
}();

template <class T>
inline constexpr bool is_std_complex = false;
template <class F>
inline constexpr bool is_std_complex<std::complex<F>> = true;

// The binary float element types, float16 included.
template <class T>
inline constexpr bool is_float_element = std::is_floating_point_v<T> || std::is_same_v<T, Half>;

// Bytes one element of T occupies in a buffer.
template <class T>
inline constexpr std::size_t stored_size = std::is_same_v<T, Half> ? 2 : sizeof(T);

// Whether the tag makes reads and writes swap bytes.
constexpr bool swaps(ByteOrder order) { return order == ByteOrder::Big; }

namespace element_detail {

template <class U, bool Swap>
U load_bits(const std::uint8_t* p) {
  U v;
  std::memcpy(&v, p, sizeof(U));
  if constexpr (Swap && sizeof(U) > 1) v = std::byteswap(v);
  return v;
}

template <class U, bool Swap>
void store_bits(std::uint8_t* p, U v) {
  if constexpr (Swap && sizeof(U) > 1) v = std::byteswap(v);
  std::memcpy(p, &v, sizeof(U));
}

template <std::size_t Size>
using unsigned_of_size = std::conditional_t<
    Size == 1, std::uint8_t,
    std::conditional_t<Size == 2, std::uint16_t, std::conditional_t<Size == 4, std::uint32_t, std::uint64_t>>>;

template <class F, bool Swap>
F load_float(const std::uint8_t* p) {
  return std::bit_cast<F>(load_bits<unsigned_of_size<sizeof(F)>, Swap>(p));
}

template <class F, bool Swap>
void store_float(std::uint8_t* p, F v) {
  store_bits<unsigned_of_size<sizeof(F)>, Swap>(p, std::bit_cast<unsigned_of_size<sizeof(F)>>(v));
}

}  // namespace element_detail

// One element of T from its bytes: bool reads any nonzero byte as true;
// complex parts are swapped each alone.
template <class T, bool Swap>
[[gnu::always_inline]] inline T load_element(const std::uint8_t* p) {
  using namespace element_detail;
  if constexpr (std::is_same_v<T, Extended>) {
    return Extended{load_extended_part<Swap>(p)};
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    return ComplexExtended{load_extended_part<Swap>(p), load_extended_part<Swap>(p + 16)};
  } else if constexpr (std::is_same_v<T, bool>) {
    return p[0] != 0;
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<T>(load_bits<std::make_unsigned_t<T>, Swap>(p));
  } else if constexpr (std::is_same_v<T, Half>) {
    return Half{half_bits_to_float(load_bits<std::uint16_t, Swap>(p))};
  } else if constexpr (std::is_floating_point_v<T>) {
    return load_float<T, Swap>(p);
  } else {
    static_assert(is_std_complex<T>);
    using F = typename T::value_type;
    return T(load_float<F, Swap>(p), load_float<F, Swap>(p + sizeof(F)));
  }
}

// A float16 element from its bits.
template <bool Swap>
void store_half_bits(std::uint8_t* p, std::uint16_t bits) {
  element_detail::store_bits<std::uint16_t, Swap>(p, bits);
}

// Its bytes: bool as 0/1.
template <class T, bool Swap>
[[gnu::always_inline]] inline void store_element(std::uint8_t* p, const T& v) {
  using namespace element_detail;
  if constexpr (std::is_same_v<T, Extended>) {
    store_extended_part<Swap>(p, v.value);
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    store_extended_part<Swap>(p, v.re);
    store_extended_part<Swap>(p + 16, v.im);
  } else if constexpr (std::is_same_v<T, bool>) {
    p[0] = v ? 1 : 0;
  } else if constexpr (std::is_integral_v<T>) {
    store_bits<std::make_unsigned_t<T>, Swap>(p, static_cast<std::make_unsigned_t<T>>(v));
  } else if constexpr (std::is_same_v<T, Half>) {
    store_half_bits<Swap>(p, float_to_half_bits(v.value));
  } else if constexpr (std::is_floating_point_v<T>) {
    store_float<T, Swap>(p, v);
  } else {
    static_assert(is_std_complex<T>);
    using F = typename T::value_type;
    store_float<F, Swap>(p, v.real());
    store_float<F, Swap>(p + sizeof(F), v.imag());
  }
}

// The same with the tag known only at run time.
template <class T>
T load_element(const std::uint8_t* p, ByteOrder order) {
  return swaps(order) ? load_element<T, true>(p) : load_element<T, false>(p);
}
template <class T>
void store_element(std::uint8_t* p, const T& v, ByteOrder order) {
  swaps(order) ? store_element<T, true>(p, v) : store_element<T, false>(p, v);
}

namespace element_detail {

// body(std::type_identity<T>{}) for the element type of one of the first
// `Count` dtypes: one table lookup, the typed work inside `body`.
template <std::size_t Count, class Body>
decltype(auto) with_element_type_among(DType dtype, Body& body) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) -> decltype(auto) {
    using R = decltype(body(std::type_identity<bool>{}));
    using Call = R (*)(Body&);
    static constexpr Call calls[] = {
        +[](Body& b) -> R { return b(std::type_identity<element_t<static_cast<DType::Code>(I)>>{}); }...};
    return calls[dtype.index()](body);
  }(std::make_index_sequence<Count>{});
}

}  // namespace element_detail

// Calls `body(std::type_identity<T>{})` with the element type of a fixed-width
// dtype and returns its result: one dispatch per call, the typed work inside
// `body`. Long double dtypes must not reach it.
template <class Body>
decltype(auto) with_element_type(DType dtype, Body&& body) {
  return element_detail::with_element_type_among<DType::LongDouble>(dtype, body);
}

// The same over all sixteen dtypes: the long double ones give `body`
// Extended and ComplexExtended.
template <class Body>
decltype(auto) with_any_element_type(DType dtype, Body&& body) {
  return element_detail::with_element_type_among<DType::count>(dtype, body);
}

// An element of T from a Scalar of its dtype: the long double types parse
// their text (CannotConvert when it does not read whole, as encoding it
// would fail); the others take the value as it is.
template <class T>
Result<T> element_from_scalar(const Scalar& value) {
  if constexpr (std::is_same_v<T, Extended>) {
    auto x = extended_from_text(value.get<LongDoubleText>().text);
    if (!x) return fail(x.error());
    return Extended{*x};
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    const auto& texts = value.get<ComplexLongDoubleText>();
    auto re = extended_from_text(texts.re);
    if (!re) return fail(re.error());
    auto im = extended_from_text(texts.im);
    if (!im) return fail(im.error());
    return ComplexExtended{*re, *im};
  } else {
    return value.get<T>();
  }
}

// A Scalar holding an element: the long double types as the text a stored
// element decodes to.
template <class T>
Scalar scalar_from_element(const T& v) {
  if constexpr (std::is_same_v<T, Extended>) {
    return Scalar::long_double(extended_text(v.value));
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    return Scalar::complex_long_double(extended_text(v.re), extended_text(v.im));
  } else {
    return Scalar(v);
  }
}

}  // namespace quarvel_storage
