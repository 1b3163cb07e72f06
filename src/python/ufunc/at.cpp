// ufunc.at(a, indices, b=None, /): the ufunc applied in place, unbuffered, at
// the elements of `a` that `indices` selects. Each element is read, computed
// and written back before the next is read, so a repeated index accumulates.
//
// There is no casting rule and no weak-scalar adjustment: the loop comes from
// the dtypes as given (a Python int enters as int64), and each result is cast
// back to `a`'s dtype, wrapping or dropping an imaginary part as casts do.
#include <string>
#include <variant>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "python/args.h"
#include "python/array_object.h"
#include "python/errors.h"
#include "python/index_parse.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/operand.h"
#include "python/ufunc/report.h"
#include "storage/checked.h"
#include "storage/indexing.h"
#include "storage/view_detail.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::Loop;
using quarvel_kernels::Op;
using quarvel_storage::IndexedView;

constexpr Param at_params[] = {{"a", ParamKind::PositionalOnly, true},
                               {"indices", ParamKind::PositionalOnly, true},
                               {"b", ParamKind::PositionalOnly, false}};

// The selected part of `a`: a view for basic indices, the listed buffer
// offsets (repeats kept) for advanced ones. Both share `a`'s buffer.
using Target = std::variant<View, IndexedView>;

const Shape& target_shape(const Target& target) {
  return std::visit([](const auto& t) -> const Shape& { return t.shape; }, target);
}

// A ComplexWarning when a complex loop result is stored into a real array
// (a bool array takes truth values and is not warned about).
bool warn_at_complex_cast(DType from, DType to) {
  const char kind = to.kind();
  if (from.kind() == 'c' && (kind == 'f' || kind == 'i' || kind == 'u')) return emit_complex_warning();
  return true;
}

// Everything the element loop needs, settled before the first write.
struct PreparedAt {
  std::string_view name;
  Op op;
  Target target;
  Loop loop;
  DType array_dtype;
  bool binary = false;
  std::uint64_t count = 0;
  std::vector<Scalar> right;  // binary: one value per target element, in the loop's second input dtype
};

std::optional<Target> select_target(const View& view, PyObject* indices) {
  auto parsed = parse_indices(view, indices);
  if (!parsed) return std::nullopt;
  if (parsed->is_basic()) {
    auto selected = storage_value(view.index(parsed->items));
    if (!selected) return std::nullopt;
    return Target(std::move(*selected));
  }
  auto selected = storage_value(view.advanced_index_view(parsed->items));
  if (!selected) return std::nullopt;
  return Target(std::move(*selected));
}

// `b` read whole, broadcast to the target, before anything is written: a `b`
// that views `a` is seen as it was.
bool read_right_values(PreparedAt& at, const Operand& right) {
  const Shape& shape = target_shape(at.target);
  if (!storage_ok(quarvel_storage::checked::reserve(at.right, at.count))) return false;
  Coordinates coordinates(shape.size(), 0);
  for (std::uint64_t i = 0; i < at.count; ++i, quarvel_storage::view_detail::next_c_order(coordinates, shape)) {
    auto value = right.read_as(coordinates, shape.size(), at.loop.inputs[1]);
    if (!value) return false;
    at.right.push_back(std::move(*value));
  }
  return true;
}

std::optional<PreparedAt> prepare_at(std::string_view name, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  PyObject* bound[3] = {};
  if (!parse_arguments(Signature{"at", at_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
    return std::nullopt;
  PyObject* a = bound[0];
  if (!is_array(a)) return raise_error(PyExc_TypeError, "first argument to ufunc.at must be a Quarvel array");
  const std::optional<Op> op = quarvel_kernels::op_from_name(name);
  if (!op) return raise_error(PyExc_TypeError, "unknown ufunc");
  if (quarvel_kernels::output_count(*op) != 1) {
    const std::string text = std::string(name) + " does not support the at method";
    return raise_error(PyExc_TypeError, text.c_str());
  }
  const View& view = as_array(a)->view;
  if (view.ndim() == 0)
    return raise_error(PyExc_TypeError, "ufunc.at requires an array with at least one dimension");
  auto target = select_target(view, bound[1]);
  if (!target) return std::nullopt;
  std::optional<Operand> right;
  if (bound[2] && bound[2] != Py_None) {
    right = Operand::from_python(bound[2]);
    if (!right) return std::nullopt;
  }
  const bool binary = quarvel_kernels::input_count(*op) == 2;
  if (binary && !right) return raise_error(PyExc_TypeError, "binary ufunc.at requires a third operand");
  if (!binary && right) return raise_error(PyExc_TypeError, "unary ufunc.at takes only the array and indices");

  PreparedAt at{name, *op, std::move(*target), {}, view.dtype, binary, 0, {}};
  const Shape& shape = target_shape(at.target);
  std::vector<DType> input_dtypes{view.dtype};
  if (binary) {
    auto merged = broadcast_shape(shape, right->shape());
    if (!merged) return std::nullopt;
    if (*merged != shape)
      return raise_error(PyExc_ValueError, "right operand cannot be broadcast to the indexed target shape");
    input_dtypes.push_back(right->dtype);
  }
  auto loop = storage_value(quarvel_kernels::resolve_loop(*op, input_dtypes));
  if (!loop) return std::nullopt;
  at.loop = std::move(*loop);
  if (!warn_at_complex_cast(at.loop.outputs[0], at.array_dtype)) return std::nullopt;
  auto count = element_count(shape);
  if (!count) return std::nullopt;
  at.count = *count;
  if (binary && !read_right_values(at, *right)) return std::nullopt;
  return at;
}

// Read, compute, classify, cast back and write, one element at a time; a
// failure leaves the elements already written and reports nothing.
template <class Selection>
bool update_elements(const PreparedAt& at, const Selection& target, std::uint32_t& faults) {
  const bool binary = at.binary;
  Coordinates coordinates(target.shape.size(), 0);
  Scalar inputs[2];
  for (std::uint64_t i = 0; i < at.count; ++i, quarvel_storage::view_detail::next_c_order(coordinates, target.shape)) {
    auto current = storage_value(target.read_at(coordinates));
    if (!current) return false;
    auto value = storage_value(current->cast(at.loop.inputs[0]));
    if (!value) return false;
    inputs[0] = std::move(*value);
    if (binary) inputs[1] = at.right[i];
    auto computed = binary ? quarvel_kernels::binary(at.op, inputs[0], inputs[1], at.loop.outputs[0])
                           : quarvel_kernels::unary(at.op, inputs[0], at.loop.outputs[0]);
    if (!computed) return raise_storage(computed.error());
    faults |= quarvel_kernels::classify_errors(at.op, std::span<const Scalar>(inputs, binary ? 2 : 1),
                                               std::span(computed->begin(), computed->size()));
    auto stored = storage_value((*computed)[0].cast(at.array_dtype));
    if (!stored || !storage_ok(target.write_at(coordinates, *stored))) return false;
  }
  return true;
}

}  // namespace

PyObject* at_method(std::string_view name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto prepared = prepare_at(name, args, nargs, kwnames);
  if (!prepared) return nullptr;
  // Every check is done, the loop chosen and `b` read: a typed loop for the
  // target's dtype slots in here, with the element loop below as its reference.
  std::uint32_t faults = 0;
  const bool done =
      std::visit([&](const auto& target) { return update_elements(*prepared, target, faults); }, prepared->target);
  if (!done || !report_errors(name, faults)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace quarvel_python::ufunc
