// The long double routines (text in, text out). Every real and complex long
// double ufunc loop is swept end to end against exact and mpmath oracles by
// tests/python/test_ufunc_values.py; here what that sweep cannot see: results
// against 64-bit mpmath values (longdouble_reference.txt), signed zeros and
// exact values of this project's own complex formulas, the stored bytes, and
// the C routines' text and buffer contract.
#include <fenv.h>
#include <gtest/gtest.h>
#include <locale.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"
#include "ld_test_support.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_text.h"

using namespace std::string_literals;
using ld_test::expect_text;
using ld_test::value_of;
namespace ld = quarvel_longdouble;

namespace {

// ---- results against mpmath ---------------------------------------------------------

// Each part within library_ulps of the correctly rounded value. cpowl computes
// exp(y·log x), whose angle carries the rounding of y·log x times its size, so
// complex power is held to 64 units of the result's modulus instead (33 seen).
TEST(LongDoubleReference, WithinLibraryUlpsOfMpmath) {
  const std::pair<const char*, std::size_t> kinds[] = {
      {"unary_real", 1}, {"binary_real", 2}, {"unary_complex", 2}, {"binary_complex", 4}};
  for (const auto& [kind, inputs] : kinds) {
    const auto cases = ld_test::reference_cases(kind, inputs);
    ASSERT_GE(cases.size(), 12u) << kind;
    for (const auto& c : cases) {
      const auto& in = c.inputs;
      std::optional<ld::TextPair> r;
      if (kind == "unary_real"s)
        if (const auto text = ld::unary_real(c.op, in[0])) r = ld::TextPair{*text, "0"};
      if (kind == "binary_real"s) r = ld::binary_real(c.op, in[0], in[1]);
      if (kind == "unary_complex"s) r = ld::unary_complex(c.op, in[0], in[1]);
      if (kind == "binary_complex"s) r = ld::binary_complex(c.op, in[0], in[1], in[2], in[3]);
      ASSERT_TRUE(r.has_value()) << c.describe();
      const long double got[2] = {value_of(r->first), value_of(r->second)};
      for (std::size_t part = 0; part < c.expected.size(); ++part) {
        const long double want = value_of(c.expected[part]);
        if (c.op == "power" && c.expected.size() == 2) {
          const long double size = ::hypotl(value_of(c.expected[0]), value_of(c.expected[1]));
          EXPECT_LE(::fabsl(got[part] - want) / (::nextafterl(size, INFINITY) - size), 64) << c.describe();
        } else {
          EXPECT_LE(ld_test::ulps_apart(got[part], want), ld_test::library_ulps)
              << c.describe() << " part " << part << " = " << (part ? r->second : r->first);
        }
      }
    }
  }
}

// ---- the own complex formulas: values the Python sweep does not reach ------------

// The sweep (tests/python/test_ufunc_values.py) holds every complex long double
// loop on parts 0, -0, +-1, 0.5, -2.5, 3, ... and infinite and NaN pairs; here
// the extended range, subnormals, NaN operands beside a zero and both infinite
// parts. "~" marks a value the library rounds (within library_ulps of the
// mpmath value given).
#define HALF_PI "~1.57079632679489661926"
#define ATANH_HALF "~0.54930614433405484568"

struct ComplexCase {
  const char* op;
  std::vector<const char*> in;  // re, im (and re2, im2)
  const char* re;
  const char* im;
};

const ComplexCase complex_cases[] = {
    {"atan", {"0", "2"}, HALF_PI, ATANH_HALF},            {"atan", {"1e3000", "1"}, HALF_PI, "0"},
    {"atanh", {"2", "-0"}, ATANH_HALF, "-" HALF_PI},      {"expm1", {"20000", "0"}, "inf", "0"},
    {"expm1", {"-20000", "-0"}, "-~1", "-0"},             {"sign", {"0x1p-16445", "-0"}, "1", "-0"},
    {"expm1", {"-inf", "nan"}, "-1", "~0"},  // a zero of either sign
    {"multiply", {"inf", "inf", "1", "0"}, "inf", "inf"}, {"divide", {"1", "0", "inf", "inf"}, "0", "-0"},
    {"power", {"nan", "0", "0", "-0"}, "1", "0"},
    // Lexicographic; maximum and minimum keep a NaN operand, fmax and fmin the other.
    {"maximum", {"1", "1", "0", "nan"}, "0", "nan"},      {"minimum", {"nan", "0", "1", "1"}, "nan", "0"},
    {"fmax", {"1", "nan", "nan", "1"}, "1", "nan"},       {"fmin", {"1", "1", "0", "nan"}, "1", "1"},
};

TEST(LongDoubleComplex, OwnFormulasAtSpecialValues) {
  for (const auto& c : complex_cases) {
    std::string context = c.op + "("s;
    for (const char* part : c.in) context += part + " "s;
    const auto r = c.in.size() == 2 ? ld::unary_complex(c.op, c.in[0], c.in[1])
                                    : ld::binary_complex(c.op, c.in[0], c.in[1], c.in[2], c.in[3]);
    ASSERT_TRUE(r.has_value()) << context;
    expect_text(c.re, r->first, context + ") real");
    expect_text(c.im, r->second, context + ") imag");
  }
}

// ---- real routines ------------------------------------------------------------------

// Whether a - b overflows, and e^-|a - b| (2^-|a - b|) underflows (answers
// held through the classification tables): their flags never reach the
// caller, whose own flags survive, and an enabled trap never fires.
TEST(LongDoubleReal, LogaddexpIntermediateChecks) {
  const std::string big = "1.18973149535723176502e+4932", minus_big = "-" + big;
  feclearexcept(FE_ALL_EXCEPT);
  feraiseexcept(FE_DIVBYZERO);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_overflow(big.c_str(), minus_big.c_str()), 1);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_underflow("0", "20000", 0), 1);
  EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT & ~FE_INEXACT), FE_DIVBYZERO);  // parsing is inexact
  feenableexcept(FE_OVERFLOW | FE_UNDERFLOW);
  const int trapped[] = {quarvel_ld_logaddexp_intermediate_overflow(big.c_str(), minus_big.c_str()),
                         quarvel_ld_logaddexp_intermediate_underflow(big.c_str(), minus_big.c_str(), 0),
                         quarvel_ld_logaddexp_intermediate_underflow("0", "20000", 1)};
  fedisableexcept(FE_ALL_EXCEPT);
  feclearexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(std::vector<int>(trapped, trapped + 3), (std::vector<int>{1, 0, 1}));
}

