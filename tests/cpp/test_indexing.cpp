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

TEST(BasicIndex, Table) {
  View v = arange({3, 4});
  struct Case {
    const char* name;
    Items items;
    Shape shape;
    Strides strides;
    std::uint64_t offset;
    std::vector<double> values;
  } cases[] = {
      {"last row", {I{-1}}, {4}, {8}, 64, {8, 9, 10, 11}},
      {"one element", {I{1}, I{-2}}, {}, {}, 48, {6}},
      {"reversed rows", {S{2, -1, 3}}, {3, 4}, {-32, 8}, 64, {8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3}},
      {"every other column", {S{0, 1, 3}, S{1, 2, 2}}, {3, 2}, {32, 16}, 8, {1, 3, 5, 7, 9, 11}},
      {"new axes", {N{}, I{0}, N{}}, {1, 1, 4}, {0, 0, 8}, 0, {0, 1, 2, 3}},
      {"empty slice from -1", {S{-1, -1, 0}}, {0, 4}, {32, 8}, 0, {}},
      {"empty slice from n", {S{0, 1, 3}, S{4, 1, 0}}, {3, 0}, {32, 8}, 0, {}},
      {"nothing", {}, {3, 4}, {32, 8}, 0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = v.index(c.items);
    ASSERT_TRUE(r.has_value()) << error_text(r);
    EXPECT_EQ(r->shape, c.shape);
    EXPECT_EQ(r->strides, c.strides);
    EXPECT_EQ(r->offset, c.offset);
    EXPECT_EQ(r->buffer, v.buffer);
    EXPECT_EQ(contents(*r), c.values);
  }
}

TEST(BasicIndex, Errors) {
  View v = arange({3, 4});
  struct Case {
    const char* name;
    Items items;
    ErrorKind kind;
    const char* message;
  } cases[] = {
      {"past the end", {I{3}}, ErrorKind::IndexOutOfBounds, "index 3 is out of bounds for axis 0 with size 3"},
      {"before the start", {I{-4}}, ErrorKind::IndexOutOfBounds, "index -4 is out of bounds for axis 0 with size 3"},
      {"second axis", {I{0}, I{4}}, ErrorKind::IndexOutOfBounds, "index 4 is out of bounds for axis 1 with size 4"},
      {"too many", {I{0}, I{0}, I{0}}, ErrorKind::TooManyIndices,
       "too many indices for array: array is 2-dimensional, but 3 were indexed"},
      {"step 0", {S{0, 0, 1}}, ErrorKind::InvalidLayout, "array view has an invalid or out-of-bounds layout"},
      {"slice ends outside", {S{1, 1, 3}}, ErrorKind::InvalidLayout, nullptr},
      {"slice starts outside", {S{3, -1, 1}}, ErrorKind::InvalidLayout, nullptr},
      {"empty slice below -1", {S{-2, 1, 0}}, ErrorKind::InvalidLayout, nullptr},
      {"empty slice beyond n", {S{4, 1, 0}}, ErrorKind::InvalidLayout, nullptr},
      {"slice end overflows", {S{1, INT64_MAX, 3}}, ErrorKind::LayoutOverflow, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = v.index(c.items);
    EXPECT_EQ(error_kind(r), c.kind);
    if (c.message) {
      EXPECT_EQ(error_text(r), c.message);
    }
  }
}

TEST(BasicIndex, EmptySliceFromMinusOneKeepsTheOffset) {
  // A reshaped empty view has nonzero strides; a reversed slice of it must
  // not move the offset below the buffer.
  View empty = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {3, 0}, false);
  View reshaped = *empty.reshape_order({0, 3}, CopyMode::IfNeeded, false);
  EXPECT_EQ(reshaped.strides, (Strides{24, 8}));
  auto reversed = reshaped.index(Items{S{-1, -1, 0}});
  ASSERT_TRUE(reversed.has_value()) << error_text(reversed);
  EXPECT_EQ(reversed->offset, 0u);
  EXPECT_EQ(reversed->shape, (Shape{0, 3}));
  EXPECT_TRUE(reversed->all_element_offsets()->empty());
  auto again = reversed->index(Items{S{-1, -1, 0}, S{2, -1, 3}});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->offset, 16u);
  EXPECT_TRUE(contents(*again).empty());
}

