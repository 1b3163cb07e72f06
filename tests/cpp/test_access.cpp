#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "storage_test_util.h"

using namespace storage_test;

namespace {

// A view of `len` float64 elements over the same buffer as `base`.
View window(const View& base, Shape shape, Strides strides, std::uint64_t offset) {
  View v = base;
  v.shape = std::move(shape);
  v.strides = std::move(strides);
  v.offset = offset;
  EXPECT_TRUE(v.validate_layout().has_value());
  return v;
}

TEST(ReadAt, CountAndBounds) {
  View v = arange({2, 3});
  EXPECT_EQ(*v.read_at({1, 2}), Scalar(5.0));
  auto short_index = v.read_at({1});
  EXPECT_EQ(error_text(short_index), "incorrect number of indices: got 1, expected 2");
  EXPECT_EQ(error_text(v.read_at({1, 3})), "index 3 is out of bounds for axis 1 with size 3");
  View scalar = window(v, {}, {}, 32);
  EXPECT_EQ(*scalar.read_at({}), Scalar(4.0));
}

TEST(WriteAt, DTypeIsCheckedFirst) {
  View v = arange({2, 3}, DType::Int32);
  EXPECT_EQ(error_kind(v.write_at({9}, Scalar(std::int64_t{1}))), ErrorKind::DTypeMismatch);
  EXPECT_EQ(error_kind(v.write_at({9}, Scalar(std::int32_t{1}))), ErrorKind::WrongIndexCount);
  ASSERT_TRUE(v.write_at({1, 0}, Scalar(std::int32_t{-7})).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{0, 1, 2, -7, 4, 5}));
}

TEST(AssignView, BroadcastTable) {
  struct Case {
    const char* name;
    Shape source;
    std::optional<std::vector<double>> result;  // nullopt: BroadcastMismatch
    const char* message;
  } cases[] = {
      {"row repeated", {3}, std::vector<double>{0, 1, 2, 0, 1, 2}, nullptr},
      {"column per row", {2, 1}, std::vector<double>{0, 0, 0, 1, 1, 1}, nullptr},
      {"same shape", {2, 3}, std::vector<double>{0, 1, 2, 3, 4, 5}, nullptr},
      {"zero-dimensional", {}, std::vector<double>{0, 0, 0, 0, 0, 0}, nullptr},
      {"wrong length", {2}, std::nullopt, "could not broadcast input array from shape [2] into shape [2, 3]"},
      {"more dimensions", {1, 2, 3}, std::nullopt,
       "could not broadcast input array from shape [1, 2, 3] into shape [2, 3]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View destination = *View::zeros_with_layout(DType::Float32, ByteOrder::Big, {2, 3}, false);
    auto r = destination.assign_view(arange(c.source));
    if (c.result) {
      ASSERT_TRUE(r.has_value()) << error_text(r);
      EXPECT_EQ(contents(destination), *c.result);
    } else {
      EXPECT_EQ(error_text(r), c.message);
      EXPECT_EQ(contents(destination), std::vector<double>(6, 0.0));
    }
  }
}

TEST(AssignView, OverlapReadsOldValues) {
  View base = arange({6});
  // elements 0..3 into elements 1..4
  ASSERT_TRUE(window(base, {4}, {8}, 8).assign_view(window(base, {4}, {8}, 0)).has_value());
  EXPECT_EQ(contents(base), (std::vector<double>{0, 0, 1, 2, 3, 5}));

  View again = arange({5});
  ASSERT_TRUE(again.assign_view(window(again, {5}, {-8}, 32)).has_value());
  EXPECT_EQ(contents(again), (std::vector<double>{4, 3, 2, 1, 0}));
}

TEST(AssignView, CastsToTheDestination) {
  View ints = *View::zeros_with_layout(DType::Int32, ByteOrder::Native, {2}, false);
  ASSERT_TRUE(ints.assign_view(*View::from_values(DType::Float64, {2}, f64s({NAN, -2.75}))).has_value());
  EXPECT_EQ(contents(ints), (std::vector<double>{0, -2}));
  View ld = *View::zeros_with_layout(DType::LongDouble, ByteOrder::Big, {1}, false);
  ASSERT_TRUE(ld.assign_view(*View::from_values(DType::Float64, {1}, f64s({0.1}))).has_value());
  EXPECT_EQ(*ld.read_at({0}), Scalar::long_double("0.100000000000000005551"));
}

TEST(AssignView, EmptyDestinationStillTakesTheLock) {
  View empty = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {0}, false);
  ASSERT_TRUE(empty.assign_view(arange({1})).has_value());
  poison(empty);
  EXPECT_EQ(error_kind(empty.assign_view(arange({1}))), ErrorKind::LockPoisoned);
}

