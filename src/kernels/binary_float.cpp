#include "kernels/binary_float.h"

#include <cmath>
#include <limits>

#include "kernels/next_after.h"
#include "storage/float16.h"

namespace quarvel_kernels {
namespace {

// The C library function of each precision, named so that no overload
// resolution can quietly promote a float call to double.
template <class F> struct Math;
template <> struct Math<float> {
  static float pow(float a, float b) { return ::powf(a, b); }
  static float fmod(float a, float b) { return ::fmodf(a, b); }
  static float hypot(float a, float b) { return ::hypotf(a, b); }
  static float atan2(float a, float b) { return ::atan2f(a, b); }
  static float exp(float x) { return ::expf(x); }
  static float exp2(float x) { return ::exp2f(x); }
  static float log(float x) { return ::logf(x); }
  static float log1p(float x) { return ::log1pf(x); }
  static float sin(float x) { return ::sinf(x); }
  static float cos(float x) { return ::cosf(x); }
  static constexpr float ln2 = 0.6931472f;
  static constexpr DType dtype = DType::Float32;
};
template <> struct Math<double> {
  static double pow(double a, double b) { return ::pow(a, b); }
  static double fmod(double a, double b) { return ::fmod(a, b); }
  static double hypot(double a, double b) { return ::hypot(a, b); }
  static double atan2(double a, double b) { return ::atan2(a, b); }
  static double exp(double x) { return ::exp(x); }
  static double exp2(double x) { return ::exp2(x); }
  static double log(double x) { return ::log(x); }
  static double log1p(double x) { return ::log1p(x); }
  static double sin(double x) { return ::sin(x); }
  static double cos(double x) { return ::cos(x); }
  static constexpr double ln2 = 0.6931471805599453;
  static constexpr DType dtype = DType::Float64;
};

template <class F> constexpr F nan_value = std::numeric_limits<F>::quiet_NaN();
template <class F> constexpr F inf_value = std::numeric_limits<F>::infinity();

// Sign bits, so -0.0 and negative NaNs count as negative.
template <class F> bool same_sign(F a, F b) { return std::signbit(a) == std::signbit(b); }

template <class F> F heaviside(F a, F b) {
  if (std::isnan(a)) return a;
  if (a < 0) return 0;
  if (a > 0) return 1;
  return b;
}

template <class F> F next_after_own(F a, F b) { return static_cast<F>(next_after_dtype(Math<F>::dtype, a, b)); }

// Saturating truncation: the kernels never trap on an out-of-range float.
i128 saturating_i128(double x) {
  constexpr double limit = 170141183460469231731687303715884105728.0;  // 2^127
  if (std::isnan(x)) return 0;
  const double t = std::trunc(x);
  if (t < -limit) return std::numeric_limits<i128>::min();
  if (t >= limit) return std::numeric_limits<i128>::max();
  return static_cast<i128>(t);
}

template <class F> BinaryFunction<F> real_binary(Op op) {
  using M = Math<F>;
  switch (op) {
    case Op::add: return real_arithmetic<Op::add, F>;
    case Op::subtract: return real_arithmetic<Op::subtract, F>;
    case Op::multiply: return real_arithmetic<Op::multiply, F>;
    case Op::divide: return real_arithmetic<Op::divide, F>;
    case Op::floor_divide: return floor_divide<F>;
    case Op::remainder: return float_remainder<F>;
    case Op::fmod: return M::fmod;
    case Op::power:
    case Op::float_power: return M::pow;
    case Op::hypot: return M::hypot;
    case Op::arctan2: return M::atan2;
    case Op::copysign: return [](F a, F b) { return std::copysign(a, b); };
    case Op::heaviside: return heaviside<F>;
    case Op::logaddexp: return logaddexp<F>;
    case Op::logaddexp2: return logaddexp2<F>;
    case Op::nextafter: return next_after_own<F>;
    case Op::maximum: return real_extreme<Op::maximum, F>;
    case Op::minimum: return real_extreme<Op::minimum, F>;
    case Op::fmax: return real_extreme<Op::fmax, F>;
    case Op::fmin: return real_extreme<Op::fmin, F>;
    case Op::gcd:
      if constexpr (std::is_same_v<F, double>) return gcd_f64;
      return nullptr;
    case Op::lcm:
      if constexpr (std::is_same_v<F, double>) return lcm_f64;
      return nullptr;
    default: return nullptr;
  }
}

template <class F> BinaryFunction<std::complex<F>> complex_binary(Op op) {
  switch (op) {
    case Op::add: return complex_arithmetic<Op::add, F>;
    case Op::subtract: return complex_arithmetic<Op::subtract, F>;
    case Op::multiply: return complex_arithmetic<Op::multiply, F>;
    case Op::divide: return complex_arithmetic<Op::divide, F>;
    case Op::power:
    case Op::float_power: return complex_power<F>;
    case Op::maximum: return complex_arithmetic<Op::maximum, F>;
    case Op::minimum: return complex_arithmetic<Op::minimum, F>;
    case Op::fmax: return complex_arithmetic<Op::fmax, F>;
    case Op::fmin: return complex_arithmetic<Op::fmin, F>;
    default: return nullptr;
  }
}

// e^(x + iy), with the special cases the power needs.
template <class F> std::complex<F> complex_exp(F x, F y) {
  using M = Math<F>;
  if (std::isinf(x) && x < 0 && !std::isfinite(y)) return {0, 0};
  if (std::isinf(x) && x > 0 && (y == 0 || !std::isfinite(y))) return {x, std::isinf(y) ? nan_value<F> : y};
  if (std::isnan(x) && y == 0) return {x, y};
  const F e = M::exp(x);
  return {e * M::cos(y), e * M::sin(y)};
}

// The quotient with both operands scaled by powers of two into [1, 2), so no
// intermediate overflows or underflows; Smith's ordering keeps the ratio <= 1.
template <class F> std::complex<F> scaled_divide(std::complex<F> a, std::complex<F> b) {
  const int eb = std::ilogb(std::fmax(std::fabs(b.real()), std::fabs(b.imag())));
  int ea = 0;
  if (std::isfinite(a.real()) && std::isfinite(a.imag()) && (a.real() != 0 || a.imag() != 0))
    ea = std::ilogb(std::fmax(std::fabs(a.real()), std::fabs(a.imag())));
  const F ar = std::scalbn(a.real(), -ea), ai = std::scalbn(a.imag(), -ea);
  const F br = std::scalbn(b.real(), -eb), bi = std::scalbn(b.imag(), -eb);
  F re, im;
  if (std::fabs(br) >= std::fabs(bi)) {
    const F r = bi / br, den = br + bi * r;
    re = (ar + ai * r) / den;
    im = (ai - ar * r) / den;
  } else {
    const F r = br / bi, den = bi + br * r;
    re = (ar * r + ai) / den;
    im = (ai * r - ar) / den;
  }
  return {std::scalbn(re, ea - eb), std::scalbn(im, ea - eb)};
}

template <class F> Result<F> known(BinaryFunction<F> f, F a, F b) {
  if (!f) return fail(ErrorKind::CannotConvert);
  return f(a, b);
}

}  // namespace

// ---------------------------------------------------------------------------

template <class F> F floor_divide(F a, F b) {
  if (std::isnan(a) || std::isnan(b)) return nan_value<F>;
  if (b == 0) return a / b;
  if (std::isinf(a)) return nan_value<F>;
  if (std::isinf(b)) {
    if (a == 0) return std::copysign(F(0), a / b);
    return same_sign(a, b) ? F(0) : F(-1);
  }
  const F mod = Math<F>::fmod(a, b);
  F div = (a - mod) / b;
  if (mod != 0 && !same_sign(mod, b)) div = div - 1;
  if (div == 0) return std::copysign(F(0), a / b);
  F f = std::floor(div);
  if (div - f > F(0.5)) f = f + 1;
  return f;
}

template <class F> F float_remainder(F a, F b) {
  if (std::isinf(a) || std::isnan(a) || std::isnan(b) || b == 0) return nan_value<F>;
  if (std::isinf(b)) {
    if (a == 0) return std::copysign(F(0), b);
    return same_sign(a, b) ? a : b;
  }
  const F mod = Math<F>::fmod(a, b);
  if (mod == 0) return std::copysign(F(0), b);
  return same_sign(mod, b) ? mod : mod + b;
}

namespace {
template <class F, bool Base2> F logaddexp_impl(F a, F b) {
  using M = Math<F>;
  if (std::isnan(a) || std::isnan(b)) return nan_value<F>;
  if ((std::isinf(a) && a > 0) || (std::isinf(b) && b > 0)) return inf_value<F>;
  if (std::isinf(a)) return b == 0 ? F(0) : b;
  if (std::isinf(b)) return a == 0 ? F(0) : a;
  const F m = a > b ? a : b;
  const F d = -std::fabs(a - b);
  if constexpr (Base2) return m + M::log1p(M::exp2(d)) / M::ln2;
  else return m + M::log1p(M::exp(d));
}
}  // namespace

template <class F> F logaddexp(F a, F b) { return logaddexp_impl<F, false>(a, b); }
template <class F> F logaddexp2(F a, F b) { return logaddexp_impl<F, true>(a, b); }

namespace {
// x * 2^n. Powers beyond +-cutoff leave every finite x at infinity or zero;
// otherwise steps of 2^up and 2^-step bring n into the range of one power.
// The downward steps stop the digits of F short of 2^-down: a step into the
// subnormals would round, and the last product round a second time.
template <class F, int Cutoff, int Up, int Down> F scale_pow2(F x, i128 n) {
  if (std::isnan(x) || std::isinf(x) || x == 0) return x;
  if (n > Cutoff) return std::copysign(inf_value<F>, x);
  if (n < -Cutoff) return std::copysign(F(0), x);
  int k = static_cast<int>(n);
  constexpr int step = Down - std::numeric_limits<F>::digits;
  const F up = std::ldexp(F(1), Up), down = std::ldexp(F(1), -step);
  while (k > Up) {
    x = x * up;
    k -= Up;
  }
  while (k < -Down) {
    x = x * down;
    k += step;
  }
  return x * std::ldexp(F(1), k);
}
}  // namespace

float scale_pow2_f32(float x, i128 n) { return scale_pow2<float, 512, 127, 126>(x, n); }
double scale_pow2_f64(double x, i128 n) { return scale_pow2<double, 4096, 1023, 1022>(x, n); }

template <class F> std::complex<F> complex_divide(std::complex<F> a, std::complex<F> b) {
  const F ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  if (br == 0 && bi == 0) {
    auto part = [](F x) {
      if (std::isnan(x)) return x;
      return x == 0 ? nan_value<F> : std::copysign(inf_value<F>, x);
    };
    return {part(ar), part(ai)};
  }
  const F d = bi * bi + br * br;
  if (!std::isnormal(d) && std::isfinite(br) && std::isfinite(bi)) return scaled_divide(a, b);
  const F nr = ar * br + ai * bi, ni = ai * br - ar * bi;
  const std::complex<F> plain(nr / d, ni / d);
  // With finite operands, a numerator part that overflowed, or that is
  // subnormal or zero because a product underflowed, would make the plain
  // quotient infinite, zero or imprecise. Any other numerator is as good as
  // the formula's, and keeps its bits: over a normal d, a part of the plain
  // quotient overflows only where the exact one does, and its other part
  // stays exact to rounding.
  if (std::isfinite(ar) && std::isfinite(ai) && std::isfinite(br) && std::isfinite(bi)) {
    auto underflowed = [](F x, F y) { return x != 0 && y != 0 && !std::isnormal(x * y); };
    auto lost = [&](F n, F x1, F y1, F x2, F y2) {
      return !std::isfinite(n) || (!std::isnormal(n) && (underflowed(x1, y1) || underflowed(x2, y2)));
    };
    if (lost(nr, ar, br, ai, bi) || lost(ni, ai, br, ar, bi)) return scaled_divide(a, b);
  }
  return plain;
}

template <class F> void complex_power_parts(F ar, F ai, F br, F bi, F* r) {
  using M = Math<F>;
  std::complex<F> p;
  if ((ar == 0 && ai == 0) && (br < 0 || (std::is_same_v<F, float> && std::isnan(br)))) {
    p = {nan_value<F>, nan_value<F>};
  } else if (br == 0 && bi == 0) {
    p = {1, 0};
  } else {
    const F log_r = M::log(M::hypot(ar, ai));
    const F t = M::atan2(ai, ar);
    p = complex_exp<F>(br * log_r - bi * t, bi * log_r + br * t);
  }
  r[0] = p.real();
  r[1] = p.imag();
}

template <class F> std::complex<F> complex_power(std::complex<F> a, std::complex<F> b) {
  F r[2];
  complex_power_parts(a.real(), a.imag(), b.real(), b.imag(), r);
  return {r[0], r[1]};
}

template <class F> std::optional<std::complex<F>> complex_extreme(Op op, std::complex<F> a, std::complex<F> b) {
  switch (op) {
    case Op::maximum: return complex_arithmetic<Op::maximum>(a, b);
    case Op::minimum: return complex_arithmetic<Op::minimum>(a, b);
    case Op::fmax: return complex_arithmetic<Op::fmax>(a, b);
    case Op::fmin: return complex_arithmetic<Op::fmin>(a, b);
    default: return std::nullopt;
  }
}

template float floor_divide<float>(float, float);
template double floor_divide<double>(double, double);
template float float_remainder<float>(float, float);
template double float_remainder<double>(double, double);
template float logaddexp<float>(float, float);
template double logaddexp<double>(double, double);
template float logaddexp2<float>(float, float);
template double logaddexp2<double>(double, double);
template std::complex<float> complex_divide<float>(std::complex<float>, std::complex<float>);
template std::complex<double> complex_divide<double>(std::complex<double>, std::complex<double>);
template void complex_power_parts<float>(float, float, float, float, float*);
template void complex_power_parts<double>(double, double, double, double, double*);
template std::complex<float> complex_power<float>(std::complex<float>, std::complex<float>);
template std::complex<double> complex_power<double>(std::complex<double>, std::complex<double>);
template std::optional<std::complex<float>> complex_extreme<float>(Op, std::complex<float>, std::complex<float>);
template std::optional<std::complex<double>> complex_extreme<double>(Op, std::complex<double>, std::complex<double>);

Result<std::complex<double>> complex_extreme(std::string_view name, std::complex<double> a, std::complex<double> b) {
  const std::optional<Op> op = op_from_name(name);
  std::optional<std::complex<double>> r = op ? complex_extreme<double>(*op, a, b) : std::nullopt;
  if (!r) return fail(ErrorKind::CannotConvert);
  return *r;
}

bool extrema_zero_tie_selects_left(std::string_view name) { return name != "maximum" && name != "minimum"; }

double gcd_f64(double a, double b) { return static_cast<double>(gcd(saturating_i128(a), saturating_i128(b))); }
double lcm_f64(double a, double b) { return static_cast<double>(lcm(saturating_i128(a), saturating_i128(b))); }

BinaryFunction<float> real_binary_f32(Op op) { return real_binary<float>(op); }
BinaryFunction<double> real_binary_f64(Op op) { return real_binary<double>(op); }
BinaryFunction<std::complex<float>> complex_binary_f32(Op op) { return complex_binary<float>(op); }
BinaryFunction<std::complex<double>> complex_binary_f64(Op op) { return complex_binary<double>(op); }

Result<float> binary_float32(Op op, float a, float b) { return known(real_binary<float>(op), a, b); }

Result<float> binary_float32(std::string_view name, float a, float b) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return binary_float32(*op, a, b);
}

Result<Half> binary_float16(Op op, float a, float b) {
  if (op == Op::nextafter) return Half{static_cast<float>(next_after_dtype(DType::Float16, a, b))};
  const Result<float> r = binary_float32(op, a, b);
  if (!r) return std::unexpected(r.error());
  return Half{half_bits_to_float(float_to_half_bits(*r))};
}

Result<double> binary_float64(Op op, double a, double b, DType output) {
  if (op == Op::nextafter) return next_after_dtype(output, a, b);
  return known(real_binary<double>(op), a, b);
}

Result<Scalar> binary_complex64(Op op, std::complex<float> a, std::complex<float> b) {
  const Result<std::complex<float>> r = known(complex_binary<float>(op), a, b);
  if (!r) return std::unexpected(r.error());
  return Scalar(*r);
}

Result<Scalar> binary_complex64(std::string_view name, std::complex<float> a, std::complex<float> b) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return binary_complex64(*op, a, b);
}

Result<std::complex<double>> binary_complex128(Op op, std::complex<double> a, std::complex<double> b) {
  return known(complex_binary<double>(op), a, b);
}

}  // namespace quarvel_kernels
