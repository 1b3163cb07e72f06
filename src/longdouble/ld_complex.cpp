// Complex long double operations in the 80-bit extended format: the functions
// by operation code, and the text routines that parse, call them and print.
// Library functions are reached through the compiler's complex builtins;
// multiplication and division recover infinities through the compiler
// runtime's C99 routines (never the limited-range formulas).
#include <float.h>
#include <math.h>

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

#include "longdouble/ld_common.h"
#include "longdouble/ld_dispatch.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_typed.h"

using CLD = __complex__ long double;

extern "C" {
CLD __mulxc3(long double a, long double b, long double c, long double d);
CLD __divxc3(long double a, long double b, long double c, long double d);
}

using quarvel_longdouble::Complex;
using quarvel_longdouble::ComplexBinary;
using quarvel_longdouble::ComplexBinaryOp;
using quarvel_longdouble::ComplexUnary;
using quarvel_longdouble::ComplexUnaryOp;
using quarvel_longdouble::detail::parse;
using quarvel_longdouble::detail::print;

namespace {

using Real = long double;

CLD to_builtin(Complex z) {
  CLD c;
  __real__ c = z.re;
  __imag__ c = z.im;
  return c;
}

Complex from_builtin(CLD c) { return {__real__ c, __imag__ c}; }

Real quiet_nan() { return ::nanl(""); }
bool has_nan(Complex z) { return ::isnan(z.re) || ::isnan(z.im); }
bool is_zero(Complex z) { return z.re == 0.0L && z.im == 0.0L; }

template <CLD (*Function)(CLD)>
Complex library(Complex z) {
  return from_builtin(Function(to_builtin(z)));
}

CLD c_acos(CLD z) { return __builtin_cacosl(z); }
CLD c_acosh(CLD z) { return __builtin_cacoshl(z); }
CLD c_asin(CLD z) { return __builtin_casinl(z); }
CLD c_asinh(CLD z) { return __builtin_casinhl(z); }
CLD c_cos(CLD z) { return __builtin_ccosl(z); }
CLD c_cosh(CLD z) { return __builtin_ccoshl(z); }
CLD c_exp(CLD z) { return __builtin_cexpl(z); }
CLD c_log(CLD z) { return __builtin_clogl(z); }
CLD c_sin(CLD z) { return __builtin_csinl(z); }
CLD c_sinh(CLD z) { return __builtin_csinhl(z); }
CLD c_sqrt(CLD z) { return __builtin_csqrtl(z); }
CLD c_tan(CLD z) { return __builtin_ctanl(z); }
CLD c_tanh(CLD z) { return __builtin_ctanhl(z); }
CLD c_atan(CLD z) { return __builtin_catanl(z); }
CLD c_atanh(CLD z) { return __builtin_catanhl(z); }

// ---- arithmetic ------------------------------------------------------------

// The textbook product, unless both parts come out NaN: then the runtime's
// product, which recovers infinite results (inf * (1 + nan·i) and the like).
Complex multiply(Complex x, Complex y) {
  const Complex product{x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re};
  if (::isnan(product.re) && ::isnan(product.im)) return from_builtin(__mulxc3(x.re, x.im, y.re, y.im));
  return product;
}

// A zero divisor sends each nonzero part to a signed infinity, a zero part to
// NaN; a NaN part stays NaN.
Real part_over_zero(Real part) {
  if (part == 0.0L || ::isnan(part)) return quiet_nan();
  return ::copysignl(HUGE_VALL, part);
}

Complex divide(Complex x, Complex y) {
  if (is_zero(y)) return {part_over_zero(x.re), part_over_zero(x.im)};
  return from_builtin(__divxc3(x.re, x.im, y.re, y.im));
}

// cpowl takes the logarithm of the base first, so a zero exponent would give
// NaN for a zero, infinite or NaN base; x ** 0 is 1 as for the other complex
// types.
Complex power(Complex x, Complex y) {
  if (is_zero(x) && y.re < 0.0L) return {quiet_nan(), quiet_nan()};
  if (is_zero(y)) return {1.0L, 0.0L};
  return from_builtin(__builtin_cpowl(to_builtin(x), to_builtin(y)));
}

// ---- one operand -------------------------------------------------------------

Complex absolute(Complex z) { return {__builtin_cabsl(to_builtin(z)), 0.0L}; }
Complex positive(Complex z) { return z; }
Complex negative(Complex z) { return {-z.re, -z.im}; }
Complex conjugate(Complex z) { return {z.re, -z.im}; }
Complex rint(Complex z) { return {::rintl(z.re), ::rintl(z.im)}; }
Complex square(Complex z) { return multiply(z, z); }
// e^(z log 2) with each part scaled by log 2, as cpowl(2, z) computes it for
// finite z; cpowl's complex product with log 2 + 0i would turn 0 · inf into a
// NaN part, so 2^(inf + 0i) would not be inf + 0i.
Complex exp2(Complex z) {
  const Real ln2 = ::logl(2.0L);
  return library<c_exp>({z.re * ln2, z.im * ln2});
}

Complex reciprocal(Complex z) {
  if (is_zero(z)) return {HUGE_VALL, quiet_nan()};
  return from_builtin(__divxc3(1.0L, 0.0L, z.re, z.im));
}

Complex log_scaled(Complex z, Real base_log) {
  const Complex l = library<c_log>(z);
  return {l.re / base_log, l.im / base_log};
}
Complex log10(Complex z) { return log_scaled(z, ::logl(10.0L)); }
Complex log2(Complex z) { return log_scaled(z, ::logl(2.0L)); }

// cos(im) - 1 = -2 sin²(im/2) keeps the real part accurate near zero. A zero
// imaginary part stays as it is (e^inf · 0 would make it NaN for a real inf).
// An infinite or NaN imaginary part takes the special values of cexpl less
// one, as the other complex types do (e^-inf is 0 whatever the angle).
Complex expm1(Complex z) {
  if (!::isfinite(z.im)) {
    const Complex e = library<c_exp>(z);
    return {e.re - 1.0L, e.im};
  }
  const Real s = ::sinl(0.5L * z.im);
  const Real real = ::expm1l(z.re) * ::cosl(z.im) + (-2.0L * s) * s;
  return {real, z.im == 0.0L ? z.im : ::expl(z.re) * ::sinl(z.im)};
}

Complex log1p(Complex z) {
  Real re;
  if (::fabsl(z.re) < 0.5L && ::fabsl(z.im) < 0.5L)
    re = 0.5L * ::log1pl((z.re * z.re + 2.0L * z.re) + z.im * z.im);
  else
    re = ::logl(::hypotl(1.0L + z.re, z.im));
  return {re, ::atan2l(z.im, 1.0L + z.re)};
}

// Finite parts whose magnitude overflows, or is subnormal (and so has lost
// digits), are first scaled by a power of two, which is exact: z / |z| must
// keep its direction and unit length there too.
Complex sign(Complex z) {
  const Real m = __builtin_cabsl(to_builtin(z));
  if (::isnan(m)) return {quiet_nan(), quiet_nan()};
  if (m == 0.0L) return {0.0L, 0.0L};
  if (m < LDBL_MIN) return sign({::scalbnl(z.re, LDBL_MANT_DIG + 1), ::scalbnl(z.im, LDBL_MANT_DIG + 1)});
  if (::isfinite(m)) return {z.re / m, z.im / m};
  if (::isinf(z.re) && ::isinf(z.im)) return {quiet_nan(), quiet_nan()};
  if (::isinf(z.re)) return {::copysignl(1.0L, z.re), 0.0L};
  if (::isinf(z.im)) return {0.0L, ::copysignl(1.0L, z.im)};
  return sign({0.5L * z.re, 0.5L * z.im});
}

// Own arc tangents: accurate near the axes, where the library's can lose the
// small part. Beyond T = sqrt(LDBL_MAX) / 4 the squares overflow, so larger
// operands go to the library.
bool inside_safe_range(Complex z) {
  static const Real limit = 0.25L * ::sqrtl(LDBL_MAX);
  return ::isfinite(z.re) && ::isfinite(z.im) && ::fabsl(z.re) < limit && ::fabsl(z.im) < limit;
}

// 1 - re² - im², the second atan2 argument of both arc tangents. Near the
// unit circle the rounded squares cancel against 1 and take the small part of
// z with them (atan just off ±i, atanh just off ±1 lose half their digits).
// Once the plain form falls below 1/2 its leading bit has cancelled; there the
// larger magnitude b lies in [1/2, 2], so 1 - b is exact and
// (1 - b)(1 + b) - a² keeps every digit. Elsewhere the plain form stands.
Real one_minus_squares(Real re, Real im) {
  const Real plain = (1.0L - re * re) - im * im;
  if (::fabsl(plain) >= 0.5L) return plain;
  const Real x = ::fabsl(re), y = ::fabsl(im);
  const Real b = x < y ? y : x, a = x < y ? x : y;
  return (1.0L - b) * (1.0L + b) - a * a;
}

// 0.25 log(((1 + m)² + other²) / ((1 - m)² + other²)) for m >= 0: the part of
// the arc tangents that is odd in m (the imaginary part of atan with m = |im|,
// the real part of atanh with m = |re|), as 0.25 log1p(4m / D); taken for |im|,
// near -i the log1p argument would sit at -1 and round onto the pole. When D
// is too small for log1p (subnormal, zero at the pole, or 4m / D overflowing),
// log D is taken as 2 log hypot, which does not underflow.
Real quarter_log_ratio(Real m, Real other) {
  const Real m_minus_one = -1.0L + m;
  const Real d = m_minus_one * m_minus_one + other * other;
  const Real ratio = 4.0L * m / d;
  if (d >= LDBL_MIN && ::isfinite(ratio)) return 0.25L * ::log1pl(ratio);
  const Real m_plus_one = m + 1.0L;
  return 0.25L * (::logl(other * other + m_plus_one * m_plus_one) - 2.0L * ::logl(::hypotl(m_minus_one, other)));
}

Complex complex_atan(Real re, Real im) {
  return {0.5L * ::atan2l(2.0L * re, one_minus_squares(re, im)), ::copysignl(quarter_log_ratio(::fabsl(im), re), im)};
}

Complex complex_atanh(Real re, Real im) {
  if (im == 0.0L && ::fabsl(re) == 1.0L) return library<c_atanh>({re, im});
  Real real;
  if (::fabsl(re) < 0.5L) {
    const Real one_minus = 1.0L - re;
    real = 0.25L * ::log1pl(4.0L * re / (one_minus * one_minus + im * im));
  } else {
    const Real l1 = ::logl(::hypotl(1.0L + re, im)), l2 = ::logl(::hypotl(1.0L - re, im));
    // The difference of two nearly equal logarithms (|im| large beside re)
    // cancels; there the part is taken as atan's, which keeps its digits.
    const bool cancels = ::fabsl(l1) + ::fabsl(l2) + 2.0L > 8.0L * ::fabsl(l1 - l2);
    real = cancels ? ::copysignl(quarter_log_ratio(::fabsl(re), im), re) : 0.5L * (l1 - l2);
  }
  return {real, 0.5L * ::atan2l(2.0L * im, one_minus_squares(re, im))};
}

Complex atan(Complex z) {
  if (inside_safe_range(z)) return complex_atan(z.re, z.im);
  return library<c_atan>(z);
}

Complex atanh(Complex z) {
  if (inside_safe_range(z)) return complex_atanh(z.re, z.im);
  return library<c_atanh>(z);
}

// Indexed by ComplexUnaryOp.
constexpr ComplexUnary unary_functions[] = {
    absolute,        library<c_acos>, library<c_acosh>, library<c_asin>, library<c_asinh>, atan,
    atanh,           library<c_cos>,  library<c_cosh>,  library<c_exp>,  exp2,              expm1,
    rint,            library<c_log>,  log1p,            log10,           log2,              library<c_sin>,
    library<c_sinh>, library<c_sqrt>, library<c_tan>,   library<c_tanh>, reciprocal,        square,
    positive,        negative,        conjugate,        sign,
};
static_assert(std::size(unary_functions) == quarvel_longdouble::complex_unary_count);


// ---- two operands ------------------------------------------------------------

Complex add(Complex x, Complex y) { return {x.re + y.re, x.im + y.im}; }
Complex subtract(Complex x, Complex y) { return {x.re - y.re, x.im - y.im}; }

// -1, 0 or 1: real parts first, imaginary parts on a tie (-0 equals +0).
int lexicographic(Complex x, Complex y) {
  if (x.re != y.re) return x.re < y.re ? -1 : 1;
  if (x.im != y.im) return x.im < y.im ? -1 : 1;
  return 0;
}

// maximum/minimum return the operand with a NaN part, fmax/fmin the other;
// two NaN operands, or two equal ones, give x.
template <bool Larger, bool SkipNan>
Complex extremum(Complex x, Complex y) {
  const bool x_nan = has_nan(x), y_nan = has_nan(y);
  if (x_nan && y_nan) return x;
  if (x_nan || y_nan) return (x_nan != SkipNan) ? x : y;
  const int order = lexicographic(x, y);
  return (Larger ? order < 0 : order > 0) ? y : x;
}

// Indexed by ComplexBinaryOp.
constexpr ComplexBinary binary_functions[] = {
    add, subtract, multiply, divide, power, extremum<true, false>, extremum<false, false>, extremum<true, true>,
    extremum<false, true>,
};
static_assert(std::size(binary_functions) == quarvel_longdouble::complex_binary_count);


bool parse_complex(const char* re, const char* im, Complex* z) { return parse(re, &z->re) && parse(im, &z->im); }

bool print_complex(Complex z, char* out_re, std::size_t out_re_len, char* out_im, std::size_t out_im_len) {
  return print(z.re, out_re, out_re_len) && print(z.im, out_im, out_im_len);
}

}  // namespace

