// The generation of a strided loop table, shared by the fixed-width loops and
// the long double loops: each operation's distinct loop pieces, found from
// the loop rules at compile time, and one entry per piece pointing at its
// instantiated loop; a translation unit holds the operations of one group.
//
// A family of loops provides
//   template <Op op> static constexpr LoopList loops;                its pieces of op
//   template <Op op, LoopPiece piece> static constexpr StridedLoop loop;  their loops
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <utility>

#include "kernels/loop_rules.h"
#include "kernels/strided_loop_table.h"

namespace quarvel_kernels::strided_table {

using loop_rules::LoopPiece;

struct LoopList {
  std::array<LoopPiece, DType::count * DType::count> pieces{};
  std::size_t count = 0;
};

// The distinct pieces the rules give `op` over the input dtypes that
// `admits(a, b)` accepts, each passed through `adjust` (a piece of size 0
// is left out).
template <Op op, class Admits, class Adjust>
constexpr LoopList distinct_loops(Admits admits, Adjust adjust) {
  LoopList list;
  const int second_count = op_info(op).nin == 2 ? DType::count : 1;
  for (int a = 0; a < DType::count; ++a) {
    for (int b = 0; b < second_count; ++b) {
      const DType first = DType::from_index(a), second = DType::from_index(b);
      if (!admits(first, second)) continue;
      const LoopPiece rule = loop_rules::loop_piece(op, first, second);
      if (rule.size == 0) continue;
      const LoopPiece piece = adjust(rule);
      if (piece.size == 0) continue;
      if (std::find(list.pieces.begin(), list.pieces.begin() + list.count, piece) != list.pieces.begin() + list.count)
        continue;
      list.pieces[list.count++] = piece;
    }
  }
  return list;
}

template <class Family, Op op, std::size_t... I>
constexpr std::array<LoopEntry, sizeof...(I)> family_entries(std::index_sequence<I...>) {
  constexpr const LoopList& list = Family::template loops<op>;
  return {LoopEntry{list.pieces[I], Family::template loop<op, list.pieces[I]>}...};
}

// Only the operations of `group` are instantiated; the others have no entries.
template <class Family, LoopGroup group, Op op>
constexpr auto family_entries_in = [] {
  if constexpr (group_of(op) == group) {
    return family_entries<Family, op>(std::make_index_sequence<Family::template loops<op>.count>{});
  } else {
    return std::array<LoopEntry, 0>{};
  }
}();

template <class Family, LoopGroup group, std::size_t... I>
constexpr std::array<std::span<const LoopEntry>, op_count> family_table(std::index_sequence<I...>) {
  return {std::span<const LoopEntry>(family_entries_in<Family, group, static_cast<Op>(I)>)...};
}

// The entries of `op`, an operation of `group`.
template <class Family, LoopGroup group>
std::span<const LoopEntry> family_loops(Op op) {
  static constexpr auto table = family_table<Family, group>(std::make_index_sequence<op_count>{});
  return table[static_cast<std::size_t>(op)];
}

}  // namespace quarvel_kernels::strided_table
