// Helpers shared by the files that implement View (not part of its interface).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "storage/convert_loop.h"
#include "storage/traverse.h"
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

// --- typed loops (typed_access.cpp) ------------------------------------------
// A view takes the typed path when it is asked for, its dtype is fixed-width
// and element_base would accept its layout; any other goes element by
// element, which reports its faults in its own order.
bool takes_typed_path(const View& view, LoopPath path);

// Strides reading an operand of `from` shape (with `from_strides`) broadcast
// right-aligned to `to`: 0 on the axes it lacks or has as 1.
Strides broadcast_strides(const Shape& from, const Strides& from_strides, const Shape& to);

// `source` converted to `dtype` under tag `order` into fresh C-ordered bytes,
// read under the source's lock and released: the first half of
// copy-then-write assignment.
Result<Buffer> staged_copy(const View& source, DType dtype, ByteOrder order);

// One element's bytes: `value` (already of the fixed-width `dtype`) under `order`.
std::array<std::uint8_t, 16> encoded(const Scalar& value, DType dtype, ByteOrder order);

// Copies `pattern` (itemsize bytes) into every element of a run.
void fill_run(std::uint8_t* p, std::int64_t stride, std::uint64_t count, const std::uint8_t* pattern,
              std::size_t itemsize);

// The layout of a typed copy: the result's shape, strides, tag and element
// count, and the byte stride at which each source axis is written.
struct CopyLayout {
  Shape shape;
  Strides strides;
  ByteOrder byte_order;
  std::uint64_t count;
  Strides write_strides;
};

// A view over a fresh buffer of `to` holding every element of `source`
// converted. `layout()` is asked once the source's read lock is held and its
// layout checked, so its errors come where the element path meets them. With
// a note, a conversion that has a noting loop (convert_loop.h) sets `noted`
// where it notes an element (other conversions leave it alone).
struct CopyNote {
  NotingConvertLoop (*find)(DType from, ByteOrder from_order, DType to, ByteOrder to_order) = nullptr;
  bool* noted = nullptr;
};

template <class MakeLayout>
Result<View> typed_copy(const View& source, DType to, MakeLayout&& layout, CopyNote note = {}) {
  auto guard = lock_for_reading(source);
  if (!guard) return fail(guard.error());
  auto base = source.element_base(*guard);
  if (!base) return fail(base.error());
  Result<CopyLayout> made = layout();
  if (!made) return fail(made.error());
  auto buffer = Buffer::uninitialized(to, made->byte_order, made->count);
  if (!buffer) return fail(buffer.error());
  const ConvertLoop convert = find_conversion(source.dtype, source.byte_order, to, made->byte_order);
  const NotingConvertLoop noting = note.find ? note.find(source.dtype, source.byte_order, to, made->byte_order) : nullptr;
  for_each_row<2>(source.shape, {const_cast<std::uint8_t*>(*base), buffer->data.data()},
                  {source.strides.data(), made->write_strides.data()},
                  [&](const std::array<std::uint8_t*, 2>& p, const std::array<std::int64_t, 2>& s, std::uint64_t n) {
                    if (noting) {
                      *note.noted |= noting(p[0], s[0], p[1], s[1], n);
                    } else {
                      convert(p[0], s[0], p[1], s[1], n);
                    }
                  });
  auto handle = share_buffer(std::move(*buffer));
  if (!handle) return fail(handle.error());
  return View{std::move(made->shape), std::move(made->strides), std::move(*handle), 0, made->count,
              made->byte_order, to};
}

}  // namespace quarvel_storage::view_detail
