// The typed path of ufunc calls and outer: once every check is done and the
// loop chosen, a call runs through one strided kernel loop instead of the
// element loop, with the same values, outputs, layouts, fault report and
// result.
//
// What the element loop makes observable and a chunked loop would not is
// settled here first: inputs that share memory with an output at other
// positions are copied (the element loop reads every input before it writes),
// outputs that overlap each other elsewhere, plain numbers alone (power's
// special cases) and big ints go to the element loop, and a loop that may
// refuse an element computes aside so a refusal leaves nothing written.
#include <array>
#include <cstring>
#include <cstdint>
#include <span>
#include <vector>

#include "kernels/strided_loops.h"
#include "kernels/typed_run.h"
#include "python/array_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/scalar_object.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/flat_run.h"
#include "python/ufunc/report.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;
using quarvel_kernels::RunPart;
using quarvel_storage::Strides;

// Operand i's strides over the run's shape: right-aligned and broadcast for a
// call, from its axis offset with every other axis at stride 0 for outer.
Strides placed_strides(const View& view, const Shape& shape, const OperandPlacement& placement, std::size_t i) {
  if (placement.axis_offsets.empty()) return quarvel_kernels::broadcast_strides(view, shape);
  Strides strides(shape.size(), 0);
  for (std::size_t k = 0; k < view.ndim(); ++k)
    if (view.shape[k] != 1) strides[placement.axis_offsets[i] + k] = view.strides[k];
  return strides;
}

// One element in a loop dtype and native order, aligned for any element type.
struct ElementValue {
  alignas(16) std::uint8_t bytes[32];
};

// A scalar operand's value in its loop dtype. False with the error set.
bool encode_scalar(const Scalar& value, DType dtype, ElementValue& into) {
  auto cast = storage_value(value.cast(dtype));
  if (!cast) return false;
  auto bytes = storage_value(quarvel_storage::view_detail::encoded(*cast, dtype, quarvel_storage::ByteOrder::Native));
  if (!bytes) return false;
  std::memcpy(into.bytes, bytes->data(), sizeof into.bytes);
  return true;
}

bool same_elements(const View& a, const View& b) {
  return a.buffer == b.buffer && a.offset == b.offset && a.strides == b.strides && a.dtype == b.dtype &&
         a.byte_order == b.byte_order;
}

// Given outputs that overlap each other other than element for element: the
// element loop writes them output by output at each element.
bool outputs_interleave(std::span<PyObject* const> outputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i)
    for (std::size_t j = i + 1; j < outputs.size(); ++j) {
      if (!outputs[i] || !outputs[j]) continue;
      const View& a = as_array(outputs[i])->view;
      const View& b = as_array(outputs[j])->view;
      if (quarvel_kernels::views_overlap(a, b) && !same_elements(a, b)) return true;
    }
  return false;
}

// Whether an input placed by `strides` must be read from a private copy: it
// shares memory with an output at other positions.
bool must_copy(const View& view, const Strides& strides, std::span<PyObject* const> outputs) {
  for (PyObject* output : outputs) {
    if (!output) continue;
    const View& written = as_array(output)->view;
    if (quarvel_kernels::views_overlap(view, written) &&
        !quarvel_kernels::reads_in_place(view, strides, written, written.strides))
      return true;
  }
  return false;
}

// Views a run makes for itself (copies of inputs, new and staged outputs),
// alive until it is done; held in place, so pointers to them stay valid.
using MadeViews = quarvel_storage::FixedVector<View, 5>;

// A view the run reads: the operand's own, or a private copy kept in `made`.
// Null with the error set when the copy cannot be made.
const View* run_view(const View& view, const Strides& strides, std::span<PyObject* const> outputs,
                     MadeViews& made) {
  if (!must_copy(view, strides, outputs)) return &view;
  auto copy = storage_value(view.copy());
  return copy ? &made.emplace_back(std::move(*copy)) : nullptr;
}