// ---- stored bytes: 10-byte x87 value, 6 zero bytes ---------------------------------

ld::Bytes16 extended(bool negative, std::uint16_t biased_exponent, std::uint64_t significand) {
  ld::Bytes16 b{};
  std::memcpy(b.data(), &significand, 8);
  const std::uint16_t word = static_cast<std::uint16_t>((negative ? 0x8000 : 0) | biased_exponent);
  std::memcpy(b.data() + 8, &word, 2);
  return b;
}

TEST(LongDoubleText, EncodeGivesTheStoredBytes) {
  const std::pair<const char*, ld::Bytes16> rows[] = {
      {"-0", extended(true, 0, 0)}, {"  1", extended(false, 0x3FFF, 1ull << 63)},
      {"-Infinity", extended(true, 0x7FFF, 1ull << 63)}, {"0x1p-16445", extended(false, 0, 1)},
  };
  for (const auto& [text, bytes] : rows) EXPECT_EQ(ld::encode(text), bytes) << text;
  auto trailing = *ld::encode("1.5");
  std::fill(trailing.begin() + 10, trailing.end(), 0x5A);  // bytes 10-15 are not read
  EXPECT_EQ(ld::decode(trailing), "1.5");
  EXPECT_EQ(ld::classify(*ld::decode(extended(false, 0x7FFF, 3ull << 62)), ld::IsNan), true);
}

// Random finite values print in 21 significant digits that read back to the same bits.
TEST(LongDoubleText, RandomValuesRoundTrip) {
  std::mt19937_64 random(80);
  for (int i = 0; i < 20000; ++i) {
    const auto exponent = static_cast<std::uint16_t>(random() % 0x7FFF);
    const std::uint64_t significand = exponent == 0 ? random() >> 1 : random() | 1ull << 63;
    const ld::Bytes16 b = extended(random() & 1, exponent, significand);
    const std::string text = ld::decode(b).value_or("no text");
    if (exponent == 0 && significand == 0) continue;
    ASSERT_EQ(ld::encode(text), b) << text;
  }
}

// Encodings the processor never makes (unnormals, pseudo-denormals,
// pseudo-infinities and pseudo-NaNs) can sit in a buffer: they print as text
// that reads back, within the 29 characters of the longest text.
TEST(LongDoubleText, OddEncodingsStaySafe) {
  for (const auto& b : {extended(false, 0x3FFF, 1ull << 62), extended(false, 0, 1ull << 63), extended(true, 0x7FFF, 0),
                        extended(false, 0x7FFF, (1ull << 62) + 1), extended(true, 0x7FFE, 1)}) {
    const std::string text = ld::decode(b).value_or("no text");
    EXPECT_LE(text.size(), 29u);
    EXPECT_TRUE(ld::encode(text).has_value()) << text;
  }
  EXPECT_EQ(ld::unary_real("negative", "1.23456789012345678901e-4000")->size(), 29u);
}

