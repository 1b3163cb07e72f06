// The Python face of the error policy.
//
//   seterr(all=None, divide=None, over=None, under=None, invalid=None) -> dict before
//   geterr() -> {"divide": ..., "over": ..., "under": ..., "invalid": ...}
//   seterrcall(func) -> the errcall before, or None
//   geterrcall() -> the errcall, or None
//   class errstate(*, all=None, divide=None, over=None, under=None, invalid=None, **kwargs):
//       # the one extra keyword is call=; immutable, reusable, nestable
//       __enter__()                      # pushes the policy in force, installs this one
//       __exit__(exc_type, exc_value, traceback) -> False   # pops
//       __call__(function) -> PyErrStateDecorator
//   class PyErrStateDecorator:           # not a module attribute
//       __call__(*args, **kwargs)        # the wrapped call between a push and a pop
//       __get__, __wrapped__, __name__, __qualname__, __doc__, other attributes of the wrapped
#pragma once

#include <Python.h>

namespace quarvel_python::ufunc {

// The class object of errstate, made on first use and kept. Borrowed; null
// with the error set when it cannot be made.
PyTypeObject* errstate_type();

// geterr, seterr, geterrcall and seterrcall, in that order. 0, or -1 with the error set.
int add_error_functions(PyObject* module);

}  // namespace quarvel_python::ufunc
