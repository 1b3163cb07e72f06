// Element reads, writes and assignments under the buffer's lock. Every
// operation holds at most one buffer lock at a time: a source is read and
// released before a destination's write lock is taken, so overlapping
// assignment behaves like copy-then-write and cannot deadlock.
#include <utility>

#include "storage/checked.h"
#include "storage/element.h"
#include "storage/view.h"
#include "storage/view_detail.h"

namespace quarvel_storage {

using checked::allocation_guard;

namespace view_detail {

Result<LockedBuffer::ReadGuard> lock_for_reading(const View& view) {
  if (!view.buffer) return fail(ErrorKind::InvalidLayout);
  return view.buffer->read();
}

Result<LockedBuffer::WriteGuard> lock_for_writing(const View& view) {
  if (!view.buffer) return fail(ErrorKind::InvalidLayout);
  return view.buffer->write();
}

Result<void> check_broadcast(const Shape& from, const Shape& to) {
  if (!broadcasts_to(from, to)) return fail(StorageError::broadcast_mismatch(from, to));
  return {};
}

Result<std::uint64_t> broadcast_position(const Shape& shape, std::span<const std::uint64_t> index) {
  const std::size_t lead = index.size() - shape.size();
  std::uint64_t position = 0;
  for (std::size_t j = 0; j < shape.size(); ++j) {
    const std::uint64_t coordinate = shape[j] == 1 ? 0 : index[j + lead];
    if (coordinate >= shape[j])
      return fail(StorageError::index_out_of_bounds(clamp_index_to_i64(coordinate), j, shape[j]));
    auto scaled = checked::mul_u64(position, shape[j]);
    if (!scaled || __builtin_add_overflow(*scaled, coordinate, &position)) return fail(ErrorKind::LayoutOverflow);
  }
  return position;
}

Result<std::vector<Scalar>> broadcast_cast_values(std::span<const Scalar> values, const Shape& shape,
                                                  const Shape& target, DType dtype) {
  auto count = element_count(target);
  if (!count) return fail(count.error());
  std::vector<Scalar> out;
  if (auto room = checked::reserve(out, *count); !room) return fail(room.error());
  return allocation_guard([&]() -> Result<std::vector<Scalar>> {
    const bool same_shape = shape == target;
    Coordinates coords(target.size(), 0);
    for (std::uint64_t p = 0; p < *count; ++p) {
      std::uint64_t at = p;
      if (!same_shape) {
        auto position = broadcast_position(shape, coords);
        if (!position) return fail(position.error());
        at = *position;
        next_c_order(coords, target);
      }
      auto cast = values[at].cast(dtype);
      if (!cast) return fail(cast.error());
      out.push_back(std::move(*cast));
    }
    return std::move(out);
  });
}

Result<void> write_elements(const View& view, std::span<const std::uint64_t> offsets, std::span<const Scalar> values) {
  auto guard = lock_for_writing(view);
  if (!guard) return fail(guard.error());
  for (std::size_t i = 0; i < values.size(); ++i)
    if (auto written = (*guard)->write_as(offsets[i], view.dtype, view.byte_order, values[i]); !written)
      return written;
  return {};
}

Result<void> fill_elements(const View& view, std::span<const std::uint64_t> offsets, const Scalar& value) {
  auto guard = lock_for_writing(view);
  if (!guard) return fail(guard.error());
  for (std::uint64_t offset : offsets)
    if (auto written = (*guard)->write_as(offset, view.dtype, view.byte_order, value); !written) return written;
  return {};
}

Result<Scalar> read_element(const View& view, std::uint64_t element) {
  return allocation_guard([&]() -> Result<Scalar> {
    auto guard = lock_for_reading(view);
    if (!guard) return fail(guard.error());
    return (*guard)->read_as(element, view.dtype, view.byte_order);
  });
}

Result<std::vector<Scalar>> read_elements(const View& view, std::span<const std::uint64_t> offsets) {
  std::vector<Scalar> values;
  if (auto room = checked::reserve(values, offsets.size()); !room) return fail(room.error());
  return allocation_guard([&]() -> Result<std::vector<Scalar>> {
    auto guard = lock_for_reading(view);
    if (!guard) return fail(guard.error());
    for (std::uint64_t offset : offsets) {
      auto value = (*guard)->read_as(offset, view.dtype, view.byte_order);
      if (!value) return fail(value.error());
      values.push_back(std::move(*value));
    }
    return std::move(values);
  });
}

}  // namespace view_detail

Result<std::uint64_t> broadcast_index(const Shape& shape, const Coordinates& index) {
  if (index.size() < shape.size()) return fail(ErrorKind::InvalidAdvancedIndex);
  return view_detail::broadcast_position(shape, index);
}

Result<Scalar> View::read_at(const Coordinates& index) const {
  if (index.size() != ndim()) return fail(StorageError::wrong_index_count(index.size(), ndim()));
  auto element = element_offset(index);
  if (!element) return fail(element.error());
  return view_detail::read_element(*this, *element);
}

Result<void> View::write_at(const Coordinates& index, const Scalar& value) const {
  if (value.dtype() != dtype) return fail(ErrorKind::DTypeMismatch);
  if (index.size() != ndim()) return fail(StorageError::wrong_index_count(index.size(), ndim()));
  auto element = element_offset(index);
  if (!element) return fail(element.error());
  const std::uint64_t one[1] = {*element};
  return view_detail::fill_elements(*this, one, value);
}

Result<std::vector<Scalar>> View::snapshot() const {
  auto offsets = all_element_offsets();
  if (!offsets) return fail(offsets.error());
  return view_detail::read_elements(*this, *offsets);
}

namespace {

// The second half of a typed copy-then-write: `staged` (C order of `shape`,
// already of the view's dtype and tag) broadcast into `view`.
Result<void> write_staged(const View& view, const Buffer& staged, const Shape& shape) {
  auto strides = c_strides(view.dtype, shape);
  if (!strides) return fail(strides.error());
  const Strides read = view_detail::broadcast_strides(shape, *strides, view.shape);
  auto guard = view_detail::lock_for_writing(view);
  if (!guard) return fail(guard.error());
  auto base = view.element_base(*guard);
  if (!base) return fail(base.error());
  // Same dtype and tag: the loop only moves the (already canonical) bytes.
  const ConvertLoop move = find_conversion(view.dtype, view.byte_order, view.dtype, view.byte_order);
  for_each_row<2>(view.shape, {const_cast<std::uint8_t*>(staged.data.data()), *base},
                  {read.data(), view.strides.data()},
                  [&](const std::array<std::uint8_t*, 2>& p, const std::array<std::int64_t, 2>& s, std::uint64_t n) {
                    // A broadcast target element keeps the last value written to it.
                    if (s[1] == 0) return move(p[0] + static_cast<std::int64_t>(n - 1) * s[0], 0, p[1], 0, 1);
                    move(p[0], s[0], p[1], s[1], n);
                  });
  return {};
}

}  // namespace

Result<void> View::assign_view(const View& source, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    if (auto fits = view_detail::check_broadcast(source.shape, shape); !fits) return fail(fits.error());
    if (view_detail::takes_typed_path(source, path) && view_detail::takes_typed_path(*this, path)) {
      // Staged and the source released before the destination's write lock.
      auto staged = view_detail::staged_copy(source, dtype, byte_order);
      if (!staged) return fail(staged.error());
      return write_staged(*this, *staged, source.shape);
    }
    // Read and released before the destination's write lock is taken.
    auto source_values = source.snapshot();
    if (!source_values) return fail(source_values.error());
    auto offsets = all_element_offsets();
    if (!offsets) return fail(offsets.error());
    auto values = view_detail::broadcast_cast_values(*source_values, source.shape, shape, dtype);
    if (!values) return fail(values.error());
    return view_detail::write_elements(*this, *offsets, *values);
  });
}

