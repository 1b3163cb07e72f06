// Nested value conversion: Python input to shapes and Scalars.
#include "python/convert.h"

#include <cmath>
#include <span>
#include <string>

#include "python/array_object.h"
#include "python/error_tables.h"
#include "python/errors.h"
#include "python/scalar_object.h"

namespace quarvel_python {

using quarvel_storage::DType;
using quarvel_storage::Scalar;
using quarvel_storage::Shape;
using quarvel_storage::View;

namespace {

constexpr const char* not_numeric = "numeric arrays accept Python bool, int, float, and complex scalar values";

bool fail_value(const char* text) { return raise_false(PyExc_ValueError, text); }

// Lookups that may fail quietly still let interrupts and recursion limits through.
bool error_is_discardable() {
  return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_RecursionError);
}

// Keeps a hint only when the collected values still infer to its dtype.
std::optional<ScalarAlias> hint_for_values(std::optional<ScalarAlias> hint, std::span<const Scalar> values) {
  if (!hint) return std::nullopt;
  return alias_fits(*hint, infer_dtype(values)) ? hint : std::nullopt;
}

// Recursive worker of flatten: appends into one value list.
bool flatten_into(PyObject* object, std::optional<DType> target, int depth, Shape& shape,
                  std::vector<Scalar>& values, std::optional<ScalarAlias>& hint) {
  if (depth > max_nesting_depth) return fail_value(nesting_too_deep);
  if (is_array(object)) {
    const View& view = as_array(object)->view;
    auto snapshot = array_elements(view, target);
    if (!snapshot) return false;
    shape = view.shape;
    values.insert(values.end(), std::make_move_iterator(snapshot->begin()), std::make_move_iterator(snapshot->end()));
    hint = as_array(object)->alias;
    return true;
  }
  if (!is_nested_sequence(object)) {
    auto value = target ? value_to_scalar(object, *target) : value_to_untyped_scalar(object);
    if (!value) return false;
    values.push_back(std::move(*value));
    shape.clear();
    // Plain Python numbers never carry an alias; skip the attribute lookups.
    const bool plain = PyLong_CheckExact(object) || PyBool_Check(object) || PyFloat_CheckExact(object) ||
                       PyComplex_CheckExact(object);
    hint = plain ? std::nullopt : scalar_alias_from_value(object);
    return true;
  }
  const std::size_t first_value = values.size();
  std::optional<ScalarAlias> combined;
  bool hints_disagree = false;
  const bool walked = walk_nested(object, depth, shape, PyExc_ValueError, ragged_input,
                                  [&](PyObject* item, int item_depth, Shape& item_shape) {
                                    std::optional<ScalarAlias> item_hint;
                                    if (!flatten_into(item, target, item_depth, item_shape, values, item_hint))
                                      return false;
                                    if (item_hint && combined && *combined != *item_hint) hints_disagree = true;
                                    if (item_hint && !combined) combined = item_hint;
                                    return true;
                                  });
  if (!walked) return false;
  hint.reset();
  if (!hints_disagree) hint = hint_for_values(combined, std::span<const Scalar>(values).subspan(first_value));
  return true;
}

bool validate_into(PyObject* object, int depth, Shape& shape) {
  if (depth > max_nesting_depth) return fail_value(nesting_too_deep);
  if (is_array(object)) {
    shape = as_array(object)->view.shape;
    return true;
  }
  if (!is_nested_sequence(object)) {
    shape.clear();
    return true;
  }
  return walk_nested(object, depth, shape, PyExc_ValueError, ragged_input, validate_into);
}

// Step 7 of the untyped conversion: a quarvel object with a DType `dtype`.
// Returns nullopt without an error when the step does not apply.
std::optional<std::optional<Scalar>> quarvel_object_value(PyObject* object) {
  auto discard = []() -> std::optional<std::optional<Scalar>> {
    if (!error_is_discardable()) return std::optional<Scalar>();  // a final error
    PyErr_Clear();
    return std::nullopt;
  };
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module) return discard();
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "quarvel") != 0)
    return std::nullopt;
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
  if (!dtype) return discard();
  auto spec = dtype_object_spec(dtype.get());
  if (!spec) return std::nullopt;
  PyRef item = PyRef::steal(PyObject_CallMethod(object, "item", nullptr));
  if (!item) return discard();
  auto value = value_to_untyped_scalar(item.get());
  if (!value) return std::optional<Scalar>();
  return std::optional<std::optional<Scalar>>(storage_value(value->cast(spec->dtype)));
}

bool integer_in_range(DType target, long long signed_value, bool negative, unsigned long long unsigned_value) {
  const unsigned bits = target.integer_bits();
  if (target.is_signed_integer()) {
    if (!negative && unsigned_value > static_cast<unsigned long long>(INT64_MAX)) return false;
    const long long value = negative ? signed_value : static_cast<long long>(unsigned_value);
    if (bits == 64) return true;
    const long long limit = 1LL << (bits - 1);
    return value >= -limit && value < limit;
  }
  if (negative) return false;
  return bits == 64 || unsigned_value < (1ULL << bits);
}

