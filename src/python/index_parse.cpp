// Subscript keys: parsing into IndexItems and subscript reads.
#include "python/index_parse.h"

#include <algorithm>
#include <array>
#include <climits>
#include <span>
#include <vector>

#include "python/array_object.h"
#include "python/convert.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/scalar_object.h"
#include "storage/visit.h"

namespace quarvel_python {

using quarvel_storage::DType;
using quarvel_storage::IndexItem;
using quarvel_storage::Scalar;
using quarvel_storage::Shape;
using quarvel_storage::View;

namespace {

constexpr int max_index_nesting = 64;

// A nested index list: its shape and values in row-major order.
struct IndexList {
  Shape shape;
  std::vector<Scalar> values;
};

bool flatten_index_into(PyObject* object, int depth, Shape& shape, std::vector<Scalar>& values) {
  if (depth > max_index_nesting) return raise_false(PyExc_IndexError, "index arrays may be nested at most 64 levels");
  if (!is_nested_sequence(object)) {
    auto value = value_to_untyped_scalar(object);
    if (!value) return false;
    values.push_back(std::move(*value));
    shape.clear();
    return true;
  }
  return walk_nested(object, depth, shape, PyExc_IndexError, "index arrays must be rectangular",
                     [&](PyObject* item, int item_depth, Shape& item_shape) {
                       return flatten_index_into(item, item_depth, item_shape, values);
                     });
}

std::optional<IndexList> flatten_index_array(PyObject* object) {
  IndexList list;
  // A flat list fills its values without growing them step by step.
  if (PyList_CheckExact(object)) list.values.reserve(static_cast<std::size_t>(PyList_Size(object)));
  else if (PyTuple_CheckExact(object)) list.values.reserve(static_cast<std::size_t>(PyTuple_Size(object)));
  if (!flatten_index_into(object, 0, list.shape, list.values)) return std::nullopt;
  return list;
}

bool all_bool(const std::vector<Scalar>& values) {
  for (const Scalar& value : values)
    if (value.dtype() != DType::Bool) return false;
  return true;
}

// The combined dtype of an index list; an empty list is a boolean mask.
DType index_list_dtype(const std::vector<Scalar>& values) {
  if (values.empty()) return DType::Bool;
  DType combined = values.front().dtype();
  for (const Scalar& value : values) combined = DType::promote(combined, value.dtype());
  return combined;
}

std::optional<IndexItem> make_mask(const View& view, std::size_t& cursor, Shape shape,
                                   std::vector<std::uint64_t> positions) {
  const std::size_t k = shape.size();
  bool matches = cursor + k <= view.ndim();
  for (std::size_t i = 0; matches && i < k; ++i) matches = shape[i] == view.shape[cursor + i];
  if (!matches) return raise_error(PyExc_IndexError, "boolean index shape did not match the indexed array dimensions");
  cursor += k;
  return IndexItem(IndexItem::BoolMask{std::move(shape), std::move(positions)});
}

// The C-order positions of the true values.
std::vector<std::uint64_t> true_positions(const std::vector<Scalar>& values) {
  std::vector<std::uint64_t> positions;
  for (std::size_t p = 0; p < values.size(); ++p)
    if (values[p].truthy()) positions.push_back(p);
  return positions;
}

// An index value as a signed size: unsigned values beyond the signed range
// clamp (they are out of bounds either way).
template <class T>
std::int64_t index_value(T value) {
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(value);
  } else {
    return static_cast<std::int64_t>(value);
  }
}

// The index values of a list, each cast to the list's combined dtype first.
std::optional<std::vector<std::int64_t>> list_index_values(const std::vector<Scalar>& values, DType cast_to) {
  std::vector<std::int64_t> out;
  out.reserve(values.size());
  for (const Scalar& value : values) {
    auto cast = value.cast(cast_to);
    if (!cast) return raise_error(PyExc_IndexError, "index arrays must contain integers");
    auto index = scalar_to_isize(*cast);
    if (!index) return std::nullopt;
    out.push_back(*index);
  }
  return out;
}

std::optional<IndexItem> make_int_array(Shape shape, std::vector<std::int64_t> values) {
  IndexItem::IntArray array;
  array.values = std::move(values);
  array.strides.assign(shape.size(), 0);
  std::int64_t stride = 8;
  for (std::size_t k = shape.size(); k-- > 0;) {
    if (shape[k] > static_cast<std::uint64_t>(INT64_MAX))
      return raise_error(PyExc_OverflowError, "index array shape is too large");
    array.strides[k] = stride;
    const std::int64_t length = shape[k] == 0 ? 1 : static_cast<std::int64_t>(shape[k]);
    if (k > 0 && __builtin_mul_overflow(stride, length, &stride))
      return raise_error(PyExc_OverflowError, "index array stride is too large");
  }
  array.shape = std::move(shape);
  return IndexItem(std::move(array));
}

bool raise_too_many(std::size_t ndim, std::size_t count) {
  return raise_storage(quarvel_storage::StorageError::too_many_indices(ndim, count));
}

// A nested index list, read once: either its flattened form or the error that
// reading it raised, held back until the walk reaches the item.
struct ReadList {
  std::optional<IndexList> list;
  // A flat list of plain ints in the int64 range, read without the general
  // element representation: the index array its general reading would give.
  std::optional<IndexItem> ints;
  PyRef error_type, error_value, error_traceback;

