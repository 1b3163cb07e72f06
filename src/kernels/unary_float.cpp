// One-input float and complex functions. Complex arithmetic is spelled out on
// the parts: the library's complex operators recover NaNs in ways the formulas
// here must not. Where a formula would overflow, underflow or cancel, the C
// library's complex function of the same name answers instead.
#include "kernels/unary_float.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "kernels/binary_float.h"
#include "kernels/next_after.h"
#include "storage/float16.h"

namespace quarvel_kernels {
namespace {

template <class F>
using Complex = std::complex<F>;

template <class F>
struct Constants;
template <>
struct Constants<double> {
  static constexpr double deg2rad = 0.017453292519943295;
  static constexpr double rad2deg = 57.29577951308232;
  static constexpr double ln2 = 0.6931471805599453;
  static constexpr double ln10 = 2.302585092994046;
  // Above this, e^x may overflow although e^x cos y does not.
  static constexpr double exp_overflow_risk = 708.0;
  static constexpr double exp2_overflow_risk = 1023.0;
};
template <>
struct Constants<float> {
  static constexpr float deg2rad = 0.017453292f;
  static constexpr float rad2deg = 57.29578f;
  static constexpr float ln2 = 0.6931472f;
  static constexpr float ln10 = 2.3025851f;
  static constexpr float exp_overflow_risk = 88.0f;
  static constexpr float exp2_overflow_risk = 127.0f;
};

constexpr double half_pi = 1.5707963267948966;
constexpr double quarter_pi = 0.7853981633974483;
constexpr double inf = std::numeric_limits<double>::infinity();

// ---- the C library's complex functions --------------------------------------

// Where the formulas below overflow, underflow or cancel (and for infinite or
// NaN parts, where their products by zero and infinity give NaN for defined
// values), the C library's complex functions take over: they follow C99's
// annex G special values and evaluate carefully near the ends of the range.
extern "C" {
_Complex double ccos(_Complex double);
_Complex double csin(_Complex double);
_Complex double ccosh(_Complex double);
_Complex double csinh(_Complex double);
_Complex double ctan(_Complex double);
_Complex double ctanh(_Complex double);
_Complex double casin(_Complex double);
_Complex double cacos(_Complex double);
_Complex double catan(_Complex double);
_Complex double casinh(_Complex double);
_Complex double cacosh(_Complex double);
_Complex double catanh(_Complex double);
_Complex float ccosf(_Complex float);
_Complex float csinf(_Complex float);
_Complex float ccoshf(_Complex float);
_Complex float csinhf(_Complex float);
}

// One row per function: the double form, and the single form where a
// single-precision formula needs one (the others are narrowed from double).
struct LibraryEntry {
  _Complex double (*f64)(_Complex double);
  _Complex float (*f32)(_Complex float);
};
enum class Library { cos, sin, cosh, sinh, tan, tanh, asin, acos, atan, asinh, acosh, atanh };
constexpr LibraryEntry library_functions[] = {
    {ccos, ccosf},    {csin, csinf},    {ccosh, ccoshf},  {csinh, csinhf},  {ctan, nullptr},   {ctanh, nullptr},
    {casin, nullptr}, {cacos, nullptr}, {catan, nullptr}, {casinh, nullptr}, {cacosh, nullptr}, {catanh, nullptr},
};

template <class F>
Complex<F> library(Library f, Complex<F> z) {
  const LibraryEntry& entry = library_functions[static_cast<int>(f)];
  if constexpr (std::is_same_v<F, float>) {
    if (entry.f32 == nullptr) {
      const Complex<double> r = library(f, Complex<double>(z.real(), z.imag()));
      return {static_cast<float>(r.real()), static_cast<float>(r.imag())};
    }
  }
  std::conditional_t<std::is_same_v<F, float>, _Complex float, _Complex double> w;
  __real__ w = z.real();
  __imag__ w = z.imag();
  if constexpr (std::is_same_v<F, float>) {
    w = entry.f32(w);
  } else {
    w = entry.f64(w);
  }
  return {__real__ w, __imag__ w};
}

// ---- real functions --------------------------------------------------------

// Deliberately the ratio form rather than the C atanh (the two can differ in
// the last bit); it is exact at +-1, where it gives the infinities. Taken on
// |x|, where 1 - |x| is exact from 1/2 up: 1 - x of a negative x rounds, and
// near -1 the logarithm magnifies that into most of the digits.
template <class F>
F real_atanh(F x) {
  const F a = std::fabs(x);
  return std::copysign(F(0.5) * std::log1p((F(2) * a) / (F(1) - a)), x);
}

double spacing_f64(double x) { return spacing_in(DType::Float64, x); }

template <class F>
constexpr UnaryFunction<F> real_function(Op op) {
  using C = Constants<F>;
  switch (op) {
    case Op::cos: return [](F x) { return std::cos(x); };
    case Op::sin: return [](F x) { return std::sin(x); };
    case Op::tan: return [](F x) { return std::tan(x); };
    case Op::exp: return [](F x) { return std::exp(x); };
    case Op::log: return [](F x) { return std::log(x); };
    case Op::cosh: return [](F x) { return std::cosh(x); };
    case Op::sinh: return [](F x) { return std::sinh(x); };
    case Op::tanh: return [](F x) { return std::tanh(x); };
    case Op::exp2: return [](F x) { return std::exp2(x); };
    case Op::log2: return [](F x) { return std::log2(x); };
    case Op::cbrt: return [](F x) { return std::cbrt(x); };
    case Op::expm1: return [](F x) { return std::expm1(x); };
    case Op::log10: return [](F x) { return std::log10(x); };
    case Op::log1p: return [](F x) { return std::log1p(x); };
    case Op::arccos: return [](F x) { return std::acos(x); };
    case Op::arcsin: return [](F x) { return std::asin(x); };
    case Op::arctan: return [](F x) { return std::atan(x); };
    case Op::arccosh: return [](F x) { return std::acosh(x); };
    case Op::arcsinh: return [](F x) { return std::asinh(x); };
    case Op::arctanh: return &real_atanh<F>;
    case Op::sqrt: return &inline_real<Op::sqrt, F>;
    case Op::ceil: return [](F x) { return std::ceil(x); };
    case Op::floor: return [](F x) { return std::floor(x); };
    case Op::trunc: return [](F x) { return std::trunc(x); };
    case Op::rint: return [](F x) { return std::rint(x); };
    case Op::deg2rad:
    case Op::radians: return [](F x) { return x * C::deg2rad; };
    case Op::degrees:
    case Op::rad2deg: return [](F x) { return x * C::rad2deg; };
    case Op::square: return &inline_real<Op::square, F>;
    case Op::reciprocal: return &inline_real<Op::reciprocal, F>;
    case Op::negative: return [](F x) { return -x; };
    case Op::positive:
      if constexpr (std::is_same_v<F, float>) return [](F x) { return x; };
      return nullptr;
    case Op::spacing:
      if constexpr (std::is_same_v<F, float>) return &spacing_f32;
      else return &spacing_f64;
    default: return nullptr;
  }
}

// float16 elements run the single-precision function; the result is rounded once.
template <Op O>
Half rounded_to_half(Half x) {
  return Half{round_to_half(real_function<float>(O)(x.value))};
}

// Indexed by Op; only entries whose single-precision function exists are handed out.
template <std::size_t... I>
constexpr std::array<UnaryFunction<Half>, op_count> make_half_table(std::index_sequence<I...>) {
  return {{&rounded_to_half<static_cast<Op>(I)>...}};
}
constexpr auto half_functions = make_half_table(std::make_index_sequence<op_count>());

// ---- complex helpers -------------------------------------------------------

// The inner square root of the inverse functions. With `acosh_sign`, a
// negative real w with zero imaginary part takes the sign of that zero.
Complex<double> inner_sqrt(double a, double b, bool acosh_sign = false) {
  if (b == 0) {
    if (std::signbit(a)) {
      const double root = std::sqrt(-a);
      return {0.0, acosh_sign ? std::copysign(root, b) : root};
    }
    return {std::sqrt(a), b};
  }
  if (a != 0 || std::isnan(a)) {
    const double r = std::hypot(a, b), t = std::atan2(b, a) / 2;
    const double root = std::sqrt(r);
    return {root * std::cos(t), root * std::sin(t)};
  }
  const double root = std::sqrt(std::fabs(b) / 2);
  return {root, std::copysign(root, b)};
}

// ---- complex functions -----------------------------------------------------

// The product formulas hold while both parts and the cosh factor are finite;
// beyond cosh's overflow a product with a cosine or sine below 1 can still be
// finite, and 0 times an infinity would make NaN of a zero part.
template <class F>
Complex<F> complex_cos(Complex<F> z) {
  const F x = z.real(), y = z.imag(), ch = std::cosh(y);
  if (!std::isfinite(ch) || !std::isfinite(x)) return library(Library::cos, z);
  return {std::cos(x) * ch, -(std::sin(x) * std::sinh(y))};
}
template <class F>
Complex<F> complex_sin(Complex<F> z) {
  const F x = z.real(), y = z.imag(), ch = std::cosh(y);
  if (!std::isfinite(ch) || !std::isfinite(x)) return library(Library::sin, z);
  return {std::sin(x) * ch, std::cos(x) * std::sinh(y)};
}
template <class F>
Complex<F> complex_cosh(Complex<F> z) {
  const F x = z.real(), y = z.imag(), ch = std::cosh(x);
  if (!std::isfinite(ch) || !std::isfinite(y)) return library(Library::cosh, z);
  return {ch * std::cos(y), std::sinh(x) * std::sin(y)};
}
template <class F>
Complex<F> complex_sinh(Complex<F> z) {
  const F x = z.real(), y = z.imag(), ch = std::cosh(x);
  if (!std::isfinite(ch) || !std::isfinite(y)) return library(Library::sinh, z);
  return {std::sinh(x) * std::cos(y), ch * std::sin(y)};
}

// power(x) (cos t + i sin t), t the angle of the imaginary part y. A zero y
// stays exact (so real input gives a real result even when power(x)
// overflows), and beyond `overflow_risk` power(x) is applied in two halves so
// that a finite product does not overflow on the way.
template <class F, class Power>
Complex<F> polar_power(F x, F y, F t, Power power, F overflow_risk) {
  if (y == 0) return {power(x), y};
  if (std::isinf(x) && !std::isfinite(y)) {
    if (x < 0) return {F(0), F(0)};
    return {x, std::numeric_limits<F>::quiet_NaN()};
  }
  const F c = std::cos(t), s = std::sin(t);
  if (x > overflow_risk) {
    const F half = power(x / 2);
    return {(half * c) * half, (half * s) * half};
  }
  const F e = power(x);
  return {e * c, e * s};
}

// e^x (cos y + i sin y).
template <class F>
Complex<F> complex_exp(Complex<F> z) {
  return polar_power(z.real(), z.imag(), z.imag(), [](F v) { return std::exp(v); },
                     Constants<F>::exp_overflow_risk);
}

// a*a + b*b + c with the squares formed exactly (fma gives each product's
// rounding error), for sums that cancel.
template <class F>
F squares_plus(F a, F b, F c) {
  const F aa = a * a, bb = b * b;
  const F errors = std::fma(a, a, -aa) + std::fma(b, b, -bb);
  const F big = aa > bb ? aa : bb, small = aa > bb ? bb : aa;
  return ((c + big) + small) + errors;
}

// (log |z|, arg z). |z| is scaled by a power of two when it would overflow or
// fall below the normal range, so a finite z never has an infinite logarithm
// and a subnormal one keeps its digits; near |z| = 1, where log hypot(x, y)
// loses a small real part, the real part is log1p(x^2 + y^2 - 1) / 2;
// elsewhere this is log hypot(x, y).
template <class F>
Complex<F> complex_log(Complex<F> z) {
  using limits = std::numeric_limits<F>;
  const F x = z.real(), y = z.imag();
  const F arg = std::atan2(y, x);
  const F magnitude = std::hypot(x, y);
  if (std::isinf(magnitude) && std::isfinite(x) && std::isfinite(y))
    return {std::log(std::hypot(x / 2, y / 2)) + Constants<F>::ln2, arg};
  if (magnitude < limits::min() && magnitude > 0) {
    constexpr int p = limits::digits + 1;
    constexpr F two_p = static_cast<F>(std::uint64_t{1} << p);
    return {std::log(std::hypot(x * two_p, y * two_p)) - p * Constants<F>::ln2, arg};
  }
  if (magnitude > F(0.75) && magnitude < F(1.5)) return {F(0.5) * std::log1p(squares_plus(x, y, F(-1))), arg};
  return {std::log(magnitude), arg};
}

template <class F, F divisor>
Complex<F> complex_log_base(Complex<F> z) {
  const Complex<F> l = complex_log(z);
  return {l.real() / divisor, l.imag() / divisor};
}

// The principal square root, with C99's special values. Inputs near the ends
// of the range are scaled by an even power of two first, so that x + |z|
// neither overflows nor loses digits to underflow.
template <class F>
Complex<F> complex_sqrt(Complex<F> z) {
  using limits = std::numeric_limits<F>;
  const F x = z.real(), y = z.imag();
  if (std::isinf(y)) return {limits::infinity(), y};
  if (std::isnan(x)) return {x, x};
  if (std::isinf(x)) {
    if (x > 0) return {x, std::isnan(y) ? y : std::copysign(F(0), y)};
    return {std::isnan(y) ? y : F(0), std::copysign(limits::infinity(), y)};
  }
  if (std::isnan(y)) return {y, y};
  if (x == 0 && y == 0) return {F(0), y};

  constexpr int p = limits::digits + 1;
  constexpr F two_p = static_cast<F>(std::uint64_t{1} << p);
  F ax = std::fabs(x), ay = std::fabs(y), unscale = 1;
  const F larger = ax > ay ? ax : ay;
  if (larger > limits::max() / 8) {
    ax /= 4, ay /= 4, unscale = 2;
  } else if (larger < limits::min() * two_p * two_p) {
    ax *= two_p * two_p, ay *= two_p * two_p, unscale = 1 / two_p;
  }
  const F s = std::sqrt((ax + std::hypot(ax, ay)) / 2);
  const F d = ay / (2 * s);
  const F big = s * unscale, small = d * unscale;
  if (x >= 0) return {big, std::copysign(small, y)};
  return {small, std::copysign(big, y)};
}

}  // namespace

template <class F>
[[gnu::noinline]] std::complex<F> complex_square_formula(std::complex<F> z) {
  const F x = z.real(), y = z.imag();
  const F xx = x * x, yy = y * y;
  F re = xx - yy;
  const bool lossy = std::isinf(xx) || std::isinf(yy) || !(std::fabs(re) >= F(0.5) * std::fmax(xx, yy));
  if (lossy && std::isfinite(x) && std::isfinite(y)) re = (x - y) * (x + y);
  return {re, x * y + y * x};
}
template std::complex<float> complex_square_formula<float>(std::complex<float>);
template std::complex<double> complex_square_formula<double>(std::complex<double>);

namespace {

template <class F>
Complex<F> complex_rint(Complex<F> z) {
  return {std::rint(z.real()), std::rint(z.imag())};
}

// The complex power of 2 + 0i; where 2^x overflows (a product with a cosine
// or sine can still be finite, and a zero imaginary part stays zero) or a part
// is not finite, 2^x (cos(y ln 2) + i sin(y ln 2)) instead.
template <class F>
Complex<F> complex_exp2(Complex<F> z) {
  const F x = z.real(), y = z.imag();
  if (std::isfinite(y) && x <= Constants<F>::exp2_overflow_risk) {
    F r[2];
    complex_power_parts<F>(F(2), F(0), x, y, r);
    return {r[0], r[1]};
  }
  return polar_power(x, y, y * Constants<F>::ln2, [](F v) { return std::exp2(v); },
                     Constants<F>::exp2_overflow_risk);
}

// Where e^x overflows (a finite result may remain) or a part is infinite or
// NaN, e^z - 1 is taken from the complex exponential, which handles both.
template <class F>
Complex<F> complex_expm1(Complex<F> z) {
  const F x = z.real(), y = z.imag();
  if (!(x <= Constants<F>::exp_overflow_risk) || !std::isfinite(y)) {
    const Complex<F> e = complex_exp(z);
    return {e.real() - F(1), y == 0 ? y : e.imag()};
  }
  const F half_sine = std::sin(y / 2);
  const F re = std::expm1(x) * std::cos(y) - F(2) * (half_sine * half_sine);
  return {re, y == 0 ? y : std::exp(x) * std::sin(y)};
}

template <class F>
Complex<F> complex_log1p(Complex<F> z) {
  const F x = z.real(), y = z.imag();
  F re;
  if (std::hypot(x, y) < F(0.5)) {
    const F sum = x * x + F(2) * x + y * y;
    // Near the circle |z + 1| = 1 the sum cancels: form it again with exact squares.
    const bool cancels = std::fabs(sum) < F(0.5) * (std::fabs(F(2) * x) + y * y);
    re = F(0.5) * std::log1p(cancels ? squares_plus(x, y, F(2) * x) : sum);
  } else if (const F m = std::hypot(x + 1, y); m > F(0.75) && m < F(1.5)) {
    re = F(0.5) * std::log1p(squares_plus(x, y, F(2) * x));  // |z + 1|^2 - 1 from the exact x
  } else {
    // The complex logarithm scales a magnitude that would overflow or be subnormal.
    re = complex_log(Complex<F>(x + 1, y)).real();
  }
  return {re, std::atan2(y, x + 1)};
}

// tan and tanh share one evaluation: tanh(a + ib) with a the "large" part.
// Beyond |a| = 20 the hyperbolic functions are replaced by t = e^(-2|a|) so
// that they do not overflow; the result there is exactly +-1 for huge |a|.
// Absent for infinite or NaN parts, and near a pole (b near pi/2 + k pi, a
// small), where cosh 2a + cos 2b cancels.
std::optional<Complex<double>> tanh_parts(double a, double b) {
  if (!std::isfinite(a) || !std::isfinite(b)) return std::nullopt;
  if (std::fabs(a) < 20) {
    const double d = std::cosh(2 * a) + std::cos(2 * b);
    if (d < 0.5) return std::nullopt;
    return Complex<double>(std::sinh(2 * a) / d, std::sin(2 * b) / d);
  }
  const double t = std::exp(-2 * std::fabs(a));
  const double d = 2 * t * std::cos(2 * b) + t * t + 1;
  const double s = std::copysign(1.0, a);
  return Complex<double>(s * (1 - t * t) / d, 2 * t * std::sin(2 * b) / d);
}

template <class F>
Complex<F> complex_negative(Complex<F> z) {
  return {-z.real(), -z.imag()};
}
template <class F>
Complex<F> complex_conjugate(Complex<F> z) {
  return {z.real(), -z.imag()};
}

// A function of a table below, and whether there is one: the tables are
// read at compile time, where a sanitizer build cannot compare function
// addresses with null.
template <class F>
struct ComplexEntry {
  UnaryFunction<Complex<F>> function = nullptr;
  bool found = false;
};
template <class F>
constexpr ComplexEntry<F> entry(UnaryFunction<Complex<F>> f) {
  return {f, true};
}

// The functions computed in the element's own precision.
template <class F>
constexpr ComplexEntry<F> own_precision_function(Op op) {
  using C = Constants<F>;
  switch (op) {
    case Op::cos: return entry<F>(&complex_cos<F>);
    case Op::sin: return entry<F>(&complex_sin<F>);
    case Op::cosh: return entry<F>(&complex_cosh<F>);
    case Op::sinh: return entry<F>(&complex_sinh<F>);
    case Op::exp: return entry<F>(&complex_exp<F>);
    case Op::log: return entry<F>(&complex_log<F>);
    case Op::log2: return entry<F>(&complex_log_base<F, C::ln2>);
    case Op::log10: return entry<F>(&complex_log_base<F, C::ln10>);
    case Op::sqrt: return entry<F>(&complex_sqrt<F>);
    case Op::rint: return entry<F>(&complex_rint<F>);
    case Op::square: return entry<F>(&complex_square<F>);
    case Op::negative: return entry<F>(&complex_negative<F>);  // inlined alike
    case Op::conjugate: return entry<F>(&complex_conjugate<F>);
    case Op::expm1: return entry<F>(&complex_expm1<F>);
    case Op::log1p: return entry<F>(&complex_log1p<F>);
    case Op::exp2: return entry<F>(&complex_exp2<F>);
    case Op::reciprocal: return entry<F>(&complex_reciprocal<F>);
    default: return {};
  }
}

// The double routines, which complex64 elements run widened.
constexpr ComplexEntry<double> double_routine(Op op) {
  switch (op) {
    case Op::tan: return entry<double>(&complex_tan_f64);
    case Op::tanh: return entry<double>(&complex_tanh_f64);
    case Op::arcsin: return entry<double>(&complex_asin_f64);
    case Op::arccos: return entry<double>(&complex_acos_f64);
    case Op::arctan: return entry<double>(&complex_atan_f64);
    case Op::arccosh: return entry<double>(&complex_acosh_f64);
    case Op::arcsinh: return entry<double>(&complex_asinh_f64);
    case Op::arctanh: return entry<double>(&complex_atanh_f64);
    default: return {};
  }
}

UnaryFunction<Complex<double>> complex_function_of_double(Op op) {
  const ComplexEntry<double> own = own_precision_function<double>(op);
  return own.found ? own.function : double_routine(op).function;
}

// ---- complex64 runs ----------------------------------------------------------
//
// Each element is computed by a function compiled once and never inlined,
// cloned or given another interface (noipa), whichever path calls it: a
// result's bits, a NaN's sign and payload among them, never depend on the
// path. Operands and results pass through memory: a complex<float> handed
// over in a register is packed and unpacked through the stack on every call,
// each load waiting on two stores it cannot be forwarded.

template <UnaryFunction<Complex<float>> f>
[[gnu::noipa]] void single_element(const Complex<float>* z, Complex<float>* r) {
  *r = f(*z);
}
template <UnaryFunction<Complex<double>> f>
[[gnu::noipa]] void double_element(const Complex<double>* w, Complex<double>* r) {
  *r = f(*w);
}

template <UnaryFunction<Complex<float>> f>
void single_run(const Complex<float>* z, Complex<float>* r, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) single_element<f>(z + i, r + i);
}

// Widened a chunk at a time, the double routine on each, narrowed.
template <UnaryFunction<Complex<double>> f>
void narrowed_run(const Complex<float>* z, Complex<float>* r, std::size_t n) {
  constexpr std::size_t chunk = 64;
  Complex<double> w[chunk];
  for (std::size_t start = 0; start < n; start += chunk) {
    const std::size_t m = std::min(chunk, n - start);
    for (std::size_t i = 0; i < m; ++i) w[i] = {z[start + i].real(), z[start + i].imag()};
    for (std::size_t i = 0; i < m; ++i) double_element<f>(w + i, w + i);
    for (std::size_t i = 0; i < m; ++i)
      r[start + i] = {static_cast<float>(w[i].real()), static_cast<float>(w[i].imag())};
  }
}

template <Op op>
inline constexpr bool has_complex_run = own_precision_function<float>(op).found || double_routine(op).found;

template <Op op>
constexpr ComplexRun<float> complex_run_of() {
  if constexpr (own_precision_function<float>(op).found) {
    return &single_run<own_precision_function<float>(op).function>;
  } else if constexpr (double_routine(op).found) {
    return &narrowed_run<double_routine(op).function>;
  } else {
    return nullptr;
  }
}

// One element through its run.
template <Op op>
Complex<float> complex_single(Complex<float> z) {
  Complex<float> r;
  complex_run_of<op>()(&z, &r, 1);
  return r;
}

// Indexed by Op.
template <std::size_t... I>
constexpr std::array<ComplexRun<float>, op_count> make_run_table(std::index_sequence<I...>) {
  return {{complex_run_of<static_cast<Op>(I)>()...}};
}
constexpr auto complex_runs = make_run_table(std::make_index_sequence<op_count>());
template <std::size_t... I>
constexpr std::array<UnaryFunction<Complex<float>>, op_count> make_single_table(std::index_sequence<I...>) {
  return {{(has_complex_run<static_cast<Op>(I)> ? &complex_single<static_cast<Op>(I)> : nullptr)...}};
}
constexpr auto complex_singles = make_single_table(std::make_index_sequence<op_count>());

// Beyond this magnitude the squares in atan and atanh overflow.
constexpr double atan_safe_limit = 3.351951982485649e153;

bool in_atan_safe_range(double x, double y) {
  return std::isfinite(x) && std::isfinite(y) && std::fabs(x) < atan_safe_limit && std::fabs(y) < atan_safe_limit;
}

}  // namespace

