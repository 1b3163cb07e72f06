// The extension module quarvel.
#include <Python.h>

#include "python/py_ref.h"

namespace {

PyModuleDef quarvel_module = {
    PyModuleDef_HEAD_INIT, "quarvel", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quarvel(void) {
  using quarvel_python::PyRef;
  PyRef module = PyRef::steal(PyModule_Create(&quarvel_module));
  if (!module) return nullptr;
  if (PyModule_AddStringConstant(module.get(), "__version__", "0.3.0") < 0) return nullptr;
  return module.release();
}
