// Nested value conversion: Python input to shapes and Scalars.
#include "python/convert.h"

#include <cmath>
#include <complex>
#include <limits>
#include <type_traits>
#include <span>
#include <string>

#include "python/array_object.h"
#include "python/element_path.h"
#include "python/error_tables.h"
#include "python/errors.h"
#include "python/scalar_object.h"
#include "storage/cast.h"
#include "storage/convert_loop.h"
#include "storage/element.h"
#include "storage/visit.h"

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

// Sorts one leaf for the typed fill: a plain Python number adds its dtype to
// the running promotion; a scalar object needs a target; anything else (an
// array, another object, an int beyond 64 bits) leaves it to the Scalar path.
void scan_leaf(PyObject* object, NestedInput& scan) {
  std::optional<DType> dtype;
  if (PyBool_Check(object)) {
    dtype = DType::Bool;
  } else if (PyLong_CheckExact(object)) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
      dtype = DType::Int64;
    } else if (overflow > 0) {
      PyLong_AsUnsignedLongLong(object);
      if (PyErr_Occurred()) PyErr_Clear();
      else dtype = DType::UInt64;
    }
  } else if (PyFloat_CheckExact(object)) {
    dtype = DType::Float64;
  } else if (PyComplex_CheckExact(object)) {
    dtype = DType::Complex128;
  } else if (is_scalar_object(object)) {
    scan.scalar_objects = true;
    return;
  }
  if (!dtype) {
    scan.plain = false;
    return;
  }
  if (scan.inferred != dtype) scan.inferred = scan.inferred ? DType::promote(*scan.inferred, *dtype) : *dtype;
}

// The common case of validate_into with a scan, run first: exact lists and
// tuples of plain leaves, read through borrowed references since nothing here
// runs Python code. False at the first thing it does not take (anything not
// plain, raggedness, too deep nesting), with nothing reported and nothing
// run: the general walk then starts over and reports what it meets.
bool quick_scan(PyObject* object, int depth, Shape& shape, NestedInput& scan) {
  if (depth > max_nesting_depth) return false;
  const bool list = PyList_CheckExact(object);
  if (!list && !PyTuple_CheckExact(object)) {
    if (is_array(object) || is_nested_sequence(object)) return false;
    shape.clear();
    scan_leaf(object, scan);
    return scan.plain;
  }
  const Py_ssize_t size = list ? PyList_Size(object) : PyTuple_Size(object);
  Shape first, item_shape;
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i);
    if (!PyList_CheckExact(item) && !PyTuple_CheckExact(item)) {
      // A leaf, scanned in place: its shape is empty.
      if (depth + 1 > max_nesting_depth || is_array(item) || is_nested_sequence(item)) return false;
      if (i > 0 && !first.empty()) return false;
      scan_leaf(item, scan);
      if (!scan.plain) return false;
      continue;
    }
    if (!quick_scan(item, depth + 1, item_shape, scan)) return false;
    if (i == 0) first = item_shape;
    else if (item_shape != first) return false;
  }
  shape.assign(1, static_cast<std::uint64_t>(size));
  shape.insert(shape.end(), first.begin(), first.end());
  return true;
}

