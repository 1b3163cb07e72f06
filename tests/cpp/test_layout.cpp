#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "storage_test_util.h"

using namespace storage_test;

namespace {

View transposed(const View& v) { return *v.transpose(std::nullopt); }

struct ReshapeCase {
  const char* name;
  View source;
  Shape shape;
  CopyMode mode;
  bool f_order;
  // Expected: shared with these strides, copied with these strides, or an error.
  bool shared;
  std::optional<Strides> strides;
  ErrorKind kind = ErrorKind::LayoutOverflow;
};

TEST(Reshape, Table) {
  View c234 = arange({2, 3, 4});
  View c23 = arange({2, 3});
  View f23 = *View::from_values_with_layout(DType::Float64, ByteOrder::Native, {2, 3}, f64s({0, 1, 2, 3, 4, 5}), true);
  View empty30 = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {3, 0}, false);
  const ReshapeCase cases[] = {
      {"merge leading axes", c234, {6, 4}, CopyMode::Never, false, true, Strides{32, 8}},
      {"flatten", c234, {24}, CopyMode::Never, false, true, Strides{8}},
      {"split", c234, {2, 12}, CopyMode::IfNeeded, false, true, Strides{96, 8}},
      {"transposed flatten, never", transposed(c234), {24}, CopyMode::Never, false, false, std::nullopt,
       ErrorKind::InvalidLayout},
      {"transposed flatten, if needed", transposed(c234), {24}, CopyMode::IfNeeded, false, false, Strides{8}},
      {"transposed flatten in F order shares", transposed(c234), {24}, CopyMode::Never, true, true, Strides{8}},
      {"new length-1 axis inside, C", c23, {3, 1, 2}, CopyMode::Never, false, true, Strides{16, 16, 8}},
      {"new length-1 axis inside, F", f23, {3, 1, 2}, CopyMode::Never, true, true, Strides{8, 24, 24}},
      {"length-1 axis last", arange({6}), {6, 1}, CopyMode::Never, false, true, Strides{8, 8}},
      {"length-1 axis first, F", arange({6}), {1, 6}, CopyMode::Never, true, true, Strides{8, 8}},
      {"length-1 source axes set aside", arange({2, 1, 3}), {6}, CopyMode::Never, false, true, Strides{8}},
      {"one element", arange({1, 1}), {1, 1, 1}, CopyMode::Never, false, true, Strides{8, 8, 8}},
      {"empty, C", empty30, {0, 3}, CopyMode::Never, false, true, Strides{24, 8}},
      {"empty, F", empty30, {0, 3}, CopyMode::Never, true, true, Strides{8, 8}},
      {"empty, copied", empty30, {0, 3}, CopyMode::Always, false, false, Strides{24, 8}},
      {"equal shapes always copy", transposed(c23), {3, 2}, CopyMode::Always, false, false, Strides{16, 8}},
      {"equal shapes never copy", transposed(c23), {3, 2}, CopyMode::Never, false, true, Strides{8, 24}},
      {"C source in F order", c23, {3, 2}, CopyMode::IfNeeded, true, false, Strides{8, 24}},
      {"count differs", c23, {4}, CopyMode::IfNeeded, false, false, std::nullopt, ErrorKind::ShapeMismatch},
      {"count overflows", c23, {std::uint64_t{1} << 62, 4}, CopyMode::IfNeeded, false, false, std::nullopt,
       ErrorKind::LayoutOverflow},
  };
  for (const ReshapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.source.reshape_order(c.shape, c.mode, c.f_order);
    if (!c.strides) {
      EXPECT_EQ(error_kind(r), c.kind) << error_text(r);
      continue;
    }
    ASSERT_TRUE(r.has_value()) << error_text(r);
    EXPECT_EQ(r->shape, c.shape);
    EXPECT_EQ(r->strides, *c.strides);
    EXPECT_EQ(r->buffer == c.source.buffer, c.shared);
    EXPECT_TRUE(r->validate_layout().has_value());
    // Elements are renumbered in the chosen order, shared or copied.
    auto source_values = c.source.snapshot();
    auto result_values = r->snapshot();
    ASSERT_EQ(source_values->size(), result_values->size());
    for (std::uint64_t i = 0; i < source_values->size(); ++i) {
      auto from = coordinates_for_order(c.source.shape, i, c.f_order);
      auto to = coordinates_for_order(c.shape, i, c.f_order);
      EXPECT_EQ(*c.source.read_at(*from), *r->read_at(*to)) << i;
    }
  }
}

