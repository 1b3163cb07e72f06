#include <gtest/gtest.h>

#include <optional>

#include "storage_test_util.h"

using namespace storage_test;

// Visible: the sanitizer runtime looks this up by name, and tests build with hidden visibility.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using B = IndexItem::BoolValue;

constexpr std::uint64_t two_62 = std::uint64_t{1} << 62;

struct StridesCase {
  const char* name;
  DType dtype;
  Shape shape;
  std::optional<Strides> c;  // nullopt: LayoutOverflow
  std::optional<Strides> f;
};

TEST(ContiguousStrides, Table) {
  const StridesCase cases[] = {
      {"float64 2x3", DType::Float64, {2, 3}, Strides{24, 8}, Strides{8, 16}},
      {"int16 4x1x5", DType::Int16, {4, 1, 5}, Strides{10, 10, 2}, Strides{2, 8, 8}},
      {"zero length", DType::Float64, {0, 3}, Strides{0, 0}, Strides{0, 0}},
      {"zero length inner", DType::Int32, {3, 0, 2}, Strides{0, 0, 0}, Strides{0, 0, 0}},
      {"no dimensions", DType::Complex128, {}, Strides{}, Strides{}},
      {"byte size 2^63", DType::Int8, {two_62, 2}, std::nullopt, std::nullopt},
      {"byte size 2^62 fits", DType::Int8, {two_62, 1}, Strides{1, 1}, Strides{1, two_62}},
      {"dimension above 2^63", DType::Int8, {std::uint64_t{1} << 63}, std::nullopt, std::nullopt},
  };
  for (const StridesCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool f : {false, true}) {
      auto got = f ? f_strides(c.dtype, c.shape) : c_strides(c.dtype, c.shape);
      const auto& want = f ? c.f : c.c;
      if (want) {
        ASSERT_TRUE(got.has_value()) << error_text(got);
        EXPECT_EQ(*got, *want) << (f ? "F" : "C");
      } else {
        EXPECT_EQ(error_kind(got), ErrorKind::LayoutOverflow);
      }
    }
  }
}

View over_float64(std::uint64_t len, Shape shape, Strides strides, std::uint64_t offset) {
  View v = arange({len});
  v.shape = std::move(shape);
  v.strides = std::move(strides);
  v.offset = offset;
  return v;
}

