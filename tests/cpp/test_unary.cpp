// The one-input kernel: integer operations at every width (through the Scalar
// dispatch and the element forms alike), sign, absolute, conjugate, modf,
// frexp, the predicates on every dtype, long double routing, every loop of
// the table, and the refused combinations.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "kernels/unary.h"
#include "ulps.h"

namespace {

using quarvel_storage::DType;
using quarvel_storage::ErrorKind;
using quarvel_storage::Half;
using quarvel_storage::LongDoubleText;
using quarvel_storage::Scalar;
namespace kernels = quarvel_kernels;
using kernels::Op;
using test_ulps::library_ulps;
using test_ulps::ulps_apart;
using c64 = std::complex<float>;
using c128 = std::complex<double>;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits64(double v) { return std::bit_cast<std::uint64_t>(v); }

kernels::KernelOutputs run(std::string_view name, const Scalar& x, DType out) {
  auto result = kernels::unary(name, x, out);
  EXPECT_TRUE(result.has_value()) << name << " on " << x.dtype().name() << " -> " << out.name();
  return result ? *result : kernels::KernelOutputs(Scalar());
}

Scalar one(std::string_view name, const Scalar& x, DType out) { return run(name, x, out)[0]; }

void expect_refused(std::string_view name, const Scalar& x, DType out) {
  auto result = kernels::unary(name, x, out);
  ASSERT_FALSE(result.has_value()) << name << " on " << x.dtype().name() << " -> " << out.name();
  EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
}

// ---- integers at every width ------------------------------------------------

template <class T>
class IntegerUnary : public testing::Test {};
using IntegerTypes =
    testing::Types<std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t, std::uint32_t,
                   std::int64_t, std::uint64_t>;
TYPED_TEST_SUITE(IntegerUnary, IntegerTypes);

template <class T>
std::vector<T> samples() {
  using L = std::numeric_limits<T>;
  return {T(0), T(1), T(2), T(16), T(-1), L::min(), L::max(), T(L::min() + 1), T(L::max() / 3 + 7)};
}

// Independent oracles: 64-bit unsigned arithmetic wraps modulo 2^64, and the
// low bits of that are the wrapped result at any narrower width.
template <class T>
T wrapped(std::uint64_t v) {
  return static_cast<T>(v);
}
template <class T>
std::uint64_t as_u64(T x) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(x));  // sign- or zero-extends
}

TYPED_TEST(IntegerUnary, WrapAtTheOwnWidth) {
  using T = TypeParam;
  for (T x : samples<T>()) {
    SCOPED_TRACE(testing::Message() << "x = " << +x);
    const Scalar s(x);
    const DType d = s.dtype();
    const T negative = wrapped<T>(0 - as_u64(x));
    const T square = wrapped<T>(as_u64(x) * as_u64(x));
    const T absolute = x < 0 ? negative : x;
    const T inverted = static_cast<T>(~x);
    EXPECT_EQ(one("negative", s, d), Scalar(negative));
    EXPECT_EQ(one("square", s, d), Scalar(square));
    EXPECT_EQ(one("absolute", s, d), Scalar(absolute));
    EXPECT_EQ(one("abs", s, d), Scalar(absolute));
    EXPECT_EQ(one("invert", s, d), Scalar(inverted));
    EXPECT_EQ(one("bitwise_not", s, d), Scalar(inverted));
    EXPECT_EQ(one("positive", s, d), s);
    // The element forms give the same bits.
    EXPECT_EQ((kernels::negative_element<T, T>(x)), negative);
    EXPECT_EQ((kernels::square_element<T, T>(x)), square);
    EXPECT_EQ((kernels::absolute_element<T, T>(x)), absolute);
    EXPECT_EQ((kernels::invert_element<T, T>(x)), inverted);

    const T reciprocal = x == 1 ? T(1) : (std::is_signed_v<T> && x == T(-1) ? x : T(0));
    EXPECT_EQ(one("reciprocal", s, d), Scalar(reciprocal));
    EXPECT_EQ((kernels::reciprocal_element<T, T>(x)), reciprocal);

    const std::uint64_t magnitude = x < 0 ? 0 - as_u64(x) : as_u64(x);
    const auto count = static_cast<std::uint8_t>(std::popcount(magnitude));
    EXPECT_EQ(one("bitwise_count", s, DType::UInt8), Scalar(count));
    EXPECT_EQ((kernels::bitwise_count_element<std::uint8_t, T>(x)), count);
  }
}

