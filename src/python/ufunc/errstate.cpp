#include "python/ufunc/errstate.h"

#include <array>
#include <new>

#include "python/args.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/py_ref.h"
#include "python/type_support.h"
#include "python/ufunc/error_policy.h"

namespace quarvel_python::ufunc {

namespace {

// all, divide, over, under, invalid: the mode parameters of seterr and errstate.
using ModeArguments = std::array<PyObject*, 5>;

constexpr std::array<Param, 5> mode_params(ParamKind kind) {
  std::array<Param, 5> params{};
  params[0] = {"all", kind, false};
  for (int c = 0; c < error_category_count; ++c) params[c + 1] = {error_categories[c].name, kind, false};
  return params;
}
constexpr std::array<Param, 5> seterr_params = mode_params(ParamKind::PositionalOrKeyword);
constexpr std::array<Param, 5> errstate_params = mode_params(ParamKind::KeywordOnly);

// None means absent; anything else must be a str. Checked before any is parsed.
bool check_mode_arguments(ModeArguments& modes) {
  for (std::size_t i = 0; i < modes.size(); ++i) {
    if (modes[i] == Py_None) modes[i] = nullptr;
    if (modes[i] && !PyUnicode_Check(modes[i])) {
      raise_cast_type_error(modes[i], "str", seterr_params[i].name);
      return false;
    }
  }
  return true;
}

std::optional<ErrorOverrides> mode_overrides(ModeArguments& modes) {
  if (!check_mode_arguments(modes)) return std::nullopt;
  return ErrorOverrides::parse(modes);
}

// None, a callable, or an object with a write attribute (as hasattr sees it).
bool check_errcall(PyObject* value) {
  if (value == Py_None || PyCallable_Check(value)) return true;
  PyRef write = PyRef::steal(PyObject_GetAttrString(value, "write"));
  if (write) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();
  return raise_false(PyExc_TypeError, "errcall must be callable, have a write method, or be None");
}

PyObject* none_or(PyObject* object) { return Py_NewRef(object ? object : Py_None); }

// --- module functions -----------------------------------------------------------

PyObject* seterr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModeArguments modes{};
    if (!parse_arguments({"seterr", seterr_params}, CallArgs::from_vector(args, nargs, kwnames), modes))
      return nullptr;
    auto overrides = mode_overrides(modes);
    if (!overrides) return nullptr;
    auto current = current_policy(true);
    if (!current) return nullptr;
    PyRef before = error_state_dict(current->state);
    if (!before || !set_error_context(overrides->applied_to(current->state), current->errcall, current->stack))
      return nullptr;
    return before.release();
  });
}

PyObject* geterr(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef context = current_error_context();
    if (!context) return nullptr;
    auto state = error_state_from_context(context.get());
    return state ? error_state_dict(*state).release() : nullptr;
  });
}

PyObject* seterrcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Param params[] = {{"func", ParamKind::PositionalOrKeyword, true}};
    PyObject* func = nullptr;
    if (!parse_arguments({"seterrcall", params}, CallArgs::from_vector(args, nargs, kwnames), {&func, 1}))
      return nullptr;
    if (!check_errcall(func)) return nullptr;
    auto current = current_policy(true);
    if (!current) return nullptr;
    PyRef before = PyRef::steal(none_or(current->errcall));
    if (!set_error_context(current->state, func, current->stack)) return nullptr;
    return before.release();
  });
}

PyObject* geterrcall(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef context = current_error_context();
    if (!context) return nullptr;
    auto errcall = error_call_from_context(context.get());
    return errcall ? none_or(*errcall) : nullptr;
  });
}

PyMethodDef error_functions[] = {
    {"geterr", as_cfunction(geterr), METH_NOARGS, "geterr()\n--\n\n"},
    {"seterr", as_cfunction(seterr), METH_FASTCALL | METH_KEYWORDS,
     "seterr(all=None, divide=None, over=None, under=None, invalid=None)\n--\n\n"},
    {"geterrcall", as_cfunction(geterrcall), METH_NOARGS, "geterrcall()\n--\n\n"},
    {"seterrcall", as_cfunction(seterrcall), METH_FASTCALL | METH_KEYWORDS, "seterrcall(func)\n--\n\n"},
};

// --- the two classes ---------------------------------------------------------------
//
// Both hold Python objects (the errcall to install, the wrapped callable) that
// can lead back to them, so both take part in garbage collection.

