#include "python/ufunc/call_args.h"

#include <algorithm>
#include <string>

#include "python/args.h"
#include "python/array_object.h"
#include "python/convert.h"
#include "python/errors.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_storage::OperandLayout;
using quarvel_storage::Strides;

// The key as text; false with the conversion's TypeError for a key that is not.
std::optional<std::string> key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
    return std::nullopt;
  }
  return utf8_text(key);
}

// Visits the keywords in the dictionary's order as (text, value) until `visit`
// returns false (with the error set); a key that is not text fails first.
template <class Visit>
bool for_each_keyword(PyObject* kwargs, Visit&& visit) {
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (kwargs && PyDict_Next(kwargs, &position, &key, &value)) {
    auto text = key_text(key);
    if (!text || !visit(*text, value)) return false;
  }
  return true;
}

// `signature` and `sig` fill one slot, and only one of them may be given; a
// None counts as given but leaves the slot empty.
bool take_signature(CallArguments& parsed, bool& seen, PyObject* value) {
  if (seen) return raise_false(PyExc_TypeError, "signature and sig cannot both be provided");
  seen = true;
  if (value != Py_None) parsed.signature = value;
  return true;
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
  const Shape both[] = {a, b};
  auto merged = quarvel_storage::broadcast_shapes(both);
  if (merged) return std::move(*merged);
  const std::string text =
      "operands could not be broadcast together with shapes " + shape_list(a) + " " + shape_list(b);
  return raise_error(PyExc_ValueError, text.c_str());
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
  auto text = text_argument(value, "order");
  if (!text) return std::nullopt;
  if (text->size() == 1 && std::string_view("CFAK").find((*text)[0]) != std::string_view::npos) return (*text)[0];
  return raise_error(PyExc_ValueError, "order must be 'C', 'F', 'A', or 'K'");
}

bool check_subok(PyObject* value) {
  return PyBool_Check(value) || raise_false(PyExc_TypeError, "'subok' must be a boolean");
}

std::optional<CallArguments> parse_call_arguments(std::string_view name, std::size_t nin, std::size_t nout,
                                                  PyObject* args, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given != static_cast<Py_ssize_t>(nin) && given != static_cast<Py_ssize_t>(nin + 1)) {
    const std::string text = std::string(name) + " takes " + std::to_string(nin) + " input argument" +
                             (nin == 1 ? "" : "s") + " and at most one output argument (" + std::to_string(given) +
                             " given)";
    return raise_error(PyExc_TypeError, text.c_str());
  }
  CallArguments parsed;
  PyObject* casting = nullptr;
  PyObject* order = nullptr;
  PyObject* subok = nullptr;
  bool signature_seen = false;
  const bool keywords_ok = for_each_keyword(kwargs, [&](const std::string& text, PyObject* value) {
    if (text == "signature" || text == "sig") return take_signature(parsed, signature_seen, value);
    if (text == "out") parsed.out = value;
    else if (text == "where") parsed.where = value;
    else if (text == "casting") casting = value;
    else if (text == "order") order = value;
    else if (text == "dtype") parsed.dtype = value == Py_None ? nullptr : value;
    else if (text == "subok") subok = value;
    else return raise_text(PyExc_TypeError, std::string(name) + "() got an unexpected keyword argument '" + text + "'");
    return true;
  });
  if (!keywords_ok) return std::nullopt;
  if (parsed.dtype && parsed.signature)
    return raise_error(PyExc_TypeError, "cannot specify both 'signature' and 'dtype'");
  const bool out_keyword = parsed.out != nullptr;
  if (given == static_cast<Py_ssize_t>(nin + 1)) {
    if (out_keyword) return raise_error(PyExc_TypeError, "out cannot be provided both positionally and by keyword");
    PyObject* positional = PyTuple_GetItem(args, given - 1);
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
    auto rule = parse_casting_rule(casting);
    if (!rule) return std::nullopt;
    parsed.casting = *rule;
  }
  if (order) {
    auto letter = parse_order(order);
    if (!letter) return std::nullopt;
    parsed.order = *letter;
  }
  if (subok && !check_subok(subok)) return std::nullopt;
  return parsed;
}

std::optional<CallArguments> parse_outer_keywords(PyObject* kwargs) {
  CallArguments parsed;
  bool signature_seen = false;
  const bool keywords_ok = for_each_keyword(kwargs, [&](const std::string& text, PyObject* value) {
    if (text == "signature" || text == "sig") return take_signature(parsed, signature_seen, value);
    if (text == "out") {
      parsed.out = value;
    } else if (text == "where") {
      parsed.where = value;
    } else if (text == "dtype") {
      if (value != Py_None) parsed.dtype = value;
    } else if (text == "order") {
      auto letter = parse_order(value);
      if (!letter) return false;
      parsed.order = *letter;
    } else if (text == "subok") {
      return check_subok(value);
    } else if (text == "casting") {
      auto rule = parse_casting_rule(value);
      if (!rule) return false;
      parsed.casting = *rule;
    }
    return true;
  });
  if (!keywords_ok) return std::nullopt;
  return parsed;
}

bool ensure_known_method_kwargs(PyObject* kwargs, std::span<const std::string_view> allowed,
                                std::string_view function) {
  return for_each_keyword(kwargs, [&](const std::string& text, PyObject*) {
    if (std::find(allowed.begin(), allowed.end(), text) != allowed.end()) return true;
    const std::string prefix = function.empty() ? "" : std::string(function) + "() got an ";
    return raise_text(PyExc_TypeError, prefix + "unexpected keyword argument '" + text + "'");
  });
}

std::optional<std::vector<PyObject*>> parse_outputs(PyObject* out, std::size_t nout) {
  std::vector<PyObject*> outputs;
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

std::optional<Operand> convert_mask(PyObject* where, const Shape& output_shape, bool outer_text) {
  auto mask = Operand::from_mask(where);
  if (!mask) return std::nullopt;
  if (mask->dtype != DType::Bool) return raise_error(PyExc_TypeError, "where must be a boolean array or scalar");
  auto merged = broadcast_shape(output_shape, mask->shape());
  if (!merged) return std::nullopt;
  if (*merged != output_shape) {
    const std::string text = "where mask with shape " + shape_list(mask->shape()) + " cannot be broadcast to " +
                             (outer_text ? "outer output shape " : "output shape ") + shape_list(output_shape);
    return raise_error(PyExc_ValueError, text.c_str());
  }
  return mask;
}

std::optional<Strides> output_strides(DType dtype, const Shape& shape, char order, const OperandPlacement& placement) {
  bool any_array = false, all_f = true, all_c = true;
  for (const Operand& operand : placement.operands) {
    if (!operand.view) continue;
    any_array = true;
    all_f = all_f && operand.view->is_f_contiguous();
    all_c = all_c && operand.view->is_c_contiguous();
  }
  if (order == 'A') order = any_array && all_f && !all_c ? 'F' : 'C';
  if (order == 'C') return storage_value(quarvel_storage::c_strides(dtype, shape));
  if (order == 'F') return storage_value(quarvel_storage::f_strides(dtype, shape));
  std::vector<OperandLayout> layouts;
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
