#include "storage/view.h"

#include <algorithm>

#include "storage/checked.h"
#include "storage/view_detail.h"

namespace quarvel_storage {

using checked::allocation_guard;

namespace {

std::int64_t itemsize_i64(DType dtype) { return static_cast<std::int64_t>(dtype.itemsize()); }

// Contiguous byte strides, innermost axis last (C) or first (F). With
// `zero_as_one` a 0 dimension multiplies the running stride by 1 instead of
// making every stride 0. The product after the outermost axis is checked too,
// so the whole byte size fits.
Result<Strides> contiguous_strides(DType dtype, const Shape& shape, bool f_order, bool zero_as_one) {
  return allocation_guard([&]() -> Result<Strides> {
    Strides strides(shape.size(), 0);
    if (!zero_as_one && std::find(shape.begin(), shape.end(), 0) != shape.end()) return strides;
    std::int64_t running = itemsize_i64(dtype);
    for (std::size_t i = 0; i < shape.size(); ++i) {
      const std::size_t k = f_order ? i : shape.size() - 1 - i;
      strides[k] = running;
      auto next = checked::mul_dim_i64(shape[k] == 0 ? 1 : shape[k], running);
      if (!next) return fail(next.error());
      running = *next;
    }
    return strides;
  });
}

// Fills a fresh buffer: value p (C order of `shape`) is stored at byte
// Σ coordinate·stride. No lock: nobody else can see the buffer yet.
Result<BufferHandle> filled_buffer(DType dtype, ByteOrder order, const Shape& shape, std::span<const Scalar> values,
                                   const Strides& strides) {
  auto buffer = Buffer::zeroed(dtype, order, values.size());
  if (!buffer) return fail(buffer.error());
  const std::int64_t size = itemsize_i64(dtype);
  Coordinates coords(shape.size(), 0);
  for (std::size_t p = 0; p < values.size(); ++p) {
    std::int64_t byte = 0;
    for (std::size_t k = 0; k < coords.size(); ++k) {
      auto term = checked::mul_dim_i64(coords[k], strides[k]);
      if (!term) return fail(term.error());
      auto sum = checked::add_i64(byte, *term);
      if (!sum) return fail(sum.error());
      byte = *sum;
    }
    if (byte < 0 || byte % size != 0) return fail(ErrorKind::InvalidLayout);
    auto written = buffer->write_as(static_cast<std::uint64_t>(byte / size), dtype, order, values[p]);
    if (!written) return fail(written.error());
    view_detail::next_c_order(coords, shape);
  }
  return share_buffer(std::move(*buffer));
}

// Element count whose byte size also fits the signed range.
Result<std::uint64_t> storable_count(DType dtype, const Shape& shape) {
  auto count = element_count(shape);
  if (!count) return count;
  auto bytes = checked::mul_u64(*count, dtype.itemsize());
  if (!bytes || *bytes > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  return count;
}

Result<void> check_values(DType dtype, std::uint64_t count, std::span<const Scalar> values) {
  if (values.size() != count) return fail(ErrorKind::ShapeMismatch);
  for (const Scalar& v : values)
    if (v.dtype() != dtype) return fail(ErrorKind::DTypeMismatch);
  return {};
}

// C order walks the axes last to first, F order first to last; axes of
// length 1 never decide.
bool contiguous(const View& view, bool c_order) {
  return view.shape.empty() || (view.strides.size() == view.shape.size() &&
                                contiguous_layout(view.shape, view.strides, view.dtype.itemsize(), c_order));
}

}  // namespace

// --- shape arithmetic --------------------------------------------------------

Result<std::uint64_t> element_count(std::span<const std::uint64_t> shape) {
  std::uint64_t count = 1;
  for (std::uint64_t dim : shape) {
    auto next = checked::mul_u64(count, dim);
    if (!next) return next;
    count = *next;
  }
  if (count > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  return count;
}

Result<Shape> broadcast_shapes(std::span<const Shape> shapes) {
  Shape out;
  for (const Shape& shape : shapes) {
    Shape next = out;
    if (shape.size() > next.size()) next.insert(next.begin(), shape.size() - next.size(), 1);
    for (std::size_t i = 1; i <= shape.size(); ++i) {
      std::uint64_t& merged = next[next.size() - i];
      const std::uint64_t length = shape[shape.size() - i];
      if (merged == 1) merged = length;
      else if (length != 1 && length != merged) return fail(StorageError::broadcast_mismatch(shape, out));
    }
    out = std::move(next);
  }
  return out;
}

bool broadcasts_to(const Shape& from, const Shape& to) {
  if (from.size() > to.size()) return false;
  const std::size_t lead = to.size() - from.size();
  for (std::size_t k = 0; k < from.size(); ++k)
    if (from[k] != 1 && from[k] != to[lead + k]) return false;
  return true;
}

bool contiguous_layout(const Shape& shape, std::span<const std::int64_t> strides, std::uint64_t itemsize,
                       bool c_order) {
  if (shape.empty()) return true;
  auto count = element_count(shape);
  if (!count || *count == 0) return true;
  auto expected = static_cast<std::int64_t>(itemsize);
  const std::size_t n = shape.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t k = c_order ? n - 1 - i : i;
    if (shape[k] > 1 && strides[k] != expected) return false;
    auto next = checked::mul_dim_i64(shape[k], expected);
    if (!next) return false;
    expected = *next;
  }
  return true;
}

Result<Strides> c_strides(DType dtype, const Shape& shape) { return contiguous_strides(dtype, shape, false, false); }
Result<Strides> f_strides(DType dtype, const Shape& shape) { return contiguous_strides(dtype, shape, true, false); }

Result<Strides> reshape_empty_strides(DType dtype, const Shape& shape, bool f_order) {
  return contiguous_strides(dtype, shape, f_order, true);
}

Result<Coordinates> coordinates_for_order(const Shape& shape, std::uint64_t linear, bool f_order) {
  auto count = element_count(shape);
  if (!count) return fail(count.error());
  if (linear >= *count) return fail(ErrorKind::InvalidLayout);  // also: no dimensions, position above 0
  return allocation_guard([&]() -> Result<Coordinates> {
    Coordinates coords(shape.size(), 0);
    std::uint64_t rest = linear;
    for (std::size_t i = 0; i < shape.size(); ++i) {
      const std::size_t k = f_order ? i : shape.size() - 1 - i;
      coords[k] = rest % shape[k];
      rest /= shape[k];
    }
    return coords;
  });
}

Result<Coordinates> coordinates_for_shape(const Shape& shape, std::uint64_t linear) {
  return coordinates_for_order(shape, linear, false);
}

// --- layout ------------------------------------------------------------------

Result<std::uint64_t> View::size() const { return element_count(shape); }

Result<void> View::validate_layout() const {
  // Every typed run checks each operand once: plain overflow tests here,
  // each failing as the checked helpers would.
  if (shape.size() != strides.size()) return fail(ErrorKind::InvalidLayout);
  std::uint64_t count = 1;
  for (std::uint64_t dim : shape)
    if (__builtin_mul_overflow(count, dim, &count)) return fail(ErrorKind::LayoutOverflow);
  if (count > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  if (count == 0) return {};
  if (offset > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  std::int64_t low = static_cast<std::int64_t>(offset), high = low;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    std::int64_t extent = 0;
    if (shape[k] - 1 > checked::i64_max ||
        __builtin_mul_overflow(static_cast<std::int64_t>(shape[k] - 1), strides[k], &extent))
      return fail(ErrorKind::LayoutOverflow);
    std::int64_t& side = extent >= 0 ? high : low;
    if (__builtin_add_overflow(side, extent, &side)) return fail(ErrorKind::LayoutOverflow);
  }
  const std::int64_t size = itemsize_i64(dtype);
  std::int64_t end = 0, limit = 0;
  if (__builtin_add_overflow(high, size, &end)) return fail(ErrorKind::LayoutOverflow);
  if (len > checked::i64_max || __builtin_mul_overflow(static_cast<std::int64_t>(len), size, &limit))
    return fail(ErrorKind::LayoutOverflow);
  if (low < 0 || end > limit) return fail(ErrorKind::InvalidLayout);
  return {};
}

Result<std::uint64_t> View::element_offset(const Coordinates& index) const {
  if (strides.size() != shape.size()) return fail(ErrorKind::InvalidLayout);
  const std::size_t axes = std::min(shape.size(), index.size());
  for (std::size_t k = 0; k < axes; ++k)
    if (index[k] >= shape[k])
      return fail(StorageError::index_out_of_bounds(clamp_index_to_i64(index[k]), k, shape[k]));
  auto byte = checked::to_i64(offset);
  if (!byte) return fail(byte.error());
  for (std::size_t k = 0; k < axes; ++k) {
    auto term = checked::mul_dim_i64(index[k], strides[k]);
    if (!term) return fail(term.error());
    byte = checked::add_i64(*byte, *term);
    if (!byte) return fail(byte.error());
  }
  const std::int64_t size = itemsize_i64(dtype);
  if (*byte < 0 || *byte % size != 0) return fail(ErrorKind::InvalidLayout);
  const std::uint64_t element = static_cast<std::uint64_t>(*byte / size);
  if (element >= len) return fail(ErrorKind::InvalidLayout);
  return element;
}

static_assert([] {
  for (int i = 0; i < DType::count; ++i)
    if (const std::size_t n = DType{static_cast<DType::Code>(i)}.itemsize(); (n & (n - 1)) != 0) return false;
  return true;
}());

Result<void> View::validate_raw_layout() const {
  if (auto ok = validate_layout(); !ok) return ok;
  // Item sizes are powers of two: alignment is a mask test, not a division.
  const std::uint64_t misaligned = dtype.itemsize() - 1;
  if ((offset & misaligned) != 0) return fail(ErrorKind::InvalidLayout);
  for (std::size_t k = 0; k < shape.size(); ++k)
    if (shape[k] > 1 && (static_cast<std::uint64_t>(strides[k]) & misaligned) != 0) return fail(ErrorKind::InvalidLayout);
  return {};
}

namespace {

template <class Guard>
auto raw_base(const View& view, const Guard& guard) -> Result<decltype(guard->data.data())> {
  if (!view.buffer || !guard.guards(*view.buffer)) return fail(ErrorKind::InvalidLayout);
  if (auto ok = view.validate_raw_layout(); !ok) return fail(ok.error());
  const Buffer& buffer = *guard;
  auto count = element_count(view.shape);
  // A view without elements is never read through its base (which may lie past an empty buffer).
  if (*count == 0) return guard->data.data();
  if (buffer.dtype != view.dtype) return fail(ErrorKind::DTypeMismatch);
  if (view.len > buffer.element_count()) return fail(ErrorKind::InvalidLayout);
  return guard->data.data() + view.offset;
}

}  // namespace

Result<const std::uint8_t*> View::element_base(const LockedBuffer::ReadGuard& guard) const {
  return raw_base(*this, guard);
}

Result<std::uint8_t*> View::element_base(const LockedBuffer::WriteGuard& guard) const {
  return raw_base(*this, guard);
}

bool View::is_c_contiguous() const { return contiguous(*this, true); }
bool View::is_f_contiguous() const { return contiguous(*this, false); }

Result<std::vector<std::uint64_t>> View::all_element_offsets() const {
  auto count = element_count(shape);
  if (!count) return fail(count.error());
  std::vector<std::uint64_t> offsets;
  if (auto room = checked::reserve(offsets, *count); !room) return fail(room.error());
  return allocation_guard([&]() -> Result<std::vector<std::uint64_t>> {
    Coordinates coords(shape.size(), 0);
    for (std::uint64_t p = 0; p < *count; ++p) {
      auto element = element_offset(coords);
      if (!element) return fail(element.error());
      offsets.push_back(*element);
      view_detail::next_c_order(coords, shape);
    }
    return std::move(offsets);
  });
}

// --- constructors ------------------------------------------------------------

Result<ByteOrder> view_detail::storage_byte_order(DType dtype, ByteOrder requested) {
  if (dtype.itemsize() == 1) return ByteOrder::NotApplicable;
  if (requested == ByteOrder::NotApplicable) return fail(ErrorKind::InvalidLayout);
  return requested;
}

Result<View> View::allocated_order(DType dtype, ByteOrder byte_order, Shape shape, bool f_order) {
  return allocated_order(dtype, byte_order, std::move(shape), f_order, true);
}

Result<View> View::allocated_order(DType dtype, ByteOrder byte_order, Shape shape, bool f_order, bool zero) {
  return allocation_guard([&]() -> Result<View> {
    auto count = storable_count(dtype, shape);
    if (!count) return fail(count.error());
    auto strides = f_order ? f_strides(dtype, shape) : c_strides(dtype, shape);
    if (!strides) return fail(strides.error());
    auto buffer = zero ? Buffer::zeroed(dtype, byte_order, *count) : Buffer::uninitialized(dtype, byte_order, *count);
    if (!buffer) return fail(buffer.error());
    auto handle = share_buffer(std::move(*buffer));
    if (!handle) return fail(handle.error());
    return View{std::move(shape), std::move(*strides), std::move(*handle), 0, *count, byte_order, dtype};
  });
}

Result<View> View::zeros_with_layout(DType dtype, ByteOrder byte_order, Shape shape, bool f_order) {
  auto order = view_detail::storage_byte_order(dtype, byte_order);
  if (!order) return fail(order.error());
  return allocated_order(dtype, *order, std::move(shape), f_order);
}

Result<View> View::unfilled_with_layout(DType dtype, ByteOrder byte_order, Shape shape, bool f_order) {
  auto order = view_detail::storage_byte_order(dtype, byte_order);
  if (!order) return fail(order.error());
  return allocated_order(dtype, *order, std::move(shape), f_order, false);
}

Result<View> View::filled_vector(DType dtype, ByteOrder byte_order, std::uint64_t count,
                                 void (*fill)(std::uint8_t* first, const void* context), const void* context) {
  return allocation_guard([&]() -> Result<View> {
    auto order = view_detail::storage_byte_order(dtype, byte_order);
    if (!order) return fail(order.error());
    auto buffer = Buffer::uninitialized(dtype, *order, count);
    if (!buffer) return fail(buffer.error());
    fill(buffer->data.data(), context);
    auto handle = share_buffer(std::move(*buffer));
    if (!handle) return fail(handle.error());
    const auto stride = static_cast<std::int64_t>(count > 0 ? dtype.itemsize() : 0);
    return View{Shape{count}, Strides{stride}, std::move(*handle), 0, count, *order, dtype};
  });
}

Result<View> View::from_values(DType dtype, Shape shape, std::span<const Scalar> values) {
  return from_values_with_layout(dtype, ByteOrder::Native, std::move(shape), values, false);
}

Result<View> View::from_values_with_layout(DType dtype, ByteOrder byte_order, Shape shape,
                                           std::span<const Scalar> values, bool f_order) {
  return allocation_guard([&]() -> Result<View> {
    auto count = storable_count(dtype, shape);
    if (!count) return fail(count.error());
    if (auto ok = check_values(dtype, *count, values); !ok) return fail(ok.error());
    auto order = view_detail::storage_byte_order(dtype, byte_order);
    if (!order) return fail(order.error());
    // F layout stores value p (C order) at its F-order position: the same
    // placement as writing through the F strides.
    auto strides = f_order ? f_strides(dtype, shape) : c_strides(dtype, shape);
    if (!strides) return fail(strides.error());
    auto handle = filled_buffer(dtype, *order, shape, values, *strides);
    if (!handle) return fail(handle.error());
    return View{std::move(shape), std::move(*strides), std::move(*handle), 0, *count, *order, dtype};
  });
}

Result<View> View::from_values_with_strides(DType dtype, ByteOrder byte_order, Shape shape,
                                            std::span<const Scalar> values, Strides strides) {
  return allocation_guard([&]() -> Result<View> {
    auto count = storable_count(dtype, shape);
    if (!count) return fail(count.error());
    if (values.size() != *count) return fail(ErrorKind::ShapeMismatch);
    if (shape.size() != strides.size()) return fail(ErrorKind::InvalidLayout);
    if (auto ok = check_values(dtype, *count, values); !ok) return fail(ok.error());
    auto order = view_detail::storage_byte_order(dtype, byte_order);
    if (!order) return fail(order.error());
    auto handle = filled_buffer(dtype, *order, shape, values, strides);
    if (!handle) return fail(handle.error());
    View view{std::move(shape), std::move(strides), std::move(*handle), 0, *count, *order, dtype};
    if (auto ok = view.validate_layout(); !ok) return fail(ok.error());
    return view;
  });
}

Result<View> View::from_values_with_axis_order(DType dtype, ByteOrder byte_order, Shape shape,
                                               std::span<const Scalar> values, const AxisOrder& axis_order) {
  return allocation_guard([&]() -> Result<View> {
    auto strides = axis_order_strides(dtype, shape, axis_order);
    if (!strides) return fail(strides.error());
    return from_values_with_strides(dtype, byte_order, std::move(shape), values, std::move(*strides));
  });
}

Result<Strides> axis_order_strides(DType dtype, const Shape& shape, const AxisOrder& axis_order) {
  const std::size_t n = shape.size();
  if (axis_order.size() != n) return fail(ErrorKind::InvalidLayout);
  SmallVector<bool, inline_dimensions> seen(n, false);
  for (std::size_t a : axis_order) {
    if (a >= n || seen[a]) return fail(ErrorKind::InvalidLayout);
    seen[a] = true;
  }
  Strides strides(n, 0);
  if (std::find(shape.begin(), shape.end(), 0) != shape.end()) return strides;
  std::int64_t running = itemsize_i64(dtype);
  for (std::size_t a : axis_order) {
    strides[a] = running;
    auto next = checked::mul_dim_i64(shape[a], running);
    if (!next) return fail(next.error());
    running = *next;
  }
  return strides;
}

Result<View> View::zeros_with_strides(DType dtype, ByteOrder byte_order, Shape shape, Strides strides) {
  return allocated_with_strides(dtype, byte_order, std::move(shape), std::move(strides), true);
}

Result<View> View::unfilled_with_strides(DType dtype, ByteOrder byte_order, Shape shape, Strides strides) {
  return allocated_with_strides(dtype, byte_order, std::move(shape), std::move(strides), false);
}

Result<View> View::allocated_with_strides(DType dtype, ByteOrder byte_order, Shape shape, Strides strides,
                                          bool zero) {
  return allocation_guard([&]() -> Result<View> {
    auto count = storable_count(dtype, shape);
    if (!count) return fail(count.error());
    if (shape.size() != strides.size()) return fail(ErrorKind::InvalidLayout);
    auto order = view_detail::storage_byte_order(dtype, byte_order);
    if (!order) return fail(order.error());
    auto buffer = zero ? Buffer::zeroed(dtype, *order, *count) : Buffer::uninitialized(dtype, *order, *count);
    if (!buffer) return fail(buffer.error());
    auto handle = share_buffer(std::move(*buffer));
    if (!handle) return fail(handle.error());
    View view{std::move(shape), std::move(strides), std::move(*handle), 0, *count, *order, dtype};
    if (auto ok = view.validate_layout(); !ok) return fail(ok.error());
    return view;
  });
}

}  // namespace quarvel_storage