// ---- the text and buffer contract ---------------------------------------------------

// Text strtold does not consume whole is refused (leading blanks are
// allowed), and every wrapper refuses text holding a NUL byte, also in the
// operation's name, without calling its routine.
TEST(LongDoubleContract, WrappersRefuseBadText) {
  for (const std::string bad : {"", " ", "1.5 ", "1.5x", "abc", "1,5", "--1", "0x", "1e", "nan(", "\n", "1i", "(1,2)"}) {
    EXPECT_FALSE(ld::encode(bad).has_value()) << bad;
    EXPECT_FALSE(ld::unary_real("absolute", bad).has_value()) << bad;
    EXPECT_FALSE(ld::binary_complex("add", "1", "2", "3", bad).has_value()) << bad;
  }
  EXPECT_EQ(ld::unary_real("absolute", " -0x1p-3"), "0.125");
  EXPECT_EQ(ld::unary_complex("negative", " 1.5", "\t-0x1p1"), (ld::TextPair{"-1.5", "2"}));
  const std::string nul = "1\0"s "5";
  EXPECT_EQ(ld::encode(std::string_view("12345", 2)), ld::encode("12"));  // only the view is read
  const bool any = ld::encode(nul) || ld::classify(nul, ld::IsZero) || ld::compare(nul, "1") || ld::compare("1", nul) ||
                   ld::compare_complex("1", "1", "1", nul) || ld::unary_real("abs\0"s, "1") ||
                   ld::binary_real("add", "1", nul) || ld::binary_real("add\0x"s, "1", "2") || ld::frexp(nul) ||
                   ld::modf(nul) || ld::logaddexp_intermediate_overflow(nul, "1") ||
                   ld::logaddexp_intermediate_underflow("1", nul, true) || ld::unary_complex("exp", "0", nul) ||
                   ld::unary_complex("exp\0"s, "0", "0") || ld::binary_complex("add\0"s, "1", "2", "3", "4");
  EXPECT_FALSE(any);
}

// A C routine: its texts (null where a row says so) and up to two outputs of
// exactly the given capacities (-1: a null pointer).
using Routine = std::function<int(char*, std::size_t, char*, std::size_t)>;

// `routine` with its leading arguments bound, writing one or two outputs.
template <class F, class... Texts> Routine one_output(F routine, Texts... texts) {
  return [=](char* a, std::size_t n, char*, std::size_t) { return routine(texts..., a, n); };
}
template <class F, class... Texts> Routine two_outputs(F routine, Texts... texts) {
  return [=](char* a, std::size_t n, char* b, std::size_t m) { return routine(texts..., a, n, b, m); };
}
// The exponent is printed into the second output afterwards.
Routine frexp(const char* x) {
  return [=](char* a, std::size_t n, char* b, std::size_t m) {
    int exponent = -99;
    const int status = quarvel_ld_frexp(x, a, n, &exponent);
    if (b != nullptr) std::snprintf(b, m, "%d", exponent);
    return status;
  };
}
Routine decode(std::size_t in_len) {
  return [=](char* a, std::size_t n, char*, std::size_t) {
    const ld::Bytes16 one_and_half = *ld::encode("1.5");
    unsigned char in[32] = {};
    std::memcpy(in, one_and_half.data(), 16);
    return quarvel_ld_decode(in, in_len, a, n);
  };
}

struct ContractCase {
  const char* name;
  Routine call;
  int capacity1, capacity2;
  int status;
  const char* text1;  // what the outputs hold afterwards; null: untouched
  const char* text2;
};

