// Decimal text in the storage core: exact expansions of doubles and the strict
// double parser, both against the C library; and the integer part of decimal
// text.
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
using namespace std::string_literals;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Oracle: the C library prints binary floats exactly when asked for enough
// fraction digits (1074 covers the smallest subnormal); trimmed to the shortest form.
std::string printed_exactly(double x) {
  std::vector<char> buffer(1500);
  std::snprintf(buffer.data(), buffer.size(), "%.1074f", x);
  std::string text(buffer.data());
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

TEST(ExactDecimal, AgreesWithLibraryPrinting) {
  const std::pair<double, const char*> specials[] = {
      {0.0, "0"}, {-0.0, "-0"}, {inf, "inf"}, {-inf, "-inf"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"}, {std::bit_cast<double>(0x7FF0000000000001ull), "NaN"}};
  for (const auto& [x, text] : specials) EXPECT_EQ(exact_decimal_from_f64(x), text);
  std::mt19937_64 random(42);
  std::vector<double> values = {0x1p-1074,  -0x1p-1074, 0x1p-1022, std::nextafter(0x1p-1022, 0.0), 0.1, 1e20,
                                0x1p64, -2.25, std::numeric_limits<double>::max(), 1.5e-5};
  for (int i = 0; i < 400; ++i) {
    const double x = std::bit_cast<double>(random());
    if (std::isfinite(x) && x != 0) values.push_back(x);
  }
  for (int i = 0; i < 200; ++i)
    values.push_back(std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 200) - 100));
  for (double x : values) ASSERT_EQ(exact_decimal_from_f64(x), printed_exactly(x)) << std::hexfloat << x;
}

// ---------------------------------------------------------------------------
// decimal_to_i128: the integer part, truncated toward zero, of plain decimal
// text with at most 39 integer digits; OutOfRange on everything else.

std::string text_of(__int128 v) {
  unsigned __int128 m = v < 0 ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string s;
  do s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10))); while ((m /= 10) != 0);
  return v < 0 ? "-" + s : s;
}

const std::string two127 = "170141183460469231731687303715884105728", two127_less_1 = "170141183460469231731687303715884105727";

TEST(DecimalToI128, AcceptedAndRefused) {
  const std::pair<std::string, std::string> accepted[] = {
      {"12.9", "12"},        {"-12.9", "-12"},      {"-0.5", "0"},         {".5e1", "5"},
      {"123.456e1", "1234"}, {"123.456e-2", "1"},   {"-999e-3", "0"},      {"5e-2147483648", "0"},
      {"1e0000000000002", "100"},                   {"000000000000000000000000000000000000001", "1"},
      {two127_less_1, two127_less_1},               {"-" + two127, "-" + two127},
      {"0.00000000000000000000000000000000000001e38", "1"},  // 39 digits to the point
  };
  for (const auto& [text, expected] : accepted) {
    const auto v = decimal_to_i128(text);
    EXPECT_EQ(v ? text_of(*v) : "refused", expected) << text;
  }
  const std::string refused[] = {
      "1e39", "1e2147483647", "1e2147483648", "1e-2147483649", "1e99999999999999999999", "0.1e40",
      "0000000000000000000000000000000000000001",              // 40 integer digits, leading zeros too
      "0.000000000000000000000000000000000000000000001e45",    // 46 digits to the point, value 1
      two127, "-" + two127_less_1 + "0", "-170141183460469231731687303715884105729",
      "-340282366920938463463374607431768211457", "-999999999999999999999999999999999999999",  // past 2^128
      "1.2.3", "", "-", "+", ".", "-.", "e5", "1e", "1e+", "1e-", "1e+-1", "1e1.5", "1e5e5", "--1", "+-1", "-+1",
      "nan", "inf", "-inf", " 1", "1 ", "0x1", "1,5", "1_000", "1\0"s "2"};
  for (const std::string& text : refused) {
    const auto v = decimal_to_i128(text);
    EXPECT_EQ(v ? "accepted" : v.error().message(), "scalar value is outside the requested dtype range") << text;
  }
}

// The exact text of every double below 2^126 in magnitude reads back as its truncation.
TEST(DecimalToI128, ReadsExactDecimalText) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 2000; ++i) {
    const double x = std::ldexp(static_cast<double>(random() >> 11) - 0x1p52, static_cast<int>(random() % 160) - 80);
    if (std::fabs(x) >= 0x1p126) continue;
    const auto v = decimal_to_i128(exact_decimal_from_f64(x));
    ASSERT_TRUE(v.has_value()) << exact_decimal_from_f64(x);
    EXPECT_EQ(static_cast<long double>(*v), std::trunc(static_cast<long double>(x))) << exact_decimal_from_f64(x);
  }
}

