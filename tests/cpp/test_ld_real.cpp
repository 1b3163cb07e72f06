#include <fenv.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "decimal_comma_locale.h"
#include "ld_test_support.h"
#include "longdouble/ld_ops.h"

using namespace std::string_literals;
using ld_test::buffer;
using ld_test::expect_text;
using ld_test::value_of;
namespace ld = quarvel_longdouble;

namespace {

const std::string largest = "1.18973149535723176502e+4932";
const std::string smallest_subnormal = "3.64519953188247460253e-4951";

const std::vector<std::string> unary_names = {
    "absolute", "abs",     "fabs",       "acos",     "arccos",   "acosh", "arccosh",  "asin",   "arcsin", "asinh",
    "arcsinh",  "atan",    "arctan",     "atanh",    "arctanh",  "cbrt",  "ceil",     "cos",    "cosh",   "deg2rad",
    "radians",  "degrees", "rad2deg",    "exp",      "exp2",     "expm1", "floor",    "log",    "log10",  "log1p",
    "log2",     "negative", "positive",  "conjugate", "conj",    "reciprocal", "rint", "sign",  "sin",    "sinh",
    "spacing",  "sqrt",    "square",     "tan",      "tanh",     "trunc"};

const std::vector<std::string> binary_names = {
    "add",     "subtract", "multiply", "divide",   "true_divide", "floor_divide", "fmod",      "remainder", "mod",
    "divmod",  "power",    "pow",      "float_power", "maximum",  "minimum",      "fmax",      "fmin",      "copysign",
    "hypot",   "arctan2",  "atan2",    "heaviside", "logaddexp", "logaddexp2",    "nextafter", "ldexp"};

// ---- every name --------------------------------------------------------------

TEST(LdRealNames, TableSizes) {
  EXPECT_EQ(unary_names.size(), 46u);
  EXPECT_EQ(binary_names.size(), 26u);
}

TEST(LdRealNames, EveryUnaryNameComputes) {
  for (const auto& name : unary_names) EXPECT_TRUE(ld::unary_real(name, "0.5").has_value()) << name;
}

TEST(LdRealNames, EveryBinaryNameComputesAndOnlyDivmodHasASecondResult) {
  for (const auto& name : binary_names) {
    auto r = ld::binary_real(name, "7.5", "2");
    ASSERT_TRUE(r.has_value()) << name;
    if (name == "divmod")
      EXPECT_EQ(r->second, "1.5");
    else
      EXPECT_EQ(r->second, "0") << name;
  }
}

// Aliases are the same operation as their canonical spelling.
TEST(LdRealNames, AliasesAgree) {
  const std::vector<std::pair<std::string, std::string>> unary_aliases = {
      {"abs", "absolute"}, {"fabs", "absolute"}, {"arccos", "acos"},     {"arccosh", "acosh"}, {"arcsin", "asin"},
      {"arcsinh", "asinh"}, {"arctan", "atan"},  {"arctanh", "atanh"},   {"radians", "deg2rad"}, {"rad2deg", "degrees"},
      {"conjugate", "positive"}, {"conj", "positive"}};
  for (const auto& [alias, name] : unary_aliases)
    for (const char* x : {"-0.75", "0.3", "1.25", "-inf", "nan"})
      EXPECT_EQ(ld::unary_real(alias, x), ld::unary_real(name, x)) << alias << " " << x;
  const std::vector<std::pair<std::string, std::string>> binary_aliases = {
      {"true_divide", "divide"}, {"mod", "remainder"}, {"pow", "power"}, {"float_power", "power"}, {"atan2", "arctan2"}};
  for (const auto& [alias, name] : binary_aliases)
    for (const char* y : {"-0.75", "3", "0", "-inf"})
      EXPECT_EQ(ld::binary_real(alias, "2.5", y), ld::binary_real(name, "2.5", y)) << alias << " " << y;
}

TEST(LdRealNames, RefusedNames) {
  for (const char* name : {"ABS", "Abs", "", " abs", "abs ", "absolute\n", "invert", "logical_not", "isnan",
                           "signbit", "add", "frexp", "modf", "bitwise_count", "arccos2"})
    EXPECT_FALSE(ld::unary_real(name, "1").has_value()) << "'" << name << "'";
  for (const char* name : {"ADD", "Add", "", "gcd", "lcm", "bitwise_and", "left_shift", "less", "equal", "logical_or",
                           "absolute", "sqrt", "divmod2"})
    EXPECT_FALSE(ld::binary_real(name, "1", "2").has_value()) << "'" << name << "'";
  char out[64], out2[64];
  EXPECT_EQ(quarvel_ld_unary_real(nullptr, "1", out, sizeof out), 0);
  EXPECT_EQ(quarvel_ld_binary_real(nullptr, "1", "2", out, sizeof out, out2, sizeof out2), 0);
}

// ---- exact results -----------------------------------------------------------
// What this code decides to the last bit: IEEE operations, rounding to
// integers, the special values the C standard fixes. Results the C library
// rounds are held to mpmath further down.

struct UnaryCase {
  const char* op;
  const char* x;
  const char* expected;
};

const UnaryCase exact_unary[] = {
    {"absolute", "-2.5", "2.5"},
    {"absolute", "-0", "0"},
    {"absolute", "-inf", "inf"},
    {"absolute", "-nan", "nan"},
    {"negative", "0", "-0"},
    {"negative", "-1.5", "1.5"},
    {"negative", "nan", "-nan"},
    {"negative", "-nan", "nan"},
    {"positive", "-0", "-0"},
    {"positive", "0.1", "0.100000000000000000001"},
    {"reciprocal", "4", "0.25"},
    {"reciprocal", "3", "0.333333333333333333342"},
    {"reciprocal", "-0", "-inf"},
    {"reciprocal", "inf", "0"},
    {"square", "-3", "9"},
    {"square", "1e3000", "inf"},
    {"square", "1e-3000", "0"},
    {"sqrt", "4", "2"},
    {"sqrt", "-1", "nan"},
    {"sqrt", "-0", "-0"},
    {"sqrt", "inf", "inf"},
    {"ceil", "-0.5", "-0"},
    {"ceil", "2.1", "3"},
    {"floor", "-2.5", "-3"},
    {"floor", "0.5", "0"},
    {"rint", "2.5", "2"},
    {"rint", "3.5", "4"},
    {"rint", "-0.5", "-0"},
    {"trunc", "-2.7", "-2"},
    {"trunc", "-123456789012345678.75", "-123456789012345678"},
    {"sign", "-0", "0"},
    {"sign", "0", "0"},
    {"sign", "nan", "nan"},
    {"sign", "-inf", "-1"},
    {"sign", "inf", "1"},
    {"sign", "-2e-4950", "-1"},
    {"sign", "3", "1"},
    // 2^-63 and the smallest subnormal.
    {"spacing", "1", "1.08420217248550443401e-19"},
    {"spacing", "-1", "-1.08420217248550443401e-19"},
    {"spacing", "0", "3.64519953188247460253e-4951"},
    {"spacing", "-0", "-3.64519953188247460253e-4951"},
    {"spacing", "1.18973149535723176502e+4932", "inf"},
    {"spacing", "-1.18973149535723176502e+4932", "-inf"},
    {"spacing", "inf", "nan"},
    {"spacing", "nan", "nan"},
    {"deg2rad", "-0", "-0"},
    {"deg2rad", "-inf", "-inf"},
    {"deg2rad", "nan", "nan"},
    // Only a result beyond the range overflows.
    {"degrees", "1e4931", "inf"},
    {"degrees", "-inf", "-inf"},
    {"exp", "-inf", "0"},
    {"exp", "0", "1"},
    {"exp", "12000", "inf"},
    {"expm1", "-0", "-0"},
    {"expm1", "-inf", "-1"},
    {"log", "0", "-inf"},
    {"log", "-1", "nan"},
    {"log", "1", "0"},
    {"log1p", "-1", "-inf"},
    {"cos", "0", "1"},
    {"sin", "-0", "-0"},
    {"tan", "-0", "-0"},
    {"tanh", "inf", "1"},
    {"sinh", "-inf", "-inf"},
    {"cosh", "-inf", "inf"},
    {"acos", "1", "0"},
    {"acos", "2", "nan"},
    {"acosh", "1", "0"},
    {"asin", "-0", "-0"},
    {"asinh", "-inf", "-inf"},
    {"atan", "-0", "-0"},
    {"atanh", "1", "inf"},
    {"atanh", "-1", "-inf"},
};

TEST(LdRealExact, Unary) {
  for (const auto& c : exact_unary) {
    const std::string context = c.op + "("s + c.x + ")";
    auto r = ld::unary_real(c.op, c.x);
    ASSERT_TRUE(r.has_value()) << context;
    expect_text(c.expected, *r, context);
  }
}

struct BinaryCase {
  const char* op;
  const char* x;
  const char* y;
  const char* expected;
  const char* second = "0";
};

const BinaryCase exact_binary[] = {
    {"add", "1.5", "2.25", "3.75"},
    {"add", "-0", "-0", "-0"},
    {"add", "-0", "0", "0"},
    {"add", "inf", "-inf", "nan"},
    {"add", "1e4932", "1e4932", "inf"},
    {"subtract", "5", "7.5", "-2.5"},
    {"subtract", "0", "0", "0"},
    {"subtract", "-0", "0", "-0"},
    // 1 + 2^-64 is a tie that rounds to even.
    {"add", "1", "5.42101086242752217004e-20", "1"},
    {"multiply", "1.5", "-4", "-6"},
    {"multiply", "-0", "5", "-0"},
    {"multiply", "inf", "0", "nan"},
    {"multiply", "1e-4000", "1e-4000", "0"},
    {"divide", "1", "3", "0.333333333333333333342"},
    {"divide", "1", "0", "inf"},
    {"divide", "-1", "0", "-inf"},
    {"divide", "0", "0", "nan"},
    {"divide", "1", "-inf", "-0"},
    // Quotient derived from the remainder: 1 // 0.1 is 9, not floor(10.0).
    {"floor_divide", "1", "0.1", "9"},
    {"floor_divide", "7", "2", "3"},
    {"floor_divide", "-7", "2", "-4"},
    {"floor_divide", "7", "-2", "-4"},
    {"floor_divide", "1", "0", "inf"},
    {"floor_divide", "-1", "0", "-inf"},
    {"floor_divide", "0", "0", "nan"},
    {"floor_divide", "-1", "inf", "-1"},
    {"floor_divide", "1", "inf", "0"},
    {"floor_divide", "-0", "inf", "-0"},
    {"floor_divide", "inf", "2", "nan"},
    {"floor_divide", "-0", "5", "-0"},
    {"floor_divide", "nan", "5", "nan"},
    {"floor_divide", "1e4000", "3e-4000", "inf"},
    {"fmod", "-7", "2", "-1"},
    {"fmod", "7", "-2", "1"},
    {"fmod", "1", "0", "nan"},
    {"fmod", "1", "0.1", "0.0999999999999999999878"},
    {"remainder", "5", "-3", "-1"},
    {"remainder", "-5", "3", "1"},
    {"remainder", "6", "-3", "-0"},
    {"remainder", "-6", "3", "0"},
    {"remainder", "-1", "inf", "inf"},
    {"remainder", "1", "inf", "1"},
    {"remainder", "1", "0", "nan"},
    {"remainder", "inf", "2", "nan"},
    {"remainder", "1", "0.1", "0.0999999999999999999878"},
    {"divmod", "7", "2", "3", "1"},
    {"divmod", "-7", "2", "-4", "1"},
    {"divmod", "7", "-2", "-4", "-1"},
    {"divmod", "1", "0.1", "9", "0.0999999999999999999878"},
    {"divmod", "1", "0", "inf", "nan"},
    {"divmod", "-6", "3", "-2", "0"},
    {"divmod", "6", "-3", "-2", "-0"},
    {"power", "0", "-1", "inf"},
    {"power", "-8", "0.5", "nan"},
    {"power", "1", "nan", "1"},
    {"power", "nan", "0", "1"},
    {"maximum", "nan", "1", "nan"},
    {"maximum", "1", "nan", "nan"},
    {"maximum", "-0", "0", "-0"},
    {"maximum", "0", "-0", "0"},
    {"maximum", "1", "2", "2"},
    {"maximum", "-inf", "-1", "-1"},
    {"minimum", "nan", "1", "nan"},
    {"minimum", "1", "nan", "nan"},
    {"minimum", "-0", "0", "-0"},
    {"minimum", "0", "-0", "0"},
    {"minimum", "1", "2", "1"},
    // NaN-ignoring; the C standard leaves the sign of a tie of zeros open.
    {"fmax", "nan", "1", "1"},
    {"fmax", "1", "nan", "1"},
    {"fmax", "nan", "nan", "nan"},
    {"fmax", "-0", "0", "±0"},
    {"fmax", "0", "-0", "±0"},
    {"fmax", "3", "2", "3"},
    {"fmax", "-inf", "nan", "-inf"},
    {"fmin", "nan", "1", "1"},
    {"fmin", "-0", "0", "±0"},
    {"fmin", "0", "-0", "±0"},
    {"fmin", "3", "2", "2"},
    {"fmin", "nan", "inf", "inf"},
    {"copysign", "2", "-0", "-2"},
    {"copysign", "-2", "0", "2"},
    {"copysign", "3", "-nan", "-3"},
    {"copysign", "-3", "nan", "3"},
    {"hypot", "inf", "nan", "inf"},
    // pi from atan2l, whose last bit is the library's.
    {"arctan2", "0", "-0", "~3.14159265358979323851"},
    {"arctan2", "-0", "-0", "-~3.14159265358979323851"},
    {"arctan2", "-0", "1", "-0"},
    {"heaviside", "0", "0.5", "0.5"},
    {"heaviside", "-0", "0.5", "0.5"},
    {"heaviside", "0", "nan", "nan"},
    {"heaviside", "-2", "0.5", "0"},
    {"heaviside", "nan", "0.5", "nan"},
    {"heaviside", "3", "0.5", "1"},
    {"logaddexp", "inf", "inf", "inf"},
    {"logaddexp", "-inf", "-inf", "-inf"},
    {"logaddexp", "inf", "-inf", "inf"},
    {"logaddexp", "-inf", "inf", "inf"},
    {"logaddexp", "nan", "1", "nan"},
    {"logaddexp2", "3", "3", "4"},
    {"logaddexp2", "-inf", "-inf", "-inf"},
    {"logaddexp2", "inf", "-inf", "inf"},
    {"logaddexp2", "-inf", "5", "5"},
    {"nextafter", "1", "2", "1.00000000000000000011"},
    {"nextafter", "0", "-1", "-3.64519953188247460253e-4951"},
    {"nextafter", "1", "1", "1"},
    {"nextafter", "1", "nan", "nan"},
    {"nextafter", "1.18973149535723176502e+4932", "inf", "inf"},
    {"ldexp", "1", "3.9", "8"},
    {"ldexp", "1", "-3.9", "0.125"},
    {"ldexp", "1", "1e10", "inf"},
    {"ldexp", "-1", "-1e10", "-0"},
    {"ldexp", "1", "nan", "0"},
    {"ldexp", "3", "2147483647", "inf"},
    {"ldexp", "3", "inf", "inf"},
    {"ldexp", "1", "-16445", "3.64519953188247460253e-4951"},
    {"ldexp", "1", "-16446", "0"},
    {"ldexp", "inf", "-1e10", "inf"},
};

TEST(LdRealExact, Binary) {
  for (const auto& c : exact_binary) {
    const std::string context = c.op + "("s + c.x + ", " + c.y + ")";
    auto r = ld::binary_real(c.op, c.x, c.y);
    ASSERT_TRUE(r.has_value()) << context;
    expect_text(c.expected, r->first, context);
    expect_text(c.second, r->second, context + " second");
  }
}

// Over random operands: an integral quotient and a remainder with the
// divisor's sign, no larger than it, that recombine to the dividend up to the
// rounding of the product.
TEST(LdRealExact, DivmodRecombines) {
  std::mt19937_64 random(20240607);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-40, 40);
  for (int i = 0; i < 2000; ++i) {
    char x[64], y[64];
    std::snprintf(x, sizeof x, "%.17fe%d", mantissa(random), exponent(random));
    std::snprintf(y, sizeof y, "%.17fe%d", mantissa(random), exponent(random) / 4);
    auto r = ld::binary_real("divmod", x, y);
    ASSERT_TRUE(r.has_value());
    const long double q = value_of(r->first), m = value_of(r->second), a = value_of(x), b = value_of(y);
    if (b == 0.0L) continue;
    EXPECT_EQ(q, ::floorl(q)) << x << " " << y;
    EXPECT_LE(::fabsl(m), ::fabsl(b)) << x << " " << y;  // equal when m + b rounds to b
    EXPECT_TRUE(m == 0.0L || std::signbit(m) == std::signbit(b)) << x << " " << y;
    EXPECT_LE(::fabsl(q * b + m - a), ::fmaxl(::fabsl(a), ::fabsl(b)) * 0x1p-62L) << x << " " << y;
    EXPECT_EQ(ld::binary_real("floor_divide", x, y)->first, r->first);
    EXPECT_EQ(ld::binary_real("remainder", x, y)->first, r->second);
  }
}

