// View: an n-dimensional strided window on a shared Buffer, its layout rules
// and the constructors over fresh buffers.
//
// Strides are signed byte strides, the offset a byte offset of element
// (0, ..., 0); a buffer element number counts elements. Value lists handed in or
// out (snapshots, constructor inputs, gathered selections) are always in C order
// of their shape, whatever the memory layout. All layout arithmetic is checked
// against the signed 64-bit range (LayoutOverflow).
//
// Member functions live in four files: view.cpp (layout, constructors),
// access.cpp (element reads, writes, assignments), layout.cpp (copies, casts,
// reshape, transpose), indexing.cpp (subscripting, advanced selection and
// assignment; its types are in indexing.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "storage/buffer.h"
#include "storage/dtype.h"
#include "storage/scalar.h"
#include "storage/storage_error.h"

namespace quarvel_storage {

using Strides = SmallVector<std::int64_t, inline_dimensions>;
// One unsigned coordinate per dimension.
using Coordinates = SmallVector<std::uint64_t, inline_dimensions>;
// Axes listed from the innermost (smallest stride) to the outermost.
using AxisOrder = SmallVector<std::size_t, inline_dimensions>;
// A ufunc operand's shape and byte strides, for keep_order_axes.
using OperandLayout = std::pair<Shape, Strides>;

inline constexpr std::size_t max_dimensions = 64;

// Reshape copy modes.
enum class CopyMode : std::uint8_t { Never = 0, Always = 1, IfNeeded = 2 };

// How bulk operations run over fixed-width dtypes: typed loops on raw element
// pointers, or element at a time through Scalars (kept to test the typed loops
// against). Both give the same values, layouts, errors and their order. Long
// double dtypes always go element at a time.
enum class LoopPath : std::uint8_t { Typed, Element };

struct IndexItem;
struct AdvancedIndexLayout;
struct IndexedView;

// Product of the dimensions; LayoutOverflow above 2^63 - 1. No dimensions give 1.
[[nodiscard]] Result<std::uint64_t> element_count(std::span<const std::uint64_t> shape);

// Whether `strides` lay `shape` out element after element, from the first
// axis last (C order) or first (F order); empty layouts are both.
bool contiguous_layout(const Shape& shape, std::span<const std::int64_t> strides, std::uint64_t itemsize,
                       bool c_order);
[[nodiscard]] Result<Strides> c_strides(DType dtype, const Shape& shape);
[[nodiscard]] Result<Strides> f_strides(DType dtype, const Shape& shape);
// The multi-index of position `linear` walked in C (last axis fastest) or F order.
[[nodiscard]] Result<Coordinates> coordinates_for_order(const Shape& shape, std::uint64_t linear, bool f_order);
[[nodiscard]] Result<Coordinates> coordinates_for_shape(const Shape& shape, std::uint64_t linear);

// Right-aligned broadcast of shapes, merged left to right: each length pairs
// with the running result's from the last axis back; equal lengths or a 1
// (which takes the other, so 1 with 0 gives 0) merge. The first shape that
// does not fit fails with BroadcastMismatch{from: that shape, to: the running
// result}. No shapes give the empty shape.
[[nodiscard]] Result<Shape> broadcast_shapes(std::span<const Shape> shapes);
// Whether `from` broadcasts to exactly `to` (each length 1 or equal).
bool broadcasts_to(const Shape& from, const Shape& to);

// The C-order position in a source of `shape` of result index `index` when the
// source is broadcast (right-aligned) to the result.
[[nodiscard]] Result<std::uint64_t> broadcast_index(const Shape& shape, const Coordinates& index);

// Contiguous strides in which every 0 dimension counts as 1 (reshape results).
[[nodiscard]] Result<Strides> reshape_empty_strides(DType dtype, const Shape& shape, bool f_order);

// Strides contiguous in `axis_order` (innermost first, a permutation of the
// axes); all zero for a shape without elements.
[[nodiscard]] Result<Strides> axis_order_strides(DType dtype, const Shape& shape, const AxisOrder& axis_order);

// The axis order (innermost first) that keeps the operands' memory order for a
// result of `shape`; one vote to stay wins, zero strides do not vote.
[[nodiscard]] Result<AxisOrder> keep_order_axes(const Shape& shape, std::span<const OperandLayout> operands);

struct View {
  Shape shape;
  Strides strides;
  BufferHandle buffer;
  std::uint64_t offset = 0;
  std::uint64_t len = 0;
  ByteOrder byte_order = ByteOrder::Native;
  DType dtype = DType::Float64;

