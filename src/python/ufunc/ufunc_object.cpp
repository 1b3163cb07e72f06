#include "python/ufunc/ufunc_object.h"

#include <array>
#include <string>

#include "kernels/loop_table.h"
#include "kernels/ops.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/py_ref.h"
#include "python/scalar_object.h"
#include "python/type_support.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/error_policy.h"
#include "python/ufunc/errstate.h"

namespace quarvel_python::ufunc {

namespace {

const PyUFunc& ufunc_of(PyObject* self) { return *reinterpret_cast<const PyUFunc*>(self); }

PyObject* text(std::string_view value) {
  return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

// --- attributes ------------------------------------------------------------------

PyObject* name(PyObject* self) { return text(ufunc_of(self).name); }
PyObject* nin(PyObject* self) { return PyLong_FromSize_t(ufunc_of(self).nin); }
PyObject* nout(PyObject* self) { return PyLong_FromSize_t(ufunc_of(self).nout); }
PyObject* nargs(PyObject* self) { return PyLong_FromSize_t(ufunc_of(self).nin + ufunc_of(self).nout); }
PyObject* signature(PyObject*) { Py_RETURN_NONE; }

PyObject* types(PyObject* self) {
  const std::vector<std::string> signatures = quarvel_kernels::signatures(ufunc_of(self).name);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(signatures.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < signatures.size(); ++i) {
    PyObject* item = text(signatures[i]);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* ntypes(PyObject* self) { return PyLong_FromSize_t(quarvel_kernels::signatures(ufunc_of(self).name).size()); }

PyObject* identity(PyObject* self) {
  const auto value = quarvel_kernels::identity(ufunc_of(self).name);
  if (!value) Py_RETURN_NONE;
  return scalar_to_python(*value, std::nullopt).release();
}

PyGetSetDef ufunc_getset[] = {
    {"__name__", getter<name>, nullptr, "The canonical name, which an alias shares.", nullptr},
    {"nin", getter<nin>, nullptr, "The number of inputs.", nullptr},
    {"nout", getter<nout>, nullptr, "The number of outputs.", nullptr},
    {"nargs", getter<nargs>, nullptr, "The number of inputs and outputs.", nullptr},
    {"types", getter<types>, nullptr, "The loops, as type codes such as 'dd->d'.", nullptr},
    {"ntypes", getter<ntypes>, nullptr, "The number of loops.", nullptr},
    {"signature", getter<signature>, nullptr, "Always None: every loop works element by element.", nullptr},
    {"identity", getter<identity>, nullptr, "The value an empty reduction starts from, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* UFunc_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return text("<ufunc '" + std::string(ufunc_of(self).name) + "'>"); });
}

// --- the call and the methods: each hands its arguments unchanged to its engine ---

PyObject* UFunc_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    const PyUFunc& ufunc = ufunc_of(self);
    // The engine tells "no keywords" by a null dict.
    PyObject* keywords = kwargs && PyDict_Size(kwargs) > 0 ? kwargs : nullptr;
    return call(ufunc.op, ufunc.name, ufunc.nin, ufunc.nout, args, keywords);
  });
}

template <PyObject* (*Engine)(quarvel_kernels::Op, std::string_view, PyObject*, PyObject*)>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    const PyUFunc& ufunc = ufunc_of(self);
    return Engine(ufunc.op, ufunc.name, args, kwargs);
  });
}

template <PyObject* (*Engine)(quarvel_kernels::Op, std::string_view, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    const PyUFunc& ufunc = ufunc_of(self);
    return Engine(ufunc.op, ufunc.name, args, nargs, kwnames);
  });
}