// ---------------------------------------------------------------------------
// parse_f64: [+-] (inf|infinity|nan | digits[.digits][e[+-]digits]), nothing else.

TEST(ParseF64, Grammar) {
  const std::pair<const char*, double> accepted[] = {
      {"1.", 1.0},       {".5", 0.5},        {"+inf", inf},      {"-INF", -inf},     {"Infinity", inf},
      {"-iNfInItY", -inf}, {"-0", -0.0},     {"+2.5E-3", 2.5e-3}, {"007", 7.0},      {"1E+0", 1.0},
      {"1e-400", 0.0},   {"-1e999", -inf},   {"0.0000001e316", inf},
      {"1e99999999999999999999", inf},       {"-.1e-323", -0.0},
      {"1e-99999999999999999999", 0.0},      {"0.000e99999999999999999999", 0.0},
      {"-0e99999999999999999999", -0.0},     {"000000000001e308", 1e308}, {"0.00000e-99999999999999999999", 0.0},
  };
  // A refusal reads as NaN, which no row expects.
  for (const auto& [text, expected] : accepted) EXPECT_EQ(bits(parse_f64(text).value_or(NAN)), bits(expected)) << text;
  for (const char* text : {"nan", "NaN", "-nan", "+NAN"}) EXPECT_TRUE(std::isnan(parse_f64(text).value_or(0))) << text;
  for (const std::string text : {"", ".", "e5", "1e", "1e+", " 1", "1 ", "0x10", "+", "-", "--1", "+-1", "1.2.3",
                                 "1e5.", "1.5f", "in", "infin", "nan1", "nan(1)", "1,5", "\t1", "1e 5", "1_0", "١",
                                 "-.e1", "inf ", "1d5", "Inf+"}) {
    const auto x = parse_f64(text);
    EXPECT_TRUE(!x && x.error().kind == ErrorKind::CannotConvert) << '"' << text << '"';
  }
  EXPECT_EQ(*parse_f64("1" + std::string(400, '0') + "."), inf);
  EXPECT_EQ(bits(*parse_f64("-0." + std::string(400, '0') + "1")), bits(-0.0));
  EXPECT_FALSE(parse_f64("1\0"s "5").has_value());            // a NUL byte is outside the grammar
  EXPECT_EQ(*parse_f64(std::string_view("12345", 2)), 12.0);  // only the view is read
}

// Exact decimal text of long double values (glibc prints them exactly) gives
// midpoints between adjacent doubles, which must round to the even one; the
// shortest round-trip text just beside reads back to its neighbour.
TEST(ParseF64, RoundsTiesToEven) {
  std::mt19937_64 random(20261206);
  std::vector<double> lows = {1.0, 0x1p53, 0x1p-1022, 0x1p-1074, 0.1, 1e300, 123456.789};
  for (int i = 0; i < 300; ++i) lows.push_back(std::bit_cast<double>(random() % 0x7FEFFFFFFFFFFFFFull));
  for (double low : lows) {
    const double high = std::nextafter(low, inf);
    char text[2600];
    std::snprintf(text, sizeof text, "%.1100Lf", (static_cast<long double>(low) + high) / 2);
    EXPECT_EQ(parse_f64(text), (bits(low) & 1) ? high : low) << text;
    std::snprintf(text, sizeof text, "%.17g", low);
    EXPECT_EQ(parse_f64(text), low) << text;
  }
}

// Oracle: the C library's correctly rounded strtod (the tests run in the C
// locale), on random digit strings whose values reach past both ends of the
// double range.
TEST(ParseF64, AgreesWithLibraryParse) {
  std::mt19937_64 random(1074);
  for (int i = 0; i < 20000; ++i) {
    std::string text = (i & 1) ? "-" : "";
    const int digits = 1 + static_cast<int>(random() % 40), point = static_cast<int>(random() % (digits + 1));
    for (int d = 0; d < digits; ++d) text += (d == point ? "." : "") + std::to_string(random() % 10);
    text += "e" + std::to_string(static_cast<int>(random() % 841) - 420);
    const auto x = parse_f64(text);
    ASSERT_TRUE(x.has_value()) << text;
    ASSERT_EQ(bits(*x), bits(std::strtod(text.c_str(), nullptr))) << text;
  }
}

TEST(ParseF64, IgnoresProcessLocale) {
  const DecimalCommaLocale locale(LC_NUMERIC);
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale and no localedef";
  EXPECT_EQ(*parse_f64("-2.25e1"), -22.5);
  EXPECT_FALSE(parse_f64("1,5").has_value());
}

}  // namespace
