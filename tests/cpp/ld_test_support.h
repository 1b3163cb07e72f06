// Helpers for the long double arithmetic tests: reading result text, distance
// in units in the last place, and the mpmath reference data file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace ld_test {

inline long double value_of(const std::string& text) {
  char* end = nullptr;
  const long double value = std::strtold(text.c_str(), &end);
  EXPECT_TRUE(end != text.c_str() && *end == '\0') << "unreadable result text '" << text << "'";
  return value;
}

// Expected texts compare exactly, except that "nan" accepts a NaN of either
// sign (the sign of a produced NaN is the processor's business) and a leading
// "±" accepts either sign where the C standard leaves it open.
inline void expect_text(const std::string& expected, const std::string& actual, const std::string& context) {
  const std::string either_sign = "\u00b1";
  if (expected == "nan") {
    EXPECT_TRUE(std::isnan(value_of(actual))) << context << ": got " << actual;
  } else if (expected.rfind(either_sign, 0) == 0) {
    const std::string magnitude = expected.substr(either_sign.size());
    EXPECT_TRUE(actual == magnitude || actual == "-" + magnitude) << context << ": got " << actual;
  } else {
    EXPECT_EQ(expected, actual) << context;
  }
}

// Exactly sized heap buffers, so the sanitizer build catches any write past them.
inline std::unique_ptr<char[]> buffer(std::size_t size) { return std::make_unique<char[]>(size); }

// Position of a finite extended value on the line of all extended values, so
// neighbours differ by one:
//   bytes 0-7 significand (explicit integer bit 63), bytes 8-9 sign|exponent.
inline __int128 ordinal(long double x) {
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &x, sizeof x);
  std::uint64_t significand;
  std::uint16_t sign_exponent;
  std::memcpy(&significand, bytes, 8);
  std::memcpy(&sign_exponent, bytes + 8, 2);
  const unsigned exponent = sign_exponent & 0x7FFFu;
  const std::uint64_t fraction = significand & 0x7FFFFFFFFFFFFFFFull;
  const __int128 magnitude =
      exponent == 0 ? static_cast<__int128>(significand) : (static_cast<__int128>(exponent) << 63) + fraction;
  return (sign_exponent & 0x8000u) ? -magnitude : magnitude;
}

inline long double ulps_apart(long double a, long double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0.0L : INFINITY;
  if (std::isinf(a) || std::isinf(b)) return a == b ? 0.0L : INFINITY;
  const __int128 d = ordinal(a) - ordinal(b);
  return static_cast<long double>(d < 0 ? -d : d);
}

// One line of longdouble_reference.txt: kind, op, inputs, expected results.
struct ReferenceCase {
  std::string kind;
  std::string op;
  std::vector<std::string> inputs;
  std::vector<std::string> expected;
  std::string describe() const {
    std::string s = op + "(";
    for (std::size_t i = 0; i < inputs.size(); ++i) s += (i ? ", " : "") + inputs[i];
    return s + ")";
  }
};

// The cases of one kind; inputs count given, the rest of the line is results.
inline std::vector<ReferenceCase> reference_cases(const std::string& kind, std::size_t input_count) {
  std::vector<ReferenceCase> cases;
  std::ifstream file(std::string(QUARVEL_TEST_DATA_DIR) + "/longdouble_reference.txt");
  EXPECT_TRUE(file.good()) << "missing longdouble_reference.txt";
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    ReferenceCase c;
    fields >> c.kind >> c.op;
    if (c.kind != kind) continue;
    std::string field;
    while (fields >> field) (c.inputs.size() < input_count ? c.inputs : c.expected).push_back(field);
    cases.push_back(std::move(c));
  }
  return cases;
}

}  // namespace ld_test
