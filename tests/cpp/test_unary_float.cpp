// One-input float and complex functions: precision choice, spacing, complex
// routines against CPython's cmath table; and the dtype-precision neighbour step.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "kernels/next_after.h"
#include "storage/float16.h"

namespace {

using quarvel_storage::DType;
using quarvel_storage::half_bits_to_float;
using quarvel_storage::ufunc::next_after_dtype;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits64(double v) { return std::bit_cast<std::uint64_t>(v); }

// ---- next_after_dtype ------------------------------------------------------

TEST(NextAfterDtype, Float64MatchesCNextafter) {
  const double samples[] = {0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, 1.7976931348623157e308, inf, -inf, 0.1, -3.5e-310};
  for (double a : samples)
    for (double b : samples) {
      SCOPED_TRACE(testing::Message() << a << " -> " << b);
      EXPECT_EQ(bits64(next_after_dtype(DType::Float64, a, b)), bits64(std::nextafter(a, b)));
    }
  EXPECT_TRUE(std::isnan(next_after_dtype(DType::Float64, nan, 1.0)));
  EXPECT_TRUE(std::isnan(next_after_dtype(DType::Float64, 1.0, nan)));
  // Any dtype other than float16 and float32 steps in double precision.
  EXPECT_EQ(next_after_dtype(DType::LongDouble, 1.0, 2.0), std::nextafter(1.0, 2.0));
}

TEST(NextAfterDtype, Float32MatchesCNextafterf) {
  const float samples[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-45f, -1e-45f, 3.4028235e38f, INFINITY, -INFINITY, 0.1f};
  for (float a : samples)
    for (float b : samples) {
      SCOPED_TRACE(testing::Message() << a << " -> " << b);
      const double got = next_after_dtype(DType::Float32, a, b);
      EXPECT_EQ(bits64(got), bits64(static_cast<double>(std::nextafter(a, b))));
    }
  // Operands are rounded to single precision first: 0.1 is not a float.
  EXPECT_EQ(next_after_dtype(DType::Float32, 0.1, 1.0), static_cast<double>(std::nextafter(0.1f, 1.0f)));
}

TEST(NextAfterDtype, Float16Steps) {
  struct Case {
    double a, b, want;
  };
  const Case cases[] = {
      {1.0, 2.0, 1.0009765625},
      {1.0, 0.0, 1.0 - 0x1p-11},
      {-1.0, -2.0, -1.0009765625},
      {65504.0, inf, inf},
      {inf, 0.0, 65504.0},
      {0.0, -1.0, -0x1p-24},
      {-0.0, 1.0, 0x1p-24},
      {0x1p-14, 0.0, 0x1p-14 - 0x1p-24},
      {0x1p-24, -1.0, 0.0},
      {3.0, 3.0, 3.0},
      // 1.0001 rounds to the half 1.0 before stepping.
      {1.0001, 5.0, 1.0009765625},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " -> " << c.b);
    EXPECT_EQ(bits64(next_after_dtype(DType::Float16, c.a, c.b)), bits64(c.want));
  }
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, -0.0, 0.0)), bits64(0.0));
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, 0.0, -0.0)), bits64(-0.0));
  const double quiet = half_bits_to_float(0x7E00);
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, -nan, 1.0)), bits64(quiet));
  EXPECT_EQ(bits64(next_after_dtype(DType::Float16, 1.0, nan)), bits64(quiet));
}

}  // namespace
