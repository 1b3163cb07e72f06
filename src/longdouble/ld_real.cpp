// Real long double operations in the 80-bit extended format: the functions
// by operation code, and the text routines that parse, call them and print.
#include <fenv.h>
#include <math.h>

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>
#include <tuple>

#include "longdouble/ld_common.h"
#include "longdouble/ld_dispatch.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_typed.h"

using quarvel_longdouble::RealBinary;
using quarvel_longdouble::RealBinaryOp;
using quarvel_longdouble::RealPair;
using quarvel_longdouble::RealUnary;
using quarvel_longdouble::RealUnaryOp;
using quarvel_longdouble::detail::parse;
using quarvel_longdouble::detail::print;

namespace {

using Real = long double;

Real quiet_nan() { return ::nanl(""); }
Real pi() { return ::acosl(-1.0L); }
bool sign_differs(Real a, Real b) { return ::signbit(a) != ::signbit(b); }

// ---- one operand ------------------------------------------------------------

Real absolute(Real x) { return ::fabsl(x); }
Real negative(Real x) { return -x; }
Real positive(Real x) { return x; }
Real reciprocal(Real x) { return 1.0L / x; }
Real square(Real x) { return x * x; }
Real square_root(Real x) { return __builtin_sqrtl(x); }
// The product is rounded before the division. Where it alone overflows, the
// quotient is taken first, so a representable result never becomes infinite.
Real deg2rad(Real x) {
  const Real product = x * pi();
  return ::isinf(product) && ::isfinite(x) ? (x / 180.0L) * pi() : product / 180.0L;
}
Real rad2deg(Real x) {
  const Real product = x * 180.0L;
  return ::isinf(product) && ::isfinite(x) ? (x / pi()) * 180.0L : product / pi();
}

Real sign(Real x) {
  if (::isnan(x)) return x;
  if (x == 0.0L) return 0.0L;
  return ::signbit(x) ? -1.0L : 1.0L;
}

// The C library's floorl, ceill and truncl load a new control word around
// each value to change the rounding mode, which stalls the processor. The
// integer rint gives in the current mode is x's floor or ceiling, and one step
// down from the ceiling is the floor (a zero keeps its sign: 1 - 1 is +0 in
// every mode in which rint can give 1 for x below it).
Real rounded_down(Real x) {
  const Real r = __builtin_rintl(x);
  return r > x ? r - 1.0L : r;
}
Real rounded_up(Real x) { return -rounded_down(-x); }
Real truncated(Real x) { return x < 0.0L ? rounded_up(x) : rounded_down(x); }

// Distance to the next value away from zero, with the sign of x; -0 looks down.
Real spacing(Real x) {
  if (!::isfinite(x)) return quiet_nan();
  const Real away = ::signbit(x) ? -HUGE_VALL : HUGE_VALL;
  return ::nextafterl(x, away) - x;
}

// Indexed by RealUnaryOp.
constexpr RealUnary unary_functions[] = {
    absolute, ::acosl, ::acoshl, ::asinl, ::asinhl, ::atanl, ::atanhl, ::cbrtl, rounded_up, ::cosl, ::coshl,
    deg2rad, rad2deg, ::expl, ::exp2l, ::expm1l, rounded_down, ::logl, ::log10l, ::log1pl, ::log2l, negative,
    positive, reciprocal, ::rintl, sign, ::sinl, ::sinhl, spacing, square_root, square, ::tanl, ::tanhl,
    truncated,
};
static_assert(std::size(unary_functions) == quarvel_longdouble::real_unary_count);


// ---- two operands -----------------------------------------------------------

// The floored remainder: the sign of the divisor, and a zero carries it too.
Real floored_remainder(Real x, Real y) {
  Real r = ::fmodl(x, y);
  if (r != 0.0L && sign_differs(r, y)) r += y;
  return r == 0.0L ? ::copysignl(0.0L, y) : r;
}

// Quotient rounded toward minus infinity, derived from the remainder so that
// it agrees with floored_remainder (floorl of the rounded quotient would give
// 10 for 1 // 0.1, whose remainder is 0.0999...).
Real floor_quotient(Real x, Real y) {
  if (::isnan(x) || ::isnan(y)) return ::isnan(x) ? x : y;
  if (y == 0.0L) return x / y;
  if (::isinf(x)) return quiet_nan();
  if (::isinf(y)) {
    if (x == 0.0L) return x / y;
    return sign_differs(x, y) ? -1.0L : 0.0L;
  }
  const Real mod = ::fmodl(x, y);
  Real div = (x - mod) / y;
  if (mod != 0.0L && sign_differs(mod, y)) div -= 1.0L;
  if (div == 0.0L) return ::copysignl(0.0L, x / y);
  Real floored = rounded_down(div);
  if (div - floored > 0.5L) floored += 1.0L;
  return floored;
}

// NaN-propagating (x's NaN first); a tie of two zeros keeps x.
template <bool Larger>
Real extremum(Real x, Real y) {
  if (::isnan(x)) return x;
  if (::isnan(y)) return y;
  if (x == 0.0L && y == 0.0L) return x;
  if (Larger) return x > y ? x : y;
  return x < y ? x : y;
}

// NaN-ignoring: the library's fmaxl/fminl. g++ treats them as commutative
// and may swap the operands of a direct call, which flips the zero a tie of
// -0 and +0 gives; a call through these pointers keeps x first in every build.
Real (*const volatile library_fmax)(Real, Real) = ::fmaxl;
Real (*const volatile library_fmin)(Real, Real) = ::fminl;
Real fmax_in_order(Real x, Real y) { return library_fmax(x, y); }
Real fmin_in_order(Real x, Real y) { return library_fmin(x, y); }

Real heaviside(Real x, Real y) {
  if (::isnan(x)) return x;
  if (x < 0.0L) return 0.0L;
  if (x == 0.0L) return y;
  return 1.0L;
}

// Equal operands first, so two equal infinities never meet as inf - inf.
Real logaddexp(Real x, Real y) {
  if (x == y) return x + ::logl(2.0L);
  if (x > y) return x + ::log1pl(::expl(y - x));
  return y + ::log1pl(::expl(x - y));
}

constexpr Real log2_e = 1.442695040888963407359924681001892137L;

// log2(1 + 2^d) for d = small - large <= 0: log2 of the rounded sum 1 + t,
// plus the part of t that rounding dropped (all of t past d = -64) over
// (1 + t) ln 2 (through log1p the error of its ln 2 scaling would be scaled
// again by log2(e)), plus the rounding error of d itself times the slope
// t / (1 + t) (alone 9 ulps for a tiny operand beside -17).
Real log2_one_plus_exp2_of(Real small, Real large) {
  const Real d = small - large;
  const Real t = ::exp2l(d);
  const Real sum = 1.0L + t;
  const Real dropped = t - (sum - 1.0L);
  const Real share = ::log2l(sum) + dropped / sum * log2_e;
  if (!::isfinite(d)) return share;
  const Real back = d + large;
  const Real d_error = (small - back) + (-large - (d - back));
  return share + d_error * (t / sum);
}

Real logaddexp2(Real x, Real y) {
  if (x == y) return x + 1.0L;
  if (x > y) return x + log2_one_plus_exp2_of(y, x);
  return y + log2_one_plus_exp2_of(x, y);
}

// The exponent saturates to the int range; NaN passes neither bound.
Real ldexp(Real x, Real y) {
  int n;
  if (y >= 2147483647.0L)
    n = 2147483647;
  else if (y > -2147483648.0L)
    n = static_cast<int>(y);
  else
    n = -2147483647 - 1;
  return ::scalbnl(x, n);
}

Real add(Real x, Real y) { return x + y; }
Real subtract(Real x, Real y) { return x - y; }
Real multiply(Real x, Real y) { return x * y; }
Real divide(Real x, Real y) { return x / y; }

// Indexed by RealBinaryOp; divmod's entry is its quotient.
constexpr RealBinary binary_functions[] = {
    add,          subtract,           multiply,           divide,    floor_quotient, ::fmodl,      floored_remainder,
    floor_quotient, ::powl,           extremum<true>,     extremum<false>, fmax_in_order, fmin_in_order, ::copysignl,
    ::hypotl,     ::atan2l,           heaviside,          logaddexp, logaddexp2,     ::nextafterl, ldexp,
};
static_assert(std::size(binary_functions) == quarvel_longdouble::real_binary_count);


bool parse_two(const char* a, const char* b, Real* x, Real* y) { return parse(a, x) && parse(b, y); }

// g++ ignores FENV_ACCESS: the operands go through volatile objects so the
// subtraction can be neither folded nor moved out of the held environment.
bool intermediate_overflows(Real x, Real y) {
  if (!::isfinite(x) || !::isfinite(y)) return false;
  fenv_t saved;
  const bool held = ::feholdexcept(&saved) == 0;
  volatile Real left = x;
  volatile Real right = y;
  volatile Real difference = left - right;
  const bool infinite = ::isinf(difference);
  if (!held) return infinite;
  const bool overflow = ::fetestexcept(FE_OVERFLOW) != 0 || infinite;
  ::fesetenv(&saved);
  return overflow;
}

bool intermediate_underflows(Real x, Real y, bool base2) {
  if (!::isfinite(x) || !::isfinite(y)) return false;
  fenv_t saved;
  if (::feholdexcept(&saved) == 0) {
    // Even the difference is taken inside, so none of its flags leak out.
    volatile Real left = x;
    volatile Real right = y;
    volatile Real exponent = -::fabsl(left - right);
    volatile Real power = base2 ? ::exp2l(exponent) : ::expl(exponent);
    (void)power;
    const bool underflow = ::fetestexcept(FE_UNDERFLOW) != 0;
    if (::fesetenv(&saved) == 0) return underflow;
  }
  // Without the environment: compare the natural-log exponent with that of
  // the smallest normal value, 2^-16382.
  const Real t = -::fabsl(x - y);
  const Real u = base2 ? t * ::logl(2.0L) : t;
  return u < ::logl(0x1p-16382L);
}

}  // namespace

