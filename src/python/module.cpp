// The extension module quarvel.
//
//   __version__, ComplexWarning,
//   DType, Array, ArrayFlags, BoolScalar ... ComplexLongDoubleScalar,
//   bool ... clongdouble, float128, complex256   (DType objects)
//   array, zeros, empty, promote_types,
//   then everything the universal-function layer registers.
//
// One module per process, bound to the interpreter that imported it first.
#include "python/module.h"

#include <atomic>
#include <cstdint>

#include "python/array_object.h"
#include "python/dtype_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/py_ref.h"
#include "python/scalar_object.h"
#include "python/ufunc/ufunc_object.h"

namespace quarvel_python {

int add(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (!dict) return -1;
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (!all) {
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyDict_SetItemString(dict, "__all__", fresh.get()) < 0) return -1;
    all = fresh.get();  // the dict keeps it alive
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all, text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
  if (!function) return -1;
  return add(module, def->ml_name, function.get());
}

int add_class(PyObject* module, PyTypeObject* type) {
  if (!type) return -1;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return -1;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
  if (!text) return -1;
  return add(module, text, reinterpret_cast<PyObject*>(type));
}

PyRef new_python_class(const char* name, PyObject* bases) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return {};
  PyRef type = PyRef::steal(PyObject_GetAttrString(builtins.get(), "type"));
  if (!type) return {};
  PyRef namespace_dict = PyRef::steal(PyDict_New());
  PyRef module_name = PyRef::steal(PyUnicode_FromString("quarvel"));
  PyRef class_name = PyRef::steal(PyUnicode_FromString(name));
  if (!namespace_dict || !module_name || !class_name) return {};
  if (PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0) return {};
  return PyRef::steal(PyObject_CallFunctionObjArgs(type.get(), class_name.get(), bases, namespace_dict.get(), nullptr));
}

}  // namespace quarvel_python

namespace {

using namespace quarvel_python;

PyModuleDef quarvel_module = {
    PyModuleDef_HEAD_INIT, "quarvel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

int add_complex_warning(PyObject* module) {
  PyRef bases = PyRef::steal(PyTuple_Pack(1, PyExc_RuntimeWarning));
  if (!bases) return -1;
  PyRef warning = new_python_class("ComplexWarning", bases.get());
  if (!warning) return -1;
  return add(module, "ComplexWarning", warning.get());
}

// Everything after __version__, in this exact order; the first failure ends it
// and nothing already added is undone.
int register_module(PyObject* module) {
  if (add_complex_warning(module) < 0) return -1;
  if (add_class(module, dtype_type()) < 0) return -1;
  if (add_array_classes(module) < 0) return -1;
  if (add_scalar_classes(module) < 0) return -1;
  if (add_dtype_objects(module) < 0) return -1;
  if (add_array_functions(module) < 0) return -1;
  if (add_dtype_functions(module) < 0) return -1;
  // Last: the universal-function layer's classes, context variable, AxisError,
  // error-policy functions and ufunc objects.
  return ufunc::add_ufunc_layer(module);
}

int initialise_module(PyObject* module) {
  element_path_forced();  // the switch is read at import, once
  PyRef version = PyRef::steal(PyUnicode_FromString("0.3.0"));
  if (!version || add(module, "__version__", version.get()) < 0) return -1;
  return register_module(module);
}

constexpr std::int64_t no_interpreter = INT64_MIN;
std::atomic<std::int64_t> bound_interpreter{no_interpreter};
// The one module of the process; guarded by the interpreter lock.
PyObject* module_cell = nullptr;

PyObject* import_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = interpreter ? PyInterpreterState_GetID(interpreter) : -1;
  if (id == -1) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = no_interpreter;
  if (!bound_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quarvel does not support sub-interpreters: it is already loaded in another interpreter");
    return nullptr;
  }
  if (module_cell) return Py_NewRef(module_cell);
  PyRef module = PyRef::steal(PyModule_Create(&quarvel_module));
  if (!module || initialise_module(module.get()) < 0) return nullptr;
  module_cell = Py_NewRef(module.get());
  return module.release();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarvel(void) {
  return guarded<PyObject*>(nullptr, import_module);
}