// An offset that would fall below the buffer is kept as it was for an empty
// result (it shows no element) and refused for a non-empty one.
TEST(BasicIndex, OffsetBelowTheBufferStart) {
  View empty = *View::zeros_with_layout(DType::Float64, ByteOrder::Native, {3, 0}, false);
  empty.strides = {-8, 8};
  auto row = empty.index(Items{I{2}});
  ASSERT_TRUE(row.has_value()) << error_text(row);
  EXPECT_EQ(row->offset, 0u);
  EXPECT_EQ(row->shape, Shape{0});

  View broken = arange({3});
  broken.strides = {-8};  // lowest element at byte -16
  EXPECT_EQ(error_kind(broken.index(Items{I{2}})), ErrorKind::InvalidLayout);
}

TEST(AdvancedIndex, PlacementOfBroadcastDimensions) {
  struct Case {
    const char* name;
    Shape source;
    Items items;
    Shape shape;
  } cases[] = {
      {"contiguous arrays after a slice", {5, 6, 7}, {full_slice(5), int_array_of({2, 3}, 0), int_array_of({3}, 1)},
       {5, 2, 3}},
      {"arrays separated by a slice", {5, 6, 7}, {int_array_of({2, 3}, 0), full_slice(6), int_array_of({3}, 1)},
       {2, 3, 6}},
      {"integer and array separated", {3, 4, 5}, {I{0}, full_slice(4), int_array_of({2}, 1)}, {2, 4}},
      {"integer and array adjacent", {3, 4, 5}, {full_slice(3), I{0}, int_array_of({2}, 1)}, {3, 2}},
      {"new axis separates", {3, 4}, {int_array_of({2}, 0), N{}, int_array_of({2}, 0)}, {2, 1}},
      {"broadcast index shapes", {3, 4}, {int_array_of({2, 1}, 0), int_array_of({1, 3}, 0)}, {2, 3}},
      {"trailing axes kept", {3, 4, 5}, {int_array_of({2}, 2)}, {2, 4, 5}},
      {"mask over two axes", {3, 4, 5}, {M{{3, 4}, {0, 1, 5, 6, 10, 11}}}, {6, 5}},
      {"false scalar", {3}, {B{false}}, {0, 3}},
      {"true scalar", {3}, {B{true}}, {1, 3}},
      {"true scalar after an axis", {3}, {full_slice(3), B{true}}, {3, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View v = arange(c.source);
    auto layout = v.advanced_offsets(c.items);
    ASSERT_TRUE(layout.has_value()) << error_text(layout);
    EXPECT_EQ(layout->shape, c.shape);
    auto gathered = v.index(c.items);
    ASSERT_TRUE(gathered.has_value()) << error_text(gathered);
    EXPECT_EQ(gathered->shape, c.shape);
    EXPECT_NE(gathered->buffer, v.buffer);
  }
}

TEST(AdvancedIndex, SelectedElements) {
  View v = arange({3, 4});
  struct Case {
    const char* name;
    Items items;
    std::vector<double> values;
  } cases[] = {
      {"repeated index", {int_array({3}, {1, 1, -1})}, {4, 5, 6, 7, 4, 5, 6, 7, 8, 9, 10, 11}},
      {"pairs", {int_array({2}, {0, 2}), int_array({2}, {3, -4})}, {3, 8}},
      {"outer product", {int_array({2, 1}, {0, 2}), int_array({1, 2}, {1, 3})}, {1, 3, 9, 11}},
      {"column of every row", {full_slice(3), int_array({1}, {2})}, {2, 6, 10}},
      {"mask", {M{{3, 4}, {1, 6, 11}}}, {1, 6, 11}},
      {"row mask", {M{{3}, {0, 2}}, I{-1}}, {3, 11}},
      {"integer and array", {I{1}, int_array({2}, {3, 0})}, {7, 4}},
      {"reversed slice and array", {S{2, -1, 3}, int_array({1}, {0})}, {8, 4, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = v.index(c.items);
    ASSERT_TRUE(r.has_value()) << error_text(r);
    EXPECT_EQ(contents(*r), c.values);
  }
}

TEST(AdvancedIndex, GatherStrides) {
  View v = arange({3, 4});
  View t = *arange({2, 3, 4}).transpose(std::nullopt);  // (4, 3, 2), strides (8, 32, 96)
  struct Case {
    const char* name;
    View source;
    Items items;
    Strides strides;
  } cases[] = {
      {"broadcast outermost when basic length > 1", v, {full_slice(3), int_array({2}, {0, 1})}, {8, 24}},
      {"basic by source stride", v, {int_array({2}, {0, 1})}, {32, 8}},
      {"basic dimensions keep their memory order", t, {int_array({2}, {0, 1})}, {48, 8, 24}},
      {"F-ordered index array", v, {IndexItem::IntArray{{2, 2}, {8, 16}, {0, 1, 2, 0}}, I{0}}, {8, 16}},
      {"C-ordered index array", v, {IndexItem::IntArray{{2, 2}, {16, 8}, {0, 1, 2, 0}}, I{0}}, {16, 8}},
      {"empty result", v, {int_array({0}, {})}, {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = c.source.index(c.items);
    ASSERT_TRUE(r.has_value()) << error_text(r);
    EXPECT_EQ(r->strides, c.strides);
    auto layout = c.source.advanced_offsets(c.items);
    EXPECT_EQ(layout->strides, c.strides);
  }
}

TEST(AdvancedIndex, Errors) {
  View v = arange({3, 4, 5});
  struct Case {
    const char* name;
    Items items;
    ErrorKind kind;
    const char* message;
  } cases[] = {
      {"only basic items", {I{0}, full_slice(4)}, ErrorKind::InvalidAdvancedIndex, "invalid advanced index array"},
      {"shapes do not broadcast", {int_array_of({2}, 0), int_array_of({3}, 0)}, ErrorKind::InvalidAdvancedIndex,
       nullptr},
      {"value out of bounds keeps its sign", {full_slice(3), int_array({2}, {0, -5})}, ErrorKind::IndexOutOfBounds,
       "index -5 is out of bounds for axis 1 with size 4"},
      {"unused value still checked", {int_array({1}, {7}), B{false}}, ErrorKind::IndexOutOfBounds, nullptr},
      {"integer out of bounds", {int_array_of({1}, 0), I{-5}}, ErrorKind::IndexOutOfBounds,
       "index -5 is out of bounds for axis 1 with size 4"},
      {"value count", {IndexItem::IntArray{{3}, {8}, {0, 1}}}, ErrorKind::InvalidAdvancedIndex, nullptr},
      {"too many", {int_array_of({1}, 0), I{0}, I{0}, I{0}}, ErrorKind::TooManyIndices,
       "too many indices for array: array is 3-dimensional, but 4 were indexed"},
      {"mask too long for the axes left", {I{0}, M{{4, 5, 1}, {}}}, ErrorKind::TooManyIndices,
       "too many indices for array: array is 3-dimensional, but 4 were indexed"},
      {"mask shape", {M{{3, 5}, {0}}}, ErrorKind::InvalidAdvancedIndex, nullptr},
      {"mask position", {M{{3, 4}, {12}}}, ErrorKind::InvalidAdvancedIndex, nullptr},
      {"zero-dimensional mask", {M{{}, {}}}, ErrorKind::InvalidAdvancedIndex, nullptr},
      {"step 0", {int_array_of({1}, 0), S{0, 0, 1}}, ErrorKind::InvalidLayout, nullptr},
      {"strides count", {IndexItem::IntArray{{2}, {}, {0, 1}}, I{0}, I{0}}, ErrorKind::InvalidAdvancedIndex,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = v.advanced_offsets(c.items);
    EXPECT_EQ(error_kind(r), c.kind) << error_text(r);
    if (c.message) {
      EXPECT_EQ(error_text(r), c.message);
    }
  }
  Items many(70, N{});
  many.push_back(int_array_of({1}, 0));
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
      switch (pick(0, 2)) {
        case 0: items.push_back(I{pick(-static_cast<int>(n), static_cast<int>(n) - 1)}); break;
        case 1: items.push_back(full_slice(n)); break;
        default: {
          std::vector<std::int64_t> values;
          for (std::uint64_t i = 0; i < index_length; ++i) values.push_back(pick(-static_cast<int>(n), static_cast<int>(n) - 1));
          items.push_back(int_array({index_length}, values));
        }
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

    // Oracle: where each item's result dimension lands, by the placement rule.
    std::optional<std::size_t> first, last;
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i].is_advanced() || std::holds_alternative<I>(items[i].kind)) {
        if (!first) first = i;
        last = i;
      }
    bool separated = false;
    for (std::size_t i = *first + 1; i < *last; ++i)
      separated |= std::holds_alternative<S>(items[i].kind) || std::holds_alternative<N>(items[i].kind);
    constexpr std::size_t broadcast_dims = 1;  // the arrays (or the true scalar) are one-dimensional

    const std::uint64_t count = *gathered->size();
    for (std::uint64_t p = 0; p < count; ++p) {
      Coordinates at = *coordinates_for_shape(gathered->shape, p);
      std::size_t next_dim = separated ? broadcast_dims : 0;
      std::size_t broadcast_at = 0;
      Coordinates from;
      std::size_t axis = 0;
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (!separated && i == *first) {
          broadcast_at = next_dim;
          next_dim += broadcast_dims;
        }
        const auto& kind = items[i].kind;
        if (const auto* integer = std::get_if<I>(&kind)) {
          const std::int64_t n = static_cast<std::int64_t>(source.shape[axis++]);
          from.push_back(static_cast<std::uint64_t>(integer->index < 0 ? integer->index + n : integer->index));
        } else if (std::holds_alternative<S>(kind)) {
          from.push_back(at[next_dim++]);
          ++axis;
        } else if (std::holds_alternative<N>(kind)) {
          ++next_dim;
        } else if (const auto* array = std::get_if<IndexItem::IntArray>(&kind)) {
          const std::int64_t n = static_cast<std::int64_t>(source.shape[axis++]);
          const std::int64_t v = array->values[at[broadcast_at]];
          from.push_back(static_cast<std::uint64_t>(v < 0 ? v + n : v));
        }
      }
      for (; axis < source.ndim(); ++axis) from.push_back(at[next_dim++]);
      auto expected = source.read_at(from);
      ASSERT_TRUE(expected.has_value()) << "trial " << trial;
      ASSERT_EQ(*gathered->read_at(at), *expected) << "trial " << trial << " position " << p;
      ASSERT_EQ(*selection->read_at(at), *expected) << "trial " << trial << " position " << p;
    }
    const auto before = contents(source);
    ASSERT_TRUE(source.assign_fancy_view(items, *gathered).has_value());
    ASSERT_EQ(contents(source), before);
  }
}

TEST(IndexedView, ReadsAndWritesThrough) {
  View v = arange({3, 4});
  auto selection = v.advanced_index_view(Items{int_array({2}, {2, 0}), int_array({2}, {1, 1})});
  ASSERT_TRUE(selection.has_value());
  EXPECT_EQ(selection->shape, Shape{2});
  EXPECT_EQ(selection->view.buffer, v.buffer);
  EXPECT_EQ(*selection->read_at({0}), Scalar(9.0));
  EXPECT_EQ(error_text(selection->read_at({})), "incorrect number of indices: got 0, expected 1");
  EXPECT_EQ(error_text(selection->read_at({2})), "index 2 is out of bounds for axis 0 with size 2");
  ASSERT_TRUE(selection->write_at({1}, Scalar(-1.0)).has_value());
  EXPECT_EQ(*v.read_at({0, 1}), Scalar(-1.0));
  EXPECT_EQ(error_kind(selection->write_at({1}, Scalar(1.0f))), ErrorKind::DTypeMismatch);
  poison(v);
  EXPECT_EQ(error_kind(selection->read_at({0})), ErrorKind::LockPoisoned);
}

TEST(FancyAssign, ScalarAndViewSources) {
  struct Case {
    const char* name;
    Shape destination;
    Items items;
    std::optional<Shape> source;  // nullopt: the int64 scalar 5
    std::vector<double> result;
  } cases[] = {
      {"scalar cast to float32", {3}, {int_array({2}, {0, 2})}, std::nullopt, {5, 1, 5}},
      {"last write wins", {3}, {int_array({2}, {2, 2})}, Shape{2}, {0, 1, 1}},
      {"row repeated", {2, 3}, {int_array({2}, {1, 0})}, Shape{3}, {0, 1, 2, 0, 1, 2}},
      {"zero-dimensional source", {2, 3}, {M{{2, 3}, {1, 5}}}, Shape{}, {0, 0, 2, 3, 4, 0}},
      {"false scalar writes nothing", {3}, {B{false}}, std::nullopt, {0, 1, 2}},
      {"false scalar, length-1 source", {3}, {B{false}}, Shape{1}, {0, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View destination = arange(c.destination, DType::Float32);
    auto r = c.source ? destination.assign_fancy_view(c.items, arange(*c.source, DType::Int16))
                      : destination.assign_fancy_scalar(c.items, Scalar(std::int64_t{5}));
    ASSERT_TRUE(r.has_value()) << error_text(r);
    EXPECT_EQ(contents(destination), c.result);
  }
}

TEST(FancyAssign, RepeatedPositionKeepsTheLastValue) {
  View destination = arange({3});
  auto source = View::from_values(DType::Float64, {2}, f64s({10, 20}));
  ASSERT_TRUE(destination.assign_fancy_view(Items{int_array({2}, {1, 1})}, *source).has_value());
  EXPECT_EQ(contents(destination), (std::vector<double>{0, 20, 2}));
}

TEST(FancyAssign, BroadcastErrorsChangeNothing) {
  struct Case {
    const char* name;
    Shape source;
    Items items;
    const char* message;
  } cases[] = {
      {"too short", {2}, {int_array_of({2, 3}, 0)}, "could not broadcast input array from shape [2] into shape [2, 3, 4]"},
      {"row of the wrong length", {2}, {int_array_of({3}, 0), int_array_of({3}, 0)},
       "could not broadcast input array from shape [2] into shape [3]"},
      {"more dimensions", {1, 2, 3}, {int_array_of({2, 3}, 0), int_array_of({3}, 0)},
       nullptr},
      {"empty selection", {2}, {B{false}}, "could not broadcast input array from shape [2] into shape [0, 3, 4]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    View destination = arange({3, 4});
    auto r = destination.assign_fancy_view(c.items, arange(c.source));
    EXPECT_EQ(error_kind(r), ErrorKind::BroadcastMismatch);
    if (c.message) {
      EXPECT_EQ(error_text(r), c.message);
    }
    EXPECT_EQ(contents(destination), contents(arange({3, 4})));
  }
}

TEST(FancyAssign, SelfSourceReadsOldValues) {
  View v = arange({5});
  View reversed = *v.index(Items{S{4, -1, 5}});
  ASSERT_TRUE(v.assign_fancy_view(Items{int_array({5}, {0, 1, 2, 3, 4})}, reversed).has_value());
  EXPECT_EQ(contents(v), (std::vector<double>{4, 3, 2, 1, 0}));
}

TEST(FancyAssign, ErrorsBeforeWriting) {
  View v = arange({3}, DType::Int32);
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {3})}, Scalar(1.0))), ErrorKind::IndexOutOfBounds);
  EXPECT_FALSE(v.assign_fancy_scalar(Items{int_array({1}, {0})}, Scalar::long_double("junk")).has_value());
  // The value is converted before the index is looked at.
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {3})}, Scalar::long_double("junk"))),
            error_kind(Scalar::long_double("junk").cast(DType::Int32)));
  // The selection is resolved and checked against the source before anything is read.
  View poisoned_source = arange({1});
  poison(poisoned_source);
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({1}, {3})}, poisoned_source)),
            ErrorKind::IndexOutOfBounds);
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({2}, {0, 1})}, arange({3}))),
            ErrorKind::BroadcastMismatch);
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({1}, {0})}, poisoned_source)), ErrorKind::LockPoisoned);
  EXPECT_EQ(contents(v), (std::vector<double>{0, 1, 2}));
  poison(v);
  EXPECT_EQ(error_kind(v.assign_fancy_scalar(Items{int_array({1}, {0})}, Scalar(1.0))), ErrorKind::LockPoisoned);
}

