// quarvel.Array and quarvel.ArrayFlags.
//
//   class Array:            # no constructor, not subclassable, not iterable
//       shape, strides, ndim, size, itemsize, nbytes, dtype, T, flags,
//       writeable, c_contiguous, f_contiguous
//       len(a), repr(a), a[key], a[key] = value
//       reshape(shape, order="C", copy=None), transpose(*axes),
//       astype(dtype, order="K"), copy()
//   class ArrayFlags:       # immutable snapshot
//       c_contiguous, f_contiguous, writeable, flags["C"], repr(flags)
//
// An Array owns one View and an optional scalar alias, both fixed at creation;
// writes reach only the shared buffer. Every array handed to Python is made by
// new_array_object.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "python/dtype_object.h"
#include "storage/view.h"

namespace quarvel_python {

struct PyArray {
  PyObject_HEAD
  quarvel_storage::View view;
  std::optional<ScalarAlias> alias;
};

// The class objects, made on first use and kept (null with an error set when
// they cannot be made). Borrowed references.
PyTypeObject* array_type();
PyTypeObject* array_flags_type();

// A new Array (new reference) over `view`; null with MemoryError set on failure,
// or ValueError "array shape or byte strides exceed supported limits" for a
// view of more than 64 dimensions.
PyObject* new_array_object(quarvel_storage::View view, std::optional<ScalarAlias> alias);

// Exact type test (the class cannot be subclassed).
bool is_array(PyObject* object);
inline PyArray* as_array(PyObject* object) { return reinterpret_cast<PyArray*>(object); }

// Module start-up: the two classes, then the three constructors.
int add_array_classes(PyObject* module);
int add_array_functions(PyObject* module);

// Slots and methods defined in other files of the Array.
PyObject* Array_subscript(PyObject* self, PyObject* key);              // index_parse.cpp
int Array_ass_subscript(PyObject* self, PyObject* key, PyObject* value);  // subscript_assign.cpp
extern PyMethodDef array_methods[];                                    // array_methods.cpp
std::span<const PyType_Slot> array_operator_slots();                    // array_operators.cpp

}  // namespace quarvel_python
