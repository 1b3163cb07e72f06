#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "storage/float16.h"

using namespace quarvel_storage;

namespace {

//   binary16:  s eeeee mmmmmmmmmm      value (-1)^s * (1024 + m) * 2^(e - 25), or m * 2^-24 when e == 0
double half_value_from_fields(std::uint16_t bits) {
  const int e = (bits >> 10) & 0x1F;
  const int m = bits & 0x3FF;
  const double magnitude = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return (bits & 0x8000) ? -magnitude : magnitude;
}

// The next step above the largest finite half, where the infinity rounding begins.
constexpr double half_overflow_step = 65536.0;

double positive_value(std::uint16_t bits) { return bits == 0x7C00 ? half_overflow_step : half_value_from_fields(bits); }

// Oracle: the nearest half by exact comparisons. Positive finite halves grow
// with their bit patterns; 2|x| and lo + hi are exact doubles, so comparing them
// decides the rounding without any rounding of its own.
std::uint16_t nearest_half_bits(double x) {
  const std::uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  const double a = std::fabs(x);
  if (a >= half_overflow_step) return sign | 0x7C00;
  std::uint16_t lo = 0, hi = 0x7C00;  // value(lo) <= a < value(hi)
  while (hi - lo > 1) {
    const std::uint16_t mid = static_cast<std::uint16_t>((lo + hi) / 2);
    (positive_value(mid) <= a ? lo : hi) = mid;
  }
  const double twice = 2 * a, sum = positive_value(lo) + positive_value(hi);
  std::uint16_t k = twice < sum ? lo : (twice > sum ? hi : ((lo & 1) ? hi : lo));
  return sign | k;
}

bool is_nan_bits(std::uint16_t bits) { return (bits & 0x7C00) == 0x7C00 && (bits & 0x3FF) != 0; }

TEST(Float16, EveryBitPatternToFloatAndBack) {
  for (std::uint32_t b = 0; b <= 0xFFFF; ++b) {
    const std::uint16_t bits = static_cast<std::uint16_t>(b);
    const float f = half_bits_to_float(bits);
    EXPECT_EQ(std::signbit(f), (bits & 0x8000) != 0) << std::hex << b;
    if (is_nan_bits(bits)) {
      ASSERT_TRUE(std::isnan(f)) << std::hex << b;
      // The payload sits in the top mantissa bits of the float.
      EXPECT_EQ((std::bit_cast<std::uint32_t>(f) >> 13) & 0x3FF, bits & 0x3FFu) << std::hex << b;
      // Back to half: still NaN, same sign and payload, made quiet.
      EXPECT_EQ(float_to_half_bits(f), bits | 0x200) << std::hex << b;
      continue;
    }
    const double infinity = (bits & 0x8000) ? -INFINITY : INFINITY;
    ASSERT_EQ(static_cast<double>(f), (bits & 0x7FFF) == 0x7C00 ? infinity : half_value_from_fields(bits)) << std::hex << b;
    ASSERT_EQ(float_to_half_bits(f), bits) << std::hex << b;
    ASSERT_EQ(double_to_half_bits(f), bits) << std::hex << b;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(round_to_half(f)), std::bit_cast<std::uint32_t>(f)) << std::hex << b;
  }
}

// Every midpoint between neighbouring halves is a tie and goes to the even
// pattern; the doubles just beside it go to the nearer neighbour, also where
// rounding to single first would land on the tie (0x7C00 is infinity, so the
// last tie is the overflow threshold 65520).
TEST(Float16, DoublesAtAndBesideTies) {
  for (std::uint16_t k = 0; k < 0x7C00; ++k) {
    const double mid = (positive_value(k) + positive_value(static_cast<std::uint16_t>(k + 1))) / 2;
    for (const std::uint16_t sign : {0, 0x8000}) {
      const double x = sign ? -mid : mid;
      ASSERT_EQ(double_to_half_bits(x), sign | ((k & 1) ? k + 1 : k)) << x;
      ASSERT_EQ(double_to_half_bits(std::nextafter(x, 0.0)), sign | k) << x;
      ASSERT_EQ(double_to_half_bits(std::nextafter(x, 2 * x)), sign | (k + 1)) << x;
    }
  }
}

TEST(Float16, RandomFloatsAndDoublesMatchOracle) {
  std::mt19937_64 random(16);
  std::uniform_real_distribution<double> exponent(-30.0, 17.0);
  // Floats between the halves (doubles there are held tie by tie above).
  for (int i = 0; i < 200000; ++i) {
    const float f = static_cast<float>(std::exp2(exponent(random))) * (i & 1 ? -1.0f : 1.0f);
    ASSERT_EQ(float_to_half_bits(f), nearest_half_bits(f)) << std::hexfloat << f;
  }
  // Raw bit patterns cover the far ends of the double range.
  for (int i = 0; i < 100000; ++i) {
    const double x = std::bit_cast<double>(random());
    if (std::isnan(x)) continue;
    ASSERT_EQ(double_to_half_bits(x), nearest_half_bits(x)) << std::hexfloat << x;
  }
}

