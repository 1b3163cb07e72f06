#include "python/type_support.h"

namespace quarvel_python {

PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& spec) {
  if (!cell) cell = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return cell;
}

PyObject* allocate_instance(PyTypeObject* type) { return type_slot<allocfunc>(type, Py_tp_alloc)(type, 0); }

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type_slot<freefunc>(type, Py_tp_free)(self);
  Py_DECREF(type);
}

}  // namespace quarvel_python