namespace quarvel_longdouble {

ComplexUnary complex_unary(ComplexUnaryOp op) { return unary_functions[static_cast<int>(op)]; }
ComplexBinary complex_binary(ComplexBinaryOp op) { return binary_functions[static_cast<int>(op)]; }

}  // namespace quarvel_longdouble

namespace ld = quarvel_longdouble;

extern "C" int quarvel_ld_unary_complex(const char* op, const char* re, const char* im, char* out_re,
                                        std::size_t out_re_len, char* out_im, std::size_t out_im_len) {
  Complex z;
  if (!parse_complex(re, im, &z)) return 0;
  const std::optional<ComplexUnaryOp> code = ld::operation_code<ComplexUnaryOp>(op);
  if (!code) return 0;
  return print_complex(ld::complex_unary(*code)(z), out_re, out_re_len, out_im, out_im_len) ? 1 : 0;
}

extern "C" int quarvel_ld_binary_complex(const char* op, const char* re1, const char* im1, const char* re2,
                                         const char* im2, char* out_re, std::size_t out_re_len, char* out_im,
                                         std::size_t out_im_len) {
  Complex x, y;
  if (!parse_complex(re1, im1, &x) || !parse_complex(re2, im2, &y)) return 0;
  const std::optional<ComplexBinaryOp> code = ld::operation_code<ComplexBinaryOp>(op);
  if (!code) return 0;
  return print_complex(ld::complex_binary(*code)(x, y), out_re, out_re_len, out_im, out_im_len) ? 1 : 0;
}

namespace quarvel_longdouble {

std::optional<TextPair> unary_complex(std::string_view op, std::string_view re, std::string_view im) {
  return detail::call_for_pair(quarvel_ld_unary_complex, op, re, im);
}

std::optional<TextPair> binary_complex(std::string_view op, std::string_view re1, std::string_view im1,
                                       std::string_view re2, std::string_view im2) {
  return detail::call_for_pair(quarvel_ld_binary_complex, op, re1, im1, re2, im2);
}

}  // namespace quarvel_longdouble
