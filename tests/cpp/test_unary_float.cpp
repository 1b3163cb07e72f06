// One-input float and complex functions: the neighbour step of each float
// precision, the precision choice (results rounded once), the spacing rules,
// the complex routines' fixed cases, and complex128 against CPython's cmath
// table and mpmath reference rows.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/next_after.h"
#include "kernels/unary_float.h"
#include "storage/float16.h"
#include "ulps.h"

namespace {

using quarvel_storage::DType;
using quarvel_storage::ErrorKind;
using quarvel_storage::Half;
using quarvel_storage::half_bits_to_float;
using quarvel_storage::Scalar;
using quarvel_kernels::next_after_dtype;
using quarvel_kernels::Op;
namespace kernels = quarvel_kernels;
using test_ulps::library_ulps;
using test_ulps::ulps_apart;
using c64 = std::complex<float>;
using c128 = std::complex<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits64(double v) { return std::bit_cast<std::uint64_t>(v); }

// ---- next_after_dtype ------------------------------------------------------

TEST(NextAfterDtype, Float64MatchesCNextafter) {
  const double samples[] = {0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, 1.7976931348623157e308, inf, -inf, 0.1, -3.5e-310};
  for (double a : samples)
    for (double b : samples) {
      SCOPED_TRACE(testing::Message() << a << " -> " << b);
      EXPECT_EQ(bits64(next_after_dtype(DType::Float64, a, b)), bits64(std::nextafter(a, b)));
    }
  EXPECT_TRUE(std::isnan(next_after_dtype(DType::Float64, nan, 1.0)));
  EXPECT_TRUE(std::isnan(next_after_dtype(DType::Float64, 1.0, nan)));
  // Any dtype other than float16 and float32 steps in double precision.
  EXPECT_EQ(next_after_dtype(DType::LongDouble, 1.0, 2.0), std::nextafter(1.0, 2.0));
}

TEST(NextAfterDtype, Float32MatchesCNextafterf) {
  const float samples[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-45f, -1e-45f, 3.4028235e38f, INFINITY, -INFINITY, 0.1f};
  for (float a : samples)
    for (float b : samples) {
      SCOPED_TRACE(testing::Message() << a << " -> " << b);
      const double got = next_after_dtype(DType::Float32, a, b);
      EXPECT_EQ(bits64(got), bits64(static_cast<double>(std::nextafter(a, b))));
    }
  // Operands are rounded to single precision first: 0.1 is not a float.
  EXPECT_EQ(next_after_dtype(DType::Float32, 0.1, 1.0), static_cast<double>(std::nextafter(0.1f, 1.0f)));
}

TEST(NextAfterDtype, Float16Steps) {
  struct Case {
    double a, b, want;
  };
  const Case cases[] = {
      {1.0, 2.0, 1.0009765625},
      {1.0, 0.0, 1.0 - 0x1p-11},
      {-1.0, -2.0, -1.0009765625},
      {65504.0, inf, inf},
      {inf, 0.0, 65504.0},
      {0.0, -1.0, -0x1p-24},
      {-0.0, 1.0, 0x1p-24},
      {0x1p-14, 0.0, 0x1p-14 - 0x1p-24},
      {0x1p-24, -1.0, 0.0},
      {3.0, 3.0, 3.0},
      // 1.0001 rounds to the half 1.0 before stepping.
      {1.0001, 5.0, 1.0009765625},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " -> " << c.b);
    EXPECT_EQ(bits64(next_after_dtype(DType::Float16, c.a, c.b)), bits64(c.want));
  }
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, -0.0, 0.0)), bits64(0.0));
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, 0.0, -0.0)), bits64(-0.0));
  const double quiet = half_bits_to_float(0x7E00);
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, -nan, 1.0)), bits64(quiet));
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, 1.0, nan)), bits64(quiet));
}


// ---- precision choice: results rounded once --------------------------------

// A float16 value through the compiler's own binary16 conversion, which shares
// no code with the kernels' rounding.
float to_half_independently(double value) { return static_cast<float>(static_cast<_Float16>(value)); }

Scalar run(Op op, const Scalar& x, DType out) {
  auto result = kernels::unary_float_or_complex(op, x, out);
  EXPECT_TRUE(result.has_value()) << kernels::op_name(op);
  return result ? *result : Scalar();
}

