#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"
#include "storage/scalar.h"

using namespace quarvel_storage;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Expected predicate answers, in the order truthy, zero, nan, infinite, finite, subnormal.
struct PredicateRow {
  const char* label;
  Scalar value;
  bool truthy, zero, nan, infinite, finite, subnormal;
};

Scalar ld(const char* text) { return Scalar::long_double(text); }
Scalar cld(const char* re, const char* im) { return Scalar::complex_long_double(re, im); }

TEST(ScalarPredicates, Table) {
  const std::vector<PredicateRow> rows = {
      // bool and integers
      {"bool false", Scalar(false), false, true, false, false, true, false},
      {"bool true", Scalar(true), true, false, false, false, true, false},
      {"int8 -128", Scalar(std::int8_t{-128}), true, false, false, false, true, false},
      {"uint64 0", Scalar(std::uint64_t{0}), false, true, false, false, true, false},
      // binary floats
      {"f64 nan", Scalar(nan_value), true, false, true, false, false, false},
      {"f64 -inf", Scalar(-inf), true, false, false, true, false, false},
      {"f64 -0", Scalar(-0.0), false, true, false, false, true, false},
      {"f64 2^-1022", Scalar(0x1p-1022), true, false, false, false, true, false},
      {"f64 2^-1023", Scalar(0x1p-1023), true, false, false, false, true, true},
      {"f32 2^-130", Scalar(0x1p-130f), true, false, false, false, true, true},
      {"f32 2^-126", Scalar(0x1p-126f), true, false, false, false, true, false},
      {"f16 2^-15", Scalar::half(0x1p-15f), true, false, false, false, true, true},
      {"f16 2^-14", Scalar::half(0x1p-14f), true, false, false, false, true, false},
      {"f16 -0", Scalar::half(-0.0f), false, true, false, false, true, false},
      // complex
      {"c128 (0,nan)", Scalar(std::complex<double>(0, nan_value)), true, false, true, false, false, false},
      {"c128 (0,-0)", Scalar(std::complex<double>(0, -0.0)), false, true, false, false, true, false},
      {"c128 (1,inf)", Scalar(std::complex<double>(1, inf)), true, false, false, true, false, false},
      {"c64 (0,2^-130)", Scalar(std::complex<float>(0, 0x1p-130f)), true, false, false, false, true, true},
      // a double-precision subnormal bound would call 2^-130 normal; the single one must apply
      {"c64 (2^-127,0)", Scalar(std::complex<float>(0x1p-127f, 0)), true, false, false, false, true, true},
      {"c128 (2^-130,0)", Scalar(std::complex<double>(0x1p-130, 0)), true, false, false, false, true, false},
      // long double text: classify decides when it reads the text
      {"ld 0.0", ld("0.0"), false, true, false, false, true, false},
      {"ld -0", ld("-0"), false, true, false, false, true, false},
      {"ld 1e-4940", ld("1e-4940"), true, false, false, false, true, true},
      {"ld blank 1", ld(" 1"), true, false, false, false, true, false},
      {"ld 1e-320", ld("1e-320"), true, false, false, false, true, false},  // normal as extended
      {"ld NaN", ld("NaN"), true, false, true, false, false, false},
      {"ld -Infinity", ld("-Infinity"), true, false, false, true, false, false},
      {"ld 1e5000", ld("1e5000"), true, false, false, true, false, false},
      {"ld abc", ld("abc"), false, false, false, false, false, false},
      {"ld empty", ld(""), false, false, false, false, false, false},
      // complex long double
      {"cld (abc,1)", cld("abc", "1"), true, false, false, false, false, false},
      {"cld (0,abc)", cld("0", "abc"), false, false, false, false, false, false},
      {"cld (0,-0)", cld("0", "-0"), false, true, false, false, true, false},
      {"cld (1,nan)", cld("1", "nan"), true, false, true, false, false, false},
      {"cld (abc,inf)", cld("abc", "inf"), true, false, false, true, false, false},
      {"cld (1e-4940,x)", cld("1e-4940", "x"), true, false, false, false, false, true},
      {"cld (x,1e-4940)", cld("x", "1e-4940"), true, false, false, false, false, true},
      {"cld (1,2)", cld("1", "2"), true, false, false, false, true, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.label);
    EXPECT_EQ(r.value.truthy(), r.truthy);
    EXPECT_EQ(r.value.is_zero(), r.zero);
    EXPECT_EQ(r.value.is_nan(), r.nan);
    EXPECT_EQ(r.value.is_infinite(), r.infinite);
    EXPECT_EQ(r.value.is_finite(), r.finite);
    EXPECT_EQ(r.value.is_subnormal(), r.subnormal);
  }
}