  std::size_t ndim() const { return shape.size(); }

  // --- layout (view.cpp) ---------------------------------------------------
  [[nodiscard]] Result<std::uint64_t> size() const;
  [[nodiscard]] Result<void> validate_layout() const;
  // Buffer element number of one full index (bounds-checked).
  [[nodiscard]] Result<std::uint64_t> element_offset(const Coordinates& index) const;
  bool is_c_contiguous() const;
  bool is_f_contiguous() const;
  // Buffer element numbers of all elements in C order.
  [[nodiscard]] Result<std::vector<std::uint64_t>> all_element_offsets() const;

  // --- raw element access (view.cpp) ----------------------------------------
  // Typed loops reach the elements through pointers while a guard of the
  // view's buffer is held:
  //   auto guard = view.buffer->read();            // or write()
  //   auto base = view.element_base(*guard);       // element (0, ..., 0)
  //   element at coordinates c: *base + sum(c[k] * strides[k])
  // element_base checks the whole layout once, in the order the element path
  // meets the same faults: validate_raw_layout's errors, then DTypeMismatch when
  // the buffer holds another dtype and InvalidLayout when it is shorter than
  // `len`; InvalidLayout for a guard of another buffer. A view without
  // elements gets the buffer's start (never read) and no buffer check.
  [[nodiscard]] Result<const std::uint8_t*> element_base(const LockedBuffer::ReadGuard& guard) const;
  [[nodiscard]] Result<std::uint8_t*> element_base(const LockedBuffer::WriteGuard& guard) const;
  // The lock-free part: validate_layout, and every element aligned to the
  // itemsize (the element path refuses the others).
  [[nodiscard]] Result<void> validate_raw_layout() const;

  // --- constructors over a fresh buffer (view.cpp); values in C order, never cast
  [[nodiscard]] static Result<View> allocated_order(DType dtype, ByteOrder byte_order, Shape shape, bool f_order);
  [[nodiscard]] static Result<View> allocated_order(DType dtype, ByteOrder byte_order, Shape shape, bool f_order,
                                                    bool zero);
  [[nodiscard]] static Result<View> allocated_with_strides(DType dtype, ByteOrder byte_order, Shape shape,
                                                           Strides strides, bool zero);
  [[nodiscard]] static Result<View> zeros_with_layout(DType dtype, ByteOrder byte_order, Shape shape, bool f_order);
  // Zero elements laid out with the given strides (which must fit the shape).
  [[nodiscard]] static Result<View> zeros_with_strides(DType dtype, ByteOrder byte_order, Shape shape,
                                                       Strides strides);
  // A new vector of `count` elements whose bytes `fill` writes, every one,
  // given the first element and `context`, before the buffer is shared: no
  // one else can see them yet, so no lock is taken.
  [[nodiscard]] static Result<View> filled_vector(DType dtype, ByteOrder byte_order, std::uint64_t count,
                                                  void (*fill)(std::uint8_t* first, const void* context),
                                                  const void* context);
  // The same two without zeroing, for a caller whose loop writes every element
  // before any is read: the fill would be wasted.
  [[nodiscard]] static Result<View> unfilled_with_layout(DType dtype, ByteOrder byte_order, Shape shape,
                                                         bool f_order);
  [[nodiscard]] static Result<View> unfilled_with_strides(DType dtype, ByteOrder byte_order, Shape shape,
                                                          Strides strides);
  [[nodiscard]] static Result<View> from_values(DType dtype, Shape shape, std::span<const Scalar> values);
  [[nodiscard]] static Result<View> from_values_with_layout(DType dtype, ByteOrder byte_order, Shape shape,
                                                            std::span<const Scalar> values, bool f_order);
  [[nodiscard]] static Result<View> from_values_with_strides(DType dtype, ByteOrder byte_order, Shape shape,
                                                             std::span<const Scalar> values, Strides strides);
  [[nodiscard]] static Result<View> from_values_with_axis_order(DType dtype, ByteOrder byte_order, Shape shape,
                                                                std::span<const Scalar> values,
                                                                const AxisOrder& axis_order);

