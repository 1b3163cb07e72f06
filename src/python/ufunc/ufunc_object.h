// What the universal-function layer adds to the module, as the last step of
// its start-up, in this order:
//
//   errstate, _ERROR_CONTEXT (a ContextVar named "quarvel._ERROR_CONTEXT"
//   without a default), AxisError(ValueError, IndexError), geterr, seterr,
//   geterrcall, seterrcall
#pragma once

#include <Python.h>

namespace quarvel_python::ufunc {

// Adds everything above through add(), so every name also lands in __all__.
// 0, or -1 with the error set; nothing added before a failure is removed.
int add_ufunc_layer(PyObject* module);

}  // namespace quarvel_python::ufunc
