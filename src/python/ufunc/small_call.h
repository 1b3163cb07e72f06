// The small-call path: a ufunc call whose operands are arrays of fixed-width
// dtypes and plain Python numbers, served before the call engine builds its
// operands, argument lists, loop records or views. The engine's typed path
// runs the same flat run (flat_run.h) once it has prepared a call; this front
// still pays where it skips that preparation.
//
// Its conditions: at most two inputs; no keyword but `out` (one array of the
// loop's output dtype, native order, or None); every array already in its
// loop dtype and native byte order, not long double, laid out so that one
// stride walks it (one element broadcast, or the output's own shape with C
// strides past one axis); a loop that cannot refuse an element; at least one
// element. Everything else, and every call the engine would refuse, is handed
// back untouched: nothing read, nothing written, no error set. So every
// error, and its order, is still the engine's.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

#include "kernels/ops.h"
#include "python/ufunc/call_args.h"

namespace quarvel_python::ufunc {

// The result of the call (a new reference, or null with the error of its
// fault report set), or nullopt when the engine must serve it. `out` is the
// output argument: null when not given.
std::optional<PyObject*> small_call(quarvel_kernels::Op op, std::string_view name,
                                    std::span<PyObject* const> operands, PyObject* out);

// The same for a call's positional arguments (the first min(given, nin + 1)
// of the `given` ones) and keyword dict (may be null).
std::optional<PyObject*> small_call(quarvel_kernels::Op op, std::string_view name, std::size_t nin,
                                    PyObject* const* args, std::size_t given, PyObject* kwargs);

// reduce(array), with at most an axis of 0, -1 or None (by position or
// keyword; the arguments as a fast method takes them), on a one-dimensional array of a fixed-width dtype with elements:
// the fold the engine's typed path runs, to a scalar result. Nullopt when
// the engine must serve it.
std::optional<PyObject*> small_reduce(quarvel_kernels::Op op, std::string_view name, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quarvel_python::ufunc