  void restore_error() {
    PyErr_Restore(error_type.release(), error_value.release(), error_traceback.release());
  }
};

// A non-empty flat list of exact ints, each in the int64 range, made into an
// index array in `into`, its values written as they are read; false (and
// `into` empty) for anything else (bools, subclasses, big ints, nested
// items), which the general reading serves. Reading exact ints runs no user
// code.
bool plain_int_list(PyObject* item, std::optional<IndexItem>& into) {
  if (!PyList_CheckExact(item)) return false;
  const Py_ssize_t size = PyList_Size(item);
  if (size < 1) return false;
  auto& array = std::get<IndexItem::IntArray>(into.emplace(IndexItem::IntArray{}).kind);
  array.values.resize(static_cast<std::size_t>(size));
  std::int64_t low = INT64_MAX, high = INT64_MIN;
  Py_ssize_t i = 0;
  for (; i < size; ++i) {
    PyObject* value = PyList_GetItem(item, i);
    if (!PyLong_CheckExact(value)) break;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) break;
    array.values[static_cast<std::size_t>(i)] = number;
    low = std::min<std::int64_t>(low, number);
    high = std::max<std::int64_t>(high, number);
  }
  if (i < size) {
    into.reset();
    return false;
  }
  array.shape.assign(1, static_cast<std::uint64_t>(size));
  array.strides.assign(1, 8);
  array.range = std::array<std::int64_t, 2>{low, high};
  return true;
}

// Axes an item consumes, before anything is converted. Lists are read here,
// once, so the walk consumes exactly the axes counted even when the items'
// item() answers differently on a second call; a list that fails to read
// counts one axis and reports its error in the walk.
std::optional<std::size_t> consumed_axes(PyObject* item, ReadList& read) {
  if (item == Py_Ellipsis || item == Py_None || bool_scalar_value(item)) return 0;
  if (is_array(item)) {
    const View& view = as_array(item)->view;
    return view.dtype == DType::Bool ? view.ndim() : 1;
  }
  if (!is_nested_sequence(item)) return 1;
  if (plain_int_list(item, read.ints)) return 1;
  read.list = flatten_index_array(item);
  if (!read.list) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    read.error_type = PyRef::steal(type);
    read.error_value = PyRef::steal(value);
    read.error_traceback = PyRef::steal(traceback);
    return 1;
  }
  // The walk takes an empty list as a boolean mask over all its dimensions
  // ([[]] spans two axes), so it is counted that way too.
  if (all_bool(read.list->values)) return read.list->shape.size();
  return 1;
}

}  // namespace

