#include "python/ufunc/operand.h"

#include <cmath>
#include <string>

#include "longdouble/ld_text.h"
#include "python/args.h"
#include "python/array_object.h"
#include "python/construct.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/py_ref.h"

namespace quarvel_python::ufunc {

namespace {

const char* const outside_64_bits = "Python int is outside the supported 64-bit numeric range";
const char* const too_large_for_float = "int too large to convert to float";

bool is_plain_number(PyObject* value) {
  return PyBool_Check(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyComplex_CheckExact(value);
}

// Plain numbers never carry an alias; spare them the attribute look-ups.
std::optional<ScalarAlias> alias_of(PyObject* value) {
  return is_plain_number(value) ? std::nullopt : scalar_alias_from_value(value);
}

// Lists, tuples and big ints are converted out of line: the hot operands are
// arrays and plain numbers.
[[gnu::noinline]] std::optional<Operand> from_constructed(std::optional<Constructed> made) {
  if (!made) return std::nullopt;
  Operand operand;
  operand.dtype = made->view.dtype;
  operand.view = std::move(made->view);
  operand.alias = made->alias;
  operand.is_array = true;
  return operand;
}

// A Python int that fits neither 64-bit range; nullopt (no error) when it fits one.
std::optional<bool> is_big_int(PyObject* value) {
  int overflow = 0;
  const long long fits = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (fits == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow == 0) return false;
  if (overflow < 0) return true;
  const unsigned long long wide = PyLong_AsUnsignedLongLong(value);
  if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    return true;
  }
  return false;
}

[[gnu::noinline]] std::optional<Operand> big_int_operand(PyObject* value) {
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) return std::nullopt;
  auto utf8 = utf8_text(text.get());
  if (!utf8) return std::nullopt;
  Operand operand;
  operand.scalar = Scalar::long_double(std::move(*utf8));
  operand.dtype = DType::Int64;
  operand.weak = true;
  operand.big_int = true;
  operand.alias = alias_of(value);
  return operand;
}

// A big int's text read into a float or complex target must stay finite there.
bool big_int_fits(const std::string& text, DType target) {
  if (target.is_long_double()) {
    if (auto finite = quarvel_longdouble::classify(text, quarvel_longdouble::IsFinite)) return *finite;
  }
  auto value = quarvel_storage::parse_f64(text);
  return value && std::isfinite(*value);
}

// Exact range test of a weak int's value against an integer dtype.
bool int_fits(const Scalar& value, DType target) {
  const unsigned bits = target.integer_bits();
  if (const auto* u = value.get_if<std::uint64_t>()) {
    if (target.is_unsigned_integer()) return bits == 64 || *u < (std::uint64_t{1} << bits);
    return *u <= (std::uint64_t{1} << (bits - 1)) - 1;
  }
  const std::int64_t v = value.get<std::int64_t>();
  if (target.is_unsigned_integer()) return v >= 0 && (bits == 64 || static_cast<std::uint64_t>(v) < (std::uint64_t{1} << bits));
  if (bits == 64) return true;
  const std::int64_t limit = std::int64_t{1} << (bits - 1);
  return v >= -limit && v < limit;
}

[[gnu::cold]] std::nullopt_t does_not_fit(DType array_dtype) {
  const std::string text = "Python integer does not fit in array dtype " + std::string(array_dtype.name());
  PyErr_SetString(PyExc_OverflowError, text.c_str());
  return std::nullopt;
}

DType complex_of_same_precision(DType real) {
  switch (real.code) {
    case DType::Float64: return DType::Complex128;
    case DType::LongDouble: return DType::ComplexLongDouble;
    default: return DType::Complex64;
  }
}

}  // namespace

OperandView& OperandView::operator=(const OperandView& other) {
  if (this == &other) return *this;
  owner_ = other.owner_;
  held_ = other.held_;
  view_ = held_ ? &*held_ : other.view_;
  return *this;
}

OperandView& OperandView::operator=(OperandView&& other) noexcept {
  if (this == &other) return *this;
  owner_ = std::move(other.owner_);
  held_ = std::move(other.held_);
  view_ = held_ ? &*held_ : other.view_;
  other.held_.reset();
  other.view_ = nullptr;
  return *this;
}

OperandView& OperandView::operator=(View view) {
  owner_ = PyRef();
  held_ = std::move(view);
  view_ = &*held_;
  return *this;
}

void OperandView::borrow(PyObject* array, const View& view) {
  owner_ = PyRef::borrow(array);
  held_.reset();
  view_ = &view;
}

std::optional<Operand> Operand::from_python(PyObject* value) {
  Operand operand;
  if (!convert(value, operand)) return std::nullopt;
  return operand;
}

