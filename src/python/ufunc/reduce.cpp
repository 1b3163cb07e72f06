// ufunc.reduce: folds an array along one, several or all axes, sequentially
// in row-major order of the reduced axes, from `initial`, else the ufunc's
// identity, else the first selected element.
//
// Every result element is folded into memory before any is delivered, so an
// `out` sharing the input's buffer is read completely before it is written.
#include <algorithm>
#include <string>

#include "kernels/loop_table.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/method_support.h"
#include "python/ufunc/small_call.h"
#include "storage/small_vector.h"
#include "storage/extended.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;
using quarvel_storage::Strides;

// The parameters after the array, in positional order.
InternedTexts<6> reduce_keys({"axis", "dtype", "out", "keepdims", "initial", "where"});
constexpr int reduce_parameter_count = 6;

// Axes held inline for arrays of a few dimensions.
using AxisList = quarvel_storage::SmallVector<std::size_t, quarvel_storage::inline_dimensions>;
using GivenAxes = quarvel_storage::SmallVector<std::int64_t, quarvel_storage::inline_dimensions>;

struct ReduceParameters {
  PyObject* array;
  PyObject* axis;     // None: every axis; null: axis 0
  PyObject* dtype;    // null: none requested
  PyObject* out;      // null: not given
  bool keepdims;
  PyObject* initial;  // null or None: no initial value
  PyObject* where;    // null: not given
};

// A reduction after every check and the loop choice: what the fold needs.
struct PreparedReduce {
  std::string_view name;
  Op op;
  Operand input;
  // The input's shape, or [1] for an input without dimensions reduced as one element.
  Shape shape;
  AxisList axes;  // ascending
  Shape reduced_shape;
  std::uint64_t reduced_count = 0;
  Shape result_shape;
  std::uint64_t result_count = 0;
  // For each result axis, the input axis whose coordinate it carries
  // (SIZE_MAX for a reduced axis kept as length 1).
  AxisList kept_axes;
  DType accumulator;  // a0: the running value
  DType element;      // a1: each folded element
  DType result;
  std::optional<Operand> mask;
  std::optional<Scalar> start;
};

struct Folded {
  std::vector<Scalar> values;
  std::uint32_t faults = 0;
};

// --- arguments -----------------------------------------------------------------------

// keepdims as an index (the interpreter's __index__ conversion), then the C
// long and C int ranges.
std::optional<bool> keepdims_flag(PyObject* value) {
  if (value == Py_True || value == Py_False) return value == Py_True;
  PyRef integer = PyRef::steal(PyNumber_Index(value));
  if (!integer) {
    if (!PyFloat_Check(value)) return std::nullopt;
    PyErr_Clear();
    return raise_error(PyExc_TypeError, "integer argument expected, got float");
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow) return raise_error(PyExc_OverflowError, "Python int too large to convert to C long");
  if (number < INT32_MIN || number > INT32_MAX)
    return raise_error(PyExc_OverflowError, "Python int too large to convert to C int");
  return number != 0;
}

std::optional<ReduceParameters> parse_reduce_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* array = nargs >= 1 ? args[0] : nullptr;
  if (!array) {
    // No array: the binding's own refusal.
    static constexpr Param params[] = {{"array", ParamKind::PositionalOnly, true}};
    static constexpr Signature signature{"reduce", params, true, true};
    if (!parse_arguments(signature, CallArgs::from_vector(args, nargs, kwnames), std::span(&array, 1)))
      return std::nullopt;
  }
  const MethodArguments arguments{args, nargs, kwnames, 1};
  if (!check_extra_count(arguments, "reduce", 1, reduce_parameter_count)) return std::nullopt;
  PyObject* given[reduce_parameter_count];
  if (!bind_method_parameters(arguments, reduce_keys, reduce_parameter_count, given, "reduce")) return std::nullopt;
  ReduceParameters parsed{array, given[0], given[1] == Py_None ? nullptr : given[1], given[2], false, given[4],
                          given[5]};
  if (given[3]) {
    auto flag = keepdims_flag(given[3]);
    if (!flag) return std::nullopt;
    parsed.keepdims = *flag;
  }
  return parsed;
}

