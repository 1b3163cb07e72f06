// The table of typed strided loops, held by three translation units, one per
// group of operations, so that their many instantiations compile in parallel.
#pragma once

#include <span>

#include "kernels/loop_rules.h"
#include "kernels/ops.h"
#include "kernels/strided_loops.h"

namespace quarvel_kernels::strided_table {

struct LoopEntry {
  loop_rules::LoopPiece piece;  // inputs, then outputs
  StridedLoop loop;
};

enum class LoopGroup : std::uint8_t {
  one_input,  // strided_loops_one_input.cpp
  truth,      // comparisons and logical operations, strided_loops_truth.cpp
  two_input,  // every other two-input operation, strided_loops_two_input.cpp
};

constexpr LoopGroup group_of(Op op) {
  using enum Op;
  if (op_info(op).nin == 1) return LoopGroup::one_input;
  switch (op) {
    case equal:
    case not_equal:
    case less:
    case less_equal:
    case greater:
    case greater_equal:
    case logical_and:
    case logical_or:
    case logical_xor: return LoopGroup::truth;
    default: return LoopGroup::two_input;
  }
}

// The distinct loops the rules give `op` over fixed-width inputs; each
// function answers for the operations of its group only.
std::span<const LoopEntry> one_input_loops(Op op);
std::span<const LoopEntry> truth_loops(Op op);
std::span<const LoopEntry> two_input_loops(Op op);

}  // namespace quarvel_kernels::strided_table