struct FrexpCase {
  const char* x;
  const char* mantissa;
  std::int32_t exponent;
};

TEST(LdRealExact, Frexp) {
  const FrexpCase cases[] = {{"8", "0.5", 4},      {"0", "0", 0},      {"-0", "-0", 0},
                             {"1", "0.5", 1},      {"-3", "-0.75", 2}, {smallest_subnormal.c_str(), "0.5", -16444},
                             {largest.c_str(), "0.999999999999999999946", 16384}};
  for (const auto& c : cases) {
    auto r = ld::frexp(c.x);
    ASSERT_TRUE(r.has_value()) << c.x;
    EXPECT_EQ(r->first, c.mantissa) << c.x;
    EXPECT_EQ(r->second, c.exponent) << c.x;
  }
  // The exponent of a non-finite value is the library's; the mantissa is the value.
  EXPECT_EQ(ld::frexp("-inf")->first, "-inf");
  EXPECT_TRUE(std::isnan(value_of(ld::frexp("nan")->first)));
}

TEST(LdRealExact, Modf) {
  const UnaryCase cases[] = {{"modf", "-2.5", "-0.5|-2"}, {"modf", "3", "0|3"},      {"modf", "-0", "-0|-0"},
                             {"modf", "inf", "0|inf"},    {"modf", "-inf", "-0|-inf"}, {"modf", "0.25", "0.25|0"},
                             {"modf", "123456789012345678.75", "0.75|123456789012345678"}};
  for (const auto& c : cases) {
    auto r = ld::modf(c.x);
    ASSERT_TRUE(r.has_value()) << c.x;
    EXPECT_EQ(r->first + "|" + r->second, c.expected) << c.x;
  }
  auto nan = ld::modf("nan");
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(value_of(nan->first)) && std::isnan(value_of(nan->second)));
}

