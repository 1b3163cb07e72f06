#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "storage/scalar.h"

using namespace quarvel_storage;

namespace {

using i128 = __int128;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

constexpr DType integer_targets[] = {DType::Int8,  DType::UInt8,  DType::Int16, DType::UInt16,
                                     DType::Int32, DType::UInt32, DType::Int64, DType::UInt64};

Scalar ld(const char* text) { return Scalar::long_double(text); }

// The value of a bool or integer scalar; anything else is a test failure.
i128 integer_value(const Scalar& s) {
  return std::visit(
      [](const auto& v) -> i128 {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>) {
          return static_cast<i128>(v);
        } else {
          ADD_FAILURE() << "not an integer scalar";
          return 0;
        }
      },
      s.storage());
}

std::string text_of(i128 v) {
  if (v < 0) return "-" + text_of(-(v + 1) + 1);  // no value here is -2^127
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  return s;
}

constexpr i128 i64_min = INT64_MIN, i64_max = INT64_MAX, u64_max = UINT64_MAX;
constexpr i128 i32_min = INT32_MIN, i32_max = INT32_MAX, u32_max = UINT32_MAX;

// One source value cast to every integer width, in the order of integer_targets.
struct WidthRow {
  const char* label;
  Scalar source;
  i128 expected[8];
};

void check_rows(const std::vector<WidthRow>& rows) {
  for (const auto& r : rows) {
    for (int t = 0; t < 8; ++t) {
      const DType target = integer_targets[t];
      SCOPED_TRACE(std::string(r.label) + " -> " + std::string(target.name()));
      auto result = r.source.cast(target);
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(result->dtype(), target);
      EXPECT_EQ(text_of(integer_value(*result)), text_of(r.expected[t]));
    }
  }
}

//                       int8  uint8  int16  uint16  int32  uint32  int64  uint64
TEST(CastFloatToInteger, EveryWidth) {
  check_rows({
      {"300.0", Scalar(300.0), {44, 44, 300, 300, 300, 300, 300, 300}},
      {"-5.0", Scalar(-5.0), {-5, 251, -5, 65531, -5, 0, -5, 0}},
      {"-1.5", Scalar(-1.5), {-1, 255, -1, 65535, -1, 0, -1, 0}},
      {"-0.5", Scalar(-0.5), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"128.7", Scalar(128.7), {-128, 128, 128, 128, 128, 128, 128, 128}},
      {"-129.0", Scalar(-129.0), {127, 127, -129, 65407, -129, 0, -129, 0}},
      {"65535.0", Scalar(65535.0), {-1, 255, -1, 65535, 65535, 65535, 65535, 65535}},
      {"1e10", Scalar(1e10), {-1, 255, -1, 65535, i32_max, u32_max, 10000000000, 10000000000}},
      {"-1e10", Scalar(-1e10), {0, 0, 0, 0, i32_min, 0, -10000000000, 0}},
      {"2^31-0.5", Scalar(2147483647.5), {-1, 255, -1, 65535, i32_max, 2147483647, 2147483647, 2147483647}},
      {"-2^31-0.5", Scalar(-2147483648.5), {0, 0, 0, 0, i32_min, 0, -2147483648LL, 0}},
      {"2^32", Scalar(0x1p32), {-1, 255, -1, 65535, i32_max, u32_max, 4294967296, 4294967296}},
      {"2^32-0.5", Scalar(4294967295.5), {-1, 255, -1, 65535, i32_max, u32_max, u32_max, u32_max}},
      {"nan", Scalar(nan_value), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"-nan", Scalar(-nan_value), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"+inf", Scalar(inf), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"-inf", Scalar(-inf), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"2^63", Scalar(0x1p63), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, i128{1} << 63}},
      {"below 2^63", Scalar(std::nextafter(0x1p63, 0.0)),
       {-1, 255, -1, 65535, i32_max, u32_max, (i128{1} << 63) - 1024, (i128{1} << 63) - 1024}},
      {"-2^63", Scalar(-0x1p63), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"below -2^63", Scalar(std::nextafter(-0x1p63, -inf)), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"2^64", Scalar(0x1p64), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"below 2^64", Scalar(std::nextafter(0x1p64, 0.0)),
       {-1, 255, -1, 65535, i32_max, u32_max, i64_max, (i128{1} << 64) - 2048}},
      {"1e300", Scalar(1e300), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      // other float sources go through the same rule (complex: real part)
      {"f16 300", Scalar::half(300.0f), {44, 44, 300, 300, 300, 300, 300, 300}},
      {"f16 -inf", Scalar::half(-INFINITY), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"f32 -5", Scalar(-5.0f), {-5, 251, -5, 65531, -5, 0, -5, 0}},
      {"f32 nan", Scalar(std::numeric_limits<float>::quiet_NaN()), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"c64 (-1.5, 9)", Scalar(std::complex<float>(-1.5f, 9.0f)), {-1, 255, -1, 65535, -1, 0, -1, 0}},
      {"c128 (300, nan)", Scalar(std::complex<double>(300.0, nan_value)), {44, 44, 300, 300, 300, 300, 300, 300}},
  });
}