TEST(IntegerUnary, EdgeCases) {
  EXPECT_EQ(one("negative", Scalar(std::int8_t{-128}), DType::Int8), Scalar(std::int8_t{-128}));
  EXPECT_EQ(one("negative", Scalar(std::uint8_t{1}), DType::UInt8), Scalar(std::uint8_t{255}));
  EXPECT_EQ(one("absolute", Scalar(std::int16_t{-32768}), DType::Int16), Scalar(std::int16_t{-32768}));
  EXPECT_EQ(one("square", Scalar(std::uint8_t{16}), DType::UInt8), Scalar(std::uint8_t{0}));
  EXPECT_EQ(one("square", Scalar(std::int8_t{16}), DType::Int8), Scalar(std::int8_t{0}));
  EXPECT_EQ(one("square", Scalar(std::numeric_limits<std::uint64_t>::max()), DType::UInt64), Scalar(std::uint64_t{1}));
  EXPECT_EQ(one("reciprocal", Scalar(std::int32_t{0}), DType::Int32), Scalar(std::int32_t{0}));
  EXPECT_EQ(one("reciprocal", Scalar(std::int32_t{-1}), DType::Int32), Scalar(std::int32_t{-1}));
  EXPECT_EQ(one("reciprocal", Scalar(std::int32_t{2}), DType::Int32), Scalar(std::int32_t{0}));
  EXPECT_EQ(one("reciprocal", Scalar(std::uint8_t{1}), DType::UInt8), Scalar(std::uint8_t{1}));
  EXPECT_EQ(one("reciprocal", Scalar(std::uint8_t{255}), DType::UInt8), Scalar(std::uint8_t{0}));
  // -1 into an unsigned output is not 1.
  EXPECT_EQ(one("reciprocal", Scalar(std::int8_t{-1}), DType::UInt8), Scalar(std::uint8_t{0}));
  EXPECT_EQ(one("invert", Scalar(std::uint8_t{0}), DType::UInt8), Scalar(std::uint8_t{255}));
  EXPECT_EQ(one("invert", Scalar(std::int8_t{0}), DType::Int8), Scalar(std::int8_t{-1}));
  // The input's bits are zero-extended before complementing at the output's width.
  EXPECT_EQ(one("invert", Scalar(std::int8_t{-1}), DType::Int16), Scalar(std::int16_t{-256}));
  EXPECT_EQ(one("bitwise_count", Scalar(std::int8_t{-1}), DType::UInt8), Scalar(std::uint8_t{1}));
  EXPECT_EQ(one("bitwise_count", Scalar(std::int8_t{-128}), DType::UInt8), Scalar(std::uint8_t{1}));
  EXPECT_EQ(one("bitwise_count", Scalar(std::numeric_limits<std::uint64_t>::max()), DType::UInt8),
            Scalar(std::uint8_t{64}));
  EXPECT_EQ(one("bitwise_count", Scalar(std::numeric_limits<std::int64_t>::min()), DType::UInt8),
            Scalar(std::uint8_t{1}));
}

TEST(BoolUnary, TruthValues) {
  const Scalar t(true), f(false);
  EXPECT_EQ(one("negative", t, DType::Bool), t);
  EXPECT_EQ(one("negative", f, DType::Bool), f);
  EXPECT_EQ(one("invert", t, DType::Bool), f);
  EXPECT_EQ(one("bitwise_invert", f, DType::Bool), t);
  // With a bool output the invert rule is logical negation, whatever the input.
  EXPECT_EQ(one("invert", Scalar(std::int32_t{6}), DType::Bool), f);
  EXPECT_EQ(one("square", t, DType::Int8), Scalar(std::int8_t{1}));
  EXPECT_EQ(one("conjugate", t, DType::Int8), Scalar(std::int8_t{1}));
  EXPECT_EQ(one("reciprocal", t, DType::Int8), Scalar(std::int8_t{1}));
  EXPECT_EQ(one("bitwise_count", t, DType::UInt8), Scalar(std::uint8_t{1}));
  EXPECT_EQ(one("absolute", t, DType::Bool), t);
  EXPECT_EQ(one("logical_not", t, DType::Bool), f);
  EXPECT_EQ((kernels::invert_element<bool, bool>(true)), false);
  EXPECT_EQ((kernels::bitwise_count_element<std::uint8_t, bool>(true)), 1);
}

