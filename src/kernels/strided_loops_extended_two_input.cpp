// The typed strided loops of the long double loops: two-input operations other than comparisons and logical ones.
#include "kernels/extended_loops.h"

namespace quarvel_kernels::extended_table {

std::span<const LoopEntry> two_input_loops(Op op) {
  return strided_table::family_loops<LongDoubleLoops, LoopGroup::two_input>(op);
}

}  // namespace quarvel_kernels::extended_table
