// ufunc.at(a, indices, b=None, /): the ufunc applied in place, unbuffered, at
// the elements of `a` that `indices` selects. Each element is read, computed
// and written back before the next is read, so a repeated index accumulates.
//
// There is no casting rule and no weak-scalar adjustment: the loop comes from
// the dtypes as given (a Python int enters as int64), and each result is cast
// back to `a`'s dtype, wrapping or dropping an imaginary part as casts do.
#include <algorithm>
#include <array>
#include <cstring>
#include <cstdlib>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "python/args.h"
#include "python/array_object.h"
#include "python/element_path.h"
#include "python/errors.h"
#include "python/index_parse.h"
#include "python/ufunc/call_args.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/engines.h"
#include "python/ufunc/method_support.h"
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
  std::optional<Operand> right_operand;  // binary: `b`
  std::vector<Scalar> right;  // binary: one value per target element, in the loop's second input dtype
  // An advanced target on the typed path may be a LinearSelection, its
  // offsets then listed only where an element-at-a-time loop needs them;
  // it reads the values of `items`.
  std::vector<quarvel_storage::IndexItem> items;
  std::optional<quarvel_storage::LinearSelection> linear;
};

// Made in `target`; false with the error set.
bool select_target(const View& view, PyObject* indices, std::vector<quarvel_storage::IndexItem>& items,
                   std::optional<quarvel_storage::LinearSelection>& linear, Target& target) {
  auto parsed = parse_indices(view, indices);
  if (!parsed) return false;
  if (parsed->is_basic()) {
    auto selected = storage_value(view.index(parsed->items));
    if (!selected) return false;
    target.emplace<View>(std::move(*selected));
    return true;
  }
  items = std::move(parsed->items);
  auto selected = loop_path() == quarvel_storage::LoopPath::Typed
                      ? storage_value(quarvel_storage::advanced_index_runs(view, items, linear))
                      : storage_value(view.advanced_index_view(items, quarvel_storage::LoopPath::Element));
  if (!selected) return false;
  target.emplace<IndexedView>(std::move(*selected));
  return true;
}