// The flat lane (flat_run.h): a call whose every operand one stride walks
// runs as one kernel call, with the values, layouts, fault report and result
// objects of the chunked run. Its conditions, all in this one place:
// operands placed by broadcasting (not outer's axes); no mask but a true
// scalar; a loop that cannot refuse an element and has no long double
// dtype; at least one element; each input view read with one stride over the
// call's shape, in the loop's dtype and native order or else few enough
// elements to convert whole into room held inline; given outputs of the
// loop's dtype and native order, one stride too, sharing a buffer with an
// input only where it reads the very element written there; new outputs
// whose layout under the call's order is C's, the one a flat run writes.
// Nullopt when the chunked run must serve the call.
std::optional<PyObject*> flat_elementwise(const PreparedCall& call, const OperandPlacement& placement,
                                          quarvel_kernels::StridedLoop kernel, std::span<PyObject* const> outputs,
                                          std::span<const View* const> output_views) {
  const std::size_t nin = call.operands.size(), nout = outputs.size();
  if (!placement.axis_offsets.empty() || call.count == 0) return std::nullopt;
  if (call.mask && (call.mask->view || !call.mask->scalar->truthy())) return std::nullopt;
  for (DType dtype : call.loop.inputs)
    if (dtype.is_long_double()) return std::nullopt;
  for (DType dtype : call.loop.outputs)
    if (dtype.is_long_double()) return std::nullopt;

  std::array<FlatInput, flat_max_inputs> inputs;
  std::array<FlatOutput, flat_max_outputs> written;
  for (std::size_t j = 0; j < nout; ++j) {
    const View* view = output_views[j];
    if (!view) continue;
    const auto stride = flat_stride(*view, call.shape);
    if (!stride || view->dtype != call.loop.outputs[j] || view->byte_order == quarvel_storage::ByteOrder::Big)
      return std::nullopt;
    written[j] = {view, *stride, false, nullptr};
  }
  for (std::size_t i = 0; i < nin; ++i) {
    const Operand& operand = call.operands[i];
    if (!operand.view) continue;
    const View& view = *operand.view;
    const auto stride = flat_stride(view, call.shape);
    if (!stride) return std::nullopt;
    inputs[i] = {&view, *stride, nullptr, 0, nullptr};
    const DType loop_dtype = call.loop.inputs[i];
    const bool converted = view.dtype != loop_dtype || view.byte_order == quarvel_storage::ByteOrder::Big;
    if (converted) {
      if ((*stride == 0 ? 1 : call.count) > flat_staged_elements) return std::nullopt;
      inputs[i].convert =
          quarvel_storage::find_conversion(view.dtype, view.byte_order, loop_dtype, quarvel_storage::ByteOrder::Native);
      inputs[i].loop_itemsize = loop_dtype.itemsize();
      if (!inputs[i].convert) return std::nullopt;
    }
    for (std::size_t j = 0; j < nout; ++j) {
      const View* out = output_views[j];
      if (out && out->buffer == view.buffer &&
          (converted || out->dtype != view.dtype || out->offset != view.offset || written[j].stride != *stride))
        return std::nullopt;
    }
  }
  for (std::size_t j = 0; j < nout; ++j) {
    if (outputs[j]) continue;
    const DType dtype = call.loop.outputs[j];
    if (default_byte_order(dtype) == quarvel_storage::ByteOrder::Big) return std::nullopt;
    // One axis or none has C strides under every order.
    if (call.shape.size() < 2) continue;
    auto strides = output_strides(dtype, call.shape, call.arguments.order, placement);
    // The chunked run raises what this met, in its own order.
    if (!strides) {
      PyErr_Clear();
      return std::nullopt;
    }
    auto c_order = quarvel_storage::c_strides(dtype, call.shape);
    if (!c_order || *c_order != *strides) return std::nullopt;
  }

  // From here on the call is this lane's: the numbers, new outputs, the run.
  std::array<ElementValue, flat_max_inputs> values;
  for (std::size_t i = 0; i < nin; ++i) {
    const Operand& operand = call.operands[i];
    if (operand.view) continue;
    if (!encode_scalar(*operand.scalar, call.loop.inputs[i], values[i])) return nullptr;
    inputs[i] = {nullptr, 0, nullptr, 0, values[i].bytes};
  }
  std::array<View, flat_max_outputs> made;
  std::array<ElementBytes, flat_max_outputs> zero_d;  // written by the run before any read
  for (std::size_t j = 0; j < nout; ++j) {
    if (outputs[j]) continue;
    if (call.shape.empty()) {
      written[j] = {nullptr, 0, false, zero_d[j].bytes};
      continue;
    }
    const DType dtype = call.loop.outputs[j];
    // The run writes every element: no zeroing first.
    auto view = storage_value(View::unfilled_with_layout(dtype, default_byte_order(dtype), call.shape, false));
    if (!view) return nullptr;
    made[j] = std::move(*view);
    written[j] = {&made[j], static_cast<std::int64_t>(dtype.itemsize()), true, nullptr};
  }
  const auto faults =
      run_flat(kernel, std::span(inputs.data(), nin), std::span<const FlatOutput>(written.data(), nout), call.count);
  // A lock or layout refused: the chunked run meets it itself.
  if (!faults) return std::nullopt;

  AliasMerge aliases;
  for (const Operand& operand : call.operands) aliases.add(operand.alias);
  std::array<PyRef, flat_max_outputs> objects;
  for (std::size_t j = 0; j < nout; ++j)
    if (outputs[j]) objects[j] = PyRef::borrow(outputs[j]);
  return finish_flat(call.name, std::span(objects.data(), nout), made, zero_d, call.loop.outputs, aliases,
                     call.shape.empty(), *faults);
}

}  // namespace

