// Typed strided loops against the element path. On every loop resolve_loop
// gives for fixed-width inputs, edge and random values (crossed pairwise for
// two inputs) go through the loop in several layouts and through the Scalar
// kernel with classify_errors; result bits, fault flags and refusals must
// agree exactly, element by element and over whole runs. This holds the typed
// element forms and the typed classification (its inline screens included)
// to the Scalar forms, which their own tests hold to mpmath, math and
// hand-worked IEEE results.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/strided_loops.h"
#include "storage/buffer.h"

namespace {

using namespace kernel_test;
using quarvel_storage::Buffer;
using quarvel_storage::ByteOrder;
using Bytes = std::vector<std::uint8_t>;
using Element = std::pair<std::size_t, std::size_t>;  // indices of its values in the first and second column

constexpr std::uint8_t sentinel = 0xA5;  // bytes a loop must leave alone

Column column_of(DType dtype, std::span<const Scalar> values) {
  Buffer buffer = *Buffer::from_values(dtype, ByteOrder::Native, values);
  Column column{dtype, Bytes(buffer.data.bytes().begin(), buffer.data.bytes().end()), {}};
  for (std::size_t i = 0; i < values.size(); ++i) column.values.push_back(*buffer.read_as(i, dtype, ByteOrder::Native));
  return column;
}

// The element path on the inputs of one element: results cast to the loop's
// output dtypes, their bytes, and the flags of the results before that cast.
struct Expected {
  bool refused = false;
  std::uint32_t faults = 0;
  std::vector<Column> results;
};

Expected element_path(Op op, const Loop& loop, std::span<const Scalar> inputs) {
  const Result<KernelOutputs> out = inputs.size() == 1 ? unary(op, inputs[0], loop.outputs[0])
                                                       : binary(op, inputs[0], inputs[1], loop.outputs[0]);
  if (!out) return {true, 0, {}};
  Expected expected{false, classify_errors(op, inputs, std::span(out->begin(), out->size())), {}};
  for (std::size_t j = 0; j < loop.outputs.size(); ++j) {
    const Scalar value = *(*out)[j].cast(loop.outputs[j]);
    expected.results.push_back(column_of(loop.outputs[j], std::span(&value, 1)));
  }
  return expected;
}

// One loop's operands: the first input's values, the second's (one empty
// slot for one input), and the element path on every pair (a, b), a major.
struct Case {
  Op op;
  Loop loop;
  StridedLoop run;
  std::vector<Column> columns;
  std::vector<Expected> expected;
  std::size_t first() const { return columns[0].size(); }
  std::size_t second() const { return columns.size() == 2 ? columns[1].size() : 1; }
  std::string text(std::size_t a, std::size_t b) const {
    std::vector<Scalar> in = {columns[0].values[a]};
    if (columns.size() == 2) in.push_back(columns[1].values[b]);
    return loop_key(op, loop.inputs) + ": " + call_text(op, in, {});
  }
};

Case make_case(Op op, const Loop& loop, std::mt19937_64& random) {
  Case c{op, loop, find_strided_loop(op, loop.inputs, loop.outputs), {}, {}};
  const int random_count = loop.inputs.size() == 1 ? 2000 : 24;  // pairs of two inputs are many already
  for (DType dtype : loop.inputs) c.columns.push_back(column_of(dtype, values_of(dtype, random_count, random)));
  for (std::size_t a = 0; a < c.first(); ++a)
    for (std::size_t b = 0; b < c.second(); ++b) {
      std::vector<Scalar> in = {c.columns[0].values[a]};
      if (c.columns.size() == 2) in.push_back(c.columns[1].values[b]);
      c.expected.push_back(element_path(op, loop, in));
    }
  return c;
}

// An operand as a loop sees it: a pointer to element 0 and a byte stride,
// over storage that may hold gaps (and sentinel bytes) between elements.
struct Operand {
  Bytes storage;
  std::size_t origin;  // where element 0 starts
  std::int64_t stride;
  std::uint8_t* base() { return storage.data() + origin; }
  std::uint8_t* at(std::size_t i) { return base() + static_cast<std::ptrdiff_t>(i) * stride; }
};

// n elements of `size` bytes, `step` elements apart (negative: last first),
// every byte sentinel.
Operand spaced(std::size_t n, std::size_t size, int step) {
  const std::size_t span = n == 0 ? 0 : (n - 1) * static_cast<std::size_t>(std::abs(step)) + 1;
  return {Bytes(span * size, sentinel), step < 0 ? (span - 1) * size : 0, step * static_cast<std::int64_t>(size)};
}

std::string hex(const std::uint8_t* p, std::size_t size) {
  std::string text;
  for (std::size_t i = size; i-- > 0;) text += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return text;
}

// One call: the elements are indices into the case, `inputs[j]` already
// holds their bytes; outputs start sentinel. Checks what the element path
// gives in that order: bits of every element up to the first refused one
// (later ones untouched), the OR of their flags, and the refusal.
// With `in_place`, output 0 is input 0's very memory (elements left unwritten
// keep their input bytes).
void check_call(const Case& c, const std::string& layout, std::vector<Element> elements,
                std::vector<Operand> inputs, int output_step, const Bytes* mask = nullptr, bool in_place = false) {
  const std::size_t n = elements.size(), nin = c.loop.inputs.size();
  std::vector<Operand> outputs;
  for (DType d : c.loop.outputs) outputs.push_back(spaced(n, d.itemsize(), output_step));
  if (in_place) outputs[0] = inputs[0];
  std::vector<std::uint8_t*> args;
  std::vector<std::int64_t> strides;
  for (std::vector<Operand>* operands : {&inputs, &outputs})
    for (Operand& o : *operands) args.push_back(o.base()), strides.push_back(o.stride);
  if (in_place) args[nin] = args[0];
  const LoopResult got = c.run(args.data(), strides.data(), n, mask ? mask->data() : nullptr, 1);
  if (in_place) std::swap(outputs[0], inputs[0]);  // the results, and the bytes the inputs held

  LoopResult want;
  bool stopped = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [a, b] = elements[i];
    const Expected& e = c.expected[a * c.second() + b];
    const bool computed = !stopped && (mask == nullptr || (*mask)[i] != 0);
    if (computed && e.refused) want.failed = stopped = true;
    const bool written = computed && !e.refused;
    if (written) want.faults |= e.faults;
    for (std::size_t j = 0; j < outputs.size(); ++j) {
      const std::size_t size = c.loop.outputs[j].itemsize();
      const Bytes expected = written ? Bytes(e.results[j].at(0), e.results[j].at(0) + size)
                             : in_place && j == 0 ? Bytes(inputs[0].at(i), inputs[0].at(i) + size)
                                                  : Bytes(size, sentinel);
      if (!std::equal(expected.begin(), expected.end(), outputs[j].at(i))) {
        ADD_FAILURE() << layout << ", element " << i << ", output " << j << ": " << c.text(a, b) << " gives "
                      << hex(outputs[j].at(i), size) << ", element path " << hex(expected.data(), size);
        return;
      }
    }
  }
  EXPECT_EQ(got.failed, want.failed) << layout << " " << c.text(elements[0].first, elements[0].second);
  EXPECT_EQ(flag_text(got.faults), flag_text(want.faults)) << layout << " " << loop_key(c.op, c.loop.inputs);
}

