// The typed strided loops of the long double loops: one-input operations.
#include "kernels/extended_loops.h"

namespace quarvel_kernels::extended_table {

std::span<const LoopEntry> one_input_loops(Op op) {
  return strided_table::family_loops<LongDoubleLoops, LoopGroup::one_input>(op);
}

}  // namespace quarvel_kernels::extended_table