// ---- the branch-free and many-element forms against the field-by-field ones ----

// Half to float field by field: the bits the branch-free form must give.
//   binary16  s eeeee mmmmmmmmmm  ->  binary32  s eeeeeeee mmmmmmmmmm0000000000000
std::uint32_t float_bits_by_fields(std::uint16_t bits) {
  const std::uint32_t sign = (bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1Fu, mantissa = bits & 0x3FFu;
  if (exponent == 0x1F) return sign | 0x7F800000u | (mantissa << 13);  // a signalling NaN stays one
  if (exponent != 0) return sign | ((exponent + 112u) << 23) | (mantissa << 13);
  return sign | std::bit_cast<std::uint32_t>(std::ldexp(static_cast<float>(mantissa), -24));
}

// Float to half by the oracle above, NaNs quiet with their top payload bits.
std::uint16_t half_bits_by_oracle(float f) {
  const std::uint32_t w = std::bit_cast<std::uint32_t>(f);
  if (std::isnan(f)) return static_cast<std::uint16_t>(((w >> 16) & 0x8000u) | 0x7E00u | ((w >> 13) & 0x3FFu));
  return nearest_half_bits(f);
}

TEST(Float16, EveryPatternToFloatOneAndManyAtATime) {
  std::vector<std::uint16_t> bits(0x10000);
  for (std::uint32_t b = 0; b <= 0xFFFF; ++b) bits[b] = static_cast<std::uint16_t>(b);
  std::vector<float> many(bits.size());
  // An odd count and an odd start, so both the groups of eight and the rest run.
  halves_to_floats(bits.data() + 3, many.data() + 3, bits.size() - 3);
  halves_to_floats(bits.data(), many.data(), 3);
  for (std::uint32_t b = 0; b <= 0xFFFF; ++b) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(half_bits_to_float(bits[b])), float_bits_by_fields(bits[b])) << std::hex << b;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(many[b]), float_bits_by_fields(bits[b])) << std::hex << b;
  }
}

// Every float whose low 13 bits (those a normal half drops) sit at or beside a
// rounding boundary, and a random low part, for every value of the top 19 bits.
TEST(Float16, FloatsAtRoundingBoundariesOneAndManyAtATime) {
  std::mt19937 random(7);
  std::vector<float> values;
  for (std::uint32_t top = 0; top < (1u << 19); ++top)
    for (std::uint32_t low : {0x0000u, 0x0001u, 0x0FFFu, 0x1000u, 0x1001u, 0x1FFFu, static_cast<std::uint32_t>(random() & 0x1FFFu)})
      values.push_back(std::bit_cast<float>(top << 13 | low));
  std::vector<std::uint16_t> many(values.size());
  floats_to_halves(values.data(), many.data(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint16_t want = half_bits_by_oracle(values[i]);
    ASSERT_EQ(float_to_half_bits(values[i]), want) << std::hexfloat << values[i];
    ASSERT_EQ(many[i], want) << std::hexfloat << values[i];
  }
}

// Doubles: round to odd in single precision must leave the one rounding to
// half exact, at ties, beside them and far outside the half range.
TEST(Float16, DoublesManyAtATimeMatchOneAtATime) {
  std::mt19937_64 random(23);
  std::vector<double> values;
  for (std::uint16_t k = 0; k < 0x7C00; k += 3) {
    const double mid = (positive_value(k) + positive_value(static_cast<std::uint16_t>(k + 1))) / 2;
    for (double x : {mid, -mid}) values.insert(values.end(), {x, std::nextafter(x, 0.0), std::nextafter(x, 2 * x)});
  }
  for (int i = 0; i < 100000; ++i) values.push_back(std::bit_cast<double>(random()));
  values.insert(values.end(), {0x1p-25, -0x1p-25, 0x1.0000000000001p-25, 0x1p-149, 0x1p-1074, 1e300, -INFINITY,
                               std::bit_cast<double>(0x7FF0000000000001ull), std::bit_cast<double>(0xFFFDEADBEEF00000ull)});
  std::vector<std::uint16_t> many(values.size());
  doubles_to_halves(values.data(), many.data(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    const std::uint64_t w = std::bit_cast<std::uint64_t>(x);
    const std::uint16_t want =
        std::isnan(x) ? static_cast<std::uint16_t>(((w >> 48) & 0x8000u) | 0x7E00u | ((w >> 42) & 0x3FFu))
                      : nearest_half_bits(x);
    ASSERT_EQ(double_to_half_bits(x), want) << std::hexfloat << x;
    ASSERT_EQ(many[i], want) << std::hexfloat << x;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(round_to_half(x)), float_bits_by_fields(want)) << std::hexfloat << x;
  }
}

}  // namespace
