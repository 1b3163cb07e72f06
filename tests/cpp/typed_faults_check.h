// The typed classification against the rule core, on elements: for every
// operation and the element types of each of its loops (fixed-width and long
// double), every value of a table of edge values crossed with samples of the
// other operands and of results (arbitrary ones, and the plain products,
// sums and quotients that make exact and inexact subnormal results), the
// flags of the one-element form and of the block form (lanes as wide as the
// loop's) must be those classify_faults gives the records of the same values.
// The operations are dealt round-robin to several test files, each compiling
// only its share, so the loops' instantiations compile in parallel.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/extended_loops.h"
#include "kernels/strided_loop_impl.h"

namespace typed_faults_check {

using namespace kernel_test;
using loop_rules::LoopPiece;
using quarvel_storage::ComplexExtended;
using quarvel_storage::Extended;

inline std::vector<long double> extended_reals() {
  std::vector<long double> v;
  for (double x : special_reals()) v.push_back(x);
  const long double extremes[] = {std::numeric_limits<long double>::min(), std::numeric_limits<long double>::min() / 3,
                                  std::numeric_limits<long double>::denorm_min(),
                                  3 * std::numeric_limits<long double>::denorm_min(),
                                  std::numeric_limits<long double>::max(), 0x1p-16000L, 11000, 11000.5L, 12000,
                                  std::nextafter(-1.0L, 0.0L), 1 + 0x1p-60L};
  for (long double x : extremes) v.insert(v.end(), {x, -x});
  v.push_back(-std::numeric_limits<long double>::quiet_NaN());
  return v;
}

// Edge values of each element type.
template <class T>
std::vector<T> elements() {
  if constexpr (std::is_same_v<T, Extended>) {
    std::vector<T> out;
    for (long double x : extended_reals()) out.push_back(Extended{x});
    return out;
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    const long double parts[] = {0.0L, -0.0L, 1.0L, -1.0L, 3.0L, 0x1p-16440L, 0x1p-16382L, 1e4000L,
                                 std::numeric_limits<long double>::infinity(),
                                 std::numeric_limits<long double>::quiet_NaN()};
    std::vector<T> out;
    for (long double re : parts)
      for (long double im : parts) out.push_back({re, im});
    return out;
  } else {
    std::mt19937_64 random(0x29);
    std::vector<T> out;
    for (const Scalar& v : values_of(element_dtype<T>, 6, random)) out.push_back(v.get<T>());
    return out;
  }
}

// Every k-th of a table, from `start`.
template <class T>
std::vector<T> every(const std::vector<T>& table, std::size_t k, std::size_t start) {
  std::vector<T> out;
  for (std::size_t i = start % k; i < table.size(); i += k) out.push_back(table[i]);
  return out;
}

template <class T>
std::string text(T x) {
  if constexpr (std::is_same_v<T, Extended>) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%La", x.value);
    return buffer;
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    return "(" + text(Extended{x.re}) + ", " + text(Extended{x.im}) + ")";
  } else {
    return value_text(Scalar(x));
  }
}

// The results worth trying beside the sampled ones: the plain arithmetic of
// the inputs in the result's own type, where that type is theirs.
template <Op op, class A, class B, class R>
std::vector<R> computed_results(A a, B b) {
  std::vector<R> out;
  if constexpr (std::is_same_v<A, R> && std::is_same_v<B, R> && (std::is_floating_point_v<R> || is_complex_element<R>)) {
    out = {a * b, a + b, a - b, a / b, b / a, a * a};
  } else if constexpr (std::is_same_v<A, R> && std::is_same_v<R, Extended> && std::is_same_v<B, R>) {
    for (long double v : {a.value * b.value, a.value + b.value, a.value - b.value, a.value / b.value, 1 / a.value,
                          a.value * a.value})
      out.push_back(Extended{v});
  }
  return out;
}

struct Mismatches {
  long count = 0;
  std::string first;
};

