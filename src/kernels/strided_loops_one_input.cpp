// The typed strided loops of the one-input operations.
#include "kernels/strided_loop_impl.h"

namespace quarvel_kernels::strided_table {

std::span<const LoopEntry> one_input_loops(Op op) { return loops_in<LoopGroup::one_input>(op); }

}  // namespace quarvel_kernels::strided_table