TEST(CastIntegerToInteger, WrapsModuloWidth) {
  check_rows({
      {"bool true", Scalar(true), {1, 1, 1, 1, 1, 1, 1, 1}},
      {"int16 -1", Scalar(std::int16_t{-1}), {-1, 255, -1, 65535, -1, u32_max, -1, u64_max}},
      {"uint64 max", Scalar(std::uint64_t{UINT64_MAX}), {-1, 255, -1, 65535, -1, u32_max, -1, u64_max}},
      {"int32 70000", Scalar(std::int32_t{70000}), {112, 112, 4464, 4464, 70000, 70000, 70000, 70000}},
      {"uint8 200", Scalar(std::uint8_t{200}), {-56, 200, 200, 200, 200, 200, 200, 200}},
      {"int64 min", Scalar(std::int64_t{INT64_MIN}), {0, 0, 0, 0, 0, 0, i64_min, i128{1} << 63}},
      {"uint32 2^31", Scalar(std::uint32_t{0x80000000u}), {0, 0, 0, 0, i32_min, 0x80000000LL, 0x80000000LL, 0x80000000LL}},
  });
}

TEST(CastTextToInteger, DecimalThenDouble) {
  check_rows({
      {"1e30", ld("1e30"), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"nan", ld("nan"), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"-inf", ld("-inf"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"12.9", ld("12.9"), {12, 12, 12, 12, 12, 12, 12, 12}},
      {"-12.9", ld("-12.9"), {-12, 244, -12, 65524, -12, 0, -12, 0}},
      {"300", ld("300"), {44, 44, 300, 300, 300, 300, 300, 300}},
      {"-5", ld("-5"), {-5, 251, -5, 65531, -5, 0, -5, 0}},
      {"1e10", ld("1e10"), {-1, 255, -1, 65535, i32_max, u32_max, 10000000000, 10000000000}},
      {"1.5e+30", ld("1.5e+30"), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"2^64", ld("18446744073709551616"), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"-2^63-1", ld("-9223372036854775809"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      // exact through the decimal path; a double would have rounded to ...992
      {"2^53+1", ld("9007199254740993"), {-1, 255, -1, 65535, i32_max, u32_max, 9007199254740993LL, 9007199254740993LL}},
      // 40 integer digits: the decimal path refuses, the double path reads it
      {"1e39", ld("1e39"), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"-1e39", ld("-1e39"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"-0.9", ld("-0.9"), {0, 0, 0, 0, 0, 0, 0, 0}},
      // an exponent at the edge of 32 bits: the decimal path refuses, the double is infinite
      {"1e2147483647", ld("1e2147483647"), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"-1e2147483648", ld("-1e2147483648"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"1e-2147483648", ld("1e-2147483648"), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"cld (300, x)", Scalar::complex_long_double("300", "x"), {44, 44, 300, 300, 300, 300, 300, 300}},
  });
}

TEST(CastTextToInteger, UnreadableTextFails) {
  for (const char* text : {"0x10", "abc", " 5", "5 ", "", "1e", "- 1", "0x1p3"}) {
    for (DType target : integer_targets) {
      auto result = ld(text).cast(target);
      ASSERT_FALSE(result.has_value()) << '"' << text << "\" -> " << target.name();
      EXPECT_EQ(result.error().message(), "scalar value is outside the requested dtype range");
    }
  }
}

// ---------------------------------------------------------------------------

void expect_same_bits(const Scalar& got, const Scalar& expected) {
  EXPECT_EQ(got.dtype(), expected.dtype());
  if (const auto* e = expected.get_if<double>()) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got.get<double>()), std::bit_cast<std::uint64_t>(*e));
  } else if (const auto* e = expected.get_if<float>()) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got.get<float>()), std::bit_cast<std::uint32_t>(*e));
  } else if (const auto* e = expected.get_if<Half>()) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(got.get<Half>().value), std::bit_cast<std::uint32_t>(e->value));
  } else {
    EXPECT_EQ(got, expected);
  }
}

