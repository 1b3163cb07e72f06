// Shared pieces of the element kernels: the C++ element type of each fixed-width
// dtype, and integer results computed on 128 bits and wrapped to their width.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <type_traits>

#include "storage/cast.h"
#include "storage/element.h"
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

// The C++ type a kernel computes in for each fixed-width dtype (float16 as
// Half), and the two's-complement reduction of v modulo 2^width read with the
// target's signedness (bool takes v != 0): the storage core's own.
using quarvel_storage::element;
using quarvel_storage::element_t;
using quarvel_storage::wrap_to;

template <class T>
inline constexpr bool is_complex_element = quarvel_storage::is_std_complex<T>;

// Whether T is one of the fixed-width element types, and its dtype.
template <class T>
inline constexpr bool is_fixed_element = quarvel_storage::dtype_of<T>.index() < DType::LongDouble;
template <class T>
  requires is_fixed_element<T>
inline constexpr DType element_dtype = quarvel_storage::dtype_of<T>;

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
