// Scalar values: the cast rules (oracle: the rules worked by hand, and for
// text two independent paths that must agree), the predicates and the
// conversions to double. The typed conversion loops are held to Scalar::cast
// bit for bit in test_buffer.cpp.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "kernel_test_values.h"
#include "storage/scalar.h"

using namespace quarvel_storage;

namespace {

using i128 = __int128;
using namespace kernel_test;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr i128 i32_min = INT32_MIN, i32_max = INT32_MAX, u32_max = UINT32_MAX;
constexpr i128 i64_min = INT64_MIN, i64_max = INT64_MAX, u64_max = UINT64_MAX, two63 = i128{1} << 63;

constexpr DType integer_targets[] = {DType::Int8,  DType::UInt8,  DType::Int16, DType::UInt16,
                                     DType::Int32, DType::UInt32, DType::Int64, DType::UInt64};


// The value of a bool or integer scalar (each use checks the dtype beside it).
i128 integer_value(const Scalar& s) {
  return std::visit([](const auto& v) -> i128 {
    if constexpr (std::is_integral_v<std::decay_t<decltype(v)>>) return static_cast<i128>(v);
    return 0;
  }, s.storage());
}

// One source cast to every integer width, in the order of integer_targets:
//                 int8  uint8  int16  uint16  int32  uint32  int64  uint64
struct WidthRow {
  const char* label;
  Scalar source;
  i128 expected[8];
};

TEST(CastToInteger, FloatsTruncateSaturateThenWrapIntegersWrap) {
  const WidthRow rows[] = {
      {"300.0", Scalar(300.0), {44, 44, 300, 300, 300, 300, 300, 300}},
      {"128.7", Scalar(128.7), {-128, 128, 128, 128, 128, 128, 128, 128}},
      {"1e10", Scalar(1e10), {-1, 255, -1, 65535, i32_max, u32_max, 10000000000, 10000000000}},
      {"2^31-0.5", Scalar(2147483647.5), {-1, 255, -1, 65535, i32_max, 2147483647, 2147483647, 2147483647}},
      {"-nan", Scalar(-nan_value), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"+inf", Scalar(inf), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, u64_max}},
      {"2^63", Scalar(0x1p63), {-1, 255, -1, 65535, i32_max, u32_max, i64_max, two63}},
      {"below 2^64", Scalar(std::nextafter(0x1p64, 0.0)),
       {-1, 255, -1, 65535, i32_max, u32_max, i64_max, (i128{1} << 64) - 2048}},
      // other float sources go through the same rule (complex: real part)
      {"c64 (-1.5, 9)", Scalar(c64(-1.5f, 9.0f)), {-1, 255, -1, 65535, -1, 0, -1, 0}},
      {"int16 -1", Scalar(std::int16_t{-1}), {-1, 255, -1, 65535, -1, u32_max, -1, u64_max}},
      {"int32 70000", Scalar(std::int32_t{70000}), {112, 112, 4464, 4464, 70000, 70000, 70000, 70000}},
      {"int64 min", Scalar(std::int64_t{INT64_MIN}), {0, 0, 0, 0, 0, 0, i64_min, two63}},
      // Text: the decimal path first (exact), the double path where it refuses.
      {"-12.9", ld("-12.9"), {-12, 244, -12, 65524, -12, 0, -12, 0}},
      {"-2^63-1", ld("-9223372036854775809"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"2^53+1", ld("9007199254740993"), {-1, 255, -1, 65535, i32_max, u32_max, 9007199254740993LL, 9007199254740993LL}},
      {"-1e2147483648", ld("-1e2147483648"), {0, 0, 0, 0, i32_min, 0, i64_min, 0}},
      {"nan", ld("nan"), {0, 0, 0, 0, 0, 0, 0, 0}},
      {"cld (300, x)", cld("300", "x"), {44, 44, 300, 300, 300, 300, 300, 300}},
  };
  for (const auto& r : rows)
    for (int t = 0; t < 8; ++t) {
      const auto result = r.source.cast(integer_targets[t]);
      ASSERT_TRUE(result.has_value()) << r.label;
      EXPECT_EQ(result->dtype(), integer_targets[t]);
      EXPECT_TRUE(integer_value(*result) == r.expected[t]) << r.label << " -> " << integer_targets[t].name();
    }
  for (const char* text : {"0x10", "abc", " 5", "5 ", "", "1e", "- 1", "0x1p3"})
    for (DType target : integer_targets)
      EXPECT_EQ(ld(text).cast(target).error().message(), "scalar value is outside the requested dtype range") << text;
}

TEST(CastToFloatAndText, Table) {
  const std::tuple<const char*, Scalar, DType, Scalar> rows[] = {
      {"int64 2^53+1 -> f64", Scalar(std::int64_t{(1LL << 53) + 1}), DType::Float64, Scalar(0x1p53)},
      {"f64 65519 -> f16", Scalar(65519.0), DType::Float16, Scalar::half(65504.0f)},
      {"f64 -65520 -> f16", Scalar(-65520.0), DType::Float16, Scalar::half(-INFINITY)},
      {"f64 -1e-300 -> f32", Scalar(-1e-300), DType::Float32, Scalar(-0.0f)},
      {"c128 -> ld", Scalar(c128(1.5, 2.0)), DType::LongDouble, ld("1.5")},
      {"c64 -> cld", Scalar(c64(0.1f, -0.0f)), DType::ComplexLongDouble, cld("0.100000001490116119384765625", "-0")},
      {"c128 -> c64", Scalar(c128(0.1, 1e300)), DType::Complex64, Scalar(c64(0.1f, INFINITY))},
      {"f64 0.1 -> ld", Scalar(0.1), DType::LongDouble, ld("0.1000000000000000055511151231257827021181583404541015625")},
      {"int64 min -> ld", Scalar(std::int64_t{INT64_MIN}), DType::LongDouble, ld("-9223372036854775808")},
      {"f64 nan -> ld", Scalar(nan_value), DType::LongDouble, ld("NaN")},
      // long double sources keep their text where the target holds text
      {"cld -> ld", cld(" x", "2"), DType::LongDouble, ld(" x")},
      {"ld -> cld", ld("abc"), DType::ComplexLongDouble, cld("abc", "0")},
      {"ld -> ld", ld("  not checked "), DType::LongDouble, ld("  not checked ")},
      {"ld -> f16", ld("65519.99"), DType::Float16, Scalar::half(65504.0f)},
      {"cld -> f64", cld("1", "x"), DType::Float64, Scalar(1.0)},
      // bool is truthiness, held by the predicate table
      {"c128 (0,-0) -> bool", Scalar(c128(0.0, -0.0)), DType::Bool, Scalar(false)},
  };
  // A refusal reads as text no row expects.
  for (const auto& [label, source, target, expected] : rows)
    EXPECT_TRUE(same_bits(expected, source.cast(target).value_or(ld("refused")))) << label;
  for (const auto& [source, target] : {std::pair<Scalar, DType>{ld("abc"), DType::Float64}, {ld("0x10"), DType::Float32},
                                       {ld(" 1"), DType::Complex128}, {cld("1", "x"), DType::Complex64},
                                       {cld("x", "1"), DType::Float64}, {ld("abc"), DType::Float16}})
    EXPECT_EQ(source.cast(target).error().message(), "scalar cannot be converted to the requested dtype")
        << scalar_decimal(source) << " -> " << target.name();
}

// Two independent paths: the float rule on the double, and the exact decimal
// text of that double read by the text rule, agree for every width. (Exact
// text and its parse are held to the C library in test_decimal_text.cpp.)
TEST(CastProperties, FloatAndTextRulesAgree) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-3.0, 38.0);
  for (int i = 0; i < 3000; ++i) {
    double x = std::pow(10.0, exponent(random)) * (random() & 1 ? -1 : 1);
    if (i % 10 == 0) x = std::trunc(x) + 0.5;
    const Scalar source(x);
    const auto text = source.cast(DType::LongDouble);
    for (DType target : integer_targets)
      ASSERT_EQ(*source.cast(target), *text->cast(target)) << text->get<LongDoubleText>().text << " -> " << target.name();
  }
}

