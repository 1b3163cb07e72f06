// ufunc.outer(a, b, /, **kwargs): a two-input ufunc on every pair of elements,
// the result shaped a.shape + b.shape; the inputs are never broadcast against
// each other.
//
// Its checks run in their own order (keyword names first, the operands before
// the keyword values, the mask before the loop); after the element loop it
// shares the call engine's outputs, fault report and result.
#include <string>

#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/engines.h"
#include "storage/checked.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Op;

constexpr std::string_view outer_keywords[] = {"out", "where", "dtype", "casting", "order", "subok", "signature", "sig"};
constexpr Param outer_params[] = {{"a", ParamKind::PositionalOnly, true}, {"b", ParamKind::PositionalOnly, true}};

// A prepared outer call, and the element counts of its two operands.
struct PreparedOuter {
  PreparedCall call;
  std::uint64_t size_a = 0;
  std::uint64_t size_b = 0;
};

// Filled in place: the call it holds is too large to move for nothing.
bool prepare_outer(std::string_view name, PyObject* args, PyObject* kwargs, PreparedOuter& prepared) {
  // The keywords are left to the engine's own walk.
  PyObject* bound[2] = {};
  if (!parse_arguments(Signature{"outer", outer_params}, CallArgs::from_tuple(args, nullptr), bound))
    return false;
  if (!ensure_known_method_kwargs(kwargs, outer_keywords)) return false;
  const std::optional<Op> op = quarvel_kernels::op_from_name(name);
  if (!op || quarvel_kernels::input_count(*op) != 2) {
    const std::string text = std::string(name) + " is not a binary outer ufunc";
    return raise_false(PyExc_TypeError, text.c_str());
  }
  const std::size_t nout = quarvel_kernels::output_count(*op);

  PreparedCall& call = prepared.call;
  call.name = name;
  call.op = *op;
  for (PyObject* value : bound)
    if (!Operand::convert(value, call.operands.emplace_back())) return false;
  const Shape& shape_a = call.operands[0].shape();
  const Shape& shape_b = call.operands[1].shape();
  auto size_a = element_count(shape_a);
  if (!size_a) return false;
  auto size_b = element_count(shape_b);
  if (!size_b) return false;
  if (__builtin_mul_overflow(*size_a, *size_b, &call.count))
    return raise_false(PyExc_ValueError, "outer output shape exceeds supported limits");
  prepared.size_a = *size_a;
  prepared.size_b = *size_b;
  call.shape = shape_a;
  call.shape.insert(call.shape.end(), shape_b.begin(), shape_b.end());
  // No array has more axes, whatever road it takes.
  if (call.shape.size() > quarvel_storage::max_dimensions) {
    raise_storage(quarvel_storage::StorageError(quarvel_storage::ErrorKind::LayoutOverflow));
    return false;
  }

  auto arguments = parse_outer_keywords(kwargs);
  if (!arguments) return false;
  call.arguments = std::move(*arguments);
  if (call.arguments.where && !call.arguments.out && !warn_where_without_out()) return false;
  if (call.arguments.dtype && call.arguments.signature)
    return raise_false(PyExc_TypeError, "cannot specify both dtype and signature");
  if (call.arguments.where) {
    if (!convert_mask(call.arguments.where, call.shape, true, call.mask)) return false;
  }
  auto dtype_list = loop_dtype_list(*op, call.operands);
  if (!dtype_list) return false;
  auto loop = choose_loop(*op, name, 2, nout, call.operands, *dtype_list, call.arguments.casting,
                          call.arguments.dtype, call.arguments.signature);
  if (!loop) return false;
  call.loop = std::move(*loop);
  return check_new_output_size(call.shape, call.loop.outputs);
}

// Row-major over the output: each element of `a` is read once per row (also
// when `b` is empty), `b` and the mask at every element, selected or not, so a
// read or cast failure ends the call even where the mask is false. `b`'s values
// are kept from the first row, read in the order every row would read them:
// the same values and the same first error, and `b` is never read when `a` is
// empty.
std::optional<ElementResults> outer_loop(const PreparedOuter& prepared) {
  const PreparedCall& call = prepared.call;
  const Operand& a = call.operands[0];
  const Operand& b = call.operands[1];
  ElementResults results;
  if (!results.reserve(call.loop.outputs.size(), call.count)) return std::nullopt;
  std::vector<Scalar> b_values;
  if (prepared.size_a > 0 && !storage_ok(quarvel_storage::checked::reserve(b_values, prepared.size_b)))
    return std::nullopt;
  const std::size_t rank = call.shape.size();
  const std::size_t rank_a = a.shape().size();
  Coordinates a_coordinates(rank_a, 0);
  // Output coordinates; `b` lies on the trailing axes, so it reads them aligned.
  Coordinates coordinates(rank, 0);
  Scalar inputs[2];
  for (std::uint64_t i = 0; i < prepared.size_a;
       ++i, quarvel_storage::view_detail::next_c_order(a_coordinates, a.shape())) {
    auto x = a.read_as(a_coordinates, rank_a, call.loop.inputs[0]);
    if (!x) return std::nullopt;
    inputs[0] = std::move(*x);
    for (std::uint64_t j = 0; j < prepared.size_b;
         ++j, quarvel_storage::view_detail::next_c_order(coordinates, call.shape)) {
      if (i == 0) {
        auto y = b.read_as(coordinates, rank, call.loop.inputs[1]);
        if (!y) return std::nullopt;
        b_values.push_back(std::move(*y));
      }
      const std::optional<bool> selected = call.selects(coordinates);
      if (!selected) return std::nullopt;
      if (!*selected) {
        results.skip(call.loop);
        continue;
      }
      inputs[1] = b_values[j];
      auto computed = quarvel_kernels::binary(call.op, inputs[0], inputs[1], call.loop.outputs[0]);
      if (!computed) {
        raise_storage(computed.error());
        return std::nullopt;
      }
      if (!results.record(call.op, inputs, *computed, call.loop)) return std::nullopt;
    }
  }
  return results;
}

}  // namespace

PyObject* outer_method(std::string_view name, PyObject* args, PyObject* kwargs) {
  PreparedOuter prepared;
  if (!prepare_outer(name, args, kwargs, prepared)) return nullptr;
  // New arrays of order K keep `a`'s axes first, `b`'s after them.
  const std::size_t axis_offsets[] = {0, prepared.call.operands[0].shape().size()};
  const OperandPlacement placement{prepared.call.operands, axis_offsets};
  if (auto result = typed_elementwise(prepared.call, placement)) return *result;
  auto results = outer_loop(prepared);
  if (!results) return nullptr;
  return deliver_results(prepared.call, *results, placement, true);
}

}  // namespace quarvel_python::ufunc