template <class Int>
Scalar integer_scalar(unsigned long long bits) {
  return Scalar(static_cast<Int>(bits));
}

// An in-range Python int as a Scalar of integer dtype `target`.
Scalar make_integer(DType target, bool negative, long long signed_value, unsigned long long unsigned_value) {
  const unsigned long long bits = negative ? static_cast<unsigned long long>(signed_value) : unsigned_value;
  switch (target.code) {
    case DType::Int8: return integer_scalar<std::int8_t>(bits);
    case DType::UInt8: return integer_scalar<std::uint8_t>(bits);
    case DType::Int16: return integer_scalar<std::int16_t>(bits);
    case DType::UInt16: return integer_scalar<std::uint16_t>(bits);
    case DType::Int32: return integer_scalar<std::int32_t>(bits);
    case DType::UInt32: return integer_scalar<std::uint32_t>(bits);
    case DType::Int64: return integer_scalar<std::int64_t>(bits);
    default: return integer_scalar<std::uint64_t>(bits);
  }
}

std::optional<Scalar> python_int_to_integer(PyObject* object, DType target) {
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return std::nullopt;
  unsigned long long unsigned_value = 0;
  bool negative = false;
  if (overflow == 0) {
    negative = signed_value < 0;
    unsigned_value = negative ? 0 : static_cast<unsigned long long>(signed_value);
  } else if (overflow > 0) {
    unsigned_value = PyLong_AsUnsignedLongLong(object);
    if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
      PyErr_Clear();
      overflow = 2;
    }
  }
  if (overflow < 0 || overflow == 2 || !integer_in_range(target, signed_value, negative, unsigned_value)) {
    raise_exception(python_int_range_error());
    return std::nullopt;
  }
  return make_integer(target, negative, signed_value, unsigned_value);
}

bool is_binary_float_or_small_complex(DType target) {
  return target.is_binary_float() || target == DType::Complex64 || target == DType::Complex128;
}

bool is_real_target(DType target) {
  const char kind = target.kind();
  return kind == 'f' || kind == 'i' || kind == 'u';
}

// Float to integer range check on the truncated value.
bool float_fits_integer(double value, DType target) {
  const double r = std::trunc(value);
  const int bits = static_cast<int>(target.integer_bits());
  if (target.is_signed_integer()) return r >= -std::ldexp(1.0, bits - 1) && r < std::ldexp(1.0, bits - 1);
  return r >= 0.0 && r < std::ldexp(1.0, bits);
}

// The same check on the exact integer part of long double text, whose nearest
// double can round across a 64-bit bound (2^63 - 1 reads as 2^63). Absent when
// the text has no plain integer part; the double then decides.
std::optional<bool> text_fits_integer(const std::string& text, DType target) {
  const auto truncated = quarvel_storage::decimal_to_i128(text);
  if (!truncated) return std::nullopt;
  const __int128 one = 1;
  const unsigned bits = target.integer_bits();
  if (target.is_signed_integer()) return *truncated >= -(one << (bits - 1)) && *truncated < (one << (bits - 1));
  return *truncated >= 0 && *truncated < (one << bits);
}

}  // namespace

std::string shape_text(const std::vector<std::uint64_t>& shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

bool is_nested_sequence(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

std::vector<PyRef> stored_items(PyObject* object) {
  const bool list = PyList_Check(object);
  const Py_ssize_t size = list ? PyList_Size(object) : PyTuple_Size(object);
  std::vector<PyRef> items;
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i)
    items.push_back(PyRef::borrow(list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i)));
  return items;
}

std::optional<std::vector<PyRef>> sequence_items(PyObject* object) {
  // Exact lists and tuples iterate over their own storage; subclasses may
  // define their own iteration.
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return stored_items(object);
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  std::vector<PyRef> items;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    items.push_back(std::move(item));
    // An iterator written in C that never ends runs no bytecode, so nothing
    // else would notice an interrupt before memory runs out.
    if (items.size() % 4096 == 0 && PyErr_CheckSignals() < 0) return std::nullopt;
  }
  if (PyErr_Occurred()) return std::nullopt;
  return items;
}

std::optional<Shape> validate_rectangular_input(PyObject* object, int depth) {
  Shape shape;
  if (!validate_into(object, depth, shape)) return std::nullopt;
  return shape;
}

std::optional<Flattened> flatten(PyObject* object, std::optional<DType> target, int depth) {
  Flattened result;
  if (!flatten_into(object, target, depth, result.shape, result.values, result.alias_hint)) return std::nullopt;
  return result;
}

