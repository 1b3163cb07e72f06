// ufunc.reduceat: folds the segments of one axis that a list of start
// positions marks. Segment j runs from start j to start j + 1, or to the end
// of the axis after the last start; when the next start is not greater, the
// segment is the single element at its start. Positions need not be sorted
// and may repeat; every segment is folded on its own.
#include <limits>
#include <type_traits>
#include <variant>

#include "python/args.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/method_support.h"
#include "storage/checked.h"
#include "storage/indexing.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;

// `indices` by keyword has been bound by then.
InternedTexts<4> reduceat_keys({"axis", "dtype", "out", "indices"});

struct PreparedReduceat {
  Op op;
  AxisInput input;
  Shape shape;
  std::vector<std::uint64_t> starts;
  Shape result_shape;
  DType left;    // the running value (L)
  DType right;   // each element (R)
  DType result;  // res
};

// One start position: an integer value within the axis.
std::optional<std::uint64_t> start_position(const Scalar& value, std::uint64_t length) {
  const std::optional<__int128> position = std::visit(
      [](const auto& payload) -> std::optional<__int128> {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) return static_cast<__int128>(payload);
        return std::nullopt;
      },
      value.storage());
  if (!position) return raise_error(PyExc_TypeError, "indices must be integer values");
  if (*position > std::numeric_limits<std::int64_t>::max()) return raise_error(PyExc_ValueError, "index too large");
  if (*position < 0 || static_cast<std::uint64_t>(*position) >= length)
    return raise_error(PyExc_ValueError, "index out of bounds");
  return static_cast<std::uint64_t>(*position);
}

// The start positions of an integer array, read in one pass and checked in
// order. False with the error set where one fails; true with `starts` empty
// where a uint64 value reads as 2^63 - 1 (the reading clamps larger ones
// there, which are too large rather than out of bounds): the element
// reading decides then.
bool typed_start_positions(const View& indices, std::uint64_t length, std::vector<std::uint64_t>& starts) {
  auto values = storage_value(quarvel_storage::read_index_values(indices, quarvel_storage::LoopPath::Typed));
  if (!values || !storage_ok(quarvel_storage::checked::reserve(starts, values->size()))) return false;
  for (const std::int64_t value : *values) {
    if (indices.dtype == DType::UInt64 && value == std::numeric_limits<std::int64_t>::max()) {
      starts.clear();
      return true;
    }
    if (value < 0 || static_cast<std::uint64_t>(value) >= length)
      return raise_false(PyExc_ValueError, "index out of bounds");
    starts.push_back(static_cast<std::uint64_t>(value));
  }
  return true;
}

std::optional<std::vector<std::uint64_t>> start_positions(PyObject* indices, std::uint64_t length) {
  auto operand = Operand::from_python(indices);
  if (!operand) return std::nullopt;
  if (operand->shape().size() != 1) return raise_error(PyExc_ValueError, "indices must be one-dimensional");
  const std::uint64_t count = operand->shape()[0];
  std::vector<std::uint64_t> starts;
  if (operand->view && operand->dtype.is_integer() && count > 0 && !element_path_forced()) {
    if (!typed_start_positions(*operand->view, length, starts)) return std::nullopt;
    if (!starts.empty()) return starts;
  }
  if (!storage_ok(quarvel_storage::checked::reserve(starts, count))) return std::nullopt;
  Coordinates coordinates{0};
  for (std::uint64_t i = 0; i < count; ++i) {
    coordinates[0] = i;
    auto value = operand->read(coordinates, 1);
    auto start = value ? start_position(*value, length) : std::nullopt;
    if (!start) return std::nullopt;
    starts.push_back(*start);
  }
  return starts;
}

std::optional<PreparedReduceat> prepare_reduceat(Op op, std::string_view name, PyObject* array, PyObject* indices,
                                                 const AxisMethodParameters& parameters) {
  auto input = prepare_axis_input(op, name, "reduceat", array, parameters.axis);
  if (!input) return std::nullopt;
  Shape shape = input->input.shape();
  auto starts = start_positions(indices, shape[input->axis]);
  if (!starts) return std::nullopt;
  auto loop = reduction_loop(op, input->input.dtype, parameters.dtype);
  if (!loop || !validate_repeated_ufunc_loop(name, *loop, "reduceat")) return std::nullopt;
  Shape result_shape = shape;
  result_shape[input->axis] = starts->size();
  return PreparedReduceat{op,
                          std::move(*input),
                          std::move(shape),
                          std::move(*starts),
                          std::move(result_shape),
                          reduction_accumulator_dtype(op, loop->inputs[0]),
                          reduction_accumulator_dtype(op, loop->inputs[1]),
                          loop->outputs[0]};
}

