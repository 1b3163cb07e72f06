// The typed strided loops of the two-input operations other than comparisons and logical ones.
#include "kernels/strided_loop_impl.h"

namespace quarvel_kernels::strided_table {

std::span<const LoopEntry> two_input_loops(Op op) { return loops_in<LoopGroup::two_input>(op); }

}  // namespace quarvel_kernels::strided_table
