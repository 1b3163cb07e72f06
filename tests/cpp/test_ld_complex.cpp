#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ld_test_support.h"
#include "longdouble/ld_ops.h"

using namespace std::string_literals;
using ld_test::buffer;
using ld_test::expect_text;
using ld_test::value_of;
namespace ld = quarvel_longdouble;

namespace {

// The angles special values produce and atanh(1/2) (atan(2i)'s imaginary
// part), as mpmath rounds them to 64 bits; the library computes them, so they
// are held to library_ulps (see expect_text).
#define PI "~3.14159265358979323851"
#define HALF_PI "~1.57079632679489661926"
#define QUARTER_PI "~0.785398163397448309628"
#define THREE_QUARTER_PI "~2.35619449019234492894"
#define ATANH_HALF "~0.54930614433405484568"

const std::vector<std::string> unary_names = {
    "absolute", "abs",   "acos", "arccos", "acosh", "arccosh", "asin", "arcsin",     "asinh",  "arcsinh",
    "atan",     "arctan", "atanh", "arctanh", "cos", "cosh",    "exp",  "exp2",       "expm1",  "rint",
    "log",      "log1p", "log10", "log2",   "sin",   "sinh",    "sqrt", "tan",        "tanh",   "reciprocal",
    "square",   "positive", "negative", "conj", "conjugate", "sign"};

const std::vector<std::string> binary_names = {"add",   "subtract",    "multiply", "divide",  "true_divide", "power",
                                               "pow",   "float_power", "maximum",  "minimum", "fmax",        "fmin"};

// ---- names -----------------------------------------------------------------------

TEST(LdComplexNames, EveryNameComputes) {
  EXPECT_EQ(unary_names.size(), 36u);
  EXPECT_EQ(binary_names.size(), 12u);
  for (const auto& name : unary_names) EXPECT_TRUE(ld::unary_complex(name, "0.5", "0.25").has_value()) << name;
  for (const auto& name : binary_names)
    EXPECT_TRUE(ld::binary_complex(name, "0.5", "0.25", "2", "-1").has_value()) << name;
}

TEST(LdComplexNames, AliasesAgree) {
  const std::vector<std::pair<std::string, std::string>> unary_aliases = {
      {"abs", "absolute"}, {"arccos", "acos"},   {"arccosh", "acosh"}, {"arcsin", "asin"},
      {"arcsinh", "asinh"}, {"arctan", "atan"},  {"arctanh", "atanh"}, {"conjugate", "conj"}};
  for (const auto& [alias, name] : unary_aliases)
    for (const auto& [re, im] : std::vector<std::pair<const char*, const char*>>{{"0.3", "-2"}, {"-inf", "1"}, {"0", "nan"}})
      EXPECT_EQ(ld::unary_complex(alias, re, im), ld::unary_complex(name, re, im)) << alias;
  for (const char* alias : {"true_divide"})
    EXPECT_EQ(ld::binary_complex(alias, "1", "2", "3", "-4"), ld::binary_complex("divide", "1", "2", "3", "-4"));
  for (const char* alias : {"pow", "float_power"})
    EXPECT_EQ(ld::binary_complex(alias, "1", "2", "0.5", "-4"), ld::binary_complex("power", "1", "2", "0.5", "-4"));
}

// Names only the real routines know, other letter cases, and non-arithmetic names.
TEST(LdComplexNames, RefusedNames) {
  for (const char* name : {"fabs", "cbrt", "ceil", "floor", "trunc", "spacing", "deg2rad", "radians", "degrees",
                           "rad2deg", "Sqrt", "EXP", "", "isnan", "invert", "logical_not", "add", "frexp", "modf"})
    EXPECT_FALSE(ld::unary_complex(name, "1", "2").has_value()) << "'" << name << "'";
  for (const char* name : {"remainder", "mod", "floor_divide", "divmod", "fmod", "hypot", "arctan2", "atan2",
                           "copysign", "heaviside", "logaddexp", "logaddexp2", "nextafter", "ldexp", "gcd", "Add",
                           "MULTIPLY", "", "sqrt", "less"})
    EXPECT_FALSE(ld::binary_complex(name, "1", "2", "3", "4").has_value()) << "'" << name << "'";
  char re[64], im[64];
  EXPECT_EQ(quarvel_ld_unary_complex(nullptr, "1", "2", re, sizeof re, im, sizeof im), 0);
  EXPECT_EQ(quarvel_ld_binary_complex(nullptr, "1", "2", "3", "4", re, sizeof re, im, sizeof im), 0);
}

// ---- one operand: exact results and special values -------------------------------

struct UnaryCase {
  const char* op;
  const char* re;
  const char* im;
  const char* expected_re;
  const char* expected_im;
};

// Special values follow the C standard's complex annex where the library
// computes, and the system's own formulas elsewhere; "±" marks a sign the
// standard leaves open, "~" a part the library rounds.
const UnaryCase unary_cases[] = {
    {"absolute", "3", "4", "~5", "0"},
    {"absolute", "-0", "-0", "0", "0"},
    {"absolute", "inf", "nan", "inf", "0"},
    {"absolute", "nan", "-inf", "inf", "0"},
    {"absolute", "nan", "0", "nan", "0"},

    {"acos", "0", "0", HALF_PI, "-0"},
    {"acos", "-0", "nan", HALF_PI, "nan"},
    {"acos", "1", "0", "0", "-0"},
    {"acos", "-inf", "1", PI, "-inf"},
    {"acos", "inf", "1", "0", "-inf"},
    {"acos", "-inf", "inf", THREE_QUARTER_PI, "-inf"},
    {"acos", "inf", "inf", QUARTER_PI, "-inf"},
    {"acos", "inf", "nan", "nan", "±inf"},
    {"acos", "nan", "inf", "nan", "-inf"},
    {"acos", "nan", "nan", "nan", "nan"},

    {"acosh", "0", "0", "0", HALF_PI},
    {"acosh", "0", "-0", "0", "-" HALF_PI},
    {"acosh", "1", "inf", "inf", HALF_PI},
    {"acosh", "-inf", "1", "inf", PI},
    {"acosh", "inf", "1", "inf", "0"},
    {"acosh", "-inf", "inf", "inf", THREE_QUARTER_PI},
    {"acosh", "inf", "nan", "inf", "nan"},
    {"acosh", "nan", "inf", "inf", "nan"},
    {"acosh", "nan", "nan", "nan", "nan"},

    {"asin", "0", "0", "0", "0"},
    {"asin", "-0", "-0", "-0", "-0"},
    {"asin", "inf", "1", HALF_PI, "inf"},
    {"asin", "0", "inf", "0", "inf"},
    {"asin", "-inf", "-inf", "-" QUARTER_PI, "-inf"},
    {"asin", "nan", "nan", "nan", "nan"},

    {"asinh", "0", "0", "0", "0"},
    {"asinh", "-0", "0", "-0", "0"},
    {"asinh", "inf", "1", "inf", "0"},
    {"asinh", "-inf", "-1", "-inf", "-0"},
    {"asinh", "1", "inf", "inf", HALF_PI},
    {"asinh", "inf", "inf", "inf", QUARTER_PI},
    {"asinh", "inf", "nan", "inf", "nan"},
    {"asinh", "nan", "0", "nan", "0"},
    {"asinh", "nan", "nan", "nan", "nan"},

    // Own formula inside the safe range: the pole, the branch cut beyond ±i.
    {"atan", "0", "0", "0", "0"},
    {"atan", "-0", "-0", "-0", "-0"},
    {"atan", "0", "1", "0", "inf"},
    {"atan", "0", "-1", "0", "-inf"},
    {"atan", "1", "0", QUARTER_PI, "0"},
    {"atan", "0", "2", HALF_PI, ATANH_HALF},
    {"atan", "-0", "2", "-" HALF_PI, ATANH_HALF},
    {"atan", "0", "0.5", "0", ATANH_HALF},
    {"atan", "-0", "-0.5", "-0", "-" ATANH_HALF},
    // Beyond the safe range the library computes.
    {"atan", "1e3000", "1", HALF_PI, "0"},
    {"atan", "inf", "1", HALF_PI, "0"},
    {"atan", "-inf", "-1", "-" HALF_PI, "-0"},
    {"atan", "nan", "inf", "nan", "±0"},
    {"atan", "nan", "nan", "nan", "nan"},

    {"atanh", "0", "0", "0", "0"},
    {"atanh", "-0", "-0", "-0", "-0"},
    {"atanh", "1", "0", "inf", "0"},
    {"atanh", "-1", "-0", "-inf", "-0"},
    {"atanh", "2", "0", ATANH_HALF, HALF_PI},
    {"atanh", "2", "-0", ATANH_HALF, "-" HALF_PI},
    {"atanh", "inf", "1", "0", HALF_PI},
    {"atanh", "nan", "inf", "±0", HALF_PI},
    {"atanh", "0", "nan", "0", "nan"},
    {"atanh", "nan", "nan", "nan", "nan"},

    {"cos", "0", "0", "1", "-0"},
    {"cos", "-0", "0", "1", "0"},
    {"cos", "0", "inf", "inf", "-0"},
    {"cos", "inf", "0", "nan", "±0"},
    {"cos", "inf", "inf", "±inf", "nan"},
    {"cos", "nan", "nan", "nan", "nan"},

    {"cosh", "0", "0", "1", "0"},
    {"cosh", "0", "inf", "nan", "±0"},
    {"cosh", "inf", "0", "inf", "0"},
    {"cosh", "inf", "1", "inf", "inf"},
    {"cosh", "inf", "inf", "±inf", "nan"},
    {"cosh", "nan", "0", "nan", "±0"},
    {"cosh", "nan", "1", "nan", "nan"},

    {"exp", "0", "0", "1", "0"},
    {"exp", "-0", "-0", "1", "-0"},
    {"exp", "inf", "0", "inf", "0"},
    {"exp", "-inf", "1", "0", "0"},
    {"exp", "-inf", "inf", "±0", "±0"},
    {"exp", "inf", "inf", "±inf", "nan"},
    {"exp", "0", "inf", "nan", "nan"},
    {"exp", "nan", "0", "nan", "0"},
    {"exp", "nan", "1", "nan", "nan"},

    {"exp2", "0", "0", "1", "0"},
    {"exp2", "1", "0", "~2", "0"},
    {"exp2", "-inf", "0", "±0", "±0"},
    {"exp2", "inf", "0", "inf", "0"},
    {"exp2", "nan", "0", "nan", "0"},

    // A zero imaginary part is kept, so a real infinity stays real.
    {"expm1", "0", "0", "0", "0"},
    {"expm1", "-0", "-0", "-0", "-0"},
    {"expm1", "inf", "0", "inf", "0"},
    {"expm1", "inf", "-0", "inf", "-0"},
    {"expm1", "20000", "0", "inf", "0"},
    {"expm1", "-20000", "-0", "-~1", "-0"},
    {"expm1", "-inf", "0", "-1", "0"},
    {"expm1", "0", "inf", "nan", "nan"},
    {"expm1", "nan", "0", "nan", "0"},
    {"expm1", "nan", "1", "nan", "nan"},

    {"rint", "2.5", "-3.5", "2", "-4"},
    {"rint", "-0.5", "0.5", "-0", "0"},
    {"rint", "inf", "nan", "inf", "nan"},

    {"log", "0", "0", "-inf", "0"},
    {"log", "-0", "0", "-inf", PI},
    {"log", "-1", "-0", "0", "-" PI},
    {"log", "1", "0", "0", "0"},
    {"log", "-inf", "1", "inf", PI},
    {"log", "inf", "1", "inf", "0"},
    {"log", "1", "inf", "inf", HALF_PI},
    {"log", "-inf", "inf", "inf", THREE_QUARTER_PI},
    {"log", "inf", "nan", "inf", "nan"},
    {"log", "nan", "inf", "inf", "nan"},
    {"log", "nan", "1", "nan", "nan"},

    {"log1p", "0", "0", "0", "0"},
    {"log1p", "-1", "0", "-inf", "0"},
    {"log1p", "-1", "-0", "-inf", "-0"},
    {"log1p", "-2", "0", "0", PI},
    {"log1p", "-2", "-0", "0", "-" PI},
    {"log1p", "inf", "1", "inf", "0"},
    {"log1p", "-inf", "1", "inf", PI},
    {"log1p", "0", "inf", "inf", HALF_PI},
    {"log1p", "nan", "0", "nan", "nan"},

    {"log10", "0", "0", "-inf", "0"},
    {"log10", "-0", "0", "-inf", "~1.36437635384184134744"},
    {"log10", "10", "0", "~1", "0"},
    {"log10", "inf", "nan", "inf", "nan"},
    {"log2", "-0", "0", "-inf", "~4.5323601418271938098"},
    {"log2", "8", "0", "~3", "0"},
    {"log2", "nan", "inf", "inf", "nan"},

    {"sin", "0", "0", "0", "0"},
    {"sin", "-0", "-0", "-0", "-0"},
    {"sin", "0", "inf", "0", "inf"},
    {"sin", "inf", "0", "nan", "±0"},
    {"sin", "inf", "inf", "nan", "±inf"},
    {"sin", "nan", "0", "nan", "0"},

    {"sinh", "0", "0", "0", "0"},
    {"sinh", "-inf", "0", "-inf", "0"},
    {"sinh", "inf", "1", "inf", "inf"},
    {"sinh", "0", "inf", "±0", "nan"},
    {"sinh", "inf", "inf", "±inf", "nan"},
    {"sinh", "nan", "0", "nan", "0"},
    {"sinh", "nan", "1", "nan", "nan"},

    {"sqrt", "0", "0", "0", "0"},
    {"sqrt", "-0", "-0", "0", "-0"},
    {"sqrt", "-4", "0", "0", "~2"},
    {"sqrt", "-4", "-0", "0", "-~2"},
    {"sqrt", "-inf", "1", "0", "inf"},
    {"sqrt", "inf", "1", "inf", "0"},
    {"sqrt", "1", "inf", "inf", "inf"},
    {"sqrt", "nan", "inf", "inf", "inf"},
    {"sqrt", "-inf", "nan", "nan", "±inf"},
    {"sqrt", "inf", "nan", "inf", "nan"},
    {"sqrt", "nan", "1", "nan", "nan"},

    {"tan", "0", "0", "0", "0"},
    {"tan", "-0", "-0", "-0", "-0"},
    {"tan", "0", "inf", "0", "1"},
    {"tan", "nan", "inf", "±0", "1"},
    {"tan", "inf", "0", "nan", "±0"},
    {"tan", "nan", "nan", "nan", "nan"},

    {"tanh", "0", "0", "0", "0"},
    {"tanh", "inf", "1", "1", "0"},
    {"tanh", "-inf", "-1", "-1", "-0"},
    {"tanh", "inf", "inf", "1", "±0"},
    {"tanh", "0", "inf", "0", "nan"},
    {"tanh", "nan", "0", "nan", "0"},
    {"tanh", "nan", "1", "nan", "nan"},

    {"reciprocal", "0", "0", "inf", "nan"},
    {"reciprocal", "-0", "0", "inf", "nan"},
    {"reciprocal", "-0", "-0", "inf", "nan"},
    {"reciprocal", "0", "2", "0", "-0.5"},
    {"reciprocal", "4", "0", "0.25", "0"},
    {"reciprocal", "inf", "0", "0", "±0"},
    {"reciprocal", "inf", "nan", "0", "±0"},
    {"reciprocal", "nan", "0", "nan", "nan"},

    {"square", "1", "2", "-3", "4"},
    {"square", "-0", "0", "0", "-0"},
    // Both parts NaN from the textbook product: the runtime recovers the infinity.
    {"square", "inf", "nan", "inf", "nan"},
    {"square", "0", "inf", "-inf", "nan"},
    {"square", "nan", "nan", "nan", "nan"},

    {"positive", "-0", "nan", "-0", "nan"},
    {"negative", "0", "0", "-0", "-0"},
    {"negative", "1", "-inf", "-1", "inf"},
    {"negative", "nan", "-nan", "-nan", "nan"},
    {"conj", "1", "2", "1", "-2"},
    {"conj", "0", "0", "0", "-0"},
    {"conj", "inf", "-nan", "inf", "nan"},

    {"sign", "0", "0", "0", "0"},
    {"sign", "-0", "-0", "0", "0"},
    {"sign", "inf", "1", "1", "0"},
    {"sign", "-inf", "nan", "-1", "0"},
    {"sign", "1", "-inf", "0", "-1"},
    {"sign", "nan", "inf", "0", "1"},
    {"sign", "inf", "-inf", "nan", "nan"},
    {"sign", "nan", "0", "nan", "nan"},
    {"sign", "0x1p-16445", "-0", "1", "-0"},
};

TEST(LdComplexExact, UnaryAndSpecialValues) {
  std::set<std::string> covered;
  for (const auto& c : unary_cases) {
    covered.insert(c.op);
    const std::string context = c.op + "("s + c.re + ", " + c.im + ")";
    auto r = ld::unary_complex(c.op, c.re, c.im);
    ASSERT_TRUE(r.has_value()) << context;
    expect_text(c.expected_re, r->first, context + " real");
    expect_text(c.expected_im, r->second, context + " imag");
  }
  // Every operation (canonical spellings; aliases are checked above).
  EXPECT_EQ(covered.size(), 28u);
}

// Both arc tangents commute exactly with conjugation; atan is odd exactly as
// well (the real part of atanh is computed apart for each sign).
TEST(LdComplexExact, ArcTangentSymmetries) {
  const char* parts[] = {"0", "1e-20", "1e-10", "0.3", "0.5", "0.6", "0.8", "0.999", "0.99999999999", "1",
                         "1.0000001", "2.5", "1e300"};
  auto negated = [](std::string text) { return text.rfind('-', 0) == 0 ? text.substr(1) : "-" + text; };
  for (const char* op : {"atan", "atanh"})
    for (const char* re : parts)
      for (const char* im : parts) {
        const auto z = ld::unary_complex(op, re, im);
        const auto conjugate = ld::unary_complex(op, re, negated(im));
        const auto opposite = ld::unary_complex(op, negated(re), negated(im));
        ASSERT_TRUE(z && conjugate && opposite) << op << "(" << re << ", " << im << ")";
        if (std::isnan(value_of(z->first)) || std::isnan(value_of(z->second))) continue;
        const std::string context = op + "("s + re + ", " + im + ")";
        EXPECT_EQ(*conjugate, (ld::TextPair{z->first, negated(z->second)})) << context;
        if (op == "atan"s) {
          EXPECT_EQ(*opposite, (ld::TextPair{negated(z->first), negated(z->second)})) << context;
        }
      }
}

// Away from the unit circle (|1 - re² - im²| at least 1/2) the second atan2
// argument of both arc tangents is the plain (1 - re²) - im², and results
// keep its bits; only closer in is it evaluated without cancellation.
TEST(LdComplexExact, ArcTangentsKeepThePlainTermAwayFromTheUnitCircle) {
  const long double grid[] = {0.0L, -0.0L, 1e-20L, -3e-9L, 0.1L,  -0.3L,  0.5L,    0.7071067811865475244L, -0.75L,
                              1.0L, 1.22L, -1.5L,  2.0L,   -3.5L, 1e5L,   -1e30L, 1e300L, 1e2465L};
  std::vector<std::pair<long double, long double>> points;
  for (long double re : grid)
    for (long double im : grid) points.emplace_back(re, im);
  // Parts near the circle's scale, and parts of any size.
  std::mt19937_64 random(20261206);
  std::uniform_real_distribution<double> unit(-1.6, 1.6), exponent(-30.0, 30.0);
  for (int i = 0; i < 400; ++i) {
    points.emplace_back(unit(random), unit(random) * (1.0L + 0x1p-40L * unit(random)));
    points.emplace_back(::powl(10.0L, exponent(random)) * (unit(random) < 0 ? -1 : 1), unit(random));
  }
  auto text = [](long double x) {
    char out[64];
    std::snprintf(out, sizeof out, "%.21Lg", x);
    return std::string(out);
  };
  auto same_bits = [](long double got, long double want) {
    return got == want && std::signbit(got) == std::signbit(want);
  };
  int checked = 0;
  for (const auto& [re, im] : points) {
    const long double term = (1.0L - re * re) - im * im;
    if (::fabsl(term) < 0.5L) continue;
    const std::string context = "(" + text(re) + ", " + text(im) + ")";
    const auto atan = ld::unary_complex("atan", text(re), text(im));
    const auto atanh = ld::unary_complex("atanh", text(re), text(im));
    ASSERT_TRUE(atan && atanh) << context;
    EXPECT_TRUE(same_bits(value_of(atan->first), 0.5L * ::atan2l(2.0L * re, term))) << "atan" << context;
    EXPECT_TRUE(same_bits(value_of(atanh->second), 0.5L * ::atan2l(2.0L * im, term))) << "atanh" << context;
    ++checked;
  }
  EXPECT_GT(checked, 600) << "of " << points.size();
}

// sign(z) has unit length (to library_ulps: |z| and hypotl are the library's)
// and the direction of z also where |z| overflows or is subnormal (its
// rounding there would skew the quotients).
TEST(LdComplexExact, SignKeepsUnitLengthAtTheRangeEnds) {
  const std::pair<const char*, const char*> cases[] = {{"0x1p-16445", "0x1p-16445"},
                                                       {"-0x5p-16440", "0x3p-16441"},
                                                       {"1e4932", "1e4931"},
                                                       {"0x1.fffp16383", "-0x1.fffp16383"}};
  for (const auto& [re, im] : cases) {
    const auto r = ld::unary_complex("sign", re, im);
    ASSERT_TRUE(r.has_value()) << re << ", " << im;
    const long double s_re = value_of(r->first), s_im = value_of(r->second);
    EXPECT_LE(ld_test::ulps_apart(::hypotl(s_re, s_im), 1.0L), ld_test::library_ulps)
        << re << ", " << im << " -> " << r->first << ", " << r->second;
    EXPECT_LE(::fabsl(s_re / s_im / (value_of(re) / value_of(im)) - 1.0L), 0x1p-61L) << re << ", " << im;
  }
}

// ---- two operands --------------------------------------------------------------

struct BinaryCase {
  const char* op;
  const char* re1;
  const char* im1;
  const char* re2;
  const char* im2;
  const char* expected_re;
  const char* expected_im;
};

const BinaryCase binary_cases[] = {
    {"add", "1.5", "-2", "0.25", "3", "1.75", "1"},
    {"add", "-0", "-0", "-0", "-0", "-0", "-0"},
    {"add", "-0", "0", "0", "-0", "0", "0"},
    {"add", "inf", "0", "-inf", "0", "nan", "0"},
    {"add", "nan", "1", "1", "1", "nan", "2"},
    {"subtract", "1", "2", "3", "5", "-2", "-3"},
    {"subtract", "-0", "0", "0", "0", "-0", "0"},
    {"subtract", "inf", "1", "inf", "1", "nan", "0"},

    {"multiply", "1", "2", "3", "4", "-5", "10"},
    {"multiply", "-0", "0", "1", "0", "-0", "0"},
    // Textbook product (nan, nan) is recomputed so infinities survive.
    {"multiply", "inf", "inf", "1", "0", "inf", "inf"},
    {"multiply", "inf", "nan", "1", "0", "inf", "nan"},
    {"multiply", "0", "0", "inf", "0", "nan", "nan"},
    {"multiply", "nan", "nan", "1", "1", "nan", "nan"},

    {"divide", "1", "-2", "0", "0", "inf", "-inf"},
    {"divide", "-1", "2", "-0", "-0", "-inf", "inf"},
    {"divide", "0", "2", "0", "0", "nan", "inf"},
    {"divide", "0", "0", "0", "0", "nan", "nan"},
    // A NaN part of the dividend stays NaN over a zero divisor.
    {"divide", "nan", "1", "0", "0", "nan", "inf"},
    {"divide", "-inf", "nan", "0", "0", "-inf", "nan"},
    // Scaled division: no overflow or underflow of c² + d².
    {"divide", "1", "0", "0x1p16000", "0x1p16000", "1.6559201109727507857e-4817", "-1.6559201109727507857e-4817"},
    {"divide", "1", "0", "0x1p-16000", "0x1p-16000", "1.50973466861961378977e+4816", "-1.50973466861961378977e+4816"},
    {"divide", "inf", "1", "1", "1", "inf", "-inf"},
    {"divide", "1", "0", "inf", "inf", "0", "-0"},
    {"divide", "nan", "0", "1", "0", "nan", "nan"},

    {"power", "0", "0", "-1", "5", "nan", "nan"},
    {"power", "-0", "-0", "-0.5", "0", "nan", "nan"},
    {"power", "0", "0", "2", "0", "0", "±0"},
    // x ** 0 is 1 whatever x, as for the other complex types.
    {"power", "0", "0", "0", "0", "1", "0"},
    {"power", "nan", "0", "0", "-0", "1", "0"},
    {"power", "inf", "1", "0", "0", "1", "0"},
    {"power", "4", "0", "0.5", "0", "~2", "0"},
    {"power", "nan", "0", "1", "0", "nan", "nan"},

    {"maximum", "1", "5", "1", "2", "1", "5"},
    {"maximum", "1", "2", "1", "5", "1", "5"},
    {"maximum", "1", "2", "3", "-5", "3", "-5"},
    {"maximum", "nan", "0", "1", "1", "nan", "0"},
    {"maximum", "1", "1", "0", "nan", "0", "nan"},
    {"maximum", "1", "nan", "nan", "1", "1", "nan"},
    {"maximum", "-0", "0", "0", "-0", "-0", "0"},
    {"minimum", "1", "5", "1", "2", "1", "2"},
    {"minimum", "nan", "0", "1", "1", "nan", "0"},
    {"minimum", "1", "1", "0", "nan", "0", "nan"},
    {"minimum", "0", "-0", "-0", "0", "0", "-0"},
    {"minimum", "-inf", "0", "1", "1", "-inf", "0"},
    {"fmax", "nan", "0", "1", "1", "1", "1"},
    {"fmax", "1", "1", "0", "nan", "1", "1"},
    {"fmax", "1", "nan", "nan", "1", "1", "nan"},
    {"fmax", "1", "2", "1", "3", "1", "3"},
    {"fmax", "-0", "-0", "0", "0", "-0", "-0"},
    {"fmin", "1", "nan", "nan", "1", "1", "nan"},
    {"fmin", "nan", "0", "1", "1", "1", "1"},
    {"fmin", "1", "2", "1", "3", "1", "2"},
    {"fmin", "2", "-inf", "1", "inf", "1", "inf"},
};

TEST(LdComplexExact, BinaryAndSpecialValues) {
  std::set<std::string> covered;
  for (const auto& c : binary_cases) {
    covered.insert(c.op);
    const std::string context = c.op + "(("s + c.re1 + ", " + c.im1 + "), (" + c.re2 + ", " + c.im2 + "))";
    auto r = ld::binary_complex(c.op, c.re1, c.im1, c.re2, c.im2);
    ASSERT_TRUE(r.has_value()) << context;
    expect_text(c.expected_re, r->first, context + " real");
    expect_text(c.expected_im, r->second, context + " imag");
  }
  EXPECT_EQ(covered.size(), 9u);
}

// ---- transcendental results against mpmath --------------------------------------------

// Each part within library_ulps of the correctly rounded part: the library's
// complex functions and the own formulas combine several rounded steps.
// cpowl computes exp(y·log x), whose argument carries the rounding error of
// y·log x scaled by its size, so power is measured against the modulus of the
// result instead, allowing 64 of its units (33 seen).
constexpr long double max_power_ulps = 64;

long double unit_of(long double x) {
  x = ::fabsl(x);
  return ::nextafterl(x, INFINITY) - x;
}

void expect_close(const ld_test::ReferenceCase& c, const ld::TextPair& r) {
  const long double re = value_of(r.first), im = value_of(r.second);
  const long double want_re = value_of(c.expected[0]), want_im = value_of(c.expected[1]);
  if (c.op == "power") {
    const long double unit = unit_of(::hypotl(want_re, want_im));
    EXPECT_LE(::fabsl(re - want_re) / unit, max_power_ulps) << c.describe() << " real = " << r.first;
    EXPECT_LE(::fabsl(im - want_im) / unit, max_power_ulps) << c.describe() << " imag = " << r.second;
    return;
  }
  EXPECT_LE(ld_test::ulps_apart(re, want_re), ld_test::library_ulps)
      << c.describe() << " real = " << r.first << ", expected " << c.expected[0];
  EXPECT_LE(ld_test::ulps_apart(im, want_im), ld_test::library_ulps)
      << c.describe() << " imag = " << r.second << ", expected " << c.expected[1];
}

TEST(LdComplexReference, Unary) {
  const auto cases = ld_test::reference_cases("unary_complex", 2);
  ASSERT_GT(cases.size(), 100u);
  std::set<std::string> covered;
  for (const auto& c : cases) {
    covered.insert(c.op);
    auto r = ld::unary_complex(c.op, c.inputs[0], c.inputs[1]);
    ASSERT_TRUE(r.has_value()) << c.describe();
    expect_close(c, *r);
  }
  EXPECT_EQ(covered.size(), 24u);
}

TEST(LdComplexReference, Binary) {
  const auto cases = ld_test::reference_cases("binary_complex", 4);
  ASSERT_GE(cases.size(), 12u);
  for (const auto& c : cases) {
    auto r = ld::binary_complex(c.op, c.inputs[0], c.inputs[1], c.inputs[2], c.inputs[3]);
    ASSERT_TRUE(r.has_value()) << c.describe();
    expect_close(c, *r);
  }
}

// ---- bad input ---------------------------------------------------------------------------

TEST(LdComplexBadInput, MalformedTextGivesNoResult) {
  for (const char* bad : {"", " ", "1 ", "1i", "1+2j", "(1,2)", "1,5", "x"}) {
    EXPECT_FALSE(ld::unary_complex("exp", bad, "0").has_value()) << "'" << bad << "'";
    EXPECT_FALSE(ld::unary_complex("exp", "0", bad).has_value()) << "'" << bad << "'";
    for (int position = 0; position < 4; ++position) {
      const char* parts[4] = {"1", "2", "3", "4"};
      parts[position] = bad;
      EXPECT_FALSE(ld::binary_complex("add", parts[0], parts[1], parts[2], parts[3]).has_value())
          << "'" << bad << "' at " << position;
    }
  }
  EXPECT_EQ(ld::unary_complex("negative", " 1.5", "\t-0x1p1"), (ld::TextPair{"-1.5", "2"}));
}

TEST(LdComplexBadInput, NulBytesGiveNoResult) {
  const std::string with_nul("1\0" "2", 3);
  EXPECT_FALSE(ld::unary_complex("exp", with_nul, "0").has_value());
  EXPECT_FALSE(ld::unary_complex("exp", "0", with_nul).has_value());
  EXPECT_FALSE(ld::unary_complex(std::string("exp\0", 4), "0", "0").has_value());
  EXPECT_FALSE(ld::binary_complex("add", "1", "2", "3", with_nul).has_value());
  EXPECT_FALSE(ld::binary_complex(std::string("add\0", 4), "1", "2", "3", "4").has_value());
}

TEST(LdComplexBadInput, NullTextsFail) {
  char re[64], im[64];
  EXPECT_EQ(quarvel_ld_unary_complex("exp", nullptr, "0", re, sizeof re, im, sizeof im), 0);
  EXPECT_EQ(quarvel_ld_unary_complex("exp", "0", nullptr, re, sizeof re, im, sizeof im), 0);
  EXPECT_EQ(quarvel_ld_binary_complex("add", "1", "2", nullptr, "4", re, sizeof re, im, sizeof im), 0);
}

TEST(LdComplexBadInput, ShortBuffers) {
  // Real part first; a failing real part leaves the imaginary buffer untouched.
  auto re = buffer(2), im = buffer(3);
  im[0] = 'x';
  EXPECT_EQ(quarvel_ld_unary_complex("conj", "-1.5", "2.5", re.get(), 2, im.get(), 3), 0);
  EXPECT_STREQ(re.get(), "-");
  EXPECT_EQ(im[0], 'x');
  auto re5 = buffer(5);
  EXPECT_EQ(quarvel_ld_unary_complex("conj", "-1.5", "2.5", re5.get(), 5, im.get(), 3), 0);
  EXPECT_STREQ(re5.get(), "-1.5");
  EXPECT_STREQ(im.get(), "-2");
  auto im5 = buffer(5);
  EXPECT_EQ(quarvel_ld_unary_complex("conj", "-1.5", "2.5", re5.get(), 5, im5.get(), 5), 1);
  EXPECT_STREQ(im5.get(), "-2.5");
  EXPECT_EQ(quarvel_ld_unary_complex("conj", "-1.5", "2.5", re5.get(), 5, nullptr, 5), 0);
  EXPECT_EQ(quarvel_ld_unary_complex("conj", "-1.5", "2.5", re5.get(), 0, im5.get(), 5), 0);

  auto sum_re = buffer(2), sum_im = buffer(1);
  EXPECT_EQ(quarvel_ld_binary_complex("add", "1", "2", "3", "4", sum_re.get(), 2, sum_im.get(), 1), 0);
  EXPECT_STREQ(sum_re.get(), "4");
  EXPECT_STREQ(sum_im.get(), "");
  auto sum_im2 = buffer(2);
  EXPECT_EQ(quarvel_ld_binary_complex("add", "1", "2", "3", "4", sum_re.get(), 2, sum_im2.get(), 2), 1);
  EXPECT_STREQ(sum_im2.get(), "6");
  EXPECT_EQ(quarvel_ld_binary_complex("add", "1", "2", "3", "4", nullptr, 2, sum_im2.get(), 2), 0);
}

}  // namespace
