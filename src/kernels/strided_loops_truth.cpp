// The typed strided loops of the comparisons and logical operations.
#include "kernels/strided_loop_impl.h"

namespace quarvel_kernels::strided_table {

std::span<const LoopEntry> truth_loops(Op op) { return loops_in<LoopGroup::truth>(op); }

}  // namespace quarvel_kernels::strided_table