// Random strided sources (transposed, stepped, reversed) reshaped to random
// shapes of the same size: shared results must be valid views, and shared or
// copied, the elements are renumbered in the chosen order.
TEST(Reshape, RandomStridedSourcesKeepElementOrder) {
  std::mt19937 rng(20261206);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  int shared_count = 0, copied_count = 0;
  for (int trial = 0; trial < 400; ++trial) {
    Shape base_shape;
    for (int k = pick(1, 4); k > 0; --k) base_shape.push_back(pick(1, 4));
    View source = arange(base_shape);
    std::vector<std::int64_t> axes(base_shape.size());
    for (std::size_t k = 0; k < axes.size(); ++k) axes[k] = static_cast<std::int64_t>(k);
    std::shuffle(axes.begin(), axes.end(), rng);
    source = *source.transpose(axes);
    std::vector<IndexItem> items;
    for (std::uint64_t n : source.shape) {
      const std::int64_t step = pick(0, 3) == 0 ? -1 : pick(1, 2);
      const std::uint64_t length = (n + static_cast<std::uint64_t>(std::abs(step)) - 1) / std::abs(step);
      items.emplace_back(IndexItem::Slice{step > 0 ? 0 : static_cast<std::int64_t>(n) - 1, step, length});
    }
    source = *source.index(items);

    std::uint64_t count = *source.size();
    Shape target;
    for (std::uint64_t rest = count; rest > 1;) {
      std::uint64_t d = static_cast<std::uint64_t>(pick(2, 6));
      while (rest % d != 0) --d;
      if (d == 1) d = rest;
      target.push_back(d);
      rest /= d;
      if (pick(0, 3) == 0) target.push_back(1);
    }
    const bool f_order = pick(0, 1) == 1;
    auto never = source.reshape_order(target, CopyMode::Never, f_order);
    auto needed = source.reshape_order(target, CopyMode::IfNeeded, f_order);
    ASSERT_TRUE(needed.has_value()) << error_text(needed);
    ASSERT_EQ(never.has_value(), needed->buffer == source.buffer);
    if (!never) {
      ASSERT_EQ(never.error().kind, ErrorKind::InvalidLayout);
      ++copied_count;
    } else {
      ASSERT_TRUE(never->validate_layout().has_value());
      ++shared_count;
    }
    for (std::uint64_t i = 0; i < count; ++i) {
      auto from = coordinates_for_order(source.shape, i, f_order);
      auto to = coordinates_for_order(target, i, f_order);
      ASSERT_EQ(*source.read_at(*from), *needed->read_at(*to)) << "trial " << trial << " element " << i;
    }
  }
  EXPECT_GT(shared_count, 50);
  EXPECT_GT(copied_count, 50);
}

