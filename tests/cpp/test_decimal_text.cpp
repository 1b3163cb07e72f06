#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "storage/scalar.h"

using namespace quarvel_storage;

namespace {

using i128 = __int128;

// Oracle: the C library prints binary floats exactly when asked for enough
// fraction digits (1074 covers the smallest subnormal); trim to the shortest form.
std::string printed_exactly(double x) {
  std::vector<char> buffer(1500);
  std::snprintf(buffer.data(), buffer.size(), "%.1074f", x);
  std::string text(buffer.data());
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

TEST(ExactDecimal, SpecialValues) {
  struct Row {
    double value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {0.0, "0"},
      {-0.0, "-0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::bit_cast<double>(0x7FF0000000000001ull), "NaN"},  // signalling payload
      {std::bit_cast<double>(0xFFF8000000000123ull), "NaN"},
      {1.0, "1"},
      {0.5, "0.5"},
      {-2.25, "-2.25"},
      {1e20, "100000000000000000000"},
      {0x1p53, "9007199254740992"},
      {0.1, "0.1000000000000000055511151231257827021181583404541015625"},
      {static_cast<double>(0.1f), "0.100000001490116119384765625"},
      {-0x1p-1, "-0.5"},
      {0x1p64, "18446744073709551616"},
  };
  for (const auto& r : rows) EXPECT_EQ(exact_decimal_from_f64(r.value), r.text);
}

TEST(ExactDecimal, Extremes) {
  const std::string tiny = exact_decimal_from_f64(0x1p-1074);
  EXPECT_EQ(tiny.size(), 2u + 1074u);
  EXPECT_EQ(tiny.substr(0, 2 + 323), "0." + std::string(323, '0'));
  EXPECT_EQ(tiny.substr(2 + 323, 10), "4940656458");
  EXPECT_EQ(tiny.back(), '5');  // 5^1074 ends in 5
  EXPECT_EQ(exact_decimal_from_f64(-0x1p-1074), "-" + tiny);

  const std::string small = exact_decimal_from_f64(1.5e-5);
  EXPECT_EQ(small.rfind("0.0000150000000000000003", 0), 0u);
  EXPECT_EQ(small.size() - 2, 69u);

  const std::string max = exact_decimal_from_f64(std::numeric_limits<double>::max());
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
  EXPECT_EQ(max, printed_exactly(std::numeric_limits<double>::max()));
}

TEST(ExactDecimal, AgreesWithLibraryPrinting) {
  std::mt19937_64 random(42);
  std::vector<double> values = {0x1p-1022, std::nextafter(0x1p-1022, 0.0), 0x1p-1074 * 3, 123.456, -7e-300};
  for (int i = 0; i < 400; ++i) {
    const double x = std::bit_cast<double>(random());
    if (std::isfinite(x) && x != 0) values.push_back(x);
  }
  for (int i = 0; i < 200; ++i) values.push_back(std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(random() % 200) - 100));
  for (double x : values) ASSERT_EQ(exact_decimal_from_f64(x), printed_exactly(x)) << std::hexfloat << x;
}

TEST(ScalarDecimal, EveryVariant) {
  struct Row {
    Scalar value;
    const char* text;
  };
  const std::vector<Row> rows = {
      {Scalar(true), "1"},
      {Scalar(false), "0"},
      {Scalar(std::int8_t{-128}), "-128"},
      {Scalar(std::uint8_t{255}), "255"},
      {Scalar(std::int16_t{-32768}), "-32768"},
      {Scalar(std::uint16_t{65535}), "65535"},
      {Scalar(std::int32_t{INT32_MIN}), "-2147483648"},
      {Scalar(std::uint32_t{UINT32_MAX}), "4294967295"},
      {Scalar(std::int64_t{INT64_MIN}), "-9223372036854775808"},
      {Scalar(std::int64_t{0}), "0"},
      {Scalar(std::uint64_t{UINT64_MAX}), "18446744073709551615"},
      {Scalar::half(-0.099975586f), "-0.0999755859375"},
      {Scalar(0.1f), "0.100000001490116119384765625"},
      {Scalar(-0.0), "-0"},
      {Scalar(std::complex<float>(0.5f, 7.0f)), "0.5"},
      {Scalar(std::complex<double>(-3.0, 1e300)), "-3"},
      {Scalar::long_double(" anything "), " anything "},
      {Scalar::complex_long_double("1.5e+30", "x"), "1.5e+30"},
  };
  for (const auto& r : rows) EXPECT_EQ(scalar_decimal(r.value), r.text);
}

// ---------------------------------------------------------------------------
// decimal_to_i128

std::string text_of(i128 v) {
  const bool negative = v < 0;
  unsigned __int128 m = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
  std::string s;
  do {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  } while (m != 0);
  return negative ? "-" + s : s;
}

const std::string two127_minus_1 = "170141183460469231731687303715884105727";
const std::string two127 = "170141183460469231731687303715884105728";

TEST(DecimalToI128, Accepted) {
  struct Row {
    std::string text;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"12.9", "12"},
      {"-12.9", "-12"},
      {"-0.5", "0"},
      {".5e1", "5"},
      {"1.e2", "100"},
      {"+7", "7"},
      {"1e-1", "0"},
      {"1E38", "1" + std::string(38, '0')},
      {"0", "0"},
      {"-0", "0"},
      {"000000000000000000000000000000000000001", "1"},  // 39 integer digits
      {two127_minus_1, two127_minus_1},
      {"-" + two127, "-" + two127},
      {"1.5e+30", "15" + std::string(29, '0')},
      {"123.456e1", "1234"},
      {"123.456e-2", "1"},
      {"-999e-3", "0"},
      {"5e-2147483648", "0"},
      {"1e0000000000002", "100"},
      {"12345678901234567890123456789012345678.9e0", "12345678901234567890123456789012345678"},
      {"0.00000000000000000000000000000000000001e38", "1"},  // p = 39
      {"-9223372036854775809", "-9223372036854775809"},
      {"18446744073709551616", "18446744073709551616"},
  };
  for (const auto& r : rows) {
    auto v = decimal_to_i128(r.text);
    ASSERT_TRUE(v.has_value()) << r.text;
    EXPECT_EQ(text_of(*v), r.expected) << r.text;
  }
}

TEST(DecimalToI128, Refused) {
  const std::vector<std::string> rows = {
      "1e39",
      "1e2147483647",  // the digit position must not wrap around
      "1e2147483648",  // exponent beyond 32 bits
      "1e-2147483649",
      "1e99999999999999999999",
      "0000000000000000000000000000000000000001",  // 40 integer digits, even with leading zeros
      "0.1e40",
      "0.000000000000000000000000000000000000000000001e45",  // p = 46 although the value is 1
      two127,
      "-" + two127_minus_1 + "0",
      "-170141183460469231731687303715884105729",
      "340282366920938463463374607431768211456",  // 2^128: beyond the unsigned range
      "999999999999999999999999999999999999999",
      "1.2.3",
      "",
      "-",
      "+",
      ".",
      "-.",
      "e5",
      "1e",
      "1e+",
      "1e-",
      "1e+-1",
      "1e1.5",
      "1e5e5",
      "--1",
      "+-1",
      "-+1",
      "nan",
      "inf",
      "-inf",
      " 1",
      "1 ",
      "0x1",
      "1,5",
      "1_000",
      std::string("1\0" "2", 3),
  };
  for (const auto& text : rows) {
    auto v = decimal_to_i128(text);
    ASSERT_FALSE(v.has_value()) << '"' << text << '"';
    EXPECT_EQ(v.error().message(), "scalar value is outside the requested dtype range");
  }
}

// The exact text of every double below 2^127 in magnitude reads back as its truncation.
TEST(DecimalToI128, ReadsExactDecimalText) {
  std::mt19937_64 random(3);
  for (int i = 0; i < 2000; ++i) {
    const double x = std::ldexp(static_cast<double>(random() >> 11) - 0x1p52, static_cast<int>(random() % 160) - 80);
    if (std::fabs(x) >= 0x1p126) continue;
    auto v = decimal_to_i128(exact_decimal_from_f64(x));
    ASSERT_TRUE(v.has_value()) << exact_decimal_from_f64(x);
    EXPECT_EQ(static_cast<long double>(*v), std::trunc(static_cast<long double>(x))) << exact_decimal_from_f64(x);
  }
}

}  // namespace