TEST(ScalarZero, EveryDtype) {
  for (int code = 0; code < DType::count; ++code) {
    const DType d = DType::from_index(code);
    const Scalar z = Scalar::zero(d);
    SCOPED_TRACE(std::string(d.name()));
    EXPECT_EQ(z.dtype(), d);
    EXPECT_TRUE(z.is_zero());
    EXPECT_FALSE(z.truthy());
    auto x = z.as_f64();
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*x), 0u);  // positive zero
  }
  EXPECT_EQ(Scalar::zero(DType::LongDouble).get<LongDoubleText>().text, "0");
  EXPECT_EQ(Scalar::zero(DType::ComplexLongDouble), cld("0", "0"));
  EXPECT_EQ(Scalar(), Scalar(false));
}

TEST(ScalarConversion, AsF64) {
  struct Row {
    Scalar value;
    double expected;
  };
  const std::vector<Row> rows = {
      {Scalar(true), 1.0},
      {Scalar(std::int8_t{-3}), -3.0},
      {Scalar(std::uint32_t{4294967295u}), 4294967295.0},
      {Scalar(std::int64_t{(std::int64_t{1} << 53) + 1}), 0x1p53},  // tie: to even
      {Scalar(std::int64_t{(std::int64_t{1} << 53) + 3}), 0x1p53 + 4},
      {Scalar(std::uint64_t{UINT64_MAX}), 0x1p64},
      {Scalar(std::uint64_t{(1ull << 63) + (1ull << 10)}), 0x1p63},  // tie: to even
      {Scalar(std::uint64_t{(1ull << 63) + (1ull << 10) + 1}), 0x1p63 + 0x1p11},
      {Scalar(std::int64_t{-(1ll << 62) - (3ll << 9)}), -0x1p62 - 0x1p11},  // tie: to even
      {Scalar(std::int64_t{INT64_MIN}), -0x1p63},
      {Scalar::half(65504.0f), 65504.0},
      {Scalar(0.1f), 0.100000001490116119384765625},
      {Scalar(std::complex<float>(0.5f, 7.0f)), 0.5},
      {Scalar(std::complex<double>(-2.5, 1.0)), -2.5},
      {ld("1.5"), 1.5},
      {ld("-1e400"), -inf},
      {cld("0.25", "not a number"), 0.25},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(scalar_decimal(r.value));
    auto x = r.value.as_f64();
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*x), std::bit_cast<std::uint64_t>(r.expected));
  }
}

TEST(ScalarConversion, UnreadableTextFails) {
  for (const Scalar& s : {ld("abc"), ld(" 1"), ld("0x10"), cld("x", "1")}) {
    auto x = s.as_f64();
    ASSERT_FALSE(x.has_value());
    EXPECT_EQ(x.error().message(), "scalar cannot be converted to the requested dtype");
  }
  for (const Scalar& s : {cld("1.5", "x"), cld("x", "1.5"), ld("")}) {
    auto z = s.as_complex();
    ASSERT_FALSE(z.has_value());
    EXPECT_EQ(z.error().kind, ErrorKind::CannotConvert);
  }
}

TEST(ScalarConversion, AsComplex) {
  struct Row {
    Scalar value;
    double re, im;
  };
  const std::vector<Row> rows = {
      {Scalar(std::int8_t{-3}), -3.0, 0.0},
      {Scalar(-0.0), -0.0, 0.0},
      {Scalar(std::complex<float>(0.1f, -2.0f)), 0.100000001490116119384765625, -2.0},
      {Scalar(std::complex<double>(1.0, -0.0)), 1.0, -0.0},
      {cld("1.5", "-2"), 1.5, -2.0},
      {ld("2"), 2.0, 0.0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(scalar_decimal(r.value));
    auto z = r.value.as_complex();
    ASSERT_TRUE(z.has_value());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(z->real()), std::bit_cast<std::uint64_t>(r.re));
    // The imaginary zero of a real source is positive.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(z->imag()), std::bit_cast<std::uint64_t>(r.im));
  }
}

// ---------------------------------------------------------------------------
// parse_f64

