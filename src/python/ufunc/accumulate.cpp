// ufunc.accumulate: the running results of a two-input ufunc along one axis.
// Each line starts with its own first element; every later result is the
// ufunc of the previous result and the current element. The running value
// stays in the loop's input dtype (float16 included: no wider accumulator).
#include "python/args.h"
#include "python/errors.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/method_support.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;

InternedTexts<3> accumulate_keys({"axis", "dtype", "out"});

struct PreparedAccumulate {
  std::string_view name;
  Op op;
  AxisInput input;
  Shape shape;
  DType left;    // the running value
  DType right;   // each element
  DType result;
};

std::optional<PreparedAccumulate> prepare_accumulate(Op op, std::string_view name, PyObject* array,
                                                     const AxisMethodParameters& parameters) {
  auto input = prepare_axis_input(op, name, "accumulation", array, parameters.axis);
  if (!input) return std::nullopt;
  auto loop = reduction_loop(op, input->input.dtype, parameters.dtype);
  if (!loop || !validate_repeated_ufunc_loop(name, *loop, "accumulate")) return std::nullopt;
  Shape shape = input->input.shape();
  return PreparedAccumulate{name, op, std::move(*input), std::move(shape), loop->inputs[0], loop->inputs[1],
                            loop->outputs[0]};
}

// Line by line in row-major order of the other axes; each result lands at its
// own row-major place, so `values` starts as zeros of the result dtype.
std::optional<std::uint32_t> element_accumulate(const PreparedAccumulate& prepared, std::vector<Scalar>& values) {
  using quarvel_storage::view_detail::next_c_order;
  const Operand& input = prepared.input.input;
  const std::size_t axis = prepared.input.axis;
  const std::size_t rank = prepared.shape.size();
  const std::uint64_t length = prepared.shape[axis];
  std::uint32_t faults = 0;
  if (values.empty()) return faults;
  Shape lanes = prepared.shape;
  lanes[axis] = 1;
  const std::uint64_t lane_count = values.size() / length;
  Coordinates coordinates(rank, 0);
  Scalar operands[2];  // the running value and the element
  for (std::uint64_t lane = 0; lane < lane_count; ++lane) {
    for (std::uint64_t k = 0; k < length; ++k) {
      coordinates[axis] = k;
      auto element = input.read_as(coordinates, rank, prepared.right);
      if (!element) return std::nullopt;
      std::optional<Scalar> running;
      if (k == 0) {
        running = cast_to(std::move(*element), prepared.left);
      } else {
        operands[1] = std::move(*element);
        auto next = fold_step(prepared.op, operands, prepared.result, faults);
        if (next) running = cast_to(std::move(*next), prepared.left);
      }
      if (!running) return std::nullopt;
      auto index = linear_for_shape(prepared.shape, coordinates);
      auto stored = index ? cast_to(*running, prepared.result) : std::nullopt;
      if (!stored) return std::nullopt;
      values[*index] = std::move(*stored);
      operands[0] = std::move(*running);
    }
    coordinates[axis] = 0;
    next_c_order(coordinates, lanes);
  }
  return faults;
}

// The first element of every line (`lines` has length 1 along the axis) as
// the result holds it: cast to the element dtype, then to the result's (one
// cast when either is the element dtype already).
bool take_first(const Shape& lines, const View& source, DType element, const View& results) {
  const quarvel_kernels::RunPart from{&source, source.strides.data()};
  if (source.dtype == element || results.dtype == element) return convert_raising(lines, from, fresh_part(results));
  auto staged = new_result_view(element, lines);
  return staged && convert_raising(lines, from, fresh_part(*staged)) &&
         convert_raising(lines, fresh_part(*staged), fresh_part(results));
}

// The typed path: the first element of every line converted into the result,
// then one run along the axis whose input 0 is the result one position back,
// so each step reads the value the step before wrote. The running value must
// live in the result itself: left, right and result dtypes alike, or a
// logical operation, whose steps see only the truth values a bool result holds.
std::optional<PyObject*> typed_accumulate(const PreparedAccumulate& prepared, PyObject* out) {
  const Operand& input = prepared.input.input;
  const DType running = running_dtype(prepared.op, prepared.left);
  if (!input.view || input.big_int || running != prepared.result || prepared.left != prepared.right ||
      !typed_path_open({input.dtype, prepared.result}))
    return std::nullopt;
  const quarvel_kernels::StridedLoop kernel = fold_kernel(prepared.op, running, prepared.right);
  if (!kernel) return std::nullopt;
  auto results = new_result_view(prepared.result, prepared.shape);
  if (!results) return nullptr;
  const View& source = *input.view;
  const std::size_t axis = prepared.input.axis;
  const std::uint64_t length = prepared.shape[axis];
  std::uint32_t faults = 0;
  if (length > 0) {
    // The steps on the views as they are, the later positions reached by shifts.
    Shape lines = prepared.shape;
    lines[axis] = 1;
    if (!take_first(lines, source, prepared.right, *results)) return nullptr;
    lines[axis] = length - 1;
    // Past the first element only where there is one.
    const std::int64_t step = length > 1 ? results->strides[axis] : 0;
    const DType loop[] = {running, prepared.right};  // fold_loop's dtypes
    const quarvel_kernels::RunPart inputs[] = {
        fresh_part(*results), {&source, source.strides.data(), nullptr, false, length > 1 ? source.strides[axis] : 0}};
    const quarvel_kernels::RunPart output = fresh_part(*results, step);
    const quarvel_kernels::BorrowedRun run{&lines, inputs, std::span(&output, 1), nullptr, loop, std::span(loop, 1),
                                           kernel};
    auto ran = run_raising(run);
    if (!ran) return nullptr;
    faults = *ran;
  }
  return deliver_view_and_report(prepared.name, std::move(*results),
                                 alias_hint(std::span(&input, 1), prepared.result), out, false, faults);
}

PyObject* accumulate(Op op, std::string_view name, PyObject* array, const AxisMethodParameters& parameters) {
  auto prepared = prepare_accumulate(op, name, array, parameters);
  if (!prepared) return nullptr;
  if (auto typed = typed_accumulate(*prepared, parameters.out)) return *typed;
  auto values = zero_result(prepared->shape, prepared->result);
  if (!values) return nullptr;
  auto faults = element_accumulate(*prepared, *values);
  if (!faults) return nullptr;
  SingleResult result{std::move(prepared->shape), prepared->result, std::move(*values),
                      alias_hint(std::span(&prepared->input.input, 1), prepared->result)};
  return deliver_and_report(name, std::move(result), parameters.out, false, *faults);
}

}  // namespace

PyObject* accumulate_method(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* array = nargs >= 1 ? args[0] : nullptr;
  if (!array) {
    // No array: the binding's own refusal.
    static constexpr Param params[] = {{"array", ParamKind::PositionalOnly, true}};
    static constexpr Signature signature{"accumulate", params, true, true};
    if (!parse_arguments(signature, CallArgs::from_vector(args, nargs, kwnames), std::span(&array, 1)))
      return nullptr;
  }
  auto parameters = parse_axis_method_parameters({args, nargs, kwnames, 1}, "accumulate", 1, accumulate_keys);
  if (!parameters) return nullptr;
  return accumulate(op, name, array, *parameters);
}

}  // namespace quarvel_python::ufunc