bool validate_into(PyObject* object, int depth, Shape& shape, NestedInput* scan) {
  if (depth > max_nesting_depth) return fail_value(nesting_too_deep);
  if (is_array(object)) {
    shape = as_array(object)->view.shape;
    if (scan) scan->plain = false;
    return true;
  }
  if (!is_nested_sequence(object)) {
    shape.clear();
    if (scan && scan->plain) scan_leaf(object, *scan);
    return true;
  }
  // Subclasses may run code while they are walked.
  if (scan && !PyList_CheckExact(object) && !PyTuple_CheckExact(object)) scan->plain = false;
  return walk_nested(object, depth, shape, PyExc_ValueError, ragged_input,
                     [&](PyObject* item, int item_depth, Shape& item_shape) {
                       return validate_into(item, item_depth, item_shape, scan);
                     });
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

// An in-range Python int as an element of integer type T; OverflowError
// otherwise.
template <class T>
bool python_int_to_element(PyObject* object, DType target, T& out) {
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return false;
  unsigned long long unsigned_value = 0;
  bool negative = false;
  if (overflow == 0) {
    negative = signed_value < 0;
    unsigned_value = negative ? 0 : static_cast<unsigned long long>(signed_value);
  } else if (overflow > 0) {
    unsigned_value = PyLong_AsUnsignedLongLong(object);
    if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      overflow = 2;
    }
  }
  if (overflow < 0 || overflow == 2 || !integer_in_range(target, signed_value, negative, unsigned_value)) {
    raise_exception(python_int_range_error());
    return false;
  }
  out = static_cast<T>(negative ? static_cast<unsigned long long>(signed_value) : unsigned_value);
  return true;
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

bool refuse_complex_to_real() {
  return raise_false(PyExc_TypeError, "cannot cast a complex scalar to a real dtype");
}

// NaN and infinity cannot become integers.
bool check_finite_for_integer(double value) {
  if (std::isnan(value)) return raise_false(PyExc_ValueError, "cannot convert float NaN to integer");
  if (std::isinf(value)) return raise_false(PyExc_OverflowError, "cannot convert float infinity to integer");
  return true;
}

bool refuse_float_range() {
  return raise_false(PyExc_OverflowError, "Python float is outside the requested dtype range");
}

// What a Python value of element type S meets before its cast to `target`, in
// this order: a complex value to a real dtype; for integer targets NaN,
// infinity and a float's range; then the overflow warning. False with the
// error set.
template <class S>
bool check_python_cast(const S& value, DType target) {
  if (quarvel_storage::is_std_complex<S> && is_real_target(target)) return refuse_complex_to_real();
  if (target.is_integer()) {
    const double x = quarvel_storage::real_as_double(value);
    if (!check_finite_for_integer(x)) return false;
    if constexpr (quarvel_storage::is_float_element<S>)
      if (!float_fits_integer(x, target)) return refuse_float_range();
  }
  return !element_cast_overflows(value, target) || emit_cast_overflow_warning();
}

// The same for a long double value, whose text decides where it can.
bool check_text_cast(const Scalar& value, DType target) {
  const DType source = value.dtype();
  if (source.is_complex() && is_real_target(target)) return refuse_complex_to_real();
  if (target.is_integer()) {
    if (auto as_double = value.as_f64(); as_double && !check_finite_for_integer(*as_double)) return false;
    if (source.kind() == 'f') {
      std::optional<bool> fits = text_fits_integer(value.get<quarvel_storage::LongDoubleText>().text, target);
      if (!fits) {
        auto as_double = storage_value(value.as_f64());
        if (!as_double) return false;
        fits = float_fits_integer(*as_double, target);
      }
      if (!*fits) return refuse_float_range();
    }
  }
  return warn_scalar_cast_overflow(value, target);
}

bool check_cast(const Scalar& value, DType target) {
  return std::visit(
      [&](const auto& v) {
        using S = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<S, quarvel_storage::LongDoubleText> ||
                      std::is_same_v<S, quarvel_storage::ComplexLongDoubleText>) {
          return check_text_cast(value, target);
        } else {
          return check_python_cast(v, target);
        }
      },
      value.storage());
}

template <class T, class S>
bool checked_cast(const S& value, DType target, T& out) {
  if (!check_python_cast(value, target)) return false;
  out = quarvel_storage::cast_element<T>(value);
  return true;
}

// One Python value as a long double element: what value_to_scalar gives,
// checks and warnings included, without the decimal text of a cast. A
// Python float becomes long double exactly and meets no check.
template <class T>
bool extended_value_to_element(PyObject* object, DType target, T& out) {
  if (PyFloat_CheckExact(object)) {
    out = quarvel_storage::cast_element<T>(PyFloat_AsDouble(object));
    return true;
  }
  auto value = value_to_untyped_scalar(object);
  if (!value || !check_cast(*value, target)) return false;
  return std::visit(
      [&](const auto& v) -> bool {
        using S = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<S, quarvel_storage::LongDoubleText> ||
                      std::is_same_v<S, quarvel_storage::ComplexLongDoubleText>) {
          auto cast = storage_value(value->cast(target));
          if (!cast) return false;
          auto element = storage_value(quarvel_storage::element_from_scalar<T>(*cast));
          if (!element) return false;
          out = *element;
        } else {
          out = quarvel_storage::cast_element<T>(v);
        }
        return true;
      },
      value->storage());
}