bool Operand::convert(PyObject* value, Operand& operand) {
  if (quarvel_python::is_array(value)) {
    operand.view.borrow(value, as_array(value)->view);
    operand.dtype = operand.view->dtype;
    operand.alias = as_array(value)->alias;
    operand.is_array = true;
    return true;
  }
  auto assign = [&](std::optional<Operand> made) {
    if (made) operand = std::move(*made);
    return made.has_value();
  };
  if (PyList_Check(value) || PyTuple_Check(value))
    return assign(from_constructed(array_from_object(value, nullptr, CopyRequest::Always, "K")));
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    const std::optional<bool> big = is_big_int(value);
    if (!big) return false;
    if (*big) return assign(big_int_operand(value));
  }
  // A plain float is none of the scalar classes the general conversion asks about first.
  auto scalar = PyFloat_CheckExact(value) ? std::optional(Scalar(PyFloat_AsDouble(value)))
                                          : value_to_untyped_scalar(value);
  if (!scalar) return false;
  operand.dtype = scalar->dtype();
  operand.scalar = std::move(*scalar);
  operand.weak = PyBool_Check(value) || PyLong_Check(value) || PyFloat_Check(value) || PyComplex_Check(value);
  operand.alias = alias_of(value);
  return true;
}

std::optional<Operand> Operand::from_mask(PyObject* value) {
  Operand mask;
  mask.dtype = DType::Bool;
  mask.weak = true;
  if (value == Py_None) {
    mask.scalar = Scalar(false);
    return mask;
  }
  if (quarvel_python::is_array(value)) return from_python(value);
  if (PyList_Check(value) || PyTuple_Check(value)) {
    PyRef bool_name = PyRef::steal(PyUnicode_FromString("bool"));
    if (!bool_name) return std::nullopt;
    auto made = from_constructed(array_from_object(value, bool_name.get(), CopyRequest::Always, "K"));
    if (made) made->alias.reset();
    return made;
  }
  auto operand = from_python(value);
  if (!operand) return std::nullopt;
  if (!operand->scalar) return raise_error(PyExc_TypeError, "where must be a boolean array or scalar");
  mask.scalar = Scalar(operand->scalar->truthy());
  return mask;
}

const Shape& Operand::shape() const {
  static const Shape no_dimensions;
  return view ? view->shape : no_dimensions;
}

std::optional<Scalar> Operand::read(const Coordinates& coordinates, std::size_t rank) const {
  if (!view) return *scalar;
  const std::size_t n = view->ndim();
  const std::size_t lead = rank > n ? rank - n : 0;
  // Reused from read to read: the element loops allocate nothing per element.
  thread_local Coordinates own;
  own.assign(n, 0);
  for (std::size_t i = 0; i < n; ++i)
    if (view->shape[i] != 1) own[i] = coordinates[lead + i];
  return storage_value(view->read_at(own));
}

std::optional<Scalar> Operand::read_as(const Coordinates& coordinates, std::size_t rank, DType target) const {
  if (big_int) {
    const char kind = target.kind();
    if (kind == 'b' || kind == 'i' || kind == 'u') return raise_error(PyExc_OverflowError, outside_64_bits);
    if (!big_int_fits(scalar->get<quarvel_storage::LongDoubleText>().text, target))
      return raise_error(PyExc_OverflowError, too_large_for_float);
  }
  auto value = read(coordinates, rank);
  if (!value) return std::nullopt;
  return storage_value(value->cast(target));
}

std::optional<DType> weak_scalar_dtype(DType array_dtype, const Operand& scalar) {
  const std::optional<DType> dtype = fitting_scalar_dtype(array_dtype, scalar);
  if (!dtype) return does_not_fit(array_dtype);
  return dtype;
}

std::optional<DType> fitting_scalar_dtype(DType array_dtype, const Operand& scalar) {
  const char array_kind = array_dtype.kind();
  const bool integral_array = array_kind == 'i' || array_kind == 'u';
  if (scalar.big_int) {
    if (array_kind == 'f' || array_kind == 'c') return array_dtype;
    return std::nullopt;
  }
  if (!scalar.scalar) return array_dtype;
  const DType own = scalar.scalar->dtype();
  if (!scalar.weak) return DType::promote(array_dtype, own);
  switch (own.kind()) {
    case 'b': return array_dtype;
    case 'i':
    case 'u':
      if (array_kind == 'b') return DType::promote(array_dtype, own);
      if (integral_array && !int_fits(*scalar.scalar, array_dtype)) return std::nullopt;
      return array_dtype;
    case 'f':
      if (array_kind == 'f' || array_kind == 'c') return array_dtype;
      return DType::promote(array_dtype, own);
    default:
      if (array_kind == 'c') return array_dtype;
      if (array_kind == 'f') return complex_of_same_precision(array_dtype);
      return DType::promote(array_dtype, own);
  }
}

std::optional<DType> weak_promote(const Operand& a, const Operand& b) {
  if (a.is_array && !b.is_array) return weak_scalar_dtype(a.dtype, b);
  if (b.is_array && !a.is_array) return weak_scalar_dtype(b.dtype, a);
  return DType::promote(a.dtype, b.dtype);
}

}  // namespace quarvel_python::ufunc