  // --- element access (access.cpp); one lock acquisition per call ----------
  [[nodiscard]] Result<Scalar> read_at(const Coordinates& index) const;
  // `value` must already have the view's dtype.
  [[nodiscard]] Result<void> write_at(const Coordinates& index, const Scalar& value) const;
  // Every element in C order, read under one read lock.
  [[nodiscard]] Result<std::vector<Scalar>> snapshot() const;
  // Source broadcast to this view and cast to its dtype; the source is read and
  // released before this view's write lock is taken (copy-then-write).
  [[nodiscard]] Result<void> assign_view(const View& source, LoopPath path = LoopPath::Typed) const;
  // The leading elements in C order; values must have the view's dtype.
  [[nodiscard]] Result<void> assign_prefix(std::span<const Scalar> values, LoopPath path = LoopPath::Typed) const;
  // `value` cast to the view's dtype, written to every element.
  [[nodiscard]] Result<void> assign_scalar(const Scalar& value, LoopPath path = LoopPath::Typed) const;

  // --- copies, casts, reshape, transpose (layout.cpp) -----------------------
  [[nodiscard]] Result<View> copy(LoopPath path = LoopPath::Typed) const;
  [[nodiscard]] Result<View> copy_order(bool f_order, LoopPath path = LoopPath::Typed) const;
  [[nodiscard]] Result<View> copy_with_axis_order(const AxisOrder& axis_order, LoopPath path = LoopPath::Typed) const;
  [[nodiscard]] Result<View> astype_with_axis_order(DType dtype, ByteOrder byte_order, const AxisOrder& axis_order,
                                                    LoopPath path = LoopPath::Typed) const;
  // The same cast, also setting `invalid` where a cast to an integer dtype
  // leaves the faithful range for any element (Scalar::integer_cast_is_invalid):
  // noted while converting, where a scan before it would read every element twice.
  [[nodiscard]] Result<View> astype_noting_invalid(DType dtype, ByteOrder byte_order, const AxisOrder& axis_order,
                                                   bool& invalid, LoopPath path = LoopPath::Typed) const;
  // The same cast, also setting `overflowed` where a finite part of any
  // element becomes infinite (cast_overflowed), as a cast to float16, float32
  // or complex64 may: noted while converting. A typed copy notes it only
  // where cast_may_overflow(dtype of this view, dtype) holds.
  [[nodiscard]] Result<View> astype_noting_overflow(DType dtype, ByteOrder byte_order, const AxisOrder& axis_order,
                                                    bool& overflowed, LoopPath path = LoopPath::Typed) const;
  // Same buffer, another tag ("=" <-> "<" only); never reinterprets bytes.
  [[nodiscard]] Result<View> view_with_dtype_and_order(DType dtype, ByteOrder byte_order) const;
  [[nodiscard]] Result<View> reshape_order(const Shape& new_shape, CopyMode copy_mode, bool f_order,
                                          LoopPath path = LoopPath::Typed) const;
  // No axes: reversed. Negative entries count from the end.
  [[nodiscard]] Result<View> transpose(const std::optional<std::vector<std::int64_t>>& axes) const;

  // --- indexing (indexing.cpp, types in indexing.h) -------------------------
  // Basic items give a view over the same buffer; any advanced item gathers a copy.
  [[nodiscard]] Result<View> index(std::span<const IndexItem> items, LoopPath path = LoopPath::Typed) const;
  [[nodiscard]] Result<AdvancedIndexLayout> advanced_offsets(std::span<const IndexItem> items,
                                                             LoopPath path = LoopPath::Typed) const;
  [[nodiscard]] Result<IndexedView> advanced_index_view(std::span<const IndexItem> items,
                                                        LoopPath path = LoopPath::Typed) const;
  // `value` (any dtype) cast to this view's dtype, written to every selected element.
  [[nodiscard]] Result<void> assign_fancy_scalar(std::span<const IndexItem> items, const Scalar& value,
                                                LoopPath path = LoopPath::Typed) const;
  // `source` (any dtype) broadcast to the selection; repeated positions: last write wins.
  [[nodiscard]] Result<void> assign_fancy_view(std::span<const IndexItem> items, const View& source,
                                              LoopPath path = LoopPath::Typed) const;
};

}  // namespace quarvel_storage