// Every float16 value, computed in single precision and rounded once: for these
// operations the single-precision result is exact or correctly rounded, so it
// must equal the double result rounded straight to half.
TEST(PrecisionChoice, Float16ResultsRoundedOnce) {
  struct Case {
    Op op;
    double (*reference)(double);
  };
  const Case cases[] = {
      {Op::square, [](double x) { return x * x; }},
      {Op::negative, [](double x) { return -x; }},
      {Op::sqrt, [](double x) { return std::sqrt(x); }},
      {Op::rint, [](double x) { return std::rint(x); }},
      {Op::floor, [](double x) { return std::floor(x); }},
      {Op::deg2rad, [](double x) { return x * static_cast<double>(0.017453292f); }},
  };
  for (const Case& c : cases) {
    int mismatches = 0;
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
      const float x = half_bits_to_float(static_cast<std::uint16_t>(bits));
      const Scalar got = run(c.op, Scalar::half(x), DType::Float16);
      const float want = to_half_independently(c.reference(x));
      const float value = got.get<Half>().value;
      if (std::bit_cast<std::uint32_t>(value) != std::bit_cast<std::uint32_t>(want) &&
          !(std::isnan(value) && std::isnan(want)))
        ++mismatches;
    }
    EXPECT_EQ(mismatches, 0) << kernels::op_name(c.op);
  }
}

// float32 in and out runs single precision; the double computation of these
// operations rounded by the processor's conversion is the correctly rounded
// single result.
TEST(PrecisionChoice, Float32ResultsRoundedOnce) {
  struct Case {
    Op op;
    double (*reference)(double);
  };
  const Case cases[] = {
      {Op::square, [](double x) { return x * x; }},
      {Op::sqrt, [](double x) { return std::sqrt(x); }},
      {Op::reciprocal, [](double x) { return 1 / x; }},
      {Op::degrees, [](double x) { return x * static_cast<double>(57.29578f); }},
  };
  std::mt19937 random(7);
  for (const Case& c : cases) {
    for (int i = 0; i < 20000; ++i) {
      const float x = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
      if (std::isnan(x)) continue;
      const float got = run(c.op, Scalar(x), DType::Float32).get<float>();
      const float want = static_cast<float>(c.reference(x));
      ASSERT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want))
          << kernels::op_name(c.op) << " of " << x;
    }
  }
}

// The paths are told apart by the bits of the library's own functions, called
// here at run time on the same machine: operands read from volatile objects
// keep the compiler from folding these calls with its own correctly rounded
// arithmetic.
template <class T>
T unfolded(T value) {
  volatile T held = value;
  return held;
}

TEST(PrecisionChoice, MixedDtypesComputeInDoubleAndCast) {
  // float16 input, float32 output: the double function, rounded to single.
  const float x = half_bits_to_float(0x3C01);  // 1.0009765625
  const Scalar got = run(Op::sqrt, Scalar::half(x), DType::Float32);
  EXPECT_EQ(got.get<float>(), static_cast<float>(std::sqrt(static_cast<double>(x))));
  // An integer input runs the double path.
  EXPECT_EQ(run(Op::exp, Scalar(std::int32_t{1}), DType::Float64).get<double>(), std::exp(unfolded(1.0)));
  // A complex128 input with a complex64 output: the double routine, narrowed.
  const double re = unfolded(0.3), im = unfolded(-1.7);
  const c64 narrowed = run(Op::sin, Scalar(c128(re, im)), DType::Complex64).get<c64>();
  EXPECT_EQ(narrowed, c64(static_cast<float>(std::sin(re) * std::cosh(im)),
                          static_cast<float>(std::cos(re) * std::sinh(im))));
}

TEST(PrecisionChoice, Complex64RunsSinglePrecisionOrThroughDouble) {
  const float re = unfolded(0.75f), im = unfolded(-0.5f);
  const c64 z(re, im);
  // Single-precision formula for sin...
  const c64 sine = run(Op::sin, Scalar(z), DType::Complex64).get<c64>();
  EXPECT_EQ(sine, c64(std::sin(re) * std::cosh(im), std::cos(re) * std::sinh(im)));
  // ...and the double routines, narrowed, for tan, tanh and the inverse functions.
  const c64 arcsine = run(Op::arcsin, Scalar(z), DType::Complex64).get<c64>();
  const c128 wide = kernels::complex_asin_f64(c128(0.75, -0.5));
  EXPECT_EQ(arcsine, c64(static_cast<float>(wide.real()), static_cast<float>(wide.imag())));
  EXPECT_EQ(kernels::complex_tan_f32(z), c64(static_cast<float>(kernels::complex_tan_f64(c128(0.75, -0.5)).real()),
                                           static_cast<float>(kernels::complex_tan_f64(c128(0.75, -0.5)).imag())));
  // Every complex64 function stays close to its double counterpart.
  for (Op op : {Op::cos, Op::sin, Op::cosh, Op::sinh, Op::tan, Op::tanh, Op::exp, Op::exp2, Op::log, Op::log2,
                Op::log10, Op::sqrt, Op::expm1, Op::log1p, Op::arcsin, Op::arccos, Op::arctan, Op::arccosh,
                Op::arcsinh, Op::arctanh, Op::square, Op::reciprocal}) {
    const c64 single = run(op, Scalar(z), DType::Complex64).get<c64>();
    const c128 dbl = run(op, Scalar(c128(0.75, -0.5)), DType::Complex128).get<c128>();
    EXPECT_NEAR(single.real(), dbl.real(), 4e-7 * std::abs(dbl)) << kernels::op_name(op);
    EXPECT_NEAR(single.imag(), dbl.imag(), 4e-7 * std::abs(dbl)) << kernels::op_name(op);
  }
}

