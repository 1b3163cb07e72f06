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

namespace {

using quarvel_storage::DType;
using quarvel_storage::ErrorKind;
using quarvel_storage::Half;
using quarvel_storage::half_bits_to_float;
using quarvel_storage::Scalar;
using quarvel_storage::ufunc::next_after_dtype;
using quarvel_storage::ufunc::Op;
namespace ufunc = quarvel_storage::ufunc;
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
  auto result = ufunc::unary_float_or_complex(op, x, out);
  EXPECT_TRUE(result.has_value()) << ufunc::op_name(op);
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
    EXPECT_EQ(mismatches, 0) << ufunc::op_name(c.op);
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
          << ufunc::op_name(c.op) << " of " << x;
    }
  }
}

TEST(PrecisionChoice, MixedDtypesComputeInDoubleAndCast) {
  // float16 input, float32 output: the double function, rounded to single.
  const float x = half_bits_to_float(0x3C01);  // 1.0009765625
  const Scalar got = run(Op::sqrt, Scalar::half(x), DType::Float32);
  EXPECT_EQ(got.get<float>(), static_cast<float>(std::sqrt(static_cast<double>(x))));
  // An integer input runs the double path.
  EXPECT_EQ(run(Op::exp, Scalar(std::int32_t{1}), DType::Float64).get<double>(), std::exp(1.0));
  // A complex128 input with a complex64 output: the double routine, narrowed.
  const c128 z(0.3, -1.7);
  const c64 narrowed = run(Op::sin, Scalar(z), DType::Complex64).get<c64>();
  EXPECT_EQ(narrowed, c64(static_cast<float>(std::sin(0.3) * std::cosh(-1.7)),
                          static_cast<float>(std::cos(0.3) * std::sinh(-1.7))));
}

TEST(PrecisionChoice, Complex64RunsSinglePrecisionOrThroughDouble) {
  const c64 z(0.75f, -0.5f);
  // Single-precision formula for sin...
  const c64 sine = run(Op::sin, Scalar(z), DType::Complex64).get<c64>();
  EXPECT_EQ(sine, c64(std::sin(0.75f) * std::cosh(-0.5f), std::cos(0.75f) * std::sinh(-0.5f)));
  // ...and the double routines, narrowed, for tan, tanh and the inverse functions.
  const c64 arcsine = run(Op::arcsin, Scalar(z), DType::Complex64).get<c64>();
  const c128 wide = ufunc::complex_asin_f64(c128(0.75, -0.5));
  EXPECT_EQ(arcsine, c64(static_cast<float>(wide.real()), static_cast<float>(wide.imag())));
  EXPECT_EQ(ufunc::complex_tan_f32(z), c64(static_cast<float>(ufunc::complex_tan_f64(c128(0.75, -0.5)).real()),
                                           static_cast<float>(ufunc::complex_tan_f64(c128(0.75, -0.5)).imag())));
  // Every complex64 function stays close to its double counterpart.
  for (Op op : {Op::cos, Op::sin, Op::cosh, Op::sinh, Op::tan, Op::tanh, Op::exp, Op::exp2, Op::log, Op::log2,
                Op::log10, Op::sqrt, Op::expm1, Op::log1p, Op::arcsin, Op::arccos, Op::arctan, Op::arccosh,
                Op::arcsinh, Op::arctanh, Op::square, Op::reciprocal}) {
    const c64 single = run(op, Scalar(z), DType::Complex64).get<c64>();
    const c128 dbl = run(op, Scalar(c128(0.75, -0.5)), DType::Complex128).get<c128>();
    EXPECT_NEAR(single.real(), dbl.real(), 4e-7 * std::abs(dbl)) << ufunc::op_name(op);
    EXPECT_NEAR(single.imag(), dbl.imag(), 4e-7 * std::abs(dbl)) << ufunc::op_name(op);
  }
}

