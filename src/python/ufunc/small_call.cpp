// The small-call path (see small_call.h). It decides what the engine's typed
// path would (operand dtypes with the weak-scalar rule, the loop, the casts
// under "same_kind", the order-"K" layout of new outputs, the scalar alias)
// and runs the same strided kernel, so values, layouts, fault report and
// result are the engine's; only the bookkeeping around them is gone.
#include "python/ufunc/small_call.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "kernels/loop_table.h"
#include "kernels/strided_loops.h"
#include "kernels/typed_run.h"
#include "python/array_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/interned.h"
#include "python/scalar_object.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/flat_run.h"
#include "python/ufunc/method_support.h"
#include "python/ufunc/report.h"
#include "storage/convert_loop.h"
#include "storage/element.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;
using quarvel_storage::ByteOrder;
using quarvel_storage::LockedBuffer;

constexpr std::size_t max_inputs = flat_max_inputs;
constexpr std::size_t max_outputs = flat_max_outputs;

// A plain Python number as the engine converts it: bool, an int within the
// int64 range, float, complex; nullopt for anything else (uint64-range and
// larger ints included, which the engine treats apart).
std::optional<Scalar> plain_number(PyObject* value) {
  if (PyFloat_CheckExact(value)) return Scalar(PyFloat_AsDouble(value));
  if (PyBool_Check(value)) return Scalar(value == Py_True);
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0) return std::nullopt;
    return Scalar(static_cast<std::int64_t>(number));
  }
  if (PyComplex_CheckExact(value))
    return Scalar(std::complex<double>(PyComplex_RealAsDouble(value), PyComplex_ImagAsDouble(value)));
  return std::nullopt;
}

// One input: an array's view, or a weak number.
struct SmallInput {
  const PyArray* array = nullptr;
  Scalar number;
  DType dtype;
  std::int64_t stride = 0;
  ElementBytes value;  // a number, in its loop dtype
};

bool is_logical(Op op) { return op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor; }

// The operand dtypes the loop is chosen by: a number beside an array takes the
// array's dtype where its kind allows (ldexp keeps its own); nullopt where a
// weak int does not fit, which the engine reports.
std::optional<std::array<DType, max_inputs>> loop_dtype_list(Op op, std::span<const SmallInput> inputs) {
  std::array<DType, max_inputs> list{};
  for (std::size_t i = 0; i < inputs.size(); ++i) list[i] = inputs[i].dtype;
  if (inputs.size() != 2 || op == Op::ldexp) return list;
  const SmallInput& a = inputs[0];
  const SmallInput& b = inputs[1];
  if (!a.array == !b.array) return list;
  const SmallInput& number = a.array ? b : a;
  Operand weak;
  weak.scalar = number.number;
  weak.weak = true;
  auto common = fitting_scalar_dtype((a.array ? a : b).dtype, weak);
  if (!common) return std::nullopt;
  list = {*common, *common};
  return list;
}

// A loop this path may run, and its kernel.
struct SmallLoop {
  quarvel_kernels::LoopDTypes loop;
  quarvel_kernels::StridedLoop kernel;
};

// The loop of the default rule for these inputs, when this path can run it:
// every cast allowed, every array already in its loop dtype, a kernel that
// cannot refuse an element. Nullopt otherwise.
std::optional<SmallLoop> small_loop(Op op, std::span<const SmallInput> inputs,
                                    const std::array<DType, max_inputs>& dtype_list) {
  auto loop = quarvel_kernels::resolve_loop_dtypes(op, std::span(dtype_list.data(), inputs.size()));
  if (!loop) return std::nullopt;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const DType from = inputs[i].array ? inputs[i].dtype : dtype_list[i];
    if (!can_cast_operand_dtype(is_logical(op), from, loop->inputs()[i], CastingRule::SameKind, false))
      return std::nullopt;
    // Arrays in another dtype need converting: the engine's typed path does that.
    if (inputs[i].array && inputs[i].dtype != loop->inputs()[i]) return std::nullopt;
  }
  const quarvel_kernels::StridedLoop kernel = quarvel_kernels::find_strided_loop(op, loop->inputs(), loop->outputs());
  if (!kernel || quarvel_kernels::loop_may_refuse(op, loop->inputs())) return std::nullopt;
  return SmallLoop{*loop, kernel};
}

// Elements per conversion chunk of a fold whose elements change dtype.
constexpr std::uint64_t fold_chunk = 256;

