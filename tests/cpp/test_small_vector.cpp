// SmallVector against std::vector: every operation, run on sizes inside the
// inline room, at its edge and beyond it, must leave the same elements.
#include "storage/small_vector.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <numeric>
#include <string>
#include <span>
#include <vector>

namespace {

using quarvel_storage::SmallVector;
using Small = SmallVector<std::int64_t, 4>;

std::vector<std::int64_t> as_vector(const Small& v) { return {v.begin(), v.end()}; }

std::vector<std::int64_t> counting(std::size_t n) {
  std::vector<std::int64_t> values(n);
  std::iota(values.begin(), values.end(), 1);
  return values;
}

class SmallVectorSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SmallVectorSizes, BuildsAsAVectorWould) {
  const std::size_t n = GetParam();
  const std::vector<std::int64_t> expected = counting(n);
  Small pushed;
  for (std::int64_t value : expected) pushed.push_back(value);
  EXPECT_EQ(as_vector(pushed), expected);
  EXPECT_EQ(as_vector(Small(expected.begin(), expected.end())), expected);
  EXPECT_EQ(as_vector(Small(std::span<const std::int64_t>(expected))), expected);
  EXPECT_EQ(as_vector(Small(n, 7)), std::vector<std::int64_t>(n, 7));
  EXPECT_EQ(as_vector(Small(n)), std::vector<std::int64_t>(n, 0));
  EXPECT_EQ(pushed.size(), n);
  EXPECT_EQ(pushed.empty(), n == 0);
  EXPECT_GE(pushed.capacity(), n);
}

TEST_P(SmallVectorSizes, CopiesAndMovesKeepTheElements) {
  const std::vector<std::int64_t> expected = counting(GetParam());
  const Small original(expected.begin(), expected.end());
  Small copy = original;
  EXPECT_EQ(as_vector(copy), expected);
  Small moved = std::move(copy);
  EXPECT_EQ(as_vector(moved), expected);
  EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from vector is left empty
  copy.push_back(9);          // and usable
  EXPECT_EQ(as_vector(copy), std::vector<std::int64_t>{9});
  Small assigned{1, 2, 3, 4, 5, 6};
  assigned = original;
  EXPECT_EQ(as_vector(assigned), expected);
  Small move_assigned{1, 2, 3, 4, 5, 6};
  move_assigned = Small(original);
  EXPECT_EQ(as_vector(move_assigned), expected);
  Small self = original;
  self = *&self;
  EXPECT_EQ(as_vector(self), expected);
  Small a = original, b{42};
  a.swap(b);
  EXPECT_EQ(as_vector(a), std::vector<std::int64_t>{42});
  EXPECT_EQ(as_vector(b), expected);
}

TEST_P(SmallVectorSizes, ResizesAssignsInsertsAndErasesAsAVector) {
  const std::size_t n = GetParam();
  std::vector<std::int64_t> reference = counting(n);
  Small small(reference.begin(), reference.end());
  small.resize(n + 3, -1);
  reference.resize(n + 3, -1);
  EXPECT_EQ(as_vector(small), reference);
  small.insert(small.begin() + 1, 50);
  reference.insert(reference.begin() + 1, 50);
  small.insert(small.end(), 2, 60);
  reference.insert(reference.end(), 2, 60);
  const std::int64_t more[] = {70, 71, 72};
  small.insert(small.begin(), std::begin(more), std::end(more));
  reference.insert(reference.begin(), std::begin(more), std::end(more));
  EXPECT_EQ(as_vector(small), reference);
  small.erase(small.begin() + 2);
  reference.erase(reference.begin() + 2);
  small.erase(small.begin(), small.begin() + 3);
  reference.erase(reference.begin(), reference.begin() + 3);
  EXPECT_EQ(as_vector(small), reference);
  small.pop_back();
  reference.pop_back();
  small.resize(1);
  reference.resize(1);
  EXPECT_EQ(as_vector(small), reference);
  small.assign(n, 3);
  EXPECT_EQ(as_vector(small), std::vector<std::int64_t>(n, 3));
  small.assign({5, 6});
  EXPECT_EQ(as_vector(small), (std::vector<std::int64_t>{5, 6}));
  small.clear();
  EXPECT_TRUE(small.empty());
}