// The input column `j` gathered for these elements, `step` apart.
Operand gathered(const Case& c, std::size_t j, const std::vector<Element>& elements, int step) {
  const Column& column = c.columns[j];
  Operand o = spaced(elements.size(), column.dtype.itemsize(), step);
  for (std::size_t i = 0; i < elements.size(); ++i)
    std::memcpy(o.at(i), column.at(j == 0 ? elements[i].first : elements[i].second), column.dtype.itemsize());
  return o;
}
// One element of column `j` for every element of the call (stride 0).
Operand broadcast(const Case& c, std::size_t j, std::size_t index) {
  return {Bytes(c.columns[j].at(index), c.columns[j].at(index) + c.columns[j].dtype.itemsize()), 0, 0};
}

// A loop whose first input has its output's dtype, chained through its own
// output: an accumulation (input 0 the output one element back) and a fold
// (input 0 and the output one element, stride 0). Each step reads what the
// one before wrote, as in the element path's chain from the same start.
void check_chains(const Case& c) {
  const std::size_t size = c.loop.outputs[0].itemsize(), n = c.second();
  const auto step = static_cast<std::int64_t>(size), step1 = static_cast<std::int64_t>(c.loop.inputs[1].itemsize());
  for (std::size_t k = 0; k < c.first(); k += 7) {
    Bytes chain(c.columns[0].at(k), c.columns[0].at(k) + step);
    LoopResult want;
    Scalar running = c.columns[0].values[k];
    for (std::size_t b = 0; b < n; ++b) {
      const Scalar in[] = {running, c.columns[1].values[b]};
      const Expected e = element_path(c.op, c.loop, in);
      if ((want.failed = e.refused)) break;
      want.faults |= e.faults;
      running = e.results[0].values[0];
      chain.insert(chain.end(), e.results[0].at(0), e.results[0].at(0) + step);
    }
    Bytes accumulated(chain.begin(), chain.begin() + step), folded = accumulated;
    accumulated.resize((n + 1) * size, sentinel);
    std::uint8_t* column = const_cast<std::uint8_t*>(c.columns[1].at(0));
    std::uint8_t* const accumulate_args[] = {accumulated.data(), column, accumulated.data() + size};
    std::uint8_t* const fold_args[] = {folded.data(), column, folded.data()};
    const std::int64_t accumulate_strides[] = {step, step1, step}, fold_strides[] = {0, step1, 0};
    const std::string text = loop_key(c.op, c.loop.inputs) + " from " + value_text(c.columns[0].values[k]);
    for (const LoopResult& got : {c.run(accumulate_args, accumulate_strides, n, nullptr, 0),
                                  c.run(fold_args, fold_strides, n, nullptr, 0)})
      EXPECT_TRUE(got.failed == want.failed && got.faults == want.faults) << text << ": " << flag_text(got.faults);
    EXPECT_TRUE(std::equal(chain.begin(), chain.end(), accumulated.begin())) << "accumulation " << text;
    EXPECT_TRUE(std::equal(folded.begin(), folded.end(), chain.end() - step)) << "fold " << text;
  }
}

