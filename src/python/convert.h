// Python values to stored element values: nested lists and tuples of numbers,
// scalar objects and arrays become a shape and a row-major list of Scalars.
//
// Only list and tuple objects (and their subclasses) nest; every other object
// is one value. Nesting is followed to a depth of 64 list or tuple levels.
// Every function here returns nullopt / false with a Python error set.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "python/dtype_object.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "storage/scalar.h"
#include "storage/view.h"

namespace quarvel_python {

inline constexpr int max_nesting_depth = 64;
inline constexpr const char* nesting_too_deep = "array nesting is too deep";
inline constexpr const char* ragged_input = "input sequence is ragged";

struct Flattened {
  quarvel_storage::Shape shape;
  std::vector<quarvel_storage::Scalar> values;  // row-major
  std::optional<ScalarAlias> alias_hint;
};

bool is_nested_sequence(PyObject* object);
// The items of a list or tuple, by iteration (strong references).
std::optional<std::vector<PyRef>> sequence_items(PyObject* object);
// The items a list or tuple (or a subclass of either) holds in its own
// storage, without running any Python code (strong references).
std::vector<PyRef> stored_items(PyObject* object);

// Walks the items of a list or tuple: `visit(item, depth + 1, item_shape)`
// flattens one item; every item's shape must equal the first's, else
// `ragged_type` with `ragged_text`. `shape` becomes the item count followed by
// the items' shape.
template <class Visit>
bool walk_nested(PyObject* sequence, int depth, quarvel_storage::Shape& shape, PyObject* ragged_type,
                 const char* ragged_text, Visit&& visit) {
  auto items = sequence_items(sequence);
  if (!items) return false;
  quarvel_storage::Shape first;
  for (std::size_t i = 0; i < items->size(); ++i) {
    quarvel_storage::Shape item_shape;
    if (!visit((*items)[i].get(), depth + 1, item_shape)) return false;
    if (i == 0) {
      first = std::move(item_shape);
    } else if (item_shape != first) {
      PyErr_SetString(ragged_type, ragged_text);
      return false;
    }
  }
  shape.assign(1, items->size());
  shape.insert(shape.end(), first.begin(), first.end());
  return true;
}

// The shape the input would have; converts nothing. Too deep or ragged input
// is reported here, before any element is converted.
std::optional<quarvel_storage::Shape> validate_rectangular_input(PyObject* object, int depth);

// Nested input validated as validate_rectangular_input does, and sorted for
// the typed fill: `plain` when every sequence is an exact list or tuple and
// every leaf a Python bool, int (within 64 bits), float or complex, or a scalar
// object (`scalar_objects`); `inferred` is the promotion of the plain numbers'
// dtypes in order (absent for none).
struct NestedInput {
  quarvel_storage::Shape shape;
  bool plain = true;
  bool scalar_objects = false;
  std::optional<quarvel_storage::DType> inferred;
};
std::optional<NestedInput> scan_nested_input(PyObject* object);

// Plain nested input written straight into a new array of fixed-width
// `dtype`: with `checked`, each value as value_to_scalar converts it (checks
// and warnings, in C order); without, by the cast rules alone (the values'
// own dtypes cast to the one they infer to). The result's layout is
// View::zeros_with_layout's.
std::optional<quarvel_storage::View> fill_from_nested(PyObject* object, const NestedInput& input,
                                                      quarvel_storage::DType dtype,
                                                      quarvel_storage::ByteOrder byte_order, bool f_order,
                                                      bool checked);

// With a target every value is converted to it; without, each keeps its own dtype.
std::optional<Flattened> flatten(PyObject* object, std::optional<quarvel_storage::DType> target, int depth);

// A Python value as a Scalar of its own dtype.
std::optional<quarvel_storage::Scalar> value_to_untyped_scalar(PyObject* object);
// A Python value as a Scalar of `target`, with the range checks on Python numbers.
std::optional<quarvel_storage::Scalar> value_to_scalar(PyObject* object, quarvel_storage::DType target);

// The warnings due before a whole view is cast to `target`.
bool warn_view_cast_overflow(const quarvel_storage::View& view, quarvel_storage::DType target);
// Everything due before casting an array source to `target`: the complex
// discard warning, then the overflow check. Nothing when the dtypes agree.
bool warn_before_view_cast(const quarvel_storage::View& view, quarvel_storage::DType target);

// A new view of `view` cast to `target` under `byte_order` in `axis_order`,
// with the warnings warn_before_view_cast gives. A float or complex source
// cast to an integer dtype is converted first and warned about after, in one
// pass: a warning raised as an error drops the fresh result, so no caller sees
// it written early. Nothing when a warning or the cast fails.
std::optional<quarvel_storage::View> cast_view_with_warnings(const quarvel_storage::View& view,
                                                             quarvel_storage::DType target,
                                                             quarvel_storage::ByteOrder byte_order,
                                                             const quarvel_storage::AxisOrder& axis_order);

// An array's elements in row-major order; with a target other than its dtype,
// cast to it after the warnings due before the cast.
std::optional<std::vector<quarvel_storage::Scalar>> array_elements(const quarvel_storage::View& view,
                                                                   std::optional<quarvel_storage::DType> target);

// Each value through Scalar::cast, in order; the first failure is raised.
bool cast_values(std::vector<quarvel_storage::Scalar>& values, quarvel_storage::DType target);

// "[2, 3]": shapes in messages.
using quarvel_storage::shape_text;

}  // namespace quarvel_python