TEST(AdvancedIndex, PoisonedSourceFailsOnlyWhereElementsAreRead) {
  View v = arange({3, 4});
  poison(v);
  EXPECT_EQ(error_kind(v.index(Items{int_array({2}, {0, 1})})), ErrorKind::LockPoisoned);
  EXPECT_EQ(error_kind(v.assign_fancy_view(Items{int_array({1}, {0})}, arange({4}))), ErrorKind::LockPoisoned);
  // Resolving a selection and basic subscripting touch no element.
  EXPECT_TRUE(v.advanced_offsets(Items{int_array({2}, {0, 1})}).has_value());
  EXPECT_TRUE(v.advanced_index_view(Items{int_array({2}, {0, 1})}).has_value());
  EXPECT_TRUE(v.index(Items{I{1}}).has_value());
}

TEST(AdvancedIndex, GatheredCopyKeepsTheSourceTag) {
  auto big = View::from_values_with_layout(DType::Int32, ByteOrder::Big, {3},
                                           std::vector<Scalar>{Scalar(std::int32_t{1}), Scalar(std::int32_t{2}),
                                                               Scalar(std::int32_t{3})},
                                           false);
  ASSERT_TRUE(big.has_value());
  auto gathered = big->index(Items{int_array({2}, {2, 0})});
  ASSERT_TRUE(gathered.has_value()) << error_text(gathered);
  EXPECT_EQ(gathered->byte_order, ByteOrder::Big);
  auto guard = gathered->buffer->read();
  auto bytes = (*guard)->data.bytes();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()),
            (std::vector<std::uint8_t>{0, 0, 0, 3, 0, 0, 0, 1}));
}

}  // namespace