// ---- public entry points ---------------------------------------------------

UnaryFunction<float> real_function_f32(Op op) { return real_function<float>(op); }
UnaryFunction<double> real_function_f64(Op op) { return real_function<double>(op); }
UnaryFunction<Half> real_function_f16(Op op) {
  if (op == Op::spacing) return &spacing_f16;
  if (real_function<float>(op) == nullptr) return nullptr;
  return half_functions[static_cast<int>(op)];
}
UnaryFunction<std::complex<float>> complex_function_f32(Op op) { return complex_singles[static_cast<int>(op)]; }
ComplexRun<float> complex_run_f32(Op op) { return complex_runs[static_cast<int>(op)]; }
UnaryFunction<std::complex<double>> complex_function_f64(Op op) { return complex_function_of_double(op); }

Result<float> unary_float32(Op op, float x) {
  const UnaryFunction<float> f = real_function<float>(op);
  if (f == nullptr) return fail(ErrorKind::CannotConvert);
  return f(x);
}

Result<float> unary_float32(std::string_view name, float x) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return unary_float32(*op, x);
}

Result<Scalar> unary_float_or_complex(Op op, const Scalar& x, DType out) {
  const DType in = x.dtype();
  if (out == DType::Complex64 && in == DType::Complex64) {
    const ComplexRun<float> run = complex_run_f32(op);
    if (run == nullptr) return fail(ErrorKind::CannotConvert);
    const std::complex<float> z = x.get<std::complex<float>>();
    std::complex<float> r;
    run(&z, &r, 1);
    return Scalar(r);
  }
  if (out == DType::Float32 && in == DType::Float32) {
    const UnaryFunction<float> f = real_function<float>(op);
    if (f == nullptr) return fail(ErrorKind::CannotConvert);
    return Scalar(f(x.get<float>()));
  }
  if (out == DType::Float16 && in == DType::Float16) {
    const UnaryFunction<Half> f = real_function_f16(op);
    if (f == nullptr) return fail(ErrorKind::CannotConvert);
    return Scalar(f(x.get<Half>()));
  }
  if (in.is_complex()) {
    const UnaryFunction<std::complex<double>> f = complex_function_of_double(op);
    if (f == nullptr) return fail(ErrorKind::CannotConvert);
    const Result<std::complex<double>> z = x.as_complex();
    if (!z) return fail(z.error());
    return Scalar(f(*z)).cast(out);
  }
  // The step of spacing is taken in the precision of the output.
  const UnaryFunction<double> f = real_function<double>(op);
  if (f == nullptr) return fail(ErrorKind::CannotConvert);
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  const double result = op == Op::spacing ? spacing_in(out, *v) : f(*v);
  return Scalar(result).cast(out);
}

