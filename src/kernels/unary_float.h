// One-input float and complex functions: trigonometric, hyperbolic and their
// inverses, exponentials, logarithms, roots, rounding, angle conversion,
// spacing, and square, reciprocal and negation of complex values.
//
// Each function exists once per element type. A typed loop resolves its Op to a
// function pointer once (`real_function_*`, `complex_function_f64`,
// `complex_run_f32`; null when the Op has no such form) and calls it per
// element or per run; the Scalar entry `unary_float_or_complex` picks the
// same pointers, so both give identical bits.
//
// Precision: float32 and complex64 elements compute in single precision,
// float16 elements in single precision rounded once to half, the rest in double.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kernels/binary_float.h"
#include "kernels/element.h"
#include "kernels/ops.h"
#include "storage/scalar.h"

namespace quarvel_kernels {

template <class T>
using UnaryFunction = T (*)(T);

// The real functions a typed loop inlines; the tables below hand out the same.
template <Op op>
inline constexpr bool is_inline_real = op == Op::sqrt || op == Op::square || op == Op::reciprocal;
template <Op op, class F>
  requires is_inline_real<op>
F inline_real(F x) {
  if constexpr (op == Op::sqrt) return std::sqrt(x);
  if constexpr (op == Op::square) return x * x;
  if constexpr (op == Op::reciprocal) return F(1) / x;
}

// Where x^2 - y^2 cancels (|x| near |y|) or a square overflows (the
// difference may still be finite, or inf - inf), (x - y)(x + y) gives the real
// part without that loss. Inlined by a typed loop; the tables hand it out too.
// A NaN part comes from the formula compiled once out of line: which of two
// NaN operands a part keeps depends on how a compiler orders the formula.
template <class F>
std::complex<F> complex_square_formula(std::complex<F> z);
template <class F>
std::complex<F> complex_square(std::complex<F> z) {
  const F x = z.real(), y = z.imag();
  const F xx = x * x, yy = y * y;
  F re = xx - yy;
  const bool lossy = std::isinf(xx) | std::isinf(yy) | !(std::fabs(re) >= F(0.5) * std::fmax(xx, yy));
  const F careful = (x - y) * (x + y);
  re = lossy & std::isfinite(x) & std::isfinite(y) ? careful : re;
  std::complex<F> r{re, x * y + y * x};
  if (std::isnan(r.real()) | std::isnan(r.imag())) [[unlikely]]
    r = complex_square_formula(z);
  return r;
}

// 1 / z is the quotient of 1 + 0i by z, so it shares the division's handling
// of zero and of divisors whose squared magnitude leaves the normal range.
template <class F>
std::complex<F> complex_reciprocal(std::complex<F> z) {
  return complex_arithmetic<Op::divide>(std::complex<F>(F(1), F(0)), z);
}

UnaryFunction<float> real_function_f32(Op op);
UnaryFunction<double> real_function_f64(Op op);
UnaryFunction<Half> real_function_f16(Op op);
UnaryFunction<std::complex<float>> complex_function_f32(Op op);
UnaryFunction<std::complex<double>> complex_function_f64(Op op);

// A complex64 function over a run of n elements: r[i] = f(z[i]), z and r
// apart or the same memory. Every complex64 element is computed through one
// (a single one, n = 1, included), each by the same machine code.
template <class F>
using ComplexRun = void (*)(const std::complex<F>* z, std::complex<F>* r, std::size_t n);
ComplexRun<float> complex_run_f32(Op op);

// The single-precision real functions; CannotConvert for a name they lack.
Result<float> unary_float32(Op op, float x);
Result<float> unary_float32(std::string_view name, float x);

// Chooses the precision from the input and output dtypes, evaluates, and
// returns a scalar of the output dtype. Long double outputs never come here.
Result<Scalar> unary_float_or_complex(Op op, const Scalar& x, DType out);
Result<Scalar> unary_float_or_complex(std::string_view name, const Scalar& x, DType out);

// The distance from x to the next value away from zero, signed like x.
float spacing_f32(float x);
Half spacing_f16(Half x);

// spacing_f16's value before its (exact) rounding to half, for a float16
// value x held as a float: NaN for NaN and infinities; else the next half
// value away from zero, minus x, which is the last place of x's half (the
// smallest subnormal, positive, for either zero) with x's sign, and an
// infinity of that sign for the largest finite half.
//
//   binary32  s eeeeeeee m(23): a normal half's last place is 2^(e - 10) for
//   its exponent e = eeeeeeee - 127 >= -14; below, the subnormal unit 2^-24.
inline float half_spacing(float x) {
  const std::uint32_t w = std::bit_cast<std::uint32_t>(x);
  const std::uint32_t magnitude = w & 0x7FFFFFFFu;
  const std::uint32_t sign = magnitude == 0 ? 0u : w & 0x80000000u;
  const std::uint32_t biased = magnitude >> 23;
  const std::uint32_t place = ((biased < 127u - 14u ? 127u - 14u : biased) - 10u) << 23;
  const std::uint32_t finite = magnitude == 0x477FE000u ? 0x7F800000u : place;  // 65504: the next half is infinite
  return std::bit_cast<float>(magnitude >= 0x7F800000u ? 0x7FC00000u : (sign | finite));
}
// The step taken in the precision of `dtype` (float16, float32, else float64),
// the difference in double precision.
double spacing_in(DType dtype, double x);

std::complex<float> complex_tan_f32(std::complex<float> z);
std::complex<double> complex_tan_f64(std::complex<double> z);
std::complex<float> complex_tanh_f32(std::complex<float> z);
std::complex<double> complex_tanh_f64(std::complex<double> z);
std::complex<double> complex_asin_f64(std::complex<double> z);
std::complex<double> complex_acos_f64(std::complex<double> z);
std::complex<double> complex_atan_f64(std::complex<double> z);
std::complex<double> complex_acosh_f64(std::complex<double> z);
std::complex<double> complex_asinh_f64(std::complex<double> z);
std::complex<double> complex_atanh_f64(std::complex<double> z);
std::complex<float> complex_expm1_f32(std::complex<float> z);
std::complex<double> complex_expm1_f64(std::complex<double> z);
std::complex<float> complex_log1p_f32(std::complex<float> z);
std::complex<double> complex_log1p_f64(std::complex<double> z);

}  // namespace quarvel_kernels