TEST(PrecisionChoice, NamesThePathDoesNotList) {
  // Real-only names refuse complex input; positive exists in single precision only.
  for (const char* name : {"cbrt", "ceil", "floor", "trunc", "deg2rad", "radians", "degrees", "rad2deg", "spacing"}) {
    for (DType out : {DType::Complex64, DType::Complex128}) {
      const Scalar x = out == DType::Complex64 ? Scalar(c64(1, 1)) : Scalar(c128(1, 1));
      auto result = kernels::unary_float_or_complex(name, x, out);
      ASSERT_FALSE(result.has_value()) << name;
      EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
    }
  }
  EXPECT_EQ(*kernels::unary_float32("positive", -2.5f), -2.5f);
  EXPECT_FALSE(kernels::unary_float_or_complex("positive", Scalar(2.5), DType::Float64).has_value());
  for (const char* name : {"add", "absolute", "isnan", "cosine", "", "SIN", "arctan2", "atan2"}) {
    auto result = kernels::unary_float32(name, 1.0f);
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
  }
  // Aliases of the inverse functions are understood.
  EXPECT_EQ(*kernels::unary_float32("acos", 0.5f), *kernels::unary_float32("arccos", 0.5f));
  EXPECT_EQ(*kernels::unary_float32("arctanh", 1.0f), std::numeric_limits<float>::infinity());
}

TEST(RealFunctions, ArctanhIsHalfLog1pOfTheRatio) {
  EXPECT_EQ(run(Op::arctanh, Scalar(1.0), DType::Float64).get<double>(), inf);
  EXPECT_EQ(run(Op::arctanh, Scalar(-1.0), DType::Float64).get<double>(), -inf);
  EXPECT_TRUE(std::isnan(run(Op::arctanh, Scalar(2.0), DType::Float64).get<double>()));
  EXPECT_LE(ulps_apart(run(Op::arctanh, Scalar(0.5), DType::Float64).get<double>(), 0.5493061443340549), library_ulps);
}

