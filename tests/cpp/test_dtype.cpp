#include <gtest/gtest.h>

#include "storage/dtype.h"
#include "storage/storage_error.h"

using namespace quarvel_storage;

namespace {

// The published promotion table, row a, column b, by code.
constexpr int expected_promotion[16][16] = {
    { 0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15},
    { 1,  1,  3,  3,  5,  5,  7,  7, 11,  9, 10, 11, 12, 13, 14, 15},
    { 2,  3,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14, 15},
    { 3,  3,  3,  3,  5,  5,  7,  7, 11, 10, 10, 11, 12, 13, 14, 15},
    { 4,  5,  4,  5,  4,  5,  6,  7,  8, 10, 10, 11, 12, 13, 14, 15},
    { 5,  5,  5,  5,  5,  5,  7,  7, 11, 11, 11, 11, 13, 13, 14, 15},
    { 6,  7,  6,  7,  6,  7,  6,  7,  8, 11, 11, 11, 13, 13, 14, 15},
    { 7,  7,  7,  7,  7,  7,  7,  7, 11, 11, 11, 11, 13, 13, 14, 15},
    { 8, 11,  8, 11,  8, 11,  8, 11,  8, 11, 11, 11, 13, 13, 14, 15},
    { 9,  9,  9, 10, 10, 11, 11, 11, 11,  9, 10, 11, 12, 13, 14, 15},
    {10, 10, 10, 10, 10, 11, 11, 11, 11, 10, 10, 11, 12, 13, 14, 15},
    {11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 13, 13, 14, 15},
    {12, 12, 12, 12, 12, 13, 13, 13, 13, 12, 12, 13, 12, 13, 15, 15},
    {13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 13, 15, 15},
    {14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 15, 15, 14, 15},
    {15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15}
};

TEST(Promotion, EveryCellMatchesTable) {
  for (int a = 0; a < 16; ++a)
    for (int b = 0; b < 16; ++b)
      EXPECT_EQ(static_cast<int>(DType::promote(DType::from_index(a), DType::from_index(b)).code),
                expected_promotion[a][b])
          << "a=" << a << " b=" << b;
}

TEST(Promotion, SymmetricAndIdempotent) {
  for (int a = 0; a < 16; ++a) {
    EXPECT_EQ(DType::promote(DType::from_index(a), DType::from_index(a)), DType::from_index(a));
    for (int b = 0; b < 16; ++b)
      EXPECT_EQ(DType::promote(DType::from_index(a), DType::from_index(b)),
                DType::promote(DType::from_index(b), DType::from_index(a)));
  }
}

TEST(Promotion, IntegerHelpers) {
  EXPECT_EQ(max_integer_bits(DType::Bool, DType::Float32), 0u);
  EXPECT_EQ(max_integer_bits(DType::Int8, DType::UInt64), 64u);
  EXPECT_EQ(promote_integer(DType::Int8, DType::UInt8), DType::Int16);
  EXPECT_EQ(promote_integer(DType::Int32, DType::UInt32), DType::Int64);
  EXPECT_EQ(promote_integer(DType::Int64, DType::UInt64), DType::Float64);
}

TEST(DTypeProperties, SizesKindsNames) {
  constexpr std::size_t sizes[16] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 2, 4, 8, 8, 16, 16, 32};
  const char* kinds = "biuiuiuiufffccfc";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(DType::from_index(i).itemsize(), sizes[i]);
    EXPECT_EQ(DType::from_index(i).kind(), kinds[i]);
  }
  EXPECT_EQ(DType(DType::LongDouble).name(), "float128");
  EXPECT_EQ(byte_order_char(ByteOrder::Big), '>');
  EXPECT_EQ(byte_order_char(ByteOrder::NotApplicable), '|');
}

TEST(StorageErrorText, EveryKind) {
  const std::pair<ErrorKind, const char*> fixed[] = {
      {ErrorKind::LayoutOverflow, "array shape or byte strides exceed supported limits"},
      {ErrorKind::AllocationFailed, "array allocation failed"},
      {ErrorKind::InvalidLayout, "array view has an invalid or out-of-bounds layout"},
      {ErrorKind::CannotConvert, "scalar cannot be converted to the requested dtype"},
      {ErrorKind::OutOfRange, "scalar value is outside the requested dtype range"},
      {ErrorKind::InvalidAxisPermutation, "invalid axis permutation"},
      {ErrorKind::InvalidOrder, "order must be one of C, F, A, or K"},
      {ErrorKind::InvalidAdvancedIndex, "invalid advanced index array"},
      {ErrorKind::DTypeMismatch, "source and destination dtypes must match"},
      {ErrorKind::ShapeMismatch, "source and destination shapes must match exactly"},
      {ErrorKind::LockPoisoned, "array storage lock was poisoned"},
  };
  for (auto [kind, text] : fixed) EXPECT_EQ(StorageError(kind).message(), text);
  EXPECT_EQ(StorageError::index_out_of_bounds(3, 0, 3).message(), "index 3 is out of bounds for axis 0 with size 3");
  EXPECT_EQ(StorageError::index_out_of_bounds(-7, 1, 2).message(), "index -7 is out of bounds for axis 1 with size 2");
  EXPECT_EQ(StorageError::too_many_indices(2, 3).message(),
            "too many indices for array: array is 2-dimensional, but 3 were indexed");
  EXPECT_EQ(StorageError::wrong_index_count(1, 2).message(), "incorrect number of indices: got 1, expected 2");
  EXPECT_EQ(StorageError::broadcast_mismatch({}, {4}).message(),
            "could not broadcast input array from shape [] into shape [4]");
  EXPECT_EQ(StorageError::broadcast_mismatch({2, 3}, {4, 5}).message(),
            "could not broadcast input array from shape [2, 3] into shape [4, 5]");
  EXPECT_EQ(clamp_index_to_i64(UINT64_MAX), INT64_MAX);
}

}  // namespace