TEST(IntegerUnary, FloatOutputsUseTheFloat64Fallback) {
  EXPECT_EQ(one("negative", Scalar(std::int64_t{5}), DType::Float64), Scalar(-5.0));
  EXPECT_EQ(one("square", Scalar(std::uint64_t{1} << 40), DType::Float64), Scalar(0x1p80));
  EXPECT_EQ(one("negative", Scalar(1.5f), DType::Float32), Scalar(-1.5f));
  // Integers keep their value under ceil, floor and trunc.
  EXPECT_EQ(one("floor", Scalar(std::int32_t{-7}), DType::Int32), Scalar(std::int32_t{-7}));
  EXPECT_EQ(one("ceil", Scalar(std::uint64_t{9}), DType::UInt64), Scalar(std::uint64_t{9}));
}

// ---- sign, absolute, conjugate ---------------------------------------------

void expect_same(const Scalar& got, const Scalar& want) {
  if (const auto* g = got.get_if<double>()) {
    ASSERT_EQ(want.dtype(), DType::Float64);
    EXPECT_EQ(bits64(*g), bits64(want.get<double>()));
  } else if (const auto* z = got.get_if<c128>()) {
    ASSERT_EQ(want.dtype(), DType::Complex128);
    EXPECT_EQ(bits64(z->real()), bits64(want.get<c128>().real())) << *z;
    EXPECT_EQ(bits64(z->imag()), bits64(want.get<c128>().imag())) << *z;
  } else {
    EXPECT_EQ(got, want);
  }
}

TEST(Sign, RealValues) {
  expect_same(one("sign", Scalar(-0.0), DType::Float64), Scalar(0.0));
  expect_same(one("sign", Scalar(0.0), DType::Float64), Scalar(0.0));
  expect_same(one("sign", Scalar(-3.5), DType::Float64), Scalar(-1.0));
  expect_same(one("sign", Scalar(inf), DType::Float64), Scalar(1.0));
  EXPECT_TRUE(std::isnan(one("sign", Scalar(nan), DType::Float64).get<double>()));
  EXPECT_EQ(one("sign", Scalar::half(-0.0f), DType::Float16), Scalar::half(0.0f));
  EXPECT_EQ(one("sign", Scalar::half(-2.0f), DType::Float16), Scalar::half(-1.0f));
  EXPECT_EQ(one("sign", Scalar(std::int16_t{-9}), DType::Int16), Scalar(std::int16_t{-1}));
  EXPECT_EQ(one("sign", Scalar(std::uint32_t{9}), DType::UInt32), Scalar(std::uint32_t{1}));
  EXPECT_EQ(one("sign", Scalar(1e-30f), DType::Float32), Scalar(1.0f));
  EXPECT_EQ(kernels::sign_real(-0.0f), 0.0f);
  EXPECT_FALSE(std::signbit(kernels::sign_real(-0.0f)));
}