// A typed loop calls the element functions directly; the Scalar dispatch must
// give the same bits for every element type and operation.
template <class T>
bool same_bits(T a, T b) {
  if constexpr (std::is_same_v<T, Half>) {
    return std::bit_cast<std::uint32_t>(a.value) == std::bit_cast<std::uint32_t>(b.value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return std::memcmp(&a, &b, sizeof(T)) == 0 || (std::isnan(a) && std::isnan(b));
  } else {
    return same_bits(a.real(), b.real()) && same_bits(a.imag(), b.imag());
  }
}

template <class T>
void expect_dispatch_matches(kernels::UnaryFunction<T> (*lookup)(Op), std::initializer_list<T> values) {
  int checked = 0;
  for (int i = 0; i < kernels::op_count; ++i) {
    const Op op = static_cast<Op>(i);
    const kernels::UnaryFunction<T> f = lookup(op);
    if (f == nullptr) continue;
    for (T x : values) {
      const Scalar input(x);
      auto result = kernels::unary(op, input, input.dtype());
      ASSERT_TRUE(result.has_value()) << kernels::op_name(op);
      EXPECT_TRUE(same_bits((*result)[0].get<T>(), f(x))) << kernels::op_name(op) << " of " << input.dtype().name();
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

TEST(PrecisionChoice, ElementFunctionsMatchTheDispatch) {
  expect_dispatch_matches<float>(&kernels::real_function_f32, {0.3f, -2.5f, 0.0f, -0.0f, 1e30f, INFINITY, NAN});
  expect_dispatch_matches<double>(&kernels::real_function_f64, {0.3, -2.5, 0.0, -0.0, 1e300, -inf, nan});
  expect_dispatch_matches<Half>(&kernels::real_function_f16, {Half{0.5f}, Half{-3.0f}, Half{65504.0f}, Half{-0.0f}});
  expect_dispatch_matches<c64>(&kernels::complex_function_f32, {c64(0.3f, -2.5f), c64(0, 0), c64(-1, 0.5f)});
  expect_dispatch_matches<c128>(&kernels::complex_function_f64, {c128(0.3, -2.5), c128(0, 0), c128(-1, 0.5)});
}

// ---- spacing ---------------------------------------------------------------

TEST(Spacing, Float64StepsAwayFromZero) {
  const auto spacing = [](double x) { return run(Op::spacing, Scalar(x), DType::Float64).get<double>(); };
  EXPECT_EQ(spacing(1.0), 2.220446049250313e-16);
  EXPECT_EQ(spacing(-1.0), -2.220446049250313e-16);
  EXPECT_EQ(bits64(spacing(0.0)), bits64(5e-324));
  EXPECT_EQ(bits64(spacing(-0.0)), bits64(5e-324));
  EXPECT_EQ(spacing(1.7976931348623157e308), inf);
  for (double x : {inf, -inf, nan}) EXPECT_TRUE(std::isnan(spacing(x)));
  for (double x : {3.0, -7.5e-310, 1e300, -123.456})
    EXPECT_EQ(spacing(x), std::nextafter(x, std::copysign(inf, x)) - x) << x;
}

TEST(Spacing, Float32SinglePrecisionRule) {
  const auto spacing = [](float x) { return run(Op::spacing, Scalar(x), DType::Float32).get<float>(); };
  EXPECT_EQ(spacing(1.0f), 1.1920929e-07f);
  EXPECT_EQ(spacing(-1.0f), -1.1920929e-07f);
  EXPECT_EQ(spacing(0.0f), std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(spacing(-0.0f), std::numeric_limits<float>::denorm_min());
  EXPECT_EQ(spacing(std::numeric_limits<float>::max()), std::numeric_limits<float>::infinity());
  EXPECT_EQ(spacing(-std::numeric_limits<float>::max()), -std::numeric_limits<float>::infinity());
  for (float x : {INFINITY, -INFINITY, NAN}) EXPECT_TRUE(std::isnan(spacing(x)));
  for (float x : {3.0f, -7.5e-40f, 1e30f}) EXPECT_EQ(spacing(x), std::nextafter(x, std::copysign(INFINITY, x)) - x);
  // A float64 input with a float32 output steps in single precision, the
  // difference taken in double.
  const Scalar mixed = run(Op::spacing, Scalar(1.0), DType::Float32);
  EXPECT_EQ(mixed.get<float>(), 1.1920929e-07f);
  const double third = 1.0 / 3;
  const Scalar rounded = run(Op::spacing, Scalar(third), DType::Float32);
  EXPECT_EQ(rounded.get<float>(),
            static_cast<float>(static_cast<double>(std::nextafter(static_cast<float>(third), 1.0f)) - third));
}

TEST(Spacing, Float16HalfPrecisionRule) {
  const auto spacing = [](float x) { return run(Op::spacing, Scalar::half(x), DType::Float16).get<Half>().value; };
  EXPECT_EQ(spacing(1.0f), 0.0009765625f);
  EXPECT_EQ(spacing(-1.0f), -0.0009765625f);
  EXPECT_EQ(spacing(65504.0f), INFINITY);
  EXPECT_EQ(spacing(-65504.0f), -INFINITY);
  EXPECT_EQ(spacing(0.0f), 0x1p-24f);
  EXPECT_EQ(spacing(-0.0f), 0x1p-24f);
  for (float x : {INFINITY, -INFINITY, NAN}) EXPECT_TRUE(std::isnan(spacing(x)));
  // Every finite half: the gap to the next half away from zero.
  for (std::uint32_t bits = 1; bits < 0x7C00; ++bits) {
    for (std::uint32_t sign : {0u, 0x8000u}) {
      const float x = half_bits_to_float(static_cast<std::uint16_t>(bits | sign));
      const _Float16 h = static_cast<_Float16>(x);
      const float next = static_cast<float>(std::bit_cast<_Float16>(static_cast<std::uint16_t>(std::bit_cast<std::uint16_t>(h) + 1)));
      ASSERT_EQ(spacing(x), to_half_independently(static_cast<double>(next) - x)) << x;
    }
  }
}

// ---- complex routines: fixed cases -----------------------------------------

c128 complex_result(const char* name, c128 z) {
  auto result = kernels::unary(name, Scalar(z), DType::Complex128);
  EXPECT_TRUE(result.has_value()) << name;
  return result ? (*result)[0].get<c128>() : c128();
}

void expect_same_bits(c128 got, c128 want) {
  EXPECT_EQ(bits64(got.real()), bits64(want.real())) << got << " vs " << want;
  EXPECT_EQ(bits64(got.imag()), bits64(want.imag())) << got << " vs " << want;
}

TEST(ComplexRoutines, FixedValues) {
  expect_same_bits(complex_result("tan", {0, 30}), {0, 1});
  expect_same_bits(complex_result("tanh", {30, 0}), {1, 0});
  expect_same_bits(complex_result("tanh", {-30, -0.0}), {-1, -0.0});
  expect_same_bits(complex_result("arctanh", {1, 0}), {inf, 0.7853981633974483});
  expect_same_bits(complex_result("arctanh", {1, -0.0}), {inf, -0.7853981633974483});
  expect_same_bits(complex_result("atanh", {-1, 0}), {-inf, 0.7853981633974483});
  expect_same_bits(complex_result("arctan", {0, 1}), {0, inf});
  expect_same_bits(complex_result("expm1", {0.5, -0.0}), {std::expm1(unfolded(0.5)), -0.0});
  expect_same_bits(complex_result("expm1", {-3, 0.0}), {std::expm1(unfolded(-3.0)), 0.0});
  // asinh on the cut below -i takes the left half-plane's value.
  const c128 below = complex_result("arcsinh", {0, -2});
  EXPECT_NEAR(below.real(), -1.3169578969248166, 1e-15);
  EXPECT_NEAR(below.imag(), -1.5707963267948966, 1e-15);
  // acosh keeps the sign of a zero imaginary part left of 1.
  EXPECT_TRUE(std::signbit(complex_result("arccosh", {0.5, -0.0}).imag()));
  EXPECT_FALSE(std::signbit(complex_result("arccosh", {0.5, 0.0}).imag()));
}

// Where the formulas overflow, underflow or cancel, and for infinite parts,
// the results stay correct: zeros exact, the rest within library_ulps.
// Expected values: mpmath (or exact fractions for square), rounded to double.
TEST(ComplexRoutines, SoundWhereTheFormulasFail) {
  struct Case {
    const char* name;
    c128 z, want;
  };
  const double half_pi = 1.5707963267948966;
  const Case cases[] = {
      {"arcsinh", {0, -1e16}, {-37.534508668464674, -half_pi}},  // left half-plane on the cut
      {"arcsinh", {0, -1e200}, {-461.2101657793691, -half_pi}},
      {"arcsinh", {-0.0, 1e200}, {461.2101657793691, half_pi}},
      {"arcsinh", {1e-20, 0}, {1e-20, 0}},
      {"arcsinh", {-1e-200, 3e-200}, {-1e-200, 3e-200}},
      {"arcsin", {1e308, 0}, {half_pi, 709.889355822726}},
      {"arcsin", {-1e308, -0.5}, {-half_pi, -709.889355822726}},
      {"arccos", {-1e308, 1e-300}, {3.141592653589793, -709.889355822726}},
      {"arccos", {1.0000000000000002, 1e-300}, {4.7453132812125776e-293, -2.1073424255447014e-08}},
      {"arccosh", {1, 1e-20}, {1e-10, 1e-10}},
      {"arccosh", {0.5, 1e-300}, {1.1547005383792515e-300, 1.0471975511965979}},
      {"arctan", {1e-170, 1}, {0.7853981633974483, 196.06630649477387}},
      {"arctan", {1e-05, -1}, {0.7854006633974483, -6.103036322771337}},
      {"arctan", {inf, 0}, {half_pi, 0}},
      {"arctan", {-0.5, -inf}, {-half_pi, -0.0}},
      {"arctanh", {1e10, 1}, {1e-10, half_pi}},
      {"arctanh", {1.0000000000000002, 1e-20}, {18.36840028433149, 1.570773808796775}},
      {"arctanh", {inf, 1}, {0, half_pi}},
      {"cosh", {710, 1}, {6.035162617272641e+307, 9.399208879688907e+307}},
      {"cosh", {1000, 0}, {inf, 0}},
      {"sinh", {-710.3, 0.5}, {-1.3232091189210214e+308, 7.228724362505623e+307}},
      {"cos", {1, -710.2}, {7.371364266682287e+307, 1.1480219650176113e+308}},
      {"sin", {-0.25, 710.4}, {-4.1226512124395814e+307, 1.614561053165577e+308}},
      {"tan", {1.5707963267948961, 0}, {1978937966095219.0, 0}},
      {"tan", {1.5707963267948966, 1e-10}, {6123.233995734469, 9999999999.99625}},
      {"tanh", {1e-12, 1.5707963267948966}, {999999996250.6006, 61232339.72778316}},
      {"tanh", {inf, 2}, {1, -0.0}},
      {"expm1", {710, 1.5}, {1.5802653829857376e+307, inf}},
      {"expm1", {-inf, inf}, {-1, 0}},
      {"log1p", {1e308, 1e308}, {709.542782232446, 0.7853981633974483}},
      {"log1p", {-1.25e-9, 5e-5}, {7.81250093651139e-19, 5.000000002083333e-05}},
      {"log", {1, 5.5524420335507883e-16}, {1.5414806267970807e-31, 5.5524420335507883e-16}},
      {"log", {-0.0010283044810774874, -0.99999968907977499}, {2.1778482879680585e-07, -1.5718246312332482}},
      {"exp2", {1024.2, 2}, {3.78839963976302e+307, inf}},
      {"exp2", {1e6, 0}, {inf, 0}},
      {"exp2", {inf, -0.0}, {inf, -0.0}},
      {"square", {1e200, 1e200}, {0, inf}},
      {"square", {-3e200, 1e200}, {inf, -inf}},
      {"square", {1.9983399132406239, 1.998339913240624}, {-8.874411930828714e-16, 7.986724817701089}},
  };
  for (const Case& c : cases) {
    const c128 got = complex_result(c.name, c.z);
    SCOPED_TRACE(testing::Message() << c.name << c.z << " gave " << got);
    for (auto [g, w] : {std::pair{got.real(), c.want.real()}, std::pair{got.imag(), c.want.imag()}}) {
      if (w == 0)
        EXPECT_EQ(g, w);
      else
        EXPECT_LE(ulps_apart(g, w), library_ulps) << w;
    }
  }
  // complex64: the product formulas in single precision, the rest narrowed from double.
  const struct {
    const char* name;
    c64 z, want;
  } single[] = {
      {"cosh", {89.5f, 1}, {1.9996912932681318e+38f, 3.11433466706094e+38f}},
      {"sinh", {-89.5f, 2}, {1.5401844425359276e+38f, 3.365364403716222e+38f}},
      {"arcsinh", {1e-20f, 0}, {1e-20f, 0}},
      {"arctan", {INFINITY, 0}, {1.5707964f, 0}},
      {"tan", {1.5707964f, 0}, {static_cast<float>(std::tan(static_cast<double>(1.5707964f))), 0}},
      {"exp2", {128.2f, 2}, {7.170983992509165e+37f, INFINITY}},
      {"square", {-1.86099622e+19f, -1.04693947e+19f}, {2.3672246707766033e+38f, INFINITY}},
  };
  for (const auto& c : single) {
    const auto result = kernels::unary(c.name, Scalar(c.z), DType::Complex64);
    ASSERT_TRUE(result.has_value());
    const c64 got = (*result)[0].get<c64>();
    SCOPED_TRACE(testing::Message() << c.name << c.z << " gave " << got);
    for (auto [g, w] : {std::pair{got.real(), c.want.real()}, std::pair{got.imag(), c.want.imag()}}) {
      if (w == 0)
        EXPECT_EQ(g, w);
      else
        EXPECT_LE(ulps_apart(g, w), library_ulps) << w;
    }
  }
}

// Away from those regions the results are the formulas' own, bit for bit.
TEST(ComplexRoutines, FormulasKeptWhereTheyHold) {
  const double x = unfolded(0.3), y = unfolded(-0.45);
  const double a = 0.5 * std::hypot(x + 1, y) + 0.5 * std::hypot(x - 1, y);
  const double p = ((a - x) / a) * ((a + x) / a);
  const double asin_re = std::asin(x / a), asin_im = -std::fabs(std::asinh(y / std::sqrt(p)));
  expect_same_bits(complex_result("arcsin", {x, y}), {asin_re, asin_im});
  expect_same_bits(complex_result("arccos", {x, y}), {1.5707963267948966 - asin_re, -asin_im});
  expect_same_bits(complex_result("arctanh", {x, y}),
                   {0.25 * std::log1p(4 * x / ((1 - x) * (1 - x) + y * y)), 0.5 * std::atan2(2 * y, 1 - x * x - y * y)});
  const double d = (-y - 1) * (-y - 1) + x * x;
  expect_same_bits(complex_result("arctan", {x, -y}),
                   {0.5 * std::atan2(2 * x, 1 - x * x - y * y), 0.25 * std::log1p(4 * -y / d)});
  const double den = std::cosh(2 * x) + std::cos(2 * y);
  expect_same_bits(complex_result("tanh", {x, y}), {std::sinh(2 * x) / den, std::sin(2 * y) / den});
  expect_same_bits(complex_result("square", {x, y}), {x * x - y * y, x * y + y * x});
  const double big = 700 + x - x;
  expect_same_bits(complex_result("cosh", {big, y}), {std::cosh(big) * std::cos(y), std::sinh(big) * std::sin(y)});
}

TEST(ComplexRoutines, Reciprocal) {
  for (c128 zero : {c128(0, 0), c128(-0.0, 0), c128(0, -0.0), c128(-0.0, -0.0)}) {
    const c128 r = complex_result("reciprocal", zero);
    EXPECT_EQ(r.real(), inf);
    EXPECT_TRUE(std::isnan(r.imag()));
  }
  // Divisors whose squared magnitude leaves the normal range are scaled.
  expect_same_bits(complex_result("reciprocal", {1e200, 0}), {1e-200, 0.0});
  const c128 huge = complex_result("reciprocal", {1e300, 1e300});
  EXPECT_NEAR(huge.real(), 5e-301, 1e-315);
  EXPECT_NEAR(huge.imag(), -5e-301, 1e-315);
  const c128 tiny = complex_result("reciprocal", {0, 1e-200});
  EXPECT_NEAR(tiny.imag(), -1e200, 1e185);
  // In the normal range the quotient is the plain formula, bit for bit.
  const double x = 3.0, y = -7.0, d = x * x + y * y;
  expect_same_bits(complex_result("reciprocal", {x, y}), {(x + 0 * y) / d, (0 * x - y) / d});
  // complex64 follows the same rule in single precision.
  const auto single = kernels::unary("reciprocal", Scalar(c64(0, 0)), DType::Complex64);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ((*single)[0].get<c64>().real(), INFINITY);
  EXPECT_TRUE(std::isnan((*single)[0].get<c64>().imag()));
  const auto scaled = kernels::unary("reciprocal", Scalar(c64(1e30f, 0)), DType::Complex64);
  EXPECT_EQ((*scaled)[0].get<c64>().real(), 1e-30f);
}

// ---- complex128 against reference tables ------------------------------------

struct ReferenceRow {
  std::string id, function;
  double re, im, want_re, want_im;
  std::string flags;
};

std::vector<ReferenceRow> read_rows(const std::string& file) {
  std::ifstream in(std::string(QUARVEL_TEST_DATA_DIR) + "/" + file);
  std::vector<ReferenceRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    ReferenceRow row;
    std::string numbers[4];
    fields >> row.id >> row.function >> numbers[0] >> numbers[1] >> numbers[2] >> numbers[3] >> row.flags;
    row.re = std::strtod(numbers[0].c_str(), nullptr);
    row.im = std::strtod(numbers[1].c_str(), nullptr);
    row.want_re = std::strtod(numbers[2].c_str(), nullptr);
    row.want_im = std::strtod(numbers[3].c_str(), nullptr);
    rows.push_back(row);
  }
  return rows;
}

// The acceptance rule of CPython's own cmath tests: NaN matches NaN, zeros and
// infinities must match with their signs (unless a flag waives the sign),
// anything else within the relative error (or the absolute error, if larger).
bool close_enough(double want, double got, bool ignore_sign, double abs_err, double rel_err) {
  if (ignore_sign) {
    want = std::fabs(want);
    got = std::fabs(got);
  }
  if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
  if (std::isinf(want) || std::isinf(got)) return want == got;
  if (want == 0 && got == 0) return std::signbit(want) == std::signbit(got);
  return std::fabs(got - want) <= std::max(abs_err, rel_err * std::fabs(want));
}

int count_mismatches(const std::vector<ReferenceRow>& rows, const std::set<std::string>& skipped, double rel_err) {
  int mismatches = 0;
  for (const ReferenceRow& row : rows) {
    if (skipped.count(row.id)) continue;
    const c128 z = complex_result(row.function.c_str(), {row.re, row.im});
    // As in CPython's tests, the real part of a logarithm may be off by 2e-15 absolutely.
    const bool log_like = row.function == "log" || row.function == "log10";
    const bool ok = close_enough(row.want_re, z.real(), row.flags.find("ignore-real-sign") != std::string::npos,
                                 log_like ? 2e-15 : 5e-323, rel_err) &&
                    close_enough(row.want_im, z.imag(), row.flags.find("ignore-imag-sign") != std::string::npos,
                                 5e-323, rel_err);
    if (!ok) {
      ++mismatches;
      ADD_FAILURE() << row.id << " " << row.function << "(" << row.re << ", " << row.im << ") want ("
                    << row.want_re << ", " << row.want_im << ") got (" << z.real() << ", " << z.imag() << ")";
    }
  }
  return mismatches;
}

// Rows where these functions follow another convention than the table (the
// rest of the table holds: where the formulas overflow, underflow or cancel,
// and for infinite or NaN parts, the C library's careful functions answer).
struct Exclusion {
  const char* reason;
  const char* ids;
};
const Exclusion cmath_exclusions[] = {
    {"asinh on the cut beyond +-i: a zero real part carries no sign, so the cut takes the value of the "
     "side reached counter-clockwise (the left half-plane below -i, the right one above +i)",
     "asinh0034 asinh0036 asinh0038 asinh0040 asinh0042 asinh0044 asinh0046 asinh0063 asinh0065 asinh0067 "
     "asinh0069 asinh0071 asinh0073 asinh0075 asinh0205 asinh0206"},
    {"atanh(+-1 +- 0i) has the imaginary part +-pi/4 (0.7853981633974483) with the sign of y, where C99 "
     "keeps the zero",
     "atanh1002 atanh1015 atanh1026 atanh1035"},
    {"a part that is the same whatever the value of an infinite or NaN part is kept where the table has "
     "NaN: tanh(+-0 + inf i) and tanh(+-0 + NaN i) have the real part +-0, tan(+-inf + 0i) and "
     "tan(NaN + 0i) the imaginary part 0, acosh(+-0 + NaN i) the imaginary part pi/2",
     "tanh1001 tanh1003 tanh1018 tanh1031 tanh1033 tanh1044 tan1001 tan1003 tan1018 tan1031 tan1033 tan1044 "
     "acosh1006 acosh1008"},
};

std::set<std::string> excluded_rows() {
  std::set<std::string> skipped;
  for (const Exclusion& exclusion : cmath_exclusions) {
    std::istringstream ids(exclusion.ids);
    for (std::string id; ids >> id;) skipped.insert(id);
  }
  return skipped;
}

TEST(CmathTable, Complex128OneInputFunctions) {
  const std::vector<ReferenceRow> rows = read_rows("cmath_unary_cases.txt");
  ASSERT_EQ(rows.size(), 2003u);
  EXPECT_EQ(count_mismatches(rows, excluded_rows(), 2e-15), 0);
}

// complex64 on the rows whose parts are single-precision values and whose
// results are zero, infinite, NaN or normal in single precision: the same
// special values and conventions, to single-precision accuracy.
TEST(CmathTable, Complex64OneInputFunctions) {
  const std::set<std::string> skipped = excluded_rows();
  int checked = 0;
  for (const ReferenceRow& row : read_rows("cmath_unary_cases.txt")) {
    const auto single = [](double v) { return static_cast<double>(static_cast<float>(v)) == v || std::isnan(v); };
    const auto representable = [](double v) {
      return v == 0 || !std::isfinite(v) || (std::fabs(v) >= 1.1754944e-38 && std::fabs(v) <= 3.4028235e38);
    };
    if (skipped.count(row.id) || !single(row.re) || !single(row.im) || !representable(row.want_re) ||
        !representable(row.want_im))
      continue;
    auto result = kernels::unary(row.function, Scalar(c64(static_cast<float>(row.re), static_cast<float>(row.im))),
                               DType::Complex64);
    ASSERT_TRUE(result.has_value()) << row.id;
    const c64 z = (*result)[0].get<c64>();
    const bool ignore_re = row.flags.find("ignore-real-sign") != std::string::npos;
    const bool ignore_im = row.flags.find("ignore-imag-sign") != std::string::npos;
    EXPECT_TRUE(close_enough(row.want_re, z.real(), ignore_re, 1e-6, 2e-6) &&
                close_enough(row.want_im, z.imag(), ignore_im, 1e-37, 2e-6))
        << row.id << " " << row.function << "(" << row.re << ", " << row.im << ") want (" << row.want_re << ", "
        << row.want_im << ") got (" << z.real() << ", " << z.imag() << ")";
    ++checked;
  }
  EXPECT_GT(checked, 500);
}

TEST(MpmathTable, Complex128FunctionsOutsideTheCmathTable) {
  const std::vector<ReferenceRow> rows = read_rows("mpmath_unary_cases.txt");
  ASSERT_EQ(rows.size(), 252u);
  EXPECT_EQ(count_mismatches(rows, {}, 4e-15), 0);
}

}  // namespace