TEST(Contiguity, Table) {
  struct Case {
    const char* name;
    Shape shape;
    Strides strides;
    bool c, f;
  } cases[] = {
      {"C 2x3", {2, 3}, {24, 8}, true, false},
      {"F 2x3", {2, 3}, {8, 16}, false, true},
      {"empty", {0, 3}, {123, -5}, true, true},
      {"no dimensions", {}, {}, true, true},
      {"length-1 axes never decide", {1, 3}, {999, 8}, true, true},
      {"one axis", {6}, {8}, true, true},
      {"reversed", {3}, {-8}, false, false},
      {"gapped", {2, 2}, {32, 8}, false, false},
      {"overlapping", {2, 2}, {8, 8}, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View v = over_float64(6, c.shape, c.strides, 0);
    EXPECT_EQ(v.is_c_contiguous(), c.c);
    EXPECT_EQ(v.is_f_contiguous(), c.f);
  }
}

TEST(LayoutCheck, Table) {
  struct Case {
    const char* name;
    std::uint64_t len;
    Shape shape;
    Strides strides;
    std::uint64_t offset;
    std::optional<ErrorKind> error;
  } cases[] = {
      {"reversed from the end", 4, {4}, {-8}, 24, std::nullopt},
      {"reversed below the start", 4, {4}, {-8}, 16, ErrorKind::InvalidLayout},
      {"past the end", 4, {2}, {16}, 24, ErrorKind::InvalidLayout},
      {"exactly the buffer", 4, {2, 2}, {16, 8}, 0, std::nullopt},
      {"empty anywhere", 4, {0, 3}, {24, 8}, 1000000, std::nullopt},
      {"rank mismatch", 4, {2}, {8, 8}, 0, ErrorKind::InvalidLayout},
      {"extent overflows", 4, {3}, {INT64_MAX / 2 + 1}, 0, ErrorKind::LayoutOverflow},
      {"offset above the signed range", 4, {1}, {8}, std::uint64_t{1} << 63, ErrorKind::LayoutOverflow},
      {"zero stride", 4, {100}, {0}, 8, std::nullopt},
      {"count overflows", 4, {two_62, 4}, {0, 0}, 0, ErrorKind::LayoutOverflow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View v = over_float64(4, c.shape, c.strides, c.offset);
    v.len = c.len;
    auto r = v.validate_layout();
    if (c.error) {
      EXPECT_EQ(error_kind(r), *c.error);
    } else {
      EXPECT_TRUE(r.has_value()) << error_text(r);
    }
  }
  View huge_len = over_float64(4, {1}, {8}, 0);
  huge_len.len = two_62;
  EXPECT_EQ(error_kind(huge_len.validate_layout()), ErrorKind::LayoutOverflow);
}

TEST(LayoutCheck, MalformedViewsFailWithoutReadingPastTheirStrides) {
  View v = over_float64(6, {2, 3}, {24}, 0);
  EXPECT_EQ(error_kind(v.read_at({1, 1})), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.snapshot()), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.index(std::vector<IndexItem>{IndexItem::Integer{1}})), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.advanced_offsets(std::vector<IndexItem>{IndexItem::BoolValue{true}})),
            ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.transpose(std::nullopt)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.reshape_order({6}, CopyMode::IfNeeded, false)), ErrorKind::InvalidLayout);
  EXPECT_FALSE(v.is_c_contiguous());
  View no_buffer;
  EXPECT_EQ(error_kind(no_buffer.read_at({})), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(no_buffer.assign_scalar(Scalar(1.0))), ErrorKind::InvalidLayout);
}

TEST(ElementOffset, BoundsAddressesAndNoDimensions) {
  View v = arange({3, 4});
  EXPECT_EQ(*v.element_offset({2, 3}), 11u);
  auto out = v.element_offset({3, 0});
  EXPECT_EQ(error_text(out), "index 3 is out of bounds for axis 0 with size 3");
  EXPECT_EQ(error_text(v.element_offset({0, UINT64_MAX})),
            "index 9223372036854775807 is out of bounds for axis 1 with size 4");

  View scalar = over_float64(4, {}, {}, 16);
  EXPECT_EQ(*scalar.size(), 1u);
  EXPECT_EQ(*scalar.element_offset({}), 2u);
  scalar.offset = 12;
  EXPECT_EQ(error_kind(scalar.element_offset({})), ErrorKind::InvalidLayout);
  scalar.offset = 32;
  EXPECT_EQ(error_kind(scalar.element_offset({})), ErrorKind::InvalidLayout);
}

