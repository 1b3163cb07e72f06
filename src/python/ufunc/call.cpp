// ufunc.__call__: arguments, operands, broadcasting, mask, loop choice, the
// element loop, outputs, one fault report, the result.
//
// Outputs are validated and written only after every input element has been
// read, so an output sharing memory with an input sees the inputs as they were.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "python/array_object.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/scalar_object.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/report.h"
#include "python/ufunc/small_call.h"
#include "storage/checked.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

using quarvel_kernels::Op;
using quarvel_storage::ByteOrder;

void AliasMerge::add(std::optional<ScalarAlias> alias) {
  if (!alias) return;
  conflict_ = conflict_ || (common_ && *common_ != *alias);
  common_ = alias;
}

std::optional<ScalarAlias> AliasMerge::hint(DType output) const {
  if (conflict_ || !common_ || !alias_fits(*common_, output)) return std::nullopt;
  return common_;
}

std::optional<ScalarAlias> alias_hint(std::span<const Operand> operands, DType output) {
  AliasMerge merge;
  for (const Operand& operand : operands) merge.add(operand.alias);
  return merge.hint(output);
}

bool check_output_array(std::string_view name, const View& array, const Shape& shape, DType loop_output,
                        CastingRule rule) {
  if (array.shape != shape) return raise_false(PyExc_ValueError, "output array has an incorrect shape");
  const bool big_endian_refused =
      rule == CastingRule::No && array.dtype == loop_output && array.byte_order == ByteOrder::Big;
  if (!can_cast(loop_output, array.dtype, rule) || big_endian_refused) {
    raise_cast_refused(name, "output", loop_output, array.dtype, rule);
    return false;
  }
  return true;
}

std::optional<View> new_output_view(DType dtype, const Shape& shape, std::span<const Scalar> values, char order,
                                    const OperandPlacement& placement) {
  auto strides = output_strides(dtype, shape, order, placement);
  if (!strides) return std::nullopt;
  return storage_value(View::from_values_with_strides(dtype, default_byte_order(dtype), shape, values,
                                                      std::move(*strides)));
}

bool check_new_output_size(const Shape& shape, std::span<const DType> dtypes) {
  auto count = storage_value(quarvel_storage::element_count(shape));
  if (!count) return false;
  for (DType dtype : dtypes) {
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(*count, static_cast<std::uint64_t>(dtype.itemsize()), &bytes) ||
        bytes > quarvel_storage::checked::i64_max)
      return raise_storage(quarvel_storage::StorageError(quarvel_storage::ErrorKind::LayoutOverflow));
  }
  return true;
}

std::optional<bool> PreparedCall::selects(const Coordinates& coordinates) const {
  if (!mask) return true;
  auto flag = mask->read(coordinates, shape.size());
  if (!flag) return std::nullopt;
  return flag->truthy();
}

bool ElementResults::reserve(std::size_t nout, std::uint64_t count) {
  values.resize(nout);
  for (auto& list : values)
    if (!storage_ok(quarvel_storage::checked::reserve(list, count))) return false;
  return storage_ok(quarvel_storage::checked::reserve(selected, count));
}

void ElementResults::skip(const Loop& loop) {
  selected.push_back(0);
  for (std::size_t j = 0; j < values.size(); ++j) values[j].push_back(Scalar::zero(loop.outputs[j]));
}

bool ElementResults::record(Op op, std::span<const Scalar> inputs, quarvel_kernels::KernelOutputs& computed,
                            const Loop& loop) {
  faults |= quarvel_kernels::classify_errors(op, inputs, std::span(computed.begin(), computed.size()));
  selected.push_back(1);
  for (std::size_t j = 0; j < values.size(); ++j) {
    Scalar& value = computed[j];
    if (value.dtype() != loop.outputs[j]) {
      auto cast = storage_value(value.cast(loop.outputs[j]));
      if (!cast) return false;
      value = std::move(*cast);
    }
    values[j].push_back(std::move(value));
  }
  return true;
}