std::optional<Scalar> value_to_untyped_scalar(PyObject* object) {
  if (auto text = long_double_scalar_text(object)) return Scalar::long_double(*text);
  if (auto texts = complex_long_double_scalar_texts(object)) return Scalar::complex_long_double(texts->first, texts->second);
  if (PyBool_Check(object)) return Scalar(object == Py_True);
  if (PyLong_Check(object)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) return std::nullopt;
    if (overflow == 0) return Scalar(static_cast<std::int64_t>(value));
    if (overflow > 0) {
      const unsigned long long big = PyLong_AsUnsignedLongLong(object);
      if (!(big == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
        return Scalar(static_cast<std::uint64_t>(big));
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
      PyErr_Clear();
    }
    PyErr_SetString(PyExc_OverflowError, "Python int is outside the supported 64-bit numeric range");
    return std::nullopt;
  }
  if (PyFloat_Check(object)) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Scalar(value);
  }
  if (PyComplex_Check(object)) {
    const double re = PyComplex_RealAsDouble(object);
    if (re == -1.0 && PyErr_Occurred()) return std::nullopt;
    const double im = PyComplex_ImagAsDouble(object);
    if (im == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Scalar(std::complex<double>(re, im));
  }
  // The scalar classes are immutable and hold their value: what the dtype and
  // item() lookups below would rebuild, read directly.
  if (auto value = scalar_object_value(object)) return value;
  // An object's item() may hand back a fresh object each time: bound the
  // recursion so such input raises RecursionError instead of exhausting the stack.
  if (Py_EnterRecursiveCall(" while converting a value to an array element")) return std::nullopt;
  std::optional<Scalar> result;
  if (auto quarvel_value = quarvel_object_value(object)) {
    result = std::move(*quarvel_value);
  } else if (!PyErr_Occurred()) {
    PyRef item = PyRef::steal(PyObject_CallMethod(object, "item", nullptr));
    if (item && item.get() != object) {
      result = value_to_untyped_scalar(item.get());
    } else if (!item && !error_is_discardable()) {
      // interrupts and recursion limits pass through
    } else {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, not_numeric);
    }
  }
  Py_LeaveRecursiveCall();
  return result;
}

std::optional<Scalar> value_to_scalar(PyObject* object, DType target) {
  const bool exact_bool = PyBool_Check(object);
  if (target == DType::Bool && PyLong_Check(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return std::nullopt;
    return Scalar(truth != 0);
  }
  if (target.is_integer() && PyLong_Check(object) && !exact_bool) return python_int_to_integer(object, target);
  if (is_binary_float_or_small_complex(target) && PyLong_Check(object) && !exact_bool) {
    const double value = PyLong_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
      if (!error_is_discardable()) return std::nullopt;
      PyErr_Clear();
    } else {
      const Scalar wide(value);
      if (!warn_scalar_cast_overflow(wide, target)) return std::nullopt;
      return storage_value(wide.cast(target));
    }
  }
  auto value = value_to_untyped_scalar(object);
  if (!value) return std::nullopt;
  const DType source = value->dtype();
  if (source.is_complex() && is_real_target(target)) {
    PyErr_SetString(PyExc_TypeError, "cannot cast a complex scalar to a real dtype");
    return std::nullopt;
  }
  if (target.is_integer()) {
    if (auto as_double = value->as_f64()) {
      if (std::isnan(*as_double)) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        return std::nullopt;
      }
      if (std::isinf(*as_double)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        return std::nullopt;
      }
    }
    if (source.kind() == 'f') {
      std::optional<bool> fits;
      if (const auto* long_double = value->get_if<quarvel_storage::LongDoubleText>())
        fits = text_fits_integer(long_double->text, target);
      if (!fits) {
        auto as_double = storage_value(value->as_f64());
        if (!as_double) return std::nullopt;
        fits = float_fits_integer(*as_double, target);
      }
      if (!*fits) {
        PyErr_SetString(PyExc_OverflowError, "Python float is outside the requested dtype range");
        return std::nullopt;
      }
    }
  }
  if (!warn_scalar_cast_overflow(*value, target)) return std::nullopt;
  return storage_value(value->cast(target));
}

bool warn_view_cast_overflow(const View& view, DType target) {
  const char kind = target.kind();
  const bool integer = kind == 'i' || kind == 'u';
  if (!integer && !cast_overflow_limit(target)) return true;
  auto values = storage_value(view.snapshot());
  if (!values) return false;
  for (const Scalar& value : *values) {
    // Stack level 1 from C is the Python line that called in.
    if (integer && value.integer_cast_is_invalid(target))
      return PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) == 0;
    if (!integer && cast_overflows(value, target)) return emit_cast_overflow_warning();
  }
  return true;
}

bool warn_before_view_cast(const View& view, DType target) {
  if (view.dtype == target) return true;
  if (view.dtype.is_complex() && is_real_target(target) && !emit_complex_warning()) return false;
  return warn_view_cast_overflow(view, target);
}

std::optional<std::vector<Scalar>> array_elements(const View& view, std::optional<DType> target) {
  auto values = storage_value(view.snapshot());
  if (!values) return std::nullopt;
  if (target && *target != view.dtype) {
    if (!warn_before_view_cast(view, *target) || !cast_values(*values, *target)) return std::nullopt;
  }
  return values;
}

bool cast_values(std::vector<Scalar>& values, DType target) {
  for (Scalar& value : values) {
    if (value.dtype() == target) continue;
    auto cast = storage_value(value.cast(target));
    if (!cast) return false;
    value = std::move(*cast);
  }
  return true;
}

}  // namespace quarvel_python