TEST(Coordinates, COrderFOrderAndLimits) {
  EXPECT_EQ(*coordinates_for_order({2, 3}, 4, false), (Coordinates{1, 1}));
  EXPECT_EQ(*coordinates_for_order({2, 3}, 4, true), (Coordinates{0, 2}));
  EXPECT_EQ(*coordinates_for_shape({2, 3}, 5), (Coordinates{1, 2}));
  EXPECT_EQ(*coordinates_for_shape({}, 0), Coordinates{});
  EXPECT_EQ(error_kind(coordinates_for_shape({}, 1)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(coordinates_for_shape({2, 3}, 6)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(coordinates_for_shape({two_62, 4}, 0)), ErrorKind::LayoutOverflow);
}

TEST(AllElementOffsets, FollowTheStridesInCOrder) {
  View f_view = over_float64(6, {2, 3}, {8, 16}, 0);
  EXPECT_EQ(*f_view.all_element_offsets(), (std::vector<std::uint64_t>{0, 2, 4, 1, 3, 5}));
  View reversed = over_float64(6, {3}, {-16}, 40);
  EXPECT_EQ(*reversed.all_element_offsets(), (std::vector<std::uint64_t>{5, 3, 1}));
  EXPECT_EQ(*over_float64(6, {}, {}, 8).all_element_offsets(), (std::vector<std::uint64_t>{1}));
  EXPECT_TRUE(over_float64(6, {2, 0}, {0, 0}, 0).all_element_offsets()->empty());
}

TEST(Constructors, FLayoutStoresFOrder) {
  auto v = View::from_values_with_layout(DType::Float64, ByteOrder::Native, {2, 3}, f64s({0, 1, 2, 3, 4, 5}), true);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->strides, (Strides{8, 16}));
  EXPECT_EQ(storage(*v), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(*v->read_at({1, 0}), Scalar(3.0));
  EXPECT_EQ(contents(*v), (std::vector<double>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(v->len, 6u);
  EXPECT_EQ(v->offset, 0u);

  auto by_axes = View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {2, 3},
                                                   f64s({0, 1, 2, 3, 4, 5}), AxisOrder{0, 1});
  ASSERT_TRUE(by_axes.has_value());
  EXPECT_EQ(by_axes->strides, (Strides{8, 16}));
  EXPECT_EQ(storage(*by_axes), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  auto c_axes = View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {2, 3},
                                                  f64s({0, 1, 2, 3, 4, 5}), AxisOrder{1, 0});
  EXPECT_EQ(c_axes->strides, (Strides{24, 8}));
}

TEST(Constructors, ByteOrderRule) {
  auto i16 = View::zeros_with_layout(DType::Int16, ByteOrder::NotApplicable, {2}, false);
  EXPECT_EQ(error_text(i16), "array view has an invalid or out-of-bounds layout");
  auto u8 = View::zeros_with_layout(DType::UInt8, ByteOrder::Big, {2}, false);
  ASSERT_TRUE(u8.has_value());
  EXPECT_EQ(u8->byte_order, ByteOrder::NotApplicable);
  auto zeros = View::zeros_with_layout(DType::ComplexLongDouble, ByteOrder::Big, {2, 2}, true);
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(zeros->strides, (Strides{32, 64}));
  EXPECT_EQ(*zeros->read_at({1, 1}), Scalar::complex_long_double("0", "0"));
  auto from = View::from_values(DType::Int8, {1}, std::vector<Scalar>{Scalar(std::int8_t{4})});
  EXPECT_EQ(from->byte_order, ByteOrder::NotApplicable);
  auto native = View::from_values(DType::Float64, {1}, f64s({4}));
  EXPECT_EQ(native->byte_order, ByteOrder::Native);
}

TEST(Constructors, BadInput) {
  struct Case {
    const char* name;
    Result<View> got;
    ErrorKind kind;
  } cases[] = {
      {"one value short", View::from_values(DType::Float64, {2, 3}, f64s({0, 1, 2, 3, 4})), ErrorKind::ShapeMismatch},
      {"int32 among int64",
       View::from_values(DType::Int64, {2}, std::vector<Scalar>{Scalar(std::int64_t{1}), Scalar(std::int32_t{2})}),
       ErrorKind::DTypeMismatch},
      {"byte size overflows", View::zeros_with_layout(DType::Int32, ByteOrder::Native, {two_62}, false),
       ErrorKind::LayoutOverflow},
      {"allocation fails", View::zeros_with_layout(DType::Int8, ByteOrder::NotApplicable, {two_62}, false),
       ErrorKind::AllocationFailed},
      {"strides rank", View::from_values_with_strides(DType::Float64, ByteOrder::Native, {2}, f64s({1, 2}), {8, 8}),
       ErrorKind::InvalidLayout},
      {"negative stride", View::from_values_with_strides(DType::Float64, ByteOrder::Native, {2}, f64s({1, 2}), {-8}),
       ErrorKind::InvalidLayout},
      {"misaligned stride", View::from_values_with_strides(DType::Float64, ByteOrder::Native, {2}, f64s({1, 2}), {4}),
       ErrorKind::InvalidLayout},
      {"stride past the end",
       View::from_values_with_strides(DType::Float64, ByteOrder::Native, {2}, f64s({1, 2}), {16}),
       ErrorKind::InvalidLayout},
      {"axis order repeats",
       View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {1, 2}, f64s({1, 2}), {0, 0}),
       ErrorKind::InvalidLayout},
      {"axis order short",
       View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {1, 2}, f64s({1, 2}), {0}),
       ErrorKind::InvalidLayout},
      {"long double text", View::from_values(DType::LongDouble, {1}, std::vector<Scalar>{Scalar::long_double("x")}),
       ErrorKind::CannotConvert},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_kind(c.got), c.kind) << error_text(c.got);
  }
}

