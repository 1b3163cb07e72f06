// The bridges from the Array operators to the call engine: `a + b` runs as the
// ufunc call add(a, b), `a += b` as add(a, b, out=a). `op` is the operation
// of `name`, which messages and fault reports show.
#pragma once

#include <Python.h>

#include <string_view>

#include "kernels/ops.h"

namespace quarvel_python::ufunc {

// (array, other), or (other, array) when reflected; in place, out=array.
PyObject* operator_call(PyObject* array, PyObject* other, quarvel_kernels::Op op, std::string_view name, bool reflected,
                        bool in_place);
PyObject* unary_operator_call(PyObject* array, quarvel_kernels::Op op, std::string_view name);
// divmod(array, other), or divmod(other, array) when reflected: a 2-tuple.
PyObject* divmod_operator_call(PyObject* array, PyObject* other, bool reflected);

}  // namespace quarvel_python::ufunc