namespace {

// The exponent-0.5 cases of power on plain numbers: -inf gives NaN, -0.0 gives -0.0.
std::optional<Scalar> power_replacement(const Scalar& base, const Scalar& exponent, DType output) {
  auto e = exponent.as_f64();
  auto b = base.as_f64();
  if (!e || !b || *e != 0.5) return std::nullopt;
  if (std::isinf(*b) && *b < 0) return storage_value(Scalar(std::numeric_limits<double>::quiet_NaN()).cast(output));
  if (std::bit_cast<std::uint64_t>(*b) == std::bit_cast<std::uint64_t>(-0.0)) return storage_value(Scalar(-0.0).cast(output));
  return std::nullopt;
}

std::optional<ElementResults> element_loop(const PreparedCall& call) {
  ElementResults results;
  if (!results.reserve(call.loop.outputs.size(), call.count)) return std::nullopt;
  bool replace_power = call.op == Op::power && call.operands.size() == 2 && call.loop.outputs[0].kind() == 'f';
  for (const Operand& operand : call.operands) replace_power = replace_power && !operand.is_array;
  const std::size_t rank = call.shape.size();
  Coordinates coordinates(rank, 0);
  std::vector<Scalar> inputs(call.operands.size());
  for (std::uint64_t k = 0; k < call.count; ++k, quarvel_storage::view_detail::next_c_order(coordinates, call.shape)) {
    const std::optional<bool> selected = call.selects(coordinates);
    if (!selected) return std::nullopt;
    if (!*selected) {
      results.skip(call.loop);
      continue;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      auto value = call.operands[i].read_as(coordinates, rank, call.loop.inputs[i]);
      if (!value) return std::nullopt;
      inputs[i] = std::move(*value);
    }
    auto computed = inputs.size() == 1 ? quarvel_kernels::unary(call.op, inputs[0], call.loop.outputs[0])
                                       : quarvel_kernels::binary(call.op, inputs[0], inputs[1], call.loop.outputs[0]);
    if (!computed) {
      raise_storage(computed.error());
      return std::nullopt;
    }
    if (replace_power) {
      auto replaced = power_replacement(inputs[0], inputs[1], call.loop.outputs[0]);
      if (!replaced && PyErr_Occurred()) return std::nullopt;
      if (replaced) (*computed)[0] = std::move(*replaced);
    }
    if (!results.record(call.op, inputs, *computed, call.loop)) return std::nullopt;
  }
  return results;
}

}  // namespace

PyObject* deliver_results(const PreparedCall& call, const ElementResults& results, const OperandPlacement& placement,
                          bool direct_scalars) {
  const std::size_t nout = call.loop.outputs.size();
  auto outputs = parse_outputs(call.arguments.out, nout);
  if (!outputs) return nullptr;
  const bool given_any = !outputs->empty();
  if (!given_any)
    for (std::size_t j = 0; j < nout; ++j) outputs->push_back(nullptr);

  // Every given output checked and its values cast, output by output, before any write.
  std::vector<std::vector<Scalar>> cast_values(nout);
  for (std::size_t j = 0; j < nout; ++j) {
    PyObject* given = (*outputs)[j];
    if (!given) continue;
    const View& array = as_array(given)->view;
    if (!check_output_array(call.name, array, call.shape, call.loop.outputs[j], call.arguments.casting))
      return nullptr;
    if (!storage_ok(quarvel_storage::checked::reserve(cast_values[j], call.count))) return nullptr;
    for (const Scalar& value : results.values[j]) {
      auto cast = storage_value(value.cast(array.dtype));
      if (!cast) return nullptr;
      cast_values[j].push_back(std::move(*cast));
    }
  }
  std::vector<PyRef> made(nout);
  for (std::size_t j = 0; j < nout; ++j) {
    if ((*outputs)[j] || call.shape.empty()) continue;
    auto view = new_output_view(call.loop.outputs[j], call.shape, results.values[j], call.arguments.order, placement);
    if (!view) return nullptr;
    made[j] = PyRef::steal(new_array_object(std::move(*view), alias_hint(call.operands, call.loop.outputs[j])));
    if (!made[j]) return nullptr;
  }
  Coordinates coordinates(call.shape.size(), 0);
  for (std::uint64_t k = 0; k < call.count; ++k, quarvel_storage::view_detail::next_c_order(coordinates, call.shape)) {
    if (!results.selected[k]) continue;
    for (std::size_t j = 0; j < nout; ++j) {
      if (!(*outputs)[j]) continue;
      if (!storage_ok(as_array((*outputs)[j])->view.write_at(coordinates, cast_values[j][k]))) return nullptr;
    }
  }
  if (!report_errors(call.name, results.faults)) return nullptr;
  std::vector<PyRef> objects(nout);
  for (std::size_t j = 0; j < nout; ++j) {
    if ((*outputs)[j]) objects[j] = PyRef::borrow((*outputs)[j]);
    else if (made[j]) objects[j] = std::move(made[j]);
    else objects[j] = scalar_result(call, results.values[j], j, direct_scalars || given_any);
    if (!objects[j]) return nullptr;
  }
  return pack_results(objects);
}

