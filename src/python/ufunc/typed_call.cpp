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
#include "python/ufunc/report.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;
using quarvel_kernels::RunOperand;
using quarvel_storage::Strides;

constexpr std::size_t not_held = SIZE_MAX;

// Operand i's strides over the run's shape: right-aligned and broadcast for a
// call, from its axis offset with every other axis at stride 0 for outer.
Strides placed_strides(const View& view, const Shape& shape, const OperandPlacement& placement, std::size_t i) {
  if (placement.axis_offsets.empty()) return quarvel_kernels::broadcast_strides(view, shape);
  Strides strides(shape.size(), 0);
  for (std::size_t k = 0; k < view.ndim(); ++k)
    if (view.shape[k] != 1) strides[placement.axis_offsets[i] + k] = view.strides[k];
  return strides;
}

// A scalar operand as a 0-d view of its loop dtype.
std::optional<View> scalar_view(const Scalar& value, DType dtype) {
  auto cast = storage_value(value.cast(dtype));
  if (!cast) return std::nullopt;
  return storage_value(View::from_values(dtype, {}, std::span(&*cast, 1)));
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

// The run's view of an input: the operand's own, or a private copy when it
// shares memory with an output at other positions.
std::optional<View> run_input(const View& view, const Strides& strides, std::span<PyObject* const> outputs) {
  for (PyObject* output : outputs) {
    if (!output) continue;
    const View& written = as_array(output)->view;
    if (quarvel_kernels::views_overlap(view, written) &&
        !quarvel_kernels::reads_in_place(view, strides, written, written.strides))
      return storage_value(view.copy());
  }
  return view;
}

struct HeldOperand {
  View view;
  Strides strides;
};

}  // namespace