TEST(PrecisionChoice, NamesThePathDoesNotList) {
  // Real-only names refuse complex input; positive exists in single precision only.
  for (const char* name : {"cbrt", "ceil", "floor", "trunc", "deg2rad", "radians", "degrees", "rad2deg", "spacing"}) {
    for (DType out : {DType::Complex64, DType::Complex128}) {
      const Scalar x = out == DType::Complex64 ? Scalar(c64(1, 1)) : Scalar(c128(1, 1));
      auto result = ufunc::unary_float_or_complex(name, x, out);
      ASSERT_FALSE(result.has_value()) << name;
      EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
    }
  }
  EXPECT_EQ(*ufunc::unary_float32("positive", -2.5f), -2.5f);
  EXPECT_FALSE(ufunc::unary_float_or_complex("positive", Scalar(2.5), DType::Float64).has_value());
  for (const char* name : {"add", "absolute", "isnan", "cosine", "", "SIN", "arctan2", "atan2"}) {
    auto result = ufunc::unary_float32(name, 1.0f);
    ASSERT_FALSE(result.has_value()) << name;
    EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
  }
  // Aliases of the inverse functions are understood.
  EXPECT_EQ(*ufunc::unary_float32("acos", 0.5f), std::acos(0.5f));
  EXPECT_EQ(*ufunc::unary_float32("arctanh", 1.0f), std::numeric_limits<float>::infinity());
}

