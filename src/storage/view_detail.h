// Helpers shared by the files that implement View (not part of its interface).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "storage/view.h"

namespace quarvel_storage::view_detail {

// Steps C-order coordinates to the next position (last axis fastest).
inline void next_c_order(Coordinates& coords, const Shape& shape) {
  for (std::size_t k = coords.size(); k-- > 0;) {
    if (++coords[k] < shape[k]) return;
    coords[k] = 0;
  }
}

// Steps F-order coordinates to the next position (first axis fastest).
inline void next_f_order(Coordinates& coords, const Shape& shape) {
  for (std::size_t k = 0; k < coords.size(); ++k) {
    if (++coords[k] < shape[k]) return;
    coords[k] = 0;
  }
}

// The tag a new buffer of `dtype` is stored with: 1-byte dtypes always "|",
// multi-byte dtypes never.
Result<ByteOrder> storage_byte_order(DType dtype, ByteOrder requested);

// Right-aligned broadcast of `from` into `to` (each `from` length 1 or equal);
// BroadcastMismatch{from, to} otherwise.
Result<void> check_broadcast(const Shape& from, const Shape& to);

// The C-order position in a source of `shape` selected by the trailing
// coordinates of `index` (length-1 source axes take 0).
Result<std::uint64_t> broadcast_position(const Shape& shape, std::span<const std::uint64_t> index);

// `values` (C order of `shape`) broadcast to `target` in C order, each cast
// to `dtype`; the caller has checked the broadcast.
Result<std::vector<Scalar>> broadcast_cast_values(std::span<const Scalar> values, const Shape& shape,
                                                  const Shape& target, DType dtype);

// One write lock for all: values[i] goes to element offsets[i]; the first
// failing write ends the loop.
Result<void> write_elements(const View& view, std::span<const std::uint64_t> offsets,
                            std::span<const Scalar> values);

// One write lock for all: `value` goes to every element in `offsets`.
Result<void> fill_elements(const View& view, std::span<const std::uint64_t> offsets, const Scalar& value);

// One element under the read lock.
Result<Scalar> read_element(const View& view, std::uint64_t element);

// One read lock for all: the elements at `offsets`, in that order.
Result<std::vector<Scalar>> read_elements(const View& view, std::span<const std::uint64_t> offsets);

// Read and write locks of a view's buffer (InvalidLayout for a view without one).
Result<LockedBuffer::ReadGuard> lock_for_reading(const View& view);
Result<LockedBuffer::WriteGuard> lock_for_writing(const View& view);

}  // namespace quarvel_storage::view_detail
