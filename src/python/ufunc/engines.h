// The engines behind a ufunc object: its call and its five methods. Each
// binds its own arguments.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "kernels/ops.h"

namespace quarvel_python::ufunc {
// Each returns a new reference, or null with the Python exception set.
// `name` is the canonical name of the ufunc object (the operator bridges will pass
// "true_divide" too); args/kwargs are the call's own tuple and dict (kwargs may be null).
PyObject* call(quarvel_kernels::Op op, std::string_view name, std::size_t nin, std::size_t nout, PyObject* args,
               PyObject* kwargs);
// The same with the positional arguments as a vector: `args` holds the first
// min(given, nin + 1) of the `given` ones (the rest are never read).
PyObject* call(quarvel_kernels::Op op, std::string_view name, std::size_t nin, std::size_t nout,
               PyObject* const* args, std::size_t given, PyObject* kwargs);
// reduce, accumulate, reduceat and at take their arguments as a fast method does:
// `nargs` positionals (array, *rest), then the values of `kwnames` (may be null).
PyObject* reduce_method(quarvel_kernels::Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);
PyObject* accumulate_method(quarvel_kernels::Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* reduceat_method(quarvel_kernels::Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* at_method(quarvel_kernels::Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames);
PyObject* outer_method(quarvel_kernels::Op op, std::string_view name, PyObject* args, PyObject* kwargs);  // args: as given
}  // namespace quarvel_python::ufunc
