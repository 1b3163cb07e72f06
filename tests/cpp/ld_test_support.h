// Helpers for the long double tests: reading and comparing result text, and
// the mpmath reference data file.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ulps.h"

namespace ld_test {

inline long double value_of(const std::string& text) {
  char* end = nullptr;
  const long double value = std::strtold(text.c_str(), &end);
  EXPECT_TRUE(end != text.c_str() && *end == '\0') << "unreadable result text '" << text << "'";
  return value;
}


using test_ulps::library_ulps;
using test_ulps::ulps_apart;

// Expected texts compare exactly, except that "nan" accepts a NaN of either
// sign (the sign of a produced NaN is the processor's business), and "~x" or
// "-~x" (x an mpmath value) accepts anything within library_ulps of it.
inline void expect_text(const std::string& expected, const std::string& actual, const std::string& context) {
  if (const std::size_t near = expected.find('~'); near <= 1) {
    const std::string want = expected.substr(0, near) + expected.substr(near + 1);
    EXPECT_LE(ulps_apart(value_of(actual), value_of(want)), library_ulps) << context << ": got " << actual;
  } else if (expected == "nan") {
    EXPECT_TRUE(std::isnan(value_of(actual))) << context << ": got " << actual;
  } else {
    EXPECT_EQ(expected, actual) << context;
  }
}

// One line of longdouble_reference.txt: kind, op, inputs, expected results.
struct ReferenceCase {
  std::string op;
  std::vector<std::string> inputs;
  std::vector<std::string> expected;
  std::string describe() const {
    std::string s = op + "(";
    for (const std::string& input : inputs) s += input + (&input == &inputs.back() ? ")" : ", ");
    return s;
  }
};

// The cases of one kind; inputs count given, the rest of the line is results.
inline std::vector<ReferenceCase> reference_cases(const std::string& kind, std::size_t input_count) {
  std::vector<ReferenceCase> cases;
  std::ifstream file(std::string(QUARVEL_TEST_DATA_DIR) + "/longdouble_reference.txt");
  EXPECT_TRUE(file.good()) << "missing longdouble_reference.txt";
  for (std::string line, line_kind; std::getline(file, line);) {
    std::istringstream fields(line);
    ReferenceCase c;
    if (!(fields >> line_kind >> c.op) || line_kind != kind) continue;
    for (std::string field; fields >> field;) (c.inputs.size() < input_count ? c.inputs : c.expected).push_back(field);
    cases.push_back(std::move(c));
  }
  return cases;
}

}  // namespace ld_test