// fmax and fmin are the C library's fmaxl and fminl, zero ties included.
TEST(LdRealExact, FmaxFminAreTheLibraryFunctions) {
  long double (*volatile library_max)(long double, long double) = ::fmaxl;
  long double (*volatile library_min)(long double, long double) = ::fminl;
  const char* values[] = {"-0", "0", "1", "-2.5", "inf", "-inf", "nan"};
  for (const char* x : values)
    for (const char* y : values) {
      const long double a = value_of(x), b = value_of(y);
      for (const auto& [name, library] : {std::pair{"fmax", library_max}, std::pair{"fmin", library_min}}) {
        const long double expected = library(a, b);
        const auto r = ld::binary_real(name, x, y);
        ASSERT_TRUE(r.has_value());
        const long double got = value_of(r->first);
        EXPECT_TRUE(std::isnan(expected) ? std::isnan(got) : got == expected && std::signbit(got) == std::signbit(expected))
            << name << "(" << x << ", " << y << ") = " << r->first;
      }
    }
}

// ---- log-add-exp intermediate checks -------------------------------------------

TEST(LdRealLogaddexpChecks, Overflow) {
  EXPECT_EQ(ld::logaddexp_intermediate_overflow(largest, "-" + largest), true);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow("-" + largest, largest), true);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow("1", "2"), false);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow(largest, largest), false);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow("inf", "1"), false);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow("1", "nan"), false);
  EXPECT_EQ(ld::logaddexp_intermediate_overflow("1", "x"), std::nullopt);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_overflow(nullptr, "1"), -1);
}

