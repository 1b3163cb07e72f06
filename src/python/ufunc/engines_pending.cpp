// Stand-ins for the engines not built yet; each engine's author deletes its
// stand-in when the engine lands.
#include "python/errors.h"
#include "python/ufunc/engines.h"

namespace quarvel_python::ufunc {

namespace {

constexpr char pending[] = "ufunc engine not built yet";

}  // namespace

PyObject* outer_method(std::string_view, PyObject*, PyObject*) { return raise_null(PyExc_NotImplementedError, pending); }

PyObject* at_method(std::string_view, PyObject* const*, Py_ssize_t, PyObject*) {
  return raise_null(PyExc_NotImplementedError, pending);
}

}  // namespace quarvel_python::ufunc
