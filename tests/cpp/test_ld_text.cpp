#include <gtest/gtest.h>

#include <locale.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"
#include "longdouble/ld_text.h"

namespace ld = quarvel_longdouble;

namespace {

using Bytes = ld::Bytes16;

Bytes bytes_of(std::initializer_list<int> values) {
  Bytes b{};
  std::size_t i = 0;
  for (int v : values) b[i++] = static_cast<std::uint8_t>(v);
  return b;
}

// The text of an extended value built from its fields: the C library prints it.
Bytes extended(bool negative, std::uint16_t biased_exponent, std::uint64_t significand) {
  Bytes b{};
  for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(significand >> (8 * i));
  const std::uint16_t word = static_cast<std::uint16_t>((negative ? 0x8000 : 0) | biased_exponent);
  b[8] = static_cast<std::uint8_t>(word & 0xFF);
  b[9] = static_cast<std::uint8_t>(word >> 8);
  return b;
}

TEST(LongDoubleEncode, StoredBytes) {
  struct Row {
    const char* text;
    Bytes bytes;
  };
  const std::vector<Row> rows = {
      {"1", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})},
      {"-0", bytes_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80})},
      {"0", Bytes{}},
      {"1.5", bytes_of({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F})},
      {"-2", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0})},
      {"inf", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F})},
      {"-Infinity", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF})},
      {"0x1p-3", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFC, 0x3F})},
      {"  1", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F})},
      {"1e5000", bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F})},
      {"1e-5000", Bytes{}},
      {"0x1p-16445", bytes_of({1, 0, 0, 0, 0, 0, 0, 0, 0, 0})},  // smallest subnormal
      {"0x1.fffffffffffffffep16383", bytes_of({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0x7F})},
  };
  for (const auto& r : rows) {
    auto b = ld::encode(r.text);
    ASSERT_TRUE(b.has_value()) << r.text;
    EXPECT_EQ(*b, r.bytes) << r.text;
  }
}

TEST(LongDoubleEncode, Refusals) {
  const std::vector<std::string> texts = {"1.5 ", "", " ", "1.5x", "abc", "1,5", "--1", "1e", "0x", "nan(", "\n"};
  for (const auto& t : texts) {
    EXPECT_FALSE(ld::encode(t).has_value()) << '"' << t << '"';
    EXPECT_FALSE(ld::classify(t, 0).has_value()) << '"' << t << '"';
    EXPECT_FALSE(ld::compare(t, "1").has_value()) << '"' << t << '"';
    EXPECT_FALSE(ld::compare("1", t).has_value()) << '"' << t << '"';
    EXPECT_FALSE(ld::compare_complex("1", "1", "1", t).has_value()) << '"' << t << '"';
    EXPECT_EQ(quarvel_ld_classify(t.c_str(), 0), -1);
    EXPECT_EQ(quarvel_ld_compare(t.c_str(), "1"), 2);
  }
}

TEST(LongDoubleEncode, CallerBufferRules) {
  unsigned char out[32];
  for (std::size_t len : {0u, 10u, 15u, 17u, 32u}) {
    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(quarvel_ld_encode("1", out, len), 0) << len;
    for (unsigned char c : out) ASSERT_EQ(c, 0xAB) << "written with out_len " << len;
  }
  std::memset(out, 0xAB, sizeof out);
  EXPECT_EQ(quarvel_ld_encode("bad", out, 16), 0);
  EXPECT_EQ(out[0], 0xAB);
  EXPECT_EQ(quarvel_ld_encode(nullptr, out, 16), 0);
  EXPECT_EQ(quarvel_ld_encode("1", nullptr, 16), 0);
  // Bytes 10-15 are cleared even when they held something.
  EXPECT_EQ(quarvel_ld_encode("1", out, 16), 1);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[16], 0xAB);  // nothing past the 16 bytes
}