TEST(LdRealLogaddexpChecks, Underflow) {
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("0", "20000", false), true);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("20000", "0", false), true);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("0", "100", false), false);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("0", "20000", true), true);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("0", "16000", true), false);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("0", "inf", false), false);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("nan", "0", true), false);
  EXPECT_EQ(ld::logaddexp_intermediate_underflow("", "0", true), std::nullopt);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_underflow("0", nullptr, 0), -1);
}

// The checks' own flags never reach the caller, and the caller's flags survive.
TEST(LdRealLogaddexpChecks, CallerEnvironmentIsKept) {
  feclearexcept(FE_ALL_EXCEPT);
  feraiseexcept(FE_DIVBYZERO);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_overflow(largest.c_str(), ("-" + largest).c_str()), 1);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_underflow("0", "20000", 0), 1);
  EXPECT_EQ(fetestexcept(FE_OVERFLOW | FE_UNDERFLOW), 0);
  EXPECT_NE(fetestexcept(FE_DIVBYZERO), 0);
  feclearexcept(FE_ALL_EXCEPT);
}

// The difference is taken inside the held environment too: none of its flags
// leak, and an enabled overflow or underflow trap never fires.
TEST(LdRealLogaddexpChecks, DifferenceStaysInsideTheHeldEnvironment) {
  const std::string negative_largest = "-" + largest;
  feclearexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_underflow(largest.c_str(), negative_largest.c_str(), 0), 0);
  EXPECT_EQ(quarvel_ld_logaddexp_intermediate_overflow("1", "3"), 0);
  EXPECT_EQ(fetestexcept(FE_ALL_EXCEPT & ~FE_INEXACT), 0);  // parsing the decimal texts is inexact
  feenableexcept(FE_OVERFLOW | FE_UNDERFLOW);
  const int overflow = quarvel_ld_logaddexp_intermediate_overflow(largest.c_str(), negative_largest.c_str());
  const int underflow_of_difference = quarvel_ld_logaddexp_intermediate_underflow(largest.c_str(), negative_largest.c_str(), 0);
  const int underflow = quarvel_ld_logaddexp_intermediate_underflow("0", "20000", 1);
  fedisableexcept(FE_ALL_EXCEPT);
  EXPECT_EQ(overflow, 1);
  EXPECT_EQ(underflow_of_difference, 0);
  EXPECT_EQ(underflow, 1);
  feclearexcept(FE_ALL_EXCEPT);
}