bool ParsedIndex::is_basic() const {
  for (const IndexItem& item : items)
    if (item.is_advanced()) return false;
  return true;
}

std::optional<std::int64_t> scalar_to_isize(const Scalar& scalar) {
  return std::visit(
      [](const auto& value) -> std::optional<std::int64_t> {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
          return index_value(value);
        } else {
          return raise_error(PyExc_IndexError, "index arrays must contain integers");
        }
      },
      scalar.storage());
}

std::optional<ParsedIndex> parse_indices(const View& view, PyObject* key) {
  const std::size_t n = view.ndim();
  const bool tuple_key = PyTuple_Check(key);
  // A key of one item (the common case) lists nothing on the heap.
  std::vector<PyRef> stored;
  PyRef single = tuple_key ? PyRef() : PyRef::borrow(key);
  if (tuple_key) stored = stored_items(key);
  const std::span<const PyRef> items = tuple_key ? std::span<const PyRef>(stored) : std::span<const PyRef>(&single, 1);

  std::size_t ellipses = 0;
  for (const PyRef& item : items) ellipses += item.get() == Py_Ellipsis;
  if (ellipses > 1) return raise_error(PyExc_IndexError, "an index can only have a single ellipsis");

  ReadList single_list;
  std::vector<ReadList> several_lists(tuple_key ? items.size() : 0);
  ReadList* const lists = tuple_key ? several_lists.data() : &single_list;
  std::size_t count = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto consumed = consumed_axes(items[i].get(), lists[i]);
    if (!consumed) return std::nullopt;
    count += *consumed;
  }
  if (count > n) {
    raise_too_many(n, count);
    return std::nullopt;
  }

  ParsedIndex parsed;
  std::size_t cursor = 0;
  bool only_integers = true;
  auto cursor_free = [&]() {
    if (cursor < n) return true;
    return raise_too_many(n, count);
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = items[i].get();
    if (item == Py_Ellipsis) {
      for (std::size_t k = 0; k < n - count; ++k) {
        if (!cursor_free()) return std::nullopt;
        const std::uint64_t length = view.shape[cursor++];
        parsed.items.push_back(IndexItem::Slice{0, 1, length});
        only_integers = false;
      }
      continue;
    }
    if (item == Py_None) {
      parsed.items.push_back(IndexItem::NewAxis{});
      only_integers = false;
      continue;
    }
    if (PySlice_Check(item)) {
      if (!cursor_free()) return std::nullopt;
      const std::uint64_t length = view.shape[cursor];
      if (length > static_cast<std::uint64_t>(INT64_MAX))
        return raise_error(PyExc_OverflowError, "axis is too large to slice");
      Py_ssize_t start = 0, stop = 0, step = 0;
      if (PySlice_Unpack(item, &start, &stop, &step) < 0) return std::nullopt;
      const Py_ssize_t selected = PySlice_AdjustIndices(static_cast<Py_ssize_t>(length), &start, &stop, step);
      parsed.items.push_back(IndexItem::Slice{start, step, static_cast<std::uint64_t>(selected)});
      only_integers = false;
      ++cursor;
      continue;
    }
    if (auto truth = bool_scalar_value(item)) {
      parsed.items.push_back(IndexItem::BoolValue{*truth});
      only_integers = false;
      continue;
    }
    if (is_array(item)) {
      const View& index_view = as_array(item)->view;
      const DType dtype = index_view.dtype;
      if (dtype != DType::Bool && !cursor_free()) return std::nullopt;
      if (dtype != DType::Bool && !dtype.is_integer())
        return raise_error(PyExc_IndexError, "index arrays must have an integer or boolean dtype");
      // Read once, under the index array's lock.
      std::optional<IndexItem> made;
      if (dtype == DType::Bool) {
        auto positions = storage_value(quarvel_storage::read_mask_positions(index_view, loop_path()));
        if (!positions) return std::nullopt;
        made = make_mask(view, cursor, index_view.shape, std::move(*positions));
      } else {
        std::optional<std::array<std::int64_t, 2>> range;
        auto values = storage_value(quarvel_storage::read_index_values(index_view, loop_path(), &range));
        if (!values) return std::nullopt;
        made = make_int_array(index_view.shape, std::move(*values));
        if (made) std::get<IndexItem::IntArray>(made->kind).range = range;
      }
      if (!made) return std::nullopt;
      if (dtype != DType::Bool) ++cursor;
      parsed.items.push_back(std::move(*made));
      only_integers = false;
      continue;
    }
    if (is_nested_sequence(item)) {
      if (!cursor_free()) return std::nullopt;
      if (lists[i].ints) {
        parsed.items.push_back(std::move(*lists[i].ints));
        ++cursor;
        only_integers = false;
        continue;
      }
      if (!lists[i].list) {
        lists[i].restore_error();
        return std::nullopt;
      }
      IndexList& list = *lists[i].list;
      const DType combined = index_list_dtype(list.values);
      std::optional<IndexItem> made;
      switch (combined.kind()) {
        case 'b': made = make_mask(view, cursor, std::move(list.shape), true_positions(list.values)); break;
        case 'i':
        case 'u': {
          auto values = list_index_values(list.values, combined);
          if (!values) return std::nullopt;
          made = make_int_array(std::move(list.shape), std::move(*values));
          ++cursor;
          break;
        }
        default: return raise_error(PyExc_IndexError, "index arrays must contain only integers or booleans");
      }
      if (!made) return std::nullopt;
      parsed.items.push_back(std::move(*made));
      only_integers = false;
      continue;
    }
    PyRef number = PyRef::steal(PyNumber_Index(item));
    long long index = number ? PyLong_AsLongLong(number.get()) : -1;
    if (index == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return std::nullopt;
      return raise_error(PyExc_IndexError, "indices must be integers, slices, ellipsis, None, or integer arrays");
    }
    if (!cursor_free()) return std::nullopt;
    parsed.items.push_back(IndexItem::Integer{index});
    ++cursor;
  }
  if (n == 0) {
    parsed.scalar = tuple_key && items.empty();
  } else {
    parsed.scalar = only_integers && parsed.items.size() == n;
  }
  return parsed;
}