TEST(Constructors, EmptyShapesAndSharing) {
  auto empty = View::from_values_with_layout(DType::Float64, ByteOrder::Native, {0, 3}, {}, true);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->strides, (Strides{0, 0}));
  EXPECT_TRUE(empty->is_c_contiguous() && empty->is_f_contiguous());
  EXPECT_TRUE(empty->validate_layout().has_value());

  View a = arange({3});
  View b = a;  // a copy of the value shares the elements
  ASSERT_TRUE(b.write_at({1}, Scalar(9.0)).has_value());
  EXPECT_EQ(contents(a), (std::vector<double>{0, 9, 2}));
  EXPECT_EQ(a.buffer.use_count(), 2);
}

// A stride-0 view may show far more elements than any list of them could
// hold: the element path reports the failed allocation of its lists instead of
// letting a C++ exception out; the typed loops list nothing, so a copy fails
// only on its result's size and a broadcast target is written once.
TEST(Allocation, ListingTooManyElementsFails) {
  View huge = over_float64(1, {std::uint64_t{1} << 61}, {0}, 0);
  ASSERT_TRUE(huge.validate_layout().has_value());
  constexpr auto E = LoopPath::Element;
  const std::string overflow = "array shape or byte strides exceed supported limits", none = "<no error>";
  struct Case {
    const char* name;
    std::string error;
    std::string expected;
  } cases[] = {
      {"all_element_offsets", error_text(huge.all_element_offsets()), "array allocation failed"},
      {"snapshot", error_text(huge.snapshot()), "array allocation failed"},
      {"copy", error_text(huge.copy(E)), "array allocation failed"},
      {"copying reshape",
       error_text(huge.reshape_order({std::uint64_t{1} << 60, 2}, CopyMode::Always, false, E)),
       "array allocation failed"},
      {"assign_scalar", error_text(huge.assign_scalar(Scalar(1.0), E)), "array allocation failed"},
      {"assign_view", error_text(huge.assign_view(arange({1}), E)), "array allocation failed"},
      {"typed copy", error_text(huge.copy()), overflow},
      {"typed copying reshape", error_text(huge.reshape_order({std::uint64_t{1} << 60, 2}, CopyMode::Always, false)),
       overflow},
      {"typed assign_scalar", error_text(huge.assign_scalar(Scalar(2.0))), none},
      {"typed assign_view", error_text(huge.assign_view(arange({1}))), none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error, c.expected);
  }
  // A gathered copy of it could not even be laid out (2^61 float64 elements).
  EXPECT_EQ(error_kind(huge.index(std::vector<IndexItem>{full_slice(std::uint64_t{1} << 61), B{true}})),
            ErrorKind::LayoutOverflow);
  EXPECT_TRUE(huge.reshape_order({std::uint64_t{1} << 60, 2}, CopyMode::Never, false).has_value());
  EXPECT_EQ(*huge.read_at({12345}), Scalar(0.0));
}

}  // namespace