Result<Scalar> unary_float_or_complex(std::string_view name, const Scalar& x, DType out) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return unary_float_or_complex(*op, x, out);
}

// ---- spacing ---------------------------------------------------------------

// binary32:  s eeeeeeee mmmmmmmmmmmmmmmmmmmmmmm
// One more on the pattern of a nonzero value is the next magnitude of its sign.
float spacing_f32(float x) {
  if (!std::isfinite(x)) return std::numeric_limits<float>::quiet_NaN();
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
  const std::uint32_t next = x == 0 ? 1u : bits + 1;
  return std::bit_cast<float>(next) - x;
}

Half spacing_f16(Half x) { return Half{round_to_half(half_spacing(x.value))}; }

double spacing_in(DType dtype, double x) {
  const double direction = x == 0 ? inf : std::copysign(inf, x);
  return next_after_dtype(dtype, x, direction) - x;
}

// ---- tangents --------------------------------------------------------------

std::complex<double> complex_tanh_f64(std::complex<double> z) {
  if (const auto t = tanh_parts(z.real(), z.imag())) return *t;
  return library(Library::tanh, z);
}

// tan z = -i tanh(iz): swap the parts in and out.
std::complex<double> complex_tan_f64(std::complex<double> z) {
  if (const auto t = tanh_parts(z.imag(), z.real())) return {t->imag(), t->real()};
  return library(Library::tan, z);
}