// Lane by lane in row-major order of the other axes, each segment in the order
// of the start positions; `values` starts as zeros of the result dtype.
std::optional<std::uint32_t> element_reduceat(const PreparedReduceat& prepared, std::vector<Scalar>& values) {
  using quarvel_storage::view_detail::next_c_order;
  const Operand& input = prepared.input.input;
  const std::size_t axis = prepared.input.axis;
  const std::size_t rank = prepared.shape.size();
  const std::uint64_t length = prepared.shape[axis];
  const std::uint64_t segments = prepared.starts.size();
  std::uint32_t faults = 0;
  if (values.empty()) return faults;
  Shape lanes = prepared.shape;
  lanes[axis] = 1;
  const std::uint64_t lane_count = values.size() / segments;
  Coordinates coordinates(rank, 0);
  Scalar operands[2];  // the running value and the element
  for (std::uint64_t lane = 0; lane < lane_count; ++lane) {
    for (std::uint64_t j = 0; j < segments; ++j) {
      const std::uint64_t start = prepared.starts[j];
      const std::uint64_t end = j + 1 < segments ? prepared.starts[j + 1] : length;
      const std::uint64_t stop = start < end ? end : start + 1;
      for (std::uint64_t k = start; k < stop; ++k) {
        coordinates[axis] = k;
        auto element = input.read_as(coordinates, rank, prepared.right);
        if (!element) return std::nullopt;
        std::optional<Scalar> running;
        if (k == start) {
          running = cast_to(std::move(*element), prepared.left);
        } else {
          operands[1] = std::move(*element);
          auto next = fold_step(prepared.op, operands, prepared.left, faults);
          if (next) running = cast_to(std::move(*next), prepared.left);
        }
        if (!running) return std::nullopt;
        operands[0] = std::move(*running);
      }
      coordinates[axis] = j;
      auto index = linear_for_shape(prepared.result_shape, coordinates);
      auto stored = index ? cast_to(operands[0], prepared.result) : std::nullopt;
      if (!stored) return std::nullopt;
      values[*index] = std::move(*stored);
    }
    coordinates[axis] = 0;
    next_c_order(coordinates, lanes);
  }
  return faults;
}

// The typed path: every segment of every line through one segmented fold,
// its running values (bool truth values for the logical operations) held in
// a new array of the result's shape, converted to the result dtype at the end.
std::optional<PyObject*> typed_reduceat(const PreparedReduceat& prepared, std::string_view name, PyObject* out) {
  const Operand& input = prepared.input.input;
  if (!input.view || input.big_int || prepared.left != prepared.right ||
      !typed_path_open({input.dtype, prepared.left, prepared.result}))
    return std::nullopt;
  const DType running_type = running_dtype(prepared.op, prepared.left);
  const quarvel_kernels::StridedLoop kernel = fold_kernel(prepared.op, running_type, prepared.right);
  if (!kernel) return std::nullopt;
  const DType result_dtypes[] = {prepared.result};
  if (!check_new_output_size(prepared.result_shape, result_dtypes)) return nullptr;
  auto running = new_result_view(running_type, prepared.result_shape);
  if (!running) return nullptr;
  const quarvel_kernels::SegmentedFold fold{placed(*input.view), prepared.input.axis, prepared.starts, &*running,
                                            fold_loop(running_type, prepared.right), kernel};
  auto faults = storage_value(quarvel_kernels::run_segments(fold));
  if (!faults) return nullptr;
  auto result = as_result_view(std::move(*running), prepared.result);
  if (!result) return nullptr;
  return deliver_view_and_report(name, std::move(*result), alias_hint(std::span(&input, 1), prepared.result), out,
                                 false, *faults);
}

PyObject* reduceat(Op op, std::string_view name, PyObject* array, PyObject* indices,
                   const AxisMethodParameters& parameters) {
  auto prepared = prepare_reduceat(op, name, array, indices, parameters);
  if (!prepared) return nullptr;
  if (auto typed = typed_reduceat(*prepared, name, parameters.out)) return *typed;
  auto values = zero_result(prepared->result_shape, prepared->result);
  if (!values) return nullptr;
  auto faults = element_reduceat(*prepared, *values);
  if (!faults) return nullptr;
  SingleResult result{std::move(prepared->result_shape), prepared->result, std::move(*values),
                      alias_hint(std::span(&prepared->input.input, 1), prepared->result)};
  return deliver_and_report(name, std::move(result), parameters.out, false, *faults);
}

}  // namespace

PyObject* reduceat_method(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Param params[] = {{"array", ParamKind::PositionalOnly, true},
                                     {"indices", ParamKind::PositionalOrKeyword, true}};
  static constexpr Signature signature{"reduceat", params, true, true};
  PyObject* bound[2] = {nullptr, nullptr};
  const CallArgs call = CallArgs::from_vector(args, nargs, kwnames);
  if (!parse_arguments(signature, call, bound)) return nullptr;
  const bool indices_positional = call.positional_count() >= 2;
  if (indices_positional && call.keyword("indices"))
    return raise_null(PyExc_TypeError, "argument for reduceat() given by name ('indices') and position (2)");
  auto parameters =
      parse_axis_method_parameters({args, nargs, kwnames, indices_positional ? 2 : 1}, "reduceat", 2, reduceat_keys);
  if (!parameters) return nullptr;
  return reduceat(op, name, bound[0], bound[1], *parameters);
}

}  // namespace quarvel_python::ufunc