// --- axes ----------------------------------------------------------------------------

std::optional<std::int64_t> axis_integer(PyObject* item) {
  if (PyBool_Check(item)) return raise_error(PyExc_TypeError, "an integer is required");
  // The interpreter's C long conversion, as for the one axis of accumulate.
  const long value = PyLong_AsLong(item);
  if (value == -1 && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::int64_t>(value);
}

// The items of an axis tuple as integers, all converted before any is checked.
bool normalize_axes(PyObject* tuple, GivenAxes& axes) {
  const Py_ssize_t count = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto axis = axis_integer(PyTuple_GetItem(tuple, i));
    if (!axis) return false;
    axes.push_back(*axis);
  }
  return true;
}

// The axes as given: every axis for None, a tuple's items, or one integer (0 when absent).
bool requested_axes(PyObject* axis, std::size_t ndim, GivenAxes& axes) {
  if (!axis) {
    axes.push_back(0);
    return true;
  }
  if (axis == Py_None) {
    for (std::size_t i = 0; i < ndim; ++i) axes.push_back(static_cast<std::int64_t>(i));
    return true;
  }
  if (PyTuple_Check(axis)) return normalize_axes(axis, axes);
  auto single = axis_integer(axis);
  if (!single) return false;
  axes.push_back(*single);
  return true;
}

// Range and repetition checked in the given order; ascending.
bool checked_axes(std::span<const std::int64_t> given, std::size_t ndim, AxisList& axes) {
  for (std::int64_t axis : given) {
    auto index = normalize_axis(axis, ndim);
    if (!index) return false;
    if (std::find(axes.begin(), axes.end(), *index) != axes.end())
      return raise_false(PyExc_ValueError, "repeated axis in `axis` argument");
    axes.push_back(*index);
  }
  std::sort(axes.begin(), axes.end());
  return true;
}

// An input without dimensions folds as the one element of shape [1] for None,
// 0 and -1; the empty tuple reduces nothing; every other axis is out of range.
bool prepare_axes(PreparedReduce& reduce, PyObject* axis) {
  const std::size_t ndim = reduce.input.shape().size();
  reduce.shape = reduce.input.shape();
  GivenAxes given;
  if (!requested_axes(axis, ndim, given)) return false;
  const bool single = axis && axis != Py_None && !PyTuple_Check(axis);
  if (ndim == 0 && (axis == Py_None || ((!axis || single) && (given[0] == 0 || given[0] == -1)))) {
    reduce.shape = {1};
    reduce.axes = {0};
    return true;
  }
  return checked_axes(given, ndim, reduce.axes);
}

// --- the engine ------------------------------------------------------------------------

bool reorderable(Op op) {
  return quarvel_kernels::identity(op).has_value() || op == Op::maximum || op == Op::minimum || op == Op::fmax ||
         op == Op::fmin;
}

bool prepare_mask(PreparedReduce& reduce, PyObject* where) {
  auto mask = Operand::from_mask(where);
  if (!mask) return false;
  if (mask->dtype != DType::Bool) return raise_false(PyExc_TypeError, "where must be boolean");
  const Shape& input_shape = reduce.input.shape();
  auto merged = broadcast_shape(input_shape, mask->shape());
  if (!merged) return false;
  if (*merged != input_shape)
    return raise_false(PyExc_ValueError, "where mask cannot be broadcast to the reduction input");
  reduce.mask = std::move(*mask);
  return true;
}

bool prepare_start(PreparedReduce& reduce, PyObject* initial) {
  if (initial && initial != Py_None) {
    auto value = value_to_untyped_scalar(initial);
    if (!value) return false;
    reduce.start = storage_value(value->cast(reduce.accumulator));
    return reduce.start.has_value();
  }
  if (auto identity = quarvel_kernels::identity(reduce.op)) {
    // An identity the accumulator cannot hold leaves the fold to its first element.
    if (auto cast = identity->cast(reduce.accumulator)) reduce.start = std::move(*cast);
  }
  return true;
}

