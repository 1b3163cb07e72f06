// array(data, dtype=None, copy=True, order="K"), empty and zeros.
#include "python/construct.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "python/args.h"
#include "python/array_object.h"
#include "python/convert.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/type_support.h"

namespace quarvel_python {

using quarvel_storage::AxisOrder;
using quarvel_storage::ByteOrder;
using quarvel_storage::DType;
using quarvel_storage::Shape;
using quarvel_storage::View;

namespace {

constexpr const char* array_order_text = "order must be 'C', 'F', 'A', or 'K'";
constexpr const char* copy_refused = "copy=False cannot satisfy the requested dtype or memory order";

bool is_order_letter(std::string_view order, std::string_view letters) {
  return order.size() == 1 && letters.find(order[0]) != std::string_view::npos;
}

std::uint64_t stride_magnitude(std::int64_t stride) {
  return stride < 0 ? 0 - static_cast<std::uint64_t>(stride) : static_cast<std::uint64_t>(stride);
}

AxisOrder c_axis_order(std::size_t n) {
  AxisOrder axes(n);
  for (std::size_t i = 0; i < n; ++i) axes[i] = n - 1 - i;
  return axes;
}

AxisOrder f_axis_order(std::size_t n) {
  AxisOrder axes(n);
  std::iota(axes.begin(), axes.end(), std::size_t{0});
  return axes;
}

// Whether only one of the two tags is big-endian (the only change that moves bytes).
bool byte_order_changes(DType dtype, ByteOrder requested, ByteOrder source) {
  if (dtype.itemsize() == 1) return false;
  return (requested == ByteOrder::Big) != (source == ByteOrder::Big);
}

std::optional<Constructed> from_array(const PyArray* source, std::optional<DTypeSpec> spec, CopyRequest copy,
                                      std::string_view order) {
  const View& view = source->view;
  auto axes = parse_array_axis_order(order, view);
  if (!axes) return std::nullopt;
  const DTypeSpec target = spec ? *spec : DTypeSpec{view.dtype, view.byte_order, source->alias};
  auto wrap = [&](quarvel_storage::Result<View> made) -> std::optional<Constructed> {
    auto built = storage_value(std::move(made));
    if (!built) return std::nullopt;
    return Constructed{std::move(*built), target.alias};
  };
  if (target.dtype != view.dtype) {
    if (copy == CopyRequest::Never) return raise_error(PyExc_ValueError, copy_refused);
    auto cast = cast_view_with_warnings(view, target.dtype, target.byteorder, *axes);
    if (!cast) return std::nullopt;
    return Constructed{std::move(*cast), target.alias};
  }
  const bool layout_passes = (order == "C" && view.is_c_contiguous()) || (order == "F" && view.is_f_contiguous()) ||
                             order == "A" || order == "K";
  const bool reorders = byte_order_changes(view.dtype, target.byteorder, view.byte_order);
  if (copy != CopyRequest::Always && layout_passes && !reorders) {
    if (target.byteorder == view.byte_order) return Constructed{view, target.alias};
    return wrap(view.view_with_dtype_and_order(target.dtype, target.byteorder));
  }
  if (copy == CopyRequest::Never) return raise_error(PyExc_ValueError, copy_refused);
  if (target.byteorder == view.byte_order) return wrap(view.copy_with_axis_order(*axes, loop_path()));
  return wrap(view.astype_with_axis_order(target.dtype, target.byteorder, *axes, loop_path()));
}

// A non-empty flat list of exact floats, the commonest input, read in one walk
// instead of a scan and a fill: the float64 vector both would give. Nullopt,
// with no error set, for any other input.
std::optional<View> float_list(PyObject* data, bool& failed) {
  if (!PyList_CheckExact(data)) return std::nullopt;
  const Py_ssize_t size = PyList_Size(data);
  if (size < 1) return std::nullopt;
  for (Py_ssize_t i = 0; i < size; ++i)
    if (!PyFloat_CheckExact(PyList_GetItem(data, i))) return std::nullopt;
  // No Python code runs from here on, so the list stays as it was checked.
  auto fill = [](std::uint8_t* first, const void* list) {
    PyObject* values = static_cast<PyObject*>(const_cast<void*>(list));
    const Py_ssize_t count = PyList_Size(values);
    for (Py_ssize_t i = 0; i < count; ++i) {
      const double value = PyFloat_AsDouble(PyList_GetItem(values, i));
      std::memcpy(first + i * static_cast<Py_ssize_t>(sizeof value), &value, sizeof value);
    }
  };
  auto made = storage_value(
      View::filled_vector(DType::Float64, ByteOrder::Native, static_cast<std::uint64_t>(size), fill, data));
  failed = !made;
  return made;
}

std::optional<Constructed> from_values(PyObject* data, std::optional<DTypeSpec> spec, CopyRequest copy,
                                       std::string_view order) {
  if (copy == CopyRequest::Never)
    return raise_error(PyExc_ValueError, "copy=False cannot avoid allocating storage for this input");
  if (!is_order_letter(order, "ACFK")) return raise_error(PyExc_ValueError, array_order_text);
  if (!spec && loop_path() == quarvel_storage::LoopPath::Typed) {
    bool failed = false;
    if (auto view = float_list(data, failed)) return Constructed{std::move(*view), std::nullopt};
    if (failed) return std::nullopt;
  }
  auto input = scan_nested_input(data);
  if (!input) return std::nullopt;
  // Plain numbers go straight into typed storage; anything else through Scalars.
  const bool typed = loop_path() == quarvel_storage::LoopPath::Typed && input->plain &&
                     (spec || !input->scalar_objects);
  if (typed) {
    const DTypeSpec target = spec ? *spec : DTypeSpec{input->inferred.value_or(DType::Float64), ByteOrder::Native, {}};
    auto view = fill_from_nested(data, *input, target.dtype, target.byteorder, order == "F", spec.has_value());
    if (!view) return std::nullopt;
    return Constructed{std::move(*view), target.alias};
  }
  auto flat = flatten(data, spec ? std::optional<DType>(spec->dtype) : std::nullopt, 0);
  if (!flat) return std::nullopt;
  DTypeSpec target;
  if (spec) {
    target = *spec;
  } else {
    target.dtype = infer_dtype(flat->values);
    target.byteorder = ByteOrder::Native;
    if (flat->alias_hint && alias_fits(*flat->alias_hint, target.dtype)) target.alias = flat->alias_hint;
  }
  if (!cast_values(flat->values, target.dtype)) return std::nullopt;
  auto view = storage_value(View::from_values_with_layout(target.dtype, target.byteorder, std::move(flat->shape),
                                                          flat->values, order == "F"));
  if (!view) return std::nullopt;
  return Constructed{std::move(*view), target.alias};
}

PyObject* wrap_constructed(std::optional<Constructed> made) {
  if (!made) return nullptr;
  return new_array_object(std::move(made->view), made->alias);
}

// --- module functions -----------------------------------------------------------

constexpr Param array_params[] = {
    {"data", ParamKind::PositionalOrKeyword, true},
    {"dtype", ParamKind::PositionalOrKeyword, false},
    {"copy", ParamKind::PositionalOrKeyword, false},
    {"order", ParamKind::PositionalOrKeyword, false},
};

PyObject* array_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* bound[4] = {};
    // The data alone binds only itself: nothing to match.
    if (nargs == 1 && !kwnames) bound[0] = args[0];
    else if (!parse_arguments(Signature{"array", array_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
      return nullptr;
    auto copy = copy_argument(bound[2], CopyRequest::Always);
    if (!copy) return nullptr;
    PyObject* dtype = bound[1] == Py_None ? nullptr : bound[1];
    // No order given: no text to make.
    if (!bound[3]) return wrap_constructed(array_from_object(bound[0], dtype, *copy, "K"));
    auto order = order_argument(bound[3], "K");
    if (!order) return nullptr;
    return wrap_constructed(array_from_object(bound[0], dtype, *copy, *order));
  });
}

constexpr Param construct_params[] = {
    {"shape", ParamKind::PositionalOrKeyword, true},
    {"dtype", ParamKind::PositionalOrKeyword, false},
    {"order", ParamKind::PositionalOrKeyword, false},
};

// Lengths up to this take the one-step vector of zeros(n) below.
constexpr long long short_zeros_length = 1024;

// zeros(n) or empty(n) for a small n, the commonest call: a float64 vector
// made in one step, with no shape list, order text or layout to work out.
// Null with no error set for any other argument (bools, negative or large
// lengths), which the general path checks and reports.
PyObject* short_zeros(PyObject* length_object) {
  if (!PyLong_CheckExact(length_object)) return nullptr;
  int overflow = 0;
  const long long length = PyLong_AsLongLongAndOverflow(length_object, &overflow);
  if (overflow != 0 || length < 0 || length > short_zeros_length) return nullptr;
  const auto count = static_cast<std::uint64_t>(length);
  auto fill = [](std::uint8_t* first, const void* context) {
    const auto bytes = *static_cast<const std::uint64_t*>(context) * sizeof(double);
    if (bytes > 0) std::memset(first, 0, bytes);
  };
  auto view = View::filled_vector(DType::Float64, ByteOrder::Native, count, fill, &count);
  // A failure (out of memory) is reported as the general path would.
  if (!view) return raise_storage_error(view.error());
  return new_array_object(std::move(*view), std::nullopt);
}

// empty and zeros: both give zero-filled storage.
PyObject* construct(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs == 1 && !kwnames)
      if (PyObject* made = short_zeros(args[0])) return made;
    if (PyErr_Occurred()) return nullptr;
    PyObject* bound[3] = {};
    if (nargs == 1 && !kwnames) bound[0] = args[0];
    else if (!parse_arguments(Signature{name, construct_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
      return nullptr;
    auto order = order_argument(bound[2], "C");
    if (!order) return nullptr;
    Shape shape;
    auto add_dimension = [&](PyObject* object) {
      auto dimension = dimension_value(object);
      if (!dimension) return false;
      if (*dimension < 0) return raise_false(PyExc_ValueError, "negative dimensions are not allowed");
      shape.push_back(static_cast<std::uint64_t>(*dimension));
      return true;
    };
    if (is_nested_sequence(bound[0]) || PyBool_Check(bound[0])) {
      auto objects = shape_dimensions(bound[0]);
      if (!objects) return nullptr;
      for (const PyRef& object : *objects)
        if (!add_dimension(object.get())) return nullptr;
    } else {
      // One dimension: no list of them.
      PyRef object = single_dimension(bound[0]);
      if (!object || !add_dimension(object.get())) return nullptr;
    }
    if (shape.size() > quarvel_storage::max_dimensions)
      return raise_null(PyExc_ValueError, "maximum supported number of dimensions is 64");
    if (*order != "C" && *order != "F")
      return raise_null(PyExc_ValueError, "order must be 'C' or 'F'");
    DTypeSpec target{DType::Float64, ByteOrder::Native, std::nullopt};
    if (bound[1] && bound[1] != Py_None) {
      auto spec = parse_dtype_spec(bound[1]);
      if (!spec) return nullptr;
      target = *spec;
    }
    auto view = storage_value(View::zeros_with_layout(target.dtype, target.byteorder, std::move(shape), *order == "F"));
    if (!view) return nullptr;
    return new_array_object(std::move(*view), target.alias);
  });
}

PyObject* zeros_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return construct("zeros", args, nargs, kwnames);
}

PyObject* empty_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return construct("empty", args, nargs, kwnames);
}