// One Python value as an element of `target` (fixed-width, element type T),
// with the range checks on Python numbers and the cast warnings. Python ints
// take their own way: to bool by truth, to integers exactly, to floats
// through the nearest double.
template <class T>
bool fixed_value_to_element(PyObject* object, DType target, T& out) {
  if (PyLong_Check(object)) {
    const bool exact_bool = PyBool_Check(object);
    if constexpr (std::is_same_v<T, bool>) {
      const int truth = PyObject_IsTrue(object);
      if (truth < 0) return false;
      out = truth != 0;
      return true;
    } else if constexpr (std::is_integral_v<T>) {
      if (!exact_bool) return python_int_to_element(object, target, out);
    } else {
      if (!exact_bool) {
        const double value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) {
          if (!error_is_discardable()) return false;
          PyErr_Clear();  // beyond the doubles: the 64-bit conversion below reports it
        } else {
          if (element_cast_overflows(value, target) && !emit_cast_overflow_warning()) return false;
          out = quarvel_storage::cast_element<T>(value);
          return true;
        }
      }
    }
  }
  if (PyFloat_CheckExact(object)) return checked_cast(PyFloat_AsDouble(object), target, out);
  auto value = value_to_untyped_scalar(object);
  if (!value) return false;
  return std::visit(
      [&](const auto& v) -> bool {
        using S = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<S, quarvel_storage::LongDoubleText> ||
                      std::is_same_v<S, quarvel_storage::ComplexLongDoubleText>) {
          if (!check_text_cast(*value, target)) return false;
          auto cast = storage_value(value->cast(target));
          if (!cast) return false;
          out = std::get<T>(cast->storage());
          return true;
        } else {
          return checked_cast(v, target, out);
        }
      },
      value->storage());
}

// One Python value as an element of `target`, whatever its dtype.
template <class T>
bool value_to_element(PyObject* object, DType target, T& out) {
  if constexpr (quarvel_storage::is_extended_element<T>) {
    return extended_value_to_element(object, target, out);
  } else {
    return fixed_value_to_element(object, target, out);
  }
}

// A plain Python number (the leaf kinds scan_leaf accepts) as an element of T
// by the cast rules alone: what a value of its own dtype cast to the inferred
// dtype gives.
template <class T>
T plain_number_element(PyObject* object) {
  using quarvel_storage::cast_element;
  if (PyBool_Check(object)) return cast_element<T>(object == Py_True);
  if (PyFloat_CheckExact(object)) return cast_element<T>(PyFloat_AsDouble(object));
  if (PyComplex_CheckExact(object))
    return cast_element<T>(std::complex<double>(PyComplex_RealAsDouble(object), PyComplex_ImagAsDouble(object)));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow == 0) return cast_element<T>(static_cast<std::int64_t>(value));
  return cast_element<T>(static_cast<std::uint64_t>(PyLong_AsUnsignedLongLong(object)));
}

// Writes nested input into a fresh typed buffer, each leaf where the strides
// put its coordinates. The scan found exact lists and tuples only; a warning
// may still run code that changes them, so every length is checked again.
template <class T>
struct NestedFill {
  const Shape& shape;
  const quarvel_storage::Strides& strides;
  DType target;
  quarvel_storage::ByteOrder order;
  bool checked;

  bool leaf(PyObject* object, std::uint8_t* at) const {
    if constexpr (std::is_same_v<T, quarvel_storage::Extended>) {
      // A float goes straight to its storage: held in a local, the long
      // double would be stored and loaded again on the way.
      if (checked && PyFloat_CheckExact(object)) {
        const long double x = quarvel_storage::extended_from_double(PyFloat_AsDouble(object));
        quarvel_storage::swaps(order) ? quarvel_storage::store_extended_part<true>(at, x)
                                      : quarvel_storage::store_extended_part<false>(at, x);
        return true;
      }
    }
    T value;
    if (!checked) {
      value = plain_number_element<T>(object);
    } else if (!value_to_element(object, target, value)) {
      return false;
    }
    quarvel_storage::store_element<T>(at, value, order);
    return true;
  }

