#include "python/scalar_object.h"

#include <array>
#include <complex>
#include <new>
#include <type_traits>

#include "python/errors.h"
#include "python/float_text.h"
#include "python/module.h"
#include "python/type_support.h"

namespace quarvel_python {

using quarvel_storage::ByteOrder;
using quarvel_storage::ComplexLongDoubleText;
using quarvel_storage::DType;
using quarvel_storage::Half;
using quarvel_storage::LongDoubleText;
using quarvel_storage::Scalar;

namespace {

// Every class shares one layout; the class says how to read the value.
struct PyScalarObject {
  PyObject_HEAD
  Scalar value;
  std::optional<ScalarAlias> alias;
};

PyScalarObject* as_scalar(PyObject* object) { return reinterpret_cast<PyScalarObject*>(object); }
const Scalar& value_of(PyObject* object) { return as_scalar(object)->value; }

// Class numbers in registration order: the dtype codes with the two long long
// classes inserted after UInt64.
enum ScalarClass : int {
  BoolClass, Int8Class, UInt8Class, Int16Class, UInt16Class, Int32Class, UInt32Class, Int64Class, UInt64Class,
  LongLongClass, ULongLongClass, Float16Class, Float32Class, Float64Class, Complex64Class, Complex128Class,
  LongDoubleClass, ComplexLongDoubleClass,
};
constexpr int scalar_class_count = 18;

int class_for(DType dtype, std::optional<ScalarAlias> hint) {
  if (dtype == DType::Int64 && hint == ScalarAlias::LongLong) return LongLongClass;
  if (dtype == DType::UInt64 && hint == ScalarAlias::ULongLong) return ULongLongClass;
  const int code = static_cast<int>(dtype.index());
  return code <= DType::UInt64 ? code : code + 2;
}

// --- values as Python numbers -------------------------------------------------

PyObject* python_value(const Scalar& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) return PyBool_FromLong(v);
        else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) return PyLong_FromLongLong(v);
        else if constexpr (std::is_integral_v<T>) return PyLong_FromUnsignedLongLong(v);
        else if constexpr (std::is_same_v<T, Half>) return PyFloat_FromDouble(v.value);
        else if constexpr (std::is_floating_point_v<T>) return PyFloat_FromDouble(v);
        else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>)
          return PyComplex_FromDoubles(v.real(), v.imag());
        else {
          PyErr_SetString(PyExc_TypeError, "long double scalars have no exact Python value");
          return nullptr;
        }
      },
      value.storage());
}

// The text a repr shows for the value.
std::string value_text(const Scalar& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) return v ? "true" : "false";
        else if constexpr (std::is_integral_v<T>) return std::to_string(v);
        else if constexpr (std::is_same_v<T, Half>) return float_text(v.value);
        else if constexpr (std::is_floating_point_v<T>) return float_text(v);
        else if constexpr (std::is_same_v<T, LongDoubleText>) return "'" + v.text + "'";
        else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) return "(" + v.re + ", " + v.im + ")";
        else return std::string("(").append(float_text(v.real())).append(", ").append(float_text(v.imag())) + ")";
      },
      value.storage());
}

// --- slots --------------------------------------------------------------------

PyTypeObject* scalar_class(int index);

void Scalar_dealloc(PyObject* self) {
  as_scalar(self)->value.~Scalar();
  free_instance(self);
}

PyRef new_scalar_object(int index, Scalar value, std::optional<ScalarAlias> alias) {
  PyTypeObject* type = scalar_class(index);
  if (!type) return {};
  PyRef object = PyRef::steal(allocate_instance(type));
  if (!object) return {};
  // The allocator zeroes the memory; the C++ members are built in place.
  new (&as_scalar(object.get())->value) Scalar(std::move(value));
  as_scalar(object.get())->alias = alias;
  return object;
}

PyObject* Scalar_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    const std::string text = value_text(value_of(self));
    return PyUnicode_FromFormat("quarvel.%U(%s)", name.get(), text.c_str());
  });
}

PyObject* Scalar_item(PyObject* self, PyObject*) { return python_value(value_of(self)); }
PyObject* Scalar_index(PyObject* self) { return python_value(value_of(self)); }

// Long double truth reads the text, which may allocate.
int Scalar_bool(PyObject* self) {
  return guarded<int>(-1, [&] { return value_of(self).truthy() ? 1 : 0; });
}

// int() and float() of the Python value: what the built-in int and float do
// with one argument that is a Python number, without looking them up.
template <PyObject* (*Convert)(PyObject*)>
PyObject* Scalar_number(PyObject* self) {
  PyRef number = PyRef::steal(python_value(value_of(self)));
  return number ? Convert(number.get()) : nullptr;
}

PyObject* Scalar_int(PyObject* self) { return Scalar_number<PyNumber_Long>(self); }
PyObject* Scalar_float(PyObject* self) { return Scalar_number<PyNumber_Float>(self); }

