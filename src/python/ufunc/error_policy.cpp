#include "python/ufunc/error_policy.h"

#include <array>
#include <string>
#include <utility>

#include "python/args.h"
#include "python/dtype_object.h"

namespace quarvel_python::ufunc {

namespace {

constexpr Py_ssize_t errcall_item = 4;
constexpr Py_ssize_t stack_item = 5;
constexpr Py_ssize_t context_size = 6;
constexpr Py_ssize_t saved_state_size = 5;  // the modes and the errcall

// The entry of sys.modules under `name` (a new reference), null without an
// error when there is none. What PyImport_GetModule gives, without its test
// of the module's __spec__ for an import still running, which can only hold
// it up until that import ends: every policy read and write asks.
PyRef module_entry(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* entry = modules ? PyDict_GetItemWithError(modules, name) : nullptr;
  return PyRef::borrow(entry);
}

// The native module as the package's submodule, or loaded on its own; found
// in sys.modules on every call (the module is not cached, only its names),
// imported only when absent. A None entry blocks the name as it blocks an
// import, so the import is left to raise its ModuleNotFoundError.
PyRef policy_module() {
  static constexpr const char* spellings[2] = {"quarvel.quarvel", "quarvel"};
  static PyObject* names[2] = {};
  for (int i = 0; i < 2; ++i) {
    if (!names[i] && !(names[i] = PyUnicode_InternFromString(spellings[i]))) return {};
    PyRef module = module_entry(names[i]);
    if (module.get() == Py_None) break;
    if (module || PyErr_Occurred()) return module;
  }
  return PyRef::steal(PyImport_ImportModule(spellings[0]));
}

// The texts every read and write of the policy uses, made once: the
// attribute and method names, the six mode names (every tuple and dict this
// file makes holds these very str objects) and the four dict keys.
struct PolicyTexts {
  PyObject* error_context = nullptr;
  PyObject* get = nullptr;
  PyObject* set = nullptr;
  std::array<PyObject*, error_mode_names.size()> modes{};
  std::array<PyObject*, error_category_count> keys{};
};

PyObject* text_object(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// Null with the error set when they cannot be made (a later call tries again).
const PolicyTexts* policy_texts() {
  static PolicyTexts texts;
  static bool made = false;
  if (made) return &texts;
  auto intern = [](PyObject*& cell, const char* text) {
    return cell || (cell = PyUnicode_InternFromString(text)) != nullptr;
  };
  if (!intern(texts.error_context, "_ERROR_CONTEXT") || !intern(texts.get, "get") || !intern(texts.set, "set"))
    return nullptr;
  for (std::size_t i = 0; i < texts.modes.size(); ++i)
    if (!texts.modes[i] && !(texts.modes[i] = text_object(error_mode_names[i]))) return nullptr;
  for (int c = 0; c < error_category_count; ++c)
    if (!intern(texts.keys[c], error_categories[c].name)) return nullptr;
  made = true;
  return &texts;
}

// The variable made at registration, and what its get returns for "no value"
// when asked with a default (an object nobody else holds).
PyObject* registered_variable = nullptr;
PyObject* no_value = nullptr;
// Its get and set, bound once: asking the variable for them on every read
// and write would make a method object each time. Null when not yet bound.
PyObject* registered_get = nullptr;
PyObject* registered_set = nullptr;

// The bound method `name` of the registered variable, kept in `cell`.
PyObject* registered_method(PyObject*& cell, PyObject* name) {
  if (!cell && !(cell = PyObject_GetAttr(registered_variable, name))) return nullptr;
  return cell;
}

PyRef context_variable() {
  const PolicyTexts* texts = policy_texts();
  if (!texts) return {};
  PyRef module = policy_module();
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttr(module.get(), texts->error_context));
}

// The variable's value: a new reference; null without an error when the
// context has none (a LookupError, discarded), null with the error set for
// any other failure. The registered ContextVar, which has no default of its
// own, is asked with one: the same answer without an exception.
PyRef variable_value(PyObject* variable, const PolicyTexts& texts) {
  if (variable == registered_variable && no_value) {
    PyObject* get = registered_method(registered_get, texts.get);
    if (!get) return {};
    PyRef value = PyRef::steal(PyObject_CallFunctionObjArgs(get, no_value, nullptr));
    return value.get() == no_value ? PyRef() : value;
  }
  PyRef value = PyRef::steal(PyObject_CallMethodObjArgs(variable, texts.get, nullptr));
  if (!value && PyErr_ExceptionMatches(PyExc_LookupError)) PyErr_Clear();
  return value;
}

// Item `index` of a tuple (borrowed); the interpreter's IndexError when it is too short.
PyObject* item(PyObject* tuple, Py_ssize_t index) { return PyTuple_GetItem(tuple, index); }

PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) {
  PyObject* value = item(tuple, index);
  if (value && !PyTuple_Check(value)) {
    raise_cast_type_error(value, "tuple");
    return nullptr;
  }
  return value;
}

PyRef mode_name(ErrorMode mode) {
  const PolicyTexts* texts = policy_texts();
  return texts ? PyRef::borrow(texts->modes[static_cast<int>(mode)]) : PyRef();
}

// Takes a new reference into the tuple being filled.
bool put(PyObject* tuple, Py_ssize_t index, PyRef value) {
  if (!value) return false;
  PyTuple_SetItem(tuple, index, value.release());
  return true;
}

}  // namespace