TEST(Sign, ComplexValues) {
  expect_same(one("sign", Scalar(c128(inf, 1)), DType::Complex128), Scalar(c128(1, 0)));
  expect_same(one("sign", Scalar(c128(-2, -inf)), DType::Complex128), Scalar(c128(0, -1)));
  expect_same(one("sign", Scalar(c128(-0.0, 0.0)), DType::Complex128), Scalar(c128(0, 0)));
  for (c128 z : {c128(inf, inf), c128(nan, 1), c128(1, nan)}) {
    const c128 s = one("sign", Scalar(z), DType::Complex128).get<c128>();
    EXPECT_TRUE(std::isnan(s.real()) && std::isnan(s.imag())) << z;
  }
  EXPECT_EQ(one("sign", Scalar(c64(0, -5)), DType::Complex64), Scalar(c64(0, -1)));
  // |z| is the library's hypot, so directions are held to library_ulps of the
  // exact ones; also where |z| overflows or is subnormal.
  const double r = 0.7071067811865476;  // sqrt(1/2)
  const std::pair<c128, c128> directions[] = {
      {{3, 4}, {0.6, 0.8}}, {{1.5e308, -1.5e308}, {r, -r}}, {{1e-323, -1e-323}, {r, -r}}, {{3e-320, -3e-320}, {r, -r}}};
  for (const auto& [z, want] : directions) {
    const c128 s = one("sign", Scalar(z), DType::Complex128).get<c128>();
    EXPECT_LE(ulps_apart(s.real(), want.real()), library_ulps) << z;
    EXPECT_LE(ulps_apart(s.imag(), want.imag()), library_ulps) << z;
  }
  const c64 s = one("sign", Scalar(c64(3e38f, 3.2e38f)), DType::Complex64).get<c64>();
  EXPECT_LE(ulps_apart(s.real(), 0.683941125869751f), library_ulps);  // mpmath
  EXPECT_LE(ulps_apart(s.imag(), 0.7295371890068054f), library_ulps);
}

TEST(Absolute, FloatsAndComplex) {
  expect_same(one("absolute", Scalar(-0.0), DType::Float64), Scalar(0.0));
  expect_same(one("fabs", Scalar(-inf), DType::Float64), Scalar(inf));
  EXPECT_EQ(one("absolute", Scalar::half(-3.0f), DType::Float16), Scalar::half(3.0f));
  expect_same(one("absolute", Scalar(c128(inf, nan)), DType::Float64), Scalar(inf));
  // The modulus is the library's hypot, held to library_ulps.
  EXPECT_LE(ulps_apart(one("absolute", Scalar(c64(3, -4)), DType::Float32).get<float>(), 5.0f), library_ulps);
  EXPECT_LE(ulps_apart(one("absolute", Scalar(c128(-5, 12)), DType::Float64).get<double>(), 13.0), library_ulps);
  // A complex long double with a float64 output: double precision.
  const Scalar narrowed = one("absolute", Scalar::complex_long_double("3", "-4"), DType::Float64);
  EXPECT_LE(ulps_apart(narrowed.get<double>(), 5.0), library_ulps);
  // No overflow on the way: sqrt(2) 1e300 (mpmath).
  EXPECT_LE(ulps_apart(kernels::complex_magnitude(c128(1e300, 1e300)), 1.4142135623730952e300), library_ulps);
}

TEST(Conjugate, FlipsTheImaginarySign) {
  expect_same(one("conjugate", Scalar(c128(1, 2)), DType::Complex128), Scalar(c128(1, -2)));
  expect_same(one("conj", Scalar(c128(1, -0.0)), DType::Complex128), Scalar(c128(1, 0.0)));
  EXPECT_EQ(one("conjugate", Scalar(c64(1, 2)), DType::Complex64), Scalar(c64(1, -2)));
  expect_same(one("conjugate", Scalar(-2.5), DType::Float64), Scalar(-2.5));
}

TEST(LogicalNot, NaNIsTruthy) {
  EXPECT_EQ(one("logical_not", Scalar(nan), DType::Bool), Scalar(false));
  EXPECT_EQ(one("logical_not", Scalar(-0.0), DType::Bool), Scalar(true));
  EXPECT_EQ(one("logical_not", Scalar(c128(0, nan)), DType::Bool), Scalar(false));
  EXPECT_EQ(one("logical_not", Scalar::long_double("0.0"), DType::Bool), Scalar(true));
}

// ---- modf and frexp -----------------------------------------------------------

const double split_samples[] = {-3.0, -2.5, 2.5, 0.0, -0.0, inf, -inf, 1e300, 4.9e-324, -0.1, 123456.75};