struct PyErrState {
  PyObject_HEAD
  ErrorOverrides overrides;
  PyObject* call_change;  // owned; null keeps the errcall in force
};

struct PyErrStateDecorator {
  PyObject_HEAD
  ErrorOverrides overrides;
  PyObject* call_change;  // owned; as in errstate
  PyObject* wrapped;      // owned
};

PyErrState* as_errstate(PyObject* object) { return reinterpret_cast<PyErrState*>(object); }
PyErrStateDecorator* as_decorator(PyObject* object) { return reinterpret_cast<PyErrStateDecorator*>(object); }

PyTypeObject* decorator_type();

// Enter, call, exit. An exception of the call wins over one of the exit.
PyObject* call_under(const ErrorOverrides& overrides, CallChange call_change, PyObject* callable, PyObject* args,
                     PyObject* kwargs) {
  if (!enter_error_state(overrides, call_change)) return nullptr;
  PyRef result = PyRef::steal(PyObject_Call(callable, args, kwargs));
  if (!result) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!exit_error_state()) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return nullptr;
  }
  return exit_error_state() ? result.release() : nullptr;
}

PyObject* new_decorator(PyObject* wrapped, const ErrorOverrides& overrides, CallChange call_change) {
  PyTypeObject* type = decorator_type();
  if (!type) return nullptr;
  PyObject* object = allocate_instance(type);
  if (!object) return nullptr;
  PyErrStateDecorator* decorator = as_decorator(object);
  new (&decorator->overrides) ErrorOverrides(overrides);
  decorator->call_change = Py_XNewRef(call_change);
  decorator->wrapped = Py_NewRef(wrapped);
  return object;
}

// errstate ------------------------------------------------------------------------

// Checks in this order: positionals, mode types, the extra keywords in call
// order, the mode names.
PyObject* make_errstate(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModeArguments modes{};
  const Signature signature{"errstate", errstate_params, false, true};
  const CallArgs call = CallArgs::from_tuple(args, kwargs);
  if (!parse_arguments(signature, call, modes)) return nullptr;
  if (!check_mode_arguments(modes)) return nullptr;
  CallChange call_change = nullptr;
  for (Py_ssize_t k = 0; k < call.keyword_count(); ++k) {
    PyObject *key = nullptr, *value = nullptr;
    if (!call.keyword_at(k, &key, &value)) break;
    bool is_mode = false;
    for (const Param& param : errstate_params) is_mode |= PyUnicode_CompareWithASCIIString(key, param.name) == 0;
    if (is_mode) continue;
    if (PyUnicode_CompareWithASCIIString(key, "call") != 0) {
      PyErr_Format(PyExc_TypeError, "errstate() got an unexpected keyword argument '%U'", key);
      return nullptr;
    }
    if (!check_errcall(value)) return nullptr;
    call_change = value;
  }
  auto overrides = ErrorOverrides::parse(modes);
  if (!overrides) return nullptr;
  PyObject* object = allocate_instance(type);
  if (!object) return nullptr;
  new (&as_errstate(object)->overrides) ErrorOverrides(*overrides);
  as_errstate(object)->call_change = Py_XNewRef(call_change);
  return object;
}

PyObject* errstate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return make_errstate(type, args, kwargs); });
}

PyObject* errstate_enter(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const PyErrState* state = as_errstate(self);
    if (!enter_error_state(state->overrides, state->call_change)) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* errstate_exit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Param params[] = {{"exc_type", ParamKind::PositionalOrKeyword, true},
                                       {"exc_value", ParamKind::PositionalOrKeyword, true},
                                       {"traceback", ParamKind::PositionalOrKeyword, true}};
    PyObject* unused[3] = {};
    if (!parse_arguments({"__exit__", params}, CallArgs::from_vector(args, nargs, kwnames), unused)) return nullptr;
    if (!exit_error_state()) return nullptr;
    Py_RETURN_FALSE;  // an exception of the block propagates
  });
}

PyObject* errstate_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Param params[] = {{"function", ParamKind::PositionalOrKeyword, true}};
    PyObject* function = nullptr;
    if (!parse_arguments({"__call__", params}, CallArgs::from_tuple(args, kwargs), {&function, 1})) return nullptr;
    if (!PyCallable_Check(function)) return raise_null(PyExc_TypeError, "errstate decorator requires a callable");
    return new_decorator(function, as_errstate(self)->overrides, as_errstate(self)->call_change);
  });
}