PyMethodDef array_functions[] = {
    {"array", as_cfunction(array_function), METH_FASTCALL | METH_KEYWORDS,
     "array(data, dtype=None, copy=True, order=\"K\")\n--\n\n"
     "Make an array from a number, nested lists or tuples of numbers, or an array."},
    {"zeros", as_cfunction(zeros_function), METH_FASTCALL | METH_KEYWORDS,
     "zeros(shape, dtype=None, order=\"C\")\n--\n\n"
     "Make an array of the given shape filled with zeros."},
    {"empty", as_cfunction(empty_function), METH_FASTCALL | METH_KEYWORDS,
     "empty(shape, dtype=None, order=\"C\")\n--\n\n"
     "Make an array of the given shape; its elements are zero, as with zeros."},
};

}  // namespace

std::optional<Constructed> array_from_object(PyObject* data, PyObject* dtype, CopyRequest copy, std::string_view order) {
  std::optional<DTypeSpec> spec;
  if (dtype) {
    spec = parse_dtype_spec(dtype);
    if (!spec) return std::nullopt;
  }
  if (is_array(data)) return from_array(as_array(data), spec, copy, order);
  return from_values(data, spec, copy, order);
}

std::optional<std::vector<PyRef>> shape_dimensions(PyObject* shape) {
  if (is_nested_sequence(shape)) return stored_items(shape);
  if (PyBool_Check(shape)) return std::vector<PyRef>{PyRef::borrow(shape)};
  PyRef dimension = single_dimension(shape);
  if (!dimension) return std::nullopt;
  return std::vector<PyRef>{std::move(dimension)};
}

