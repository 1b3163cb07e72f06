// Subscripting: basic items give views over the same buffer; advanced items
// (index arrays, boolean scalars, masks) resolve to buffer element numbers that
// are gathered, wrapped or written through.
#include "storage/indexing.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "storage/checked.h"
#include "storage/view_detail.h"

namespace quarvel_storage {

using checked::allocation_guard;
using Integer = IndexItem::Integer;
using Slice = IndexItem::Slice;
using NewAxis = IndexItem::NewAxis;
using IntArray = IndexItem::IntArray;
using BoolValue = IndexItem::BoolValue;
using BoolMask = IndexItem::BoolMask;

namespace {

// i, or i + n when negative, if that lies in 0 .. n - 1.
std::optional<std::uint64_t> normalise(std::int64_t i, std::uint64_t n) {
  __int128 v = i;
  if (v < 0) v += n;
  if (v < 0 || v >= static_cast<__int128>(n)) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

Result<std::uint64_t> checked_integer(const Integer& item, std::size_t axis, std::uint64_t n) {
  auto at = normalise(item.index, n);
  if (!at) return fail(StorageError::index_out_of_bounds(item.index, axis, n));
  return *at;
}

// A slice must stay inside its axis; an empty one may start at -1 or n.
Result<void> check_slice(const Slice& s, std::uint64_t n) {
  if (s.step == 0) return fail(ErrorKind::InvalidLayout);
  const __int128 start = s.start;
  if (s.length == 0) {
    if (start < -1 || start > static_cast<__int128>(n)) return fail(ErrorKind::InvalidLayout);
    return {};
  }
  if (start < 0 || start >= static_cast<__int128>(n)) return fail(ErrorKind::InvalidLayout);
  auto span = checked::mul_dim_i64(s.length - 1, s.step);
  if (!span) return fail(span.error());
  auto last = checked::add_i64(s.start, *span);
  if (!last) return fail(last.error());
  if (*last < 0 || static_cast<std::uint64_t>(*last) >= n) return fail(ErrorKind::InvalidLayout);
  return {};
}

// Result stride of a slice. A slice of at most one element never takes its
// step, so it keeps the axis' stride: a huge step must not overflow there.
Result<std::int64_t> slice_stride(const Slice& s, std::int64_t stride) {
  if (s.length <= 1) return stride;
  return checked::mul_i64(s.step, stride);
}

std::uint64_t axes_consumed(const IndexItem& item) {
  if (std::holds_alternative<Integer>(item.kind) || std::holds_alternative<Slice>(item.kind) ||
      std::holds_alternative<IntArray>(item.kind))
    return 1;
  if (const auto* mask = std::get_if<BoolMask>(&item.kind)) return mask->shape.size();
  return 0;
}

Shape index_shape(const IndexItem& item) {
  if (const auto* a = std::get_if<IntArray>(&item.kind)) return a->shape;
  if (const auto* b = std::get_if<BoolValue>(&item.kind)) return Shape{b->value ? 1u : 0u};
  return Shape{std::get<BoolMask>(item.kind).positions.size()};
}

OperandLayout operand_layout(const IndexItem& item) {
  if (const auto* a = std::get_if<IntArray>(&item.kind)) return {a->shape, a->strides};
  return {index_shape(item), Strides{8}};
}

struct ResultDim {
  std::uint64_t dim;
  std::int64_t source_stride;  // basic dimensions only
};

constexpr std::size_t no_dim = static_cast<std::size_t>(-1);

Result<std::int64_t> shifted_offset(std::int64_t offset, std::uint64_t at, std::int64_t stride) {
  auto term = checked::mul_dim_i64(at, stride);
  if (!term) return fail(term.error());
  return checked::add_i64(offset, *term);
}

Result<View> basic_index(const View& view, std::span<const IndexItem> items) {
  if (view.strides.size() != view.ndim()) return fail(ErrorKind::InvalidLayout);
  std::uint64_t consumed = 0;
  for (const IndexItem& item : items) consumed += axes_consumed(item);
  if (consumed > view.ndim()) return fail(StorageError::too_many_indices(view.ndim(), consumed));

  auto offset = checked::to_i64(view.offset);
  if (!offset) return fail(offset.error());
  Shape shape;
  Strides strides;
  std::size_t k = 0;
  for (const IndexItem& item : items) {
    if (std::holds_alternative<NewAxis>(item.kind)) {
      shape.push_back(1);
      strides.push_back(0);
    } else if (const auto* i = std::get_if<Integer>(&item.kind)) {
      auto at = checked_integer(*i, k, view.shape[k]);
      if (!at) return fail(at.error());
      offset = shifted_offset(*offset, *at, view.strides[k]);
      if (!offset) return fail(offset.error());
      ++k;
    } else {
      const Slice& s = std::get<Slice>(item.kind);
      if (auto ok = check_slice(s, view.shape[k]); !ok) return fail(ok.error());
      // An empty slice shows no element, so its start (possibly -1) must not
      // move the offset: that could take it below the buffer's first byte.
      if (s.length > 0) {
        offset = shifted_offset(*offset, static_cast<std::uint64_t>(s.start), view.strides[k]);
        if (!offset) return fail(offset.error());
      }
      auto stride = slice_stride(s, view.strides[k]);
      if (!stride) return fail(stride.error());
      shape.push_back(s.length);
      strides.push_back(*stride);
      ++k;
    }
  }
  for (; k < view.ndim(); ++k) {
    shape.push_back(view.shape[k]);
    strides.push_back(view.strides[k]);
  }
  std::uint64_t new_offset = view.offset;
  if (*offset >= 0) {
    new_offset = static_cast<std::uint64_t>(*offset);
  } else {
    auto count = element_count(shape);
    if (!count) return fail(count.error());
    if (*count != 0) return fail(ErrorKind::InvalidLayout);
  }
  View out{std::move(shape), std::move(strides), view.buffer, new_offset, view.len, view.byte_order, view.dtype};
  if (auto ok = out.validate_layout(); !ok) return fail(ok.error());
  return out;
}

// Memory layout of a gathered copy: broadcast dimensions in the index arrays'
// own order when no basic dimension is longer than 1, outermost otherwise;
// basic dimensions by decreasing source stride.
Result<Strides> gather_strides(const View& view, std::span<const IndexItem> items, const std::vector<ResultDim>& dims,
                               const Shape& bshape, std::size_t bstart) {
  const std::int64_t size = static_cast<std::int64_t>(view.dtype.itemsize());
  Strides strides(dims.size(), 0);
  std::vector<std::size_t> basic;
  std::uint64_t basic_count = 1;
  for (std::size_t d = 0; d < dims.size(); ++d) {
    if (d >= bstart && d < bstart + bshape.size()) continue;
    basic.push_back(d);
    auto next = checked::mul_u64(basic_count, dims[d].dim);
    if (!next) return fail(next.error());
    basic_count = *next;
  }
  auto assign_run = [&](std::int64_t running, auto&& axes_innermost_first, auto&& dim_of,
                        auto&& slot_of) -> Result<void> {
    for (std::size_t a : axes_innermost_first) {
      strides[slot_of(a)] = running;
      auto next = checked::mul_dim_i64(dim_of(a), running);
      if (!next) return fail(next.error());
      running = *next;
    }
    return {};
  };
  auto broadcast_slot = [&](std::size_t a) { return bstart + a; };
  auto broadcast_dim = [&](std::size_t a) { return bshape[a]; };
  Result<void> placed;
  if (basic_count == 1) {
    std::vector<OperandLayout> operands;
    for (const IndexItem& item : items)
      if (item.is_advanced()) operands.push_back(operand_layout(item));
    auto order = keep_order_axes(bshape, operands);
    if (!order) return fail(order.error());
    placed = assign_run(size, *order, broadcast_dim, broadcast_slot);
  } else {
    auto outer = checked::mul_dim_i64(basic_count, size);
    if (!outer) return fail(outer.error());
    std::vector<std::size_t> reversed(bshape.size());
    for (std::size_t j = 0; j < reversed.size(); ++j) reversed[j] = reversed.size() - 1 - j;
    placed = assign_run(*outer, reversed, broadcast_dim, broadcast_slot);
  }
  if (!placed) return fail(placed.error());

  std::stable_sort(basic.begin(), basic.end(), [&](std::size_t x, std::size_t y) {
    auto mag = [](std::int64_t v) { return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v); };
    return mag(dims[x].source_stride) > mag(dims[y].source_stride);
  });
  std::reverse(basic.begin(), basic.end());
  placed = assign_run(size, basic, [&](std::size_t d) { return dims[d].dim; }, [](std::size_t d) { return d; });
  if (!placed) return fail(placed.error());
  return strides;
}

Result<AdvancedIndexLayout> resolve_advanced(const View& view, std::span<const IndexItem> items) {
  if (view.strides.size() != view.ndim()) return fail(ErrorKind::InvalidLayout);
  std::optional<std::size_t> first_placing, last_placing;
  std::vector<Shape> index_shapes(items.size());
  bool any_advanced = false;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].is_advanced()) {
      any_advanced = true;
      index_shapes[i] = index_shape(items[i]);
    }
    if (items[i].is_advanced() || std::holds_alternative<Integer>(items[i].kind)) {
      if (!first_placing) first_placing = i;
      last_placing = i;
    }
  }
  if (!any_advanced) return fail(ErrorKind::InvalidAdvancedIndex);
  std::vector<Shape> advanced_shapes;
  for (std::size_t i = 0; i < items.size(); ++i)
    if (items[i].is_advanced()) advanced_shapes.push_back(index_shapes[i]);
  auto bshape = broadcast_shapes(advanced_shapes);
  if (!bshape) return fail(ErrorKind::InvalidAdvancedIndex);

  // Broadcast dimensions replace a contiguous block of placing items;
  // separated by a slice or new axis, they go first.
  bool contiguous = true;
  for (std::size_t i = *first_placing + 1; i < *last_placing; ++i)
    if (std::holds_alternative<Slice>(items[i].kind) || std::holds_alternative<NewAxis>(items[i].kind))
      contiguous = false;

  std::vector<ResultDim> dims;
  std::size_t bstart = 0;
  auto place_broadcast = [&] {
    bstart = dims.size();
    for (std::uint64_t d : *bshape) dims.push_back({d, 0});
  };
  if (!contiguous) place_broadcast();

  std::vector<std::size_t> item_dim(items.size(), no_dim);
  std::size_t k = 0;
  for (std::size_t idx = 0; idx < items.size(); ++idx) {
    const IndexItem& item = items[idx];
    if (contiguous && idx == *first_placing) place_broadcast();
    const std::uint64_t consumes = axes_consumed(item);
    if (consumes > view.ndim() - k) return fail(StorageError::too_many_indices(view.ndim(), k + consumes));
    if (const auto* i = std::get_if<Integer>(&item.kind)) {
      if (auto at = checked_integer(*i, k, view.shape[k]); !at) return fail(at.error());
    } else if (const auto* s = std::get_if<Slice>(&item.kind)) {
      if (auto ok = check_slice(*s, view.shape[k]); !ok) return fail(ok.error());
      auto stride = slice_stride(*s, view.strides[k]);
      if (!stride) return fail(stride.error());
      item_dim[idx] = dims.size();
      dims.push_back({s->length, *stride});
    } else if (std::holds_alternative<NewAxis>(item.kind)) {
      item_dim[idx] = dims.size();
      dims.push_back({1, 0});
    } else if (const auto* a = std::get_if<IntArray>(&item.kind)) {
      auto count = element_count(a->shape);
      if (!count) return fail(count.error());
      if (*count != a->values.size()) return fail(ErrorKind::InvalidAdvancedIndex);
      for (std::int64_t v : a->values)
        if (!normalise(v, view.shape[k])) return fail(StorageError::index_out_of_bounds(v, k, view.shape[k]));
    } else if (const auto* m = std::get_if<BoolMask>(&item.kind)) {
      if (m->shape.empty()) return fail(ErrorKind::InvalidAdvancedIndex);
      if (!std::equal(m->shape.begin(), m->shape.end(), view.shape.begin() + static_cast<std::ptrdiff_t>(k)))
        return fail(ErrorKind::InvalidAdvancedIndex);
      auto cells = element_count(m->shape);
      if (!cells) return fail(cells.error());
      for (std::uint64_t position : m->positions)
        if (position >= *cells) return fail(ErrorKind::InvalidAdvancedIndex);
    }
    k += consumes;
  }
  const std::size_t rest_start = dims.size(), rest_axis = k;
  for (; k < view.ndim(); ++k) dims.push_back({view.shape[k], view.strides[k]});

  AdvancedIndexLayout layout;
  if (dims.size() > max_dimensions) return fail(ErrorKind::LayoutOverflow);
  for (const ResultDim& d : dims) layout.shape.push_back(d.dim);
  auto count = element_count(layout.shape);
  if (!count) return fail(count.error());
  if (*count == 0) {
    auto strides = c_strides(view.dtype, layout.shape);
    if (!strides) return fail(strides.error());
    layout.strides = std::move(*strides);
    return layout;
  }
  auto strides = gather_strides(view, items, dims, *bshape, bstart);
  if (!strides) return fail(strides.error());
  layout.strides = std::move(*strides);

  if (auto room = checked::reserve(layout.offsets, *count); !room) return fail(room.error());
  Coordinates coords(layout.shape.size(), 0), source(view.ndim(), 0);
  const std::span<const std::uint64_t> bcoords(coords.data() + bstart, bshape->size());
  for (std::uint64_t p = 0; p < *count; ++p) {
    std::size_t axis = 0;
    for (std::size_t idx = 0; idx < items.size(); ++idx) {
      const IndexItem& item = items[idx];
      if (const auto* i = std::get_if<Integer>(&item.kind)) {
        source[axis] = *normalise(i->index, view.shape[axis]);
        ++axis;
      } else if (const auto* s = std::get_if<Slice>(&item.kind)) {
        auto at = shifted_offset(s->start, coords[item_dim[idx]], s->step);
        if (!at) return fail(at.error());
        if (*at < 0) return fail(ErrorKind::InvalidLayout);
        source[axis++] = static_cast<std::uint64_t>(*at);
      } else if (const auto* a = std::get_if<IntArray>(&item.kind)) {
        auto position = view_detail::broadcast_position(a->shape, bcoords);
        if (!position) return fail(position.error());
        source[axis] = *normalise(a->values[*position], view.shape[axis]);
        ++axis;
      } else if (const auto* m = std::get_if<BoolMask>(&item.kind)) {
        auto position = view_detail::broadcast_position(index_shapes[idx], bcoords);
        if (!position) return fail(position.error());
        std::uint64_t cell = m->positions[*position];
        for (std::size_t j = m->shape.size(); j-- > 0;) {
          source[axis + j] = cell % m->shape[j];
          cell /= m->shape[j];
        }
        axis += m->shape.size();
      }
    }
    for (std::size_t j = 0; rest_axis + j < view.ndim(); ++j) source[rest_axis + j] = coords[rest_start + j];
    auto element = view.element_offset(source);
    if (!element) return fail(element.error());
    layout.offsets.push_back(*element);
    view_detail::next_c_order(coords, layout.shape);
  }
  return layout;
}

}  // namespace

