// Indexing: random mixed selections against an oracle that walks the items,
// the strides and offsets of basic and gathered results, slice items that
// Python never hands over unnormalised, the order in which errors win, and
// the poisoned lock. tests/python/test_differential.py holds the gathers and
// assignments Python keys reach against the element path.
#include <gtest/gtest.h>

#include <random>

#include "storage_test_util.h"

using namespace storage_test;

namespace {

using Items = std::vector<IndexItem>;
using I = IndexItem::Integer;
using S = IndexItem::Slice;
using N = IndexItem::NewAxis;
using B = IndexItem::BoolValue;
using M = IndexItem::BoolMask;

TEST(BasicIndex, OffsetsAndSliceChecks) {
  const View v = arange({3, 4});
  EXPECT_EQ(v.index(Items{S{2, -1, 3}})->offset, 64u);  // a reversed view starts at its last row
  const std::pair<Items, ErrorKind> errors[] = {
      {{I{-4}}, ErrorKind::IndexOutOfBounds},       {{I{0}, I{0}, I{0}}, ErrorKind::TooManyIndices},
      {{S{0, 0, 1}}, ErrorKind::InvalidLayout},      {{S{1, 1, 3}}, ErrorKind::InvalidLayout},
      {{S{-2, 1, 0}}, ErrorKind::InvalidLayout},     {{S{4, 1, 0}}, ErrorKind::InvalidLayout},  // empty: -1 to n
  };
  for (std::int64_t start : {-1, 3}) EXPECT_TRUE(v.index(Items{S{start, 1, 0}}).has_value()) << start;
  for (const auto& [items, kind] : errors) EXPECT_EQ(error_kind(v.index(items)), kind) << items.size();
  // Reversed empty slices of a reshaped empty view never move the offset below the buffer.
  View empty = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {3, 0}, false);
  const View reshaped = *empty.reshape_order({0, 3}, CopyMode::IfNeeded, false);
  EXPECT_EQ(reshaped.index(Items{S{-1, -1, 0}})->offset, 0u);
  EXPECT_EQ(reshaped.index(Items{S{-1, -1, 0}, S{2, -1, 3}})->offset, 16u);
  // Nor does an integer: kept for an empty result, refused for a non-empty one.
  empty.strides = {-8, 8};
  EXPECT_EQ(empty.index(Items{I{2}})->offset, 0u);
  View broken = arange({3});
  broken.strides = {-8};  // lowest element at byte -16
  EXPECT_EQ(error_kind(broken.index(Items{I{2}})), ErrorKind::InvalidLayout);
}

// A gathered copy keeps the memory order of the basic dimensions, puts the
// broadcast dimensions outermost when a basic one is longer than 1, follows
// the order of its index arrays, and keeps the source's byte order.
TEST(AdvancedIndex, GatherStridesAndTag) {
  const View v = arange({3, 4}), t = *arange({2, 3, 4}).transpose(std::nullopt);  // (4, 3, 2): (8, 32, 96)
  const std::tuple<View, Items, Strides> cases[] = {
      {v, {full_slice(3), int_array({2}, {0, 1})}, {8, 24}}, {v, {int_array({2}, {0, 1})}, {32, 8}},
      {t, {int_array({2}, {0, 1})}, {48, 8, 24}},
      {v, {IndexItem::IntArray{{2, 2}, {8, 16}, {0, 1, 2, 0}, std::nullopt}, I{0}}, {8, 16}},
  };
  for (const auto& [source, items, strides] : cases) {
    EXPECT_EQ(source.index(items)->strides, strides);
    EXPECT_EQ(source.advanced_offsets(items)->strides, strides);
  }
  const View big = *View::from_values_with_layout(DType::Int32, ByteOrder::Big, {3},
                                                  std::vector{Scalar(1), Scalar(2), Scalar(3)}, false);
  const View gathered = *big.index(Items{int_array({2}, {2, 0})});
  EXPECT_EQ(gathered.byte_order, ByteOrder::Big);
  EXPECT_EQ(storage(gathered), (std::vector<double>{3, 1}));
}

