#include "python/ufunc/operators.h"

#include "kernels/ops.h"
#include "python/array_object.h"
#include "python/py_ref.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/small_call.h"

namespace quarvel_python::ufunc {

namespace {

// A second Array over the operand's elements, so the engine never holds the
// object the slot was called on.
PyRef twin(PyObject* array) {
  const PyArray* source = as_array(array);
  return PyRef::steal(new_array_object(source->view, source->alias));
}

// The small-call path first, on the operands themselves: it keeps no
// reference to them beyond the call and writes in place through the same view.
std::optional<PyObject*> small_operator_call(std::span<PyObject* const> operands, std::string_view name,
                                             PyObject* out) {
  const std::optional<quarvel_kernels::Op> op = quarvel_kernels::op_from_name(name);
  if (!op) return std::nullopt;
  return small_call(*op, name, operands, out);
}

PyObject* binary_call(PyObject* array, PyObject* other, std::string_view name, std::size_t nout, bool reflected,
                      bool in_place) {
  PyObject* const operands[] = {reflected ? other : array, reflected ? array : other};
  if (auto served = small_operator_call(operands, name, in_place ? array : nullptr)) return *served;
  PyRef self = twin(array);
  if (!self) return nullptr;
  PyRef args = PyRef::steal(reflected ? PyTuple_Pack(2, other, self.get()) : PyTuple_Pack(2, self.get(), other));
  if (!args) return nullptr;
  PyRef kwargs;
  if (in_place) {
    kwargs = PyRef::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "out", self.get()) < 0) return nullptr;
  }
  return call(name, 2, nout, args.get(), kwargs.get());
}

}  // namespace

PyObject* operator_call(PyObject* array, PyObject* other, std::string_view name, bool reflected, bool in_place) {
  return binary_call(array, other, name, 1, reflected, in_place);
}

PyObject* unary_operator_call(PyObject* array, std::string_view name) {
  if (auto served = small_operator_call(std::span(&array, 1), name, nullptr)) return *served;
  PyRef self = twin(array);
  if (!self) return nullptr;
  PyRef args = PyRef::steal(PyTuple_Pack(1, self.get()));
  if (!args) return nullptr;
  return call(name, 1, 1, args.get(), nullptr);
}

PyObject* divmod_operator_call(PyObject* array, PyObject* other, bool reflected) {
  return binary_call(array, other, "divmod", 2, reflected, false);
}

}  // namespace quarvel_python::ufunc