namespace {

// Visits the selected buffer elements in selection order (C order of
// `shape`), paired with a position of a companion operand of that shape:
// `visit(element, companion_pointer)`.
template <class Visit>
void for_each_selected(const Shape& shape, std::span<const std::uint64_t> offsets, std::uint8_t* companion,
                       const Strides& companion_strides, Visit&& visit) {
  std::size_t next = 0;
  for_each_row<1>(shape, {companion}, {companion_strides.data()},
                  [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s, std::uint64_t n) {
                    for (std::uint64_t i = 0; i < n; ++i) visit(offsets[next++], p[0] + static_cast<std::int64_t>(i) * s[0]);
                  });
}

// A typed gather: the selected elements, in selection order, into a fresh
// buffer laid out by the selection's strides.
Result<View> typed_gather(const View& view, AdvancedIndexLayout& layout) {
  auto guard = view_detail::lock_for_reading(view);
  if (!guard) return fail(guard.error());
  if (auto ok = view.element_base(*guard); !ok) return fail(ok.error());  // its checks; see `start`
  auto count = element_count(layout.shape);
  if (!count) return fail(count.error());
  auto bytes = checked::mul_u64(*count, view.dtype.itemsize());
  if (!bytes || *bytes > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  if (layout.offsets.size() != *count) return fail(ErrorKind::ShapeMismatch);
  if (layout.shape.size() != layout.strides.size()) return fail(ErrorKind::InvalidLayout);
  auto order = view_detail::storage_byte_order(view.dtype, view.byte_order);
  if (!order) return fail(order.error());
  auto buffer = Buffer::uninitialized(view.dtype, *order, *count);
  if (!buffer) return fail(buffer.error());
  // Selections hold buffer element numbers, counted from the buffer's start.
  const std::uint8_t* start = (*guard)->data.data();
  const std::uint64_t size = view.dtype.itemsize();
  const ConvertLoop move = find_conversion(view.dtype, view.byte_order, view.dtype, *order);
  for_each_selected(layout.shape, layout.offsets, buffer->data.data(), layout.strides,
                    [&](std::uint64_t element, std::uint8_t* to) { move(start + element * size, 0, to, 0, 1); });
  auto handle = share_buffer(std::move(*buffer));
  if (!handle) return fail(handle.error());
  View out{std::move(layout.shape), std::move(layout.strides), std::move(*handle), 0, *count, *order, view.dtype};
  if (auto ok = out.validate_layout(); !ok) return fail(ok.error());
  return out;
}

// Writes `next(to)` into every selected element of `view` under its write lock,
// in selection order (a repeated position keeps the last write).
template <class Write>
Result<void> write_selected(const View& view, const AdvancedIndexLayout& layout, std::uint8_t* companion,
                            const Strides& companion_strides, Write&& write) {
  auto guard = view_detail::lock_for_writing(view);
  if (!guard) return fail(guard.error());
  if (auto ok = view.element_base(*guard); !ok) return fail(ok.error());  // its checks; see `start`
  // Selections hold buffer element numbers, counted from the buffer's start.
  std::uint8_t* start = (*guard)->data.data();
  const std::uint64_t size = view.dtype.itemsize();
  for_each_selected(layout.shape, layout.offsets, companion, companion_strides,
                    [&](std::uint64_t element, std::uint8_t* from) { write(start + element * size, from); });
  return {};
}

}  // namespace

Result<View> View::index(std::span<const IndexItem> items, LoopPath path) const {
  return allocation_guard([&]() -> Result<View> {
    if (std::none_of(items.begin(), items.end(), [](const IndexItem& i) { return i.is_advanced(); }))
      return basic_index(*this, items);
    auto layout = advanced_offsets(items);
    if (!layout) return fail(layout.error());
    if (view_detail::takes_typed_path(*this, path)) return typed_gather(*this, *layout);
    auto values = view_detail::read_elements(*this, layout->offsets);
    if (!values) return fail(values.error());
    return from_values_with_strides(dtype, byte_order, std::move(layout->shape), *values, std::move(layout->strides));
  });
}

Result<AdvancedIndexLayout> View::advanced_offsets(std::span<const IndexItem> items) const {
  return allocation_guard([&]() { return resolve_advanced(*this, items); });
}

Result<IndexedView> View::advanced_index_view(std::span<const IndexItem> items) const {
  return allocation_guard([&]() -> Result<IndexedView> {
    auto layout = advanced_offsets(items);
    if (!layout) return fail(layout.error());
    return IndexedView{*this, std::move(layout->shape), std::move(layout->offsets)};
  });
}

Result<void> View::assign_fancy_scalar(std::span<const IndexItem> items, const Scalar& value, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    auto cast = value.cast(dtype);
    if (!cast) return fail(cast.error());
    auto layout = advanced_offsets(items);
    if (!layout) return fail(layout.error());
    // Long double text that does not encode is refused by the element writes.
    const auto pattern = view_detail::encoded(*cast, dtype, byte_order);
    if (pattern && view_detail::takes_typed_path(*this, path)) {
      const std::size_t size = dtype.itemsize();
      const Strides none(layout->shape.size(), 0);
      return write_selected(*this, *layout, nullptr, none,
                            [&](std::uint8_t* to, std::uint8_t*) { std::memcpy(to, pattern->data(), size); });
    }
    return view_detail::fill_elements(*this, layout->offsets, *cast);
  });
}

