#include "python/ufunc/ufunc_object.h"

#include "python/module.h"
#include "python/py_ref.h"
#include "python/ufunc/errstate.h"

namespace quarvel_python::ufunc {

namespace {

int add_error_context(PyObject* module) {
  PyRef contextvars = PyRef::steal(PyImport_ImportModule("contextvars"));
  if (!contextvars) return -1;
  PyRef context_var = PyRef::steal(PyObject_GetAttrString(contextvars.get(), "ContextVar"));
  if (!context_var) return -1;
  // No default: an unset variable reads as the default policy.
  PyRef variable = PyRef::steal(PyObject_CallFunction(context_var.get(), "s", "quarvel._ERROR_CONTEXT"));
  if (!variable) return -1;
  return add(module, "_ERROR_CONTEXT", variable.get());
}

int add_axis_error(PyObject* module) {
  PyRef bases = PyRef::steal(PyTuple_Pack(2, PyExc_ValueError, PyExc_IndexError));
  if (!bases) return -1;
  PyRef axis_error = new_python_class("AxisError", bases.get());
  if (!axis_error) return -1;
  return add(module, "AxisError", axis_error.get());
}

}  // namespace

int add_ufunc_layer(PyObject* module) {
  if (add_class(module, errstate_type()) < 0) return -1;
  if (add_error_context(module) < 0) return -1;
  if (add_axis_error(module) < 0) return -1;
  return add_error_functions(module);
}

}  // namespace quarvel_python::ufunc