TEST(Reshape, CopyInFOrderLaysElementsFOrder) {
  auto r = arange({2, 3}).reshape_order({3, 2}, CopyMode::Always, true);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(storage(*r), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(contents(*r), (std::vector<double>{0, 4, 3, 2, 1, 5}));
}

TEST(Transpose, PermutationsAndErrors) {
  View v = arange({2, 3});
  auto swapped = v.transpose(std::vector<std::int64_t>{-1, 0});
  ASSERT_TRUE(swapped.has_value());
  EXPECT_EQ(swapped->shape, (Shape{3, 2}));
  EXPECT_EQ(swapped->strides, (Strides{8, 24}));
  EXPECT_EQ(swapped->buffer, v.buffer);
  EXPECT_EQ(contents(*swapped), (std::vector<double>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(transposed(arange({2, 3, 4})).strides, (Strides{8, 32, 96}));
  EXPECT_EQ(transposed(arange({})).shape, Shape{});
  for (const std::vector<std::int64_t>& axes : std::vector<std::vector<std::int64_t>>{
           {0, 0}, {0, 2}, {0}, {0, 1, 2}, {-3, 0}, {1, -1}}) {
    EXPECT_EQ(error_text(v.transpose(axes)), "invalid axis permutation") << axes.size();
  }
}

TEST(KeepOrderAxes, Examples) {
  struct Case {
    const char* name;
    Shape shape;
    std::vector<OperandLayout> operands;
    std::optional<AxisOrder> order;
  } cases[] = {
      {"F operand", {2, 3}, {{{2, 3}, {8, 16}}}, AxisOrder{0, 1}},
      {"C operand", {2, 3}, {{{2, 3}, {24, 8}}}, AxisOrder{1, 0}},
      {"one vote to stay wins", {2, 3}, {{{2, 3}, {8, 16}}, {{2, 3}, {24, 8}}}, AxisOrder{1, 0}},
      {"zero stride does not vote", {2, 3}, {{{2, 3}, {0, 8}}}, AxisOrder{1, 0}},
      {"zero stride beside a voter", {2, 3}, {{{2, 3}, {0, 8}}, {{2, 3}, {8, 16}}}, AxisOrder{0, 1}},
      {"no operands", {2, 3, 4}, {}, AxisOrder{2, 1, 0}},
      {"three axes by stride", {2, 3, 4}, {{{2, 3, 4}, {8, 64, 16}}}, AxisOrder{0, 2, 1}},
      {"negative strides by magnitude", {2, 3}, {{{2, 3}, {-8, 16}}}, AxisOrder{0, 1}},
      {"broadcast operand", {2, 3}, {{{3}, {8}}}, AxisOrder{1, 0}},
      {"length-1 operand axis", {2, 3}, {{{1, 3}, {800, 8}}, {{2, 3}, {8, 16}}}, AxisOrder{0, 1}},
      {"no dimensions", {}, {{{}, {}}}, AxisOrder{}},
      {"operand dimension mismatch", {2, 3}, {{{2, 4}, {8, 16}}}, std::nullopt},
      {"operand has more dimensions", {3}, {{{1, 3}, {8, 8}}}, std::nullopt},
      {"strides count", {2, 3}, {{{2, 3}, {8}}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = keep_order_axes(c.shape, c.operands);
    if (c.order) {
      ASSERT_TRUE(got.has_value()) << error_text(got);
      EXPECT_EQ(*got, *c.order);
    } else {
      EXPECT_EQ(error_kind(got), ErrorKind::InvalidAdvancedIndex);
    }
  }
}

TEST(Relabel, ByteOrderMoves) {
  View little = *View::zeros_with_layout(DType::Float32, ByteOrder::Little, {2}, false);
  auto native = little.view_with_dtype_and_order(DType::Float32, ByteOrder::Native);
  ASSERT_TRUE(native.has_value());
  EXPECT_EQ(native->buffer, little.buffer);
  EXPECT_EQ(native->byte_order, ByteOrder::Native);
  EXPECT_EQ(error_kind(native->view_with_dtype_and_order(DType::Float32, ByteOrder::Big)), ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(little.view_with_dtype_and_order(DType::Float32, ByteOrder::NotApplicable)),
            ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(little.view_with_dtype_and_order(DType::Int32, ByteOrder::Little)), ErrorKind::DTypeMismatch);
  View big = *View::zeros_with_layout(DType::Float32, ByteOrder::Big, {2}, false);
  EXPECT_TRUE(big.view_with_dtype_and_order(DType::Float32, ByteOrder::Big).has_value());
  View bytes = *View::zeros_with_layout(DType::UInt8, ByteOrder::NotApplicable, {2}, false);
  EXPECT_EQ(bytes.view_with_dtype_and_order(DType::UInt8, ByteOrder::Big)->byte_order, ByteOrder::NotApplicable);
}

TEST(Copies, LayoutTagAndCast) {
  View source = transposed(arange({2, 3}));  // (3, 2), strides (8, 24)
  auto c = source.copy();
  ASSERT_TRUE(c.has_value());
  EXPECT_NE(c->buffer, source.buffer);
  EXPECT_EQ(c->strides, (Strides{16, 8}));
  EXPECT_EQ(contents(*c), contents(source));

  auto f = source.copy_order(true);
  EXPECT_EQ(f->strides, (Strides{8, 24}));
  EXPECT_EQ(storage(*f), (std::vector<double>{0, 1, 2, 3, 4, 5}));

  auto kept = source.copy_with_axis_order(AxisOrder{0, 1});
  EXPECT_EQ(kept->strides, (Strides{8, 24}));
  EXPECT_EQ(contents(*kept), contents(source));

  auto cast = source.astype_with_axis_order(DType::Int16, ByteOrder::Big, AxisOrder{1, 0});
  ASSERT_TRUE(cast.has_value());
  EXPECT_EQ(cast->dtype, DType::Int16);
  EXPECT_EQ(cast->byte_order, ByteOrder::Big);
  EXPECT_EQ(cast->strides, (Strides{4, 2}));
  EXPECT_EQ(contents(*cast), contents(source));

  EXPECT_EQ(source.astype_with_axis_order(DType::Bool, ByteOrder::Big, AxisOrder{1, 0})->byte_order,
            ByteOrder::NotApplicable);
  EXPECT_EQ(error_kind(source.astype_with_axis_order(DType::Int16, ByteOrder::NotApplicable, AxisOrder{1, 0})),
            ErrorKind::InvalidLayout);
  EXPECT_EQ(error_kind(source.copy_with_axis_order(AxisOrder{1})), ErrorKind::InvalidLayout);

  View big = *View::from_values_with_layout(DType::Float64, ByteOrder::Big, {2}, f64s({1, 2}), false);
  EXPECT_EQ(big.copy()->byte_order, ByteOrder::Big);
  EXPECT_EQ(contents(*big.copy()), (std::vector<double>{1, 2}));
}

TEST(Copies, PoisonedSourceFails) {
  View v = arange({2, 2});
  View t = transposed(v);
  poison(v);
  EXPECT_EQ(error_kind(v.copy_order(true)), ErrorKind::LockPoisoned);
  EXPECT_EQ(error_kind(v.astype_with_axis_order(DType::Int8, ByteOrder::Native, AxisOrder{1, 0})),
            ErrorKind::LockPoisoned);
  EXPECT_EQ(error_kind(t.reshape_order({4}, CopyMode::IfNeeded, false)), ErrorKind::LockPoisoned);
  EXPECT_TRUE(v.reshape_order({4}, CopyMode::IfNeeded, false).has_value());  // shares: no element read
}

}  // namespace