namespace quarvel_longdouble {

RealUnary real_unary(RealUnaryOp op) { return unary_functions[static_cast<int>(op)]; }
RealBinary real_binary(RealBinaryOp op) { return binary_functions[static_cast<int>(op)]; }

RealPair divmod(Real x, Real y) { return {floor_quotient(x, y), floored_remainder(x, y)}; }

RealPair modf(Real x) {
  Real integral;
  const Real fractional = ::modfl(x, &integral);
  return {fractional, integral};
}

Mantissa frexp(Real x) {
  int exponent = 0;
  const Real mantissa = ::frexpl(x, &exponent);
  return {mantissa, exponent};
}

bool logaddexp_intermediate_overflow(Real a, Real b) { return intermediate_overflows(a, b); }
bool logaddexp_intermediate_underflow(Real a, Real b, bool base2) { return intermediate_underflows(a, b, base2); }

}  // namespace quarvel_longdouble

namespace ld = quarvel_longdouble;

extern "C" int quarvel_ld_unary_real(const char* op, const char* x, char* out, std::size_t out_len) {
  Real value;
  if (!parse(x, &value)) return 0;
  const std::optional<RealUnaryOp> code = ld::operation_code<RealUnaryOp>(op);
  if (!code) return 0;
  return print(ld::real_unary(*code)(value), out, out_len) ? 1 : 0;
}

