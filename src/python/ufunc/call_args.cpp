#include "python/ufunc/call_args.h"

#include <algorithm>
#include <string>

#include "python/args.h"
#include "python/array_object.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/interned.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_storage::OperandLayout;
using quarvel_storage::Strides;

// The keywords of a call and of outer, in this order.
enum CallKey { OutKey, WhereKey, CastingKey, OrderKey, DtypeKey, SubokKey, SignatureKey, SigKey };
InternedTexts<8> call_keys({"out", "where", "casting", "order", "dtype", "subok", "signature", "sig"});

// Visits the keywords in the dictionary's order as (key slot or -1, key,
// value) until `visit` returns false (with the error set); a key that is not
// text fails first. Keys are matched without converting them.
template <class Visit>
bool for_each_keyword(PyObject* kwargs, Visit&& visit) {
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (kwargs && PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return raise_false(PyExc_TypeError, "keywords must be strings");
    if (!visit(call_keys.find(key), key, value)) return false;
  }
  return true;
}

// TypeError "{prefix}unexpected keyword argument '{key}'"; only the message
// converts the key (a key without a UTF-8 form fails with that conversion).
[[gnu::cold]] bool unexpected_keyword(std::string_view prefix, PyObject* key) {
  auto text = utf8_text(key);
  if (!text) return false;
  return raise_text(PyExc_TypeError, std::string(prefix) + "unexpected keyword argument '" + *text + "'");
}

// `signature` and `sig` fill one slot, and only one of them may be given; a
// None counts as given but leaves the slot empty.
bool take_signature(CallArguments& parsed, bool& seen, PyObject* value) {
  if (seen) return raise_false(PyExc_TypeError, "signature and sig cannot both be provided");
  seen = true;
  if (value != Py_None) parsed.keep_signature(value);
  return true;
}

[[gnu::cold]] bool unexpected_call_keyword(std::string_view name, PyObject* key) {
  return unexpected_keyword(std::string(name) + "() got an ", key);
}

[[gnu::cold]] std::nullopt_t wrong_argument_count(std::string_view name, std::size_t nin, std::size_t given) {
  const std::string text = std::string(name) + " takes " + std::to_string(nin) + " input argument" +
                           (nin == 1 ? "" : "s") + " and at most one output argument (" + std::to_string(given) +
                           " given)";
  return raise_error(PyExc_TypeError, text.c_str());
}

[[gnu::cold]] std::nullopt_t not_broadcast(const Shape& a, const Shape& b) {
  const std::string text =
      "operands could not be broadcast together with shapes " + shape_text(a) + " " + shape_text(b);
  return raise_error(PyExc_ValueError, text.c_str());
}

[[gnu::cold]] bool mask_not_broadcast(const Shape& mask, const Shape& output, bool outer_text) {
  const std::string text = "where mask with shape " + shape_text(mask) + " cannot be broadcast to " +
                           (outer_text ? "outer output shape " : "output shape ") + shape_text(output);
  return raise_false(PyExc_ValueError, text.c_str());
}

// One operand's (shape, strides), widened to `ndim` axes from `offset` when asked.
OperandLayout placed_layout(const View& view, std::size_t ndim, std::optional<std::size_t> offset) {
  if (!offset) return {view.shape, view.strides};
  OperandLayout layout{Shape(ndim, 1), Strides(ndim, 0)};
  for (std::size_t i = 0; i < view.ndim() && *offset + i < ndim; ++i) {
    layout.first[*offset + i] = view.shape[i];
    layout.second[*offset + i] = view.strides[i];
  }
  return layout;
}

}  // namespace

std::string shape_list(const Shape& shape) { return shape_text(shape); }

std::optional<Shape> broadcast_shape(const Shape& a, const Shape& b) {
  const Shape& longer = a.size() >= b.size() ? a : b;
  const Shape& shorter = a.size() >= b.size() ? b : a;
  Shape merged = longer;
  const std::size_t lead = longer.size() - shorter.size();
  for (std::size_t i = 0; i < shorter.size(); ++i) {
    const std::uint64_t x = merged[lead + i], y = shorter[i];
    if (x == y || y == 1) continue;
    if (x != 1) return not_broadcast(a, b);
    merged[lead + i] = y;
  }
  return merged;
}

std::optional<std::uint64_t> element_count(const Shape& shape) {
  std::uint64_t count = 1;
  for (std::uint64_t length : shape)
    if (__builtin_mul_overflow(count, length, &count))
      return raise_error(PyExc_ValueError, "array shape exceeds supported limits");
  return count;
}

