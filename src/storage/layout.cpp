// Copies, casts, relabelling, reshaping and transposition, and the axis order
// that keeps operands' memory order.
#include <algorithm>
#include <cstdlib>

#include "storage/cast.h"
#include "storage/checked.h"
#include "storage/view.h"
#include "storage/view_detail.h"

namespace quarvel_storage {

using checked::allocation_guard;

namespace {

std::uint64_t magnitude(std::int64_t v) {
  return v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

// A view over the same buffer with another shape, strides or tag; it must pass
// the layout check.
Result<View> shared_view(const View& source, Shape shape, Strides strides, ByteOrder byte_order) {
  View out{std::move(shape), std::move(strides), source.buffer, source.offset, source.len, byte_order, source.dtype};
  if (auto ok = out.validate_layout(); !ok) return fail(ok.error());
  return out;
}

struct Axis {
  std::uint64_t dim;
  std::int64_t stride;
};

// Strides for `new_shape` over the same elements, grouping old and new axes
// of equal products; an empty optional when strides cannot express it.
Result<std::optional<Strides>> grouped_strides(const View& view, const Shape& new_shape, bool f_order) {
  std::vector<Axis> old_axes;
  for (std::size_t k = 0; k < view.shape.size(); ++k)
    if (view.shape[k] > 1) old_axes.push_back({view.shape[k], view.strides[k]});
  std::vector<std::size_t> new_axes;
  for (std::size_t k = 0; k < new_shape.size(); ++k)
    if (new_shape[k] > 1) new_axes.push_back(k);

  Strides out(new_shape.size(), 0);
  if (old_axes.empty() || new_axes.empty()) {
    auto contiguous = f_order ? f_strides(view.dtype, new_shape) : c_strides(view.dtype, new_shape);
    if (!contiguous) return fail(contiguous.error());
    return std::optional<Strides>(std::move(*contiguous));
  }

  std::size_t i = 0, p = 0;
  while (i < old_axes.size() && p < new_axes.size()) {
    const std::size_t i0 = i, p0 = p;
    std::uint64_t a = old_axes[i].dim, b = new_shape[new_axes[p]];
    while (a != b) {
      if (a < b) {
        if (++i >= old_axes.size()) return std::optional<Strides>();
        auto grown = checked::mul_u64(a, old_axes[i].dim);
        if (!grown) return fail(grown.error());
        a = *grown;
      } else {
        if (++p >= new_axes.size()) return std::optional<Strides>();
        auto grown = checked::mul_u64(b, new_shape[new_axes[p]]);
        if (!grown) return fail(grown.error());
        b = *grown;
      }
    }
    for (std::size_t x = i0; x < i; ++x) {
      const Axis& outer = old_axes[x];
      const Axis& inner = old_axes[x + 1];
      auto expected = f_order ? checked::mul_dim_i64(outer.dim, outer.stride) : checked::mul_dim_i64(inner.dim, inner.stride);
      if (!expected) return fail(expected.error());
      if ((f_order ? inner.stride : outer.stride) != *expected) return std::optional<Strides>();
    }
    std::int64_t running = f_order ? old_axes[i0].stride : old_axes[i].stride;
    for (std::size_t q = 0; q <= p - p0; ++q) {
      const std::size_t axis = new_axes[f_order ? p0 + q : p - q];
      out[axis] = running;
      auto next = checked::mul_dim_i64(new_shape[axis], running);
      if (!next) return fail(next.error());
      running = *next;
    }
    ++i;
    ++p;
  }
  if (i != old_axes.size() || p != new_axes.size()) return std::optional<Strides>();

  // Length-1 axes take the stride they would have next to their neighbours.
  for (std::size_t u = 0; u < new_shape.size(); ++u) {
    if (new_shape[u] != 1) continue;
    std::optional<std::size_t> later, earlier;
    for (std::size_t j = u + 1; j < new_shape.size() && !later; ++j)
      if (new_shape[j] >= 2) later = j;
    for (std::size_t j = u; j-- > 0 && !earlier;)
      if (new_shape[j] >= 2) earlier = j;
    const std::int64_t size = static_cast<std::int64_t>(view.dtype.itemsize());
    if (!f_order && later) {
      auto s = checked::mul_dim_i64(new_shape[*later], out[*later]);
      if (!s) return fail(s.error());
      out[u] = *s;
    } else if (!f_order && earlier) {
      out[u] = out[*earlier];
    } else if (f_order && later) {
      out[u] = out[*later];
    } else if (f_order && earlier) {
      auto s = checked::mul_dim_i64(new_shape[*earlier], out[*earlier]);
      if (!s) return fail(s.error());
      out[u] = *s;
    } else {
      out[u] = size;
    }
  }
  return std::optional<Strides>(std::move(out));
}

// Strides of a reshape that shares the buffer, if any exist.
Result<std::optional<Strides>> reshape_view_strides(const View& view, const Shape& new_shape, std::uint64_t count,
                                                    bool f_order) {
  if (new_shape == view.shape) return std::optional<Strides>(view.strides);
  if (count == 0) {
    auto strides = reshape_empty_strides(view.dtype, new_shape, f_order);
    if (!strides) return fail(strides.error());
    return std::optional<Strides>(std::move(*strides));
  }
  return grouped_strides(view, new_shape, f_order);
}

using view_detail::CopyLayout;

// The typed copies lay their results out as the element path's constructors
// do, with the same checks in the same order: the element count (whose bytes
// must fit), the tag, then the strides; each element is written where the
// result's strides put it.
template <class StridesFor>
Result<CopyLayout> layout_with_strides(const View& view, DType to, ByteOrder to_order, StridesFor&& strides_for) {
  auto count = element_count(view.shape);
  if (!count) return fail(count.error());
  auto bytes = checked::mul_u64(*count, to.itemsize());
  if (!bytes || *bytes > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  auto order = view_detail::storage_byte_order(to, to_order);
  if (!order) return fail(order.error());
  Result<Strides> strides = strides_for();
  if (!strides) return fail(strides.error());
  return CopyLayout{view.shape, *strides, *order, *count, *strides};
}

Result<CopyLayout> copy_layout(const View& view, DType to, ByteOrder to_order, bool f_order) {
  return layout_with_strides(view, to, to_order,
                             [&] { return f_order ? f_strides(to, view.shape) : c_strides(to, view.shape); });
}

Result<CopyLayout> axis_order_layout(const View& view, DType to, ByteOrder to_order, const AxisOrder& axis_order) {
  // The element path checks the axis order before anything else.
  auto strides = axis_order_strides(to, view.shape, axis_order);
  if (!strides) return fail(strides.error());
  return layout_with_strides(view, to, to_order, [&]() -> Result<Strides> { return std::move(*strides); });
}

// What a cast copy notes: nothing, invalid casts to an integer, or overflow.
enum class CastNote : std::uint8_t { none, invalid, overflow };

// The cast of astype_with_axis_order; with a note, the noting of
// astype_noting_invalid or astype_noting_overflow into `noted`.
Result<View> cast_copy(const View& view, DType to, ByteOrder to_order, const AxisOrder& axis_order, CastNote note,
                       bool* noted, LoopPath path) {
  return allocation_guard([&]() -> Result<View> {
    if (view_detail::takes_typed_path(view, path) && !to.is_long_double()) {
      view_detail::CopyNote copy_note;
      if (note != CastNote::none)
        copy_note = {note == CastNote::invalid ? find_conversion_noting_invalid : find_conversion_noting_overflow, noted};
      return view_detail::typed_copy(
          view, to, [&] { return axis_order_layout(view, to, to_order, axis_order); }, copy_note);
    }
    auto values = view.snapshot();
    if (!values) return fail(values.error());
    if (to != view.dtype) {
      for (Scalar& v : *values) {
        if (note == CastNote::invalid) *noted = *noted || v.integer_cast_is_invalid(to);
        auto cast = v.cast(to);
        if (!cast) return fail(cast.error());
        if (note == CastNote::overflow) {
          const auto before = v.as_complex(), after = cast->as_complex();
          *noted = *noted || (before && after && cast_overflowed(*before, *after));
        }
        v = std::move(*cast);
      }
    }
    return View::from_values_with_axis_order(to, to_order, view.shape, *values, axis_order);
  });
}

}  // namespace

Result<View> View::copy(LoopPath path) const { return copy_order(false, path); }

Result<View> View::copy_order(bool f_order, LoopPath path) const {
  return allocation_guard([&]() -> Result<View> {
    if (view_detail::takes_typed_path(*this, path))
      return view_detail::typed_copy(*this, dtype, [&] { return copy_layout(*this, dtype, byte_order, f_order); });
    auto values = snapshot();
    if (!values) return fail(values.error());
    return from_values_with_layout(dtype, byte_order, shape, *values, f_order);
  });
}

Result<View> View::copy_with_axis_order(const AxisOrder& axis_order, LoopPath path) const {
  return astype_with_axis_order(dtype, byte_order, axis_order, path);
}

Result<View> View::astype_with_axis_order(DType to, ByteOrder to_order, const AxisOrder& axis_order,
                                          LoopPath path) const {
  return cast_copy(*this, to, to_order, axis_order, CastNote::none, nullptr, path);
}

Result<View> View::astype_noting_invalid(DType to, ByteOrder to_order, const AxisOrder& axis_order, bool& invalid,
                                         LoopPath path) const {
  invalid = false;
  return cast_copy(*this, to, to_order, axis_order, CastNote::invalid, &invalid, path);
}

Result<View> View::astype_noting_overflow(DType to, ByteOrder to_order, const AxisOrder& axis_order, bool& overflowed,
                                          LoopPath path) const {
  overflowed = false;
  return cast_copy(*this, to, to_order, axis_order, CastNote::overflow, &overflowed, path);
}

Result<View> View::view_with_dtype_and_order(DType to, ByteOrder to_order) const {
  if (to != dtype) return fail(ErrorKind::DTypeMismatch);
  if (dtype.itemsize() == 1) {
    to_order = ByteOrder::NotApplicable;
  } else if (to_order == ByteOrder::NotApplicable || byte_order == ByteOrder::NotApplicable ||
             (to_order == ByteOrder::Big) != (byte_order == ByteOrder::Big)) {
    // Relabelling never moves bytes, so it cannot turn swapped storage into
    // unswapped storage or back.
    return fail(ErrorKind::InvalidLayout);
  }
  return allocation_guard([&]() { return shared_view(*this, shape, strides, to_order); });
}

Result<View> View::transpose(const std::optional<std::vector<std::int64_t>>& axes) const {
  return allocation_guard([&]() -> Result<View> {
    const std::size_t n = ndim();
    if (strides.size() != n) return fail(ErrorKind::InvalidLayout);
    std::vector<std::size_t> order(n);
    if (!axes) {
      for (std::size_t i = 0; i < n; ++i) order[i] = n - 1 - i;
    } else {
      if (axes->size() != n) return fail(ErrorKind::InvalidAxisPermutation);
      std::vector<bool> used(n, false);
      for (std::size_t i = 0; i < n; ++i) {
        std::int64_t a = (*axes)[i];
        if (a < 0) a += static_cast<std::int64_t>(n);
        if (a < 0 || a >= static_cast<std::int64_t>(n) || used[a]) return fail(ErrorKind::InvalidAxisPermutation);
        used[a] = true;
        order[i] = static_cast<std::size_t>(a);
      }
    }
    Shape new_shape(n);
    Strides new_strides(n);
    for (std::size_t i = 0; i < n; ++i) {
      new_shape[i] = shape[order[i]];
      new_strides[i] = strides[order[i]];
    }
    return shared_view(*this, std::move(new_shape), std::move(new_strides), byte_order);
  });
}

Result<View> View::reshape_order(const Shape& new_shape, CopyMode copy_mode, bool f_order, LoopPath path) const {
  return allocation_guard([&]() -> Result<View> {
    auto count = element_count(new_shape);
    if (!count) return fail(count.error());
    auto old_count = element_count(shape);
    if (!old_count) return fail(old_count.error());
    if (*count != *old_count) return fail(ErrorKind::ShapeMismatch);
    if (shape.size() != strides.size()) return fail(ErrorKind::InvalidLayout);

    auto shared = reshape_view_strides(*this, new_shape, *count, f_order);
    if (!shared) return fail(shared.error());
    if (copy_mode == CopyMode::Never && !*shared) return fail(ErrorKind::InvalidLayout);
    if (copy_mode != CopyMode::Always && *shared) return shared_view(*this, new_shape, std::move(**shared), byte_order);

    // Copy: the source's elements renumbered in the chosen order (both sides
    // C, or both F), read under one lock.
    auto out_strides = [&]() -> Result<Strides> {
      if (*count == 0) return reshape_empty_strides(dtype, new_shape, f_order);
      return f_order ? f_strides(dtype, new_shape) : c_strides(dtype, new_shape);
    };
    if (view_detail::takes_typed_path(*this, path)) {
      // Storage position i holds the source element at C (or F) position i:
      // the source's own contiguous strides in that order place it there.
      return view_detail::typed_copy(*this, dtype, [&]() -> Result<CopyLayout> {
        auto bytes = checked::mul_u64(*count, dtype.itemsize());
        if (!bytes || *bytes > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
        auto write = f_order ? f_strides(dtype, shape) : c_strides(dtype, shape);
        if (!write) return fail(write.error());
        auto strides_out = out_strides();
        if (!strides_out) return fail(strides_out.error());
        return CopyLayout{new_shape, std::move(*strides_out), byte_order, *count, std::move(*write)};
      });
    }
    auto values = snapshot();
    if (!values) return fail(values.error());
    std::vector<Scalar> ordered;
    if (!f_order) {
      ordered = std::move(*values);
    } else {
      // Storage position i holds the element at F-order coordinates i.
      ordered.reserve(values->size());
      Coordinates coords(shape.size(), 0);
      for (std::uint64_t i = 0; i < *count; ++i) {
        std::uint64_t c_position = 0;
        for (std::size_t k = 0; k < shape.size(); ++k) c_position = c_position * shape[k] + coords[k];
        ordered.push_back(std::move((*values)[c_position]));
        view_detail::next_f_order(coords, shape);
      }
    }
    auto buffer = Buffer::from_values(dtype, byte_order, ordered);
    if (!buffer) return fail(buffer.error());
    auto strides_out = out_strides();
    if (!strides_out) return fail(strides_out.error());
    auto handle = share_buffer(std::move(*buffer));
    if (!handle) return fail(handle.error());
    View out{new_shape, std::move(*strides_out), std::move(*handle), 0, *count, byte_order, dtype};
    if (auto ok = out.validate_layout(); !ok) return fail(ok.error());
    return out;
  });
}

Result<AxisOrder> keep_order_axes(const Shape& shape, std::span<const OperandLayout> operands) {
  return allocation_guard([&]() -> Result<AxisOrder> {
    const std::size_t n = shape.size();
    for (const auto& [op_shape, op_strides] : operands)
      if (op_strides.size() != op_shape.size() || op_shape.size() > n) return fail(ErrorKind::InvalidAdvancedIndex);
    AxisOrder order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = n - 1 - i;
    if (n <= 1 || operands.empty()) return order;

    // The operand's stride along result axis `axis`; 0 where it broadcasts.
    auto stride_of = [&](const OperandLayout& op, std::size_t axis) -> Result<std::int64_t> {
      const std::size_t lead = n - op.first.size();
      if (axis < lead) return 0;
      const std::uint64_t dim = op.first[axis - lead];
      if (dim == shape[axis]) return op.second[axis - lead];
      if (dim == 1) return 0;
      return fail(ErrorKind::InvalidAdvancedIndex);
    };

    for (std::size_t i = 1; i < n; ++i) {
      const std::size_t cur = order[i];
      std::size_t insert_at = i;
      for (std::size_t k = i; k-- > 0;) {
        const std::size_t prev = order[k];
        bool any_decides = false, stay = false;
        for (const OperandLayout& op : operands) {
          auto s_prev = stride_of(op, prev);
          if (!s_prev) return fail(s_prev.error());
          auto s_cur = stride_of(op, cur);
          if (!s_cur) return fail(s_cur.error());
          if (*s_prev == 0 || *s_cur == 0) continue;
          any_decides = true;
          if (magnitude(*s_prev) <= magnitude(*s_cur)) stay = true;
        }
        if (!any_decides) continue;
        if (stay) break;
        insert_at = k;
      }
      order.erase(order.begin() + static_cast<std::ptrdiff_t>(i));
      order.insert(order.begin() + static_cast<std::ptrdiff_t>(insert_at), cur);
    }
    return order;
  });
}

}  // namespace quarvel_storage
