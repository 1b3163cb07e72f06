// The typed strided loops of the long double loops: comparisons and logical operations.
#include "kernels/extended_loops.h"

namespace quarvel_kernels::extended_table {

std::span<const LoopEntry> truth_loops(Op op) {
  return strided_table::family_loops<LongDoubleLoops, LoopGroup::truth>(op);
}

}  // namespace quarvel_kernels::extended_table