TEST(AssignPrefix, LeadingElementsOnly) {
  View v = arange({5});
  ASSERT_TRUE(v.assign_prefix(f64s({10, 11})).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{10, 11, 2, 3, 4}));
  EXPECT_EQ(error_text(v.assign_prefix(f64s({1, 2, 3, 4, 5, 6}))), "source and destination shapes must match exactly");
  auto mixed = v.assign_prefix(std::vector<Scalar>{Scalar(20.0), Scalar(21.0f)});
  EXPECT_EQ(error_kind(mixed), ErrorKind::DTypeMismatch);
  EXPECT_EQ(contents(v), (std::vector<double>{10, 11, 2, 3, 4}));
  // C order of the view, not of memory
  View t = window(v, {2, 2}, {8, 16}, 0);
  ASSERT_TRUE(t.assign_prefix(f64s({100, 101, 102})).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{100, 102, 101, 3, 4}));
}

TEST(AssignScalar, CastsOnce) {
  View v = *View::zeros_with_layout(DType::Float32, ByteOrder::Native, {2, 2}, false);
  ASSERT_TRUE(v.assign_scalar(Scalar(std::complex<double>(2.5, 7))).has_value());
  EXPECT_EQ(contents(v), std::vector<double>(4, 2.5));
  View bytes = *View::zeros_with_layout(DType::UInt8, ByteOrder::Native, {3}, false);
  ASSERT_TRUE(bytes.assign_scalar(Scalar(std::int64_t{-1})).has_value());
  EXPECT_EQ(contents(bytes), std::vector<double>(3, 255));
}

TEST(Poisoned, EveryOperationFailsAndChangesNothing) {
  View v = arange({2, 2});
  View other = window(v, {2}, {8}, 0);
  View source = arange({2});
  poison(v);
  struct Case {
    const char* name;
    std::string error;
  } cases[] = {
      {"read_at", error_text(v.read_at({0, 0}))},
      {"write_at", error_text(v.write_at({0, 0}, Scalar(1.0)))},
      {"snapshot", error_text(v.snapshot())},
      {"assign_view into", error_text(other.assign_view(source))},
      {"assign_view from", error_text(source.assign_view(other))},
      {"assign_prefix", error_text(v.assign_prefix(f64s({1})))},
      {"assign_scalar", error_text(v.assign_scalar(Scalar(1.0)))},
      {"copy", error_text(v.copy())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error, "array storage lock was poisoned");
  }
  EXPECT_EQ(contents(source), (std::vector<double>{0, 1}));
}

TEST(BroadcastIndex, Table) {
  struct Case {
    Shape shape;
    Coordinates index;
    std::optional<std::uint64_t> position;
    ErrorKind kind;
  } cases[] = {
      {{3, 1}, {5, 2, 0}, 2u, {}},
      {{2, 3}, {1, 2}, 5u, {}},
      {{}, {4, 4}, 0u, {}},
      {{1, 3}, {9, 2}, 2u, {}},
      {{3}, {4}, std::nullopt, ErrorKind::IndexOutOfBounds},
      {{2, 2}, {1}, std::nullopt, ErrorKind::InvalidAdvancedIndex},
  };
  for (const Case& c : cases) {
    auto got = broadcast_index(c.shape, c.index);
    if (c.position) {
      EXPECT_EQ(*got, *c.position);
    } else {
      EXPECT_EQ(error_kind(got), c.kind);
    }
  }
  EXPECT_EQ(error_text(broadcast_index({3}, {4})), "index 4 is out of bounds for axis 0 with size 3");
}

}  // namespace
