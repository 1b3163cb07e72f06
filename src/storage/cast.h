// The cast rules of the fixed-width element types, written once: Scalar::cast
// and the typed conversion loops both call these templates, so they give the
// same bits.
//
//   to bool       nonzero (either part of a complex value)
//   to integer    integers wrap modulo 2^width; floats truncate toward zero,
//                 saturate at integer_range (NaN gives 0), then wrap
//   to float      through double: float16 rounds once from the double
//   to complex    through complex<double>; a real value gets a zero imaginary part
//   complex to real keeps the real part
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <type_traits>
#include <variant>

#include "storage/element.h"

namespace quarvel_storage {

// The range [lo, hi) in which a float-to-integer cast is faithful. It is also
// where values saturate: the 8- and 16-bit targets saturate at the 32-bit
// range and then wrap, the wider ones saturate at their own range.
struct IntegerRange {
  __int128 lo;
  __int128 hi;
};

constexpr IntegerRange integer_range(DType target) {
  constexpr __int128 one = 1;
  switch (target.code) {
    case DType::UInt32: return {0, one << 32};
    case DType::Int64: return {-(one << 63), one << 63};
    case DType::UInt64: return {0, one << 64};
    default: return {-(one << 31), one << 31};  // Int8 .. Int32
  }
}

// v reduced modulo 2^width and read with T's signedness; bool takes v != 0.
template <class T>
constexpr T wrap_to(__int128 v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v != 0;
  } else {
    return static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<unsigned __int128>(v)));
  }
}

// NaN and both saturation ends are settled around the conversion, which only
// ever sees a value inside the range: that fits a 64-bit integer of the
// range's signedness (outside it the conversion would be undefined). Selects,
// not branches, so loops over many elements stay straight.
template <class T>
T float_to_integer(double x) {
  constexpr IntegerRange r = integer_range(dtype_of<T>);
  constexpr double lo = static_cast<double>(r.lo), hi = static_cast<double>(r.hi);
  const double inside = (x > lo && x < hi) ? x : lo;
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    std::uint64_t v = static_cast<std::uint64_t>(inside);
    v = x >= hi ? ~std::uint64_t{0} : v;
    return x != x ? 0 : v;
  } else {
    std::int64_t v = static_cast<std::int64_t>(inside);
    v = x >= hi ? static_cast<std::int64_t>(r.hi - 1) : v;
    return wrap_to<T>(x != x ? 0 : v);
  }
}

template <class S>
bool element_truthy(const S& v) {
  if constexpr (std::is_same_v<S, Half>) {
    return v.value != 0;
  } else if constexpr (is_std_complex<S>) {
    return v.real() != 0 || v.imag() != 0;
  } else {
    return v != 0;
  }
}

// The real part as a double: exact except for 64-bit integers, which round
// to nearest even.
template <class S>
double real_as_double(const S& v) {
  if constexpr (std::is_same_v<S, Half>) {
    return v.value;
  } else if constexpr (is_std_complex<S>) {
    return v.real();
  } else {
    return static_cast<double>(v);
  }
}

template <class S>
std::complex<double> as_complex_double(const S& v) {
  if constexpr (is_std_complex<S>) {
    return {v.real(), v.imag()};
  } else {
    return {real_as_double(v), 0.0};
  }
}

// The bits of v cast to float16: rounded once from its double. Stored as
// they are, they are what storing cast_element<Half>(v) writes.
template <class S>
std::uint16_t half_bits_of(const S& v) {
  return double_to_half_bits(real_as_double(v));
}

template <class T, class S>
T cast_element(const S& v) {
  if constexpr (std::is_same_v<T, S>) {
    return v;
  } else if constexpr (std::is_same_v<T, bool>) {
    return element_truthy(v);
  } else if constexpr (std::is_integral_v<T>) {  // bool is settled above
    if constexpr (std::is_integral_v<S>) {
      return wrap_to<T>(static_cast<__int128>(v));
    } else {
      return float_to_integer<T>(real_as_double(v));
    }
  } else if constexpr (is_std_complex<T>) {
    using F = typename T::value_type;
    const std::complex<double> z = as_complex_double(v);
    return T(static_cast<F>(z.real()), static_cast<F>(z.imag()));
  } else if constexpr (std::is_same_v<T, Half>) {
    return Half{half_bits_to_float(half_bits_of(v))};
  } else {
    return static_cast<T>(real_as_double(v));
  }
}

// The same range in doubles, for checks run on every element: a value is
// below it once it is at most `below`, the largest double at most lo - 1
// (truncation toward zero brings anything above that back to lo).
struct FloatRange {
  double below;
  double hi;
};

constexpr FloatRange float_range(DType target) {
  const IntegerRange r = integer_range(target);
  double below = static_cast<double>(r.lo - 1);
  // -2^63 - 1 rounds up to -2^63: step down one spacing (below is a power of two there).
  while (static_cast<__int128>(below) > r.lo - 1) below += below * 0x1p-52;
  return {below, static_cast<double>(r.hi)};
}

// Whether a float-to-integer cast of v leaves the range in which it is
// faithful (non-finite values included); never for bool and integer sources.
// Branch-free, so scans over many elements vectorise.
template <class S>
bool integer_cast_is_invalid(const S& v, const FloatRange& range) {
  if constexpr (is_float_element<S> || is_std_complex<S>) {
    const double x = real_as_double(v);
    return std::isnan(x) | (x >= range.hi) | (x <= range.below);
  } else {
    return false;
  }
}

// Whether a cast carried a finite part of the value `from` to an infinite
// part of its result `to`: the overflow of a cast to a narrower float.
inline bool cast_overflowed(std::complex<double> from, std::complex<double> to) {
  return (std::isfinite(from.real()) & std::isinf(to.real())) | (std::isfinite(from.imag()) & std::isinf(to.imag()));
}

template <class S>
bool integer_cast_is_invalid(const S& v, DType target) {
  return target.is_integer() && integer_cast_is_invalid(v, float_range(target));
}

}  // namespace quarvel_storage