// Folds n elements (from `first`, `stride` apart) into the running value at
// `running`, as one typed run over them would: in place when they are in the
// element dtype already, else converted chunk by chunk.
std::uint32_t fold_into(quarvel_kernels::StridedLoop kernel, quarvel_storage::ConvertLoop convert,
                        std::size_t element_size, std::uint8_t* running, const std::uint8_t* first,
                        std::int64_t stride, std::uint64_t n) {
  std::uint32_t faults = 0;
  if (!convert) {
    std::uint8_t* args[] = {running, const_cast<std::uint8_t*>(first), running};
    const std::int64_t strides[] = {0, stride, 0};
    return kernel(args, strides, n, nullptr, 0).faults;
  }
  alignas(16) std::uint8_t staged[fold_chunk * flat_element_room];
  const auto size = static_cast<std::int64_t>(element_size);
  for (std::uint64_t done = 0; done < n; done += fold_chunk) {
    const std::uint64_t m = std::min(fold_chunk, n - done);
    convert(first + static_cast<std::int64_t>(done) * stride, stride, staged, size, m);
    std::uint8_t* args[] = {running, staged, running};
    const std::int64_t strides[] = {0, size, 0};
    faults |= kernel(args, strides, m, nullptr, 0).faults;
  }
  return faults;
}

// The axis of a small reduction: absent, None, or a plain 0 or -1.
bool plain_single_axis(PyObject* axis) {
  if (!axis || axis == Py_None) return true;
  if (!PyLong_CheckExact(axis)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(axis, &overflow);
  return overflow == 0 && (value == 0 || value == -1);
}

// The `out` keyword of a call whose only keyword it is; null for no
// keywords; nullopt for any other, and for a key that is not an exact str
// (whose comparison could run user code: the engine's to serve). The names a
// call written out gives are told apart by identity, in one walk of the dict.
std::optional<PyObject*> only_out_keyword(PyObject* kwargs) {
  static InternedTexts<8> keys({"out", "where", "casting", "order", "dtype", "subok", "signature", "sig"});
  if (!kwargs) return nullptr;
  const Py_ssize_t size = PyDict_Size(kwargs);
  if (size == 0) return nullptr;
  Py_ssize_t position = 0;
  PyObject* name;
  PyObject* value;
  if (size != 1 || !PyDict_Next(kwargs, &position, &name, &value)) return std::nullopt;
  if (const int which = keys.identity(name); which >= 0) return which == 0 ? std::optional(value) : std::nullopt;
  if (!PyUnicode_CheckExact(name) || PyUnicode_CompareWithASCIIString(name, "out") != 0) return std::nullopt;
  return value;
}

}  // namespace