bool warn_where_without_out() {
  return PyErr_WarnEx(PyExc_UserWarning,
                      "'where' used without 'out', expect uninitialized memory in output. If this is intentional, "
                      "use out=None.",
                      1) == 0;
}

std::optional<char> parse_order(PyObject* value) {
  static InternedTexts<4> letters({"C", "F", "A", "K"});
  if (const int i = letters.identity(value); i >= 0) return "CFAK"[i];
  auto text = text_argument(value, "order");
  if (!text) return std::nullopt;
  if (text->size() == 1 && std::string_view("CFAK").find((*text)[0]) != std::string_view::npos) return (*text)[0];
  return raise_error(PyExc_ValueError, "order must be 'C', 'F', 'A', or 'K'");
}

bool check_subok(PyObject* value) {
  return PyBool_Check(value) || raise_false(PyExc_TypeError, "'subok' must be a boolean");
}

std::optional<CallArguments> parse_call_arguments(std::string_view name, std::size_t nin, std::size_t nout,
                                                  PyObject* const* args, std::size_t given, PyObject* kwargs) {
  if (given != nin && given != nin + 1) return wrong_argument_count(name, nin, given);
  CallArguments parsed;
  // Read after the `where` warning, whose filters may run user code.
  PyRef casting, order, subok;
  bool signature_seen = false;
  const bool keywords_ok = for_each_keyword(kwargs, [&](int slot, PyObject* key, PyObject* value) {
    switch (slot) {
      case SignatureKey:
      case SigKey: return take_signature(parsed, signature_seen, value);
      case OutKey: parsed.keep_out(value); return true;
      case WhereKey: parsed.keep_where(value); return true;
      case CastingKey: casting = PyRef::borrow(value); return true;
      case OrderKey: order = PyRef::borrow(value); return true;
      case DtypeKey:
        if (value != Py_None) parsed.keep_dtype(value);
        else parsed.dtype = nullptr;
        return true;
      case SubokKey: subok = PyRef::borrow(value); return true;
      default: return unexpected_call_keyword(name, key);
    }
  });
  if (!keywords_ok) return std::nullopt;
  if (parsed.dtype && parsed.signature)
    return raise_error(PyExc_TypeError, "cannot specify both 'signature' and 'dtype'");
  const bool out_keyword = parsed.out != nullptr;
  if (given == nin + 1) {
    if (out_keyword) return raise_error(PyExc_TypeError, "out cannot be provided both positionally and by keyword");
    PyObject* positional = args[nin];
    parsed.out = positional;
    if (positional == Py_None && nout > 1) {
      parsed.out_holder = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(nout)));
      if (!parsed.out_holder) return std::nullopt;
      for (std::size_t i = 0; i < nout; ++i) PyTuple_SetItem(parsed.out_holder.get(), i, Py_NewRef(Py_None));
      parsed.out = parsed.out_holder.get();
    }
  }
  if (parsed.where && !parsed.out && !warn_where_without_out()) return std::nullopt;
  if (casting) {
    auto rule = parse_casting_rule(casting.get());
    if (!rule) return std::nullopt;
    parsed.casting = *rule;
  }
  if (order) {
    auto letter = parse_order(order.get());
    if (!letter) return std::nullopt;
    parsed.order = *letter;
  }
  if (subok && !check_subok(subok.get())) return std::nullopt;
  return parsed;
}

std::optional<CallArguments> parse_outer_keywords(PyObject* kwargs) {
  CallArguments parsed;
  bool signature_seen = false;
  const bool keywords_ok = for_each_keyword(kwargs, [&](int slot, PyObject*, PyObject* value) {
    switch (slot) {
      case SignatureKey:
      case SigKey: return take_signature(parsed, signature_seen, value);
      case OutKey: parsed.keep_out(value); return true;
      case WhereKey: parsed.keep_where(value); return true;
      case DtypeKey:
        if (value != Py_None) parsed.keep_dtype(value);
        return true;
      case OrderKey: {
        auto letter = parse_order(value);
        if (!letter) return false;
        parsed.order = *letter;
        return true;
      }
      case SubokKey: return check_subok(value);
      case CastingKey: {
        auto rule = parse_casting_rule(value);
        if (!rule) return false;
        parsed.casting = *rule;
        return true;
      }
      default: return true;
    }
  });
  if (!keywords_ok) return std::nullopt;
  return parsed;
}