// ---- transcendental results against mpmath ------------------------------------
// Each within library_ulps of the 64-bit-precision mpmath value.

TEST(LdRealReference, Unary) {
  const auto cases = ld_test::reference_cases("unary_real", 1);
  ASSERT_GT(cases.size(), 90u);
  std::set<std::string> covered;
  for (const auto& c : cases) {
    covered.insert(c.op);
    auto r = ld::unary_real(c.op, c.inputs[0]);
    ASSERT_TRUE(r.has_value()) << c.describe();
    EXPECT_LE(ld_test::ulps_apart(value_of(*r), value_of(c.expected[0])), ld_test::library_ulps)
        << c.describe() << " = " << *r << ", expected " << c.expected[0];
  }
  EXPECT_EQ(covered.size(), 23u);
}

TEST(LdRealReference, Binary) {
  const auto cases = ld_test::reference_cases("binary_real", 2);
  ASSERT_GT(cases.size(), 15u);
  for (const auto& c : cases) {
    auto r = ld::binary_real(c.op, c.inputs[0], c.inputs[1]);
    ASSERT_TRUE(r.has_value()) << c.describe();
    EXPECT_LE(ld_test::ulps_apart(value_of(r->first), value_of(c.expected[0])), ld_test::library_ulps)
        << c.describe() << " = " << r->first << ", expected " << c.expected[0];
  }
}