TEST(Modf, MatchesCModfWithSignedZeros) {
  for (double x : split_samples) {
    const auto parts = run("modf", Scalar(x), DType::Float64);
    ASSERT_EQ(parts.size(), 2u);
    double integral = 0;
    const double fractional = std::modf(x, &integral);
    EXPECT_EQ(bits64(parts[0].get<double>()), bits64(fractional)) << x;
    EXPECT_EQ(bits64(parts[1].get<double>()), bits64(integral)) << x;
    // float32 output: single precision.
    const auto single = run("modf", Scalar(x), DType::Float32);
    float integral_f = 0;
    const float fractional_f = std::modf(static_cast<float>(x), &integral_f);
    EXPECT_EQ(single[0], Scalar(fractional_f)) << x;
    EXPECT_EQ(single[1], Scalar(integral_f)) << x;
  }
  const auto nan_parts = run("modf", Scalar(nan), DType::Float64);
  EXPECT_TRUE(std::isnan(nan_parts[0].get<double>()) && std::isnan(nan_parts[1].get<double>()));
  const auto half = run("modf", Scalar::half(-2.5f), DType::Float16);
  EXPECT_EQ(half[0], Scalar::half(-0.5f));
  EXPECT_EQ(half[1], Scalar::half(-2.0f));
}

TEST(Frexp, MatchesCFrexp) {
  for (double x : split_samples) {
    const auto parts = run("frexp", Scalar(x), DType::Float64);
    ASSERT_EQ(parts.size(), 2u);
    int exponent = 0;
    const double mantissa = std::frexp(x, &exponent);
    EXPECT_EQ(bits64(parts[0].get<double>()), bits64(mantissa)) << x;
    EXPECT_EQ(parts[1], Scalar(std::int32_t{std::isfinite(x) ? exponent : 0})) << x;
    const float xf = static_cast<float>(x);
    const auto single = run("frexp", Scalar(x), DType::Float32);
    const float mantissa_f = std::frexp(xf, &exponent);
    EXPECT_EQ(single[0], Scalar(mantissa_f)) << x;
    EXPECT_EQ(single[1], Scalar(std::int32_t{std::isfinite(xf) ? exponent : 0})) << x;
  }
  const auto smallest = run("frexp", Scalar(4.9e-324), DType::Float64);
  EXPECT_EQ(smallest[0], Scalar(0.5));
  EXPECT_EQ(smallest[1], Scalar(std::int32_t{-1073}));
  const auto eight = run("frexp", Scalar(8.0), DType::Float64);
  EXPECT_EQ(eight[1], Scalar(std::int32_t{4}));
  const auto subnormal_f = kernels::frexp_parts(1e-45f);
  EXPECT_EQ(subnormal_f.first, 0.5f);
  EXPECT_EQ(subnormal_f.second, -148);
  const auto from_int = run("frexp", Scalar(std::int8_t{-12}), DType::Float16);
  EXPECT_EQ(from_int[0], Scalar::half(-0.75f));
  EXPECT_EQ(from_int[1], Scalar(std::int32_t{4}));
}

// ---- predicates on every dtype ------------------------------------------------

struct PredicateCase {
  Scalar x;
  bool nan, infinite, finite;
};

