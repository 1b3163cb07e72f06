// Stand-ins for the engines not built yet; each engine's author deletes its
// stand-in when the engine lands.
#include "python/errors.h"
#include "python/ufunc/engines.h"

namespace quarvel_python::ufunc {

namespace {

constexpr char pending[] = "ufunc engine not built yet";

}  // namespace

PyObject* call(std::string_view, std::size_t, std::size_t, PyObject*, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

PyObject* reduce_method(std::string_view, PyObject*, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

PyObject* accumulate_method(std::string_view, PyObject*, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

PyObject* reduceat_method(std::string_view, PyObject*, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

PyObject* outer_method(std::string_view, PyObject*, PyObject*) { return raise_null(PyExc_NotImplementedError, pending); }

PyObject* at_method(std::string_view, PyObject* const*, Py_ssize_t, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

}  // namespace quarvel_python::ufunc