// A mask read a block of 256 at a time: each block selected whole, not at
// all, every other element, one element, or from a run that goes on into
// the next block; the patterns rotate with `shift`.
Bytes block_patterns(std::size_t n, std::size_t shift) {
  Bytes mask(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t block = i / 256, at = i % 256, pattern = (block + shift) % 5;
    const bool run_before = block > 0 && (block - 1 + shift) % 5 == 4 && at < 30;
    const bool selected = pattern == 0 || (pattern == 2 && at % 2 == 0) || (pattern == 3 && at == 100) ||
                          (pattern == 4 && at >= 200) || run_before;
    mask[i] = selected ? static_cast<std::uint8_t>(1 + i % 200) : 0;
  }
  return mask;
}

class StridedLoops : public testing::TestWithParam<int> {};

TEST_P(StridedLoops, GiveTheElementPathsBitsFlagsAndRefusals) {
  const Op op = static_cast<Op>(GetParam());
  std::mt19937_64 random(0x10095 + GetParam());
  for (const Loop& loop : fixed_width_loops(op)) {
    const Case c = make_case(op, loop, random);
    ASSERT_NE(c.run, nullptr) << "no typed loop for " << loop_key(op, loop.inputs);
    const std::size_t nin = loop.inputs.size();
    std::vector<Element> all;
    for (std::size_t a = 0; a < c.first(); ++a)
      for (std::size_t b = 0; b < c.second(); ++b) all.emplace_back(a, b);
    const auto inputs = [&](const auto& elements, int step) {
      std::vector<Operand> in;
      for (std::size_t j = 0; j < nin; ++j) in.push_back(gathered(c, j, elements, step));
      return in;
    };
    // Each element alone: its own flags and refusal.
    for (const auto& element : all) check_call(c, "alone", {element}, inputs(std::vector{element}, 1), 1);
    check_call(c, "contiguous", all, inputs(all, 1), 1);
    check_call(c, "reversed with gaps", all, inputs(all, -2), -3);
    Bytes mask(all.size());
    for (std::uint8_t& m : mask) m = static_cast<std::uint8_t>(random() % 3 == 0 ? 0 : random() | 1);
    check_call(c, "masked", all, inputs(all, 1), 1, &mask);
    if (loop.outputs[0] == loop.inputs[0]) check_call(c, "in place", all, inputs(all, 1), 1, nullptr, true);
    if (nin == 2 && loop.outputs.size() == 1 && loop.outputs[0] == loop.inputs[0]) check_chains(c);
    // Some values of one input against the column of the other, repeated
    // over more than two blocks of 256 and a remainder.
    for (std::size_t j = 0; j < nin; ++j) {
      const std::size_t count = j == 0 ? c.first() : c.second();
      for (std::size_t k = 0; k < count; k += 7) {
        std::vector<Element> column;
        for (const auto& e : all)
          if ((j == 0 ? e.first : e.second) == k) column.push_back(e);
        std::vector<Element> elements;
        for (std::size_t i = 0; i < 2 * 256 + 37; ++i) elements.push_back(column[i % column.size()]);
        std::vector<Operand> in = inputs(elements, 1);
        in[j] = broadcast(c, j, k);
        check_call(c, "broadcast input " + std::to_string(j), elements, in, 1);
        const Bytes mask = block_patterns(elements.size(), k);
        check_call(c, "masked by blocks, broadcast input " + std::to_string(j), elements, std::move(in), 1, &mask);
      }
    }
    if (HasFailure()) return;  // one loop's failures tell enough
  }
}

