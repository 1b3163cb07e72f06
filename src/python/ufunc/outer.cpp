// ufunc.outer(a, b, /, **kwargs): a two-input ufunc on every pair of elements,
// the result shaped a.shape + b.shape; the inputs are never broadcast against
// each other.
//
// Its checks run in their own order (keyword names first, the operands before
// the keyword values, the mask before the loop); after the element loop it
// shares the call engine's outputs, fault report and result.
#include <cstring>
#include <string>
#include <utility>

#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "kernels/typed_run.h"
#include "python/args.h"
#include "python/array_object.h"
#include "python/dtype_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/report.h"
#include "storage/checked.h"
#include "storage/convert_loop.h"
#include "storage/traverse.h"
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
bool prepare_outer(Op op, std::string_view name, PyObject* args, PyObject* kwargs, PreparedOuter& prepared) {
  // The keywords are left to the engine's own walk.
  PyObject* bound[2] = {};
  if (!parse_arguments(Signature{"outer", outer_params}, CallArgs::from_tuple(args, nullptr), bound))
    return false;
  if (!ensure_known_method_kwargs(kwargs, outer_keywords)) return false;
  if (quarvel_kernels::input_count(op) != 2) {
    const std::string text = std::string(name) + " is not a binary outer ufunc";
    return raise_false(PyExc_TypeError, text.c_str());
  }
  const std::size_t nout = quarvel_kernels::output_count(op);

  PreparedCall& call = prepared.call;
  call.name = name;
  call.op = op;
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
  auto dtype_list = loop_dtype_list(op, call.operands);
  if (!dtype_list) return false;
  auto loop = choose_loop(op, name, 2, nout, call.operands, *dtype_list, call.arguments.casting,
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

// A small outer runs as one kernel call: both operands are read, in their
// loop dtypes, into blocks laid out along the result (each element of `a`
// repeated over a row, `b` repeated row after row). A kernel call per row
// would cost more than this gathering.
constexpr std::uint64_t gathered_elements = 128;
constexpr std::uint64_t gathered_itemsize = 32;  // a complex256 element

// The element of `view` at C-order position k, converted, to `into` + k * step.
void gather(const View& view, const std::uint8_t* base, quarvel_storage::ConvertLoop convert, std::uint8_t* into,
            std::int64_t step) {
  quarvel_storage::for_each_row<1>(
      view.shape, {const_cast<std::uint8_t*>(base)}, {view.strides.data()},
      [&](const std::array<std::uint8_t*, 1>& row, const std::array<std::int64_t, 1>& inner, std::uint64_t count) {
        convert(row[0], inner[0], into, step, count);
        into += static_cast<std::int64_t>(count) * step;
      });
}

// The typed run of a small outer of two arrays into a new result laid out in
// C order: the values, result, layout and fault report of the general run.
// Nullopt when it does not apply.
std::optional<PyObject*> gathered_outer(const PreparedOuter& prepared, const OperandPlacement& placement) {
  using quarvel_storage::ByteOrder;
  const PreparedCall& call = prepared.call;
  const Loop& loop = call.loop;
  if (element_path_forced() || call.mask || (call.arguments.out && call.arguments.out != Py_None) ||
      loop.outputs.size() != 1 || call.count == 0 || call.count > gathered_elements || call.shape.empty() ||
      quarvel_kernels::loop_may_refuse(call.op, loop))
    return std::nullopt;
  const Operand& a = call.operands[0];
  const Operand& b = call.operands[1];
  if (!a.view || !b.view || a.big_int || b.big_int) return std::nullopt;
  const View& left = *a.view;
  const View& right = *b.view;
  const DType out_dtype = loop.outputs[0];
  const std::uint64_t sizes[] = {loop.inputs[0].itemsize(), loop.inputs[1].itemsize(), out_dtype.itemsize()};
  const quarvel_storage::ConvertLoop read_left =
      quarvel_storage::find_conversion(left.dtype, left.byte_order, loop.inputs[0], ByteOrder::Native);
  const quarvel_storage::ConvertLoop read_right =
      quarvel_storage::find_conversion(right.dtype, right.byte_order, loop.inputs[1], ByteOrder::Native);
  const quarvel_kernels::StridedLoop kernel = kernel_for(call.op, loop);
  if (!read_left || !read_right || !kernel || sizes[0] > gathered_itemsize || sizes[1] > gathered_itemsize)
    return std::nullopt;
  auto strides = output_strides(out_dtype, call.shape, call.arguments.order, placement);
  if (!strides) return nullptr;
  const ByteOrder order = default_byte_order(out_dtype);
  if (order == ByteOrder::Big || !quarvel_storage::contiguous_layout(call.shape, *strides, sizes[2], true)) return std::nullopt;
  auto made = storage_value(View::unfilled_with_strides(out_dtype, order, call.shape, std::move(*strides)));
  if (!made) return nullptr;

  alignas(32) std::uint8_t lefts[gathered_elements * gathered_itemsize];
  alignas(32) std::uint8_t rights[gathered_elements * gathered_itemsize];
  const std::uint64_t rows = prepared.size_a, columns = prepared.size_b;
  {
    // Both read under their locks, taken as a run takes them.
    const quarvel_kernels::RunPart parts[] = {{&left, left.strides.data()}, {&right, right.strides.data()}};
    quarvel_kernels::RunLocks locks;
    quarvel_kernels::BorrowedRun reads;
    reads.inputs = parts;
    if (!storage_ok(locks.acquire(reads))) return nullptr;
    auto left_base = storage_value(locks.base(left));
    if (!left_base) return nullptr;
    auto right_base = storage_value(locks.base(right));
    if (!right_base) return nullptr;
    gather(left, *left_base, read_left, lefts, static_cast<std::int64_t>(columns * sizes[0]));
    gather(right, *right_base, read_right, rights, static_cast<std::int64_t>(sizes[1]));
  }
  // Repeated an element at a time in its own width: a copy of a length known
  // only at run time starts slowly for a few bytes.
  const auto row_step = static_cast<std::int64_t>(columns * sizes[1]);
  for (std::uint64_t i = 0; columns > 1 && i < rows; ++i) {
    std::uint8_t* row = lefts + i * columns * sizes[0];
    quarvel_storage::view_detail::fill_run(row + sizes[0], static_cast<std::int64_t>(sizes[0]), columns - 1, row,
                                           sizes[0]);
  }
  for (std::uint64_t j = 0; rows > 1 && j < columns; ++j)
    quarvel_storage::view_detail::fill_run(rights + (columns + j) * sizes[1], row_step, rows - 1, rights + j * sizes[1],
                                           sizes[1]);

  std::uint32_t faults = 0;
  {
    // Nobody else sees the result yet; its layout was checked as it was made.
    auto guard = storage_value(made->buffer->write());
    if (!guard) return nullptr;
    std::uint8_t* args[] = {lefts, rights, (*guard)->data.data() + made->offset};
    const std::int64_t steps[] = {static_cast<std::int64_t>(sizes[0]), static_cast<std::int64_t>(sizes[1]),
                                  static_cast<std::int64_t>(sizes[2])};
    faults = kernel(args, steps, call.count, nullptr, 0).faults;
  }
  PyRef result = PyRef::steal(new_array_object(std::move(*made), alias_hint(call.operands, out_dtype)));
  if (!result || !report_errors(call.name, faults)) return nullptr;
  return result.release();
}

}  // namespace

PyObject* outer_method(Op op, std::string_view name, PyObject* args, PyObject* kwargs) {
  PreparedOuter prepared;
  if (!prepare_outer(op, name, args, kwargs, prepared)) return nullptr;
  // New arrays of order K keep `a`'s axes first, `b`'s after them.
  const std::size_t axis_offsets[] = {0, prepared.call.operands[0].shape().size()};
  const OperandPlacement placement{prepared.call.operands, axis_offsets};
  if (auto result = gathered_outer(prepared, placement)) return *result;
  if (auto result = typed_elementwise(prepared.call, placement)) return *result;
  auto results = outer_loop(prepared);
  if (!results) return nullptr;
  return deliver_results(prepared.call, *results, placement, true);
}

}  // namespace quarvel_python::ufunc