std::optional<PyObject*> small_call(Op op, std::string_view name, std::span<PyObject* const> operands,
                                    PyObject* out) {
  const std::size_t nin = operands.size();
  const std::size_t nout = quarvel_kernels::output_count(op);
  if (element_path_forced() || nin > max_inputs) return std::nullopt;
  if (out == Py_None) out = nullptr;
  if (out && (nout != 1 || !is_array(out))) return std::nullopt;

  // Operands: arrays of fixed width and native order, or plain numbers.
  std::array<SmallInput, max_inputs> inputs;
  bool any_array = false;
  Shape shape;
  for (std::size_t i = 0; i < nin; ++i) {
    SmallInput& input = inputs[i];
    if (is_array(operands[i])) {
      input.array = as_array(operands[i]);
      const View& view = input.array->view;
      if (view.dtype.is_long_double() || view.byte_order == ByteOrder::Big || !view.buffer) return std::nullopt;
      input.dtype = view.dtype;
      // The broadcast shape, where every array has one element or the shape of the largest.
      if (view.shape.size() > shape.size() || (view.shape.size() == shape.size() && held_count(view) > 1))
        shape = view.shape;
      any_array = true;
      continue;
    }
    auto number = plain_number(operands[i]);
    if (!number) return std::nullopt;
    input.dtype = number->dtype();
    input.number = *number;
  }
  // Plain numbers alone meet power's special cases in the element loop.
  if (!any_array && op == Op::power) return std::nullopt;
  // Every array must already hold the loop's dtype: two arrays of different
  // dtypes, or a float or complex number beside an integer or bool array,
  // never do (the logical loops keep their inputs' dtypes). Told apart here,
  // before a loop is looked up for nothing.
  if (nin == 2 && op != Op::ldexp && !is_logical(op)) {
    const SmallInput& a = inputs[0];
    const SmallInput& b = inputs[1];
    if (a.array && b.array && a.dtype != b.dtype) return std::nullopt;
    const SmallInput* number = a.array ? (b.array ? nullptr : &b) : &a;
    const SmallInput* array = a.array ? &a : (b.array ? &b : nullptr);
    if (number && array && quarvel_kernels::is_bool_or_integer(array->dtype) &&
        (number->dtype.kind() == 'f' || number->dtype.kind() == 'c'))
      return std::nullopt;
  }

  // The loop and the casts of the default rule.
  const std::span<const SmallInput> given(inputs.data(), nin);
  const auto dtype_list = loop_dtype_list(op, given);
  if (!dtype_list) return std::nullopt;
  const auto chosen = small_loop(op, given, *dtype_list);
  if (!chosen) return std::nullopt;
  const quarvel_kernels::LoopDTypes* loop = &chosen->loop;
  const quarvel_kernels::StridedLoop kernel = chosen->kernel;

  // Layout: one stride per operand over the flat run.
  std::uint64_t count = 1;
  for (std::uint64_t length : shape) count *= length;
  if (count == 0) return std::nullopt;
  for (std::size_t i = 0; i < nin; ++i) {
    if (!inputs[i].array) continue;
    const View& view = inputs[i].array->view;
    // Shapes that broadcast otherwise, or do not broadcast at all, are the engine's.
    if (held_count(view) != 1 && view.shape != shape) return std::nullopt;
    auto stride = flat_stride(view, shape);
    if (!stride) return std::nullopt;
    inputs[i].stride = *stride;
  }
  const View* out_view = out ? &as_array(out)->view : nullptr;
  std::int64_t out_stride = 0;
  if (out_view) {
    if (out_view->shape != shape || out_view->dtype != loop->outputs()[0] || out_view->byte_order == ByteOrder::Big)
      return std::nullopt;
    auto stride = flat_stride(*out_view, shape);
    if (!stride) return std::nullopt;
    out_stride = *stride;
    // An input sharing the output's buffer must read exactly the element written there.
    for (std::size_t i = 0; i < nin; ++i) {
      const View* view = inputs[i].array ? &inputs[i].array->view : nullptr;
      if (view && view->buffer == out_view->buffer &&
          (view->offset != out_view->offset || inputs[i].stride != out_stride))
        return std::nullopt;
    }
  }

  // The numbers in their loop dtypes.
  std::array<FlatInput, max_inputs> flat;
  for (std::size_t i = 0; i < nin; ++i) {
    SmallInput& input = inputs[i];
    if (input.array) {
      flat[i] = {&input.array->view, input.stride, nullptr, 0, nullptr};
      continue;
    }
    const DType dtype = loop->inputs()[i];
    auto cast = input.number.cast(dtype);
    if (!cast) return std::nullopt;
    const auto bytes = quarvel_storage::view_detail::encoded(*cast, dtype, ByteOrder::Native);
    if (!bytes) return std::nullopt;
    std::memcpy(input.value.bytes, bytes->data(), sizeof input.value.bytes);
    flat[i] = {nullptr, 0, nullptr, 0, input.value.bytes};
  }

  // From here on the call is this path's: new outputs, then the run.
  const bool scalars = shape.empty() && !out;
  std::array<View, max_outputs> made;
  std::array<ElementBytes, max_outputs> zero_d;  // written by the run before any read
  std::array<FlatOutput, max_outputs> written;
  for (std::size_t j = 0; j < nout; ++j) {
    if (out_view) {
      written[j] = {out_view, out_stride, false, nullptr};
    } else if (scalars) {
      written[j] = {nullptr, 0, false, zero_d[j].bytes};
    } else {
      const DType dtype = loop->outputs()[j];
      // The run writes every element: no zeroing first.
      auto view = storage_value(View::unfilled_with_layout(dtype, default_byte_order(dtype), shape, false));
      if (!view) return nullptr;
      made[j] = std::move(*view);
      written[j] = {&made[j], static_cast<std::int64_t>(dtype.itemsize()), true, nullptr};
    }
  }
  // A lock or layout refused: the engine meets it too (the new outputs are dropped unseen).
  // Unrolled for each count of operands: this front's calls are short enough for it to show.
  const auto run = [&]<std::size_t Nin, std::size_t Nout>() {
    return run_flat<false>(kernel, std::span<FlatInput, Nin>(flat.data(), Nin),
                           std::span<const FlatOutput, Nout>(written.data(), Nout), count);
  };
  const auto faults = nin == 1 ? (nout == 1 ? run.operator()<1, 1>() : run.operator()<1, 2>())
                               : (nout == 1 ? run.operator()<2, 1>() : run.operator()<2, 2>());
  if (!faults) return std::nullopt;

  AliasMerge aliases;
  for (std::size_t i = 0; i < nin; ++i)
    if (inputs[i].array) aliases.add(inputs[i].array->alias);
  std::array<PyRef, max_outputs> objects;
  if (out) objects[0] = PyRef::borrow(out);
  return finish_flat(name, std::span(objects.data(), nout), made, zero_d, loop->outputs(), aliases, shape.empty(),
                     *faults);
}

