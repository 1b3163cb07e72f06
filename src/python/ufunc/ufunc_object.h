// quarvel.ufunc and what the universal-function layer adds to the module.
//
//   class ufunc:          # no constructor, not subclassable, immutable
//       __name__, nin, nout, nargs, types, ntypes, signature (None), identity
//       repr: <ufunc 'absolute'>
//       __call__(*args, **kwargs)
//       reduce(array, /, *args, **kwargs), accumulate(array, /, *args, **kwargs),
//       reduceat(array, /, indices, *args, **kwargs), outer(a, b, /, **kwargs),
//       at(a, indices, b=None, /)
//
// Added as the last step of module start-up, in this order: ufunc, errstate,
// _ERROR_CONTEXT (a ContextVar named "quarvel._ERROR_CONTEXT" without a
// default), AxisError(ValueError, IndexError), geterr, seterr, geterrcall,
// seterrcall, then the 101 ufunc names in byte order, each alias bound to the
// object of its canonical name (85 objects).
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "kernels/ops.h"

namespace quarvel_python::ufunc {

// A ufunc object knows its operation by canonical name only; every other
// fact comes from the kernels' catalogue and loop tables.
struct PyUFunc {
  PyObject_HEAD
  std::string_view name;  // static text
  quarvel_kernels::Op op;  // the operation of `name`, found once
  std::size_t nin;
  std::size_t nout;
};

// The class object, made on first use and kept. Borrowed; null with the error set.
PyTypeObject* ufunc_type();

// Adds everything above through add(), so every name also lands in __all__.
// 0, or -1 with the error set; nothing added before a failure is removed.
int add_ufunc_layer(PyObject* module);

}  // namespace quarvel_python::ufunc