std::complex<float> complex_tan_f32(std::complex<float> z) { return complex_single<Op::tan>(z); }
std::complex<float> complex_tanh_f32(std::complex<float> z) { return complex_single<Op::tanh>(z); }

std::complex<float> complex_expm1_f32(std::complex<float> z) { return complex_expm1(z); }
std::complex<double> complex_expm1_f64(std::complex<double> z) { return complex_expm1(z); }
std::complex<float> complex_log1p_f32(std::complex<float> z) { return complex_log1p(z); }
std::complex<double> complex_log1p_f64(std::complex<double> z) { return complex_log1p(z); }

// ---- inverse functions -----------------------------------------------------
//
// Each formula runs where it keeps its accuracy; the C library's function
// (same branch cuts) takes the regions where it overflows, underflows or
// cancels, and infinite or NaN parts.

namespace {

// asin(x + iy) by A = (|z + 1| + |z - 1|)/2: real part asin(x/A), imaginary
// part asinh(y / sqrt(P)) with P = 1 - (x/A)^2. Absent when P < 1/4 (x/A near
// +-1: P cancels and asin is steep, near the real axis beyond +-1 and for
// large |x|) or overflows.
std::optional<Complex<double>> asin_formula(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
  const double a = 0.5 * std::hypot(x + 1, y) + 0.5 * std::hypot(x - 1, y);
  const double ratio = x / a;
  const double below = (a - x) / a, above = (a + x) / a;
  const double p = (below > 0 ? below : 0) * (above > 0 ? above : 0);
  if (!(p >= 0.25 && p < 2)) return std::nullopt;
  const double re = std::asin(ratio > 1 ? 1 : (ratio < -1 ? -1 : ratio));
  return Complex<double>(re, std::copysign(std::fabs(std::asinh(y / std::sqrt(p))), y));
}

// Beyond this magnitude the squares in asinh overflow.
constexpr double asinh_safe_limit = 1e150;

}  // namespace

