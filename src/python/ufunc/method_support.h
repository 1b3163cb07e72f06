// What the ufunc methods reduce, accumulate and reduceat share: their
// parameters by position or keyword, the module's AxisError, one fold step,
// the `where` test, the accumulator dtypes and the delivery of a finished
// result as a new array, a Python scalar or into a caller's `out` array.
//
// Every engine runs in three stages: checks and loop choice, the fold, then
// delivery and the one fault report. The typed path replaces the fold (and
// delivers from an array instead of a list of values); the element fold
// stays as its reference.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/loop_table.h"
#include "kernels/ops.h"
#include "kernels/typed_run.h"
#include "python/dtype_object.h"
#include "python/py_ref.h"
#include "python/ufunc/operand.h"

namespace quarvel_python::ufunc {

// A method call's positional tuple, whose extra arguments start at `first`
// (after the method's fixed leading ones), and its keywords (may be null).
struct MethodArguments {
  PyObject* tuple;
  Py_ssize_t first;
  PyObject* kwargs;

  Py_ssize_t extra_count() const { return PyTuple_Size(tuple) - first; }
};

// The parameter `name` at position `index` of the extra positional arguments,
// or given by keyword; a null pointer when given neither way (None is returned
// as None). Nullopt with TypeError "got multiple values for argument '{name}'"
// when given both ways, or with the error of the keyword lookup.
std::optional<PyObject*> method_parameter(const MethodArguments& arguments, Py_ssize_t index, const char* name);

// The exception for an axis out of range: the module's current AxisError
// (looked up at every call) holding `message`; the failure of that lookup
// instead, or a TypeError when the attribute is not an exception class.
PyRef axis_error(const std::string& message);
// Raises AxisError "axis {axis} is out of bounds for array of dimension {ndim}";
// returns nullopt.
std::nullopt_t raise_axis_out_of_bounds(std::int64_t axis, std::size_t ndim);
// `axis` (negative counts from the end) as an index below ndim, or the AxisError.
std::optional<std::size_t> normalize_axis(std::int64_t axis, std::size_t ndim);

// The one axis of accumulate and reduceat: an integer or a one-item tuple of
// one. None and other tuples fail with ValueError "{method} does not allow
// multiple axes", a bool with TypeError "an integer is required", anything
// else with the interpreter's integer conversion error.
std::optional<std::int64_t> single_axis_argument(PyObject* axis, const char* method);

// The parameters of accumulate and reduceat after their `leading` fixed
// arguments: at most three more positionally ("{method}() takes at most
// {leading + 3} positional arguments ({n} given)"), keywords from `allowed`,
// then axis (default 0, read by single_axis_argument), dtype (None: none)
// and out.
struct AxisMethodParameters {
  std::int64_t axis;
  PyObject* dtype;  // null: none requested
  PyObject* out;    // null: not given
};
std::optional<AxisMethodParameters> parse_axis_method_parameters(const MethodArguments& arguments,
                                                                 const char* method, int leading,
                                                                 std::span<const std::string_view> allowed);

// The input of accumulate and reduceat and its one axis: the two-input check
// ("{name} is not a binary {what} ufunc"), the operand, the axis within its
// dimensions (an input without dimensions has none).
struct AxisInput {
  Operand input;
  std::size_t axis;
};
std::optional<AxisInput> prepare_axis_input(quarvel_kernels::Op op, std::string_view name, const char* what,
                                            PyObject* array, std::int64_t axis);

// The loop of a reduction: the table's loop for two inputs of the requested
// dtype (accumulator_dtype). Each method checks it its own way.
std::optional<quarvel_kernels::Loop> reduction_loop(quarvel_kernels::Op op, DType input, PyObject* dtype);

// The two-input check of the methods: TypeError "{name} is not a binary
// {what} ufunc" for one-input ufuncs and divmod.
bool check_binary_method(quarvel_kernels::Op op, std::string_view name, const char* what);
bool is_binary_method_op(quarvel_kernels::Op op);

// The dtype a reduction asks the loop table for: a `dtype` argument (null:
// none) unchanged; else add and multiply widen bool and small integers to
// 64 bits; else the input's.
std::optional<DType> accumulator_dtype(quarvel_kernels::Op op, DType input, PyObject* dtype);
// The dtype a running value is kept in: add and multiply fold float16 in float32.
DType reduction_accumulator_dtype(quarvel_kernels::Op op, DType dtype);

// One fold step: the binary kernel's first result for `dtype`. Nullopt with
// the mapped storage error, or TypeError "ufunc loop returned no value".
std::optional<Scalar> scalar_loop(quarvel_kernels::Op op, const Scalar& left, const Scalar& right, DType dtype);

// One step of a fold on {running value, element}: scalar_loop for `dtype`,
// its faults classified and ORed into `faults`.
std::optional<Scalar> fold_step(quarvel_kernels::Op op, std::span<const Scalar, 2> operands, DType dtype,
                                std::uint32_t& faults);

// `value` in `dtype` (itself when it has that dtype already). Nullopt with the
// mapped cast error.
std::optional<Scalar> cast_to(Scalar value, DType dtype);

// Whether the element at `coordinates` (of `rank` axes) takes part: no mask,
// or the mask's value there is true. Nullopt with the read error.
std::optional<bool> selected(const std::optional<Operand>& mask, const Coordinates& coordinates, std::size_t rank);

// The row-major index of `coordinates` in `shape` (not bounds-checked). Nullopt
// with ValueError "coordinate rank mismatch" or "array shape exceeds supported
// limits".
std::optional<std::uint64_t> linear_for_shape(const Shape& shape, const Coordinates& coordinates);

// Values for a new result of `shape` and `dtype`: the size checked (the byte
// size must fit the signed 64-bit range, the values must fit in memory) and
// room reserved, before any element is computed. Nullopt with the error set.
std::optional<std::vector<Scalar>> reserve_result(const Shape& shape, DType dtype);
// The same, filled with the zero of `dtype` (for results not written in order).
std::optional<std::vector<Scalar>> zero_result(const Shape& shape, DType dtype);

// A finished result: its values in row-major order of `shape`.
struct SingleResult {
  Shape shape;
  DType dtype;
  std::vector<Scalar> values;
  std::optional<ScalarAlias> alias;
};

// Delivers a result: with no output (`out` absent, None or (None,)) a Python
// scalar when `scalar_ok` and the shape is empty, else a new C-ordered Array;
// with an output array, after the same_kind cast check and then the exact
// shape check, the values written into it, and the array returned.
PyRef finish_single(SingleResult result, PyObject* out, bool scalar_ok);

// finish_single, then the one fault report of the method call; a report that
// raises drops the result (values written into `out` stay written).
PyObject* deliver_and_report(std::string_view name, SingleResult result, PyObject* out, bool scalar_ok,
                             std::uint32_t faults);

// --- the typed path ----------------------------------------------------------------

// Whether the typed path may serve these dtypes: unless forced off, every
// dtype has its typed loops.
bool typed_path_open(std::initializer_list<DType> dtypes);

// The dtype a typed fold keeps its running value in: bool for the logical
// operations, whose steps see only truth values (Scalar::cast to bool is the
// truth value, so each result is the same), else `accumulator` itself.
DType running_dtype(quarvel_kernels::Op op, DType accumulator);

// The loop of one fold step: (running, element) -> running.
quarvel_kernels::Loop fold_loop(DType running, DType element);
// Its typed kernel; null when there is none or when it may refuse an element
// (the element path then serves, and raises where the refusal comes).
quarvel_kernels::StridedLoop fold_kernel(quarvel_kernels::Op op, DType running, DType element);

// `view` restricted to positions [start, start + length) of `axis`; same buffer.
View axis_range(const View& view, std::size_t axis, std::uint64_t start, std::uint64_t length);

// A view placed over a run of `shape` by `strides`.
quarvel_kernels::RunOperand placed(const View& view, quarvel_storage::Strides strides);
quarvel_kernels::RunOperand placed(const View& view);

// A new result of `dtype` for a run that writes every element of it (left
// unfilled): C layout, the dtype's default byte order; its size checked as
// reserve_result does. Nullopt with the error set.
std::optional<View> new_result_view(DType dtype, const Shape& shape);

// run_typed and convert_typed with their storage errors raised.
std::optional<std::uint32_t> run_raising(const quarvel_kernels::TypedRun& run);
bool convert_raising(const Shape& shape, const quarvel_kernels::RunOperand& from,
                     const quarvel_kernels::RunOperand& to);

// `computed` as a new result of `dtype` (itself when it has that dtype).
std::optional<View> as_result_view(View computed, DType dtype);

// deliver_and_report for a result held in `values` (a new array of the
// result dtype in C layout): the same checks in the same order, the values
// converted straight into `out` or handed over as the new array.
PyObject* deliver_view_and_report(std::string_view name, View values, std::optional<ScalarAlias> alias,
                                  PyObject* out, bool scalar_ok, std::uint32_t faults);

}  // namespace quarvel_python::ufunc