std::optional<PyObject*> typed_elementwise(const PreparedCall& call, const OperandPlacement& placement) {
  if (element_path_forced()) return std::nullopt;
  bool any_array = false;
  for (const Operand& operand : call.operands) {
    if (operand.big_int) return std::nullopt;
    any_array = any_array || operand.is_array;
  }
  if (!any_array) return std::nullopt;
  const quarvel_kernels::StridedLoop kernel =
      quarvel_kernels::find_strided_loop(call.op, call.loop.inputs, call.loop.outputs);
  if (!kernel) return std::nullopt;
  const std::size_t nin = call.operands.size(), nout = call.loop.outputs.size();
  const bool may_refuse = quarvel_kernels::loop_may_refuse(call.op, call.loop);

  // The element loop checks its outputs after the loop; this loop cannot fail
  // once it runs, so the same refusals come out here first. A loop that may
  // refuse an element leaves them to the element loop, where that comes first.
  auto outputs = parse_outputs(call.arguments.out, nout);
  if (outputs && outputs->empty()) outputs->assign(nout, nullptr);
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
  // At most two of each: held in place, as every list below.
  std::array<const View*, 2> input_views{}, output_views{};
  for (std::size_t i = 0; i < nin; ++i)
    if (call.operands[i].view) input_views[i] = &*call.operands[i].view;
  for (std::size_t j = 0; j < nout; ++j)
    if ((*outputs)[j]) output_views[j] = &as_array((*outputs)[j])->view;
  if (!quarvel_kernels::run_is_typed(std::span(input_views.data(), nin), std::span(output_views.data(), nout),
                                     call.loop) ||
      outputs_interleave(*outputs))
    return std::nullopt;

  // Every view the run reads or writes, alive until it is done.
  std::vector<HeldOperand> held;
  held.reserve(nin + 2 * nout + 1);
  for (std::size_t i = 0; i < nin; ++i) {
    const Operand& operand = call.operands[i];
    if (!operand.view) {
      auto view = scalar_view(*operand.scalar, call.loop.inputs[i]);
      if (!view) return nullptr;
      held.push_back({std::move(*view), Strides(call.shape.size(), 0)});
      continue;
    }
    auto view = run_input(*operand.view, placed_strides(*operand.view, call.shape, placement, i), *outputs);
    if (!view) return nullptr;
    Strides strides = placed_strides(*view, call.shape, placement, i);
    held.push_back({std::move(*view), std::move(strides)});
  }
  bool selects_nothing = false;
  std::optional<std::size_t> mask_at;
  if (call.mask && call.mask->view) {
    const Strides strides = quarvel_kernels::broadcast_strides(*call.mask->view, call.shape);
    auto view = run_input(*call.mask->view, strides, *outputs);
    if (!view) return nullptr;
    Strides placed = quarvel_kernels::broadcast_strides(*view, call.shape);
    mask_at = held.size();
    held.push_back({std::move(*view), std::move(placed)});
  } else if (call.mask) {
    selects_nothing = !call.mask->scalar->truthy();
  }
  std::array<std::size_t, 2> made_at{not_held, not_held}, staged_at{not_held, not_held};
  // Without a mask the loop writes every element of a new output: zeroing it
  // first would be wasted. Under a mask the unselected ones stay zero.
  const bool writes_all = !call.mask;
  for (std::size_t j = 0; j < nout; ++j) {
    const DType dtype = call.loop.outputs[j];
    const quarvel_storage::ByteOrder order = default_byte_order(dtype);
    std::optional<View> view;
    if (!(*outputs)[j]) {
      auto strides = output_strides(dtype, call.shape, call.arguments.order, placement);
      if (!strides) return nullptr;
      view = storage_value(writes_all ? View::unfilled_with_strides(dtype, order, call.shape, std::move(*strides))
                                      : View::zeros_with_strides(dtype, order, call.shape, std::move(*strides)));
      made_at[j] = held.size();
    } else if (may_refuse) {
      // Computed aside, copied in once no element was refused.
      view = storage_value(writes_all ? View::unfilled_with_layout(dtype, order, call.shape, false)
                                      : View::zeros_with_layout(dtype, order, call.shape, false));
      staged_at[j] = held.size();
    } else {
      continue;
    }
    if (!view) return nullptr;
    Strides strides = view->strides;
    held.push_back({std::move(*view), std::move(strides)});
  }

  quarvel_kernels::TypedRun run{call.shape, {}, {}, std::nullopt, call.loop, kernel};
  for (std::size_t i = 0; i < nin; ++i) run.inputs.push_back(RunOperand{&held[i].view, held[i].strides});
  if (mask_at) run.mask = RunOperand{&held[*mask_at].view, held[*mask_at].strides};
  for (std::size_t j = 0; j < nout; ++j) {
    const std::size_t at = made_at[j] != not_held ? made_at[j] : staged_at[j];
    const View& view = at != not_held ? held[at].view : *output_views[j];
    run.outputs.push_back(RunOperand{&view, view.strides});
  }
  std::uint32_t faults = 0;
  if (!selects_nothing) {
    auto ran = quarvel_kernels::run_typed(run);
    if (!ran) {
      if (may_refuse && ran.error().kind == quarvel_storage::ErrorKind::CannotConvert) return std::nullopt;
      return raise_storage_error(ran.error());
    }
    faults = *ran;
    for (std::size_t j = 0; j < nout; ++j) {
      if (staged_at[j] == not_held) continue;
      // The staged results into the given output, under the same mask.
      const View& staged = held[staged_at[j]].view;
      const DType dtype[] = {staged.dtype};
      quarvel_kernels::TypedRun copy{call.shape, {}, {}, run.mask, quarvel_kernels::Loop{{dtype[0]}, {dtype[0]}},
                                     quarvel_kernels::find_strided_loop(Op::positive, dtype, dtype)};
      copy.inputs.push_back(RunOperand{&staged, staged.strides});
      copy.outputs.push_back(RunOperand{output_views[j], output_views[j]->strides});
      auto copied = quarvel_kernels::run_typed(copy);
      if (!copied) return raise_storage_error(copied.error());
    }
  }

  std::array<PyRef, 2> objects;
  for (std::size_t j = 0; j < nout; ++j) {
    if ((*outputs)[j]) {
      objects[j] = PyRef::borrow((*outputs)[j]);
    } else if (!call.shape.empty()) {
      objects[j] = PyRef::steal(new_array_object(held[made_at[j]].view, alias_hint(call.operands, call.loop.outputs[j])));
      if (!objects[j]) return nullptr;
    }
  }
  if (!report_errors(call.name, faults)) return nullptr;
  for (std::size_t j = 0; j < nout; ++j) {
    if (objects[j]) continue;
    auto value = storage_value(held[made_at[j]].view.read_at({}));
    if (!value) return nullptr;
    objects[j] = scalar_to_python(*value, alias_hint(call.operands, call.loop.outputs[j]));
    if (!objects[j]) return nullptr;
  }
  return pack_results(std::span(objects.data(), nout));
}

}  // namespace quarvel_python::ufunc
