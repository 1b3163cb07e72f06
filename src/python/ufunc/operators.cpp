#include "python/ufunc/operators.h"

#include "kernels/ops.h"
#include "python/ufunc/engines.h"

namespace quarvel_python::ufunc {

namespace {

// The engine takes the operands as they are: it copies an array's view and
// keeps no reference to the object, so no second object over the same
// elements is needed. The in-place forms pass the array as the positional
// output, which for one output is the `out` keyword; the engine returns it.
PyObject* binary_call(PyObject* array, PyObject* other, quarvel_kernels::Op op, std::string_view name,
                      std::size_t nout, bool reflected, bool in_place) {
  PyObject* const args[] = {reflected ? other : array, reflected ? array : other, array};
  return call(op, name, 2, nout, args, in_place ? 3 : 2, nullptr);
}

}  // namespace

PyObject* operator_call(PyObject* array, PyObject* other, quarvel_kernels::Op op, std::string_view name, bool reflected,
                        bool in_place) {
  return binary_call(array, other, op, name, 1, reflected, in_place);
}

PyObject* unary_operator_call(PyObject* array, quarvel_kernels::Op op, std::string_view name) {
  return call(op, name, 1, 1, &array, 1, nullptr);
}

PyObject* divmod_operator_call(PyObject* array, PyObject* other, bool reflected) {
  return binary_call(array, other, quarvel_kernels::Op::divmod, "divmod", 2, reflected, false);
}

}  // namespace quarvel_python::ufunc
