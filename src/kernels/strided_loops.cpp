// Finding the typed strided loop of a call in the table of its group.
#include "kernels/strided_loops.h"

#include <bit>
#include <cstdint>

#include "kernels/strided_loop_table.h"

namespace quarvel_kernels {

StridedLoop find_strided_loop(Op op, std::span<const DType> inputs, std::span<const DType> outputs) {
  using namespace strided_table;
  const OpInfo& info = op_info(op);
  if (inputs.size() != info.nin || outputs.size() != info.nout) return nullptr;
  std::span<const LoopEntry> loops;
  switch (group_of(op)) {
    case LoopGroup::one_input: loops = one_input_loops(op); break;
    case LoopGroup::truth: loops = truth_loops(op); break;
    case LoopGroup::two_input: loops = two_input_loops(op); break;
  }
  // Every call looks its loop up: the codes compared as one word (the
  // pieces hold zeros past their size, as the wanted codes do).
  loop_rules::LoopPiece wanted;
  for (std::size_t i = 0; i < info.nin; ++i) wanted.codes[wanted.size++] = inputs[i].code;
  for (std::size_t j = 0; j < info.nout; ++j) wanted.codes[wanted.size++] = outputs[j].code;
  const auto key = std::bit_cast<std::uint32_t>(wanted.codes);
  for (const LoopEntry& entry : loops)
    if (std::bit_cast<std::uint32_t>(entry.piece.codes) == key) return entry.loop;
  return nullptr;
}

}  // namespace quarvel_kernels
