// The Array's arithmetic, bitwise, shift, comparison and unary operators: each
// is a ufunc call through the bridges of the ufunc layer.
//
// A binary slot takes the left operand as the array when it is one, else the
// right one (reflected); the bridges never return NotImplemented, so an operand
// the ufunc layer cannot convert raises its error rather than falling back.
#include <span>

#include "python/array_object.h"
#include "python/errors.h"
#include "python/type_support.h"
#include "python/ufunc/operators.h"

namespace quarvel_python {

namespace {

using ufunc::divmod_operator_call;
using ufunc::operator_call;
using ufunc::unary_operator_call;

PyObject* not_implemented() { return Py_NewRef(Py_NotImplemented); }

bool refuse_modulus(PyObject* modulus) {
  if (modulus == Py_None) return true;
  PyErr_SetString(PyExc_TypeError, "modular power is not supported for arrays");
  return false;
}

// The operation of a slot's name, found when the slot is compiled.
template <const char* Name>
constexpr quarvel_kernels::Op op_of = *quarvel_kernels::op_from_name(Name);

template <const char* Name>
PyObject* binary_slot(PyObject* left, PyObject* right) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (is_array(left)) return operator_call(left, right, op_of<Name>, Name, false, false);
    if (is_array(right)) return operator_call(right, left, op_of<Name>, Name, true, false);
    return not_implemented();
  });
}

template <const char* Name>
PyObject* in_place_slot(PyObject* self, PyObject* other) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_array(self)) return not_implemented();
    PyRef result = PyRef::steal(operator_call(self, other, op_of<Name>, Name, false, true));
    return result ? Py_NewRef(self) : nullptr;
  });
}

template <const char* Name>
PyObject* unary_slot(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return unary_operator_call(self, op_of<Name>, Name); });
}

constexpr char add[] = "add", subtract[] = "subtract", multiply[] = "multiply", true_divide[] = "true_divide",
               floor_divide[] = "floor_divide", remainder[] = "remainder", power[] = "power",
               left_shift[] = "left_shift", right_shift[] = "right_shift", bitwise_and[] = "bitwise_and",
               bitwise_or[] = "bitwise_or", bitwise_xor[] = "bitwise_xor", negative[] = "negative",
               positive[] = "positive", absolute[] = "absolute", invert[] = "invert";

PyObject* Array_power(PyObject* left, PyObject* right, PyObject* modulus) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (is_array(left))
      return refuse_modulus(modulus) ? operator_call(left, right, op_of<power>, power, false, false) : nullptr;
    if (is_array(right))
      return refuse_modulus(modulus) ? operator_call(right, left, op_of<power>, power, true, false) : nullptr;
    return not_implemented();
  });
}

PyObject* Array_inplace_power(PyObject* self, PyObject* other, PyObject* modulus) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_array(self)) return not_implemented();
    if (!refuse_modulus(modulus)) return nullptr;
    PyRef result = PyRef::steal(operator_call(self, other, op_of<power>, power, false, true));
    return result ? Py_NewRef(self) : nullptr;
  });
}

PyObject* Array_divmod(PyObject* left, PyObject* right) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (is_array(left)) return divmod_operator_call(left, right, false);
    if (is_array(right)) return divmod_operator_call(right, left, true);
    return not_implemented();
  });
}

constexpr const char* comparison_names[] = {"less", "less_equal", "equal", "not_equal", "greater", "greater_equal"};
constexpr quarvel_kernels::Op comparison_ops[] = {quarvel_kernels::Op::less,      quarvel_kernels::Op::less_equal,
                                                  quarvel_kernels::Op::equal,     quarvel_kernels::Op::not_equal,
                                                  quarvel_kernels::Op::greater,   quarvel_kernels::Op::greater_equal};

PyObject* Array_richcompare(PyObject* self, PyObject* other, int code) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_array(self) || code < 0 || code > 5) return not_implemented();
    return operator_call(self, other, comparison_ops[code], comparison_names[code], false, false);
  });
}

const PyType_Slot operator_slots[] = {
    {Py_nb_add, slot(binary_slot<add>)},
    {Py_nb_subtract, slot(binary_slot<subtract>)},
    {Py_nb_multiply, slot(binary_slot<multiply>)},
    {Py_nb_true_divide, slot(binary_slot<true_divide>)},
    {Py_nb_floor_divide, slot(binary_slot<floor_divide>)},
    {Py_nb_remainder, slot(binary_slot<remainder>)},
    {Py_nb_power, slot(Array_power)},
    {Py_nb_lshift, slot(binary_slot<left_shift>)},
    {Py_nb_rshift, slot(binary_slot<right_shift>)},
    {Py_nb_and, slot(binary_slot<bitwise_and>)},
    {Py_nb_or, slot(binary_slot<bitwise_or>)},
    {Py_nb_xor, slot(binary_slot<bitwise_xor>)},
    {Py_nb_divmod, slot(Array_divmod)},
    {Py_nb_inplace_add, slot(in_place_slot<add>)},
    {Py_nb_inplace_subtract, slot(in_place_slot<subtract>)},
    {Py_nb_inplace_multiply, slot(in_place_slot<multiply>)},
    {Py_nb_inplace_true_divide, slot(in_place_slot<true_divide>)},
    {Py_nb_inplace_floor_divide, slot(in_place_slot<floor_divide>)},
    {Py_nb_inplace_remainder, slot(in_place_slot<remainder>)},
    {Py_nb_inplace_power, slot(Array_inplace_power)},
    {Py_nb_inplace_and, slot(in_place_slot<bitwise_and>)},
    {Py_nb_inplace_or, slot(in_place_slot<bitwise_or>)},
    {Py_nb_inplace_xor, slot(in_place_slot<bitwise_xor>)},
    {Py_nb_inplace_lshift, slot(in_place_slot<left_shift>)},
    {Py_nb_inplace_rshift, slot(in_place_slot<right_shift>)},
    {Py_nb_negative, slot(unary_slot<negative>)},
    {Py_nb_positive, slot(unary_slot<positive>)},
    {Py_nb_absolute, slot(unary_slot<absolute>)},
    {Py_nb_invert, slot(unary_slot<invert>)},
    {Py_tp_richcompare, slot(Array_richcompare)},
};

}  // namespace

std::span<const PyType_Slot> array_operator_slots() { return operator_slots; }

}  // namespace quarvel_python
