// What every class of the module is built with: heap types made once from
// their PyType_Spec and kept for the life of the process, slot and method
// table entries, allocation and deallocation of instances, guarded getters.
//
//   PyTypeObject* cell = nullptr;
//   PyTypeObject* thing_type() { return cached_type(cell, thing_spec); }
//   PyType_Slot slots[] = {{Py_tp_dealloc, slot(free_instance)}, ...};
//   PyGetSetDef getset[] = {{"size", getter<size>, ...}, ...};
//   PyMethodDef methods[] = {{"copy", as_cfunction(Thing_copy), METH_NOARGS, ...}, ...};
#pragma once

#include <Python.h>

#include <utility>

#include "python/errors.h"

namespace quarvel_python {

// The class of `spec`, made on first use and kept in `cell`; borrowed, null
// with the error set when it cannot be made (a later call tries again).
PyTypeObject* cached_type(PyTypeObject*& cell, PyType_Spec& spec);

// A slot of a heap type as its function type.
template <class Slot>
Slot type_slot(PyTypeObject* type, int slot);

// A slot-table entry from a slot function.
template <class F>
void* slot(F* function);

// A method-table entry from a method of any METH_ calling form.
template <class F>
PyCFunction as_cfunction(F* function);

// A new zeroed instance of `type` from its tp_alloc; null with the error set.
// Instances with C++ members construct them in place afterwards.
PyObject* allocate_instance(PyTypeObject* type);

// The dealloc of every class: frees through the type's own tp_free and drops
// the reference each heap-type instance holds on its type. Classes with C++
// members destroy those first and then call this.
void free_instance(PyObject* self);

// A getter whose body runs behind the guarded boundary.
template <PyObject* (*Get)(PyObject*)>
PyObject* getter(PyObject* self, void* closure);

// The garbage-collection slots and the dealloc of a class (flag
// Py_TPFLAGS_HAVE_GC) whose instances own the Python objects held in
// `Members`, each possibly null. Such instances can sit in reference cycles.
template <class Object, PyObject* Object::*... Members>
struct OwnedReferences {
  static int traverse(PyObject* self, visitproc visit, void* arg);
  static int clear(PyObject* self);
  static void dealloc(PyObject* self);
};

// -----------------------------------------------------------------------------

template <class Slot>
Slot type_slot(PyTypeObject* type, int slot) {
  return reinterpret_cast<Slot>(PyType_GetSlot(type, slot));
}

template <class F>
void* slot(F* function) {
  return reinterpret_cast<void*>(function);
}

template <class F>
PyCFunction as_cfunction(F* function) {
  // Through a plain function pointer: the interpreter calls it by the flags.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <PyObject* (*Get)(PyObject*)>
PyObject* getter(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] { return Get(self); });
}

template <class Object, PyObject* Object::*... Members>
int OwnedReferences<Object, Members...>::traverse(PyObject* self, visitproc visit, void* arg) {
  Object* object = reinterpret_cast<Object*>(self);
  int status = 0;
  ((status = status ? status : (object->*Members ? visit(object->*Members, arg) : 0)), ...);
  // A heap type's instances keep their class alive.
  return status ? status : visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

template <class Object, PyObject* Object::*... Members>
int OwnedReferences<Object, Members...>::clear(PyObject* self) {
  Object* object = reinterpret_cast<Object*>(self);
  // Each member is emptied before its object goes, as Py_CLEAR does.
  (Py_XDECREF(std::exchange(object->*Members, nullptr)), ...);
  return 0;
}

template <class Object, PyObject* Object::*... Members>
void OwnedReferences<Object, Members...>::dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  clear(self);
  free_instance(self);
}

}  // namespace quarvel_python