std::complex<double> complex_asin_f64(std::complex<double> z) {
  if (const auto r = asin_formula(z.real(), z.imag())) return *r;
  return library(Library::asin, z);
}

std::complex<double> complex_acos_f64(std::complex<double> z) {
  if (const auto a = asin_formula(z.real(), z.imag())) return {half_pi - a->real(), -a->imag()};
  return library(Library::acos, z);
}

// The formulas are -i atanh(iz) and atanh written out; absent beyond
// atan_safe_limit, where 1 - x^2 - y^2 cancels near the unit circle close to
// the axis, where the log1p argument nears -1 and where the denominator is not
// normal.
std::complex<double> complex_atan_f64(std::complex<double> z) {
  const double x = z.real(), y = z.imag();
  if (in_atan_safe_range(x, y)) {
    const double d = (y - 1) * (y - 1) + x * x;
    const double ratio = 4 * y / d;
    const double circle = 1 - x * x - y * y;
    if (d >= std::numeric_limits<double>::min() && ratio >= -0.5 &&
        std::fmax(std::fabs(2 * x), std::fabs(circle)) >= 0.25)
      return {0.5 * std::atan2(2 * x, circle), 0.25 * std::log1p(ratio)};
  }
  return library(Library::atan, z);
}

std::complex<double> complex_atanh_f64(std::complex<double> z) {
  const double x = z.real(), y = z.imag();
  if (!in_atan_safe_range(x, y)) return library(Library::atanh, z);
  // atanh(+-1 +- 0i): the imaginary part is a quarter turn with the sign of y.
  const bool unit = y == 0 && std::fabs(x) == 1;
  const double circle = 1 - x * x - y * y;
  if (!unit && y != 0 && std::fmax(std::fabs(2 * y), std::fabs(circle)) < 0.25) return library(Library::atanh, z);
  double re;
  if (std::fabs(x) >= 0.5) {
    const double l1 = std::log(std::hypot(1 + x, y)), l2 = std::log(std::hypot(1 - x, y));
    // The difference of two logarithms of nearly equal magnitudes (large |z|) cancels.
    if (std::fabs(l1) + std::fabs(l2) + 2 > 8 * std::fabs(l1 - l2)) return library(Library::atanh, z);
    re = 0.5 * (l1 - l2);
  } else {
    re = 0.25 * std::log1p(4 * x / ((1 - x) * (1 - x) + y * y));
  }
  const double im = unit ? std::copysign(quarter_pi, y) : 0.5 * std::atan2(2 * y, circle);
  return {re, im};
}