// ---- bad input ----------------------------------------------------------------

TEST(LdRealBadInput, MalformedTextGivesNoResult) {
  for (const char* bad : {"", " ", "1.5 ", "1.5x", "abc", "1,5", "--1", "0x", "1e", "nan()x"}) {
    EXPECT_FALSE(ld::unary_real("abs", bad).has_value()) << "'" << bad << "'";
    EXPECT_FALSE(ld::binary_real("add", bad, "1").has_value()) << "'" << bad << "'";
    EXPECT_FALSE(ld::binary_real("add", "1", bad).has_value()) << "'" << bad << "'";
    EXPECT_FALSE(ld::frexp(bad).has_value()) << "'" << bad << "'";
    EXPECT_FALSE(ld::modf(bad).has_value()) << "'" << bad << "'";
  }
  EXPECT_EQ(ld::unary_real("abs", " -1.5"), "1.5");
  EXPECT_EQ(ld::unary_real("abs", "-0x1p-3"), "0.125");
  EXPECT_EQ(ld::unary_real("negative", "1e5000"), "-inf");
  EXPECT_EQ(ld::unary_real("negative", "INFINITY"), "-inf");
}

// Every routine reads and writes a full stop whatever the process locale.
TEST(LdRealBadInput, LocaleIndependent) {
  std::optional<std::string> root, comma;
  std::optional<ld::TextPair> half, parts, complex_square, quotient;
  std::optional<std::pair<std::string, std::int32_t>> split;
  {
    const DecimalCommaLocale locale(LC_ALL);
    if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma available";
    root = ld::unary_real("sqrt", "2.25");
    comma = ld::unary_real("abs", "-1,5");
    half = ld::binary_real("divide", "1", "2");
    parts = ld::modf("-2.5");
    split = ld::frexp("0.75");
    complex_square = ld::unary_complex("square", "0", "1.5");
    quotient = ld::binary_complex("divide", "1.5", "0", "2", "0");
  }
  EXPECT_EQ(root, "1.5");
  EXPECT_FALSE(comma.has_value());
  EXPECT_EQ(half, (ld::TextPair{"0.5", "0"}));
  EXPECT_EQ(parts, (ld::TextPair{"-0.5", "-2"}));
  EXPECT_EQ(split, (std::pair<std::string, std::int32_t>{"0.75", 0}));
  EXPECT_EQ(complex_square, (ld::TextPair{"-2.25", "0"}));
  EXPECT_EQ(quotient, (ld::TextPair{"0.75", "0"}));
}