Result<void> View::assign_prefix(std::span<const Scalar> values, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    if (view_detail::takes_typed_path(*this, path)) {
      auto count = element_count(shape);
      if (values.size() > *count) return fail(ErrorKind::ShapeMismatch);
      for (const Scalar& v : values)
        if (v.dtype() != dtype) return fail(ErrorKind::DTypeMismatch);
      auto guard = view_detail::lock_for_writing(*this);
      if (!guard) return fail(guard.error());
      auto base = element_base(*guard);
      if (!base) return fail(base.error());
      // Written in order until a value fails to encode, as element writes go.
      return with_any_element_type(dtype, [&]<class T>(std::type_identity<T>) -> Result<void> {
        std::size_t next = 0;
        Result<void> written;
        for_each_row<1>(shape, {*base}, {strides.data()},
                        [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s,
                            std::uint64_t n) {
                          for (std::uint64_t i = 0; i < n && next < values.size() && written; ++i, ++next) {
                            auto element = element_from_scalar<T>(values[next]);
                            if (!element) {
                              written = fail(element.error());
                              break;
                            }
                            store_element<T>(p[0] + static_cast<std::int64_t>(i) * s[0], *element, byte_order);
                          }
                        });
        return written;
      });
    }
    auto offsets = all_element_offsets();
    if (!offsets) return fail(offsets.error());
    if (values.size() > offsets->size()) return fail(ErrorKind::ShapeMismatch);
    for (const Scalar& v : values)
      if (v.dtype() != dtype) return fail(ErrorKind::DTypeMismatch);
    return view_detail::write_elements(*this, *offsets, values);
  });
}

Result<void> View::assign_scalar(const Scalar& value, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    auto cast = value.cast(dtype);
    if (!cast) return fail(cast.error());
    // Long double text that does not encode is refused by the element writes.
    const auto pattern = view_detail::encoded(*cast, dtype, byte_order);
    if (pattern && view_detail::takes_typed_path(*this, path)) {
      auto guard = view_detail::lock_for_writing(*this);
      if (!guard) return fail(guard.error());
      auto base = element_base(*guard);
      if (!base) return fail(base.error());
      for_each_row<1>(shape, {*base}, {strides.data()},
                      [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s,
                          std::uint64_t n) { view_detail::fill_run(p[0], s[0], n, pattern->data(), dtype.itemsize()); });
      return {};
    }
    auto offsets = all_element_offsets();
    if (!offsets) return fail(offsets.error());
    return view_detail::fill_elements(*this, *offsets, *cast);
  });
}

}  // namespace quarvel_storage