using ErrStateReferences = OwnedReferences<PyErrState, &PyErrState::call_change>;

PyMethodDef errstate_methods[] = {
    {"__enter__", as_cfunction(errstate_enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(errstate_exit), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot errstate_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "errstate(*, all=None, divide=None, over=None, under=None, invalid=None, **kwargs)\n--\n\n")},
    {Py_tp_new, slot(errstate_new)},
    {Py_tp_call, slot(errstate_call)},
    {Py_tp_dealloc, slot(ErrStateReferences::dealloc)},
    {Py_tp_traverse, slot(ErrStateReferences::traverse)},
    {Py_tp_clear, slot(ErrStateReferences::clear)},
    {Py_tp_methods, errstate_methods},
    {0, nullptr},
};

PyType_Spec errstate_spec = {
    "quarvel.errstate", sizeof(PyErrState), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, errstate_slots,
};

// PyErrStateDecorator --------------------------------------------------------------

PyObject* decorator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] {
    const PyErrStateDecorator* decorator = as_decorator(self);
    return call_under(decorator->overrides, decorator->call_change, decorator->wrapped, args, kwargs);
  });
}

// A decorated function used as a method binds like the function and keeps the policy.
PyObject* decorator_get(PyObject* self, PyObject* instance, PyObject* owner) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const PyErrStateDecorator* decorator = as_decorator(self);
    PyRef get = PyRef::steal(PyObject_GetAttrString(decorator->wrapped, "__get__"));
    if (!get) return nullptr;
    PyRef bound = PyRef::steal(PyObject_CallFunctionObjArgs(get.get(), instance ? instance : Py_None,
                                                            owner ? owner : Py_None, nullptr));
    if (!bound) return nullptr;
    return new_decorator(bound.get(), decorator->overrides, decorator->call_change);
  });
}

// The class's own attributes first, then the wrapped callable's.
PyObject* decorator_getattro(PyObject* self, PyObject* name) {
  PyObject* own = PyObject_GenericGetAttr(self, name);
  if (own || !PyErr_ExceptionMatches(PyExc_AttributeError)) return own;
  PyErr_Clear();
  return PyObject_GetAttr(as_decorator(self)->wrapped, name);
}

PyObject* wrapped_of(PyObject* self) { return Py_NewRef(as_decorator(self)->wrapped); }

template <const char* Name>
PyObject* wrapped_attribute(PyObject* self) {
  return PyObject_GetAttrString(as_decorator(self)->wrapped, Name);
}
constexpr char name_attribute[] = "__name__";
constexpr char qualname_attribute[] = "__qualname__";
constexpr char doc_attribute[] = "__doc__";

PyGetSetDef decorator_getset[] = {
    {"__wrapped__", getter<wrapped_of>, nullptr, nullptr, nullptr},
    {"__name__", getter<wrapped_attribute<name_attribute>>, nullptr, nullptr, nullptr},
    {"__qualname__", getter<wrapped_attribute<qualname_attribute>>, nullptr, nullptr, nullptr},
    {"__doc__", getter<wrapped_attribute<doc_attribute>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

using DecoratorReferences =
    OwnedReferences<PyErrStateDecorator, &PyErrStateDecorator::wrapped, &PyErrStateDecorator::call_change>;

PyType_Slot decorator_slots[] = {
    {Py_tp_call, slot(decorator_call)},
    {Py_tp_descr_get, slot(decorator_get)},
    {Py_tp_getattro, slot(decorator_getattro)},
    {Py_tp_getset, decorator_getset},
    {Py_tp_dealloc, slot(DecoratorReferences::dealloc)},
    {Py_tp_traverse, slot(DecoratorReferences::traverse)},
    {Py_tp_clear, slot(DecoratorReferences::clear)},
    {0, nullptr},
};

PyType_Spec decorator_spec = {
    "quarvel.PyErrStateDecorator", sizeof(PyErrStateDecorator), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC,
    decorator_slots,
};

PyTypeObject* errstate_type_cell = nullptr;
PyTypeObject* decorator_type_cell = nullptr;

PyTypeObject* decorator_type() { return cached_type(decorator_type_cell, decorator_spec); }

}  // namespace

PyTypeObject* errstate_type() { return cached_type(errstate_type_cell, errstate_spec); }

int add_error_functions(PyObject* module) {
  for (PyMethodDef& def : error_functions)
    if (add_function(module, &def) < 0) return -1;
  return 0;
}

}  // namespace quarvel_python::ufunc