TEST(LongDoubleDecode, TextAndBufferRules) {
  struct Row {
    Bytes bytes;
    const char* text;
  };
  const std::vector<Row> rows = {
      {bytes_of({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}), "1"},
      {bytes_of({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F}), "1.5"},
      {bytes_of({0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}), "-0"},
      // trailing bytes are ignored
      {bytes_of({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F, 1, 2, 3, 4, 5, 6}), "1.5"},
      {extended(false, 0x7FFF, 0x8000000000000000ull), "inf"},
      {extended(true, 0x7FFF, 0x8000000000000000ull), "-inf"},
  };
  for (const auto& r : rows) {
    auto text = ld::decode(r.bytes);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, r.text);
  }
  auto nan_text = ld::decode(extended(false, 0x7FFF, 0xC000000000000000ull));
  ASSERT_TRUE(nan_text.has_value());
  EXPECT_EQ(ld::classify(*nan_text, ld::IsNan), true);

  const Bytes one_and_half = *ld::encode("1.5");
  char out[8];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), 16, out, 2), 0);
  EXPECT_STREQ(out, "1");  // the truncated text snprintf leaves
  EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), 16, out, 3), 0);  // "1.5" needs 4 bytes
  EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), 16, out, 4), 1);
  EXPECT_STREQ(out, "1.5");
  for (std::size_t in_len : {0u, 10u, 15u, 17u, 32u})
    EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), in_len, out, sizeof out), 0) << in_len;
  EXPECT_EQ(quarvel_ld_decode(nullptr, 16, out, sizeof out), 0);
  EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), 16, nullptr, 8), 0);
  EXPECT_EQ(quarvel_ld_decode(one_and_half.data(), 16, out, 0), 0);
}

// Invalid encodings (unnormals, pseudo-denormals, pseudo-infinities) can sit in
// a buffer; decoding them must print something that reads back, not crash.
TEST(LongDoubleDecode, OddEncodingsStaySafe) {
  const std::vector<Bytes> odd = {
      extended(false, 0x3FFF, 0x4000000000000000ull),  // unnormal: integer bit clear
      extended(false, 0x0000, 0x8000000000000000ull),  // pseudo-denormal
      extended(true, 0x7FFF, 0x0000000000000000ull),   // pseudo-infinity
      extended(false, 0x7FFF, 0x4000000000000001ull),  // pseudo-NaN
      extended(true, 0x7FFE, 0x0000000000000001ull),
  };
  for (const auto& b : odd) {
    auto text = ld::decode(b);
    ASSERT_TRUE(text.has_value());
    EXPECT_LE(text->size(), 29u);
    EXPECT_TRUE(ld::encode(*text).has_value()) << *text;
  }
}

TEST(LongDoubleText, PrintedForms) {
  struct Row {
    const char* in;
    const char* out;
  };
  const std::vector<Row> rows = {
      {"0.1", "0.100000000000000000001"},
      {"1.5", "1.5"},
      {"1e21", "1e+21"},
      {"1e20", "100000000000000000000"},
      {"1e-5", "9.99999999999999999995e-06"},
      {"0.0001", "0.000100000000000000000001"},
      {"0x1p-12", "0.000244140625"},  // exponent -4: still fixed notation
      {"  -2.5e0", "-2.5"},
      {"0x1p-3", "0.125"},
      {"1e-4940", "9.99999999996053252001e-4941"},  // 35-bit subnormal (mpmath),
      {"1.18973149535723176502e+4932", "1.18973149535723176502e+4932"},
  };
  for (const auto& r : rows) {
    auto b = ld::encode(r.in);
    ASSERT_TRUE(b.has_value()) << r.in;
    EXPECT_EQ(ld::decode(*b).value_or("<absent>"), std::string(r.out)) << r.in;
  }
}

// 21 significant digits read back to the same 80-bit value.
TEST(LongDoubleText, RandomRoundTrips) {
  std::mt19937_64 random(80);
  for (int i = 0; i < 20000; ++i) {
    const bool negative = random() & 1;
    const std::uint16_t exponent = static_cast<std::uint16_t>(random() % 0x7FFF);  // finite
    std::uint64_t significand = random();
    if (exponent == 0) {
      significand &= ~(1ull << 63);  // subnormal: integer bit clear
    } else {
      significand |= 1ull << 63;
    }
    const Bytes b = extended(negative, exponent, significand);
    auto text = ld::decode(b);
    ASSERT_TRUE(text.has_value());
    auto again = ld::encode(*text);
    ASSERT_TRUE(again.has_value()) << *text;
    if (exponent == 0 && significand == 0) continue;
    ASSERT_EQ(*again, b) << *text;
  }
}