// Whether a float-to-integer cast left the range in which it is faithful
// (the 8- and 16-bit targets saturate at the 32-bit range).
TEST(CastProperties, IntegerCastIsInvalid) {
  const std::tuple<Scalar, DType, bool> rows[] = {
      {Scalar(300.0), DType::Int8, false},        {Scalar(3e9), DType::Int8, true},
      {Scalar(-1.0), DType::UInt32, true},        {Scalar(-1.0), DType::UInt16, false},
      {Scalar(nan_value), DType::Int64, true},    {Scalar(inf), DType::UInt64, true},
      {Scalar(2147483647.5), DType::Int32, false}, {Scalar(0x1p31), DType::Int32, true},
      {Scalar(0x1p63), DType::Int64, true},       {Scalar(std::nextafter(0x1p63, 0.0)), DType::Int64, false},
      {Scalar(c64(3e9f, 0.0f)), DType::Int8, true}, {Scalar(c128(1.0, nan_value)), DType::Int8, false},
      {ld("nan"), DType::Int8, true},             {ld("1e39"), DType::Int64, true},
      {ld("1e18"), DType::Int64, false},          {ld("-0.9"), DType::UInt32, false},
      {ld("18446744073709551616"), DType::UInt64, true}, {ld("abc"), DType::Int8, true},
      {cld("5", "x"), DType::Int8, false},        {cld("x", "5"), DType::Int8, true},
      {Scalar(std::int64_t{-1}), DType::UInt8, false}, {Scalar(nan_value), DType::Float32, false},
      {ld("abc"), DType::LongDouble, false},
  };
  for (const auto& [source, target, invalid] : rows)
    EXPECT_EQ(source.integer_cast_is_invalid(target), invalid) << scalar_decimal(source) << " -> " << target.name();
}

