// The bridges from the Array operators to the call engine: `a + b` runs as the
// ufunc call add(a, b), `a += b` as add(a, b, out=a). Each bridge calls the
// engine with a second Array over the operand's view and alias.
#pragma once

#include <Python.h>

#include <string_view>

namespace quarvel_python::ufunc {

// (array, other), or (other, array) when reflected; in place, out=array.
PyObject* operator_call(PyObject* array, PyObject* other, std::string_view name, bool reflected, bool in_place);
PyObject* unary_operator_call(PyObject* array, std::string_view name);
// divmod(array, other), or divmod(other, array) when reflected: a 2-tuple.
PyObject* divmod_operator_call(PyObject* array, PyObject* other, bool reflected);

}  // namespace quarvel_python::ufunc
