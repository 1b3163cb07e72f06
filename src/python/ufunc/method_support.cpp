#include "python/ufunc/method_support.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "python/args.h"
#include "python/array_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/scalar_object.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/report.h"
#include "storage/checked.h"
#include "storage/convert_loop.h"
#include "storage/traverse.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

using quarvel_kernels::Op;

bool raise_unexpected_keyword(PyObject* key, std::string_view function) {
  auto text = utf8_text(key);
  if (!text) return false;
  const std::string prefix = function.empty() ? "" : std::string(function) + "() got an ";
  return raise_text(PyExc_TypeError, prefix + "unexpected keyword argument '" + *text + "'");
}

bool check_extra_count(const MethodArguments& arguments, const char* method, int leading, int count) {
  if (arguments.extra_count() <= count) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at most %d positional arguments (%zd given)", method, leading + count,
               arguments.extra_count() + leading);
  return false;
}

namespace {

constexpr char axis_error_not_a_class[] = "quarvel.AxisError must be an exception class";

}  // namespace

PyRef axis_error(const std::string& message) {
  // Looked up at every raise, so replacing quarvel.AxisError takes effect.
  PyRef package = PyRef::steal(PyImport_ImportModule("quarvel"));
  if (!package) return {};
  PyRef type = PyRef::steal(PyObject_GetAttrString(package.get(), "AxisError"));
  if (!type) return {};
  // A class that is no exception class could not be raised either.
  if (!PyExceptionClass_Check(type.get())) return raise_null(PyExc_TypeError, axis_error_not_a_class), PyRef();
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return {};
  PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(type.get(), text.get(), nullptr));
  if (exception && !PyExceptionInstance_Check(exception.get()))
    return raise_null(PyExc_TypeError, axis_error_not_a_class), PyRef();
  return exception;
}

std::nullopt_t raise_axis_out_of_bounds(std::int64_t axis, std::size_t ndim) {
  raise_exception(axis_error("axis " + std::to_string(axis) + " is out of bounds for array of dimension " +
                             std::to_string(ndim)));
  return std::nullopt;
}

std::optional<std::size_t> normalize_axis(std::int64_t axis, std::size_t ndim) {
  const std::int64_t rank = static_cast<std::int64_t>(ndim);
  const std::int64_t index = axis < 0 ? axis + rank : axis;
  if (index < 0 || index >= rank) return raise_axis_out_of_bounds(axis, ndim);
  return static_cast<std::size_t>(index);
}