void remember_error_context_variable(PyObject* variable) {
  Py_XINCREF(variable);
  Py_XDECREF(std::exchange(registered_variable, variable));
  Py_CLEAR(registered_get);
  Py_CLEAR(registered_set);
  if (!no_value && !(no_value = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type))))
    PyErr_Clear();  // the variable is then asked without a default
}

std::optional<ErrorMode> parse_error_mode(PyObject* text) {
  // The names this file writes are its own objects: known without reading them.
  if (const PolicyTexts* texts = policy_texts()) {
    for (std::size_t i = 0; i < texts->modes.size(); ++i)
      if (text == texts->modes[i]) return static_cast<ErrorMode>(i);
  } else {
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (!utf8) return std::nullopt;
  const std::string_view candidate(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < error_mode_names.size(); ++i)
    if (error_mode_names[i] == candidate) return static_cast<ErrorMode>(i);
  auto quoted = quoted_str(text);
  if (!quoted) return std::nullopt;
  const std::string message = "invalid error mode " + *quoted + "; expected ignore, warn, raise, call, print, or log";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return std::nullopt;
}

std::optional<ErrorOverrides> ErrorOverrides::parse(std::span<PyObject* const, 5> texts) {
  std::optional<ErrorMode> all;
  if (texts[0] && !(all = parse_error_mode(texts[0]))) return std::nullopt;
  ErrorOverrides overrides;
  for (int c = 0; c < error_category_count; ++c) {
    PyObject* text = texts[c + 1];
    overrides.modes[c] = text ? parse_error_mode(text) : all;
    if (text && !overrides.modes[c]) return std::nullopt;
  }
  return overrides;
}

ErrorState ErrorOverrides::applied_to(const ErrorState& state) const {
  ErrorState changed = state;
  for (int c = 0; c < error_category_count; ++c)
    if (modes[c]) changed.modes[c] = *modes[c];
  return changed;
}

PyRef make_error_context(const ErrorState& state, PyObject* errcall, PyObject* stack) {
  PyRef context = PyRef::steal(PyTuple_New(context_size));
  if (!context) return {};
  for (int c = 0; c < error_category_count; ++c)
    if (!put(context.get(), c, mode_name(state.modes[c]))) return {};
  put(context.get(), errcall_item, PyRef::borrow(errcall ? errcall : Py_None));
  put(context.get(), stack_item, PyRef::borrow(stack));
  return context;
}

namespace {

// The context `variable` holds (see current_error_context).
PyRef error_context_of(PyObject* variable) {
  PyRef value = variable_value(variable, *policy_texts());
  if (!value) {
    // No value in this context yet: the default policy.
    if (PyErr_Occurred()) return {};
    PyRef empty = PyRef::steal(PyTuple_New(0));
    if (!empty) return {};
    return make_error_context(default_error_state, nullptr, empty.get());
  }
  if (!PyTuple_Check(value.get())) {
    raise_cast_type_error(value.get(), "tuple");
    return {};
  }
  return value;
}

// Installs a context made by make_error_context in `variable`.
bool put_error_context(PyObject* variable, PyRef context) {
  if (!context) return false;
  // The token is dropped: policies are restored through the stack only.
  if (variable == registered_variable) {
    PyObject* set = registered_method(registered_set, policy_texts()->set);
    return set && PyRef::steal(PyObject_CallFunctionObjArgs(set, context.get(), nullptr));
  }
  PyRef token = PyRef::steal(PyObject_CallMethodObjArgs(variable, policy_texts()->set, context.get(), nullptr));
  return static_cast<bool>(token);
}

}  // namespace

PyRef current_error_context() {
  PyRef variable = context_variable();
  if (!variable) return {};
  return error_context_of(variable.get());
}

bool set_error_context(const ErrorState& state, PyObject* errcall, PyObject* stack) {
  PyRef context = make_error_context(state, errcall, stack);
  if (!context) return false;
  PyRef variable = context_variable();
  if (!variable) return false;
  return put_error_context(variable.get(), std::move(context));
}

std::optional<ErrorState> error_state_from_context(PyObject* context) {
  ErrorState state;
  for (int c = 0; c < error_category_count; ++c) {
    PyObject* name = item(context, c);
    if (!name) return std::nullopt;
    if (!PyUnicode_Check(name)) {
      raise_cast_type_error(name, "str");
      return std::nullopt;
    }
    auto mode = parse_error_mode(name);
    if (!mode) return std::nullopt;
    state.modes[c] = *mode;
  }
  return state;
}

std::optional<PyObject*> error_call_from_context(PyObject* context) {
  PyObject* errcall = item(context, errcall_item);
  if (!errcall) return std::nullopt;
  return errcall == Py_None ? nullptr : errcall;
}

PyObject* error_stack_from_context(PyObject* context) { return tuple_item(context, stack_item); }

namespace {

// The policy a context holds (null: its read failed, the error set).
std::optional<CurrentPolicy> policy_in(PyRef context, bool with_stack) {
  if (!context) return std::nullopt;
  auto state = error_state_from_context(context.get());
  if (!state) return std::nullopt;
  auto errcall = error_call_from_context(context.get());
  if (!errcall) return std::nullopt;
  PyObject* stack = with_stack ? error_stack_from_context(context.get()) : nullptr;
  if (with_stack && !stack) return std::nullopt;
  return CurrentPolicy{std::move(context), *state, *errcall, stack};
}

}  // namespace

std::optional<CurrentPolicy> current_policy(bool with_stack) { return policy_in(current_error_context(), with_stack); }

// Entering and leaving look the variable up once for its read and its write.
bool enter_error_state(const ErrorOverrides& overrides, CallChange call_change) {
  PyRef variable = context_variable();
  if (!variable) return false;
  auto current = policy_in(error_context_of(variable.get()), true);
  if (!current) return false;
  // The saved state holds the very objects of the current tuple.
  PyRef saved = PyRef::steal(PyTuple_GetSlice(current->context.get(), 0, saved_state_size));
  if (!saved) return false;
  const Py_ssize_t depth = PyTuple_Size(current->stack);
  // Built item by item: a tuple subclass's own concatenation is not asked.
  PyRef pushed = PyRef::steal(PyTuple_New(depth + 1));
  if (!pushed) return false;
  for (Py_ssize_t i = 0; i < depth; ++i) put(pushed.get(), i, PyRef::borrow(item(current->stack, i)));
  put(pushed.get(), depth, std::move(saved));
  return put_error_context(variable.get(), make_error_context(overrides.applied_to(current->state),
                                                              call_change ? call_change : current->errcall,
                                                              pushed.get()));
}

bool exit_error_state() {
  PyRef variable = context_variable();
  if (!variable) return false;
  PyRef context = error_context_of(variable.get());
  if (!context) return false;
  PyObject* stack = error_stack_from_context(context.get());
  if (!stack) return false;
  const Py_ssize_t depth = PyTuple_Size(stack);
  if (depth == 0) return true;
  PyObject* saved = tuple_item(stack, depth - 1);
  if (!saved) return false;
  auto state = error_state_from_context(saved);
  if (!state) return false;
  auto errcall = error_call_from_context(saved);
  if (!errcall) return false;
  PyRef rest = PyRef::steal(PyTuple_GetSlice(stack, 0, depth - 1));
  if (!rest) return false;
  return put_error_context(variable.get(), make_error_context(*state, *errcall, rest.get()));
}

PyRef error_state_dict(const ErrorState& state) {
  const PolicyTexts* texts = policy_texts();
  if (!texts) return {};
  // Each state's dict is built once and copied: a copy of a small dict is one
  // block copied, four insertions are four lookups.
  constexpr std::size_t modes = error_mode_names.size();
  static std::array<PyObject*, modes * modes * modes * modes> built{};
  std::size_t index = 0;
  for (ErrorMode mode : state.modes) index = index * modes + static_cast<std::size_t>(mode);
  if (!built[index]) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (int c = 0; c < error_category_count; ++c)
      if (PyDict_SetItem(dict.get(), texts->keys[c], texts->modes[static_cast<int>(state.modes[c])]) < 0) return {};
    built[index] = dict.release();
  }
  return PyRef::steal(PyDict_Copy(built[index]));
}

}  // namespace quarvel_python::ufunc