extern "C" int quarvel_ld_binary_real(const char* op, const char* x, const char* y, char* out, std::size_t out_len,
                                      char* out2, std::size_t out2_len) {
  Real a, b;
  if (!parse_two(x, y, &a, &b)) return 0;
  const std::optional<RealBinaryOp> code = ld::operation_code<RealBinaryOp>(op);
  if (!code) return 0;
  const RealPair result = *code == RealBinaryOp::divmod ? ld::divmod(a, b) : RealPair{ld::real_binary(*code)(a, b), 0.0L};
  if (!print(result.first, out, out_len)) return 0;
  return print(result.second, out2, out2_len) ? 1 : 0;
}

extern "C" int quarvel_ld_frexp(const char* x, char* out, std::size_t out_len, int* exp) {
  Real value;
  if (!parse(x, &value) || out == nullptr || exp == nullptr) return 0;
  const ld::Mantissa parts = ld::frexp(value);
  *exp = parts.exponent;
  return print(parts.mantissa, out, out_len) ? 1 : 0;
}

extern "C" int quarvel_ld_modf(const char* x, char* frac, std::size_t frac_len, char* int_part, std::size_t int_len) {
  Real value;
  if (!parse(x, &value)) return 0;
  const RealPair parts = ld::modf(value);
  if (!print(parts.first, frac, frac_len)) return 0;
  return print(parts.second, int_part, int_len) ? 1 : 0;
}

