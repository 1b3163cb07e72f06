// Subscripting: basic items give views over the same buffer; advanced items
// (index arrays, boolean scalars, masks) resolve to buffer element numbers that
// are gathered, wrapped or written through.
#include "storage/indexing.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <vector>

#include "storage/checked.h"
#include "storage/view_detail.h"
#include "storage/visit.h"

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

// The working lists of one selection, on the stack unless the index is a
// large one: resolving a small index allocates nothing for them.
class WorkArena {
 public:
  std::pmr::memory_resource* get() { return &resource_; }

 private:
  alignas(std::max_align_t) std::byte bytes_[2048];
  std::pmr::monotonic_buffer_resource resource_{bytes_, sizeof bytes_};
};

template <class T>
using WorkList = std::pmr::vector<T>;


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
Result<Strides> gather_strides(const View& view, std::span<const IndexItem> items, std::span<const ResultDim> dims,
                               const Shape& bshape, std::size_t bstart, std::pmr::memory_resource* arena) {
  const std::int64_t size = static_cast<std::int64_t>(view.dtype.itemsize());
  Strides strides(dims.size(), 0);
  WorkList<std::size_t> basic(arena);
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
    WorkList<OperandLayout> operands(arena);
    for (const IndexItem& item : items)
      if (item.is_advanced()) operands.push_back(operand_layout(item));
    auto order = keep_order_axes(bshape, operands);
    if (!order) return fail(order.error());
    placed = assign_run(size, *order, broadcast_dim, broadcast_slot);
  } else {
    auto outer = checked::mul_dim_i64(basic_count, size);
    if (!outer) return fail(outer.error());
    WorkList<std::size_t> reversed(bshape.size(), arena);
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

// Whether a selection's offsets may be summed from per-axis parts: every
// position the view shows lies inside its buffer, so no part can overflow,
// and every axis length fits a signed size.
bool fast_offsets_apply(const View& view) {
  for (std::uint64_t n : view.shape)
    if (n > checked::i64_max) return false;
  return view.validate_raw_layout().has_value();
}

// The offsets of a checked selection as sums: the buffer element of the
// integers and slice starts, plus a part from the basic dimensions before the
// broadcast block, one from the advanced items, and one from the basic
// dimensions after it. Element numbers wrap in 64 bits on the way: the view's
// layout keeps every complete sum inside the buffer.
struct SelectionPlan {
  const View& view;
  std::span<const IndexItem> items;
  std::span<const Shape> index_shapes;
  std::span<const std::size_t> item_axis;
  std::span<const ResultDim> dims;
  const Shape& bshape;
  std::size_t bstart;

  std::uint64_t size() const { return view.dtype.itemsize(); }
  // In elements; an axis of length 1 never moves, whatever its stride.
  std::uint64_t axis_step(std::size_t k) const {
    return view.shape[k] > 1 ? static_cast<std::uint64_t>(view.strides[k] / static_cast<std::int64_t>(size())) : 0;
  }

  std::uint64_t base() const {
    std::uint64_t element = view.offset / size();
    for (std::size_t idx = 0; idx < items.size(); ++idx) {
      const std::size_t k = item_axis[idx];
      if (const auto* i = std::get_if<Integer>(&items[idx].kind)) {
        element += *normalise(i->index, view.shape[k]) * axis_step(k);
      } else if (const auto* s = std::get_if<Slice>(&items[idx].kind)) {
        element += static_cast<std::uint64_t>(s->start) * axis_step(k);
      }
    }
    return element;
  }

  // The parts of basic dimensions [first, last) in C order.
  std::vector<std::uint64_t> basic_part(std::size_t first, std::size_t last) const {
    std::vector<std::uint64_t> part{0};
    for (std::size_t d = first; d < last; ++d) {
      const ResultDim& dim = dims[d];
      if (dim.dim == 1) continue;
      const auto step = static_cast<std::uint64_t>(dim.source_stride / static_cast<std::int64_t>(size()));
      std::vector<std::uint64_t> next;
      next.reserve(part.size() * dim.dim);
      for (std::uint64_t x : part)
        for (std::uint64_t j = 0; j < dim.dim; ++j) next.push_back(x + j * step);
      part.swap(next);
    }
    return part;
  }

  // Adds part(q) of the item with index shape `shape` to every broadcast
  // position. Each index value is met first in its own C order.
  template <class Part>
  Result<void> add_item(const Shape& shape, std::uint64_t* out, Part&& part) const {
    const std::uint64_t count = element_count(bshape).value_or(0);
    if (shape == bshape) {
      for (std::uint64_t q = 0; q < count; ++q) {
        auto value = part(q);
        if (!value) return fail(value.error());
        out[q] += *value;
      }
      return {};
    }
    const std::size_t lead = bshape.size() - shape.size();
    Strides step(bshape.size(), 0);  // in index values
    std::int64_t running = 1;
    for (std::size_t j = shape.size(); j-- > 0;) {
      if (shape[j] != 1) step[lead + j] = running;
      running *= static_cast<std::int64_t>(shape[j]);
    }
    Coordinates at(bshape.size(), 0);
    std::int64_t q = 0;
    for (std::uint64_t p = 0; p < count; ++p) {
      auto value = part(static_cast<std::uint64_t>(q));
      if (!value) return fail(value.error());
      out[p] += *value;
      for (std::size_t j = bshape.size(); j-- > 0;) {
        q += step[j];
        if (++at[j] < bshape[j]) break;
        q -= step[j] * static_cast<std::int64_t>(bshape[j]);
        at[j] = 0;
      }
    }
    return {};
  }

  Result<void> add_advanced(std::uint64_t* out) const {
    for (std::size_t idx = 0; idx < items.size(); ++idx) {
      const std::size_t k = item_axis[idx];
      Result<void> added;
      if (const auto* a = std::get_if<IntArray>(&items[idx].kind)) {
        const auto n = static_cast<std::int64_t>(view.shape[k]);
        const std::uint64_t step = axis_step(k);
        const std::int64_t* values = a->values.data();
        added = add_item(a->shape, out, [&](std::uint64_t q) -> Result<std::uint64_t> {
          const std::int64_t v = values[q];
          const std::int64_t at = v < 0 ? v + n : v;
          if (static_cast<std::uint64_t>(at) >= static_cast<std::uint64_t>(n))
            return fail(StorageError::index_out_of_bounds(v, k, view.shape[k]));
          return static_cast<std::uint64_t>(at) * step;
        });
      } else if (const auto* m = std::get_if<BoolMask>(&items[idx].kind)) {
        const std::uint64_t* positions = m->positions.data();
        const std::size_t last = k + m->shape.size() - 1;
        // A mask over axes that nest like one axis steps by its last one.
        bool nested = true;
        for (std::size_t j = k; j < last; ++j)
          nested = nested && axis_step(j) == axis_step(j + 1) * view.shape[j + 1];
        if (nested) {
          const std::uint64_t step = axis_step(last);
          added = add_item(index_shapes[idx], out, [&](std::uint64_t q) -> Result<std::uint64_t> {
            return positions[q] * step;
          });
        } else {
          added = add_item(index_shapes[idx], out, [&](std::uint64_t q) -> Result<std::uint64_t> {
            std::uint64_t cell = positions[q], element = 0;
            for (std::size_t j = last + 1; j-- > k;) {
              element += (cell % view.shape[j]) * axis_step(j);
              cell /= view.shape[j];
            }
            return element;
          });
        }
      }
      if (!added) return added;
    }
    return {};
  }

  // Whether basic dimensions [first, last) select one position (part 0).
  bool basic_single(std::size_t first, std::size_t last) const {
    for (std::size_t d = first; d < last; ++d)
      if (dims[d].dim != 1) return false;
    return true;
  }

  // The selection as a LinearSelection, when it is one.
  std::optional<LinearSelection> linear(std::uint64_t count) const {
    if (!basic_single(0, bstart) || !basic_single(bstart + bshape.size(), dims.size())) return std::nullopt;
    std::optional<LinearSelection> found;
    for (std::size_t idx = 0; idx < items.size(); ++idx) {
      if (!items[idx].is_advanced() || std::holds_alternative<BoolValue>(items[idx].kind)) continue;
      if (found || index_shapes[idx] != bshape) return std::nullopt;
      const std::size_t k = item_axis[idx];
      LinearSelection s;
      s.count = count;
      if (const auto* a = std::get_if<IntArray>(&items[idx].kind)) {
        s.values = a->values.data();
        s.axis = k;
        s.length = view.shape[k];
        s.step = axis_step(k);
        const auto n = static_cast<std::int64_t>(s.length);
        s.in_bounds = a->range && (*a->range)[0] >= -n && (*a->range)[1] < n;
      } else {
        const auto& mask = std::get<BoolMask>(items[idx].kind);
        const std::size_t last = k + mask.shape.size() - 1;
        for (std::size_t j = k; j < last; ++j)
          if (axis_step(j) != axis_step(j + 1) * view.shape[j + 1]) return std::nullopt;
        s.positions = mask.positions.data();
        s.step = axis_step(last);
      }
      found = s;
    }
    if (!found) return std::nullopt;
    found->start = base();
    return found;
  }

  Result<void> offsets(std::uint64_t count, std::vector<std::uint64_t>& out) const {
    const std::vector<std::uint64_t> before = basic_part(0, bstart);
    const std::vector<std::uint64_t> after = basic_part(bstart + bshape.size(), dims.size());
    const std::uint64_t start = base();
    if (before.size() == 1 && after.size() == 1) {
      out.assign(count, start + before[0] + after[0]);
      return add_advanced(out.data());
    }
    std::vector<std::uint64_t> advanced(count / before.size() / after.size(), 0);
    if (auto ok = add_advanced(advanced.data()); !ok) return ok;
    out.resize(count);
    std::uint64_t* next = out.data();
    for (std::uint64_t x : before)
      for (std::uint64_t a : advanced)
        for (std::uint64_t y : after) *next++ = start + x + a + y;
    return {};
  }
};

// With `linear`, a selection that is a LinearSelection is described there and
// its layout's offsets are left empty.
Result<AdvancedIndexLayout> resolve_advanced(const View& view, std::span<const IndexItem> items, bool fast,
                                             std::optional<LinearSelection>* linear = nullptr) {
  if (view.strides.size() != view.ndim()) return fail(ErrorKind::InvalidLayout);
  fast = fast && fast_offsets_apply(view);
  std::optional<std::size_t> first_placing, last_placing;
  WorkArena arena;
  WorkList<Shape> index_shapes(items.size(), arena.get());
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
  WorkList<Shape> advanced_shapes(arena.get());
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

  WorkList<ResultDim> dims(arena.get());
  std::size_t bstart = 0;
  auto place_broadcast = [&] {
    bstart = dims.size();
    for (std::uint64_t d : *bshape) dims.push_back({d, 0});
  };
  if (!contiguous) place_broadcast();

  // On the fast path index array values are checked where the offsets are
  // computed; an error found before then still reports the first bad value
  // of an earlier array first.
  WorkList<std::size_t> deferred(arena.get());  // items
  WorkList<std::size_t> item_axis(items.size(), 0, arena.get());
  auto checked_deferred = [&]() -> Result<void> {
    for (std::size_t idx : deferred) {
      const std::size_t axis = item_axis[idx];
      for (std::int64_t v : std::get<IntArray>(items[idx].kind).values)
        if (!normalise(v, view.shape[axis])) return fail(StorageError::index_out_of_bounds(v, axis, view.shape[axis]));
    }
    return {};
  };
  auto settle = [&](StorageError error) -> Result<AdvancedIndexLayout> {
    if (auto ok = checked_deferred(); !ok) return fail(ok.error());
    return fail(std::move(error));
  };

  WorkList<std::size_t> item_dim(items.size(), no_dim, arena.get());
  std::size_t k = 0;
  for (std::size_t idx = 0; idx < items.size(); ++idx) {
    const IndexItem& item = items[idx];
    if (contiguous && idx == *first_placing) place_broadcast();
    item_axis[idx] = k;
    const std::uint64_t consumes = axes_consumed(item);
    if (consumes > view.ndim() - k) return settle(StorageError::too_many_indices(view.ndim(), k + consumes));
    if (const auto* i = std::get_if<Integer>(&item.kind)) {
      if (auto at = checked_integer(*i, k, view.shape[k]); !at) return settle(at.error());
    } else if (const auto* s = std::get_if<Slice>(&item.kind)) {
      if (auto ok = check_slice(*s, view.shape[k]); !ok) return settle(ok.error());
      auto stride = slice_stride(*s, view.strides[k]);
      if (!stride) return settle(stride.error());
      item_dim[idx] = dims.size();
      dims.push_back({s->length, *stride});
    } else if (std::holds_alternative<NewAxis>(item.kind)) {
      item_dim[idx] = dims.size();
      dims.push_back({1, 0});
    } else if (const auto* a = std::get_if<IntArray>(&item.kind)) {
      auto count = element_count(a->shape);
      if (!count) return settle(count.error());
      if (*count != a->values.size()) return settle(StorageError(ErrorKind::InvalidAdvancedIndex));
      if (fast) {
        deferred.push_back(idx);
      } else {
        for (std::int64_t v : a->values)
          if (!normalise(v, view.shape[k])) return fail(StorageError::index_out_of_bounds(v, k, view.shape[k]));
      }
    } else if (const auto* m = std::get_if<BoolMask>(&item.kind)) {
      if (m->shape.empty()) return settle(StorageError(ErrorKind::InvalidAdvancedIndex));
      if (!std::equal(m->shape.begin(), m->shape.end(), view.shape.begin() + static_cast<std::ptrdiff_t>(k)))
        return settle(StorageError(ErrorKind::InvalidAdvancedIndex));
      auto cells = element_count(m->shape);
      if (!cells) return settle(cells.error());
      for (std::uint64_t position : m->positions)
        if (position >= *cells) return settle(StorageError(ErrorKind::InvalidAdvancedIndex));
    }
    k += consumes;
  }
  const std::size_t rest_start = dims.size(), rest_axis = k;
  for (; k < view.ndim(); ++k) dims.push_back({view.shape[k], view.strides[k]});

  AdvancedIndexLayout layout;
  if (dims.size() > max_dimensions) return settle(StorageError(ErrorKind::LayoutOverflow));
  for (const ResultDim& d : dims) layout.shape.push_back(d.dim);
  auto count = element_count(layout.shape);
  if (!count) return settle(count.error());
  if (*count == 0) {
    if (auto ok = checked_deferred(); !ok) return fail(ok.error());
    auto strides = c_strides(view.dtype, layout.shape);
    if (!strides) return fail(strides.error());
    layout.strides = std::move(*strides);
    return layout;
  }
  auto strides = gather_strides(view, items, dims, *bshape, bstart, arena.get());
  if (!strides) return settle(strides.error());
  layout.strides = std::move(*strides);

  if (fast) {
    const SelectionPlan plan{view, items, index_shapes, item_axis, dims, *bshape, bstart};
    if (linear && (*linear = plan.linear(*count))) return layout;
    if (auto room = checked::reserve(layout.offsets, *count); !room) return settle(room.error());
    if (auto ok = plan.offsets(*count, layout.offsets); !ok) return fail(ok.error());
    return layout;
  }
  if (auto room = checked::reserve(layout.offsets, *count); !room) return settle(room.error());
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

// Whether an operand of `shape` with `strides` lies in C order, element after
// element of `size` bytes (axes of length 1 aside).
bool dense_c_order(const Shape& shape, const Strides& strides, std::uint64_t size) {
  auto running = static_cast<std::int64_t>(size);
  for (std::size_t k = shape.size(); k-- > 0;) {
    if (shape[k] == 1) continue;
    if (strides[k] != running) return false;
    running *= static_cast<std::int64_t>(shape[k]);
  }
  return true;
}

// Selections move elements as bytes in their own order: `body` gets the item
// size as a constant, or 0 for a size the copies take at run time.
template <class Body>
void with_item_size(std::uint64_t size, Body&& body) {
  switch (size) {
    case 1: return body(std::integral_constant<std::uint64_t, 1>{});
    case 2: return body(std::integral_constant<std::uint64_t, 2>{});
    case 4: return body(std::integral_constant<std::uint64_t, 4>{});
    case 8: return body(std::integral_constant<std::uint64_t, 8>{});
    case 16: return body(std::integral_constant<std::uint64_t, 16>{});
    case 32: return body(std::integral_constant<std::uint64_t, 32>{});
    default: return body(std::integral_constant<std::uint64_t, 0>{});
  }
}

template <std::uint64_t N>
void copy_item(std::uint8_t* to, const std::uint8_t* from, std::uint64_t size) {
  if constexpr (N == 0) std::memcpy(to, from, size);
  else std::memcpy(to, from, N);
}

// A linear selection's element numbers in the layout's offsets (checked).
Result<void> list_offsets(AdvancedIndexLayout& layout, const LinearSelection& linear) {
  if (auto room = checked::reserve(layout.offsets, linear.count); !room) return room;
  layout.offsets.resize(linear.count);
  std::uint64_t* out = layout.offsets.data();
  return linear.walk<true>([&](std::uint64_t i, std::uint64_t element) { out[i] = element; });
}

// A typed gather: the selected elements, in selection order, into a fresh
// buffer laid out by the selection's strides. A linear selection's values
// are checked in the same pass as the copy.
Result<View> typed_gather(const View& view, AdvancedIndexLayout& layout, std::optional<LinearSelection> linear) {
  auto count = element_count(layout.shape);
  if (!count) return fail(count.error());
  const std::uint64_t size = view.dtype.itemsize();
  const bool dense = dense_c_order(layout.shape, layout.strides, size);
  if (linear && !dense) {
    if (auto listed = list_offsets(layout, *linear); !listed) return fail(listed.error());
    linear.reset();
  }
  auto guard = view_detail::lock_for_reading(view);
  if (!guard) return fail(guard.error());
  if (auto ok = view.element_base(*guard); !ok) return fail(ok.error());  // its checks; see `start`
  auto bytes = checked::mul_u64(*count, size);
  if (!bytes || *bytes > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  if ((linear ? linear->count : layout.offsets.size()) != *count) return fail(ErrorKind::ShapeMismatch);
  if (layout.shape.size() != layout.strides.size()) return fail(ErrorKind::InvalidLayout);
  auto order = view_detail::storage_byte_order(view.dtype, view.byte_order);
  if (!order) return fail(order.error());
  auto buffer = Buffer::uninitialized(view.dtype, *order, *count);
  if (!buffer) {
    if (linear) {  // a bad index is the report a full check would have made first
      if (auto ok = linear->checked(); !ok) return fail(ok.error());
    }
    return fail(buffer.error());
  }
  // Selections hold buffer element numbers, counted from the buffer's start.
  const std::uint8_t* start = (*guard)->data.data();
  std::uint8_t* out = buffer->data.data();
  Result<void> copied;
  with_item_size(size, [&]<std::uint64_t N>(std::integral_constant<std::uint64_t, N>) {
    auto copy = [out, start, size](std::uint64_t i, std::uint64_t element) {
      copy_item<N>(out + i * size, start + element * size, size);
    };
    if (linear) {
      copied = linear->in_bounds ? linear->walk<false>(copy) : linear->walk<true>(copy);
    } else if (dense) {
      const std::uint64_t* offsets = layout.offsets.data();
      for (std::uint64_t i = 0; i < *count; ++i) copy(i, offsets[i]);
    } else {
      for_each_selected(layout.shape, layout.offsets, out, layout.strides,
                        [&](std::uint64_t element, std::uint8_t* to) { copy_item<N>(to, start + element * size, size); });
    }
  });
  if (!copied) return fail(copied.error());
  auto handle = share_buffer(std::move(*buffer));
  if (!handle) return fail(handle.error());
  View out_view{std::move(layout.shape), std::move(layout.strides), std::move(*handle), 0, *count, *order, view.dtype};
  if (auto ok = out_view.validate_layout(); !ok) return fail(ok.error());
  return out_view;
}

// Copies the element of `values` (laid out by `strides` over the selection
// shape; 0 where it repeats one value) at every selected element of `view`,
// under its write lock, in selection order: a repeated position keeps the
// last write. `values` must be encoded as the view's elements are; a linear
// selection must be checked already.
Result<void> write_selected(const View& view, const AdvancedIndexLayout& layout,
                            const std::optional<LinearSelection>& linear, const std::uint8_t* values,
                            const Strides& strides) {
  auto guard = view_detail::lock_for_writing(view);
  if (!guard) return fail(guard.error());
  if (auto ok = view.element_base(*guard); !ok) return fail(ok.error());  // its checks; see `start`
  // Selections hold buffer element numbers, counted from the buffer's start.
  std::uint8_t* start = (*guard)->data.data();
  const std::uint64_t size = view.dtype.itemsize();
  const bool one = std::all_of(strides.begin(), strides.end(), [](std::int64_t s) { return s == 0; });
  const bool dense = dense_c_order(layout.shape, strides, size);
  with_item_size(size, [&]<std::uint64_t N>(std::integral_constant<std::uint64_t, N>) {
    auto write = [start, size, one, values](std::uint64_t i, std::uint64_t element) {
      copy_item<N>(start + element * size, one ? values : values + i * size, size);
    };
    if (linear && (one || dense)) {
      auto unchecked = linear->walk<false>(write);
      (void)unchecked;  // unchecked walks do not fail
    } else if (one || dense) {
      const std::uint64_t* offsets = layout.offsets.data();
      for (std::uint64_t i = 0; i < layout.offsets.size(); ++i) write(i, offsets[i]);
    } else {
      for_each_selected(layout.shape, layout.offsets, const_cast<std::uint8_t*>(values), strides,
                        [&](std::uint64_t element, std::uint8_t* from) { copy_item<N>(start + element * size, from, size); });
    }
  });
  return {};
}

// The selection for a typed write: a linear one checked whole before the
// first write, listed as offsets when `values` will not be walked in order.
Result<AdvancedIndexLayout> write_layout(const View& view, std::span<const IndexItem> items,
                                         std::optional<LinearSelection>& linear) {
  auto layout = resolve_advanced(view, items, true, &linear);
  if (!layout || !linear) return layout;
  if (auto ok = linear->checked(); !ok) return fail(ok.error());
  return layout;
}

}  // namespace

namespace {

// One index array over a view of one axis, the commonest target of `at`: a
// linear selection on its face, found without the general resolution (which
// would come to the same selection, shape and first error). Nullopt where it
// does not apply.
std::optional<LinearSelection> single_array_selection(const View& view, std::span<const IndexItem> items) {
  if (items.size() != 1 || view.ndim() != 1 || view.strides.size() != 1) return std::nullopt;
  const auto* array = std::get_if<IntArray>(&items[0].kind);
  if (array == nullptr || array->values.empty() || array->shape.size() > max_dimensions) return std::nullopt;
  const auto count = element_count(array->shape);
  if (!count || *count != array->values.size() || !fast_offsets_apply(view)) return std::nullopt;
  const std::uint64_t size = view.dtype.itemsize(), length = view.shape[0];
  LinearSelection linear;
  linear.start = view.offset / size;
  linear.step = length > 1 ? static_cast<std::uint64_t>(view.strides[0] / static_cast<std::int64_t>(size)) : 0;
  linear.count = *count;
  linear.values = array->values.data();
  linear.length = length;
  const auto n = static_cast<std::int64_t>(length);
  linear.in_bounds = array->range && (*array->range)[0] >= -n && (*array->range)[1] < n;
  return linear;
}

}  // namespace

Result<IndexedView> advanced_index_runs(const View& view, std::span<const IndexItem> items,
                                        std::optional<LinearSelection>& linear) {
  return allocation_guard([&]() -> Result<IndexedView> {
    if ((linear = single_array_selection(view, items))) {
      if (auto ok = linear->checked(); !ok) return fail(ok.error());
      return IndexedView{view, std::get<IntArray>(items[0].kind).shape, {}};
    }
    auto layout = write_layout(view, items, linear);
    if (!layout) return fail(layout.error());
    return IndexedView{view, std::move(layout->shape), std::move(layout->offsets)};
  });
}

Result<void> list_selection(IndexedView& selection, const LinearSelection& linear) {
  return allocation_guard([&]() -> Result<void> {
    if (auto room = checked::reserve(selection.offsets, linear.count); !room) return room;
    selection.offsets.resize(linear.count);
    for (std::uint64_t i = 0; i < linear.count; ++i) selection.offsets[i] = linear.element(i);
    return {};
  });
}

Result<View> View::index(std::span<const IndexItem> items, LoopPath path) const {
  return allocation_guard([&]() -> Result<View> {
    if (std::none_of(items.begin(), items.end(), [](const IndexItem& i) { return i.is_advanced(); }))
      return basic_index(*this, items);
    if (view_detail::takes_typed_path(*this, path)) {
      std::optional<LinearSelection> linear;
      auto layout = resolve_advanced(*this, items, true, &linear);
      if (!layout) return fail(layout.error());
      return typed_gather(*this, *layout, linear);
    }
    auto layout = advanced_offsets(items, path);
    if (!layout) return fail(layout.error());
    auto values = view_detail::read_elements(*this, layout->offsets);
    if (!values) return fail(values.error());
    return from_values_with_strides(dtype, byte_order, std::move(layout->shape), *values, std::move(layout->strides));
  });
}

Result<AdvancedIndexLayout> View::advanced_offsets(std::span<const IndexItem> items, LoopPath path) const {
  return allocation_guard([&]() { return resolve_advanced(*this, items, path == LoopPath::Typed); });
}

Result<IndexedView> View::advanced_index_view(std::span<const IndexItem> items, LoopPath path) const {
  return allocation_guard([&]() -> Result<IndexedView> {
    auto layout = advanced_offsets(items, path);
    if (!layout) return fail(layout.error());
    return IndexedView{*this, std::move(layout->shape), std::move(layout->offsets)};
  });
}

Result<void> View::assign_fancy_scalar(std::span<const IndexItem> items, const Scalar& value, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    auto cast = value.cast(dtype);
    if (!cast) return fail(cast.error());
    // Long double text that does not encode is refused by the element writes.
    const auto pattern = view_detail::encoded(*cast, dtype, byte_order);
    if (pattern && view_detail::takes_typed_path(*this, path)) {
      std::optional<LinearSelection> linear;
      auto layout = write_layout(*this, items, linear);
      if (!layout) return fail(layout.error());
      return write_selected(*this, *layout, linear, pattern->data(), Strides(layout->shape.size(), 0));
    }
    auto layout = advanced_offsets(items, path);
    if (!layout) return fail(layout.error());
    return view_detail::fill_elements(*this, layout->offsets, *cast);
  });
}