TEST(CastToFloatAndText, Table) {
  struct Row {
    const char* label;
    Scalar source;
    DType target;
    Scalar expected;
  };
  using c64 = std::complex<float>;
  using c128 = std::complex<double>;
  const std::vector<Row> rows = {
      {"int64 2^53+1 -> f64", Scalar(std::int64_t{(1LL << 53) + 1}), DType::Float64, Scalar(0x1p53)},
      {"bool -> f32", Scalar(true), DType::Float32, Scalar(1.0f)},
      {"f64 70000 -> f16", Scalar(70000.0), DType::Float16, Scalar::half(INFINITY)},
      {"f64 65519 -> f16", Scalar(65519.0), DType::Float16, Scalar::half(65504.0f)},
      {"f64 65520 -> f16", Scalar(65520.0), DType::Float16, Scalar::half(INFINITY)},
      {"f64 -65520 -> f16", Scalar(-65520.0), DType::Float16, Scalar::half(-INFINITY)},
      {"int32 2049 -> f16", Scalar(std::int32_t{2049}), DType::Float16, Scalar::half(2048.0f)},
      {"int32 2051 -> f16", Scalar(std::int32_t{2051}), DType::Float16, Scalar::half(2052.0f)},
      {"uint64 max -> f16", Scalar(std::uint64_t{UINT64_MAX}), DType::Float16, Scalar::half(INFINITY)},
      {"f64 0.1 -> f32", Scalar(0.1), DType::Float32, Scalar(0.1f)},
      {"f64 1e300 -> f32", Scalar(1e300), DType::Float32, Scalar(INFINITY)},
      {"f64 -1e-300 -> f32", Scalar(-1e-300), DType::Float32, Scalar(-0.0f)},
      {"c128 -> f64", Scalar(c128(1.5, 2.0)), DType::Float64, Scalar(1.5)},
      {"c128 -> ld", Scalar(c128(1.5, 2.0)), DType::LongDouble, ld("1.5")},
      {"c128 -> cld", Scalar(c128(1.5, 2.0)), DType::ComplexLongDouble, Scalar::complex_long_double("1.5", "2")},
      {"c64 -> cld", Scalar(c64(0.1f, -0.0f)), DType::ComplexLongDouble,
       Scalar::complex_long_double("0.100000001490116119384765625", "-0")},
      {"c64 -> c128", Scalar(c64(0.1f, 2.0f)), DType::Complex128, Scalar(c128(0.100000001490116119384765625, 2.0))},
      {"c128 -> c64", Scalar(c128(0.1, 1e300)), DType::Complex64, Scalar(c64(0.1f, INFINITY))},
      {"f64 -> c64", Scalar(-2.5), DType::Complex64, Scalar(c64(-2.5f, 0.0f))},
      {"f64 0.1 -> ld", Scalar(0.1), DType::LongDouble, ld("0.1000000000000000055511151231257827021181583404541015625")},
      {"int8 -128 -> ld", Scalar(std::int8_t{-128}), DType::LongDouble, ld("-128")},
      {"uint64 max -> ld", Scalar(std::uint64_t{UINT64_MAX}), DType::LongDouble, ld("18446744073709551615")},
      {"bool -> cld", Scalar(true), DType::ComplexLongDouble, Scalar::complex_long_double("1", "0")},
      {"f16 -> cld", Scalar::half(-0.0f), DType::ComplexLongDouble, Scalar::complex_long_double("-0", "0")},
      {"f64 nan -> ld", Scalar(nan_value), DType::LongDouble, ld("NaN")},
      {"f64 -inf -> cld", Scalar(-inf), DType::ComplexLongDouble, Scalar::complex_long_double("-inf", "0")},
      // long double sources keep their text where the target holds text
      {"cld -> ld", Scalar::complex_long_double(" x", "2"), DType::LongDouble, ld(" x")},
      {"ld -> cld", ld("abc"), DType::ComplexLongDouble, Scalar::complex_long_double("abc", "0")},
      {"ld -> ld", ld("  not checked "), DType::LongDouble, ld("  not checked ")},
      {"ld -> f16", ld("65519.99"), DType::Float16, Scalar::half(65504.0f)},
      {"ld -> c64", ld("0.5"), DType::Complex64, Scalar(c64(0.5f, 0.0f))},
      {"cld -> c128", Scalar::complex_long_double("1", "-2e-5"), DType::Complex128, Scalar(c128(1.0, -2e-5))},
      {"cld -> f64", Scalar::complex_long_double("1", "x"), DType::Float64, Scalar(1.0)},
      {"f64 nan -> bool", Scalar(nan_value), DType::Bool, Scalar(true)},
      {"c128 (0,-0) -> bool", Scalar(c128(0.0, -0.0)), DType::Bool, Scalar(false)},
      {"ld abc -> bool", ld("abc"), DType::Bool, Scalar(false)},
      {"cld (abc,1) -> bool", Scalar::complex_long_double("abc", "1"), DType::Bool, Scalar(true)},
      {"f64 -0.0 -> f64", Scalar(-0.0), DType::Float64, Scalar(-0.0)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    auto result = r.source.cast(r.target);
    ASSERT_TRUE(result.has_value());
    expect_same_bits(*result, r.expected);
  }
}

TEST(CastToFloatAndText, UnreadableTextFails) {
  struct Row {
    Scalar source;
    DType target;
  };
  const std::vector<Row> rows = {
      {ld("abc"), DType::Float64},  {ld("abc"), DType::Float16},
      {ld("0x10"), DType::Float32}, {ld(" 1"), DType::Complex128},
      {Scalar::complex_long_double("1", "x"), DType::Complex64},
      {Scalar::complex_long_double("x", "1"), DType::Float64},
  };
  for (const auto& r : rows) {
    auto result = r.source.cast(r.target);
    ASSERT_FALSE(result.has_value()) << scalar_decimal(r.source) << " -> " << r.target.name();
    EXPECT_EQ(result.error().message(), "scalar cannot be converted to the requested dtype");
  }
}

// Every fixed-width value casts to every dtype without failing, the result has
// the target dtype, and a cast to the own dtype is the identity.
TEST(CastEveryPair, FixedWidthNeverFails) {
  const std::vector<Scalar> samples = {
      Scalar(true),
      Scalar(std::int8_t{-7}),
      Scalar(std::uint8_t{255}),
      Scalar(std::int16_t{-32768}),
      Scalar(std::uint16_t{65535}),
      Scalar(std::int32_t{INT32_MIN}),
      Scalar(std::uint32_t{UINT32_MAX}),
      Scalar(std::int64_t{INT64_MIN}),
      Scalar(std::uint64_t{UINT64_MAX}),
      Scalar::half(-65504.0f),
      Scalar(std::numeric_limits<float>::denorm_min()),
      Scalar(-std::numeric_limits<double>::max()),
      Scalar(std::complex<float>(INFINITY, -1.0f)),
      Scalar(std::complex<double>(nan_value, 3.0)),
      ld("-1.25"),
      Scalar::complex_long_double("2", "-3"),
  };
  for (const Scalar& source : samples) {
    for (int code = 0; code < DType::count; ++code) {
      const DType target = DType::from_index(code);
      SCOPED_TRACE(std::string(source.dtype().name()) + " -> " + std::string(target.name()));
      auto result = source.cast(target);
      ASSERT_TRUE(result.has_value());
      EXPECT_EQ(result->dtype(), target);
      if (target == source.dtype() && !source.is_nan()) expect_same_bits(*result, source);
    }
  }
}

// Two independent paths: the float rule on the double, and the exact decimal
// text of that double read by the text rule, must agree for every width.
TEST(CastProperties, FloatRuleAgreesWithTextRule) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-3.0, 38.0);
  std::bernoulli_distribution negative(0.5);
  for (int i = 0; i < 3000; ++i) {
    double x = std::pow(10.0, exponent(random));
    if (negative(random)) x = -x;
    if (i % 10 == 0) x = std::trunc(x) + 0.5;
    const Scalar source(x);
    const auto text = source.cast(DType::LongDouble);
    ASSERT_TRUE(text.has_value());
    for (DType target : integer_targets) {
      const auto direct = source.cast(target), via_text = text->cast(target);
      ASSERT_TRUE(direct.has_value() && via_text.has_value());
      ASSERT_EQ(*direct, *via_text) << text->get<LongDoubleText>().text << " -> " << target.name();
    }
  }
}