// 2 log(sqrt((z + 1)/2) + sqrt((z - 1)/2)). Each half is taken as the complex
// quotient by 2 + 0i (its products by zero kept, so a zero imaginary part
// keeps its sign) without forming 2w, which could overflow.
std::complex<double> complex_acosh_f64(std::complex<double> z) {
  const double x = z.real(), y = z.imag();
  if (!std::isfinite(x) || !std::isfinite(y)) return library(Library::acosh, z);
  const auto half = [y](double w) { return inner_sqrt(w / 2 + y * 0.0, y / 2 - w * 0.0, true); };
  const std::complex<double> s1 = half(x + 1), s2 = half(x - 1);
  const double u_re = s1.real() + s2.real(), u_im = s1.imag() + s2.imag();
  const double m = std::hypot(u_re, u_im);
  // |u| >= 1; near 1 (z near +-1, or close to the cut) its logarithm loses the small real part.
  if (m < 1.4142135623730951) return library(Library::acosh, z);
  double im = 2 * std::atan2(u_im, u_re);
  if (y == 0 && x < 1) im = std::copysign(std::fabs(im), y);
  return {2 * std::log(m), im};
}

std::complex<double> complex_asinh_f64(std::complex<double> z) {
  const double x = z.real(), y = z.imag();
  // A zero real part takes no sign here: the cut beyond +-i gets the value of
  // the side reached counter-clockwise (the left half-plane below -i).
  const std::complex<double> on_cut(x == 0 && std::fabs(y) > 1 ? std::copysign(0.0, y) : x, y);
  if (!std::isfinite(x) || !std::isfinite(y)) return library(Library::asinh, z);
  // Below -i with a zero real part, y + sqrt(y^2 - 1) cancels.
  if (x == 0 && y < -1) return library(Library::asinh, on_cut);
  if (std::fmax(std::fabs(x), std::fabs(y)) > asinh_safe_limit) return library(Library::asinh, on_cut);
  const std::complex<double> s = inner_sqrt(x * x - y * y + 1, 2 * x * y);
  const bool left = x < 0;
  const double a = left ? s.real() - x : x + s.real(), b = left ? s.imag() - y : y + s.imag();
  const double m = std::hypot(a, b);
  // Near |u| = 1 its logarithm loses a small real part.
  if (m > 0.5 && m < 2) return library(Library::asinh, on_cut);
  const double re = std::log(m), im = std::atan2(b, a);
  return left ? std::complex<double>(-re, -im) : std::complex<double>(re, im);
}

}  // namespace quarvel_kernels