Result<void> View::assign_fancy_view(std::span<const IndexItem> items, const View& source, LoopPath path) const {
  return allocation_guard([&]() -> Result<void> {
    const bool typed = view_detail::takes_typed_path(source, path) && view_detail::takes_typed_path(*this, path);
    std::optional<LinearSelection> linear;
    auto layout = typed ? write_layout(*this, items, linear) : advanced_offsets(items, path);
    if (!layout) return fail(layout.error());
    if (auto fits = view_detail::check_broadcast(source.shape, layout->shape); !fits) return fail(fits.error());
    if (typed) {
      // Staged and the source released before this view's write lock.
      auto staged = view_detail::staged_copy(source, dtype, byte_order);
      if (!staged) return fail(staged.error());
      auto staged_strides = c_strides(dtype, source.shape);
      if (!staged_strides) return fail(staged_strides.error());
      const Strides read = view_detail::broadcast_strides(source.shape, *staged_strides, layout->shape);
      const bool in_order = std::all_of(read.begin(), read.end(), [](std::int64_t s) { return s == 0; }) ||
                            dense_c_order(layout->shape, read, dtype.itemsize());
      if (linear && !in_order) {
        if (auto listed = list_offsets(*layout, *linear); !listed) return fail(listed.error());
        linear.reset();
      }
      return write_selected(*this, *layout, linear, staged->data.data(), read);
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

namespace quarvel_storage {

namespace {

// An index value as a signed size; unsigned values beyond the signed range
// clamp (they are out of bounds either way).
template <class T>
std::int64_t as_index(T value) {
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    return value > checked::i64_max ? INT64_MAX : static_cast<std::int64_t>(value);
  } else {
    return static_cast<std::int64_t>(value);
  }
}

}  // namespace

Result<std::vector<std::int64_t>> read_index_values(const View& index, LoopPath path,
                                                    std::optional<std::array<std::int64_t, 2>>* range) {
  return allocation_guard([&]() -> Result<std::vector<std::int64_t>> {
    if (!index.dtype.is_integer()) return fail(ErrorKind::DTypeMismatch);
    auto count = element_count(index.shape);
    if (!count) return fail(count.error());
    std::vector<std::int64_t> values;
    if (auto room = checked::reserve(values, *count); !room) return fail(room.error());
    auto read = visit_detail::typed_read(index, path);
    if (!read) return fail(read.error());
    if (!*read) {
      auto visited = visit_elements(index, path, [&](const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, Scalar>) {
          std::visit(
              [&](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) values.push_back(as_index(v));
              },
              value.storage());
        }
        return true;
      });
      if (!visited) return fail(visited.error());
      return values;
    }
    values.resize(*count);
    std::int64_t* out = values.data();
    std::int64_t low = INT64_MAX, high = INT64_MIN;
    with_element_type(index.dtype, [&]<class T>(std::type_identity<T>) {
      if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        auto run = [&]<bool Swap>(const std::uint8_t* p, std::int64_t stride, std::uint64_t n) {
          constexpr auto size = static_cast<std::int64_t>(sizeof(T));
          std::int64_t run_low = low, run_high = high;
          auto keep = [&](std::uint64_t i, std::int64_t v) {
            out[i] = v;
            run_low = std::min(run_low, v);
            run_high = std::max(run_high, v);
          };
          if (stride == size) {
            for (std::uint64_t i = 0; i < n; ++i) keep(i, as_index(load_element<T, Swap>(p + i * size)));
          } else {
            for (std::uint64_t i = 0; i < n; ++i)
              keep(i, as_index(load_element<T, Swap>(p + static_cast<std::int64_t>(i) * stride)));
          }
          low = run_low, high = run_high;
          out += n;
        };
        const bool swap = swaps(index.byte_order);
        for_each_row<1>(index.shape, {const_cast<std::uint8_t*>((*read)->base)}, {index.strides.data()},
                        [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s,
                            std::uint64_t n) {
                          swap ? run.template operator()<true>(p[0], s[0], n)
                               : run.template operator()<false>(p[0], s[0], n);
                        });
      }
    });
    if (range != nullptr && !values.empty()) *range = std::array<std::int64_t, 2>{low, high};
    return values;
  });
}

Result<std::vector<std::uint64_t>> read_mask_positions(const View& mask, LoopPath path) {
  return allocation_guard([&]() -> Result<std::vector<std::uint64_t>> {
    if (mask.dtype != DType::Bool) return fail(ErrorKind::DTypeMismatch);
    std::vector<std::uint64_t> positions;
    auto read = visit_detail::typed_read(mask, path);
    if (!read) return fail(read.error());
    std::uint64_t p = 0;
    if (!*read) {
      auto visited = visit_elements(mask, path, [&](const auto& value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, Scalar>) {
          if (value.truthy()) positions.push_back(p);
        }
        ++p;
        return true;
      });
      if (!visited) return fail(visited.error());
      return positions;
    }
    using Row = std::array<std::uint8_t*, 1>;
    using Step = std::array<std::int64_t, 1>;
    const std::array<std::uint8_t*, 1> base{const_cast<std::uint8_t*>((*read)->base)};
    std::uint64_t selected = 0;
    for_each_row<1>(mask.shape, base, {mask.strides.data()}, [&](const Row& r, const Step& s, std::uint64_t n) {
      std::uint64_t run = 0;
      if (s[0] == 1) {  // the unit-stride form vectorises
        for (std::uint64_t i = 0; i < n; ++i) run += r[0][i] != 0;
      } else {
        for (std::uint64_t i = 0; i < n; ++i) run += r[0][static_cast<std::int64_t>(i) * s[0]] != 0;
      }
      selected += run;
    });
    // One slot more than selected: the compaction below stores every
    // position and keeps it only when selected, without a branch.
    if (auto room = checked::reserve(positions, selected + 1); !room) return fail(room.error());
    positions.resize(selected + 1);
    std::uint64_t* out = positions.data();
    std::uint64_t kept = 0;
    for_each_row<1>(mask.shape, base, {mask.strides.data()}, [&](const Row& r, const Step& s, std::uint64_t n) {
      for (std::uint64_t i = 0; i < n; ++i) {
        out[kept] = p + i;
        kept += r[0][static_cast<std::int64_t>(i) * s[0]] != 0;
      }
      p += n;
    });
    positions.resize(selected);
    return positions;
  });
}

}  // namespace quarvel_storage