// Exact decimal text makes binary floats survive a trip through long double.
TEST(CastProperties, BinaryFloatsRoundTripThroughLongDouble) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 2000; ++i) {
    const double x = std::bit_cast<double>(random());
    if (std::isnan(x)) continue;
    for (DType via : {DType::LongDouble, DType::ComplexLongDouble}) {
      const auto there = Scalar(x).cast(via);
      ASSERT_TRUE(there.has_value());
      const auto back = there->cast(DType::Float64);
      ASSERT_TRUE(back.has_value());
      ASSERT_EQ(std::bit_cast<std::uint64_t>(back->get<double>()), std::bit_cast<std::uint64_t>(x));
    }
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isnan(f)) continue;
    const auto back = Scalar(f).cast(DType::LongDouble)->cast(DType::Float32);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back->get<float>()), std::bit_cast<std::uint32_t>(f));
  }
}

// ---------------------------------------------------------------------------

TEST(IntegerCastIsInvalid, Table) {
  struct Row {
    const char* label;
    Scalar source;
    DType target;
    bool invalid;
  };
  const std::vector<Row> rows = {
      {"300 int8", Scalar(300.0), DType::Int8, false},
      {"3e9 int8", Scalar(3e9), DType::Int8, true},
      {"-1 uint32", Scalar(-1.0), DType::UInt32, true},
      {"-1 uint16", Scalar(-1.0), DType::UInt16, false},
      {"-0.5 uint32", Scalar(-0.5), DType::UInt32, false},
      {"-0.5 uint64", Scalar(-0.5), DType::UInt64, false},
      {"-1 uint64", Scalar(-1.0), DType::UInt64, true},
      {"nan int64", Scalar(nan_value), DType::Int64, true},
      {"inf uint64", Scalar(inf), DType::UInt64, true},
      {"2^31-0.5 int32", Scalar(2147483647.5), DType::Int32, false},
      {"2^31 int32", Scalar(0x1p31), DType::Int32, true},
      {"-2^31 int16", Scalar(-0x1p31), DType::Int16, false},
      {"-2^31-1 int16", Scalar(-0x1p31 - 1), DType::Int16, true},
      {"2^32-0.5 uint32", Scalar(4294967295.5), DType::UInt32, false},
      {"2^32 uint32", Scalar(0x1p32), DType::UInt32, true},
      {"2^63 int64", Scalar(0x1p63), DType::Int64, true},
      {"below 2^63 int64", Scalar(std::nextafter(0x1p63, 0.0)), DType::Int64, false},
      {"-2^63 int64", Scalar(-0x1p63), DType::Int64, false},
      {"below -2^63 int64", Scalar(std::nextafter(-0x1p63, -inf)), DType::Int64, true},
      {"2^64 uint64", Scalar(0x1p64), DType::UInt64, true},
      {"below 2^64 uint64", Scalar(std::nextafter(0x1p64, 0.0)), DType::UInt64, false},
      {"f16 inf int8", Scalar::half(INFINITY), DType::Int8, true},
      {"f32 3e9 int32", Scalar(3e9f), DType::Int32, true},
      {"c64 (3e9,0) int8", Scalar(std::complex<float>(3e9f, 0.0f)), DType::Int8, true},
      {"c128 (1, nan) int8", Scalar(std::complex<double>(1.0, nan_value)), DType::Int8, false},
      {"ld inf int32", ld("inf"), DType::Int32, true},
      {"ld nan int8", ld("nan"), DType::Int8, true},
      {"ld 1e39 int64", ld("1e39"), DType::Int64, true},
      {"ld 1e18 int64", ld("1e18"), DType::Int64, false},
      {"ld -0.9 uint32", ld("-0.9"), DType::UInt32, false},
      {"ld -1 uint32", ld("-1"), DType::UInt32, true},
      {"ld 4294967296 uint32", ld("4294967296"), DType::UInt32, true},
      {"ld 2^64-1 uint64", ld("18446744073709551615.9"), DType::UInt64, false},
      {"ld 2^64 uint64", ld("18446744073709551616"), DType::UInt64, true},
      {"ld abc int8", ld("abc"), DType::Int8, true},
      {"cld (5,x) int8", Scalar::complex_long_double("5", "x"), DType::Int8, false},
      {"cld (x,5) int8", Scalar::complex_long_double("x", "5"), DType::Int8, true},
      {"int64 -1 uint8", Scalar(std::int64_t{-1}), DType::UInt8, false},
      {"bool uint64", Scalar(true), DType::UInt64, false},
      {"nan to float32", Scalar(nan_value), DType::Float32, false},
      {"nan to bool", Scalar(nan_value), DType::Bool, false},
      {"ld abc to ld", ld("abc"), DType::LongDouble, false},
  };
  for (const auto& r : rows) EXPECT_EQ(r.source.integer_cast_is_invalid(r.target), r.invalid) << r.label;
}

}  // namespace