TEST(ParseF64, Grammar) {
  struct Row {
    const char* text;
    double expected;
  };
  const std::vector<Row> accepted = {
      {"1.", 1.0},         {".5", 0.5},         {"1e5", 1e5},        {"+inf", inf},
      {"-INF", -inf},      {"Infinity", inf},   {"-iNfInItY", -inf}, {"0", 0.0},
      {"-0", -0.0},        {"+2.5E-3", 2.5e-3}, {"007", 7.0},        {"1E+0", 1.0},
      {"1e-400", 0.0},     {"-1e999", -inf},    {"4.9e-324", 0x1p-1074},
      {"2.4703282292062328e-324", 0x1p-1074},  // just above half the smallest subnormal
      {"1.7976931348623158e308", 1.7976931348623157e308},
      // beyond the double range on either side, however the digits are placed
      {"1.7976931348623159e308", inf},    {"0.0000001e316", inf},    {"99999e304", inf},
      {"1e99999999999999999999", inf},    {"-.1e-323", -0.0},        {"12345e-330", 0.0},
      {"1e-99999999999999999999", 0.0},   {"3e-324", 0x1p-1074},     {"0.000e99999999999999999999", 0.0},
      {"2.4703282292062327e-324", 0.0},   {"000000000001e308", 1e308},     {"-0e99999999999999999999", -0.0},
      {"0.00000e-99999999999999999999", 0.0},
  };
  for (const auto& r : accepted) {
    SCOPED_TRACE(r.text);
    auto x = parse_f64(r.text);
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*x), std::bit_cast<std::uint64_t>(r.expected));
  }
  for (const char* text : {"nan", "NaN", "-nan", "+NAN"}) {
    auto x = parse_f64(text);
    ASSERT_TRUE(x.has_value()) << text;
    EXPECT_TRUE(std::isnan(*x)) << text;
  }
  const char* refused[] = {"",      ".",    "e5",    "1e",   "1e+",  " 1",   "1 ",   "0x10", "+",   "-",
                           "--1",   "+-1",  "1.2.3", "1e5.", "1.5f", "in",   "infin", "nan1", "nan(1)", "1,5",
                           "\t1",   "1e 5", "1_0",   "١",    "e",    "-.e1", ".e1",  "inf ", "1d5", "Inf+"};
  for (const char* text : refused) {
    auto x = parse_f64(text);
    ASSERT_FALSE(x.has_value()) << '"' << text << '"';
    EXPECT_EQ(x.error().kind, ErrorKind::CannotConvert);
  }
  // Hundreds of digits before or after the point.
  const std::string huge = "1" + std::string(400, '0') + ".", tiny = "-0." + std::string(400, '0') + "1";
  EXPECT_EQ(*parse_f64(huge), inf);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*parse_f64(tiny)), std::bit_cast<std::uint64_t>(-0.0));
  // A NUL byte is outside the grammar, not a terminator.
  EXPECT_FALSE(parse_f64(std::string_view("1\0" "5", 3)).has_value());
  // Only the given view is read, even when more text follows in memory.
  EXPECT_EQ(*parse_f64(std::string_view("12345", 2)), 12.0);
}

// Exact decimal text of long double values (glibc prints them exactly) gives
// midpoints between adjacent doubles, which must round to the even one.
TEST(ParseF64, RoundsTiesToEven) {
  std::mt19937_64 random(20261206);
  int checked = 0;
  auto check = [&](double low) {
    const double high = std::nextafter(low, inf);
    if (!std::isfinite(high)) return;
    const long double mid = (static_cast<long double>(low) + high) / 2;
    char text[2600];
    std::snprintf(text, sizeof text, "%.1100Lf", mid);
    const double even = (std::bit_cast<std::uint64_t>(low) & 1) ? high : low;
    auto x = parse_f64(text);
    ASSERT_TRUE(x.has_value()) << text;
    EXPECT_EQ(*x, even) << text;
    // Just beside the tie the nearest neighbour wins: use the shortest round-trip text of low/high.
    std::snprintf(text, sizeof text, "%.17g", low);
    EXPECT_EQ(*parse_f64(text), low) << text;
    ++checked;
  };
  for (double v : {1.0, 0x1p53, 0x1p-1022, 0x1p-1074, 0.1, 1e300, 123456.789}) check(v);
  std::uniform_int_distribution<std::uint64_t> bits(0, 0x7FEFFFFFFFFFFFFFull);
  for (int i = 0; i < 300; ++i) {
    const double v = std::bit_cast<double>(bits(random));
    if (std::fabs(v) > 1e-300 && std::fabs(v) < 1e300) check(v);
  }
  EXPECT_GT(checked, 100);
}

// Oracle: the C library's correctly rounded strtod (the tests run in the C
// locale), on random digit strings whose values reach past both ends of the
// double range.
TEST(ParseF64, AgreesWithLibraryParse) {
  std::mt19937_64 random(1074);
  std::uniform_int_distribution<int> digit(0, 9), length(1, 40), exponent(-420, 420);
  for (int i = 0; i < 20000; ++i) {
    std::string text = (i & 1) ? "-" : "";
    const int digits = length(random);
    const int point = static_cast<int>(random() % (digits + 1));
    for (int d = 0; d < digits; ++d) {
      if (d == point) text += '.';
      text += static_cast<char>('0' + digit(random));
    }
    text += "e" + std::to_string(exponent(random));
    const auto x = parse_f64(text);
    ASSERT_TRUE(x.has_value()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*x), std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)))
        << text;
  }
}

// A decimal-comma process locale must not change the parse.
TEST(ParseF64, IgnoresProcessLocale) {
  const DecimalCommaLocale locale(LC_NUMERIC);
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale and no localedef";
  EXPECT_EQ(*parse_f64("1.5"), 1.5);
  EXPECT_EQ(*parse_f64("-2.25e1"), -22.5);
  EXPECT_FALSE(parse_f64("1,5").has_value());
}

}  // namespace
