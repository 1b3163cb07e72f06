// Module start-up helpers shared by every part of the Python layer.
//
// Everything the module exposes is added through add(), which appends the
// name to __all__ first, so __all__ lists the names in order of addition.
#pragma once

#include <Python.h>

#include "python/py_ref.h"

namespace quarvel_python {

// Appends `name` to the module's __all__ (made as a list on first use; a
// __all__ that is not a list is a TypeError), then sets the attribute.
// `value` is borrowed. 0 on success, -1 with the error set.
int add(PyObject* module, const char* name, PyObject* value);

// Adds a built-in function bound to the module under def->ml_name.
// `def` must outlive the process (a static table row).
int add_function(PyObject* module, PyMethodDef* def);

// Adds a class under its Python name (the last component of its spec name).
int add_class(PyObject* module, PyTypeObject* type);

// A plain Python class made by the built-in `type` with the given bases and
// __module__ "quarvel" (the module's exception and warning classes). Null
// with the error set on failure.
PyRef new_python_class(const char* name, PyObject* bases);

}  // namespace quarvel_python