std::optional<std::int64_t> single_axis_argument(PyObject* axis, const char* method) {
  const auto multiple = [&] {
    PyErr_Format(PyExc_ValueError, "%s does not allow multiple axes", method);
    return std::nullopt;
  };
  if (axis == Py_None) return multiple();
  if (PyTuple_Check(axis)) {
    if (PyTuple_Size(axis) != 1) return multiple();
    axis = PyTuple_GetItem(axis, 0);
  }
  if (PyBool_Check(axis)) return raise_error(PyExc_TypeError, "an integer is required");
  const long value = PyLong_AsLong(axis);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

std::optional<AxisInput> prepare_axis_input(Op op, std::string_view name, const char* what, PyObject* array,
                                            std::int64_t axis) {
  if (!check_binary_method(op, name, what)) return std::nullopt;
  auto input = Operand::from_python(array);
  if (!input) return std::nullopt;
  auto index = normalize_axis(axis, input->shape().size());
  if (!index) return std::nullopt;
  return AxisInput{std::move(*input), *index};
}

// Without a dtype argument the loop depends on the operation and the input's
// dtype alone: the last one found for each operation is kept (refusals are
// met afresh).
std::optional<quarvel_kernels::Loop> reduction_loop(Op op, DType input, PyObject* dtype) {
  struct Kept {
    DType input;
    quarvel_kernels::Loop loop;
  };
  static std::array<std::optional<Kept>, quarvel_kernels::op_count> last;
  std::optional<Kept>& kept = last[static_cast<std::size_t>(op)];
  if (!dtype && kept && kept->input == input) return kept->loop;
  auto requested = accumulator_dtype(op, input, dtype);
  if (!requested) return std::nullopt;
  const DType pair[] = {*requested, *requested};
  auto loop = storage_value(quarvel_kernels::resolve_loop(op, pair));
  if (loop && !dtype) kept = Kept{input, *loop};
  return loop;
}

bool is_binary_method_op(Op op) { return quarvel_kernels::input_count(op) == 2 && op != Op::divmod; }

bool check_binary_method(Op op, std::string_view name, const char* what) {
  if (is_binary_method_op(op)) return true;
  const std::string text = std::string(name) + " is not a binary " + what + " ufunc";
  return raise_false(PyExc_TypeError, text.c_str());
}

std::optional<DType> accumulator_dtype(Op op, DType input, PyObject* dtype) {
  if (dtype) {
    auto spec = parse_dtype_spec(dtype);
    if (!spec) return std::nullopt;
    return spec->dtype;
  }
  if (op != Op::add && op != Op::multiply) return input;
  switch (input.code) {
    case DType::Bool:
    case DType::Int8:
    case DType::Int16:
    case DType::Int32: return DType(DType::Int64);
    case DType::UInt8:
    case DType::UInt16:
    case DType::UInt32: return DType(DType::UInt64);
    default: return input;
  }
}

DType reduction_accumulator_dtype(Op op, DType dtype) {
  if ((op == Op::add || op == Op::multiply) && dtype == DType::Float16) return DType::Float32;
  return dtype;
}

std::optional<Scalar> scalar_loop(Op op, const Scalar& left, const Scalar& right, DType dtype) {
  auto computed = quarvel_kernels::binary(op, left, right, dtype);
  if (!computed) {
    raise_storage(computed.error());
    return std::nullopt;
  }
  if (computed->size() == 0) return raise_error(PyExc_TypeError, "ufunc loop returned no value");
  return std::move((*computed)[0]);
}

std::optional<Scalar> fold_step(Op op, std::span<const Scalar, 2> operands, DType dtype, std::uint32_t& faults) {
  auto next = scalar_loop(op, operands[0], operands[1], dtype);
  if (next) faults |= quarvel_kernels::classify_errors(op, operands, std::span(&*next, 1));
  return next;
}

std::optional<Scalar> cast_to(Scalar value, DType dtype) {
  if (value.dtype() == dtype) return value;
  return storage_value(value.cast(dtype));
}

std::optional<bool> selected(const std::optional<Operand>& mask, const Coordinates& coordinates, std::size_t rank) {
  if (!mask) return true;
  auto flag = mask->read(coordinates, rank);
  if (!flag) return std::nullopt;
  return flag->truthy();
}

std::optional<std::uint64_t> linear_for_shape(const Shape& shape, const Coordinates& coordinates) {
  if (shape.size() != coordinates.size()) return raise_error(PyExc_ValueError, "coordinate rank mismatch");
  std::uint64_t index = 0;
  for (std::size_t k = 0; k < shape.size(); ++k)
    if (__builtin_mul_overflow(index, shape[k], &index) || __builtin_add_overflow(index, coordinates[k], &index))
      return raise_error(PyExc_ValueError, "array shape exceeds supported limits");
  return index;
}

std::optional<std::vector<Scalar>> reserve_result(const Shape& shape, DType dtype) {
  auto count = element_count(shape);
  if (!count) return std::nullopt;
  const DType dtypes[] = {dtype};
  if (!check_new_output_size(shape, dtypes)) return std::nullopt;
  std::vector<Scalar> values;
  if (!storage_ok(quarvel_storage::checked::reserve(values, *count))) return std::nullopt;
  return values;
}

std::optional<std::vector<Scalar>> zero_result(const Shape& shape, DType dtype) {
  auto values = reserve_result(shape, dtype);
  if (!values) return std::nullopt;
  values->assign(*element_count(shape), Scalar::zero(dtype));
  return values;
}

namespace {

bool raise_output_cast(DType from, DType to) {
  PyErr_Format(PyExc_TypeError, "cannot cast ufunc output from %s to %s with casting rule 'same_kind'",
               std::string(from.name()).c_str(), std::string(to.name()).c_str());
  return false;
}

// The cast rule before the shape.
bool check_output(DType dtype, const Shape& shape, const View& target) {
  if (!can_cast(dtype, target.dtype, CastingRule::SameKind)) return raise_output_cast(dtype, target.dtype);
  if (target.shape != shape) return raise_false(PyExc_ValueError, "output array has an incorrect shape");
  return true;
}

// Every value is cast before the first write, so a failing cast leaves `out`
// untouched.
bool write_output(SingleResult& result, const View& target) {
  if (!check_output(result.dtype, result.shape, target)) return false;
  for (Scalar& value : result.values) {
    auto cast = cast_to(std::move(value), target.dtype);
    if (!cast) return false;
    value = std::move(*cast);
  }
  Coordinates coordinates(result.shape.size(), 0);
  for (const Scalar& value : result.values) {
    if (!storage_ok(target.write_at(coordinates, value))) return false;
    quarvel_storage::view_detail::next_c_order(coordinates, result.shape);
  }
  return true;
}

// The one output of a method: null for none; nullopt with the error set.
std::optional<PyObject*> given_output(PyObject* out) {
  auto outputs = parse_outputs(out, 1);
  if (!outputs) return std::nullopt;
  PyObject* given = outputs->empty() ? nullptr : (*outputs)[0];
  if (given && !is_array(given)) return raise_error(PyExc_TypeError, "out must be a Quarvel array");
  return given;
}

}  // namespace

PyRef finish_single(SingleResult result, PyObject* out, bool scalar_ok) {
  auto output = given_output(out);
  if (!output) return {};
  if (PyObject* given = *output) {
    if (!write_output(result, as_array(given)->view)) return {};
    return PyRef::borrow(given);
  }
  if (scalar_ok && result.shape.empty())
    return scalar_to_python(result.values.empty() ? Scalar::zero(result.dtype) : result.values[0], result.alias);
  auto view = storage_value(View::from_values_with_layout(result.dtype, default_byte_order(result.dtype),
                                                          std::move(result.shape), result.values, false));
  if (!view) return {};
  return PyRef::steal(new_array_object(std::move(*view), result.alias));
}

PyObject* deliver_and_report(std::string_view name, SingleResult result, PyObject* out, bool scalar_ok,
                             std::uint32_t faults) {
  PyRef delivered = finish_single(std::move(result), out, scalar_ok);
  if (!delivered || !report_errors(name, faults)) return nullptr;
  return delivered.release();
}

}  // namespace quarvel_python::ufunc

