// The Python layer's plain-C++ tables: float text of scalar reprs, the
// storage-error mapping and the cast overflow thresholds.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "python/error_tables.h"
#include "python/float_text.h"
#include "storage/float16.h"

using namespace quarvel_storage;
using quarvel_python::cast_overflows;
using quarvel_python::ExceptionClass;
using quarvel_python::float_text;
using quarvel_python::mapped_storage_error;

namespace {

TEST(FloatText, Layout) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},           {0.0, "0.0"},           {-0.0, "-0.0"},
      {1e16, "1e16"},         {1e15, "1000000000000000.0"}, {0.0001, "0.0001"},
      {0.00001, "1e-5"},      {1.5e-5, "1.5e-5"},     {-2.5e20, "-2.5e20"},
      {123456789.0, "123456789.0"}, {0.1, "0.1"},     {1.5, "1.5"},
      {9999999999999998.0, "9999999999999998.0"},     {0.00012345, "0.00012345"},
      {5e-324, "5e-324"},     {1.7976931348623157e308, "1.7976931348623157e308"},
      {-1.0, "-1.0"},         {100.0, "100.0"},       {12.5, "12.5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (auto [value, text] : cases) EXPECT_EQ(float_text(value), text) << text;
}

TEST(FloatText, SinglePrecisionDigits) {
  EXPECT_EQ(float_text(0.1f), "0.1");
  EXPECT_EQ(float_text(3.4028235e38f), "3.4028235e38");
  EXPECT_EQ(float_text(16777216.0f), "16777216.0");
  EXPECT_EQ(float_text(1e16f), "1e16");
  EXPECT_EQ(float_text(1.4e-45f), "1e-45");
  // A stored float16 0.1 shows the shortest single-precision text of its value.
  EXPECT_EQ(float_text(round_to_half(0.1)), "0.099975586");
  EXPECT_EQ(float_text(round_to_half(65504.0)), "65504.0");
}

// Every float16 value reads back exactly from its text.
TEST(FloatText, EveryHalfRoundTrips) {
  for (unsigned bits = 0; bits < 0x10000; ++bits) {
    const float value = half_bits_to_float(static_cast<std::uint16_t>(bits));
    if (std::isnan(value)) continue;
    const std::string text = float_text(value);
    if (std::isinf(value)) continue;
    const float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << bits << " " << text;
  }
}

TEST(FloatText, RandomDoublesRoundTrip) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    const std::string text = float_text(value);
    const double back = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&back, &value, sizeof value), 0) << text;
  }
}

TEST(StorageErrorMap, EveryKind) {
  struct Case {
    StorageError error;
    ExceptionClass exception;
    const char* text;
  };
  const Case cases[] = {
      {StorageError(ErrorKind::LayoutOverflow), ExceptionClass::ValueError,
       "array shape or byte strides exceed supported limits"},
      {StorageError(ErrorKind::AllocationFailed), ExceptionClass::MemoryError, "array allocation failed"},
      {StorageError(ErrorKind::InvalidLayout), ExceptionClass::ValueError, "array view has an invalid layout"},
      {StorageError(ErrorKind::CannotConvert), ExceptionClass::ValueError,
       "scalar cannot be converted to the requested dtype"},
      {StorageError(ErrorKind::OutOfRange), ExceptionClass::OverflowError,
       "scalar value is outside the requested dtype range"},
      {StorageError(ErrorKind::InvalidAxisPermutation), ExceptionClass::IndexError, "invalid axis permutation"},
      {StorageError(ErrorKind::InvalidOrder), ExceptionClass::IndexError, "order must be one of C, F, A, or K"},
      {StorageError(ErrorKind::InvalidAdvancedIndex), ExceptionClass::IndexError, "invalid advanced index array"},
      {StorageError::index_out_of_bounds(-7, 1, 3), ExceptionClass::IndexError,
       "index -7 is out of bounds for axis 1 with size 3"},
      {StorageError::too_many_indices(2, 3), ExceptionClass::IndexError,
       "too many indices for array: array is 2-dimensional, but 3 were indexed"},
      {StorageError::wrong_index_count(1, 2), ExceptionClass::IndexError,
       "incorrect number of indices: got 1, expected 2"},
      {StorageError(ErrorKind::DTypeMismatch), ExceptionClass::TypeError, "source and destination dtypes must match"},
      {StorageError(ErrorKind::ShapeMismatch), ExceptionClass::ValueError,
       "source and destination shapes must match exactly"},
      {StorageError::broadcast_mismatch({}, {4}), ExceptionClass::ValueError,
       "could not broadcast input array from shape [] into shape [4]"},
      {StorageError(ErrorKind::LockPoisoned), ExceptionClass::RuntimeError, "array storage lock was poisoned"},
  };
  static_assert(std::size(cases) == error_kind_count);
  for (const Case& c : cases) {
    const auto mapped = mapped_storage_error(c.error);
    EXPECT_EQ(mapped.exception, c.exception) << c.text;
    EXPECT_EQ(mapped.text, c.text);
  }
}

TEST(CastOverflow, Float16Threshold) {
  EXPECT_FALSE(cast_overflows(Scalar(65519.0), DType::Float16));
  EXPECT_FALSE(cast_overflows(Scalar(std::nextafter(65520.0, 0.0)), DType::Float16));
  EXPECT_TRUE(cast_overflows(Scalar(65520.0), DType::Float16));
  EXPECT_TRUE(cast_overflows(Scalar(-65520.0), DType::Float16));
  EXPECT_TRUE(cast_overflows(Scalar(std::int64_t{70000}), DType::Float16));
  EXPECT_FALSE(cast_overflows(Scalar(std::numeric_limits<double>::infinity()), DType::Float16));
  EXPECT_FALSE(cast_overflows(Scalar(std::numeric_limits<double>::quiet_NaN()), DType::Float16));
  EXPECT_TRUE(cast_overflows(Scalar::long_double("1e5"), DType::Float16));
  EXPECT_FALSE(cast_overflows(Scalar::long_double("not a number"), DType::Float16));
}

TEST(CastOverflow, Float32AndComplex64) {
  const double threshold = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
  EXPECT_EQ(threshold, 3.4028235677973366e38);
  EXPECT_FALSE(cast_overflows(Scalar(3.4028235e38), DType::Float32));
  EXPECT_FALSE(cast_overflows(Scalar(std::nextafter(threshold, 0.0)), DType::Float32));
  EXPECT_TRUE(cast_overflows(Scalar(threshold), DType::Float32));
  EXPECT_TRUE(cast_overflows(Scalar(3.5e38), DType::Float32));
  EXPECT_TRUE(cast_overflows(Scalar(-3.5e38), DType::Complex64));
  const Scalar big_imaginary(std::complex<double>(1.0, 4e38));
  EXPECT_TRUE(cast_overflows(big_imaginary, DType::Complex64));
  EXPECT_FALSE(cast_overflows(big_imaginary, DType::Float32));
  EXPECT_FALSE(cast_overflows(Scalar(1e300), DType::Float64));
  EXPECT_FALSE(cast_overflows(Scalar(1e300), DType::Int32));
  EXPECT_FALSE(cast_overflows(Scalar(1e300), DType::Complex128));
}

}  // namespace
