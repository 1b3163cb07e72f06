// Subscript items and the resolution of advanced selections.
//
// The Python layer parses a key into IndexItems (Ellipsis already expanded);
// View::index, View::advanced_offsets, View::advanced_index_view and the two
// fancy assignments (declared in view.h) consume them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
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
    // The smallest and largest value, where whoever made `values` knows them:
    // a selection whose values all lie in bounds skips checking them.
    std::optional<std::array<std::int64_t, 2>> range;
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

// A selection whose element numbers are start + step * (one index value or
// mask position per selected element): one index array or mask spans the
// whole broadcast shape and no basic dimension is longer than 1. Its index
// values are not yet checked; whoever walks it checks them (a gather in the
// same pass as its copy, a scatter in a pass before its writes).
struct LinearSelection {
  std::uint64_t start = 0;
  std::uint64_t step = 0;
  std::uint64_t count = 0;
  const std::int64_t* values = nullptr;       // an index array on `axis` of `length`,
  const std::uint64_t* positions = nullptr;   // or the positions of a mask
  std::size_t axis = 0;
  std::uint64_t length = 0;
  bool in_bounds = false;  // every value is known to lie in bounds

  // Calls visit(i, element) for every selected element in order; with
  // `check`, stops at the first index value out of bounds and returns its
  // error.
  // The fields are read into locals first: a store through `visit` might,
  // for all the compiler knows, change them, and it would read them again
  // after every element.
  template <bool check, class Visit>
  Result<void> walk(Visit visit) const {
    const std::uint64_t first = start, unit = step, total = count, n = length;
    if (positions != nullptr) {
      const std::uint64_t* const cells = positions;
      for (std::uint64_t i = 0; i < total; ++i) visit(i, first + cells[i] * unit);
      return {};
    }
    const std::int64_t* const at_values = values;
    const auto wrap = static_cast<std::int64_t>(n);
    for (std::uint64_t i = 0; i < total; ++i) {
      const std::int64_t v = at_values[i];
      const std::int64_t at = v < 0 ? v + wrap : v;
      if constexpr (check) {
        if (static_cast<std::uint64_t>(at) >= n) [[unlikely]]
          return fail(StorageError::index_out_of_bounds(v, axis, n));
      }
      visit(i, first + static_cast<std::uint64_t>(at) * unit);
    }
    return {};
  }

  // The element of position i, its value already checked.
  std::uint64_t element(std::uint64_t i) const {
    if (positions != nullptr) return start + positions[i] * step;
    const std::int64_t v = values[i];
    return start + static_cast<std::uint64_t>(v < 0 ? v + static_cast<std::int64_t>(length) : v) * step;
  }

  Result<void> checked() const {
    if (in_bounds) return {};
    return walk<true>([](std::uint64_t, std::uint64_t) {});
  }
};

// View::advanced_index_view on the typed path, except that a selection that
// is a LinearSelection comes back in `linear`, its values checked and the
// offsets left empty (list_selection fills them). It reads the items' values:
// they must outlive it.
[[nodiscard]] Result<IndexedView> advanced_index_runs(const View& view, std::span<const IndexItem> items,
                                                      std::optional<LinearSelection>& linear);
[[nodiscard]] Result<void> list_selection(IndexedView& selection, const LinearSelection& linear);

// The values of an integer index view in C order, as signed sizes: uint64
// values above the signed range clamp to 2^63 - 1 (out of bounds on any
// axis). Read once under the view's lock, typed on the typed path.
// With `range`, the smallest and largest value there (none when empty or
// read element by element).
[[nodiscard]] Result<std::vector<std::int64_t>> read_index_values(
    const View& index, LoopPath path, std::optional<std::array<std::int64_t, 2>>* range = nullptr);

// The C-order positions of the true entries of a bool view.
[[nodiscard]] Result<std::vector<std::uint64_t>> read_mask_positions(const View& mask, LoopPath path);

}  // namespace quarvel_storage