TEST(LdRealBadInput, NulBytesGiveNoResult) {
  const std::string with_nul("1\0" "5", 3);
  EXPECT_FALSE(ld::unary_real("abs", with_nul).has_value());
  EXPECT_FALSE(ld::unary_real(std::string("abs\0", 4), "1").has_value());
  EXPECT_FALSE(ld::binary_real("add", "1", with_nul).has_value());
  EXPECT_FALSE(ld::binary_real(std::string("add\0x", 5), "1", "2").has_value());
  EXPECT_FALSE(ld::frexp(with_nul).has_value());
  EXPECT_FALSE(ld::modf(with_nul).has_value());
  EXPECT_FALSE(ld::logaddexp_intermediate_overflow(with_nul, "1").has_value());
  EXPECT_FALSE(ld::logaddexp_intermediate_underflow("1", with_nul, true).has_value());
}

TEST(LdRealBadInput, NullTextsFail) {
  char out[64], out2[64];
  int exponent = 0;
  EXPECT_EQ(quarvel_ld_unary_real("abs", nullptr, out, sizeof out), 0);
  EXPECT_EQ(quarvel_ld_binary_real("add", "1", nullptr, out, sizeof out, out2, sizeof out2), 0);
  EXPECT_EQ(quarvel_ld_frexp(nullptr, out, sizeof out, &exponent), 0);
  EXPECT_EQ(quarvel_ld_frexp("8", out, sizeof out, nullptr), 0);
  EXPECT_EQ(quarvel_ld_frexp("8", nullptr, sizeof out, &exponent), 0);
  EXPECT_EQ(quarvel_ld_modf(nullptr, out, sizeof out, out2, sizeof out2), 0);
  EXPECT_EQ(quarvel_ld_modf("1.5", nullptr, sizeof out, out2, sizeof out2), 0);
  // The outputs fail in order: the fractional part is already written.
  EXPECT_EQ(quarvel_ld_modf("1.5", out, sizeof out, nullptr, sizeof out2), 0);
  EXPECT_STREQ(out, "0.5");
}

