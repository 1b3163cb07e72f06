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

#include <array>
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
#include "python/interned.h"
#include "python/py_ref.h"
#include "python/ufunc/operand.h"

namespace quarvel_python::ufunc {

// A method call's arguments as a fast method receives them: `nargs`
// positionals, then the values of the keywords named in `kwnames` (null: no
// keywords). The method's extra arguments start at positional `first`, after
// its fixed leading ones.
struct MethodArguments {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
  Py_ssize_t first;

  Py_ssize_t extra_count() const { return nargs - first; }
  Py_ssize_t keyword_count() const { return kwnames ? PyTuple_Size(kwnames) : 0; }
};

// TypeError "{function}() got an unexpected keyword argument '{key}'" ("unexpected
// keyword argument '{key}'" without a function name); only the message
// converts the key, whose conversion error it fails with instead.
bool raise_unexpected_keyword(PyObject* key, std::string_view function);

// Binds a method's extra parameters, named by `keys` in positional order: the
// first `count` by position or keyword, the rest by keyword only and left
// unbound here. Every keyword must name one of `keys` (the first that does not
// fails, as does a key that is no text: "keywords must be strings"); then,
// in parameter order, one given both ways fails with TypeError "got multiple
// values for argument '{name}'". slots[i] receives parameter i or null.
template <std::size_t N>
bool bind_method_parameters(const MethodArguments& arguments, InternedTexts<N>& keys, std::size_t count,
                            std::span<PyObject*> slots, std::string_view function = {}) {
  std::array<PyObject*, N> by_keyword{};
  const Py_ssize_t keywords = arguments.keyword_count();
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GetItem(arguments.kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return false;
    }
    const int slot = keys.find(key);
    if (slot < 0) return raise_unexpected_keyword(key, function);
    if (!by_keyword[static_cast<std::size_t>(slot)]) by_keyword[static_cast<std::size_t>(slot)] = arguments.args[arguments.nargs + k];
  }
  for (std::size_t i = 0; i < count; ++i) {
    const bool positional = arguments.extra_count() > static_cast<Py_ssize_t>(i);
    if (positional && by_keyword[i]) {
      PyErr_Format(PyExc_TypeError, "got multiple values for argument '%s'", keys.text(i));
      return false;
    }
    slots[i] = positional ? arguments.args[arguments.first + static_cast<Py_ssize_t>(i)] : by_keyword[i];
  }
  return true;
}

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
// {leading + 3} positional arguments ({n} given)"), keywords from `keys`
// (axis, dtype, out, then any bound before), then axis (default 0, read by
// single_axis_argument), dtype (None: none) and out.
struct AxisMethodParameters {
  std::int64_t axis;
  PyObject* dtype;  // null: none requested
  PyObject* out;    // null: not given
};
template <std::size_t N>
std::optional<AxisMethodParameters> parse_axis_method_parameters(const MethodArguments& arguments,
                                                                 const char* method, int leading,
                                                                 InternedTexts<N>& keys);

// TypeError "{method}() takes at most {leading + count} positional arguments
// ({n} given)" when more than `count` extra arguments are given.
bool check_extra_count(const MethodArguments& arguments, const char* method, int leading, int count);

template <std::size_t N>
std::optional<AxisMethodParameters> parse_axis_method_parameters(const MethodArguments& arguments,
                                                                 const char* method, int leading,
                                                                 InternedTexts<N>& keys) {
  if (!check_extra_count(arguments, method, leading, 3)) return std::nullopt;
  PyObject* given[3];
  if (!bind_method_parameters(arguments, keys, 3, given)) return std::nullopt;
  std::int64_t index = 0;
  if (given[0]) {
    auto read = single_axis_argument(given[0], method);
    if (!read) return std::nullopt;
    index = *read;
  }
  return AxisMethodParameters{index, given[1] == Py_None ? nullptr : given[1], given[2]};
}

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

// Every element of `view` (C-ordered over a buffer just made) set to `value`,
// as View::assign_scalar sets it. False with the error set.
bool fill_fresh(const View& view, const Scalar& value);

// run_typed and convert_typed (and their borrowed forms) with their storage
// errors raised.
std::optional<std::uint32_t> run_raising(const quarvel_kernels::TypedRun& run);
std::optional<std::uint32_t> run_raising(const quarvel_kernels::BorrowedRun& run);
bool convert_raising(const Shape& shape, const quarvel_kernels::RunOperand& from,
                     const quarvel_kernels::RunOperand& to);
bool convert_raising(const Shape& shape, const quarvel_kernels::RunPart& from, const quarvel_kernels::RunPart& to);

// A new view's run operand: its own strides, no layout check.
quarvel_kernels::RunPart fresh_part(const View& view, std::int64_t shift = 0);

// `computed` as a new result of `dtype` (itself when it has that dtype).
std::optional<View> as_result_view(View computed, DType dtype);

// deliver_and_report for a result held in `values` (a new array of the
// result dtype in C layout): the same checks in the same order, the values
// converted straight into `out` or handed over as the new array.
PyObject* deliver_view_and_report(std::string_view name, View values, std::optional<ScalarAlias> alias,
                                  PyObject* out, bool scalar_ok, std::uint32_t faults);

}  // namespace quarvel_python::ufunc