bool ensure_known_method_kwargs(PyObject* kwargs, std::span<const std::string_view> allowed,
                                std::string_view function) {
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (kwargs && PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return raise_false(PyExc_TypeError, "keywords must be strings");
    // The key's own UTF-8 form: no copy, and its conversion error as before.
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (!data) return false;
    const std::string_view text(data, static_cast<std::size_t>(size));
    if (std::find(allowed.begin(), allowed.end(), text) != allowed.end()) continue;
    const std::string prefix = function.empty() ? "" : std::string(function) + "() got an ";
    return raise_text(PyExc_TypeError, prefix + "unexpected keyword argument '" + std::string(text) + "'");
  }
  return true;
}

std::optional<OutputList> parse_outputs(PyObject* out, std::size_t nout) {
  OutputList outputs;
  if (!out || out == Py_None) return outputs;
  if (nout == 1 && is_array(out)) {
    outputs.push_back(out);
    return outputs;
  }
  if (!PyTuple_Check(out)) return raise_error(PyExc_TypeError, "out must be an array or a tuple of output arrays");
  if (static_cast<std::size_t>(PyTuple_Size(out)) != nout)
    return raise_error(PyExc_ValueError, "out tuple has the wrong number of arrays");
  for (std::size_t i = 0; i < nout; ++i) {
    PyObject* entry = PyTuple_GetItem(out, static_cast<Py_ssize_t>(i));
    if (entry != Py_None && !is_array(entry))
      return raise_error(PyExc_TypeError, "out entries must be Quarvel arrays or None");
    outputs.push_back(entry == Py_None ? nullptr : entry);
  }
  return outputs;
}

bool convert_mask(PyObject* where, const Shape& output_shape, bool outer_text, std::optional<Operand>& mask) {
  // An array is taken over in place, as an operand is.
  if (is_array(where)) {
    if (!Operand::convert(where, mask.emplace())) return false;
  } else {
    mask = Operand::from_mask(where);
    if (!mask) return false;
  }
  if (mask->dtype != DType::Bool) return raise_false(PyExc_TypeError, "where must be a boolean array or scalar");
  auto merged = broadcast_shape(output_shape, mask->shape());
  if (!merged) return false;
  if (*merged != output_shape) return mask_not_broadcast(mask->shape(), output_shape, outer_text);
  return true;
}

std::optional<Strides> output_strides(DType dtype, const Shape& shape, char order, const OperandPlacement& placement) {
  if (order == 'A') {
    bool any_array = false, all_f = true, all_c = true;
    for (const Operand& operand : placement.operands) {
      if (!operand.view) continue;
      any_array = true;
      all_f = all_f && operand.view->is_f_contiguous();
      all_c = all_c && operand.view->is_c_contiguous();
    }
    order = any_array && all_f && !all_c ? 'F' : 'C';
  }
  if (order == 'C') return storage_value(quarvel_storage::c_strides(dtype, shape));
  if (order == 'F') return storage_value(quarvel_storage::f_strides(dtype, shape));
  // One axis has one order; the operands (never wider than the output) have
  // no say. Its stride, as the axis order gives it: 0 without elements.
  if (shape.size() <= 1) {
    Strides strides(shape.size(), 0);
    if (!shape.empty() && shape[0] != 0) strides[0] = static_cast<std::int64_t>(dtype.itemsize());
    return strides;
  }
  // An operand votes on a pair of axes only where it strides both: with no
  // operand striding two, the axes keep C order, and no layouts are built.
  bool votes = false;
  for (const Operand& operand : placement.operands) {
    if (!operand.view) continue;
    std::size_t striding = 0;
    for (std::int64_t stride : operand.view->strides) striding += stride != 0;
    votes = votes || striding > 1;
  }
  if (!votes) {
    quarvel_storage::AxisOrder c_order(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) c_order[i] = shape.size() - 1 - i;
    return storage_value(quarvel_storage::axis_order_strides(dtype, shape, c_order));
  }
  quarvel_storage::FixedVector<OperandLayout, 2> layouts;
  for (std::size_t i = 0; i < placement.operands.size(); ++i) {
    const Operand& operand = placement.operands[i];
    if (!operand.view) continue;
    std::optional<std::size_t> offset;
    if (!placement.axis_offsets.empty()) offset = placement.axis_offsets[i];
    layouts.push_back(placed_layout(*operand.view, shape.size(), offset));
  }
  auto axis_order = storage_value(quarvel_storage::keep_order_axes(shape, layouts));
  if (!axis_order) return std::nullopt;
  return storage_value(quarvel_storage::axis_order_strides(dtype, shape, *axis_order));
}

}  // namespace quarvel_python::ufunc