  bool fill(PyObject* object, std::size_t depth, std::uint8_t* at) const {
    if (depth == shape.size()) return leaf(object, at);
    const bool list = PyList_CheckExact(object);
    if (!list && !PyTuple_CheckExact(object)) return fail_value(ragged_input);
    if (!checked) {
      // No Python code runs while unchecked values are written: the scanned
      // lists stay as they were.
      for (std::uint64_t i = 0; i < shape[depth]; ++i) {
        const Py_ssize_t at_i = static_cast<Py_ssize_t>(i);
        PyObject* item = list ? PyList_GetItem(object, at_i) : PyTuple_GetItem(object, at_i);
        if (!fill(item, depth + 1, at + static_cast<std::int64_t>(i) * strides[depth])) return false;
      }
      return true;
    }
    const PyRef hold = PyRef::borrow(object);
    for (std::uint64_t i = 0; i < shape[depth]; ++i) {
      const Py_ssize_t size = list ? PyList_Size(object) : PyTuple_Size(object);
      if (size < 0 || static_cast<std::uint64_t>(size) != shape[depth]) return fail_value(ragged_input);
      const Py_ssize_t at_i = static_cast<Py_ssize_t>(i);
      const PyRef item = PyRef::borrow(list ? PyList_GetItem(object, at_i) : PyTuple_GetItem(object, at_i));
      if (!fill(item.get(), depth + 1, at + static_cast<std::int64_t>(i) * strides[depth])) return false;
    }
    return true;
  }
};

}  // namespace

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
  if (!validate_into(object, depth, shape, nullptr)) return std::nullopt;
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
  if (!target.is_long_double()) {
    return quarvel_storage::with_element_type(target, [&]<class T>(std::type_identity<T>) -> std::optional<Scalar> {
      T out{};
      if (!fixed_value_to_element(object, target, out)) return std::nullopt;
      return Scalar(out);
    });
  }
  auto value = value_to_untyped_scalar(object);
  if (!value || !check_cast(*value, target)) return std::nullopt;
  return storage_value(value->cast(target));
}

std::optional<NestedInput> scan_nested_input(PyObject* object) {
  NestedInput scan;
  if (quick_scan(object, 0, scan.shape, scan)) return scan;
  scan = NestedInput();
  if (!validate_into(object, 0, scan.shape, &scan)) return std::nullopt;
  return scan;
}

std::optional<View> fill_from_nested(PyObject* object, const NestedInput& input, DType dtype,
                                     quarvel_storage::ByteOrder byte_order, bool f_order, bool checked) {
  // Every element is written before the view is handed out: no zeroing.
  auto made = storage_value(View::unfilled_with_layout(dtype, byte_order, input.shape, f_order));
  if (!made) return std::nullopt;
  // Nobody else sees the buffer yet; the lock is only the way to its bytes,
  // and its layout was checked as it was made.
  auto guard = storage_value(made->buffer->write());
  if (!guard) return std::nullopt;
  std::uint8_t* const base = (*guard)->data.data() + made->offset;
  const bool filled = quarvel_storage::with_any_element_type(dtype, [&]<class T>(std::type_identity<T>) {
    return NestedFill<T>{made->shape, made->strides, dtype, made->byte_order, checked}.fill(object, 0, base);
  });
  if (!filled) return std::nullopt;
  return made;
}

// Whether some finite value of `source` reaches `threshold` in magnitude:
// bool and integers up to their largest magnitude, float16 to 65504, float32
// to its largest finite value, wider floats always.
bool values_may_reach(DType source, double threshold) {
  if (source == DType::Bool) return threshold <= 1;
  if (source.is_integer()) return threshold <= std::ldexp(1.0, static_cast<int>(source.integer_bits()));
  if (source == DType::Float16) return threshold <= 65504.0;
  if (source == DType::Float32 || source == DType::Complex64)
    return threshold <= static_cast<double>(std::numeric_limits<float>::max());
  return true;
}