// Results are printed "%.21Lg"; an output succeeds only when its text fits
// with its NUL (a short one keeps the truncated text); outputs are written in
// order and the first failure stops the call.
TEST(LongDoubleContract, OutputBuffers) {
  const ContractCase cases[] = {
      {"fits with its NUL", one_output(quarvel_ld_unary_real, "absolute", "-1.5"), 4, -1, 1, "1.5", nullptr},
      {"one short: truncated", one_output(quarvel_ld_unary_real, "absolute", "-1.5"), 3, -1, 0, "1.", nullptr},
      {"capacity 0", one_output(quarvel_ld_unary_real, "absolute", "-1.5"), 0, -1, 0, nullptr, nullptr},
      {"null output", one_output(quarvel_ld_unary_real, "absolute", "-1.5"), -1, -1, 0, nullptr, nullptr},
      {"null text", one_output(quarvel_ld_unary_real, "absolute", nullptr), 8, -1, 0, nullptr, nullptr},
      // Success with two outputs is held end to end by the divmod, modf and
      // frexp long double loops of tests/python/test_ufunc_values.py.
      {"second output short", two_outputs(quarvel_ld_binary_real, "divmod", "7", "2"), 8, 1, 0, "3", ""},
      {"integral part short", two_outputs(quarvel_ld_modf, "-12.5"), 5, 3, 0, "-0.5", "-1"},
      {"exponent before the buffer", frexp("8"), 0, 8, 0, nullptr, "4"},
      {"null mantissa", frexp("8"), -1, 8, 0, nullptr, "-99"},
      {"imaginary part short", two_outputs(quarvel_ld_unary_complex, "conjugate", "-1.5", "2.5"), 5, 3, 0, "-1.5", "-2"},
      {"binary: imaginary part short", two_outputs(quarvel_ld_binary_complex, "add", "1", "2", "3", "0.25"), 8, 3, 0, "4", "2."},
      {"decode fits", decode(16), 4, -1, 1, "1.5", nullptr},
      {"decode 15 bytes", decode(15), 8, -1, 0, nullptr, nullptr},
  };
  for (const ContractCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Exactly sized heap buffers, so the sanitizer build catches a write past them.
    auto first = std::make_unique<char[]>(std::max(c.capacity1, 1)), second = std::make_unique<char[]>(std::max(c.capacity2, 1));
    first[0] = second[0] = '#';
    EXPECT_EQ(c.call(c.capacity1 < 0 ? nullptr : first.get(), std::max(c.capacity1, 0),
                     c.capacity2 < 0 ? nullptr : second.get(), std::max(c.capacity2, 0)),
              c.status);
    auto left = [](const char* out, int capacity) { return std::string(out, ::strnlen(out, std::max(capacity, 1))); };
    for (const auto& [out, capacity, text] : {std::tuple{first.get(), c.capacity1, c.text1}, {second.get(), c.capacity2, c.text2}})
      EXPECT_EQ(capacity < 0 ? "#" : left(out, capacity), text ? text : "#");
  }
}

TEST(LongDoubleContract, EncodeWritesExactlySixteenBytes) {
  unsigned char out[32];
  for (std::size_t len : {0u, 10u, 15u, 17u, 32u}) {
    std::memset(out, 0xAB, sizeof out);
    EXPECT_EQ(quarvel_ld_encode("1", out, len), 0) << len;
    EXPECT_EQ(quarvel_ld_encode("bad", out, 16), 0);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 32), std::vector<unsigned char>(32, 0xAB)) << len;
  }
  EXPECT_EQ(quarvel_ld_encode("1", nullptr, 16), 0);
  EXPECT_EQ(quarvel_ld_encode("1", out, 16), 1);  // bytes 10-15 cleared, nothing past 16
  EXPECT_EQ(std::vector<unsigned char>(out + 8, out + 18),
            (std::vector<unsigned char>{0xFF, 0x3F, 0, 0, 0, 0, 0, 0, 0xAB, 0xAB}));
  EXPECT_EQ(quarvel_ld_classify("-0", 6), -1);
}

// Every routine reads and writes a full stop (through one parser and one
// printer) whatever the process locale, and whatever the calling thread's own
// locale, which stays in force afterwards.
TEST(LongDoubleContract, IgnoresTheLocale) {
  const DecimalCommaLocale locale(LC_ALL);
  if (!locale.active()) GTEST_SKIP() << "no decimal-comma locale and no localedef";
  const locale_t comma = duplocale(LC_GLOBAL_LOCALE);
  ASSERT_NE(comma, static_cast<locale_t>(0));
  for (const locale_t thread : {static_cast<locale_t>(0), comma}) {
    const locale_t before = thread ? uselocale(thread) : static_cast<locale_t>(0);
    EXPECT_EQ(ld::decode(*ld::encode("1.5")), "1.5");
    EXPECT_FALSE(ld::encode("1,5").has_value());
    EXPECT_EQ(ld::unary_real("sqrt", "2.25"), "1.5");
    EXPECT_TRUE(!thread || uselocale(before) == comma);
  }
  freelocale(comma);
}

}  // namespace