std::optional<std::vector<std::int64_t>> parse_axes(PyObject* object) {
  auto items = sequence_items(object);
  if (!items) return std::nullopt;
  std::vector<std::int64_t> axes;
  for (const PyRef& item : *items) {
    if (PyBool_Check(item.get()))
      return raise_error(PyExc_TypeError, "axes must contain integers, not booleans");
    const long long axis = PyLong_AsLongLong(item.get());
    if (axis == -1 && PyErr_Occurred()) return std::nullopt;
    axes.push_back(axis);
  }
  return axes;
}

PyObject* Array_subscript(PyObject* self, PyObject* key) {
  PyArray* array = as_array(self);
  auto parsed = parse_indices(array->view, key);
  if (!parsed) return nullptr;
  auto selection = storage_value(array->view.index(parsed->items, loop_path()));
  if (!selection) return nullptr;
  bool zero_d_index_array = false;
  for (const IndexItem& item : parsed->items) {
    if (auto* ints = std::get_if<IndexItem::IntArray>(&item.kind)) zero_d_index_array |= ints->shape.empty();
  }
  if (selection->ndim() == 0 && (parsed->scalar || zero_d_index_array)) {
    auto value = storage_value(selection->read_at({}));
    if (!value) return nullptr;
    return scalar_to_python(*value, array->alias).release();
  }
  return new_array_object(std::move(*selection), array->alias);
}

}  // namespace quarvel_python
