// Finding the typed strided loop of a call in the table of its group.
#include "kernels/strided_loops.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>

#include "kernels/extended_loops.h"
#include "kernels/strided_loop_table.h"

namespace quarvel_kernels {

namespace {

bool any_long_double(std::span<const DType> inputs, std::span<const DType> outputs) {
  for (std::span<const DType> dtypes : {inputs, outputs})
    for (DType dtype : dtypes)
      if (dtype.is_long_double()) return true;
  return false;
}

// The loops of `op` in the tables of its group: the long double ones or the others.
std::span<const strided_table::LoopEntry> group_loops(Op op, bool long_double) {
  using strided_table::LoopGroup;
  switch (strided_table::group_of(op)) {
    case LoopGroup::one_input:
      return long_double ? extended_table::one_input_loops(op) : strided_table::one_input_loops(op);
    case LoopGroup::truth: return long_double ? extended_table::truth_loops(op) : strided_table::truth_loops(op);
    case LoopGroup::two_input:
      return long_double ? extended_table::two_input_loops(op) : strided_table::two_input_loops(op);
  }
  return {};
}

}  // namespace

StridedLoop find_strided_loop(Op op, std::span<const DType> inputs, std::span<const DType> outputs) {
  const OpInfo& info = op_info(op);
  if (inputs.size() != info.nin || outputs.size() != info.nout) return nullptr;
  // Every call looks its loop up: the codes compared as one word (the
  // pieces hold zeros past their size, as the wanted codes do).
  loop_rules::LoopPiece wanted;
  for (std::size_t i = 0; i < info.nin; ++i) wanted.codes[wanted.size++] = inputs[i].code;
  for (std::size_t j = 0; j < info.nout; ++j) wanted.codes[wanted.size++] = outputs[j].code;
  const auto key = std::bit_cast<std::uint32_t>(wanted.codes);
  const std::span<const strided_table::LoopEntry> loops = group_loops(op, any_long_double(inputs, outputs));
  // Calls of one operation mostly repeat their dtypes: the entry found last is
  // tried first. Only a hint, checked against the table, so any value is safe.
  static std::array<std::atomic<std::uint16_t>, op_count> last_found{};
  std::atomic<std::uint16_t>& last = last_found[static_cast<std::size_t>(op)];
  const std::size_t hint = last.load(std::memory_order_relaxed);
  if (hint < loops.size() && std::bit_cast<std::uint32_t>(loops[hint].piece.codes) == key) return loops[hint].loop;
  for (std::size_t k = 0; k < loops.size(); ++k) {
    if (std::bit_cast<std::uint32_t>(loops[k].piece.codes) != key) continue;
    last.store(static_cast<std::uint16_t>(k), std::memory_order_relaxed);
    return loops[k].loop;
  }
  return nullptr;
}

}  // namespace quarvel_kernels