PyObject* Scalar_richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_scalar_object(self)) Py_RETURN_NOTIMPLEMENTED;
  PyRef number = PyRef::steal(python_value(value_of(self)));
  return number ? PyObject_RichCompare(number.get(), other, op) : nullptr;
}

PyObject* Scalar_get_dtype(PyObject* self, void*) {
  const PyScalarObject* s = as_scalar(self);
  const DType dtype = s->value.dtype();
  std::optional<ScalarAlias> alias = s->alias;
  if (PyTypeObject* t = Py_TYPE(self); t == scalar_class(LongLongClass)) alias = ScalarAlias::LongLong;
  else if (t == scalar_class(ULongLongClass)) alias = ScalarAlias::ULongLong;
  return new_dtype_object(dtype, default_byte_order(dtype), alias).release();
}

PyObject* LongDouble_copy(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] {
    const PyScalarObject* s = as_scalar(self);
    return new_scalar_object(class_for(s->value.dtype(), std::nullopt), s->value, s->alias).release();
  });
}

PyObject* LongDouble_str(PyObject* self) {
  const std::string& text = value_of(self).get<LongDoubleText>().text;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* LongDouble_float(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto parsed = quarvel_storage::parse_f64(value_of(self).get<LongDoubleText>().text);
    if (!parsed) {
      PyErr_SetString(PyExc_ValueError, "invalid long double scalar");
      return nullptr;
    }
    return PyFloat_FromDouble(*parsed);
  });
}

PyObject* ComplexLongDouble_complex(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& texts = value_of(self).get<ComplexLongDoubleText>();
    auto re = quarvel_storage::parse_f64(texts.re);
    auto im = quarvel_storage::parse_f64(texts.im);
    if (!re || !im) {
      PyErr_SetString(PyExc_ValueError, "invalid complex long double scalar");
      return nullptr;
    }
    return PyComplex_FromDoubles(*re, *im);
  });
}

template <std::string ComplexLongDoubleText::*Part>
PyObject* ComplexLongDouble_part(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&] {
    const std::string& text = value_of(self).get<ComplexLongDoubleText>().*Part;
    return new_scalar_object(LongDoubleClass, Scalar::long_double(text), std::nullopt).release();
  });
}

// --- class specifications -----------------------------------------------------

constexpr char item_doc[] = "item($self)\n--\n\nThe element as a Python bool, int, float or complex.";
// A Python float would round the 64-bit mantissa away.
constexpr char long_double_item_doc[] = "item($self)\n--\n\nA new scalar with the same value.";
constexpr char complex_doc[] = "__complex__($self)\n--\n\nThe element as a Python complex.";

