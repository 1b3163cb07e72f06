// The one argument parser of the Python layer.
//
// A Signature lists the parameters in CPython's order (positional-only, then
// positional-or-keyword, then keyword-only); parse_arguments binds one call to
// it with the interpreter's own TypeError texts for missing, unexpected,
// doubled and surplus arguments. Conversions of the bound values raise
// TypeError "argument '{name}': {message}".
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quarvel_python {

enum class ParamKind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct Param {
  const char* name;
  ParamKind kind;
  bool required;
};

struct Signature {
  const char* function;          // shown as "function()" in messages
  std::span<const Param> params;
  bool varargs = false;          // surplus positionals are left to the caller instead of refused
  bool varkeywords = false;      // keywords that name no parameter are left to the caller instead of refused
};

// One call's arguments: a tuple and an optional keyword dict (tp_new, tp_call,
// METH_VARARGS) or a vector with keyword names (METH_FASTCALL, vectorcall).
class CallArgs {
 public:
  static CallArgs from_tuple(PyObject* args, PyObject* kwargs);
  static CallArgs from_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

  Py_ssize_t positional_count() const { return npos_; }
  Py_ssize_t keyword_count() const;
  // Borrowed.
  PyObject* positional(Py_ssize_t i) const;
  // Borrowed; null when absent (no error set).
  PyObject* keyword(const char* name) const;
  // The i-th keyword name and value, borrowed.
  bool keyword_at(Py_ssize_t i, PyObject** name, PyObject** value) const;

 private:
  PyObject* tuple_ = nullptr;
  PyObject* kwargs_ = nullptr;
  PyObject* const* vector_ = nullptr;
  PyObject* kwnames_ = nullptr;
  Py_ssize_t npos_ = 0;
};

// The value of the keyword `name` in a keyword dict (borrowed; null when
// absent, no error set). Keys are matched by their text, never by a lookup
// that could run a str subclass's __eq__ or __hash__.
PyObject* keyword_in_dict(PyObject* kwargs, const char* name);

// Binds the call; out[i] receives a borrowed reference or null for an absent
// optional parameter. With varargs, positionals beyond the named ones stay in
// `args` for the caller. False with TypeError set on a bad call.
[[nodiscard]] bool parse_arguments(const Signature& signature, const CallArgs& args, std::span<PyObject*> out);

// TypeError "argument '{name}': {message}".
void raise_argument_error(const char* name, const char* message);
// TypeError "argument '{name}': must be {expected}, not {type name}".
void raise_argument_type_error(const char* name, const char* expected, PyObject* got);

// TypeError "'{type}' object cannot be cast as '{target}'" for a value of the
// wrong type ({type} its type's qualified name), prefixed by "argument
// '{name}': " when a name is given.
void raise_cast_type_error(PyObject* got, const char* target, const char* name = nullptr);

// A str argument as UTF-8 text; the argument TypeError otherwise.
std::optional<std::string> text_argument(PyObject* value, const char* name);

// UTF-8 text of any str (lone surrogates fail with the interpreter's error).
std::optional<std::string> utf8_text(PyObject* text);

}  // namespace quarvel_python