PyRef single_dimension(PyObject* shape) {
  // What operator.index does, without importing it.
  return PyRef::steal(PyNumber_Index(shape));
}

std::optional<AxisOrder> parse_array_axis_order(std::string_view order, const View& view) {
  if (!is_order_letter(order, "ACFK")) return raise_error(PyExc_ValueError, array_order_text);
  const std::size_t n = view.ndim();
  switch (order[0]) {
    case 'C': return c_axis_order(n);
    case 'F': return f_axis_order(n);
    case 'A': return view.is_f_contiguous() && !view.is_c_contiguous() ? f_axis_order(n) : c_axis_order(n);
    default: break;
  }
  if (n < 2 || view.is_c_contiguous()) return c_axis_order(n);
  if (view.is_f_contiguous()) return f_axis_order(n);
  // Innermost first by absolute stride; on a tie the later axis stays inside.
  AxisOrder axes = c_axis_order(n);
  std::stable_sort(axes.begin(), axes.end(), [&](std::size_t a, std::size_t b) {
    return stride_magnitude(view.strides[a]) < stride_magnitude(view.strides[b]);
  });
  return axes;
}

std::optional<std::int64_t> dimension_value(PyObject* object) {
  if (PyBool_Check(object)) return raise_error(PyExc_TypeError, "shape dimensions must be integers, not booleans");
  const long long dimension = PyLong_AsLongLong(object);
  if (dimension == -1 && PyErr_Occurred()) return std::nullopt;
  return dimension;
}

std::optional<std::string> order_argument(PyObject* value, const char* absent) {
  if (!value) return std::string(absent);
  if (PyUnicode_Check(value) && !PyUnicode_AsUTF8AndSize(value, nullptr)) {
    // A str that has no UTF-8 form (a lone surrogate) is still a str: it is
    // refused as a wrong letter, like any other text.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return std::nullopt;
    PyErr_Clear();
    return std::string("?");
  }
  return text_argument(value, "order");
}

std::optional<CopyRequest> copy_argument(PyObject* value, CopyRequest absent) {
  if (!value) return absent;
  if (value == Py_True) return CopyRequest::Always;
  if (value == Py_False) return CopyRequest::Never;
  if (value == Py_None) return CopyRequest::IfNeeded;
  raise_argument_type_error("copy", "True, False or None", value);
  return std::nullopt;
}

int add_array_functions(PyObject* module) {
  for (PyMethodDef& def : array_functions)
    if (add_function(module, &def) < 0) return -1;
  return 0;
}

}  // namespace quarvel_python