void prepare_shapes(PreparedReduce& reduce, bool keepdims) {
  const bool no_dimensions = reduce.input.shape().empty();
  for (std::size_t i = 0; i < reduce.shape.size(); ++i) {
    const bool reduced = std::binary_search(reduce.axes.begin(), reduce.axes.end(), i);
    if (reduced) reduce.reduced_shape.push_back(reduce.shape[i]);
    if (no_dimensions || (reduced && !keepdims)) continue;
    reduce.result_shape.push_back(reduced ? 1 : reduce.shape[i]);
    reduce.kept_axes.push_back(reduced ? SIZE_MAX : i);
  }
}

// Filled in place: it holds two operands, too large to move for nothing.
bool prepare_reduce(Op op, std::string_view name, const ReduceParameters& parameters, PreparedReduce& reduce) {
  if (!check_binary_method(op, name, "reduction")) return false;
  if (!Operand::convert(parameters.array, reduce.input)) return false;
  reduce.name = name;
  reduce.op = op;
  if (!prepare_axes(reduce, parameters.axis)) return false;

  auto loop = reduction_loop(reduce.op, reduce.input.dtype, parameters.dtype);
  if (!loop || !validate_reduce_loop(name, *loop)) return false;
  if (reduce.axes.size() >= 2 && !reorderable(reduce.op)) {
    const std::string text =
        "reduction operation '" + std::string(name) + "' is not reorderable, so at most one axis may be specified";
    return raise_false(PyExc_ValueError, text.c_str());
  }
  reduce.accumulator = reduction_accumulator_dtype(reduce.op, loop->inputs[0]);
  reduce.element = reduction_accumulator_dtype(reduce.op, loop->inputs[1]);
  reduce.result = loop->outputs[0];

  if (parameters.where && !prepare_mask(reduce, parameters.where)) return false;
  if (!prepare_start(reduce, parameters.initial)) return false;
  prepare_shapes(reduce, parameters.keepdims);
  auto reduced_count = element_count(reduce.reduced_shape);
  auto result_count = reduced_count ? element_count(reduce.result_shape) : std::nullopt;
  if (!result_count) return false;
  reduce.reduced_count = *reduced_count;
  reduce.result_count = *result_count;
  return true;
}

// The fold of every result element, in row-major order, one element at a time.
std::optional<Folded> element_fold(const PreparedReduce& reduce, std::vector<Scalar> values) {
  using quarvel_storage::view_detail::next_c_order;
  Folded folded{std::move(values)};
  const std::size_t rank = reduce.shape.size();
  Coordinates coordinates(rank, 0), result(reduce.result_shape.size(), 0), position(reduce.axes.size(), 0);
  Scalar operands[2];  // the accumulator and the element, as the kernel and the classification take them
  for (std::uint64_t k = 0; k < reduce.result_count; ++k, next_c_order(result, reduce.result_shape)) {
    for (std::size_t j = 0; j < result.size(); ++j)
      if (reduce.kept_axes[j] != SIZE_MAX) coordinates[reduce.kept_axes[j]] = result[j];
    bool started = reduce.start.has_value();
    if (started) operands[0] = *reduce.start;
    std::fill(position.begin(), position.end(), 0);
    for (std::uint64_t r = 0; r < reduce.reduced_count; ++r, next_c_order(position, reduce.reduced_shape)) {
      for (std::size_t j = 0; j < position.size(); ++j) coordinates[reduce.axes[j]] = position[j];
      auto take = selected(reduce.mask, coordinates, rank);
      if (!take) return std::nullopt;
      if (!*take) continue;
      auto element = reduce.input.read_as(coordinates, rank, reduce.element);
      if (!element) return std::nullopt;
      if (!started) {
        auto first = cast_to(std::move(*element), reduce.accumulator);
        if (!first) return std::nullopt;
        operands[0] = std::move(*first);
        started = true;
        continue;
      }
      operands[1] = std::move(*element);
      auto next = fold_step(reduce.op, operands, reduce.accumulator, folded.faults);
      auto kept = next ? cast_to(std::move(*next), reduce.accumulator) : std::nullopt;
      if (!kept) return std::nullopt;
      operands[0] = std::move(*kept);
    }
    if (!started) return raise_error(PyExc_ValueError, "zero-size array to reduction operation which has no identity");
    auto stored = cast_to(operands[0], reduce.result);
    if (!stored) return std::nullopt;
    folded.values.push_back(std::move(*stored));
  }
  return folded;
}