TEST(Predicates, EveryDtype) {
  const PredicateCase cases[] = {
      {Scalar(true), false, false, true},
      {Scalar(std::int8_t{-1}), false, false, true},
      {Scalar(std::uint8_t{255}), false, false, true},
      {Scalar(std::int16_t{0}), false, false, true},
      {Scalar(std::uint16_t{7}), false, false, true},
      {Scalar(std::int32_t{-5}), false, false, true},
      {Scalar(std::uint32_t{5}), false, false, true},
      {Scalar(std::int64_t{-5}), false, false, true},
      {Scalar(std::uint64_t{5}), false, false, true},
      {Scalar::half(INFINITY), false, true, false},
      {Scalar::half(NAN), true, false, false},
      {Scalar(-1.5f), false, false, true},
      {Scalar(-INFINITY), false, true, false},
      {Scalar(nan), true, false, false},
      {Scalar(1e308), false, false, true},
      {Scalar(c64(1, NAN)), true, false, false},
      {Scalar(c64(INFINITY, 0)), false, true, false},
      {Scalar(c128(nan, inf)), true, true, false},
      {Scalar(c128(0, -inf)), false, true, false},
      {Scalar(c128(1, 2)), false, false, true},
      {Scalar::long_double("nan"), true, false, false},
      {Scalar::long_double("-inf"), false, true, false},
      {Scalar::long_double("1e4000"), false, false, true},
      {Scalar::long_double("1e5000"), false, true, false},
      {Scalar::complex_long_double("1", "nan"), true, false, false},
      {Scalar::complex_long_double("-inf", "0"), false, true, false},
      {Scalar::complex_long_double("2", "-3"), false, false, true},
  };
  for (const PredicateCase& c : cases) {
    SCOPED_TRACE(c.x.dtype().name());
    EXPECT_EQ(one("isnan", c.x, DType::Bool), Scalar(c.nan));
    EXPECT_EQ(one("isinf", c.x, DType::Bool), Scalar(c.infinite));
    EXPECT_EQ(one("isfinite", c.x, DType::Bool), Scalar(c.finite));
  }
  EXPECT_TRUE(kernels::element_is_nan(c128(1, nan)));
  EXPECT_TRUE(kernels::element_is_finite(std::int8_t{-1}));
  EXPECT_FALSE(kernels::element_is_finite(Half{INFINITY}));
}

TEST(Predicates, Signbit) {
  EXPECT_EQ(one("signbit", Scalar(-0.0), DType::Bool), Scalar(true));
  EXPECT_EQ(one("signbit", Scalar(0.0), DType::Bool), Scalar(false));
  EXPECT_EQ(one("signbit", Scalar(-nan), DType::Bool), Scalar(true));
  EXPECT_EQ(one("signbit", Scalar::half(-1.0f), DType::Bool), Scalar(true));
  EXPECT_EQ(one("signbit", Scalar(-2.0f), DType::Bool), Scalar(true));
  // Long double text is asked directly, so a value below the double range keeps its sign.
  EXPECT_EQ(one("signbit", Scalar::long_double("-1e-4000"), DType::Bool), Scalar(true));
  EXPECT_EQ(one("signbit", Scalar::long_double("-0"), DType::Bool), Scalar(true));
  EXPECT_EQ(one("signbit", Scalar::long_double("3"), DType::Bool), Scalar(false));
}

// ---- long double routing ------------------------------------------------------

TEST(LongDouble, OutputsComputedInExtendedPrecision) {
  // |x + 0i| is |x| by the C standard's hypot, so all 64 bits are fixed.
  EXPECT_EQ(one("absolute", Scalar::complex_long_double("-0.1", "0"), DType::LongDouble),
            Scalar::long_double("0.100000000000000000001"));
  EXPECT_EQ(one("negative", Scalar::long_double("1.5"), DType::LongDouble), Scalar::long_double("-1.5"));
  EXPECT_EQ(one("sqrt", Scalar::long_double("2"), DType::LongDouble),
            Scalar::long_double("1.41421356237309504876"));
  EXPECT_EQ(one("square", Scalar::complex_long_double("0", "2"), DType::ComplexLongDouble),
            Scalar::complex_long_double("-4", "0"));
  // A float input with a long double output is converted first.
  EXPECT_EQ(one("positive", Scalar(0.5), DType::LongDouble), Scalar::long_double("0.5"));

  const auto parts = run("modf", Scalar::long_double("-2.5"), DType::LongDouble);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0], Scalar::long_double("-0.5"));
  EXPECT_EQ(parts[1], Scalar::long_double("-2"));
  const auto split = run("frexp", Scalar::long_double("8"), DType::LongDouble);
  ASSERT_EQ(split.size(), 2u);
  EXPECT_EQ(split[0], Scalar::long_double("0.5"));
  EXPECT_EQ(split[1], Scalar(std::int32_t{4}));
  // Extended range: 2^-16000 has an exponent no double can hold.
  const auto tiny = run("frexp", Scalar::long_double("1e-4900"), DType::LongDouble);
  EXPECT_LT(tiny[1].get<std::int32_t>(), -16000);
}

