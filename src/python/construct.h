// array, empty and zeros, and the pieces of them other entry points share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/dtype_object.h"
#include "python/py_ref.h"
#include "storage/view.h"

namespace quarvel_python {

enum class CopyRequest : std::uint8_t { Never, Always, IfNeeded };

// A new view and the alias the Array made from it carries.
struct Constructed {
  quarvel_storage::View view;
  std::optional<ScalarAlias> alias;
};

// The body of `array` (also the conversion of list and tuple ufunc operands).
// `dtype` may be null (no dtype). Nullopt with the error set.
std::optional<Constructed> array_from_object(PyObject* data, PyObject* dtype, CopyRequest copy, std::string_view order);

// A shape argument as dimension objects: the items of a tuple or list, a bool
// as itself, anything else through operator.index.
std::optional<std::vector<PyRef>> shape_dimensions(PyObject* shape);
// A shape argument that is not a tuple, list or bool, as its one dimension
// object (operator.index). Null with the error set.
PyRef single_dimension(PyObject* shape);

// One shape dimension: TypeError for a bool, else the interpreter's integer
// conversion (its errors pass through). The sign is the caller's to judge.
std::optional<std::int64_t> dimension_value(PyObject* object);

// The `order` argument as text (`absent` when missing); TypeError unless a str.
std::optional<std::string> order_argument(PyObject* value, const char* absent);

// The axis order (innermost first) for an order letter among C, F, A, K.
std::optional<quarvel_storage::AxisOrder> parse_array_axis_order(std::string_view order,
                                                                 const quarvel_storage::View& view);

// The `copy` argument: True, False or None.
std::optional<CopyRequest> copy_argument(PyObject* value, CopyRequest absent);

}  // namespace quarvel_python