TEST(AdvancedIndex, Errors) {
  const View v = arange({3, 4, 5});
  const std::pair<Items, ErrorKind> cases[] = {
      {{I{0}, full_slice(4)}, ErrorKind::InvalidAdvancedIndex},  // only basic items
      {{int_array({2}, {0, 0}), int_array({3}, {0, 0, 0})}, ErrorKind::InvalidAdvancedIndex},
      {{int_array({1}, {7}), B{false}}, ErrorKind::IndexOutOfBounds},  // an unused value is still checked
      {{I{0}, M{{4, 5, 1}, {}}}, ErrorKind::TooManyIndices},
  };
  for (const auto& [items, kind] : cases) EXPECT_EQ(error_kind(v.advanced_offsets(items)), kind) << error_text(v.advanced_offsets(items));
  EXPECT_EQ(error_text(v.advanced_offsets(Items{full_slice(3), int_array({2}, {0, -5})})),
            "index -5 is out of bounds for axis 1 with size 4");
  Items many(70, N{});
  many.push_back(int_array({1}, {0}));
  EXPECT_EQ(error_kind(v.advanced_offsets(many)), ErrorKind::LayoutOverflow);
}

// Random mixes of integers, slices, new axes and index arrays: the gathered
// copy, the element-by-element selection and an oracle that walks the items
// directly must agree, and writing the gathered copy back changes nothing.
TEST(AdvancedIndex, RandomSelectionsAgree) {
  std::mt19937 rng(6120);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int trial = 0; trial < 300; ++trial) {
    Shape shape;
    for (int k = pick(1, 4); k > 0; --k) shape.push_back(pick(1, 4));
    View source = arange(shape);
    if (pick(0, 1)) source = *source.transpose(std::nullopt);
    const std::uint64_t index_length = pick(1, 3);
    Items items;
    for (std::uint64_t n : source.shape) {
      if (pick(0, 4) == 0) items.push_back(N{});
      const int choice = pick(0, 2), top = static_cast<int>(n) - 1;
      if (choice == 0) items.push_back(I{pick(-top - 1, top)});
      if (choice == 1) items.push_back(full_slice(n));
      if (choice == 2) {
        std::vector<std::int64_t> values;
        for (std::uint64_t i = 0; i < index_length; ++i) values.push_back(pick(-top - 1, top));
        items.push_back(int_array({index_length}, values));
      }
    }
    if (std::none_of(items.begin(), items.end(), [](const IndexItem& i) { return i.is_advanced(); }))
      items.push_back(B{true});

    auto gathered = source.index(items);
    ASSERT_TRUE(gathered.has_value()) << error_text(gathered);
    ASSERT_TRUE(gathered->validate_layout().has_value());
    auto selection = source.advanced_index_view(items);
    ASSERT_TRUE(selection.has_value());
    ASSERT_EQ(selection->shape, gathered->shape);

    // Oracle: where each item's result dimension lands, by the placement rule
    // (the arrays, or the true scalar, are one-dimensional).
    std::optional<std::size_t> first, last;
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i].is_advanced() || std::holds_alternative<I>(items[i].kind)) {
        if (!first) first = i;
        last = i;
      }
    bool separated = false;
    for (std::size_t i = *first + 1; i < *last; ++i)
      separated |= std::holds_alternative<S>(items[i].kind) || std::holds_alternative<N>(items[i].kind);
    for (std::uint64_t p = 0; p < *gathered->size(); ++p) {
      const Coordinates at = *coordinates_for_shape(gathered->shape, p);
      std::size_t next_dim = separated ? 1 : 0, broadcast_at = 0, axis = 0;
      Coordinates from;
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (!separated && i == *first) broadcast_at = next_dim++;
        const auto& kind = items[i].kind;
        const auto n = static_cast<std::int64_t>(axis < source.ndim() ? source.shape[axis] : 0);
        if (const auto* integer = std::get_if<I>(&kind)) {
          from.push_back(static_cast<std::uint64_t>(integer->index < 0 ? integer->index + n : integer->index));
          ++axis;
        } else if (std::holds_alternative<S>(kind)) {
          from.push_back(at[next_dim++]);
          ++axis;
        } else if (std::holds_alternative<N>(kind)) {
          ++next_dim;
        } else if (const auto* array = std::get_if<IndexItem::IntArray>(&kind)) {
          const std::int64_t value = array->values[at[broadcast_at]];
          from.push_back(static_cast<std::uint64_t>(value < 0 ? value + n : value));
          ++axis;
        }
      }
      for (; axis < source.ndim(); ++axis) from.push_back(at[next_dim++]);
      const auto expected = source.read_at(from);
      ASSERT_TRUE(expected.has_value()) << "trial " << trial;
      ASSERT_EQ(*gathered->read_at(at), *expected) << "trial " << trial << " position " << p;
      ASSERT_EQ(*selection->read_at(at), *expected) << "trial " << trial << " position " << p;
    }
    const auto before = contents(source);
    ASSERT_TRUE(source.assign_fancy_view(items, *gathered).has_value());
    ASSERT_EQ(contents(source), before);
  }
}