namespace quarvel_python::ufunc {

bool typed_path_open(std::initializer_list<DType>) { return !element_path_forced(); }

DType running_dtype(Op op, DType accumulator) {
  const bool logical = op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor;
  return logical ? DType(DType::Bool) : accumulator;
}

quarvel_kernels::Loop fold_loop(DType running, DType element) { return {{running, element}, {running}}; }

quarvel_kernels::StridedLoop fold_kernel(Op op, DType running, DType element) {
  // fold_loop's dtypes, without its lists.
  const DType inputs[] = {running, element};
  const DType outputs[] = {running};
  if (quarvel_kernels::loop_may_refuse(op, inputs)) return nullptr;
  return quarvel_kernels::find_strided_loop(op, inputs, outputs);
}

View axis_range(const View& view, std::size_t axis, std::uint64_t start, std::uint64_t length) {
  View range = view;
  range.offset = static_cast<std::uint64_t>(static_cast<std::int64_t>(view.offset) +
                                            static_cast<std::int64_t>(start) * view.strides[axis]);
  range.shape[axis] = length;
  return range;
}

quarvel_kernels::RunOperand placed(const View& view, quarvel_storage::Strides strides) {
  return {&view, std::move(strides)};
}

quarvel_kernels::RunPart fresh_part(const View& view, std::int64_t shift) {
  return {&view, view.strides.data(), nullptr, true, shift};
}

quarvel_kernels::RunOperand placed(const View& view) { return {&view, view.strides}; }

std::optional<View> new_result_view(DType dtype, const Shape& shape) {
  const DType dtypes[] = {dtype};
  if (!storage_value(quarvel_storage::element_count(shape)) || !check_new_output_size(shape, dtypes))
    return std::nullopt;
  return storage_value(View::unfilled_with_layout(dtype, default_byte_order(dtype), shape, false));
}

bool fill_fresh(const View& view, const Scalar& value) {
  const auto pattern = view.buffer && value.dtype() == view.dtype && !view.dtype.is_long_double()
                           ? quarvel_storage::view_detail::encoded(value, view.dtype, view.byte_order)
                           : quarvel_storage::Result<quarvel_storage::view_detail::ElementBytes>(
                                 quarvel_storage::fail(quarvel_storage::ErrorKind::CannotConvert));
  // Anything else (long double text that does not encode, to begin with) as the view assigns it.
  if (!pattern) return storage_ok(view.assign_scalar(value));
  auto guard = storage_value(view.buffer->write());
  if (!guard) return false;
  std::uint64_t count = 1;
  for (std::uint64_t length : view.shape) count *= length;
  const auto itemsize = view.dtype.itemsize();
  quarvel_storage::view_detail::fill_run((*guard)->data.data() + view.offset, static_cast<std::int64_t>(itemsize),
                                         count, pattern->data(), itemsize);
  return true;
}

std::optional<std::uint32_t> run_raising(const quarvel_kernels::TypedRun& run) {
  return storage_value(quarvel_kernels::run_typed(run));
}

std::optional<std::uint32_t> run_raising(const quarvel_kernels::BorrowedRun& run) {
  return storage_value(quarvel_kernels::run_borrowed(run));
}

bool convert_raising(const Shape& shape, const quarvel_kernels::RunOperand& from,
                     const quarvel_kernels::RunOperand& to) {
  return storage_ok(quarvel_kernels::convert_typed(shape, from, to));
}

bool convert_raising(const Shape& shape, const quarvel_kernels::RunPart& from, const quarvel_kernels::RunPart& to) {
  return storage_ok(quarvel_kernels::convert_borrowed(shape, from, to));
}

std::optional<View> as_result_view(View computed, DType dtype) {
  if (computed.dtype == dtype) return computed;
  auto result = new_result_view(dtype, computed.shape);
  if (!result || !convert_raising(computed.shape, placed(computed), placed(*result))) return std::nullopt;
  return result;
}

PyObject* deliver_view_and_report(std::string_view name, View values, std::optional<ScalarAlias> alias,
                                  PyObject* out, bool scalar_ok, std::uint32_t faults) {
  auto output = given_output(out);
  if (!output) return nullptr;
  PyRef delivered;
  if (PyObject* given = *output) {
    const View& target = as_array(given)->view;
    if (!check_output(values.dtype, values.shape, target) ||
        !convert_raising(values.shape, placed(values), placed(target)))
      return nullptr;
    delivered = PyRef::borrow(given);
  } else if (scalar_ok && values.shape.empty()) {
    auto value = storage_value(values.read_at({}));
    if (!value) return nullptr;
    delivered = scalar_to_python(*value, alias);
  } else {
    delivered = PyRef::steal(new_array_object(std::move(values), alias));
  }
  if (!delivered || !report_errors(name, faults)) return nullptr;
  return delivered.release();
}

}  // namespace quarvel_python::ufunc