// The offsets of a LinearSelection target, for the loops that walk them.
bool list_target(PreparedAt& at) {
  if (!at.linear) return true;
  if (!storage_ok(quarvel_storage::list_selection(std::get<IndexedView>(at.target), *at.linear))) return false;
  at.linear.reset();
  return true;
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

// Filled in place: its target and operand are too large to move for nothing.
bool prepare_at(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PreparedAt& at) {
  PyObject* bound[3] = {};
  if (!parse_arguments(Signature{"at", at_params}, CallArgs::from_vector(args, nargs, kwnames), bound))
    return false;
  PyObject* a = bound[0];
  if (!is_array(a)) return raise_false(PyExc_TypeError, "first argument to ufunc.at must be a Quarvel array");
  if (quarvel_kernels::output_count(op) != 1) {
    const std::string text = std::string(name) + " does not support the at method";
    return raise_false(PyExc_TypeError, text.c_str());
  }
  const View& view = as_array(a)->view;
  if (view.ndim() == 0)
    return raise_false(PyExc_TypeError, "ufunc.at requires an array with at least one dimension");
  if (!select_target(view, bound[1], at.items, at.linear, at.target)) return false;
  if (bound[2] && bound[2] != Py_None) {
    if (!Operand::convert(bound[2], at.right_operand.emplace())) return false;
  }
  const bool binary = quarvel_kernels::input_count(op) == 2;
  if (binary && !at.right_operand) return raise_false(PyExc_TypeError, "binary ufunc.at requires a third operand");
  if (!binary && at.right_operand)
    return raise_false(PyExc_TypeError, "unary ufunc.at takes only the array and indices");

  at.name = name;
  at.op = op;
  at.array_dtype = view.dtype;
  at.binary = binary;
  const Shape& shape = target_shape(at.target);
  std::array<DType, 2> input_dtypes{view.dtype, view.dtype};
  if (binary) {
    auto merged = broadcast_shape(shape, at.right_operand->shape());
    if (!merged) return false;
    if (*merged != shape)
      return raise_false(PyExc_ValueError, "right operand cannot be broadcast to the indexed target shape");
    input_dtypes[1] = at.right_operand->dtype;
  }
  auto loop = storage_value(quarvel_kernels::resolve_loop(op, std::span(input_dtypes.data(), binary ? 2 : 1)));
  if (!loop) return false;
  at.loop = std::move(*loop);
  if (!warn_at_complex_cast(at.loop.outputs[0], at.array_dtype)) return false;
  auto count = element_count(shape);
  if (!count) return false;
  at.count = *count;
  return true;
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

// --- the typed path ------------------------------------------------------------------

// Whether every position of `view` is an element of its own: along the axes
// sorted by stride, each step clears everything the inner axes reach. A run
// reads a block or chunk whole before writing it, so on a target meeting an
// element twice the second reading would miss the first writing.
bool elements_distinct(const View& view) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> axes;  // |stride|, length
  for (std::size_t k = 0; k < view.ndim(); ++k) {
    if (view.shape[k] == 0) return true;
    if (view.shape[k] > 1) axes.emplace_back(static_cast<std::uint64_t>(std::abs(view.strides[k])), view.shape[k]);
  }
  std::sort(axes.begin(), axes.end());
  std::uint64_t reach = view.dtype.itemsize();
  for (const auto& [stride, length] : axes) {
    if (stride < reach) return false;
    reach = stride * (length - 1) + reach;
  }
  return true;
}

// `b` in the loop's second input dtype, read whole before anything is
// written (a `b` that views `a` is seen as it was): a private array of its
// own shape, or a number's one element held inline.
struct RightValues {
  std::optional<View> array;
  alignas(16) quarvel_storage::view_detail::ElementBytes element{};
  DType dtype;

  std::uint64_t itemsize() const { return dtype.itemsize(); }
  // Its strides over a target of `shape`: 0 along every axis for a number.
  quarvel_storage::Strides strides_over(const Shape& shape) const {
    return array ? quarvel_kernels::broadcast_strides(*array, shape) : quarvel_storage::Strides(shape.size(), 0);
  }
};

bool read_right(const Operand& right, DType dtype, RightValues& into) {
  into.dtype = dtype;
  if (!right.view) {
    auto value = right.read_as({}, 0, dtype);
    if (!value) return false;
    auto bytes = storage_value(quarvel_storage::view_detail::encoded(*value, dtype, quarvel_storage::ByteOrder::Native));
    if (!bytes) return false;
    into.element = *bytes;
    return true;
  }
  into.array = storage_value(View::zeros_with_layout(dtype, default_byte_order(dtype), right.view->shape, false));
  return into.array && convert_raising(into.array->shape, placed(*right.view), placed(*into.array));
}

// A basic target of distinct elements: one run over the view, in place.
std::optional<std::uint32_t> update_view(const PreparedAt& at, quarvel_kernels::StridedLoop kernel,
                                         const View& target, const RightValues* right) {
  quarvel_kernels::TypedRun run{target.shape, {placed(target)}, {placed(target)}, std::nullopt, at.loop, kernel};
  if (right && right->array) run.inputs.push_back(placed(*right->array, right->strides_over(target.shape)));
  else if (right) run.inputs.push_back(quarvel_kernels::RunOperand{nullptr, {}, right->element.data()});
  return run_raising(run);
}

// The selected elements go through the kernel in runs of distinct
// elements: a run is gathered, computed as one contiguous loop and written
// back before the next is read. Elements of one run never meet, so this is
// the element-by-element update (a repeated index starts a new run and sees
// the value written before), with the kernel's loop at full speed.
constexpr std::uint64_t run_length = 256;
constexpr std::uint64_t prefetch_distance = 32;
constexpr int seen_bits = 15;
constexpr std::uint64_t max_size = 32;  // a complex256 element  // a run ends at the first element whose hash it has seen: false alarms only shorten it

// A call of at most one run hashes into a smaller table: clearing the full
// one costs more than a few elements' update.
constexpr int few_seen_bits = 11;

std::uint64_t seen_slot(std::uint64_t element, int bits) { return (element * 0x9E3779B97F4A7C15ull) >> (64 - bits); }

// Copies a run's elements of N bytes from their places into `run`, or back.
template <std::uint64_t N>
void move_run(std::uint8_t* run, std::uint8_t* start, const std::uint64_t* offsets, std::uint64_t n, bool back) {
  for (std::uint64_t k = 0; k < n; ++k) {
    std::uint8_t* place = start + offsets[k] * N;
    back ? std::memcpy(place, run + k * N, N) : std::memcpy(run + k * N, place, N);
  }
}
using RunMove = void (*)(std::uint8_t*, std::uint8_t*, const std::uint64_t*, std::uint64_t, bool);
RunMove run_move(std::uint64_t size) {
  switch (size) {
    case 1: return move_run<1>;
    case 2: return move_run<2>;
    case 4: return move_run<4>;
    case 8: return move_run<8>;
    case 16: return move_run<16>;
    case 32: return move_run<32>;
    default: return nullptr;
  }
}

// `a` locked for writing and `b`'s array, when it has one, for reading, with
// the first element of `b`; nullopt with the error set when a lock or layout is refused.
struct AtLocks {
  quarvel_storage::LockedBuffer::WriteGuard array;
  std::optional<quarvel_storage::LockedBuffer::ReadGuard> right;
  const std::uint8_t* right_base = nullptr;
};

std::optional<AtLocks> lock_operands(const View& array, const RightValues* right) {
  auto guard = storage_value(array.buffer->write());
  if (!guard || !storage_value(array.element_base(*guard))) return std::nullopt;
  AtLocks locks{std::move(*guard), std::nullopt, nullptr};
  if (right && !right->array) {
    locks.right_base = right->element.data();
  } else if (right) {
    const View& values = *right->array;
    locks.right = storage_value(std::as_const(*values.buffer).read());
    auto base = locks.right ? storage_value(values.element_base(*locks.right)) : std::nullopt;
    if (!base) return std::nullopt;
    locks.right_base = *base;
  }
  return locks;
}

// An advanced target: its listed elements in order, converted to the loop
// dtype, computed and converted back; `a` locked once. `b` is read in order
// (one value, or one per element); nullopt when it is laid out otherwise.
std::optional<std::uint32_t> update_runs(const PreparedAt& at, quarvel_kernels::StridedLoop kernel,
                                         const IndexedView& target, const RightValues* right) {
  using quarvel_storage::ByteOrder;
  const View& array = target.view;
  const std::uint64_t size = array.dtype.itemsize(), in_size = at.loop.inputs[0].itemsize(),
                      out_size = at.loop.outputs[0].itemsize();
  const RunMove move = run_move(size);
  if (!move || in_size > max_size || out_size > max_size) return std::nullopt;
  std::int64_t right_step = 0;
  if (right) {
    const quarvel_storage::Strides strides = right->strides_over(target.shape);
    const bool one = std::all_of(strides.begin(), strides.end(), [](std::int64_t s) { return s == 0; });
    if (!one && !(right->array->is_c_contiguous() && right->array->shape == target.shape)) return std::nullopt;
    right_step = one ? 0 : static_cast<std::int64_t>(right->itemsize());
  }
  const bool converts = array.dtype != at.loop.inputs[0] || array.dtype != at.loop.outputs[0] ||
                        quarvel_storage::swaps(array.byte_order);
  const auto read =
      quarvel_storage::find_conversion(array.dtype, array.byte_order, at.loop.inputs[0], ByteOrder::Native);
  const auto write =
      quarvel_storage::find_conversion(at.loop.outputs[0], ByteOrder::Native, array.dtype, array.byte_order);
  auto locks = lock_operands(array, right);
  if (!locks) return std::nullopt;
  const std::uint8_t* right_base = locks->right_base;
  // Selections hold buffer element numbers, counted from the buffer's start.
  std::uint8_t* const start = locks->array->data.data();
  const std::uint64_t* const listed = target.offsets.data();
  const quarvel_storage::LinearSelection* const linear = at.linear ? &*at.linear : nullptr;
  const std::uint64_t count = at.count;
  std::uint64_t offsets[run_length];  // of the run
  alignas(16) std::uint8_t raw[run_length * max_size], in[run_length * max_size], out[run_length * max_size];
  const int bits = count <= run_length ? few_seen_bits : seen_bits;
  std::uint64_t seen[(1u << seen_bits) / 64];
  std::fill_n(seen, (std::size_t{1} << bits) / 64, std::uint64_t{0});
  // One `b` for all: laid out as a run of copies once, so that every run's
  // loop reads its operands contiguously.
  alignas(16) std::uint8_t repeated[run_length * max_size];
  std::int64_t right_stride = right_step;
  if (right && right_step == 0) {
    right_stride = static_cast<std::int64_t>(right->itemsize());
    if (right_stride > static_cast<std::int64_t>(max_size)) return std::nullopt;
    // As many copies as the longest run can use: a few indices copy a few.
    const std::uint64_t copies = std::min(count, run_length);
    for (std::uint64_t k = 0; k < copies; ++k)
      std::memcpy(repeated + k * static_cast<std::uint64_t>(right_stride), right_base, static_cast<std::size_t>(right_stride));
    right_base = repeated;
  }
  std::uint32_t faults = 0;
  for (std::uint64_t i = 0; i < count;) {
    std::uint64_t j = i;
    for (; j < count && j - i < run_length; ++j) {
      const std::uint64_t element = linear ? linear->element(j) : listed[j];
      const std::uint64_t slot = seen_slot(element, bits);
      const std::uint64_t bit = std::uint64_t{1} << (slot % 64);
      if (seen[slot / 64] & bit) break;
      seen[slot / 64] |= bit;
      offsets[j - i] = element;
      __builtin_prefetch(start + element * size, 1);  // the misses of a run overlap
    }
    const std::uint64_t n = j - i;
    move(raw, start, offsets, n, false);
    std::uint8_t* first = raw;
    std::uint8_t* result = raw;
    if (converts) {
      read(raw, static_cast<std::int64_t>(size), in, static_cast<std::int64_t>(in_size), n);
      first = in, result = out;
    }
    const std::uint8_t* b = right_step == 0 ? right_base : right_base + static_cast<std::int64_t>(i) * right_step;
    std::uint8_t* args[3] = {first, result, nullptr};
    std::int64_t steps[3] = {static_cast<std::int64_t>(in_size), static_cast<std::int64_t>(out_size), 0};
    if (right) {
      args[1] = const_cast<std::uint8_t*>(b), args[2] = result;
      steps[1] = right_stride, steps[2] = static_cast<std::int64_t>(out_size);
    }
    faults |= kernel(args, steps, n, nullptr, 0).faults;
    if (converts) write(out, static_cast<std::int64_t>(out_size), raw, static_cast<std::int64_t>(size), n);
    move(raw, start, offsets, n, true);
    for (std::uint64_t k = 0; k < n; ++k) seen[seen_slot(offsets[k], bits) / 64] = 0;
    i = j;
  }
  return faults;
}

// An advanced target whose `b` is broadcast along some axes: its listed
// elements one at a time (a repeated offset sees the value written before),
// each converted to the loop dtype, computed by the kernel on one element and
// converted back; `a` locked once.
std::optional<std::uint32_t> update_selection(const PreparedAt& at, quarvel_kernels::StridedLoop kernel,
                                              const IndexedView& target, const RightValues* right) {
  using quarvel_storage::ByteOrder;
  const View& array = target.view;
  const auto read =
      quarvel_storage::find_conversion(array.dtype, array.byte_order, at.loop.inputs[0], ByteOrder::Native);
  const auto write =
      quarvel_storage::find_conversion(at.loop.outputs[0], ByteOrder::Native, array.dtype, array.byte_order);
  auto locks = lock_operands(array, right);
  if (!locks) return std::nullopt;
  const std::uint8_t* right_base = locks->right_base;
  // Selections hold buffer element numbers, counted from the buffer's start.
  std::uint8_t* start = locks->array->data.data();
  const std::uint64_t itemsize = array.dtype.itemsize();
  alignas(16) std::uint8_t value[32], result[32];  // up to a complex256 element
  const std::int64_t strides[3] = {0, 0, 0};
  std::uint32_t faults = 0;
  std::uint64_t i = 0;
  const std::uint8_t selected = 1;
  auto update = [&](const std::uint8_t* right_element) {
    // One element per kernel call leaves the processor too few elements in
    // flight to overlap their cache misses: ask for later ones early.
    if (i + prefetch_distance < at.count)
      __builtin_prefetch(start + target.offsets[i + prefetch_distance] * itemsize, 1);
    std::uint8_t* element = start + target.offsets[i++] * itemsize;
    read(element, 0, value, 0, 1);
    // Kernel order: the inputs, then the output.
    std::uint8_t* args[3] = {value, result, nullptr};
    if (right_element) args[1] = const_cast<std::uint8_t*>(right_element), args[2] = result;
    faults |= kernel(args, strides, 1, &selected, 0).faults;  // masked: no layout tests
    write(result, 0, element, 0, 1);
  };
  if (!right) {
    while (i < at.count) update(nullptr);
    return faults;
  }
  const quarvel_storage::Strides right_strides = right->strides_over(target.shape);
  auto row = [&](const std::array<std::uint8_t*, 1>& first, const std::array<std::int64_t, 1>& inner,
                 std::uint64_t count) {
    for (std::uint64_t k = 0; k < count; ++k) update(first[0] + static_cast<std::int64_t>(k) * inner[0]);
  };
  quarvel_storage::for_each_row<1>(target.shape, {const_cast<std::uint8_t*>(right_base)}, {right_strides.data()}, row);
  return faults;
}

std::optional<std::uint32_t> update_advanced(PreparedAt& at, quarvel_kernels::StridedLoop kernel,
                                             const RightValues* right) {
  if (auto faults = update_runs(at, kernel, std::get<IndexedView>(at.target), right)) return faults;
  if (PyErr_Occurred() || !list_target(at)) return std::nullopt;
  return update_selection(at, kernel, std::get<IndexedView>(at.target), right);
}

// Nullopt when the element loop must serve: big int operands, no typed
// kernel, a kernel that may refuse an element (the
// element loop stops there with the earlier writes kept), or a basic target
// meeting an element twice.
std::optional<PyObject*> typed_at(PreparedAt& at) {
  const View& array = std::visit(
      [](const auto& target) -> const View& {
        if constexpr (std::is_same_v<std::decay_t<decltype(target)>, View>) return target;
        else return target.view;
      },
      at.target);
  const Operand* right = at.binary ? &*at.right_operand : nullptr;
  if (at.count == 0 || (right && (right->big_int || !typed_path_open({right->dtype}))) ||
      !typed_path_open({array.dtype}) || quarvel_kernels::loop_may_refuse(at.op, at.loop))
    return std::nullopt;
  const View* inputs[] = {&array, nullptr};
  const View* outputs[] = {&array};
  if (!quarvel_kernels::run_is_typed(std::span(inputs, at.loop.inputs.size()), outputs, at.loop)) return std::nullopt;
  const quarvel_kernels::StridedLoop kernel = kernel_for(at.op, at.loop);
  const View* basic = std::get_if<View>(&at.target);
  if (!kernel || (basic && !elements_distinct(*basic))) return std::nullopt;

  RightValues right_values;
  if (right && !read_right(*right, at.loop.inputs[1], right_values)) return nullptr;
  const RightValues* given = right ? &right_values : nullptr;
  auto faults = basic ? update_view(at, kernel, *basic, given) : update_advanced(at, kernel, given);
  if (!faults || !report_errors(at.name, *faults)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* at_method(Op op, std::string_view name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PreparedAt prepared;
  if (!prepare_at(op, name, args, nargs, kwnames, prepared)) return nullptr;
  if (auto typed = typed_at(prepared)) return *typed;
  if (prepared.binary && !read_right_values(prepared, *prepared.right_operand)) return nullptr;
  if (!list_target(prepared)) return nullptr;
  std::uint32_t faults = 0;
  const bool done =
      std::visit([&](const auto& target) { return update_elements(prepared, target, faults); }, prepared.target);
  if (!done || !report_errors(name, faults)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace quarvel_python::ufunc
