// Folds of sums and differences over float32 and float64, which run their
// chain unclassified first and classify only a chain that ends (or starts)
// off the finite values: against the element path (the Scalar kernel and
// classify_errors, one step after another from the same start), the final
// bits and the ORed fault flags must agree, whichever way the chain goes:
// through zeros and subnormals, into infinity and out to NaN, from an
// infinite start, past a NaN.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/strided_loops.h"

namespace {

using quarvel_kernels::Op;
using quarvel_storage::DType;
using quarvel_storage::Scalar;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double big = std::numeric_limits<double>::max();
constexpr double tiny = std::numeric_limits<double>::denorm_min();
constexpr double least_normal = std::numeric_limits<double>::min();

struct Chain {
  const char* label;
  double start;
  std::vector<double> elements;
};

const Chain chains[] = {
    {"ordinary", 0.0, {1.5, -2.25, 1e10, -1e10, 3.0}},
    {"through zero", -0.0, {0.0, -0.0, 5.0, -5.0, 0.0}},
    {"through subnormals", least_normal, {-least_normal / 2, tiny, -least_normal / 2, -tiny, least_normal}},
    {"into infinity", big, {big, 1.0, -big}},
    {"infinity then its opposite", 1.0, {big, big, -inf, 1.0}},
    {"infinite start", -inf, {1.0, 2.0}},
    {"NaN start", nan, {1.0}},
    {"NaN element", 1.0, {2.0, nan, 3.0}},
    {"long ordinary", 0.25, std::vector<double>(600, 0.5)},
    {"long, overflowing at the end", big / 2, [] {
       std::vector<double> v(700, 1.0);
       v.back() = big;
       return v;
     }()},
};

template <class F>
std::vector<std::uint8_t> bytes_of(const std::vector<double>& values) {
  std::vector<std::uint8_t> out(values.size() * sizeof(F));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const F v = static_cast<F>(values[i]);
    std::memcpy(out.data() + i * sizeof(F), &v, sizeof(F));
  }
  return out;
}

template <class F>
void check_chain(Op op, DType dtype, const Chain& chain) {
  const DType inputs[] = {dtype, dtype}, outputs[] = {dtype};
  const quarvel_kernels::StridedLoop loop = quarvel_kernels::find_strided_loop(op, inputs, outputs);
  ASSERT_NE(loop, nullptr);
  // The element path, one step after another.
  Scalar running(static_cast<F>(chain.start));
  std::uint32_t want = 0;
  for (double element : chain.elements) {
    const Scalar in[] = {running, Scalar(static_cast<F>(element))};
    const auto out = quarvel_kernels::binary(op, in[0], in[1], dtype);
    ASSERT_TRUE(out.has_value());
    want |= quarvel_kernels::classify_errors(op, in, std::span(out->begin(), out->size()));
    running = *(*out)[0].cast(dtype);
  }
  // The fold: input 0 and the output one element at stride 0.
  F value = static_cast<F>(chain.start);
  std::vector<std::uint8_t> column = bytes_of<F>(chain.elements);
  std::uint8_t* args[] = {reinterpret_cast<std::uint8_t*>(&value), column.data(), reinterpret_cast<std::uint8_t*>(&value)};
  const std::int64_t strides[] = {0, static_cast<std::int64_t>(sizeof(F)), 0};
  const quarvel_kernels::LoopResult got = loop(args, strides, chain.elements.size(), nullptr, 0);
  const std::string what = std::string(chain.label) + (op == Op::add ? " sum" : " difference");
  EXPECT_EQ(got.faults, want) << what;
  EXPECT_FALSE(got.failed) << what;
  const F expected = running.get<F>();
  EXPECT_EQ(std::memcmp(&value, &expected, sizeof(F)), 0) << what << ": " << value << ", element path " << expected;
}

class FoldChains : public testing::TestWithParam<Op> {};

TEST_P(FoldChains, EndWithTheElementPathsBitsAndFlags) {
  for (const Chain& chain : chains) {
    check_chain<double>(GetParam(), DType::Float64, chain);
    check_chain<float>(GetParam(), DType::Float32, chain);
  }
}

INSTANTIATE_TEST_SUITE_P(SumsAndDifferences, FoldChains, testing::Values(Op::add, Op::subtract),
                         [](const testing::TestParamInfo<Op>& info) {
                           return std::string(quarvel_kernels::op_name(info.param));
                         });

}  // namespace
