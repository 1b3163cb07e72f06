// Strided traversal of N operands at once, one call per innermost run.
//
// for_each_row visits every element position of `shape` in C order (last axis
// fastest). Each operand is a base byte pointer (its element at coordinates
// (0, ..., 0)) and one signed byte stride per axis of `shape` (0 where it
// broadcasts). Axes of length 1 are dropped and neighbouring axes whose strides
// nest for every operand are merged, so
//   row(pointers, inner_strides, count)
// is called once per innermost run, the pointers at the run's first element.
// C order is kept exactly (overlapping writes and "last write wins" rely on
// it). An empty shape is one element; a zero length visits nothing.
//
// The layout must already be checked (View::element_base): no offset is
// checked here. The shape's element count must fit 64 bits, so at most 64
// axes are longer than 1.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "storage/storage_error.h"

namespace quarvel_storage {

template <std::size_t N, class Row>
void for_each_row(const Shape& shape, const std::array<std::uint8_t*, N>& bases,
                  const std::array<const std::int64_t*, N>& strides, Row&& row);

// ---------------------------------------------------------------------------

namespace traverse_detail {

template <std::size_t N>
struct Axis {
  std::uint64_t length;
  std::array<std::int64_t, N> stride;
};

// Whether `outer` steps exactly over one whole run of `inner` for every operand.
template <std::size_t N>
bool nests(const Axis<N>& outer, const Axis<N>& inner) {
  for (std::size_t i = 0; i < N; ++i) {
    std::int64_t span;
    if (__builtin_mul_overflow(inner.stride[i], static_cast<std::int64_t>(inner.length), &span) ||
        outer.stride[i] != span)
      return false;
  }
  return true;
}

}  // namespace traverse_detail

template <std::size_t N, class Row>
void for_each_row(const Shape& shape, const std::array<std::uint8_t*, N>& bases,
                  const std::array<const std::int64_t*, N>& strides, Row&& row) {
  using Axis = traverse_detail::Axis<N>;
  constexpr std::size_t capacity = 64;
  std::array<Axis, capacity> axes;  // outermost first
  std::size_t n = 0;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (shape[k] == 0) return;
    if (shape[k] == 1) continue;
    Axis axis{shape[k], {}};
    for (std::size_t i = 0; i < N; ++i) axis.stride[i] = strides[i][k];
    if (n > 0 && traverse_detail::nests(axes[n - 1], axis)) {
      axes[n - 1] = {axes[n - 1].length * axis.length, axis.stride};
    } else {
      if (n == capacity) return;  // more than 2^64 elements: not a layout any view has
      axes[n++] = axis;
    }
  }
  std::array<std::int64_t, N> inner{};
  if (n == 0) {
    row(bases, inner, std::uint64_t{1});
    return;
  }
  const Axis& run = axes[n - 1];
  inner = run.stride;
  // One row: the common case of a small call, with no counters to set up.
  if (n == 1) {
    row(bases, inner, run.length);
    return;
  }
  // Offsets from the bases, so no pointer is formed outside the operands.
  std::array<std::int64_t, N> offset{};
  std::array<std::uint64_t, capacity> counter;  // the outer n - 1 axes, zeroed below
  std::fill_n(counter.begin(), n, 0);
  std::array<std::uint8_t*, N> pointers;
  for (;;) {
    for (std::size_t i = 0; i < N; ++i) pointers[i] = bases[i] + offset[i];
    row(pointers, inner, run.length);
    std::size_t k = n - 1;
    for (;;) {
      if (k == 0) return;
      --k;
      const Axis& axis = axes[k];
      if (++counter[k] < axis.length) {
        for (std::size_t i = 0; i < N; ++i) offset[i] += axis.stride[i];
        break;
      }
      counter[k] = 0;
      for (std::size_t i = 0; i < N; ++i)
        offset[i] -= axis.stride[i] * static_cast<std::int64_t>(axis.length - 1);
    }
  }
}

}  // namespace quarvel_storage
