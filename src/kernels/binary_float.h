// Two-input float and complex kernels in single and double precision.
//
// Each formula is one template over float and double. A typed loop resolves
// its Op to a function pointer once (`real_binary_f32`, ...; null when the Op
// has no such form) and calls it per element; the Scalar dispatch in binary.cpp
// calls the same functions, so both give identical bits. None of these raise
// or record floating-point faults: callers classify the results.
#pragma once

#include <cmath>
#include <complex>
#include <limits>
#include <string_view>

#include "kernels/binary.h"
#include "kernels/element.h"
#include "kernels/ops.h"
#include "storage/scalar.h"

namespace quarvel_kernels {

template <class T>
using BinaryFunction = T (*)(T, T);

// The four arithmetic operations, inlined by a typed loop; the tables below
// hand out the same functions.
//
// Of two NaN operands the processor returns the one it is handed first, and
// a compiler may hand a sum's or a product's operands over in either order:
// so a NaN second operand is combined with itself, which returns it quieted
// wherever the formula is compiled. The choice falls on the second operand
// and on an operand rather than a result: a running sum's chain then waits
// for no test (a fold tests its next operand aside), and a loop evaluates no
// arithmetic on a branch not taken (which would keep it from vectorising).
template <Op op>
inline constexpr bool is_real_arithmetic =
    op == Op::add || op == Op::subtract || op == Op::multiply || op == Op::divide;
template <Op op, class F>
  requires is_real_arithmetic<op>
F real_arithmetic(F a, F b) {
  if constexpr (op == Op::subtract) {
    return a - b;
  } else if constexpr (op == Op::divide) {
    return a / b;
  } else {
    F first = a;
    if (std::isnan(b)) [[unlikely]]
      first = b;
    return op == Op::add ? first + b : first * b;
  }
}

// maximum and minimum propagate a NaN operand (the first) and settle a tie of
// zeros on b; fmax and fmin skip a NaN operand and settle that tie on a.
// Selects, so a loop of them vectorises; inlined by a typed loop, handed out
// by the tables below.
template <Op op>
inline constexpr bool is_real_extreme = op == Op::maximum || op == Op::minimum || op == Op::fmax || op == Op::fmin;
template <Op op, class F>
  requires is_real_extreme<op>
F real_extreme(F a, F b) {
  constexpr bool larger = op == Op::maximum || op == Op::fmax;
  F r = (larger ? b <= a : a <= b) ? a : b;
  if constexpr (op == Op::maximum || op == Op::minimum) {
    r = (a == 0) & (b == 0) ? b : r;
    r = std::isnan(b) ? b : r;
    return std::isnan(a) ? a : r;
  } else {
    r = (a == 0) & (b == 0) ? a : r;
    r = std::isnan(a) ? b : r;
    return std::isnan(b) ? a : r;
  }
}

// The two-input real forms a typed loop inlines.
template <Op op>
inline constexpr bool is_inline_real_binary = is_real_arithmetic<op> || is_real_extreme<op>;
template <Op op, class F>
  requires is_inline_real_binary<op>
[[gnu::always_inline]] inline F inline_real_binary(F a, F b) {
  if constexpr (is_real_extreme<op>) {
    return real_extreme<op>(a, b);
  } else {
    return real_arithmetic<op>(a, b);
  }
}

// The complex arithmetic a typed loop inlines; the tables below hand out the
// same. Sums and differences go part by part (a sum's parts as the real sum
// takes them); the product is the plain formula, with no recovery of
// infinities from NaN parts.
template <Op op>
inline constexpr bool is_complex_arithmetic = is_real_arithmetic<op> || op == Op::maximum || op == Op::minimum ||
                                              op == Op::fmax || op == Op::fmin;

template <class F> std::complex<F> complex_divide(std::complex<F> a, std::complex<F> b);

// The product's formula, each product and the sum taking a NaN second
// operand for both of theirs (as real_arithmetic does): which NaN a part
// carries, and its sign, then follow from the formula alone, not from the
// order a compiler hands operands over in, so every loop inlines it.
template <class F>
[[gnu::always_inline]] inline std::complex<F> complex_product_formula(std::complex<F> a, std::complex<F> b) {
  const F ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  return {real_arithmetic<Op::subtract>(real_arithmetic<Op::multiply>(ar, br), real_arithmetic<Op::multiply>(ai, bi)),
          real_arithmetic<Op::add>(real_arithmetic<Op::multiply>(ar, bi), real_arithmetic<Op::multiply>(ai, br))};
}

// The quotient of the formula and whether complex_divide keeps it: finite
// parts, a divisor whose squared magnitude d is normal, and numerator parts
// that lost nothing to an overflowed or underflowed product (see
// complex_divide). Branch-free, so loops of them vectorise.
template <class F>
[[gnu::always_inline]] inline bool plain_quotient(std::complex<F> a, std::complex<F> b, std::complex<F>& q) {
  const F ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  const F d = bi * bi + br * br;
  const F nr = ar * br + ai * bi, ni = ai * br - ar * bi;
  q = {nr / d, ni / d};
  auto finite = [](F x) { return std::fabs(x) <= std::numeric_limits<F>::max(); };
  auto normal = [](F x) {
    return (std::fabs(x) >= std::numeric_limits<F>::min()) & (std::fabs(x) <= std::numeric_limits<F>::max());
  };
  auto underflowed = [&](F x, F y) { return (x != 0) & (y != 0) & !normal(x * y); };
  auto kept = [&](F n, F x1, F y1, F x2, F y2) {
    return finite(n) & (normal(n) | !(underflowed(x1, y1) | underflowed(x2, y2)));
  };
  return finite(ar) & finite(ai) & finite(br) & finite(bi) & normal(d) & kept(nr, ar, br, ai, bi) &
         kept(ni, ai, br, ar, bi);
}

template <Op op, class F>
  requires is_complex_arithmetic<op>
[[gnu::always_inline]] inline std::complex<F> complex_arithmetic(std::complex<F> a, std::complex<F> b) {
  if constexpr (op == Op::add) {
    return {real_arithmetic<Op::add>(a.real(), b.real()), real_arithmetic<Op::add>(a.imag(), b.imag())};
  } else if constexpr (op == Op::subtract) {
    return {a.real() - b.real(), a.imag() - b.imag()};
  } else if constexpr (op == Op::multiply) {
    return complex_product_formula(a, b);
  } else if constexpr (op == Op::divide) {
    std::complex<F> q;
    if (!plain_quotient(a, b, q)) [[unlikely]]
      q = complex_divide(a, b);
    return q;
  } else {
    // maximum/minimum propagate the first NaN operand, fmax/fmin skip a NaN
    // one; otherwise the lexicographic order, a tie keeping a.
    auto has_nan = [](std::complex<F> z) { return std::isnan(z.real()) || std::isnan(z.imag()); };
    auto less = [](std::complex<F> x, std::complex<F> y) {
      return x.real() < y.real() || (x.real() == y.real() && x.imag() < y.imag());
    };
    if constexpr (op == Op::fmax || op == Op::fmin) {
      if (has_nan(b)) return a;
      if (has_nan(a)) return b;
    } else {
      if (has_nan(a)) return a;
      if (has_nan(b)) return b;
    }
    if constexpr (op == Op::fmax || op == Op::maximum) return less(a, b) ? b : a;
    return less(b, a) ? b : a;
  }
}

// nextafter here steps in the function's own precision.
BinaryFunction<float> real_binary_f32(Op op);
BinaryFunction<double> real_binary_f64(Op op);
BinaryFunction<std::complex<float>> complex_binary_f32(Op op);
BinaryFunction<std::complex<double>> complex_binary_f64(Op op);

// CannotConvert for a name without a single-precision form (gcd and lcm included).
Result<float> binary_float32(Op op, float a, float b);
Result<float> binary_float32(std::string_view name, float a, float b);
// Float16 results: computed in single precision, rounded once to half
// (nextafter steps one half-precision unit).
Result<Half> binary_float16(Op op, float a, float b);
// Double precision; nextafter steps in the precision of `output`.
Result<double> binary_float64(Op op, double a, double b, DType output);

Result<Scalar> binary_complex64(Op op, std::complex<float> a, std::complex<float> b);
Result<Scalar> binary_complex64(std::string_view name, std::complex<float> a, std::complex<float> b);
Result<std::complex<double>> binary_complex128(Op op, std::complex<double> a, std::complex<double> b);

// Python-style floor division and remainder (the remainder takes the divisor's sign).
template <class F> F floor_divide(F a, F b);
template <class F> F float_remainder(F a, F b);

// log(exp(a) + exp(b)) and log2(2^a + 2^b) without overflow.
template <class F> F logaddexp(F a, F b);
template <class F> F logaddexp2(F a, F b);
inline float logaddexp_f32(float a, float b) { return logaddexp(a, b); }

// x * 2^n, in steps that stay in range.
float scale_pow2_f32(float x, i128 n);
double scale_pow2_f64(double x, i128 n);

// The plain formula while |b|^2 stays normal and, for finite operands, the
// numerator neither overflows nor loses bits to an underflowed product and
// the quotient is finite; otherwise a quotient scaled by powers of two. By
// zero, each part of a gives an infinity of its sign, or NaN if zero or NaN.
template <class F> std::complex<F> complex_divide(std::complex<F> a, std::complex<F> b);

inline std::complex<double> complex_divide_f64(std::complex<double> a, std::complex<double> b) {
  return complex_divide(a, b);
}
template <class F> std::complex<F> complex_power(std::complex<F> a, std::complex<F> b);
// The same on parts, the result's in r[0] and r[1]: for callers in other
// units, to which a complex<float> would be handed packed in one register,
// through the stack, on every call.
template <class F> void complex_power_parts(F ar, F ai, F br, F bi, F* r);

// maximum/minimum propagate NaN, fmax/fmin skip it; lexicographic order.
template <class F> std::optional<std::complex<F>> complex_extreme(Op op, std::complex<F> a, std::complex<F> b);
Result<std::complex<double>> complex_extreme(std::string_view name, std::complex<double> a, std::complex<double> b);

// How a tie of two zeros is settled: false for maximum and minimum (they take
// the second operand), true for every other name.
bool extrema_zero_tie_selects_left(std::string_view name);
constexpr bool extrema_zero_tie_selects_left(Op op) { return op != Op::maximum && op != Op::minimum; }

// gcd and lcm of doubles: truncated, saturated to 128-bit integers (NaN as 0).
double gcd_f64(double a, double b);
double lcm_f64(double a, double b);

}  // namespace quarvel_kernels