PyMethodDef ufunc_methods[] = {
    {"reduce", as_cfunction(fast_method<reduce_method>), METH_FASTCALL | METH_KEYWORDS,
     "reduce($self, array, /, *args, **kwargs)\n--\n\n"},
    {"accumulate", as_cfunction(fast_method<accumulate_method>), METH_FASTCALL | METH_KEYWORDS,
     "accumulate($self, array, /, *args, **kwargs)\n--\n\n"},
    {"reduceat", as_cfunction(fast_method<reduceat_method>), METH_FASTCALL | METH_KEYWORDS,
     "reduceat($self, array, /, indices, *args, **kwargs)\n--\n\n"},
    {"outer", as_cfunction(method<outer_method>), METH_VARARGS | METH_KEYWORDS,
     "outer($self, a, b, /, **kwargs)\n--\n\n"},
    {"at", as_cfunction(fast_method<at_method>), METH_FASTCALL | METH_KEYWORDS, "at($self, a, indices, b=None, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ufunc_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, slot(free_instance)},
    {Py_tp_repr, slot(UFunc_repr)},
    {Py_tp_call, slot(UFunc_call)},
    {Py_tp_getset, ufunc_getset},
    {Py_tp_methods, ufunc_methods},
    {0, nullptr},
};

PyType_Spec ufunc_spec = {
    "quarvel.ufunc", sizeof(PyUFunc), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, ufunc_slots,
};

PyTypeObject* ufunc_type_cell = nullptr;

PyRef new_ufunc(quarvel_kernels::Op op) {
  PyTypeObject* type = ufunc_type();
  if (!type) return {};
  PyRef object = PyRef::steal(allocate_instance(type));
  if (!object) return {};
  PyUFunc* ufunc = reinterpret_cast<PyUFunc*>(object.get());
  ufunc->name = quarvel_kernels::op_name(op);
  ufunc->op = op;
  ufunc->nin = quarvel_kernels::input_count(op);
  ufunc->nout = quarvel_kernels::output_count(op);
  return object;
}

// --- registration ------------------------------------------------------------------

int add_error_context(PyObject* module) {
  PyRef contextvars = PyRef::steal(PyImport_ImportModule("contextvars"));
  if (!contextvars) return -1;
  PyRef context_var = PyRef::steal(PyObject_GetAttrString(contextvars.get(), "ContextVar"));
  if (!context_var) return -1;
  // No default: an unset variable reads as the default policy.
  PyRef variable = PyRef::steal(PyObject_CallFunction(context_var.get(), "s", "quarvel._ERROR_CONTEXT"));
  if (!variable) return -1;
  remember_error_context_variable(variable.get());
  return add(module, "_ERROR_CONTEXT", variable.get());
}

int add_axis_error(PyObject* module) {
  PyRef bases = PyRef::steal(PyTuple_Pack(2, PyExc_ValueError, PyExc_IndexError));
  if (!bases) return -1;
  PyRef axis_error = new_python_class("AxisError", bases.get());
  if (!axis_error) return -1;
  return add(module, "AxisError", axis_error.get());
}

// The first name of a group makes its object (an alias may sort before its
// canonical name); the later ones bind the same object.
int add_ufunc_objects(PyObject* module) {
  std::array<PyRef, quarvel_kernels::op_count> made;
  for (const std::string_view name : quarvel_kernels::module_names) {
    const auto op = quarvel_kernels::op_from_name(quarvel_kernels::canonical_name(name));
    if (!op) return raise_internal_fault("a module ufunc name has no operation"), -1;
    PyRef& object = made[static_cast<std::size_t>(*op)];
    if (!object && !(object = new_ufunc(*op))) return -1;
    if (add(module, std::string(name).c_str(), object.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace

PyTypeObject* ufunc_type() { return cached_type(ufunc_type_cell, ufunc_spec); }

int add_ufunc_layer(PyObject* module) {
  if (add_class(module, ufunc_type()) < 0) return -1;
  if (add_class(module, errstate_type()) < 0) return -1;
  if (add_error_context(module) < 0) return -1;
  if (add_axis_error(module) < 0) return -1;
  if (add_error_functions(module) < 0) return -1;
  return add_ufunc_objects(module);
}

}  // namespace quarvel_python::ufunc