TEST(LdRealBadInput, ShortBuffers) {
  // "1.5" needs 4 bytes; 3 leaves the truncated text.
  auto three = buffer(3);
  EXPECT_EQ(quarvel_ld_unary_real("abs", "-1.5", three.get(), 3), 0);
  EXPECT_STREQ(three.get(), "1.");
  auto four = buffer(4);
  EXPECT_EQ(quarvel_ld_unary_real("abs", "-1.5", four.get(), 4), 1);
  EXPECT_STREQ(four.get(), "1.5");
  EXPECT_EQ(quarvel_ld_unary_real("abs", "-1.5", four.get(), 0), 0);
  EXPECT_EQ(quarvel_ld_unary_real("abs", "-1.5", nullptr, 4), 0);

  // The second output is required for every operation; the first is already written.
  auto first = buffer(8), second = buffer(1);
  EXPECT_EQ(quarvel_ld_binary_real("add", "1", "2", first.get(), 8, nullptr, 8), 0);
  EXPECT_STREQ(first.get(), "3");
  EXPECT_EQ(quarvel_ld_binary_real("add", "1", "3", first.get(), 8, second.get(), 0), 0);
  EXPECT_STREQ(first.get(), "4");
  EXPECT_EQ(quarvel_ld_binary_real("divmod", "7", "2", first.get(), 8, second.get(), 1), 0);
  EXPECT_STREQ(second.get(), "");
  auto two = buffer(2);
  EXPECT_EQ(quarvel_ld_binary_real("divmod", "7", "2", first.get(), 8, two.get(), 2), 1);
  EXPECT_STREQ(two.get(), "1");
  EXPECT_EQ(quarvel_ld_binary_real("add", "1", "2", nullptr, 8, two.get(), 2), 0);

  // frexp stores the exponent before it looks at the buffer.
  int exponent = 0;
  auto tiny = buffer(1);
  EXPECT_EQ(quarvel_ld_frexp("8", tiny.get(), 0, &exponent), 0);
  EXPECT_EQ(exponent, 4);
  EXPECT_EQ(quarvel_ld_frexp("8", tiny.get(), 1, &exponent), 0);
  EXPECT_EQ(quarvel_ld_frexp("-3", four.get(), 4, &exponent), 0);  // "-0.75"
  EXPECT_EQ(exponent, 2);

  // modf prints the fractional part first and stops at the first failure.
  auto frac = buffer(5), integral = buffer(3);
  integral[0] = 'x';
  EXPECT_EQ(quarvel_ld_modf("-12.5", frac.get(), 4, integral.get(), 3), 0);
  EXPECT_EQ(integral[0], 'x');
  EXPECT_EQ(quarvel_ld_modf("-12.5", frac.get(), 5, integral.get(), 3), 0);
  EXPECT_STREQ(frac.get(), "-0.5");
  EXPECT_STREQ(integral.get(), "-1");
  auto integral4 = buffer(4);
  EXPECT_EQ(quarvel_ld_modf("-12.5", frac.get(), 5, integral4.get(), 4), 1);
  EXPECT_STREQ(integral4.get(), "-12");
}

// The longest result text (29 characters) fits the wrapper buffers.
TEST(LdRealBadInput, LongestTextFits) {
  auto r = ld::unary_real("negative", "1.23456789012345678901e-4000");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->size(), 29u);
  EXPECT_EQ("-" + ld::unary_real("negative", *r).value(), *r);
}

}  // namespace