PyMethodDef number_methods[] = {
    {"item", Scalar_item, METH_NOARGS, item_doc},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef complex_methods[] = {
    {"item", Scalar_item, METH_NOARGS, item_doc},
    {"__complex__", Scalar_item, METH_NOARGS, complex_doc},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef long_double_methods[] = {
    {"item", LongDouble_copy, METH_NOARGS, long_double_item_doc},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef complex_long_double_methods[] = {
    {"item", LongDouble_copy, METH_NOARGS, long_double_item_doc},
    {"__complex__", ComplexLongDouble_complex, METH_NOARGS, complex_doc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char dtype_doc[] = "The element's dtype.";
PyGetSetDef dtype_getset[] = {
    {"dtype", Scalar_get_dtype, nullptr, dtype_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef complex_long_double_getset[] = {
    {"dtype", Scalar_get_dtype, nullptr, dtype_doc, nullptr},
    {"real", ComplexLongDouble_part<&ComplexLongDoubleText::re>, nullptr, "The real part, a long double scalar.",
     nullptr},
    {"imag", ComplexLongDouble_part<&ComplexLongDoubleText::im>, nullptr,
     "The imaginary part, a long double scalar.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define QUARVEL_SCALAR_COMMON                                                                          \
  {Py_tp_dealloc, slot(Scalar_dealloc)}, {Py_tp_repr, slot(Scalar_repr)}, {Py_nb_bool, slot(Scalar_bool)}

PyType_Slot integer_slots[] = {
    QUARVEL_SCALAR_COMMON,
    {Py_tp_doc, const_cast<char*>("A value of an integer dtype; item() gives the Python int.")},
    {Py_nb_int, slot(Scalar_int)},
    {Py_nb_float, slot(Scalar_float)},
    {Py_nb_index, slot(Scalar_index)},
    {Py_tp_richcompare, slot(Scalar_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_methods, number_methods},
    {Py_tp_getset, dtype_getset},
    {0, nullptr},
};
// Bool and the binary floats: numbers without __index__.
PyType_Slot real_slots[] = {
    QUARVEL_SCALAR_COMMON,
    {Py_tp_doc, const_cast<char*>("A value of the bool or a binary floating-point dtype; item() gives the Python "
                                  "bool or float.")},
    {Py_nb_int, slot(Scalar_int)},
    {Py_nb_float, slot(Scalar_float)},
    {Py_tp_richcompare, slot(Scalar_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_methods, number_methods},
    {Py_tp_getset, dtype_getset},
    {0, nullptr},
};
PyType_Slot complex_slots[] = {
    QUARVEL_SCALAR_COMMON,
    {Py_tp_doc, const_cast<char*>("A value of a complex dtype; item() gives the Python complex.")},
    {Py_tp_richcompare, slot(Scalar_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_methods, complex_methods},
    {Py_tp_getset, dtype_getset},
    {0, nullptr},
};
// No comparison of their own: the long double classes compare and hash by identity.
PyType_Slot long_double_slots[] = {
    QUARVEL_SCALAR_COMMON,
    {Py_tp_doc, const_cast<char*>("A value of the 80-bit long double dtype; str() gives its decimal text.")},
    {Py_tp_str, slot(LongDouble_str)},
    {Py_nb_float, slot(LongDouble_float)},
    {Py_tp_methods, long_double_methods},
    {Py_tp_getset, dtype_getset},
    {0, nullptr},
};
PyType_Slot complex_long_double_slots[] = {
    QUARVEL_SCALAR_COMMON,
    {Py_tp_doc, const_cast<char*>("A value of the complex long double dtype; real and imag give its parts.")},
    {Py_tp_methods, complex_long_double_methods},
    {Py_tp_getset, complex_long_double_getset},
    {0, nullptr},
};
#undef QUARVEL_SCALAR_COMMON

constexpr unsigned long scalar_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

#define QUARVEL_SCALAR_SPEC(name, slots) \
  PyType_Spec { "quarvel." name, sizeof(PyScalarObject), 0, scalar_flags, slots }

PyType_Spec scalar_specs[scalar_class_count] = {
    QUARVEL_SCALAR_SPEC("BoolScalar", real_slots),
    QUARVEL_SCALAR_SPEC("Int8Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("UInt8Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("Int16Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("UInt16Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("Int32Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("UInt32Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("Int64Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("UInt64Scalar", integer_slots),
    QUARVEL_SCALAR_SPEC("LongLongScalar", integer_slots),
    QUARVEL_SCALAR_SPEC("ULongLongScalar", integer_slots),
    QUARVEL_SCALAR_SPEC("Float16Scalar", real_slots),
    QUARVEL_SCALAR_SPEC("Float32Scalar", real_slots),
    QUARVEL_SCALAR_SPEC("Float64Scalar", real_slots),
    QUARVEL_SCALAR_SPEC("Complex64Scalar", complex_slots),
    QUARVEL_SCALAR_SPEC("Complex128Scalar", complex_slots),
    QUARVEL_SCALAR_SPEC("LongDoubleScalar", long_double_slots),
    QUARVEL_SCALAR_SPEC("ComplexLongDoubleScalar", complex_long_double_slots),
};
#undef QUARVEL_SCALAR_SPEC

// Made on first use and kept for the life of the process.
PyTypeObject* scalar_classes[scalar_class_count] = {};

PyTypeObject* scalar_class(int index) { return cached_type(scalar_classes[index], scalar_specs[index]); }

bool has_class(PyObject* object, int index) {
  PyTypeObject* type = scalar_class(index);
  if (!type) PyErr_Clear();
  return type && Py_IS_TYPE(object, type);
}

}  // namespace

PyRef scalar_to_python(const Scalar& value, std::optional<ScalarAlias> hint) {
  // Copying long double texts may throw; callers need not be guarded.
  return guarded<PyRef>(PyRef(), [&] { return new_scalar_object(class_for(value.dtype(), hint), value, std::nullopt); });
}

bool is_scalar_object(PyObject* object) {
  // All 18 classes, and only they, share this deallocator: one test instead of 18.
  return type_slot<destructor>(Py_TYPE(object), Py_tp_dealloc) == Scalar_dealloc;
}

std::optional<Scalar> scalar_object_value(PyObject* object) {
  if (!is_scalar_object(object)) return std::nullopt;
  return value_of(object);
}

std::optional<std::string> long_double_scalar_text(PyObject* object) {
  if (!has_class(object, LongDoubleClass)) return std::nullopt;
  return value_of(object).get<LongDoubleText>().text;
}

std::optional<std::pair<std::string, std::string>> complex_long_double_scalar_texts(PyObject* object) {
  if (!has_class(object, ComplexLongDoubleClass)) return std::nullopt;
  const auto& texts = value_of(object).get<ComplexLongDoubleText>();
  return std::pair{texts.re, texts.im};
}

std::optional<bool> bool_scalar_value(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;  // bool cannot be subclassed
  if (has_class(object, BoolClass)) return value_of(object).get<bool>();
  return std::nullopt;
}

int add_scalar_classes(PyObject* module) {
  for (int i = 0; i < scalar_class_count; ++i)
    if (add_class(module, scalar_class(i)) < 0) return -1;
  return 0;
}

}  // namespace quarvel_python
