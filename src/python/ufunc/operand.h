// Ufunc operands: one input (or the `where` mask) resolved from a Python value.
//
// An array operand shares the elements of an Array (or of a list or tuple
// converted to one); anything else is a single Scalar. Plain Python numbers
// are weak: beside an array they adopt its dtype where their kind allows,
// instead of taking part in ordinary promotion. A Python int outside both
// 64-bit ranges is a "big int": its exact decimal text travels in a long double
// Scalar and is converted only when read with a target dtype.
#pragma once

#include <Python.h>

#include <optional>

#include "python/dtype_object.h"
#include "python/py_ref.h"
#include "storage/scalar.h"
#include "storage/view.h"

namespace quarvel_python::ufunc {

using quarvel_storage::Coordinates;
using quarvel_storage::DType;
using quarvel_storage::Scalar;
using quarvel_storage::Shape;
using quarvel_storage::View;

// An array operand's view: the source array's own, read in place and kept
// valid by a reference to the array (whose view never changes), or one held
// here (a list or tuple converted to an array). Converting an array operand
// then copies neither its shape nor its buffer handle.
class OperandView {
 public:
  OperandView() = default;
  OperandView(const OperandView& other) { *this = other; }
  OperandView(OperandView&& other) noexcept { *this = std::move(other); }
  OperandView& operator=(const OperandView& other);
  OperandView& operator=(OperandView&& other) noexcept;
  // Holds a view of its own.
  OperandView& operator=(View view);

  // The view of `array` (an Array object), which this keeps alive.
  void borrow(PyObject* array, const View& view);

  explicit operator bool() const noexcept { return view_ != nullptr; }
  const View& operator*() const noexcept { return *view_; }
  const View* operator->() const noexcept { return view_; }

 private:
  PyRef owner_;
  std::optional<View> held_;
  const View* view_ = nullptr;
};

struct Operand {
  // Provided: value-initialising one (optional::emplace()) then runs only the
  // members' own initialisers, without first clearing all its bytes.
  Operand() noexcept {}

  OperandView view;              // array operands
  std::optional<Scalar> scalar;  // scalar operands
  bool is_array = false;
  bool weak = false;
  bool big_int = false;
  std::optional<ScalarAlias> alias;
  DType dtype;

  // Nullopt with the Python error set.
  static std::optional<Operand> from_python(PyObject* value);
  // The same into `operand`, a default one (no move of the result). False
  // with the Python error set.
  static bool convert(PyObject* value, Operand& operand);
  static std::optional<Operand> from_mask(PyObject* value);

  // The empty shape for a scalar operand.
  const Shape& shape() const;

  // The element at one position of a broadcast shape of `rank` axes: a scalar
  // whatever the coordinates, an array aligned with the last axes (length-1
  // axes read at 0). Nullopt with the Python error set.
  std::optional<Scalar> read(const Coordinates& coordinates, std::size_t rank) const;
  // The same, converted to `target`; a big int is range-checked first.
  std::optional<Scalar> read_as(const Coordinates& coordinates, std::size_t rank, DType target) const;
};

// The dtype a scalar operand takes beside an array operand of `array_dtype`.
std::optional<DType> weak_scalar_dtype(DType array_dtype, const Operand& scalar);
// The same without raising: nullopt (no error set) where a weak int does not
// fit the array's integer dtype.
std::optional<DType> fitting_scalar_dtype(DType array_dtype, const Operand& scalar);
// The common dtype of two operands with the weak rule applied.
std::optional<DType> weak_promote(const Operand& a, const Operand& b);

}  // namespace quarvel_python::ufunc