extern "C" int quarvel_ld_logaddexp_intermediate_overflow(const char* a, const char* b) {
  Real x, y;
  if (!parse_two(a, b, &x, &y)) return -1;
  return ld::logaddexp_intermediate_overflow(x, y) ? 1 : 0;
}

extern "C" int quarvel_ld_logaddexp_intermediate_underflow(const char* a, const char* b, int base2) {
  Real x, y;
  if (!parse_two(a, b, &x, &y)) return -1;
  return ld::logaddexp_intermediate_underflow(x, y, base2 != 0) ? 1 : 0;
}

namespace quarvel_longdouble {

using detail::c_texts;
using detail::call_for_pair;
using detail::call_for_text;

std::optional<std::string> unary_real(std::string_view op, std::string_view x) {
  return call_for_text(quarvel_ld_unary_real, op, x);
}

std::optional<TextPair> binary_real(std::string_view op, std::string_view x, std::string_view y) {
  return call_for_pair(quarvel_ld_binary_real, op, x, y);
}

std::optional<std::pair<std::string, std::int32_t>> frexp(std::string_view x) {
  int exponent = 0;
  auto mantissa = call_for_text(
      [&](const char* text, char* out, std::size_t out_len) { return quarvel_ld_frexp(text, out, out_len, &exponent); },
      x);
  if (!mantissa) return std::nullopt;
  return std::pair<std::string, std::int32_t>{std::move(*mantissa), exponent};
}

std::optional<TextPair> modf(std::string_view x) { return call_for_pair(quarvel_ld_modf, x); }

namespace {

// A check's C result as an optional bool: absent for -1 (unreadable text).
template <class Routine, class... Texts>
std::optional<bool> call_for_flag(Routine routine, Texts... texts) {
  auto copies = c_texts(texts...);
  if (!copies) return std::nullopt;
  const int status = std::apply([&](const auto&... copy) { return routine(copy.c_str()...); }, *copies);
  if (status < 0) return std::nullopt;
  return status == 1;
}

}  // namespace

std::optional<bool> logaddexp_intermediate_overflow(std::string_view a, std::string_view b) {
  return call_for_flag(quarvel_ld_logaddexp_intermediate_overflow, a, b);
}

std::optional<bool> logaddexp_intermediate_underflow(std::string_view a, std::string_view b, bool base2) {
  return call_for_flag(
      [base2](const char* x, const char* y) { return quarvel_ld_logaddexp_intermediate_underflow(x, y, base2 ? 1 : 0); },
      a, b);
}

}  // namespace quarvel_longdouble