std::optional<PyObject*> small_call(Op op, std::string_view name, std::size_t nin, PyObject* const* args,
                                    std::size_t given, PyObject* kwargs) {
  if ((given != nin && given != nin + 1) || nin > max_inputs) return std::nullopt;
  const std::optional<PyObject*> out = only_out_keyword(kwargs);
  if (!out) return std::nullopt;
  // A positional output is the `out` keyword given another way; both is the engine's error.
  if (given == nin + 1) {
    if (*out) return std::nullopt;
    return small_call(op, name, std::span(args, nin), args[nin]);
  }
  return small_call(op, name, std::span(args, nin), *out);
}

std::optional<PyObject*> small_reduce(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  if (element_path_forced() || !is_binary_method_op(op)) return std::nullopt;
  if (nargs < 1 || nargs > 2) return std::nullopt;
  PyObject* keyword_axis = nullptr;
  if (kwnames && PyTuple_Size(kwnames) > 0) {
    // One keyword, exactly "axis", and no axis by position.
    PyObject* key = PyTuple_GetItem(kwnames, 0);
    if (nargs == 2 || PyTuple_Size(kwnames) != 1 || !PyUnicode_CheckExact(key) ||
        PyUnicode_CompareWithASCIIString(key, "axis") != 0)
      return std::nullopt;
    keyword_axis = args[nargs];
  }
  if (!plain_single_axis(nargs == 2 ? args[1] : keyword_axis)) return std::nullopt;
  PyObject* array = args[0];
  if (!is_array(array)) return std::nullopt;
  const PyArray* input = as_array(array);
  const View& view = input->view;
  if (view.ndim() != 1 || view.shape[0] == 0 || view.dtype.is_long_double() || !view.buffer) return std::nullopt;

  // The loop of two accumulator-dtype inputs, and the dtypes the fold runs in.
  const DType requested = *accumulator_dtype(op, view.dtype, nullptr);
  const DType pair[] = {requested, requested};
  auto loop = quarvel_kernels::resolve_loop_dtypes(op, pair);
  if (!loop || loop->inputs()[0] != loop->outputs()[0]) return std::nullopt;
  const DType running = reduction_accumulator_dtype(op, loop->inputs()[0]);
  const DType element = reduction_accumulator_dtype(op, loop->inputs()[1]);
  const DType result = loop->outputs()[0];
  std::optional<Scalar> start;
  if (auto identity = quarvel_kernels::identity(op)) {
    // An identity the running dtype cannot hold leaves the fold to its first element.
    if (auto cast = identity->cast(running)) start = std::move(*cast);
  }
  if (!start && running != element) return std::nullopt;
  const quarvel_kernels::StridedLoop kernel = fold_kernel(op, running, element);
  const bool in_place = view.dtype == element && view.byte_order != ByteOrder::Big;
  const auto to_element = quarvel_storage::find_conversion(view.dtype, view.byte_order, element, ByteOrder::Native);
  const auto to_running = quarvel_storage::find_conversion(view.dtype, view.byte_order, running, ByteOrder::Native);
  const auto to_result = quarvel_storage::find_conversion(running, ByteOrder::Native, result, ByteOrder::Native);
  if (!kernel || !to_element || !to_running || !to_result) return std::nullopt;

  ElementBytes value, delivered;
  std::uint32_t faults = 0;
  {
    RunGuards guards;
    const std::uint8_t* base = guards.read(view);
    if (!base) return std::nullopt;
    std::uint64_t first = 0;
    if (start) {
      const auto bytes = quarvel_storage::view_detail::encoded(*start, running, ByteOrder::Native);
      if (!bytes) return std::nullopt;
      std::memcpy(value.bytes, bytes->data(), sizeof value.bytes);
    } else {
      // No start: the first element, taken over into the running dtype.
      to_running(base, 0, value.bytes, 0, 1);
      first = 1;
    }
    faults = fold_into(kernel, in_place ? nullptr : to_element, element.itemsize(), value.bytes,
                       base + static_cast<std::int64_t>(first) * view.strides[0], view.strides[0],
                       view.shape[0] - first);
  }
  if (running == result) delivered = value;
  else to_result(value.bytes, 0, delivered.bytes, 0, 1);
  AliasMerge aliases;
  aliases.add(input->alias);
  PyRef scalar = scalar_to_python(decoded(result, delivered.bytes), aliases.hint(result));
  if (!scalar || !report_errors(name, faults)) return nullptr;
  return scalar.release();
}

}  // namespace quarvel_python::ufunc