std::string op_param_name(const testing::TestParamInfo<int>& info) {
  return std::string(op_name(static_cast<Op>(info.param)));
}

INSTANTIATE_TEST_SUITE_P(AllOperations, StridedLoops, testing::Range(0, op_count), op_param_name);

}  // namespace

// Operands that meet at other positions run element by element, each reading
// what the ones before wrote: here an output running backwards over its input
// across several blocks, and a stride-0 output apart from a stride-0 input,
// which is no fold (the last element's result stays).
TEST(StridedLoops, OverlapsRunElementByElement) {
  const DType f8[] = {DType::Float64, DType::Float64};
  std::vector<double> data(600), want(600);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = want[i] = static_cast<double>(i + 1);
  for (std::size_t i = 0; i < want.size(); ++i) want[want.size() - 1 - i] = -want[i];
  std::uint8_t* const reversed[] = {reinterpret_cast<std::uint8_t*>(data.data()),
                                    reinterpret_cast<std::uint8_t*>(&data.back())};
  const std::int64_t reversed_strides[] = {8, -8};
  find_strided_loop(Op::negative, std::span(f8, 1), std::span(f8, 1))(reversed, reversed_strides, 600, nullptr, 0);
  EXPECT_EQ(data, want);
  double start = 1, column[] = {1, 2, 3}, out = 0;
  std::uint8_t* const apart[] = {reinterpret_cast<std::uint8_t*>(&start), reinterpret_cast<std::uint8_t*>(column),
                                 reinterpret_cast<std::uint8_t*>(&out)};
  const std::int64_t apart_strides[] = {0, 8, 0};
  find_strided_loop(Op::add, f8, std::span(f8, 1))(apart, apart_strides, 3, nullptr, 0);
  EXPECT_EQ(out, 4.0);
  // A stride-0 input at the output's first element: each sum reads the first one written.
  double running[] = {1, 0, 0};
  std::uint8_t* const first[] = {reinterpret_cast<std::uint8_t*>(running), apart[1], reinterpret_cast<std::uint8_t*>(running)};
  const std::int64_t first_strides[] = {0, 8, 8};
  find_strided_loop(Op::add, f8, std::span(f8, 1))(first, first_strides, 3, nullptr, 0);
  EXPECT_EQ(std::vector<double>(running, running + 3), (std::vector<double>{2, 4, 5}));
}