TEST(LongDouble, UnreadableTextFallsThroughToTheDoublePath) {
  auto result = kernels::unary("sqrt", Scalar::long_double("abc"), DType::LongDouble);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::CannotConvert);
  // Finite means neither NaN nor infinite, as the two predicates read the text.
  EXPECT_EQ(one("isnan", Scalar::long_double("abc"), DType::Bool), Scalar(false));
  EXPECT_EQ(one("isinf", Scalar::long_double("abc"), DType::Bool), Scalar(false));
  EXPECT_EQ(one("isfinite", Scalar::long_double("abc"), DType::Bool), Scalar(true));
  EXPECT_EQ(one("isfinite", Scalar::complex_long_double("abc", "inf"), DType::Bool), Scalar(false));
}

// ---- every loop of the table, and the refused combinations --------------------

Scalar sample_of(DType dtype) {
  return *Scalar(std::int8_t{3}).cast(dtype);
}

TEST(LoopTable, EveryOneInputLoopRuns) {
  int loops = 0;
  for (int i = 0; i < kernels::op_count; ++i) {
    const Op op = static_cast<Op>(i);
    if (kernels::input_count(op) != 1) continue;
    for (int code = 0; code < DType::count; ++code) {
      const DType given = DType::from_index(code);
      const auto loop = kernels::resolve_loop(op, std::span<const DType>(&given, 1));
      if (!loop) continue;
      ++loops;
      const Scalar x = *sample_of(given).cast(loop->inputs[0]);
      auto result = kernels::unary(op, x, loop->outputs[0]);
      ASSERT_TRUE(result.has_value()) << kernels::op_name(op) << " " << given.name();
      ASSERT_EQ(result->size(), loop->outputs.size()) << kernels::op_name(op);
      for (std::size_t k = 0; k < result->size(); ++k)
        EXPECT_EQ((*result)[k].dtype(), loop->outputs[k]) << kernels::op_name(op) << " " << given.name();
    }
  }
  EXPECT_GT(loops, 500);
}

TEST(Refused, CannotConvertForEveryRefusedCombination) {
  for (const char* name : {"", "unknown", "ABSOLUTE", "add", "divmod", "arctan2", "atan2", "mod", "true_divide",
                           "logical_and", "ldexp"})
    expect_refused(name, Scalar(1.0), DType::Float64);
  const Scalar floats[] = {Scalar::half(1.0f), Scalar(1.0f), Scalar(1.0), Scalar(c64(1, 0)), Scalar(c128(1, 0)),
                           Scalar::long_double("1"), Scalar::complex_long_double("1", "0")};
  for (const Scalar& x : floats) {
    for (DType out : {DType::Int8, DType::UInt8, DType::Int64}) {
      expect_refused("invert", x, out);
      expect_refused("bitwise_not", x, out);
      expect_refused("bitwise_count", x, out);
      expect_refused("negative", x.dtype().is_complex() ? Scalar(1.0) : x, out);
    }
  }
  // Integer-only operations into outputs they have no loop for.
  for (DType out : {DType::Float16, DType::Float32, DType::Float64, DType::Complex128}) {
    expect_refused("invert", Scalar(std::int8_t{1}), out);
    expect_refused("bitwise_count", Scalar(std::int8_t{1}), out);
    expect_refused("reciprocal", Scalar(std::int8_t{1}), out);
    expect_refused("absolute", Scalar(std::int8_t{-1}), out);
  }
  // Real-only functions of a complex value.
  for (const char* name : {"cbrt", "ceil", "floor", "trunc", "deg2rad", "radians", "degrees", "rad2deg", "spacing"}) {
    expect_refused(name, Scalar(c128(1, 1)), DType::Complex128);
    expect_refused(name, Scalar(c64(1, 1)), DType::Complex64);
  }
  // The double path has no "positive", but the dispatch answers it with a cast first.
  EXPECT_EQ(one("positive", Scalar(-1.0), DType::Float64), Scalar(-1.0));
  // Text that does not read as a number fails with the cast's error.
  expect_refused("exp", Scalar::long_double("x1"), DType::Float64);
}

}  // namespace
