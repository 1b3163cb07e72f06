// Shared pieces of the element kernels: the C++ element type of each fixed-width
// dtype, and integer results computed on 128 bits and wrapped to their width.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "storage/float16.h"
#include "storage/scalar.h"

namespace quarvel_kernels {

// The storage core's value types, which every kernel takes and returns.
using quarvel_storage::ComplexLongDoubleText;
using quarvel_storage::DType;
using quarvel_storage::ErrorKind;
using quarvel_storage::fail;
using quarvel_storage::Half;
using quarvel_storage::LongDoubleText;
using quarvel_storage::Result;
using quarvel_storage::Scalar;
using quarvel_storage::StorageError;
using quarvel_storage::double_to_half_bits;
using quarvel_storage::float_to_half_bits;
using quarvel_storage::half_bits_to_float;
using quarvel_storage::round_to_half;

using i128 = __int128;
using u128 = unsigned __int128;

// The C++ type a kernel computes in for each fixed-width dtype (float16 as Half).
template <DType::Code C> struct element;
template <> struct element<DType::Bool> { using type = bool; };
template <> struct element<DType::Int8> { using type = std::int8_t; };
template <> struct element<DType::UInt8> { using type = std::uint8_t; };
template <> struct element<DType::Int16> { using type = std::int16_t; };
template <> struct element<DType::UInt16> { using type = std::uint16_t; };
template <> struct element<DType::Int32> { using type = std::int32_t; };
template <> struct element<DType::UInt32> { using type = std::uint32_t; };
template <> struct element<DType::Int64> { using type = std::int64_t; };
template <> struct element<DType::UInt64> { using type = std::uint64_t; };
template <> struct element<DType::Float16> { using type = Half; };
template <> struct element<DType::Float32> { using type = float; };
template <> struct element<DType::Float64> { using type = double; };
template <> struct element<DType::Complex64> { using type = std::complex<float>; };
template <> struct element<DType::Complex128> { using type = std::complex<double>; };
template <DType::Code C> using element_t = typename element<C>::type;

template <class T>
inline constexpr bool is_complex_element = false;
template <class F>
inline constexpr bool is_complex_element<std::complex<F>> = true;

// The dtype code of a fixed-width element type (the inverse of element_t), -1
// for any other type.
template <class T, std::size_t... Codes>
constexpr int element_code_among(std::index_sequence<Codes...>) {
  int code = -1;
  ((std::is_same_v<T, element_t<static_cast<DType::Code>(Codes)>> ? (code = static_cast<int>(Codes)) : 0), ...);
  return code;
}
template <class T>
inline constexpr int element_code = element_code_among<T>(std::make_index_sequence<DType::Complex128 + 1>{});
template <class T>
inline constexpr bool is_fixed_element = element_code<T> >= 0;
template <class T>
  requires is_fixed_element<T>
inline constexpr DType element_dtype = DType::from_index(static_cast<std::size_t>(element_code<T>));

// A float as a conversion to double (and back) leaves it: a signalling NaN
// comes out quiet.
//
//   binary32:  s 11111111 q m(22)    q, the quiet bit, set
//
// Spelled out because the Scalar path converts in one translation unit and
// narrows in another, while here an inlined round trip would fold away.
inline float quieted(float x) {
  return std::isnan(x) ? std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x00400000u) : x;
}

// The double reading of an element's real part (what Scalar::as_f64 gives).
template <class T>
  requires is_fixed_element<T>
double real_reading(T x) {
  if constexpr (std::is_same_v<T, Half>) {
    return quieted(x.value);
  } else if constexpr (std::is_same_v<T, float>) {
    return quieted(x);
  } else if constexpr (std::is_same_v<T, std::complex<float>>) {
    return quieted(x.real());
  } else if constexpr (is_complex_element<T>) {
    return x.real();
  } else {
    return static_cast<double>(x);
  }
}

// A double rounded to a binary float element type, as Scalar::cast rounds it.
template <class F>
F rounded_from_double(double x) {
  if constexpr (std::is_same_v<F, Half>) {
    return Half{round_to_half(x)};
  } else {
    static_assert(std::is_same_v<F, float> || std::is_same_v<F, double>);
    return static_cast<F>(x);
  }
}

// Two's-complement reduction of v modulo 2^width, read with the target's
// signedness. Bool takes v != 0. Only for bool and integer targets.
template <class T>
constexpr T wrap_to(i128 v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v != 0;
  } else {
    return static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<u128>(v)));
  }
}

// A bool or integer Scalar of dtype `out` holding v wrapped to its width.
// `out` must be bool or an integer dtype.
inline Scalar wrapped_scalar(i128 v, DType out) {
  switch (out.code) {
    case DType::Bool: return Scalar(wrap_to<bool>(v));
    case DType::Int8: return Scalar(wrap_to<std::int8_t>(v));
    case DType::UInt8: return Scalar(wrap_to<std::uint8_t>(v));
    case DType::Int16: return Scalar(wrap_to<std::int16_t>(v));
    case DType::UInt16: return Scalar(wrap_to<std::uint16_t>(v));
    case DType::Int32: return Scalar(wrap_to<std::int32_t>(v));
    case DType::UInt32: return Scalar(wrap_to<std::uint32_t>(v));
    case DType::Int64: return Scalar(wrap_to<std::int64_t>(v));
    default: return Scalar(wrap_to<std::uint64_t>(v));
  }
}

// The value of a bool or integer scalar by its own signedness; CannotConvert otherwise.
inline Result<i128> signed_value(const Scalar& value) {
  return std::visit(
      [](const auto& v) -> Result<i128> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>) {
          return static_cast<i128>(v);
        } else {
          return fail(ErrorKind::CannotConvert);
        }
      },
      value.storage());
}

}  // namespace quarvel_kernels
