// a[key] = value. Every check and conversion runs before the first write.
#include <variant>

#include "python/array_object.h"
#include "python/convert.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/index_parse.h"
#include "storage/checked.h"

namespace quarvel_python {

using quarvel_storage::DType;
using quarvel_storage::Scalar;
using quarvel_storage::Shape;
using quarvel_storage::View;

namespace {

// A leaf of an assignment sequence: a Python object not yet converted, or a
// value already cast to the target (taken from an array inside the sequence).
using SequenceAtom = std::variant<PyRef, Scalar>;

struct AssignmentSequence {
  Shape shape;
  std::vector<SequenceAtom> atoms;
};

bool flatten_assignment_into(PyObject* object, DType target, int depth, Shape& shape,
                             std::vector<SequenceAtom>& atoms) {
  if (depth > max_nesting_depth) return raise_false(PyExc_ValueError, nesting_too_deep);
  if (is_array(object)) {
    const View& view = as_array(object)->view;
    auto values = array_elements(view, target);
    if (!values) return false;
    shape = view.shape;
    for (Scalar& value : *values) atoms.emplace_back(std::move(value));
    return true;
  }
  if (!is_nested_sequence(object)) {
    shape.clear();
    atoms.emplace_back(PyRef::borrow(object));
    return true;
  }
  return walk_nested(object, depth, shape, PyExc_ValueError, ragged_input,
                     [&](PyObject* item, int item_depth, Shape& item_shape) {
                       return flatten_assignment_into(item, target, item_depth, item_shape, atoms);
                     });
}

std::optional<Scalar> convert_assignment_atom(const SequenceAtom& atom, DType target) {
  if (const Scalar* value = std::get_if<Scalar>(&atom)) return storage_value(value->cast(target));
  return value_to_scalar(std::get<PyRef>(atom).get(), target);
}

// The row-major source position that target position p reads. Walks the axes
// from the last, so no coordinate list is built per element.
std::optional<std::uint64_t> broadcast_source_index(const Shape& source, const Shape& target, std::uint64_t p) {
  const std::size_t lead = target.size() - source.size();
  std::uint64_t position = 0;
  std::uint64_t weight = 1;  // row-major weight of the source axis under the cursor
  for (std::size_t k = target.size(); k-- > 0;) {
    if (target[k] == 0) return raise_error(PyExc_ValueError, "invalid empty assignment coordinate");
    const std::uint64_t coordinate = p % target[k];
    p /= target[k];
    if (k < lead) continue;
    const std::uint64_t length = source[k - lead];
    std::uint64_t term = 0;
    if ((length != 1 && (__builtin_mul_overflow(coordinate, weight, &term) ||
                         __builtin_add_overflow(position, term, &position))) ||
        __builtin_mul_overflow(weight, length, &weight))
      return raise_error(PyExc_ValueError, "assignment shape exceeds supported limits");
  }
  return position;
}

bool assign_sequence_to_single(const View& selection, PyObject* value, DType target) {
  switch (target.kind()) {
    case 'b': {
      const int truth = PyObject_IsTrue(value);
      if (truth < 0) return false;
      return storage_ok(selection.assign_scalar(Scalar(truth != 0), loop_path()));
    }
    case 'f': return raise_false(PyExc_ValueError, "setting an array element with a sequence");
    default: return raise_false(PyExc_TypeError, "cannot convert a sequence to a scalar array element");
  }
}

// Plain nested numbers into a basic selection, through a typed temporary:
// every value converted in C order (a value that cannot convert is the better
// report than the shapes), none when the selection is empty and the shapes
// differ, then the temporary broadcast into the selection.
bool assign_plain_sequence(const View& selection, PyObject* value, const NestedInput& input, DType target) {
  const bool fits = quarvel_storage::broadcasts_to(input.shape, selection.shape);
  if (!fits && input.shape.size() > selection.ndim())
    return raise_storage(quarvel_storage::StorageError::broadcast_mismatch(input.shape, selection.shape));
  auto count = storage_value(selection.size());
  if (!count) return false;
  if (fits && *count == 0 && input.shape != selection.shape)
    return storage_ok(selection.assign_prefix({}, quarvel_storage::LoopPath::Typed));
  auto source = fill_from_nested(value, input, target, selection.byte_order, false, true);
  if (!source) return false;
  if (!fits) return raise_storage(quarvel_storage::StorageError::broadcast_mismatch(input.shape, selection.shape));
  return storage_ok(selection.assign_view(*source, quarvel_storage::LoopPath::Typed));
}

bool assign_basic_sequence(const View& selection, bool scalar_key, PyObject* value, DType target) {
  if (selection.ndim() == 0) {
    if (scalar_key) return assign_sequence_to_single(selection, value, target);
    return raise_false(PyExc_ValueError,
                       "setting an array element with a sequence. The requested array would exceed the maximum "
                       "number of dimension of 0.");
  }
  auto input = scan_nested_input(value);
  if (!input) return false;
  if (loop_path() == quarvel_storage::LoopPath::Typed && input->plain)
    return assign_plain_sequence(selection, value, *input, target);
  AssignmentSequence sequence;
  if (!flatten_assignment_into(value, target, 0, sequence.shape, sequence.atoms)) return false;
  auto source_count = quarvel_storage::element_count(sequence.shape);
  if (!source_count) return raise_false(PyExc_ValueError, "array shape exceeds supported limits");
  if (*source_count != sequence.atoms.size())
    return raise_false(PyExc_ValueError, "input sequence has an invalid shape");
  if (!quarvel_storage::broadcasts_to(sequence.shape, selection.shape)) {
    // A value that cannot convert is the better report than the shapes.
    if (sequence.shape.size() <= selection.ndim()) {
      for (const SequenceAtom& atom : sequence.atoms)
        if (!convert_assignment_atom(atom, target)) return false;
    }
    return raise_storage(quarvel_storage::StorageError::broadcast_mismatch(sequence.shape, selection.shape));
  }
  auto count = storage_value(selection.size());
  if (!count) return false;
  std::vector<Scalar> values;
  std::vector<std::optional<Scalar>> converted;
  if (!quarvel_storage::checked::reserve(values, *count) ||
      !quarvel_storage::checked::reserve(converted, sequence.atoms.size()))
    return raise_false(PyExc_MemoryError, "array assignment allocation failed");
  if (sequence.shape == selection.shape || sequence.atoms.empty()) {
    for (const SequenceAtom& atom : sequence.atoms) {
      auto scalar = convert_assignment_atom(atom, target);
      if (!scalar) return false;
      values.push_back(std::move(*scalar));
    }
  } else {
    converted.resize(sequence.atoms.size());
    for (std::uint64_t p = 0; p < *count; ++p) {
      auto source = broadcast_source_index(sequence.shape, selection.shape, p);
      if (!source) return false;
      std::optional<Scalar>& slot = converted[*source];
      if (!slot) {
        slot = convert_assignment_atom(sequence.atoms[*source], target);
        if (!slot) return false;
      }
      values.push_back(*slot);
    }
  }
  return storage_ok(selection.assign_prefix(values, loop_path()));
}

// An advanced key with a nested sequence: the sequence becomes a temporary array.
std::optional<View> sequence_source(PyObject* value, DType target) {
  auto input = scan_nested_input(value);
  if (!input) return std::nullopt;
  if (loop_path() == quarvel_storage::LoopPath::Typed && input->plain)
    return fill_from_nested(value, *input, target, quarvel_storage::ByteOrder::Native, false, true);
  auto flat = flatten(value, target, 0);
  if (!flat || !cast_values(flat->values, target)) return std::nullopt;
  return storage_value(View::from_values(target, std::move(flat->shape), flat->values));
}

}  // namespace

int Array_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  if (!value) {
    PyErr_SetString(PyExc_NotImplementedError, "can't delete item");
    return -1;
  }
  const View& view = as_array(self)->view;
  auto parsed = parse_indices(view, key);
  if (!parsed) return -1;
  const DType target = view.dtype;
  bool done = false;
  if (parsed->is_basic()) {
    auto selection = storage_value(view.index(parsed->items, loop_path()));
    if (!selection) return -1;
    if (is_array(value)) {
      const View& source = as_array(value)->view;
      done = warn_before_view_cast(source, target) && storage_ok(selection->assign_view(source, loop_path()));
    } else if (is_nested_sequence(value)) {
      done = assign_basic_sequence(*selection, parsed->scalar, value, target);
    } else {
      auto scalar = value_to_scalar(value, target);
      done = scalar && storage_ok(selection->assign_scalar(*scalar, loop_path()));
    }
  } else if (is_array(value)) {
    const View& source = as_array(value)->view;
    done = warn_before_view_cast(source, target) && storage_ok(view.assign_fancy_view(parsed->items, source, loop_path()));
  } else if (is_nested_sequence(value)) {
    auto source = sequence_source(value, target);
    done = source && storage_ok(view.assign_fancy_view(parsed->items, *source, loop_path()));
  } else {
    auto scalar = value_to_scalar(value, target);
    done = scalar && storage_ok(view.assign_fancy_scalar(parsed->items, *scalar, loop_path()));
  }
  return done ? 0 : -1;
}

}  // namespace quarvel_python