Result<void> View::assign_fancy_view(std::span<const IndexItem> items, const View& source, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    auto layout = advanced_offsets(items);
    if (!layout) return fail(layout.error());
    if (auto fits = view_detail::check_broadcast(source.shape, layout->shape); !fits) return fail(fits.error());
    if (view_detail::takes_typed_path(source, path) && view_detail::takes_typed_path(*this, path)) {
      // Staged and the source released before this view's write lock.
      auto staged = view_detail::staged_copy(source, dtype, byte_order);
      if (!staged) return fail(staged.error());
      auto staged_strides = c_strides(dtype, source.shape);
      if (!staged_strides) return fail(staged_strides.error());
      const Strides read = view_detail::broadcast_strides(source.shape, *staged_strides, layout->shape);
      const ConvertLoop move = find_conversion(dtype, byte_order, dtype, byte_order);
      return write_selected(*this, *layout, staged->data.data(), read,
                            [&](std::uint8_t* to, std::uint8_t* from) { move(from, 0, to, 0, 1); });
    }
    auto source_values = source.snapshot();
    if (!source_values) return fail(source_values.error());
    auto values = view_detail::broadcast_cast_values(*source_values, source.shape, layout->shape, dtype);
    if (!values) return fail(values.error());
    // Written in selection order, so a repeated position keeps the last value.
    return view_detail::write_elements(*this, layout->offsets, *values);
  });
}

namespace {

// The offset index of a selection position, after the coordinate checks.
Result<std::uint64_t> selection_offset(const IndexedView& selection, const Coordinates& index) {
  const Shape& shape = selection.shape;
  if (index.size() != shape.size()) return fail(StorageError::wrong_index_count(index.size(), shape.size()));
  std::uint64_t position = 0;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (index[d] >= shape[d]) return fail(StorageError::index_out_of_bounds(clamp_index_to_i64(index[d]), d, shape[d]));
    position = position * shape[d] + index[d];
  }
  if (position >= selection.offsets.size()) return fail(ErrorKind::InvalidLayout);
  return selection.offsets[position];
}

}  // namespace

Result<Scalar> IndexedView::read_at(const Coordinates& index) const {
  auto element = selection_offset(*this, index);
  if (!element) return fail(element.error());
  return view_detail::read_element(view, *element);
}

Result<void> IndexedView::write_at(const Coordinates& index, const Scalar& value) const {
  auto element = selection_offset(*this, index);
  if (!element) return fail(element.error());
  const std::uint64_t one[1] = {*element};
  return view_detail::fill_elements(view, one, value);
}

}  // namespace quarvel_storage
