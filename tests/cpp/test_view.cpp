// Views: layout arithmetic and its limits, reshape against an element-order
// reference, copies and relabelling, element access and assignment, and the
// poisoned lock. Python reaches the common cases through array construction,
// reshape, transpose, astype and subscript assignment; here the layout
// edges and the failures Python cannot provoke.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>

#include "storage_test_util.h"

using namespace storage_test;

namespace {

constexpr std::uint64_t two_62 = std::uint64_t{1} << 62;

View transposed(const View& v) { return *v.transpose(std::nullopt); }

// `shape` and `strides` over the buffer of arange({len}) (float64), unchecked.
View over_float64(std::uint64_t len, Shape shape, Strides strides, std::uint64_t offset) {
  View v = arange({len});
  v.shape = std::move(shape);
  v.strides = std::move(strides);
  v.offset = offset;
  return v;
}

TEST(Layout, ContiguousStridesAndTheirLimits) {
  EXPECT_EQ(c_strides(DType::Int16, {4, 1, 5}), Result<Strides>(Strides{10, 10, 2}));
  EXPECT_EQ(f_strides(DType::Int16, {4, 1, 5}), Result<Strides>(Strides{2, 8, 8}));
  // 2^63 bytes
  for (const auto& strides : {c_strides(DType::Int8, {two_62, 2}), f_strides(DType::Int8, {two_62, 2})})
    EXPECT_EQ(strides, fail(ErrorKind::LayoutOverflow));
}

TEST(Layout, Contiguity) {
  const std::tuple<Shape, Strides, bool, bool> cases[] = {
      {{2, 3}, {24, 8}, true, false}, {{2, 3}, {8, 16}, false, true}, {{0, 3}, {123, -5}, true, true},
      {{}, {}, true, true},           {{1, 3}, {999, 8}, true, true}, {{3}, {-8}, false, false},
      {{2, 2}, {32, 8}, false, false}, {{2, 2}, {8, 8}, false, false},
  };
  for (const auto& [shape, strides, c, f] : cases) {
    const View v = over_float64(6, shape, strides, 0);
    EXPECT_EQ(v.is_c_contiguous(), c) << strides.size();
    EXPECT_EQ(v.is_f_contiguous(), f) << strides.size();
  }
}

TEST(Layout, ValidationFailsBeforeAnythingIsRead) {
  const std::tuple<const char*, Shape, Strides, std::uint64_t, std::optional<ErrorKind>> cases[] = {
      {"reversed from the end", {4}, {-8}, 24, std::nullopt},
      {"reversed below the start", {4}, {-8}, 16, ErrorKind::InvalidLayout},
      {"past the end", {2}, {16}, 24, ErrorKind::InvalidLayout},
      // Each axis moves the bound its stride points to, from where the others left it.
      {"two forward axes past the end", {2, 2}, {16, 8}, 8, ErrorKind::InvalidLayout},
      {"two reversed axes below the start", {2, 2}, {-16, -8}, 16, ErrorKind::InvalidLayout},
      {"forward and reversed axes inside", {2, 2}, {-16, 8}, 16, std::nullopt},
      {"empty anywhere", {0, 3}, {24, 8}, 1000000, std::nullopt},
      {"rank mismatch", {2}, {8, 8}, 0, ErrorKind::InvalidLayout},
      {"extent overflows", {3}, {INT64_MAX / 2 + 1}, 0, ErrorKind::LayoutOverflow},
      {"offset above the signed range", {1}, {8}, std::uint64_t{1} << 63, ErrorKind::LayoutOverflow},
      {"count overflows", {two_62, 4}, {0, 0}, 0, ErrorKind::LayoutOverflow},
  };
  for (const auto& [name, shape, strides, offset, error] : cases) {
    auto r = over_float64(4, shape, strides, offset).validate_layout();
    EXPECT_EQ(r ? std::nullopt : std::optional(r.error().kind), error) << name;
  }
  const View v = over_float64(6, {2, 3}, {24}, 0);  // one stride short
  EXPECT_EQ(error_kind(v.read_at({1, 1})), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(v.reshape_order({6}, CopyMode::IfNeeded, false)), ErrorKind::InvalidLayout);
  View scalar = over_float64(4, {}, {}, 16);
  EXPECT_EQ(*scalar.element_offset({}), 2u);
  scalar.offset = 12;  // not a whole element
  EXPECT_EQ(error_kind(scalar.element_offset({})), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_text(arange({3, 4}).element_offset({0, UINT64_MAX})),
            "index 9223372036854775807 is out of bounds for axis 1 with size 4");
  EXPECT_EQ(error_kind(coordinates_for_shape({2, 3}, 6)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(coordinates_for_shape({two_62, 4}, 0)), ErrorKind::LayoutOverflow);
}

// The typed loops' raw element pointer refuses what the element path cannot
// read: another buffer's guard, strides that are not whole elements or that
// reach past the buffer.
TEST(Layout, ElementBaseRefusesWhatElementsCannotReach) {
  View view = arange({4});
  auto guard = view.buffer->read();
  EXPECT_EQ(*view.element_base(*guard), (*guard)->data.data());
  EXPECT_EQ(arange({1}).element_base(*guard).error().kind, ErrorKind::InvalidLayout);
  for (std::int64_t stride : {12, 16}) {
    view.strides = {stride};
    EXPECT_EQ(view.element_base(*guard).error().kind, ErrorKind::InvalidLayout) << stride;
  }
}

// ---- reshape, copies, relabelling ------------------------------------------------------

// Strides of unit axes and of empty results, which the random test below
// cannot see through element values, the F-ordered copy and the errors.
TEST(Reshape, StridesCopiesAndErrors) {
  const View c23 = arange({2, 3});
  const View f23 = *View::from_values_with_layout(DType::Float64, ByteOrder::Native, {2, 3}, f64s({0, 1, 2, 3, 4, 5}), true);
  const View empty30 = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {3, 0}, false);
  EXPECT_EQ(f23.reshape_order({3, 1, 2}, CopyMode::Never, true)->strides, (Strides{8, 24, 24}));
  EXPECT_EQ(empty30.reshape_order({0, 3}, CopyMode::Never, false)->strides, (Strides{24, 8}));
  const auto f = c23.reshape_order({3, 2}, CopyMode::IfNeeded, true);
  EXPECT_TRUE(f->buffer != c23.buffer && f->strides == (Strides{8, 24}));
  EXPECT_EQ(storage(*f), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(contents(*f), (std::vector<double>{0, 4, 3, 2, 1, 5}));
  EXPECT_EQ(error_kind(c23.reshape_order({4}, CopyMode::IfNeeded, false)), ErrorKind::ShapeMismatch);
  EXPECT_EQ(error_kind(c23.reshape_order({two_62, 4}, CopyMode::IfNeeded, false)), ErrorKind::LayoutOverflow);
}

// Random strided sources (transposed, stepped, reversed) reshaped to random
// shapes of the same size: a shared result is a valid view exactly when
// CopyMode::Never succeeds, and shared or copied, the elements are renumbered
// in the chosen order.
TEST(Reshape, RandomStridedSourcesKeepElementOrder) {
  std::mt19937 rng(20261206);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int shared_count = 0, copied_count = 0;
  for (int trial = 0; trial < 400; ++trial) {
    Shape base_shape;
    for (int k = pick(1, 4); k > 0; --k) base_shape.push_back(pick(1, 4));
    std::vector<std::int64_t> axes(base_shape.size());
    for (std::size_t k = 0; k < axes.size(); ++k) axes[k] = static_cast<std::int64_t>(k);
    std::shuffle(axes.begin(), axes.end(), rng);
    View source = *arange(base_shape).transpose(axes);
    std::vector<IndexItem> items;
    for (std::uint64_t n : source.shape) {
      const std::int64_t step = pick(0, 3) == 0 ? -1 : pick(1, 2);
      const std::uint64_t length = (n + static_cast<std::uint64_t>(std::abs(step)) - 1) / std::abs(step);
      items.emplace_back(IndexItem::Slice{step > 0 ? 0 : static_cast<std::int64_t>(n) - 1, step, length});
    }
    source = *source.index(items);
    const std::uint64_t count = *source.size();
    Shape target;
    for (std::uint64_t rest = count; rest > 1;) {
      std::uint64_t d = static_cast<std::uint64_t>(pick(2, 6));
      while (rest % d != 0) --d;
      target.push_back(d == 1 ? rest : d);
      rest /= target.back();
      if (pick(0, 3) == 0) target.push_back(1);
    }
    const bool f_order = pick(0, 1) == 1;
    auto never = source.reshape_order(target, CopyMode::Never, f_order);
    auto needed = source.reshape_order(target, CopyMode::IfNeeded, f_order);
    ASSERT_TRUE(needed.has_value()) << error_text(needed);
    ASSERT_EQ(never.has_value(), needed->buffer == source.buffer);
    ASSERT_TRUE(never ? never->validate_layout().has_value() : never.error().kind == ErrorKind::InvalidLayout);
    ++(never ? shared_count : copied_count);
    for (std::uint64_t i = 0; i < count; ++i)
      ASSERT_EQ(*source.read_at(*coordinates_for_order(source.shape, i, f_order)),
                *needed->read_at(*coordinates_for_order(target, i, f_order)))
          << "trial " << trial << " element " << i;
  }
  EXPECT_GT(shared_count, 50);
  EXPECT_GT(copied_count, 50);
}

// The axis order a K-ordered result takes from its operands' strides.
TEST(Layout, KeepOrderAxes) {
  const std::tuple<Shape, std::vector<OperandLayout>, std::optional<AxisOrder>> cases[] = {
      {{2, 3}, {{{2, 3}, {8, 16}}}, AxisOrder{0, 1}},
      {{2, 3}, {{{2, 3}, {8, 16}}, {{2, 3}, {24, 8}}}, AxisOrder{1, 0}},  // one vote to stay wins
      {{2, 3}, {{{2, 3}, {0, 8}}}, AxisOrder{1, 0}},                      // zero strides do not vote
      {{2, 3, 4}, {{{2, 3, 4}, {8, 64, 16}}}, AxisOrder{0, 2, 1}},
      {{2, 3}, {{{2, 3}, {-8, 16}}}, AxisOrder{0, 1}},                    // by magnitude
      {{2, 3}, {{{3}, {8}}}, AxisOrder{1, 0}},                            // broadcast operand
      {{2, 3}, {{{2, 4}, {8, 16}}}, std::nullopt},
  };
  for (const auto& [shape, operands, order] : cases)
    EXPECT_EQ(keep_order_axes(shape, operands), order ? Result<AxisOrder>(*order) : fail(ErrorKind::InvalidAdvancedIndex));
}

// Byte-order tags: one-byte dtypes have none; relabelling shares the buffer
// and only moves between the native and the little-endian tag.
TEST(Copies, ByteOrderTags) {
  const View source = transposed(arange({2, 3}));
  EXPECT_EQ(source.astype_with_axis_order(DType::Bool, ByteOrder::Big, AxisOrder{1, 0})->byte_order, ByteOrder::NotApplicable);
  EXPECT_EQ(error_kind(source.astype_with_axis_order(DType::Int16, ByteOrder::NotApplicable, AxisOrder{1, 0})),
            ErrorKind::InvalidLayout);
  const View little = *View::zeros_with_layout(DType::Float32, ByteOrder::Little, {2}, false);
  const auto native = little.view_with_dtype_and_order(DType::Float32, ByteOrder::Native);
  EXPECT_EQ(native->buffer, little.buffer);
  EXPECT_EQ(error_kind(native->view_with_dtype_and_order(DType::Float32, ByteOrder::Big)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(little.view_with_dtype_and_order(DType::Int32, ByteOrder::Little)), ErrorKind::DTypeMismatch);
}

TEST(Constructors, LayoutsAndBadInput) {
  const auto f = View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {2, 3}, f64s({0, 1, 2, 3, 4, 5}),
                                                   AxisOrder{0, 1});
  EXPECT_EQ(f->strides, (Strides{8, 16}));
  EXPECT_EQ(storage(*f), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(contents(*f), (std::vector<double>{0, 1, 2, 3, 4, 5}));
  auto with_strides = [](Strides strides) {
    return View::from_values_with_strides(DType::Float64, ByteOrder::Native, {2}, f64s({1, 2}), std::move(strides));
  };
  const std::pair<Result<View>, ErrorKind> cases[] = {
      {View::from_values(DType::Float64, {2, 3}, f64s({0, 1, 2, 3, 4})), ErrorKind::ShapeMismatch},
      {View::zeros_with_layout(DType::Int16, ByteOrder::NotApplicable, {2}, false), ErrorKind::InvalidLayout},
      {View::zeros_with_layout(DType::Int32, ByteOrder::Native, {two_62}, false), ErrorKind::LayoutOverflow},
      {View::zeros_with_layout(DType::Int8, ByteOrder::NotApplicable, {two_62}, false), ErrorKind::AllocationFailed},
      {with_strides({8, 8}), ErrorKind::InvalidLayout}, {with_strides({4}), ErrorKind::InvalidLayout},
      {View::from_values_with_axis_order(DType::Float64, ByteOrder::Native, {1, 2}, f64s({1, 2}), {0, 0}),
       ErrorKind::InvalidLayout},
  };
  for (const auto& [got, kind] : cases) EXPECT_EQ(error_kind(got), kind) << error_text(got);
}

TEST(Constructors, FilledVectorsAreWrittenBeforeTheyAreShared) {
  auto fill = [](std::uint8_t* first, const void* context) {
    const auto* values = static_cast<const std::vector<std::int16_t>*>(context);
    std::memcpy(first, values->data(), values->size() * sizeof(std::int16_t));
  };
  const std::vector<std::int16_t> values{3, -1, 7};
  const auto made = View::filled_vector(DType::Int16, ByteOrder::Native, 3, fill, &values);
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(made->shape, (Shape{3}));
  EXPECT_EQ(made->strides, (Strides{2}));
  EXPECT_EQ(made->len, 3u);
  EXPECT_EQ(made->buffer.use_count(), 1);
  EXPECT_TRUE(made->validate_layout().has_value());
  for (std::uint64_t i = 0; i < 3; ++i) EXPECT_EQ(*made->read_at({i}), Scalar(values[i]));
  const auto empty = View::filled_vector(DType::Float64, ByteOrder::Native, 0, [](std::uint8_t*, const void*) {}, nullptr);
  EXPECT_EQ(empty->shape, (Shape{0}));
  EXPECT_EQ(empty->strides, (Strides{0}));
  EXPECT_EQ(error_kind(View::filled_vector(DType::Int32, ByteOrder::Native, two_62, fill, &values)),
            ErrorKind::LayoutOverflow);
  EXPECT_EQ(error_kind(View::filled_vector(DType::Int16, ByteOrder::NotApplicable, 2, fill, &values)),
            ErrorKind::InvalidLayout);
}

// ---- access and assignment --------------------------------------------------------------

TEST(Access, CountsBoundsAndDTypeFirst) {
  View v = arange({2, 3}, DType::Int32);
  EXPECT_EQ(error_text(v.read_at({1})), "incorrect number of indices: got 1, expected 2");
  EXPECT_EQ(error_text(v.read_at({1, 3})), "index 3 is out of bounds for axis 1 with size 3");
  EXPECT_EQ(error_kind(v.write_at({9}, Scalar(std::int64_t{1}))), ErrorKind::DTypeMismatch);
  ASSERT_TRUE(v.write_at({1, 0}, Scalar(std::int32_t{-7})).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{0, 1, 2, -7, 4, 5}));
  // The leading elements in the view's C order, not memory's; one dtype throughout.
  View t = transposed(arange({2, 2}));
  ASSERT_TRUE(t.assign_prefix(f64s({100, 101, 102})).has_value());
  EXPECT_EQ(contents(t), (std::vector<double>{100, 101, 102, 3}));
  EXPECT_EQ(error_text(t.assign_prefix(f64s({1, 2, 3, 4, 5}))), "source and destination shapes must match exactly");
  EXPECT_EQ(error_kind(t.assign_prefix(std::vector{Scalar(20.0), Scalar(21.0f)})), ErrorKind::DTypeMismatch);
  const std::tuple<Shape, Coordinates, Result<std::uint64_t>> broadcast[] = {
      {{3, 1}, {5, 2, 0}, 2u}, {{}, {4, 4}, 0u}, {{1, 3}, {9, 2}, 2u},
      {{3}, {4}, fail(StorageError::index_out_of_bounds(4, 0, 3))}, {{2, 2}, {1}, fail(ErrorKind::InvalidAdvancedIndex)}};
  for (const auto& [shape, index, position] : broadcast) EXPECT_EQ(broadcast_index(shape, index), position);
}

TEST(Poisoned, EveryOperationFailsAndChangesNothing) {
  View v = arange({2, 2});
  View row = v, t = transposed(v), source = arange({2});
  row.shape = {2};
  row.strides = {8};
  View empty = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {0}, false);
  poison(v);
  poison(empty);  // an empty destination still takes the lock
  const std::string errors[] = {
      error_text(v.read_at({0, 0})), error_text(v.write_at({0, 0}, Scalar(1.0))), error_text(v.snapshot()),
      error_text(row.assign_view(source)), error_text(source.assign_view(row)), error_text(v.assign_scalar(Scalar(1.0))),
      error_text(v.copy()), error_text(t.reshape_order({4}, CopyMode::IfNeeded, false)),
      error_text(empty.assign_view(arange({1})))};
  for (const std::string& error : errors) EXPECT_EQ(error, "array storage lock was poisoned");
  EXPECT_TRUE(v.reshape_order({4}, CopyMode::IfNeeded, false).has_value());  // shares: no element read
  EXPECT_EQ(contents(source), (std::vector<double>{0, 1}));
}

// A stride-0 view may show far more elements than any list of them could
// hold: the element path reports the failed allocation of its lists instead of
// letting a C++ exception out; the typed loops list nothing, so a copy fails
// only on its result's size and a broadcast target is written once.
TEST(Allocation, ListingTooManyElementsFails) {
  const View huge = over_float64(1, {std::uint64_t{1} << 61}, {0}, 0);
  constexpr auto E = LoopPath::Element;
  const Shape halves = {std::uint64_t{1} << 60, 2};
  const std::string failed = "array allocation failed", overflow = "array shape or byte strides exceed supported limits";
  const std::pair<std::string, std::string> cases[] = {
      {error_text(huge.snapshot()), failed}, {error_text(huge.copy(E)), failed},
      {error_text(huge.reshape_order(halves, CopyMode::Always, false, E)), failed},
      {error_text(huge.assign_scalar(Scalar(1.0), E)), failed},
      {error_text(huge.assign_view(arange({1}), E)), failed}, {error_text(huge.copy()), overflow},
      {error_text(huge.reshape_order(halves, CopyMode::Always, false)), overflow},
      {error_text(huge.assign_scalar(Scalar(2.0))), "<no error>"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  EXPECT_EQ(error_kind(huge.index(std::vector<IndexItem>{full_slice(std::uint64_t{1} << 61), IndexItem::BoolValue{true}})),
            ErrorKind::LayoutOverflow);
  EXPECT_EQ(*huge.read_at({12345}), Scalar(2.0));
}

}  // namespace