// --- the typed path -------------------------------------------------------------------

// Whether a long double scalar result may be a cast's text that no kernel
// recomputed: the start value where no element is folded into it, or the one
// element of a fold without one. The element fold hands over the cast's exact
// decimal (0.1 as "0.1000000000000000055511151231..."), which a value read
// back from an array would print in 21 digits.
bool cast_text_may_stand(const PreparedReduce& reduce) {
  if (!running_dtype(reduce.op, reduce.accumulator).is_long_double() || !reduce.result_shape.empty()) return false;
  if (!reduce.start) return reduce.reduced_count == 1 && !reduce.input.dtype.is_long_double();
  if (reduce.reduced_count != 0 && !reduce.mask) return false;
  const auto printed = [](const std::string& text) {
    const auto value = quarvel_storage::extended_from_text(text);
    return value && quarvel_storage::extended_text(*value) == text;
  };
  if (const auto* real = reduce.start->get_if<quarvel_storage::LongDoubleText>()) return !printed(real->text);
  const auto& parts = reduce.start->get<quarvel_storage::ComplexLongDoubleText>();
  return !printed(parts.re) || !printed(parts.im);
}

// Whether typed runs can give each accumulator its elements as the element
// fold does: an array input with dimensions, a kernel for (running, a1) ->
// running that never refuses (running_dtype), and something to fold. Without
// a start value the first element is taken over cast once (so a1 must be a0),
// and a mask would make the first selected element differ per result.
quarvel_kernels::StridedLoop typed_fold_kernel(const PreparedReduce& reduce) {
  const Operand& input = reduce.input;
  if (!input.view || input.big_int || input.shape().empty() || reduce.result_count == 0 ||
      !typed_path_open({input.dtype, reduce.accumulator, reduce.element, reduce.result}))
    return nullptr;
  if (!reduce.start && (reduce.mask || reduce.reduced_count == 0 || reduce.accumulator != reduce.element))
    return nullptr;
  if (cast_text_may_stand(reduce)) return nullptr;
  return fold_kernel(reduce.op, running_dtype(reduce.op, reduce.accumulator), reduce.element);
}

// One typed run over `region` (the input or a box of it) folding into the
// accumulators, which sit at stride 0 along the reduced axes.
std::optional<std::uint32_t> fold_region(const PreparedReduce& reduce, quarvel_kernels::StridedLoop kernel,
                                         const View& region, const View& accumulators, const Strides& placement) {
  // fold_loop's dtypes: (running, element) -> running.
  const DType loop[] = {running_dtype(reduce.op, reduce.accumulator), reduce.element};
  const quarvel_kernels::RunPart running{&accumulators, placement.data(), nullptr, true};
  const quarvel_kernels::RunPart inputs[] = {running, {&region, region.strides.data()}};
  quarvel_kernels::BorrowedRun run{&region.shape, inputs, std::span(&running, 1), nullptr, loop, std::span(loop, 1),
                                   kernel};
  Strides mask_strides;
  quarvel_kernels::RunPart mask;
  if (reduce.mask && reduce.mask->view) {
    mask_strides = quarvel_kernels::broadcast_strides(*reduce.mask->view, region.shape);
    mask = {&*reduce.mask->view, mask_strides.data()};
    run.mask = &mask;
  }
  return run_raising(run);
}