bool warn_view_cast_overflow(const View& view, DType target) {
  const bool integer = target.is_integer();
  const auto limit = cast_overflow_limit(target, view.dtype.is_long_double());
  if (!integer && !limit) return true;
  // A scan that cannot find anything is skipped.
  if (!integer && !values_may_reach(view.dtype, limit->threshold)) return true;
  const auto range = quarvel_storage::float_range(target);
  // Scanned under the lock; the warning (which may run Python code) after it.
  // One scan per kind of test, so neither carries the other's work per element;
  // long double elements tested from their stored bits.
  if (view.dtype.is_long_double()) {
    const bool swapped = quarvel_storage::swaps(view.byte_order);
    const bool complex = view.dtype.is_complex();
    const auto test = [&]<bool Swap>(const std::uint8_t* p) {
      if (integer) return quarvel_storage::extended_integer_cast_is_invalid<Swap>(p, range);
      using quarvel_storage::load_extended_double, quarvel_storage::load_extended_part;
      const double imag = complex ? load_extended_double<Swap>(p + 16) : 0.0;
      return cast_overflows(std::complex<double>(load_extended_double<Swap>(p), imag),
                            std::isfinite(load_extended_part<Swap>(p)),
                            complex && std::isfinite(load_extended_part<Swap>(p + 16)), *limit);
    };
    auto stored = storage_value(quarvel_storage::any_stored(view, loop_path(), [&](const std::uint8_t* p) {
      return swapped ? test.template operator()<true>(p) : test.template operator()<false>(p);
    }));
    if (!stored) return false;
    if (*stored) {
      if (!**stored) return true;
      if (integer) return PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) == 0;
      return emit_cast_overflow_warning();
    }
  }
  auto scanned = integer ? quarvel_storage::any_element(view, loop_path(), [&](const auto& value) -> bool {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, Scalar>) {
      return value.integer_cast_is_invalid(target);
    } else {
      return quarvel_storage::integer_cast_is_invalid(value, range);
    }
  })
                         : quarvel_storage::any_element(view, loop_path(), [&](const auto& value) -> bool {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, Scalar>) {
      return cast_overflows(value, target);
    } else {
      return element_cast_overflows(value, *limit);
    }
  });
  if (!scanned) return raise_storage(scanned.error());
  if (!*scanned) return true;
  // Stack level 1 from C is the Python line that called in.
  if (integer) return PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) == 0;
  return emit_cast_overflow_warning();
}

bool warn_before_view_cast(const View& view, DType target) {
  if (view.dtype == target) return true;
  if (view.dtype.is_complex() && is_real_target(target) && !emit_complex_warning()) return false;
  return warn_view_cast_overflow(view, target);
}

std::optional<View> cast_view_with_warnings(const View& view, DType target, quarvel_storage::ByteOrder byte_order,
                                            const quarvel_storage::AxisOrder& axis_order) {
  const bool casts = view.dtype != target;
  const bool notes_invalid = casts && target.is_integer() && (view.dtype.kind() == 'f' || view.dtype.is_complex());
  // Long double sources keep the scan: their cast reads more than a double holds.
  const bool notes_overflow = casts && !view.dtype.is_long_double() && cast_overflow_limit(target) &&
                              quarvel_storage::cast_may_overflow(view.dtype, target);
  if (!notes_invalid && !notes_overflow) {
    if (!warn_before_view_cast(view, target)) return std::nullopt;
    return storage_value(view.astype_with_axis_order(target, byte_order, axis_order, loop_path()));
  }
  if (view.dtype.is_complex() && is_real_target(target) && !emit_complex_warning()) return std::nullopt;
  bool noted = false;
  auto made = storage_value(notes_invalid
                                ? view.astype_noting_invalid(target, byte_order, axis_order, noted, loop_path())
                                : view.astype_noting_overflow(target, byte_order, axis_order, noted, loop_path()));
  if (!made) return std::nullopt;
  if (!noted) return made;
  // Stack level 1 from C is the Python line that called in.
  if (notes_invalid) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, "invalid value encountered in cast", 1) != 0) return std::nullopt;
  } else if (!emit_cast_overflow_warning()) {
    return std::nullopt;
  }
  return made;
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