TEST_P(SmallVectorSizes, TakesItsOwnElementsWhileGrowing) {
  const std::size_t n = GetParam();
  if (n == 0) GTEST_SKIP() << "needs an element";
  std::vector<std::int64_t> reference = counting(n);
  Small small(reference.begin(), reference.end());
  for (int i = 0; i < 6; ++i) {
    small.push_back(small.front());
    reference.push_back(reference.front());
    small.insert(small.begin(), small.back());
    reference.insert(reference.begin(), reference.back());
  }
  small.insert(small.begin() + 1, small.begin(), small.end());
  const std::vector<std::int64_t> copy = reference;
  reference.insert(reference.begin() + 1, copy.begin(), copy.end());
  EXPECT_EQ(as_vector(small), reference);
  small.assign(small.size() + 5, small.back());
  EXPECT_EQ(as_vector(small), std::vector<std::int64_t>(reference.size() + 5, reference.back()));
}

INSTANTIATE_TEST_SUITE_P(InsideAtAndBeyondTheInlineRoom, SmallVectorSizes, ::testing::Values(0, 1, 3, 4, 5, 9, 64));

TEST(SmallVector, ComparesByElements) {
  EXPECT_EQ(Small({1, 2}), Small({1, 2}));
  EXPECT_NE(Small({1, 2}), Small({1, 2, 0}));
  EXPECT_NE(Small({1, 2}), Small({1, 3}));
  EXPECT_EQ(Small(), Small(std::size_t{0}, 5));
  EXPECT_LT(Small({1, 2}), Small({1, 3}));
  EXPECT_LT(Small({1, 2}), Small({1, 2, 0}));
  const std::vector<std::int64_t> nine = counting(9);
  const Small long_one(nine.begin(), nine.end());
  EXPECT_EQ(long_one, Small(long_one));
  EXPECT_EQ(std::vector<std::int64_t>(long_one.rbegin(), long_one.rend()).front(), 9);
}

TEST(SmallVector, RefusesSizesPastItsRange) {
  Small small;
  EXPECT_THROW(small.reserve(Small::max_size() + 1), std::length_error);
  EXPECT_THROW(small.at(0), std::out_of_range);
  EXPECT_TRUE(small.empty());
}

// FixedVector holds only what was put in: each value made once, released
// when dropped, copied and moved whole, and refused past its room.
TEST(FixedVector, MakesAndReleasesOnlyTheValuesItHolds) {
  using quarvel_storage::FixedVector;
  auto held = std::make_shared<int>(0);
  {
    FixedVector<std::shared_ptr<int>, 3> list;
    EXPECT_EQ(held.use_count(), 1);
    list.push_back(held);
    list.emplace_back(held);
    EXPECT_EQ(held.use_count(), 3);
    FixedVector<std::shared_ptr<int>, 3> copy = list;
    EXPECT_EQ(held.use_count(), 5);
    FixedVector<std::shared_ptr<int>, 3> moved = std::move(copy);
    EXPECT_EQ(held.use_count(), 5);
    EXPECT_EQ(moved.size(), 2u);
    list.emplace_back();
    EXPECT_EQ(list.back(), nullptr);
    EXPECT_THROW(list.push_back(held), std::length_error);
    EXPECT_EQ(list.size(), 3u);
    list.clear();
    EXPECT_EQ(held.use_count(), 3);
    list = moved;
    EXPECT_EQ(held.use_count(), 5);
  }
  EXPECT_EQ(held.use_count(), 1);
  FixedVector<std::string, 2> texts{"a", "bc"};
  EXPECT_EQ(texts[1], "bc");
  texts = FixedVector<std::string, 2>{"d"};
  EXPECT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "d");
}

}  // namespace