// The fold as typed runs over the input's shape. The accumulator of result k
// meets its elements in row-major order of the reduced positions: from a
// start value, one run over the whole input; without one, the first element
// is copied in and the rest folded box by box (for reduced axes r0 < r1 < ...:
// r_last from 1 with the others at 0, then r_last-1 from 1 with the later
// ones whole, and so on).
std::optional<PyObject*> typed_reduce(const PreparedReduce& reduce, const ReduceParameters& parameters) {
  const quarvel_kernels::StridedLoop kernel = typed_fold_kernel(reduce);
  if (!kernel) return std::nullopt;
  const DType result_dtypes[] = {reduce.result};
  if (!check_new_output_size(reduce.result_shape, result_dtypes)) return nullptr;
  const DType running = running_dtype(reduce.op, reduce.accumulator);
  auto accumulators = new_result_view(running, reduce.result_shape);
  if (!accumulators) return nullptr;
  Strides placement(reduce.shape.size(), 0);
  for (std::size_t j = 0; j < reduce.kept_axes.size(); ++j)
    if (reduce.kept_axes[j] != SIZE_MAX) placement[reduce.kept_axes[j]] = accumulators->strides[j];
  const View& input = *reduce.input.view;
  std::uint32_t faults = 0;
  if (reduce.start) {
    const Scalar start = running == reduce.accumulator ? *reduce.start : Scalar(reduce.start->truthy());
    if (!fill_fresh(*accumulators, start)) return nullptr;
    const bool none_selected = reduce.mask && !reduce.mask->view && !reduce.mask->scalar->truthy();
    auto ran = none_selected ? std::optional<std::uint32_t>(0)
                             : fold_region(reduce, kernel, input, *accumulators, placement);
    if (!ran) return nullptr;
    faults = *ran;
  } else {
    View first = input;
    for (std::size_t axis : reduce.axes) first = axis_range(first, axis, 0, 1);
    if (!convert_raising(first.shape, placed(first), placed(*accumulators, placement))) return nullptr;
    for (std::size_t i = reduce.axes.size(); i-- > 0;) {
      const std::size_t axis = reduce.axes[i];
      View box = axis_range(input, axis, 1, input.shape[axis] - 1);
      for (std::size_t j = 0; j < i; ++j) box = axis_range(box, reduce.axes[j], 0, 1);
      auto ran = fold_region(reduce, kernel, box, *accumulators, placement);
      if (!ran) return nullptr;
      faults |= *ran;
    }
  }
  auto result = as_result_view(std::move(*accumulators), reduce.result);
  if (!result) return nullptr;
  const bool scalar_ok = !parameters.keepdims || reduce.input.shape().empty();
  return deliver_view_and_report(reduce.name, std::move(*result),
                                 alias_hint(std::span(&reduce.input, 1), reduce.result), parameters.out, scalar_ok,
                                 faults);
}

PyObject* reduce(Op op, std::string_view name, const ReduceParameters& parameters) {
  PreparedReduce prepared;
  if (!prepare_reduce(op, name, parameters, prepared)) return nullptr;
  if (auto typed = typed_reduce(prepared, parameters)) return *typed;
  auto values = reserve_result(prepared.result_shape, prepared.result);
  if (!values) return nullptr;
  auto folded = element_fold(prepared, std::move(*values));
  if (!folded) return nullptr;
  SingleResult result{std::move(prepared.result_shape), prepared.result, std::move(folded->values),
                      alias_hint(std::span(&prepared.input, 1), prepared.result)};
  const bool scalar_ok = !parameters.keepdims || prepared.input.shape().empty();
  return deliver_and_report(name, std::move(result), parameters.out, scalar_ok, folded->faults);
}

}  // namespace

PyObject* reduce_method(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (auto served = small_reduce(op, name, args, nargs, kwnames)) return *served;
  auto parameters = parse_reduce_arguments(args, nargs, kwnames);
  if (!parameters) return nullptr;
  return reduce(op, name, *parameters);
}

}  // namespace quarvel_python::ufunc