PyRef scalar_result(const PreparedCall& call, std::span<const Scalar> values, std::size_t output, bool out_given) {
  const DType dtype = call.loop.outputs[output];
  const std::optional<ScalarAlias> hint = alias_hint(call.operands, dtype);
  if (out_given) return scalar_to_python(values[0], hint);
  // Without outputs the value goes through a new array and is read back.
  auto view = storage_value(View::from_values_with_layout(dtype, default_byte_order(dtype), {}, values, false));
  if (!view) return {};
  auto stored = storage_value(view->read_at({}));
  if (!stored) return {};
  return scalar_to_python(*stored, hint);
}

PyObject* pack_results(std::span<PyRef> objects) {
  if (objects.size() == 1) return objects[0].release();
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(objects.size())));
  if (!tuple) return nullptr;
  for (std::size_t j = 0; j < objects.size(); ++j)
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(j), objects[j].release());
  return tuple.release();
}

bool prepare_call(Op op, std::string_view name, std::size_t nin, std::size_t nout, PyObject* const* args,
                  std::size_t given, PyObject* kwargs, PreparedCall& call) {
  auto arguments = parse_call_arguments(name, nin, nout, args, given, kwargs);
  if (!arguments) return false;
  call.name = name;
  call.op = op;
  call.arguments = std::move(*arguments);
  for (std::size_t i = 0; i < nin; ++i)
    if (!Operand::convert(args[i], call.operands.emplace_back())) return false;
  for (const Operand& operand : call.operands) {
    if (!operand.view) continue;  // the empty shape changes nothing
    auto merged = broadcast_shape(call.shape, operand.shape());
    if (!merged) return false;
    call.shape = std::move(*merged);
  }
  if (call.arguments.where) {
    if (!convert_mask(call.arguments.where, call.shape, false, call.mask)) return false;
  }
  auto dtype_list = loop_dtype_list(op, call.operands);
  if (!dtype_list) return false;
  auto loop = choose_loop(op, name, nin, nout, call.operands, *dtype_list, call.arguments.casting,
                          call.arguments.dtype, call.arguments.signature);
  if (!loop) return false;
  call.loop = std::move(*loop);
  auto count = element_count(call.shape);
  if (!count) return false;
  call.count = *count;
  return true;
}

namespace {

// The generic machinery, for every call the small path hands back.
PyObject* engine_call(Op op, std::string_view name, std::size_t nin, std::size_t nout, PyObject* const* args,
                      std::size_t given, PyObject* kwargs) {
  PreparedCall prepared;
  if (!prepare_call(op, name, nin, nout, args, given, kwargs, prepared) ||
      !check_new_output_size(prepared.shape, prepared.loop.outputs))
    return nullptr;
  const OperandPlacement placement{prepared.operands, {}};
  if (auto result = typed_elementwise(prepared, placement)) return *result;
  auto results = element_loop(prepared);
  if (!results) return nullptr;
  return deliver_results(prepared, *results, placement, false);
}

}  // namespace

PyObject* call(Op op, std::string_view name, std::size_t nin, std::size_t nout, PyObject* const* args,
               std::size_t given, PyObject* kwargs) {
  if (auto served = small_call(op, name, nin, args, given, kwargs)) return *served;
  return engine_call(op, name, nin, nout, args, given, kwargs);
}

PyObject* call(Op op, std::string_view name, std::size_t nin, std::size_t nout, PyObject* args, PyObject* kwargs) {
  // Only the inputs and one output are ever read; the count decides the rest.
  const Py_ssize_t given = PyTuple_Size(args);
  std::array<PyObject*, 3> items{};
  for (Py_ssize_t i = 0; i < std::min<Py_ssize_t>(given, static_cast<Py_ssize_t>(nin + 1)); ++i)
    items[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  return call(op, name, nin, nout, items.data(), static_cast<std::size_t>(given), kwargs);
}

}  // namespace quarvel_python::ufunc
