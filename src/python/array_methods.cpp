// Array.reshape, Array.transpose, Array.astype and Array.copy.
#include <string>

#include "python/args.h"
#include "python/array_object.h"
#include "python/construct.h"
#include "python/convert.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/index_parse.h"
#include "python/type_support.h"

namespace quarvel_python {

using quarvel_storage::CopyMode;
using quarvel_storage::Shape;
using quarvel_storage::View;

namespace {

PyObject* wrap(quarvel_storage::Result<View> made, std::optional<ScalarAlias> alias) {
  auto view = storage_value(std::move(made));
  if (!view) return nullptr;
  return new_array_object(std::move(*view), alias);
}

CopyMode storage_copy_mode(CopyRequest copy) {
  switch (copy) {
    case CopyRequest::Never: return CopyMode::Never;
    case CopyRequest::Always: return CopyMode::Always;
    default: return CopyMode::IfNeeded;
  }
}

// The new dimensions, with a single -1 resolved against `count` elements.
std::optional<Shape> reshape_dimensions(PyObject* shape_object, std::uint64_t count) {
  auto objects = shape_dimensions(shape_object);
  if (!objects) return std::nullopt;
  if (objects->size() > quarvel_storage::max_dimensions)
    return raise_error(PyExc_ValueError, "maximum supported number of dimensions is 64");
  Shape shape;
  std::optional<std::size_t> unknown;
  std::uint64_t known = 1;
  for (const PyRef& object : *objects) {
    auto value = dimension_value(object.get());
    if (!value) return std::nullopt;
    const std::int64_t dimension = *value;
    if (dimension == -1) {
      if (unknown) return raise_error(PyExc_ValueError, "can only specify one unknown dimension");
      unknown = shape.size();
      shape.push_back(0);
      continue;
    }
    if (dimension < 0) return raise_error(PyExc_ValueError, "negative dimensions are not allowed");
    shape.push_back(static_cast<std::uint64_t>(dimension));
    if (__builtin_mul_overflow(known, shape.back(), &known))
      return raise_error(PyExc_ValueError, "requested shape is too large");
  }
  if (unknown) {
    if (known == 0 || count % known != 0) {
      const std::string text =
          "cannot reshape array of size " + std::to_string(count) + " into shape " + shape_text(shape);
      return raise_error(PyExc_ValueError, text.c_str());
    }
    shape[*unknown] = count / known;
  }
  return shape;
}

constexpr Param reshape_params[] = {
    {"shape", ParamKind::PositionalOrKeyword, true},
    {"order", ParamKind::PositionalOrKeyword, false},
    {"copy", ParamKind::PositionalOrKeyword, false},
};

PyObject* Array_reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[3] = {};
    if (!parse_arguments(Signature{"reshape", reshape_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
      return nullptr;
    auto order = order_argument(bound[1], "C");
    if (!order) return nullptr;
    auto copy = copy_argument(bound[2], CopyRequest::IfNeeded);
    if (!copy) return nullptr;
    const View& view = as_array(self)->view;
    if (*order != "C" && *order != "F" && *order != "A")
      return raise_null(PyExc_ValueError, "order must be 'C', 'F', or 'A'");
    const bool f_order = *order == "F" || (*order == "A" && view.is_f_contiguous() && !view.is_c_contiguous());
    auto count = storage_value(view.size());
    if (!count) return nullptr;
    auto shape = reshape_dimensions(bound[0], *count);
    if (!shape) return nullptr;
    return wrap(view.reshape_order(*shape, storage_copy_mode(*copy), f_order, loop_path()), as_array(self)->alias);
  });
}

PyObject* Array_transpose(PyObject* self, PyObject* args) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const Py_ssize_t count = PyTuple_Size(args);
    PyObject* first = count == 1 ? PyTuple_GetItem(args, 0) : nullptr;
    std::optional<std::vector<std::int64_t>> axes;
    if (count >= 2 || (first && (PyTuple_Check(first) || PyList_Check(first)))) {
      axes = parse_axes(count >= 2 ? args : first);
      if (!axes) return nullptr;
    } else if (first && first != Py_None) {
      const long long axis = PyLong_AsLongLong(first);
      if (axis == -1 && PyErr_Occurred()) return nullptr;
      axes = std::vector<std::int64_t>{axis};
    }
    return wrap(as_array(self)->view.transpose(axes), as_array(self)->alias);
  });
}

constexpr Param astype_params[] = {
    {"dtype", ParamKind::PositionalOrKeyword, true},
    {"order", ParamKind::PositionalOrKeyword, false},
};

PyObject* Array_astype(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[2] = {};
    if (!parse_arguments(Signature{"astype", astype_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
      return nullptr;
    auto order = order_argument(bound[1], "K");
    if (!order) return nullptr;
    auto spec = parse_dtype_spec(bound[0]);
    if (!spec) return nullptr;
    const View& view = as_array(self)->view;
    auto axes = parse_array_axis_order(*order, view);
    if (!axes) return nullptr;
    auto cast = cast_view_with_warnings(view, spec->dtype, spec->byteorder, *axes);
    if (!cast) return nullptr;
    return wrap(std::move(*cast), spec->alias);
  });
}

PyObject* Array_copy(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&] { return wrap(as_array(self)->view.copy(loop_path()), as_array(self)->alias); });
}

}  // namespace

PyMethodDef array_methods[] = {
    {"reshape", as_cfunction(Array_reshape), METH_FASTCALL | METH_KEYWORDS,
     "reshape($self, shape, order=\"C\", copy=None)\n--\n\n"
     "The elements in a new shape; shares the buffer where strides can express it."},
    {"transpose", as_cfunction(Array_transpose), METH_VARARGS, "transpose($self, *axes)\n--\n\n"
     "A view with the axes permuted; reversed when none are given."},
    {"astype", as_cfunction(Array_astype), METH_FASTCALL | METH_KEYWORDS,
     "astype($self, dtype, order=\"K\")\n--\n\n"
     "A copy with the elements converted to another dtype."},
    {"copy", as_cfunction(Array_copy), METH_NOARGS,
     "copy($self)\n--\n\n"
     "A copy in a buffer of its own, in row-major order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace quarvel_python
