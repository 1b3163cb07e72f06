// The 18 scalar classes: one element handed to Python.
//
//   class BoolScalar, Int8Scalar ... UInt64Scalar, LongLongScalar,
//         ULongLongScalar, Float16Scalar, Float32Scalar, Float64Scalar,
//         Complex64Scalar, Complex128Scalar, LongDoubleScalar,
//         ComplexLongDoubleScalar
//       item(), dtype, repr(); bool(), int(), float(), operator.index(),
//       complex() and comparisons as each kind allows
//
// No constructor: objects are made only by scalar_to_python. Immutable,
// unhashable where comparable, not subclassable.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <utility>

#include "python/dtype_object.h"
#include "python/py_ref.h"
#include "storage/scalar.h"

namespace quarvel_python {

// A new scalar object for `value`. The hint picks LongLongScalar for an Int64
// value and ULongLongScalar for a UInt64 one; a hint that does not fit the
// value's dtype is ignored. Null with an error set on failure.
PyRef scalar_to_python(const quarvel_storage::Scalar& value, std::optional<ScalarAlias> hint = std::nullopt);

// Whether the object is one of the 18 classes, and the value it holds.
bool is_scalar_object(PyObject* object);
std::optional<quarvel_storage::Scalar> scalar_object_value(PyObject* object);

// The text of a LongDoubleScalar, the two texts of a ComplexLongDoubleScalar;
// nullopt (no error) for any other object.
std::optional<std::string> long_double_scalar_text(PyObject* object);
std::optional<std::pair<std::string, std::string>> complex_long_double_scalar_texts(PyObject* object);

// The truth of an exact built-in bool or a BoolScalar; nullopt (no error) for
// anything else, int subclasses and other scalars included.
std::optional<bool> bool_scalar_value(PyObject* object);

// Module start-up: the 18 classes in their fixed order.
int add_scalar_classes(PyObject* module);

}  // namespace quarvel_python
