// Subscript items and the resolution of advanced selections.
//
// The Python layer parses a key into IndexItems (Ellipsis already expanded);
// View::index, View::advanced_offsets, View::advanced_index_view and the two
// fancy assignments (declared in view.h) consume them.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "storage/view.h"

namespace quarvel_storage {

struct IndexItem {
  // One position on the next source axis; negative counts from the end.
  struct Integer {
    std::int64_t index = 0;
  };
  // Normalised: positions start, start + step, ..., `length` of them. step != 0.
  struct Slice {
    std::int64_t start = 0;
    std::int64_t step = 1;
    std::uint64_t length = 0;
  };
  // A result axis of length 1; consumes no source axis.
  struct NewAxis {};
  // Index values in C order of `shape`; `strides` (bytes of 8-byte elements)
  // only decide the memory layout of a gathered result.
  struct IntArray {
    Shape shape;
    Strides strides;
    std::vector<std::int64_t> values;
  };
  // An advanced index of shape (1) when true, (0) when false.
  struct BoolValue {
    bool value = false;
  };
  // Covers as many source axes as `shape` has; `positions` are the C-order
  // positions of its true entries.
  struct BoolMask {
    Shape shape;
    std::vector<std::uint64_t> positions;
  };

  using Kind = std::variant<Integer, Slice, NewAxis, IntArray, BoolValue, BoolMask>;
  Kind kind;

  IndexItem(Integer v) : kind(std::move(v)) {}
  IndexItem(Slice v) : kind(std::move(v)) {}
  IndexItem(NewAxis v) : kind(v) {}
  IndexItem(IntArray v) : kind(std::move(v)) {}
  IndexItem(BoolValue v) : kind(v) {}
  IndexItem(BoolMask v) : kind(std::move(v)) {}

  bool is_advanced() const { return kind.index() >= 3; }
};

// A resolved advanced selection.
struct AdvancedIndexLayout {
  Shape shape;                         // result shape
  std::vector<std::uint64_t> offsets;  // buffer element numbers, C order of `shape`, repeats allowed
  Strides strides;                     // memory layout of a gathered copy
};

// The elements an advanced index selects, read and written one at a time
// (each call takes the buffer's lock once).
struct IndexedView {
  View view;  // shares the source's buffer
  Shape shape;
  std::vector<std::uint64_t> offsets;

  [[nodiscard]] Result<Scalar> read_at(const Coordinates& index) const;
  // `value` must already have the view's dtype.
  [[nodiscard]] Result<void> write_at(const Coordinates& index, const Scalar& value) const;
};

// The values of an integer index view in C order, as signed sizes: uint64
// values above the signed range clamp to 2^63 - 1 (out of bounds on any
// axis). Read once under the view's lock, typed on the typed path.
[[nodiscard]] Result<std::vector<std::int64_t>> read_index_values(const View& index, LoopPath path);

// The C-order positions of the true entries of a bool view.
[[nodiscard]] Result<std::vector<std::uint64_t>> read_mask_positions(const View& mask, LoopPath path);

}  // namespace quarvel_storage
