// Fixed texts interned once, so arguments are recognised by identity: keyword
// names and literal option texts in calls are the interpreter's interned
// strings, and identity needs neither text conversion nor user code.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace quarvel_python {

template <std::size_t N>
class InternedTexts {
 public:
  explicit constexpr InternedTexts(std::array<const char*, N> texts) : texts_(texts) {}

  // The index of the text `value` is, by identity; -1 for any other object.
  int identity(PyObject* value) {
    if (!ready() || !value) return -1;
    for (std::size_t i = 0; i < N; ++i)
      if (value == interned_[i]) return static_cast<int>(i);
    return -1;
  }

  // The index of the text a str (a subclass included) holds; -1 for another
  // text. Compares characters without converting them: never fails, never
  // runs user code.
  int find(PyObject* text) {
    if (const int i = identity(text); i >= 0) return i;
    for (std::size_t i = 0; i < N; ++i)
      if (PyUnicode_CompareWithASCIIString(text, texts_[i]) == 0) return static_cast<int>(i);
    return -1;
  }

  const char* text(std::size_t i) const { return texts_[i]; }

 private:
  // Interned on first use and kept; a failure leaves identity matching off.
  bool ready() {
    if (interned_[0]) return true;
    std::array<PyObject*, N> made{};
    for (std::size_t i = 0; i < N; ++i) {
      made[i] = PyUnicode_InternFromString(texts_[i]);
      if (!made[i]) {
        for (PyObject* object : made) Py_XDECREF(object);
        PyErr_Clear();
        return false;
      }
    }
    interned_ = made;
    return true;
  }

  std::array<const char*, N> texts_;
  std::array<PyObject*, N> interned_{};
};

}  // namespace quarvel_python
