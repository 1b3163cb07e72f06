#include "python/args.h"

#include "python/py_ref.h"

namespace quarvel_python {

CallArgs CallArgs::from_tuple(PyObject* args, PyObject* kwargs) {
  CallArgs call;
  call.tuple_ = args;
  call.kwargs_ = (kwargs && PyDict_Size(kwargs) > 0) ? kwargs : nullptr;
  call.npos_ = args ? PyTuple_Size(args) : 0;
  return call;
}

CallArgs CallArgs::from_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CallArgs call;
  call.vector_ = args;
  call.npos_ = nargs;  // METH_FASTCALL passes the plain count
  call.kwnames_ = (kwnames && PyTuple_Size(kwnames) > 0) ? kwnames : nullptr;
  return call;
}

Py_ssize_t CallArgs::keyword_count() const {
  if (kwargs_) return PyDict_Size(kwargs_);
  if (kwnames_) return PyTuple_Size(kwnames_);
  return 0;
}

PyObject* CallArgs::positional(Py_ssize_t i) const {
  return tuple_ ? PyTuple_GetItem(tuple_, i) : vector_[i];
}

PyObject* keyword_in_dict(PyObject* kwargs, const char* name) {
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (kwargs && PyDict_Next(kwargs, &position, &key, &value))
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return value;
  return nullptr;
}

PyObject* CallArgs::keyword(const char* name) const {
  if (kwargs_) return keyword_in_dict(kwargs_, name);
  if (kwnames_) {
    const Py_ssize_t n = PyTuple_Size(kwnames_);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* key = PyTuple_GetItem(kwnames_, i);
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return vector_[npos_ + i];
    }
  }
  return nullptr;
}

bool CallArgs::keyword_at(Py_ssize_t i, PyObject** name, PyObject** value) const {
  if (kwargs_) {
    Py_ssize_t pos = 0, seen = 0;
    while (PyDict_Next(kwargs_, &pos, name, value))
      if (seen++ == i) return true;
    return false;
  }
  if (kwnames_ && i < PyTuple_Size(kwnames_)) {
    *name = PyTuple_GetItem(kwnames_, i);
    *value = vector_[npos_ + i];
    return true;
  }
  return false;
}

namespace {

const char* plural(Py_ssize_t n) { return n == 1 ? "" : "s"; }

// The first keyword that bound no parameter: doubled with a positional, not a
// str, or unknown, in the interpreter's wording.
void raise_leftover_keyword(const Signature& sig, const CallArgs& args, Py_ssize_t bound_positionally) {
  const Py_ssize_t nkw = args.keyword_count();
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject *name = nullptr, *value = nullptr;
    if (!args.keyword_at(k, &name, &value)) break;
    if (!PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return;
    }
    bool known = false;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
      const Param& p = sig.params[i];
      if (p.kind == ParamKind::PositionalOnly || PyUnicode_CompareWithASCIIString(name, p.name) != 0) continue;
      if (static_cast<Py_ssize_t>(i) < bound_positionally) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", sig.function,
                     p.name, static_cast<int>(i + 1));
        return;
      }
      known = true;
    }
    if (!known) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", name, sig.function);
      return;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an invalid keyword argument", sig.function);
}

}  // namespace

bool parse_arguments(const Signature& sig, const CallArgs& args, std::span<PyObject*> out) {
  Py_ssize_t max_pos = 0, min_pos = 0, min_posonly = 0;
  bool optional_seen = false;
  for (const Param& p : sig.params) {
    if (p.kind == ParamKind::KeywordOnly) continue;
    ++max_pos;
    if (p.required && !optional_seen) {
      ++min_pos;
      if (p.kind == ParamKind::PositionalOnly) ++min_posonly;
    } else {
      optional_seen = true;
    }
  }
  const Py_ssize_t max_args = static_cast<Py_ssize_t>(sig.params.size());
  const Py_ssize_t npos = args.positional_count();
  const Py_ssize_t nkw = args.keyword_count();

  if (!sig.varargs && npos + nkw > max_args) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d %sargument%s (%zd given)", sig.function,
                 static_cast<int>(max_args), npos == 0 ? "keyword " : "", plural(max_args), npos + nkw);
    return false;
  }
  if (!sig.varargs && npos > max_pos) {
    if (max_pos == 0)
      PyErr_Format(PyExc_TypeError, "%s() takes no positional arguments", sig.function);
    else
      PyErr_Format(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)", sig.function,
                   min_pos < max_pos ? "at most" : "exactly", static_cast<int>(max_pos), plural(max_pos), npos);
    return false;
  }
  if (npos < min_posonly) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)", sig.function,
                 (sig.varargs || min_posonly < max_pos) ? "at least" : "exactly", static_cast<int>(min_posonly),
                 plural(min_posonly), npos);
    return false;
  }

  const Py_ssize_t bound_positionally = npos < max_pos ? npos : max_pos;
  Py_ssize_t bound_by_keyword = 0;
  for (Py_ssize_t i = 0; i < max_args; ++i) {
    const Param& p = sig.params[i];
    PyObject* value = nullptr;
    if (i < bound_positionally) {
      value = args.positional(i);
    } else if (p.kind != ParamKind::PositionalOnly && nkw > 0) {
      value = args.keyword(p.name);
      if (value) ++bound_by_keyword;
    }
    if (!value && p.required) {
      if (p.kind == ParamKind::KeywordOnly)
        PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", sig.function, p.name);
      else
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", sig.function, p.name,
                     static_cast<int>(i + 1));
      return false;
    }
    out[i] = value;
  }
  if (bound_by_keyword < nkw && !sig.varkeywords) {
    raise_leftover_keyword(sig, args, bound_positionally);
    return false;
  }
  return true;
}

void raise_argument_error(const char* name, const char* message) {
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message);
}

void raise_argument_type_error(const char* name, const char* expected, PyObject* got) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(got)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %U", name, expected, type_name.get());
}

void raise_cast_type_error(PyObject* got, const char* target, const char* name) {
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(got)));
  if (!type_name) return;
  if (name)
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be cast as '%s'", name, type_name.get(), target);
  else
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", type_name.get(), target);
}

std::optional<std::string> utf8_text(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (!data) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> text_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_argument_type_error(name, "str", value);
    return std::nullopt;
  }
  return utf8_text(value);
}

}  // namespace quarvel_python