// The selection view of ufunc.at: reads and writes through to the source.
TEST(AdvancedIndex, SelectionViewReadsAndWritesThrough) {
  View v = arange({3, 4});
  auto selection = v.advanced_index_view(Items{int_array({2}, {2, 0}), int_array({2}, {1, 1})});
  EXPECT_EQ(selection->view.buffer, v.buffer);
  EXPECT_EQ(*selection->read_at({0}), Scalar(9.0));
  EXPECT_EQ(error_text(selection->read_at({2})), "index 2 is out of bounds for axis 0 with size 2");
  ASSERT_TRUE(selection->write_at({1}, Scalar(-1.0)).has_value());
  EXPECT_EQ(*v.read_at({0, 1}), Scalar(-1.0));
}

// The value is converted, then the selection resolved and checked against the
// source, before any element is read or written; a repeated position keeps
// the last value.
TEST(FancyAssign, ErrorsWinInOrderAndWriteNothing) {
  View v = arange({3}, DType::Int32);
  const Scalar junk = Scalar::long_double("junk");
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {3})}, Scalar(1.0))), ErrorKind::IndexOutOfBounds);
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {3})}, junk)), error_kind(junk.cast(DType::Int32)));
  View poisoned_source = arange({1});
  poison(poisoned_source);
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({1}, {3})}, poisoned_source)), ErrorKind::IndexOutOfBounds);
  EXPECT_EQ(error_text(v.assign_fancy_view(Items{int_array({2}, {0, 1})}, arange({3}))),
            "could not broadcast input array from shape [3] into shape [2]");
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({1}, {0})}, poisoned_source)), ErrorKind::LockPoisoned);
  EXPECT_EQ(contents(v), (std::vector<double>{0, 1, 2}));
  ASSERT_TRUE(v.assign_fancy_view(Items{int_array({2}, {1, 1})}, *View::from_values(DType::Float64, {2}, f64s({10, 20}))));
  ASSERT_TRUE(v.assign_fancy_scalar(Items{M{{3}, {0, 2}}}, Scalar(std::int64_t{5})).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{5, 20, 5}));
  // Only what reads or writes elements fails on a poisoned lock.
  poison(v);
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {0})}, Scalar(1.0))), ErrorKind::LockPoisoned);
  EXPECT_EQ(error_kind(v.index(Items{int_array({2}, {0, 1})})), ErrorKind::LockPoisoned);
  EXPECT_TRUE(v.advanced_offsets(Items{int_array({2}, {0, 1})}).has_value());
  EXPECT_TRUE(v.index(Items{I{1}}).has_value());
}

}  // namespace