// ---------------------------------------------------------------------------

TEST(ScalarPredicates, Table) {
  // truthy, zero, nan, infinite, finite, subnormal
  const std::tuple<const char*, Scalar, std::array<bool, 6>> rows[] = {
      {"bool false", Scalar(false), {false, true, false, false, true, false}},
      {"f64 nan", Scalar(nan_value), {true, false, true, false, false, false}},
      {"f64 2^-1022", Scalar(0x1p-1022), {true, false, false, false, true, false}},
      {"f64 2^-1023", Scalar(0x1p-1023), {true, false, false, false, true, true}},
      {"f32 2^-130", Scalar(0x1p-130f), {true, false, false, false, true, true}},
      {"f16 2^-15", Scalar::half(0x1p-15f), {true, false, false, false, true, true}},
      {"c128 (0,nan)", Scalar(c128(0, nan_value)), {true, false, true, false, false, false}},
      // the single-precision subnormal bound applies to complex64
      {"c64 (2^-127,0)", Scalar(c64(0x1p-127f, 0)), {true, false, false, false, true, true}},
      {"c128 (2^-130,0)", Scalar(c128(0x1p-130, 0)), {true, false, false, false, true, false}},
      // long double text: decided when the text is read; unreadable text is nothing
      {"ld -0", ld("-0"), {false, true, false, false, true, false}},
      {"ld 1e-4940", ld("1e-4940"), {true, false, false, false, true, true}},
      {"ld 1e-320", ld("1e-320"), {true, false, false, false, true, false}},  // normal as extended
      {"ld abc", ld("abc"), {false, false, false, false, false, false}},
      {"cld (abc,1)", cld("abc", "1"), {true, false, false, false, false, false}},
      {"cld (0,abc)", cld("0", "abc"), {false, false, false, false, false, false}},
      {"cld (x,1e-4940)", cld("x", "1e-4940"), {true, false, false, false, false, true}},
  };
  for (const auto& [label, v, e] : rows) {
    const std::array<bool, 6> got = {v.truthy(), v.is_zero(), v.is_nan(), v.is_infinite(), v.is_finite(), v.is_subnormal()};
    EXPECT_EQ(got, e) << label;
  }
}

TEST(ScalarConversion, ZeroAndDoubles) {
  for (int code = 0; code < DType::count; ++code) {
    const Scalar z = Scalar::zero(DType::from_index(code));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*z.as_f64()), 0u) << code;  // positive zero
    EXPECT_TRUE(z.is_zero() && !z.truthy()) << code;
  }
  const std::pair<Scalar, double> as_f64[] = {
      {Scalar(std::int64_t{(1LL << 53) + 1}), 0x1p53},  // tie: to even
      {Scalar(std::uint64_t{(1ull << 63) + (1ull << 10)}), 0x1p63},  // tie: to even
      {Scalar::half(65504.0f), 65504.0},  {Scalar(0.1f), 0.100000001490116119384765625},
      {Scalar(c64(0.5f, 7.0f)), 0.5},    {ld("-1e400"), -inf},  {cld("0.25", "not a number"), 0.25},
  };
  for (const auto& [value, expected] : as_f64)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*value.as_f64()), std::bit_cast<std::uint64_t>(expected)) << expected;
  // The imaginary zero of a real source is positive.
  const std::pair<Scalar, c128> as_complex[] = {
      {Scalar(-0.0), {-0.0, 0.0}}, {Scalar(c64(0.1f, -2.0f)), {0.100000001490116119384765625, -2.0}},
      {Scalar(c128(1.0, -0.0)), {1.0, -0.0}}, {cld("1.5", "-2"), {1.5, -2.0}}, {ld("2"), {2.0, 0.0}}};
  for (const auto& [value, expected] : as_complex)
    EXPECT_TRUE(same_bits(Scalar(expected), Scalar(*value.as_complex())));
  for (const Scalar& s : {ld("abc"), ld(" 1"), ld("0x10"), cld("x", "1")})
    EXPECT_EQ(s.as_f64().error().message(), "scalar cannot be converted to the requested dtype");
  for (const Scalar& s : {cld("1.5", "x"), ld("")}) EXPECT_EQ(s.as_complex().error().kind, ErrorKind::CannotConvert);
  EXPECT_EQ(max_integer_bits(DType::Int8, DType::UInt64), 64u);
  EXPECT_EQ(promote_integer(DType::Int64, DType::UInt64), DType::Float64);
}

}  // namespace