TEST(LongDoubleClassify, Codes) {
  struct Row {
    const char* text;
    bool expected[6];  // nan, infinite, sign, zero, finite, subnormal
  };
  const std::vector<Row> rows = {
      {"-0", {false, false, true, true, true, false}},
      {"0", {false, false, false, true, true, false}},
      {"-1.5", {false, false, true, false, true, false}},
      {"nan", {true, false, false, false, false, false}},
      {"-NaN", {true, false, true, false, false, false}},
      {"-inf", {false, true, true, false, false, false}},
      {"1e5000", {false, true, false, false, false, false}},
      {"1e-4940", {false, false, false, false, true, true}},
      {"1e-320", {false, false, false, false, true, false}},
      {"3.3621031431120935063e-4932", {false, false, false, false, true, false}},  // smallest normal
      {"3.36210314311209350590e-4932", {false, false, false, false, true, true}},  // one step below,
  };
  for (const auto& r : rows)
    for (int code = 0; code < 6; ++code) {
      auto answer = ld::classify(r.text, code);
      ASSERT_TRUE(answer.has_value()) << r.text << " code " << code;
      EXPECT_EQ(*answer, r.expected[code]) << r.text << " code " << code;
    }
  for (int code : {6, -1, 100, INT32_MIN}) {
    EXPECT_EQ(quarvel_ld_classify("-0", code), -1) << code;
    EXPECT_FALSE(ld::classify("-0", code).has_value()) << code;
  }
  EXPECT_EQ(quarvel_ld_classify(nullptr, 0), -1);
}

TEST(LongDoubleCompare, RealAndComplex) {
  EXPECT_EQ(ld::compare("0", "-0"), 0);
  EXPECT_EQ(ld::compare("1", "nan"), std::nullopt);
  EXPECT_EQ(ld::compare("nan", "nan"), std::nullopt);
  EXPECT_EQ(ld::compare("-inf", "-1e4000"), -1);
  EXPECT_EQ(ld::compare("1.0000000000000000001", "1"), 1);  // apart only in extended precision
  EXPECT_EQ(ld::compare(" 2", "0x1p1"), 0);
  EXPECT_EQ(quarvel_ld_compare(nullptr, "1"), 2);
  EXPECT_EQ(quarvel_ld_compare("1", nullptr), 2);

  EXPECT_EQ(ld::compare_complex("1", "5", "1", "2"), 1);
  EXPECT_EQ(ld::compare_complex("1", "2", "2", "-100"), -1);
  EXPECT_EQ(ld::compare_complex("0", "0", "-0", "-0"), 0);
  EXPECT_EQ(ld::compare_complex("1", "2", "1", "3"), -1);
  for (int part = 0; part < 4; ++part) {
    std::string texts[4] = {"1", "2", "3", "4"};
    texts[part] = "nan";
    EXPECT_EQ(ld::compare_complex(texts[0], texts[1], texts[2], texts[3]), std::nullopt) << part;
    EXPECT_EQ(quarvel_ld_compare_complex(part == 0 ? nullptr : "1", part == 1 ? nullptr : "1",
                                         part == 2 ? nullptr : "1", part == 3 ? nullptr : "1"),
              2)
        << part;
  }
  // NaN anywhere wins over an already decided real part.
  EXPECT_EQ(ld::compare_complex("1", "nan", "2", "0"), std::nullopt);
}

TEST(LongDoubleWrappers, NulByteRefused) {
  const std::string with_nul("1\0" "5", 3);
  EXPECT_FALSE(ld::encode(with_nul).has_value());
  EXPECT_FALSE(ld::classify(with_nul, 4).has_value());
  EXPECT_FALSE(ld::compare(with_nul, "1").has_value());
  EXPECT_FALSE(ld::compare("1", with_nul).has_value());
  EXPECT_FALSE(ld::compare_complex("1", "1", with_nul, "1").has_value());
  EXPECT_FALSE(ld::encode(std::string("\0", 1)).has_value());
  // Only the view is read: a prefix of a longer text stands alone.
  const char text[] = "12345";
  EXPECT_EQ(ld::encode(std::string_view(text, 2)), ld::encode("12"));
}

// A decimal-comma process locale must not change parsing or printing.
TEST(LongDoubleWrappers, IgnoreProcessLocale) {
  const DecimalCommaLocale locale(LC_ALL);
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale and no localedef";
  auto b = ld::encode("1.5");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ(ld::decode(*b), "1.5");
  EXPECT_FALSE(ld::encode("1,5").has_value());
  EXPECT_EQ(ld::classify("0.5", ld::IsZero), false);
  EXPECT_EQ(ld::compare("1.25", "1.5"), -1);

  // A thread's own decimal-comma locale is ignored as well, and still in force afterwards.
  const locale_t comma = duplocale(LC_GLOBAL_LOCALE);
  ASSERT_NE(comma, static_cast<locale_t>(0));
  const locale_t before = uselocale(comma);
  EXPECT_EQ(ld::decode(*b), "1.5");
  EXPECT_EQ(ld::compare("0.5", "0,5"), std::nullopt);
  EXPECT_EQ(uselocale(static_cast<locale_t>(0)), comma);
  uselocale(before);
  freelocale(comma);
}

}  // namespace