template <Op op, LoopPiece piece, template <DType::Code> class Element>
void check_piece(Mismatches& found) {
  constexpr std::size_t nin = op_info(op).nin, nout = op_info(op).nout;
  using A = typename Element<piece.codes[0]>::type;
  using B = typename Element<piece.codes[nin - 1]>::type;
  using R1 = typename Element<piece.codes[nin]>::type;
  using R2 = typename Element<piece.codes[nin + nout - 1]>::type;
  // The block form's lanes, as classify_block picks them (fixed-width loops only).
  using M = std::conditional_t<sizeof(classify_detail::real_part_of(A{})) == 8, std::uint64_t, std::uint32_t>;
  const std::vector<A> as = elements<A>();
  const std::vector<B> bs = nin == 2 ? every(elements<B>(), 5, 0) : std::vector<B>{B{}};
  const std::vector<R1> r1s = elements<R1>();
  const std::vector<R2> r2s = every(elements<R2>(), 7, 3);
  std::size_t turn = 0;
  for (const A& a : as)
    for (const B& b0 : bs) {
      const B b = [&] {
        if constexpr (nin == 2) return b0;
        else return a;
      }();
      std::vector<R1> firsts = every(r1s, 9, turn++);
      for (const R1& r : computed_results<op, A, B, R1>(a, b)) firsts.push_back(r);
      for (const R1& r1 : firsts)
        for (std::size_t k = 0; k < (nout == 2 ? 2 : 1); ++k) {
          const R2 r2 = [&] {
            if constexpr (nout == 2) return r2s[(turn + k * 5) % r2s.size()];
            else return r1;
          }();
          const FaultValue in[] = {fault_value(a), fault_value(b)};
          const FaultValue out[] = {fault_value(r1), fault_value(r2)};
          const std::uint32_t want = classify_faults(op, std::span(in, nin), std::span(out, nout));
          const std::uint32_t one = classify_detail::typed_faults<op>(a, b, r1, r2);
          std::uint32_t lanes = one, fused = one;
          if constexpr (!classify_detail::is_long_double_element<A>) {
            // As classify_block: the common rules, then the lane rows (with
            // and without a fused multiply-add), then the calls.
            lanes = static_cast<std::uint32_t>(classify_detail::common_faults<op, M>(a, b, r1, r2));
            fused = lanes;
            if (classify_detail::needs_detail<op, M>(a, b, r1, r2) != 0) {
              lanes |= static_cast<std::uint32_t>(classify_detail::lane_row_faults<op, M>(a, b, r1, r2));
              fused |= static_cast<std::uint32_t>(classify_detail::lane_row_faults<op, M, true>(a, b, r1, r2));
              if (classify_detail::needs_detail<op, M, true>(a, b, r1, r2) != 0) {
                lanes |= classify_detail::detail_faults<op>(a, b, r1, r2);
                fused |= classify_detail::detail_faults<op>(a, b, r1, r2);
              }
            }
          }
          if (one == want && lanes == want && fused == want) continue;
          if (found.count++ == 0)
            found.first = std::string(op_name(op)) + "(" + text(a) + (nin == 2 ? ", " + text(b) : "") + ") -> " +
                          text(r1) + (nout == 2 ? ", " + text(r2) : "") + ": rule core " + flag_text(want) +
                          ", one element " + flag_text(one) + ", lanes " + flag_text(lanes) + ", fused " + flag_text(fused);
        }
    }
}

template <Op op, class Family, template <DType::Code> class Element, std::size_t... I>
void check_family(Mismatches& found, std::index_sequence<I...>) {
  constexpr const strided_table::LoopList& list = Family::template loops<op>;
  (check_piece<op, list.pieces[I], Element>(found), ...);
}

template <DType::Code C>
using fixed_element = quarvel_storage::element<C>;

template <Op op>
Mismatches check_op() {
  Mismatches found;
  // The logical operations give bool from any pair: no rule reads them.
  if constexpr (!element_forms::is_logical<op>) {
    using Fixed = strided_table::FixedWidth;
    using Long = extended_table::LongDoubleLoops;
    check_family<op, Fixed, fixed_element>(found, std::make_index_sequence<Fixed::loops<op>.count>{});
    check_family<op, Long, fixed_element>(found, std::make_index_sequence<Long::loops<op>.count>{});
  }
  return found;
}

// The share of the operations `shard` of `shards` checks, by number.
template <std::size_t shards, std::size_t shard, std::size_t... I>
Mismatches check_share(Op op, std::index_sequence<I...>) {
  Mismatches found;
  (
      [&] {
        if constexpr (I % shards == shard)
          if (static_cast<Op>(I) == op) found = check_op<static_cast<Op>(I)>();
      }(),
      ...);
  return found;
}

inline std::vector<int> ops_of_share(int shards, int shard) {
  std::vector<int> out;
  for (int i = shard; i < static_cast<int>(op_count); i += shards) out.push_back(i);
  return out;
}

inline std::string op_param_name(const testing::TestParamInfo<int>& info) {
  return std::string(op_name(static_cast<Op>(info.param)));
}

}  // namespace typed_faults_check

// One test file's share: the test and its instantiation over the share's operations.
#define QUARVEL_TYPED_FAULTS_SHARE(shards, shard)                                                              \
  namespace {                                                                                                   \
  using namespace typed_faults_check;                                                                           \
  class TypedFaults : public testing::TestWithParam<int> {};                                                    \
  TEST_P(TypedFaults, AreTheRuleCoresFlagsForEveryLoopsElementTypes) {                                          \
    const Mismatches found = check_share<shards, shard>(               \
        static_cast<Op>(GetParam()), std::make_index_sequence<op_count>{});                                     \
    EXPECT_EQ(found.count, 0) << "first: " << found.first;                                                      \
  }                                                                                                             \
  INSTANTIATE_TEST_SUITE_P(AllOperations, TypedFaults,                                                          \
                           testing::ValuesIn(ops_of_share(shards, shard)), op_param_name);                     \
  }
