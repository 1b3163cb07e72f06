// Element forms of the one-input operations that the unary dispatch handles
// itself: integer negation, squaring, magnitude, reciprocal, inversion and bit
// count, sign, modf, frexp and the classification predicates.
//
// Integer results are computed on the 128-bit integer view of the input (bool
// 0 or 1, signed sign-extended, unsigned zero-extended) and wrapped to the
// output width by the caller (`wrap_to`, `wrapped_scalar`); the Scalar
// dispatch in unary.cpp and a typed loop call the same functions.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

#include "kernels/element.h"

namespace quarvel_kernels {

// ---- integers --------------------------------------------------------------

template <class T>
constexpr i128 integer_view(T x) {
  return static_cast<i128>(x);
}

// The input's own bits, zero-extended: what "invert" complements.
template <class T>
constexpr u128 zero_extended_bits(T x) {
  if constexpr (std::is_same_v<T, bool>) {
    return x ? 1 : 0;
  } else {
    return static_cast<u128>(static_cast<std::make_unsigned_t<T>>(x));
  }
}

constexpr i128 negate_integer(i128 v) { return -v; }
// Low 128 bits of v * v: the unsigned product wraps where the signed one would overflow.
constexpr i128 square_integer(i128 v) { return static_cast<i128>(static_cast<u128>(v) * static_cast<u128>(v)); }
constexpr i128 magnitude_integer(i128 v) { return v < 0 ? -v : v; }
// Only 1 and -1 have integer reciprocals; every other value, 0 included, gives 0.
constexpr i128 reciprocal_integer(i128 v, bool signed_output) {
  if (signed_output) return v == 1 || v == -1 ? v : 0;
  return v == 1 ? 1 : 0;
}
constexpr i128 invert_integer(u128 bits) { return static_cast<i128>(~bits); }
// One bits of the magnitude: int8 -1 counts 1, int8 -128 counts 1.
constexpr i128 count_one_bits(i128 v) {
  const u128 m = static_cast<u128>(magnitude_integer(v));
  return std::popcount(static_cast<std::uint64_t>(m)) + std::popcount(static_cast<std::uint64_t>(m >> 64));
}

template <class Out, class In>
constexpr Out negative_element(In x) {
  return wrap_to<Out>(negate_integer(integer_view(x)));
}
template <class Out, class In>
constexpr Out square_element(In x) {
  return wrap_to<Out>(square_integer(integer_view(x)));
}
template <class Out, class In>
constexpr Out absolute_element(In x) {
  return wrap_to<Out>(magnitude_integer(integer_view(x)));
}
template <class Out, class In>
constexpr Out reciprocal_element(In x) {
  return wrap_to<Out>(reciprocal_integer(integer_view(x), std::is_signed_v<Out>));
}
template <class Out, class In>
constexpr Out invert_element(In x) {
  if constexpr (std::is_same_v<Out, bool>) {
    return !(x != 0);
  } else {
    return wrap_to<Out>(invert_integer(zero_extended_bits(x)));
  }
}
template <class Out, class In>
constexpr Out bitwise_count_element(In x) {
  return wrap_to<Out>(count_one_bits(integer_view(x)));
}

// ---- floats ----------------------------------------------------------------

// NaN stays that NaN, both zeros give +0, everything else +-1.
template <class F>
F sign_real(F x) {
  if (std::isnan(x)) return x;
  if (x == 0) return F(0);
  return std::copysign(F(1), x);
}

// z / |z|, with the direction of an infinite part where only one is infinite.
// Finite parts whose magnitude overflows, or is subnormal (and so has lost
// digits), are scaled by a power of two first.
template <class F>
std::complex<F> sign_complex(std::complex<F> z) {
  using limits = std::numeric_limits<F>;
  const F re = z.real(), im = z.imag();
  const F m = std::hypot(re, im);
  const F nan = limits::quiet_NaN();
  if (std::isnan(m)) return {nan, nan};
  if (m == 0) return {F(0), F(0)};
  if (std::isinf(m)) {
    if (std::isinf(re) && std::isinf(im)) return {nan, nan};
    if (std::isinf(re)) return {std::copysign(F(1), re), F(0)};
    if (std::isinf(im)) return {F(0), std::copysign(F(1), im)};
    return sign_complex(std::complex<F>(re / 2, im / 2));
  }
  if (m < limits::min()) {
    const F scale = std::ldexp(F(1), limits::digits + 1);
    return sign_complex(std::complex<F>(re * scale, im * scale));
  }
  return {re / m, im / m};
}

template <class F>
F complex_magnitude(std::complex<F> z) {
  return std::hypot(z.real(), z.imag());
}

// (fractional part, integral part). A whole x (infinities included) has a
// fractional zero of its own sign.
template <class F>
std::pair<F, F> modf_parts(F x) {
  const F integral = std::trunc(x);
  const F fractional = x == integral ? std::copysign(F(0), x) : x - integral;
  return {fractional, integral};
}

template <class F>
struct FrexpFormat;
// binary64:  s eeeeeeeeeee m(52)
template <>
struct FrexpFormat<double> {
  using Bits = std::uint64_t;
  static constexpr int mantissa_bits = 52;
  static constexpr int bias_below_half = 1022;  // exponent field of [0.5, 1)
  static constexpr double subnormal_scale = 18014398509481984.0;  // 2^54
  static constexpr int subnormal_shift = 54;
};
// binary32:  s eeeeeeee m(23)
template <>
struct FrexpFormat<float> {
  using Bits = std::uint32_t;
  static constexpr int mantissa_bits = 23;
  static constexpr int bias_below_half = 126;
  static constexpr float subnormal_scale = 33554432.0f;  // 2^25
  static constexpr int subnormal_shift = 25;
};

// x = mantissa * 2^exponent with |mantissa| in [0.5, 1); zero, infinities and
// NaN give (x, 0). Subnormals are scaled into the normal range first.
template <class F>
std::pair<F, std::int32_t> frexp_parts(F x) {
  using Format = FrexpFormat<F>;
  using Bits = typename Format::Bits;
  if (x == 0 || !std::isfinite(x)) return {x, 0};
  constexpr int shift = Format::mantissa_bits;
  constexpr Bits exponent_mask = (std::numeric_limits<Bits>::max() >> 1) >> shift << shift;
  std::int32_t adjust = 0;
  Bits bits = std::bit_cast<Bits>(x);
  if ((bits & exponent_mask) == 0) {
    bits = std::bit_cast<Bits>(x * Format::subnormal_scale);
    adjust = -Format::subnormal_shift;
  }
  const auto biased = static_cast<std::int32_t>((bits & exponent_mask) >> shift);
  const Bits mantissa = (bits & ~exponent_mask) | (static_cast<Bits>(Format::bias_below_half) << shift);
  return {std::bit_cast<F>(mantissa), biased - Format::bias_below_half + adjust};
}

// ---- predicates on fixed-width elements ------------------------------------

// Whether a float part of x passes `test`: never for bool and integers,
// either part for complex values.
template <class T, class Test>
bool any_float_part(T x, Test test) {
  if constexpr (std::is_integral_v<T>) {
    return false;
  } else if constexpr (std::is_same_v<T, Half>) {
    return test(x.value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return test(x);
  } else {
    return test(x.real()) | test(x.imag());  // no branch: a loop of them vectorises
  }
}

template <class T>
bool element_is_nan(T x) {
  return any_float_part(x, [](auto v) { return std::isnan(v); });
}

template <class T>
bool element_is_infinite(T x) {
  return any_float_part(x, [](auto v) { return std::isinf(v); });
}

template <class T>
bool element_is_finite(T x) {
  return !(element_is_nan(x) | element_is_infinite(x));
}

// Nonzero, NaN included; either part of a complex value.
template <class T>
bool element_is_truthy(T x) {
  if constexpr (std::is_integral_v<T>) {
    return x != 0;
  } else if constexpr (std::is_same_v<T, Half>) {
    return x.value != 0;
  } else if constexpr (std::is_floating_point_v<T>) {
    return x != 0;
  } else {
    return (x.real() != 0) | (x.imag() != 0);
  }
}

}  // namespace quarvel_kernels