quarvel_kernels::StridedLoop kernel_for(Op op, const Loop& loop) {
  // The loop's dtype codes in one word (at most four of them, one byte each).
  std::uint32_t key = 0;
  for (DType dtype : loop.inputs) key = key << 8 | (dtype.code + 1u);
  for (DType dtype : loop.outputs) key = key << 8 | (dtype.code + 1u);
  struct Found {
    std::uint32_t key = 0;
    quarvel_kernels::StridedLoop kernel = nullptr;
  };
  static std::array<Found, quarvel_kernels::op_count> last;
  Found& found = last[static_cast<std::size_t>(op)];
  if (found.key != key || !found.kernel) {
    found.kernel = quarvel_kernels::find_strided_loop(op, loop.inputs, loop.outputs);
    found.key = key;
  }
  return found.kernel;
}

std::optional<PyObject*> typed_elementwise(const PreparedCall& call, const OperandPlacement& placement) {
  if (element_path_forced()) return std::nullopt;
  bool any_array = false;
  for (const Operand& operand : call.operands) {
    if (operand.big_int) return std::nullopt;
    any_array = any_array || operand.is_array;
  }
  if (!any_array) return std::nullopt;
  const quarvel_kernels::StridedLoop kernel = kernel_for(call.op, call.loop);
  if (!kernel) return std::nullopt;
  const std::size_t nin = call.operands.size(), nout = call.loop.outputs.size();
  const bool may_refuse = quarvel_kernels::loop_may_refuse(call.op, call.loop);

  // The element loop checks its outputs after the loop; this loop cannot fail
  // once it runs, so the same refusals come out here first. A loop that may
  // refuse an element leaves them to the element loop, where that comes first.
  auto outputs = parse_outputs(call.arguments.out, nout);
  if (outputs && outputs->empty())
    for (std::size_t j = 0; j < nout; ++j) outputs->push_back(nullptr);
  for (std::size_t j = 0; outputs && j < nout; ++j) {
    PyObject* given = (*outputs)[j];
    if (given && !check_output_array(call.name, as_array(given)->view, call.shape, call.loop.outputs[j],
                                     call.arguments.casting))
      outputs.reset();
  }
  if (!outputs) {
    if (!may_refuse) return nullptr;
    PyErr_Clear();
    return std::nullopt;
  }
  // At most two of each, as every list below: held in place.
  std::array<const View*, 2> input_views{}, output_views{};
  for (std::size_t i = 0; i < nin; ++i)
    if (call.operands[i].view) input_views[i] = &*call.operands[i].view;
  for (std::size_t j = 0; j < nout; ++j)
    if ((*outputs)[j]) output_views[j] = &as_array((*outputs)[j])->view;
  if (outputs_interleave(*outputs)) return std::nullopt;
  // The flat lane's conditions imply a typed conversion for every operand.
  if (!may_refuse)
    if (auto result = flat_elementwise(call, placement, kernel, *outputs, std::span(output_views.data(), nout)))
      return *result;
  if (!quarvel_kernels::run_is_typed(std::span(input_views.data(), nin), std::span(output_views.data(), nout),
                                     call.loop))
    return std::nullopt;

  // Every view, stride list and value the run reads or writes, alive until
  // it is done; the run borrows them.
  std::array<RunPart, 2> inputs{}, written{};
  std::array<Strides, 2> input_strides;
  std::array<ElementValue, 2> scalar_values;
  MadeViews made;
  for (std::size_t i = 0; i < nin; ++i) {
    const Operand& operand = call.operands[i];
    if (!operand.view) {
      if (!encode_scalar(*operand.scalar, call.loop.inputs[i], scalar_values[i])) return nullptr;
      inputs[i].value = scalar_values[i].bytes;
      continue;
    }
    Strides& strides = input_strides[i];
    strides = placed_strides(*operand.view, call.shape, placement, i);
    const View* view = run_view(*operand.view, strides, *outputs, made);
    if (!view) return nullptr;
    if (view != &*operand.view) strides = placed_strides(*view, call.shape, placement, i);
    inputs[i] = {view, strides.data()};
  }
  bool selects_nothing = false;
  RunPart mask;
  Strides mask_strides;
  if (call.mask && call.mask->view) {
    mask_strides = quarvel_kernels::broadcast_strides(*call.mask->view, call.shape);
    const View* view = run_view(*call.mask->view, mask_strides, *outputs, made);
    if (!view) return nullptr;
    if (view != &*call.mask->view) mask_strides = quarvel_kernels::broadcast_strides(*view, call.shape);
    mask = {view, mask_strides.data()};
  } else if (call.mask) {
    selects_nothing = !call.mask->scalar->truthy();
  }
  // New outputs, and outputs computed aside (a loop that may refuse an
  // element writes a given array only once none was refused).
  std::array<View*, 2> made_at{}, staged_at{};
  // Without a mask the loop writes every element of a new output: zeroing it
  // first would be wasted. Under a mask the unselected ones stay zero.
  const bool writes_all = !call.mask;
  for (std::size_t j = 0; j < nout; ++j) {
    const DType dtype = call.loop.outputs[j];
    const quarvel_storage::ByteOrder order = default_byte_order(dtype);
    if (!(*outputs)[j]) {
      auto strides = output_strides(dtype, call.shape, call.arguments.order, placement);
      if (!strides) return nullptr;
      auto view = storage_value(writes_all ? View::unfilled_with_strides(dtype, order, call.shape, std::move(*strides))
                                           : View::zeros_with_strides(dtype, order, call.shape, std::move(*strides)));
      if (!view) return nullptr;
      made_at[j] = &made.emplace_back(std::move(*view));
      written[j] = {made_at[j], made_at[j]->strides.data(), nullptr, true};
    } else if (may_refuse) {
      auto view = storage_value(writes_all ? View::unfilled_with_layout(dtype, order, call.shape, false)
                                           : View::zeros_with_layout(dtype, order, call.shape, false));
      if (!view) return nullptr;
      staged_at[j] = &made.emplace_back(std::move(*view));
      written[j] = {staged_at[j], staged_at[j]->strides.data(), nullptr, true};
    } else {
      written[j] = {output_views[j], output_views[j]->strides.data()};
    }
  }
  const RunPart* selected = mask.view ? &mask : nullptr;

  std::uint32_t faults = 0;
  if (!selects_nothing) {
    const quarvel_kernels::BorrowedRun run{&call.shape,         std::span(inputs.data(), nin),
                                           std::span(written.data(), nout), selected,
                                           call.loop.inputs,    call.loop.outputs,
                                           kernel};
    auto ran = quarvel_kernels::run_borrowed(run);
    if (!ran) {
      if (may_refuse && ran.error().kind == quarvel_storage::ErrorKind::CannotConvert) return std::nullopt;
      return raise_storage_error(ran.error());
    }
    faults = *ran;
    for (std::size_t j = 0; j < nout; ++j) {
      if (!staged_at[j]) continue;
      // The staged results into the given output, under the same mask.
      const DType dtype[] = {staged_at[j]->dtype};
      const RunPart from{staged_at[j], staged_at[j]->strides.data()};
      const RunPart into{output_views[j], output_views[j]->strides.data()};
      const quarvel_kernels::BorrowedRun copy{&call.shape, std::span(&from, 1), std::span(&into, 1), selected, dtype,
                                              dtype, quarvel_kernels::find_strided_loop(Op::positive, dtype, dtype)};
      auto copied = quarvel_kernels::run_borrowed(copy);
      if (!copied) return raise_storage_error(copied.error());
    }
  }

  std::array<PyRef, 2> objects;
  for (std::size_t j = 0; j < nout; ++j) {
    if ((*outputs)[j]) {
      objects[j] = PyRef::borrow((*outputs)[j]);
    } else if (!call.shape.empty()) {
      objects[j] = PyRef::steal(new_array_object(std::move(*made_at[j]), alias_hint(call.operands, call.loop.outputs[j])));
      if (!objects[j]) return nullptr;
    }
  }
  if (!report_errors(call.name, faults)) return nullptr;
  for (std::size_t j = 0; j < nout; ++j) {
    if (objects[j]) continue;
    auto value = storage_value(made_at[j]->read_at({}));
    if (!value) return nullptr;
    objects[j] = scalar_to_python(*value, alias_hint(call.operands, call.loop.outputs[j]));
    if (!objects[j]) return nullptr;
  }
  return pack_results(std::span(objects.data(), nout));
}

}  // namespace quarvel_python::ufunc