TEST(RealFunctions, ArctanhIsHalfLog1pOfTheRatio) {
  EXPECT_EQ(run(Op::arctanh, Scalar(1.0), DType::Float64).get<double>(), inf);
  EXPECT_EQ(run(Op::arctanh, Scalar(-1.0), DType::Float64).get<double>(), -inf);
  EXPECT_TRUE(std::isnan(run(Op::arctanh, Scalar(2.0), DType::Float64).get<double>()));
  EXPECT_NEAR(run(Op::arctanh, Scalar(0.5), DType::Float64).get<double>(), 0.5493061443340548, 1e-16);
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
void expect_dispatch_matches(ufunc::UnaryFunction<T> (*lookup)(Op), std::initializer_list<T> values) {
  int checked = 0;
  for (int i = 0; i < ufunc::op_count; ++i) {
    const Op op = static_cast<Op>(i);
    const ufunc::UnaryFunction<T> f = lookup(op);
    if (f == nullptr) continue;
    for (T x : values) {
      const Scalar input(x);
      auto result = ufunc::unary(op, input, input.dtype());
      ASSERT_TRUE(result.has_value()) << ufunc::op_name(op);
      EXPECT_TRUE(same_bits((*result)[0].get<T>(), f(x))) << ufunc::op_name(op) << " of " << input.dtype().name();
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

TEST(PrecisionChoice, ElementFunctionsMatchTheDispatch) {
  expect_dispatch_matches<float>(&ufunc::real_function_f32, {0.3f, -2.5f, 0.0f, -0.0f, 1e30f, INFINITY, NAN});
  expect_dispatch_matches<double>(&ufunc::real_function_f64, {0.3, -2.5, 0.0, -0.0, 1e300, -inf, nan});
  expect_dispatch_matches<Half>(&ufunc::real_function_f16, {Half{0.5f}, Half{-3.0f}, Half{65504.0f}, Half{-0.0f}});
  expect_dispatch_matches<c64>(&ufunc::complex_function_f32, {c64(0.3f, -2.5f), c64(0, 0), c64(-1, 0.5f)});
  expect_dispatch_matches<c128>(&ufunc::complex_function_f64, {c128(0.3, -2.5), c128(0, 0), c128(-1, 0.5)});
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
  auto result = ufunc::unary(name, Scalar(z), DType::Complex128);
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
  expect_same_bits(complex_result("expm1", {0.5, -0.0}), {std::expm1(0.5), -0.0});
  expect_same_bits(complex_result("expm1", {-3, 0.0}), {std::expm1(-3.0), 0.0});
  // An infinite part makes both parts of atan NaN (the differences are added
  // with the other one times zero).
  const c128 at = complex_result("arctan", {inf, 0});
  EXPECT_TRUE(std::isnan(at.real()) && std::isnan(at.imag()));
  // asinh on the cut below -i takes the left half-plane's value.
  const c128 below = complex_result("arcsinh", {0, -2});
  EXPECT_NEAR(below.real(), -1.3169578969248166, 1e-15);
  EXPECT_NEAR(below.imag(), -1.5707963267948966, 1e-15);
  // acosh keeps the sign of a zero imaginary part left of 1.
  EXPECT_TRUE(std::signbit(complex_result("arccosh", {0.5, -0.0}).imag()));
  EXPECT_FALSE(std::signbit(complex_result("arccosh", {0.5, 0.0}).imag()));
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
  const auto single = ufunc::unary("reciprocal", Scalar(c64(0, 0)), DType::Complex64);
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ((*single)[0].get<c64>().real(), INFINITY);
  EXPECT_TRUE(std::isnan((*single)[0].get<c64>().imag()));
  const auto scaled = ufunc::unary("reciprocal", Scalar(c64(1e30f, 0)), DType::Complex64);
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

// Rows where the formulas fixed for these functions give another value than
// C99's conventions and the correctly rounded results of the table (special
// values, signed zeros, and the formulas' own cancellation and overflow).
struct Exclusion {
  const char* reason;
  const char* ids;
};
const Exclusion cmath_exclusions[] = {
    {"cos, sin, cosh, sinh of an infinite or NaN part: the product formulas multiply zero, NaN or an "
     "infinity by an infinity and give NaN where C99 keeps a signed zero or an infinity",
     "cosh1001 cosh1002 cosh1005 cosh1011 cosh1012 cosh1013 cosh1018 cosh1020 cosh1026 cosh1027 cosh1031 "
     "cosh1032 cosh1035 cosh1041 cosh1042 cosh1044 cosh1046 cosh1052 sinh1001 sinh1002 sinh1005 sinh1011 "
     "sinh1012 sinh1013 sinh1018 sinh1020 sinh1026 sinh1027 sinh1031 sinh1032 sinh1035 sinh1041 sinh1042 "
     "sinh1044 sinh1046 sinh1052 cos1001 cos1002 cos1005 cos1011 cos1012 cos1013 cos1018 cos1020 cos1026 "
     "cos1027 cos1031 cos1032 cos1035 cos1041 cos1042 cos1044 cos1046 cos1052 sin1001 sin1002 sin1005 "
     "sin1011 sin1012 sin1013 sin1018 sin1020 sin1026 sin1027 sin1031 sin1032 sin1035 sin1041 sin1042 "
     "sin1044 sin1046 sin1052 "},
    {"cosh x and sinh x overflow for |x| > 710 although their products with cos y and sin y are "
     "finite",
     "cosh0030 cosh0031 sinh0030 sinh0031 "},
    {"tan and tanh of an infinite or NaN part: beyond |y| = 20 (or for a NaN part) the formula "
     "multiplies t = e^(-2|y|) by cos 2x of an infinite or NaN part, giving NaN where C99 gives +-1 "
     "or keeps a zero",
     "tanh1011 tanh1012 tanh1013 tanh1026 tanh1027 tanh1041 tanh1042 tanh1052 tan1011 tan1012 tan1013 "
     "tan1026 tan1027 tan1041 tan1042 tan1052 "},
    {"tan near x = pi/2: sin 2x / (cos 2x + cosh 2y) cancels, and divides by zero at pi/2's nearest "
     "double",
     "tan0062 tan0063 tan0064 "},
    {"asin and acos of an infinite or NaN part go through -i log(iz + sqrt(1 - z^2)), whose products "
     "by zero make both parts NaN",
     "acos1004 acos1005 acos1006 acos1007 acos1008 acos1009 acos1012 acos1013 acos1014 acos1015 acos1016 "
     "acos1017 acos1018 acos1019 acos1022 acos1024 acos1025 acos1026 acos1027 acos1028 acos1029 acos1030 "
     "acos1031 acos1032 acos1033 acos1036 asin1004 asin1005 asin1008 asin1009 asin1010 asin1011 asin1012 "
     "asin1014 asin1016 asin1017 asin1018 asin1019 asin1020 asin1021 asin1023 asin1024 asin1025 asin1028 "
     "asin1029 asin1030 asin1031 asin1032 asin1033 asin1034 asin1035 asin1036 "},
    {"asin and acos: P = ((A - x)/A)((A + x)/A) loses digits for |x| just above 1 and for large |x| "
     "(and with y = 0 it is positive, giving an imaginary part 0); acos's real part pi/2 - asin "
     "cancels",
     "acos0034 acos0035 acos0062 acos0063 acos0104 acos0116 acos0117 acos0119 asin0034 asin0035 asin0062 "
     "asin0063 asin0102 asin0104 asin0107 asin0117 "},
    {"asin and acos near the largest double: A + x overflows, P is infinite and the imaginary part "
     "collapses to 0",
     "acos0200 acos0201 acos0202 acos0203 acos0212 acos0213 asin0200 asin0201 asin0202 asin0203 "},
    {"atan and atanh of an infinite or NaN part: the differences of arguments and logarithms are "
     "added with the other difference times zero, so any infinity or NaN makes both parts NaN",
     "atan1001 atan1003 atan1004 atan1006 atan1007 atan1008 atan1009 atan1012 atan1016 atan1017 atan1018 "
     "atan1019 atan1020 atan1023 atan1025 atan1027 atan1028 atan1030 atan1031 atan1032 atan1033 atan1036 "
     "atan1037 atan1038 atan1039 atan1040 atanh1001 atanh1003 atanh1004 atanh1006 atanh1007 atanh1008 "
     "atanh1009 atanh1012 atanh1016 atanh1017 atanh1018 atanh1019 atanh1020 atanh1023 atanh1025 atanh1027 "
     "atanh1028 atanh1030 atanh1031 atanh1032 atanh1033 atanh1036 atanh1037 atanh1038 atanh1039 atanh1040 "},
    {"atan and atanh beyond 3.35e153 (or for subnormal parts): the differences of arguments and "
     "logarithms cancel to zero",
     "atan0036 atan0037 atan0064 atan0065 atan0200 atan0201 atan0202 atan0203 atan0204 atan0205 atan0206 "
     "atan0207 atan0209 atan0211 atan0213 atan0215 atan0216 atan0217 atan0218 atan0219 atan0304 atanh0036 "
     "atanh0037 atanh0064 atanh0065 atanh0200 atanh0201 atanh0202 atanh0203 atanh0205 atanh0207 atanh0208 "
     "atanh0209 atanh0210 atanh0211 atanh0212 atanh0213 atanh0214 atanh0215 atanh0218 atanh0219 "},
    {"atan near y = -1: log1p(4y / D) rounds to log1p(-1) or below (infinite or NaN), and D = (y - "
     "1)^2 + x^2 loses tiny x",
     "atan0022 atan0023 atan0024 atan0025 atan0026 atan0027 atan0300 atan0301 atan0302 atan0303 "},
    {"atanh of large real parts: log hypot(1 + x, y) - log hypot(1 - x, y) cancels to 0; near the "
     "real axis it loses digits",
     "atanh0032 atanh0033 atanh0034 atanh0035 atanh0060 atanh0061 atanh0062 atanh0063 atanh0103 atanh0107 "
     "atanh0111 atanh0112 "},
    {"atanh(+-1 +- 0i) has the imaginary part +-pi/4 (0.7853981633974483) with the sign of y, where "
     "C99 keeps the zero",
     "atanh1002 atanh1015 atanh1026 atanh1035 "},
    {"acosh near +-1 and for tiny imaginary parts: 2 log(sqrt((z + 1)/2) + sqrt((z - 1)/2)) loses "
     "digits (log of 1 + tiny rounds to 0)",
     "acosh0034 acosh0035 acosh0036 acosh0037 acosh0062 acosh0063 acosh0064 acosh0065 acosh0105 acosh0117 "},
    {"acosh of subnormal parts: the logarithm of 1 + tiny rounds to 0",
     "acosh0220 acosh0221 acosh0222 acosh0224 acosh0225 acosh0226 acosh0227 "},
    {"acosh of an infinite or NaN part: halving z +- 1 as a complex quotient multiplies the infinite "
     "part by zero, NaN",
     "acosh1002 acosh1003 acosh1004 acosh1005 acosh1010 acosh1011 acosh1012 acosh1013 acosh1014 acosh1015 "
     "acosh1016 acosh1017 acosh1020 acosh1024 acosh1025 acosh1026 acosh1027 acosh1028 acosh1029 acosh1030 "
     "acosh1031 acosh1032 acosh1033 acosh1036 "},
    {"asinh on the imaginary axis: the inner square root ignores the sign of a zero imaginary part, "
     "so a zero real part loses its sign and the cut below -i takes the value of the left half-plane "
     "(counter-clockwise continuity); log(z + sqrt(z^2 + 1)) cancels for x >= 0 and y < 0",
     "asinh0002 asinh0003 asinh0012 asinh0013 asinh0025 asinh0027 asinh0029 asinh0031 asinh0033 asinh0034 "
     "asinh0035 asinh0036 asinh0037 asinh0038 asinh0040 asinh0041 asinh0042 asinh0043 asinh0044 asinh0045 "
     "asinh0053 asinh0055 asinh0057 asinh0059 asinh0061 asinh0062 asinh0063 asinh0064 asinh0065 asinh0067 "
     "asinh0069 asinh0071 asinh0073 asinh1002 asinh1003 "},
    {"asinh of huge parts: z^2 + 1 overflows; of tiny parts: log(z + s) rounds to log 1 = 0",
     "asinh0021 asinh0023 asinh0046 asinh0047 asinh0049 asinh0051 asinh0074 asinh0075 asinh0200 asinh0201 "
     "asinh0202 asinh0203 asinh0204 asinh0205 asinh0206 asinh0207 asinh0208 asinh0209 asinh0210 asinh0211 "
     "asinh0212 asinh0213 asinh0214 asinh0215 asinh0216 asinh0217 asinh0218 asinh0219 asinh0220 asinh0221 "
     "asinh0222 asinh0223 asinh0225 asinh0227 asinh0228 asinh0229 asinh0231 "},
    {"asinh of an infinite or NaN part: z^2 + 1 and the inner square root give NaN, or an argument of"
     " a quarter turn where C99 takes the finite part's argument",
     "asinh1004 asinh1005 asinh1008 asinh1009 asinh1010 asinh1011 asinh1012 asinh1014 asinh1016 asinh1017 "
     "asinh1018 asinh1019 asinh1020 asinh1021 asinh1023 asinh1024 asinh1025 asinh1028 asinh1029 asinh1030 "
     "asinh1031 asinh1032 asinh1033 asinh1034 asinh1035 asinh1036 "},
};

TEST(CmathTable, Complex128OneInputFunctions) {
  const std::vector<ReferenceRow> rows = read_rows("cmath_unary_cases.txt");
  ASSERT_EQ(rows.size(), 2003u);
  std::set<std::string> skipped;
  for (const Exclusion& exclusion : cmath_exclusions) {
    std::istringstream ids(exclusion.ids);
    for (std::string id; ids >> id;) skipped.insert(id);
  }
  EXPECT_EQ(count_mismatches(rows, skipped, 2e-15), 0);
}

TEST(MpmathTable, Complex128FunctionsOutsideTheCmathTable) {
  const std::vector<ReferenceRow> rows = read_rows("mpmath_unary_cases.txt");
  ASSERT_EQ(rows.size(), 252u);
  EXPECT_EQ(count_mismatches(rows, {}, 4e-15), 0);
}

}  // namespace
