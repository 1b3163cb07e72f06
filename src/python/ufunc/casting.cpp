#include "python/ufunc/casting.h"

#include <array>
#include <string>

#include "python/args.h"
#include "python/convert.h"
#include "python/dtype_object.h"
#include "python/errors.h"
#include "python/interned.h"

namespace quarvel_python::ufunc {

namespace {

using quarvel_kernels::LoopDTypes;
using quarvel_kernels::Op;
using quarvel_storage::ByteOrder;

constexpr std::string_view rule_texts[] = {"no", "equiv", "safe", "same_kind", "unsafe"};

int kind_rank(DType d) {
  switch (d.kind()) {
    case 'b': return 0;
    case 'i':
    case 'u': return 1;
    case 'f': return 2;
    default: return 3;
  }
}

// Significand bits of a real float, or of each part of a complex value.
unsigned precision(DType d) {
  switch (d.code) {
    case DType::Float16: return 11;
    case DType::Float32:
    case DType::Complex64: return 24;
    case DType::Float64:
    case DType::Complex128: return 53;
    default: return 64;
  }
}

bool safe_cast(DType from, DType to) {
  if (from == DType::Bool || from == to) return true;
  const int rf = kind_rank(from), rt = kind_rank(to);
  if (rf > rt) return false;
  if (rf == rt) {
    if (rf == 1) {
      if (from.kind() == to.kind()) return from.integer_bits() <= to.integer_bits();
      if (from.is_unsigned_integer()) return from.integer_bits() < to.integer_bits();
      return false;
    }
    return precision(from) <= precision(to);
  }
  if (rf == 1) return from.integer_bits() <= precision(to);
  return precision(from) <= precision(to);
}

bool is_logical_name(std::string_view name) {
  return name == "logical_and" || name == "logical_or" || name == "logical_xor";
}

[[gnu::cold]] std::nullopt_t no_matching_loop(std::string_view name) {
  const std::string text = "no loop matching the specified signature and casting was found for ufunc '" +
                           std::string(name) + "'";
  return raise_error(PyExc_TypeError, text.c_str());
}

// The first input that the loop refuses under the rule raises; true when all pass.
// The ufunc a loop is chosen for: its operation, and the name the call was made
// by (messages show it; an alias has no listed loops).
struct Chooser {
  Op op;
  std::string_view name;
};

bool inputs_castable(const Chooser& ufunc, std::span<const Operand> operands, std::span<const DType> dtype_list,
                     std::span<const DType> loop_inputs, CastingRule rule, bool raise) {
  const std::size_t n = std::min({loop_inputs.size(), dtype_list.size(), operands.size()});
  for (std::size_t i = 0; i < n; ++i) {
    if (can_cast_ufunc_operand(ufunc.op, operands[i], dtype_list[i], loop_inputs[i], rule)) continue;
    if (raise) {
      const DType from = operands[i].is_array ? operands[i].dtype : dtype_list[i];
      raise_cast_refused(ufunc.name, "input", from, loop_inputs[i], rule);
    }
    return false;
  }
  return true;
}

// A dtype argument's dtype; nullopt with the error set. The last text read
// is kept with its dtype: a str is immutable, so the same object asked for
// again names the same dtype.
std::optional<DType> requested_dtype(PyObject* object) {
  // Held by a reference of its own, never released (as interned texts are).
  static PyObject* last_text = nullptr;
  static DType last_dtype;
  if (object == last_text) return last_dtype;
  auto spec = parse_dtype_spec(object);
  if (!spec) return std::nullopt;
  if (PyUnicode_CheckExact(object)) {
    PyObject* previous = last_text;
    last_text = Py_NewRef(object);
    last_dtype = spec->dtype;
    Py_XDECREF(previous);
  }
  return spec->dtype;
}

bool loop_matches(std::span<const DType> inputs, std::span<const DType> outputs,
                  std::span<const std::optional<DType>> requested) {
  for (std::size_t i = 0; i < requested.size(); ++i) {
    const DType actual = i < inputs.size() ? inputs[i] : outputs[i - inputs.size()];
    if (requested[i] && *requested[i] != actual) return false;
  }
  return true;
}

// One signature text read into its dtypes; the refusal's text instead when it
// does not read as a loop of nin inputs and nout outputs.
std::optional<LoopDTypes> read_signature(std::string_view text, std::size_t nin, std::size_t nout,
                                         const char*& refusal) {
  const std::size_t arrow = text.find("->");
  if (arrow == std::string_view::npos) {
    refusal = "signature must use the compact 'inputs->outputs' form";
    return std::nullopt;
  }
  LoopDTypes loop;
  std::size_t inputs = 0, outputs = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == arrow || i == arrow + 1) continue;
    auto dtype = dtype_from_loop_code(text[i]);
    if (!dtype) {
      refusal = "signature contains an unsupported dtype code";
      return std::nullopt;
    }
    std::size_t& count = i < arrow ? inputs : outputs;
    const std::size_t at = i < arrow ? count : nin + count;
    if (count < loop.dtypes.size() && at < loop.dtypes.size()) loop.dtypes[at] = *dtype;
    ++count;
  }
  if (inputs != nin || outputs != nout || nin + nout > loop.dtypes.size()) {
    refusal = "signature has the wrong number of inputs or outputs";
    return std::nullopt;
  }
  loop.nin = static_cast<std::uint8_t>(nin);
  loop.nout = static_cast<std::uint8_t>(nout);
  return loop;
}

Loop as_loop(const LoopDTypes& dtypes) {
  return Loop{{dtypes.inputs().begin(), dtypes.inputs().end()}, {dtypes.outputs().begin(), dtypes.outputs().end()}};
}

// The listed signature texts of the name a call was made by: those of its
// operation for a canonical name, none for an alias.
std::string_view listed_texts(const Chooser& ufunc) {
  if (quarvel_kernels::op_name(ufunc.op) != ufunc.name) return {};
  // Found once per operation: the table lookup compares names.
  static std::array<std::optional<std::string_view>, quarvel_kernels::op_count> found;
  std::optional<std::string_view>& texts = found[static_cast<std::size_t>(ufunc.op)];
  if (!texts) texts = quarvel_kernels::signature_list(ufunc.op);
  return *texts;
}

// Visits the listed signature texts in table order, read in place, until
// `visit` returns false.
template <class Visit>
void for_each_listed_text(const Chooser& ufunc, Visit&& visit) {
  std::string_view list = listed_texts(ufunc);
  while (!list.empty()) {
    const std::size_t end = list.find(' ');
    if (!visit(list.substr(0, end)) || end == std::string_view::npos) return;
    list.remove_prefix(end + 1);
  }
}

// The listed loops of an operation as its own counts read them, parsed once
// and kept: loop choice then compares dtype codes, never text.
std::span<const LoopDTypes> listed_loops(Op op) {
  static std::array<std::optional<std::vector<LoopDTypes>>, quarvel_kernels::op_count> parsed;
  std::optional<std::vector<LoopDTypes>>& loops = parsed[static_cast<std::size_t>(op)];
  if (!loops) {
    std::vector<LoopDTypes> read;
    const Chooser ufunc{op, quarvel_kernels::op_name(op)};
    const std::size_t nin = quarvel_kernels::input_count(op), nout = quarvel_kernels::output_count(op);
    for_each_listed_text(ufunc, [&](std::string_view text) {
      const char* refusal = nullptr;
      if (auto loop = read_signature(text, nin, nout, refusal)) read.push_back(*loop);
      return true;
    });
    loops = std::move(read);
  }
  return *loops;
}

// Visits the listed loops that read as nin inputs and nout outputs, in table
// order, until `visit` returns false.
template <class Visit>
void for_each_listed(const Chooser& ufunc, std::size_t nin, std::size_t nout, Visit&& visit) {
  if (listed_texts(ufunc).empty()) return;
  if (nin == quarvel_kernels::input_count(ufunc.op) && nout == quarvel_kernels::output_count(ufunc.op)) {
    for (const LoopDTypes& loop : listed_loops(ufunc.op))
      if (!visit(loop)) return;
    return;
  }
  for_each_listed_text(ufunc, [&](std::string_view text) {
    const char* refusal = nullptr;
    auto loop = read_signature(text, nin, nout, refusal);
    return !loop || visit(*loop);
  });
}

// Only calls with a signature come here: kept out of the loop choice of the others.
[[gnu::noinline]]
std::optional<Loop> parse_loop_signature(const Chooser& ufunc, std::size_t nin, std::size_t nout, PyObject* signature,
                                         const Loop& default_loop, std::span<const DType> dtype_list,
                                         std::span<const Operand> operands, CastingRule rule) {
  std::vector<std::optional<DType>> requested;
  if (PyUnicode_Check(signature)) {
    auto text = utf8_text(signature);
    if (!text) return std::nullopt;
    bool listed = false;
    for_each_listed_text(ufunc, [&](std::string_view entry) { return !(listed = entry == *text); });
    if (listed) return parse_signature_text(*text, nin, nout);
    if (auto spec = parse_dtype_spec(signature)) {
      return Loop{quarvel_kernels::LoopList(nin, spec->dtype), quarvel_kernels::LoopList(nout, spec->dtype)};
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErr_Clear();
    auto quoted = quoted_str(signature);
    if (!quoted) return std::nullopt;
    const std::string message =
        "signature " + *quoted + " is not a supported loop for ufunc '" + std::string(ufunc.name) + "'";
    return raise_error(PyExc_TypeError, message.c_str());
  }
  if (PyTuple_Check(signature) || PyList_Check(signature)) {
    PyRef items = PyRef::steal(PySequence_Tuple(signature));
    if (!items) return std::nullopt;
    for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
      PyObject* item = PyTuple_GetItem(items.get(), i);
      if (item == Py_None) {
        requested.emplace_back();
        continue;
      }
      auto dtype = requested_dtype(item);
      if (!dtype) return std::nullopt;
      requested.emplace_back(*dtype);
    }
  } else {
    auto dtype = requested_dtype(signature);
    if (!dtype) return std::nullopt;
    requested.assign(nin + nout, *dtype);
  }
  if (requested.size() != nin + nout) {
    const std::string text = "signature for ufunc '" + std::string(ufunc.name) + "' must describe " +
                             std::to_string(nin + nout) + " input and output dtypes";
    return raise_error(PyExc_TypeError, text.c_str());
  }
  if (loop_matches(default_loop.inputs, default_loop.outputs, requested)) return default_loop;
  std::optional<LoopDTypes> found;
  for_each_listed(ufunc, nin, nout, [&](const LoopDTypes& loop) {
    if (loop_matches(loop.inputs(), loop.outputs(), requested) &&
        inputs_castable(ufunc, operands, dtype_list, loop.inputs(), rule, false))
      found = loop;
    return !found;
  });
  if (found) return as_loop(*found);
  const std::string text =
      "no supported loop matches the requested signature for ufunc '" + std::string(ufunc.name) + "'";
  return raise_error(PyExc_TypeError, text.c_str());
}

std::optional<Loop> choose_requested_dtype_loop(const Chooser& ufunc, std::size_t nin, std::size_t nout,
                                                DType requested, std::span<const DType> dtype_list,
                                                std::span<const Operand> operands, CastingRule rule) {
  std::optional<LoopDTypes> closest, chosen;
  int closest_score = -1, chosen_score = -1;
  for_each_listed(ufunc, nin, nout, [&](const LoopDTypes& loop) {
    bool outputs_match = true;
    for (DType output : loop.outputs()) outputs_match = outputs_match && output == requested;
    if (!outputs_match) return true;
    int score = 0;
    for (std::size_t i = 0; i < std::min(loop.inputs().size(), dtype_list.size()); ++i)
      score += loop.inputs()[i] == dtype_list[i];
    if (score > closest_score) {
      closest = loop;
      closest_score = score;
    }
    if (score > chosen_score && inputs_castable(ufunc, operands, dtype_list, loop.inputs(), rule, false)) {
      chosen = loop;
      chosen_score = score;
    }
    return true;
  });
  if (chosen) return as_loop(*chosen);
  if (closest) {
    inputs_castable(ufunc, operands, dtype_list, closest->inputs(), rule, true);
    if (PyErr_Occurred()) return std::nullopt;
  }
  return no_matching_loop(ufunc.name);
}

}  // namespace

std::string_view casting_rule_text(CastingRule rule) { return rule_texts[static_cast<int>(rule)]; }

std::optional<CastingRule> parse_casting_rule(PyObject* value) {
  static InternedTexts<5> names({"no", "equiv", "safe", "same_kind", "unsafe"});
  if (const int i = names.identity(value); i >= 0) return static_cast<CastingRule>(i);
  auto text = text_argument(value, "casting");
  if (!text) return std::nullopt;
  for (int i = 0; i < 5; ++i)
    if (*text == rule_texts[i]) return static_cast<CastingRule>(i);
  return raise_error(PyExc_ValueError, "casting must be one of 'no', 'equiv', 'safe', 'same_kind', or 'unsafe'");
}

bool can_cast(DType from, DType to, CastingRule rule) {
  switch (rule) {
    case CastingRule::No:
    case CastingRule::Equiv: return from == to;
    case CastingRule::Unsafe: return true;
    case CastingRule::SameKind: return kind_rank(from) <= kind_rank(to);
    case CastingRule::Safe: return safe_cast(from, to);
  }
  return false;
}

bool can_cast_ufunc_operand(Op op, const Operand& operand, DType fallback, DType to, CastingRule rule) {
  const bool big_endian_array = operand.is_array && operand.view->byte_order == ByteOrder::Big;
  return can_cast_operand_dtype(is_logical_binary(op), operand.is_array ? operand.dtype : fallback, to, rule,
                                big_endian_array);
}

bool can_cast_operand_dtype(bool logical, DType from, DType to, CastingRule rule, bool big_endian_array) {
  if (logical && rule == CastingRule::SameKind && to == DType::Bool) return true;
  if (from == to && rule == CastingRule::No && big_endian_array) return false;
  return can_cast(from, to, rule);
}

bool is_logical_binary(Op op) { return op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor; }

bool is_truthiness_ufunc(Op op) { return is_logical_binary(op) || op == Op::logical_not; }

std::optional<DTypeList> loop_dtype_list(Op op, std::span<const Operand> operands) {
  if (operands.size() == 2 && op != Op::ldexp) {
    const Operand& a = operands[0];
    const Operand& b = operands[1];
    if ((a.is_array && b.weak) || (b.is_array && a.weak)) {
      auto common = weak_promote(a, b);
      if (!common) return std::nullopt;
      return DTypeList{*common, *common};
    }
  }
  DTypeList list;
  for (const Operand& operand : operands) list.push_back(operand.dtype);
  return list;
}

namespace {

// The loop the table resolves for these dtypes, the last one found for each
// operation remembered: calls in a row on the same dtypes find it at once.
std::optional<Loop> resolved_loop(Op op, std::span<const DType> dtype_list) {
  // The dtype codes in one word (at most three of them, one byte each); 0 for none.
  std::uint32_t key = 0;
  for (DType dtype : dtype_list) key = key << 8 | (dtype.code + 1u);
  struct Found {
    std::uint32_t key = 0;
    Loop loop;
  };
  static std::array<Found, quarvel_kernels::op_count> last;
  Found& found = last[static_cast<std::size_t>(op)];
  if (key != 0 && dtype_list.size() <= 3 && found.key == key) return found.loop;
  auto loop = storage_value(quarvel_kernels::resolve_loop(op, dtype_list));
  if (loop && key != 0 && dtype_list.size() <= 3) found = Found{key, *loop};
  return loop;
}

}  // namespace

namespace {

std::optional<Loop> choose_loop_afresh(Op op, std::string_view name, std::size_t nin, std::size_t nout,
                                       std::span<const Operand> operands, std::span<const DType> dtype_list,
                                       CastingRule rule, PyObject* dtype, PyObject* signature) {
  const Chooser ufunc{op, name};
  auto default_loop = resolved_loop(op, dtype_list);
  if (!default_loop) return std::nullopt;
  if (!inputs_castable(ufunc, operands, dtype_list, default_loop->inputs, rule, true)) return std::nullopt;
  if (signature) {
    auto loop = parse_loop_signature(ufunc, nin, nout, signature, *default_loop, dtype_list, operands, rule);
    if (!loop || !inputs_castable(ufunc, operands, dtype_list, loop->inputs, rule, true)) return std::nullopt;
    return loop;
  }
  if (dtype) {
    auto requested = requested_dtype(dtype);
    if (!requested) return std::nullopt;
    if (is_truthiness_ufunc(op)) {
      if (*requested == DType::Bool) return default_loop;
      return no_matching_loop(name);
    }
    return choose_requested_dtype_loop(ufunc, nin, nout, *requested, dtype_list, operands, rule);
  }
  return default_loop;
}

// What decides a call's loop besides the operation and the dtype argument,
// in one word: the rule, whether the name is the operation's own, and per
// input its entry in the dtype list, the dtype its cast test starts from and
// whether it is a big-endian array. Built in registers: a key of bytes stored
// one by one and compared as wider words waits on every store. Nullopt for
// calls not kept.
std::optional<std::uint64_t> choice_key(Op op, std::string_view name, std::size_t nin, std::size_t nout,
                                        std::span<const DType> dtype_list, std::span<const Operand> operands,
                                        CastingRule rule) {
  if (nin != quarvel_kernels::input_count(op) || nout != quarvel_kernels::output_count(op)) return std::nullopt;
  if (dtype_list.size() > 2 || operands.size() != dtype_list.size()) return std::nullopt;
  const bool own_name = quarvel_kernels::op_name(op) == name;
  std::uint64_t key = static_cast<std::uint64_t>(rule) << 3 | dtype_list.size() << 1 | own_name;
  for (std::size_t i = 0; i < dtype_list.size(); ++i) {
    const Operand& operand = operands[i];
    const DType from = operand.is_array ? operand.dtype : dtype_list[i];
    const bool big_endian = operand.is_array && operand.view->byte_order == ByteOrder::Big;
    key = key << 16 | std::uint64_t{dtype_list[i].code} << 8 | std::uint64_t{from.code} << 1 | big_endian;
  }
  return key;
}

}  // namespace

// The loop a call chose last for each operation is kept with what decided it
// and the dtype argument it was given (none, a str or a DType object: each
// immutable, and held so that its identity stays its own): a call that repeats them chose the same
// loop with the same checks passed, so it takes that loop at once. Only
// successful choices are kept, so every refusal is still met afresh.
std::optional<Loop> choose_loop(Op op, std::string_view name, std::size_t nin, std::size_t nout,
                                std::span<const Operand> operands, std::span<const DType> dtype_list,
                                CastingRule rule, PyObject* dtype, PyObject* signature) {
  struct Chosen {
    std::uint64_t key = 0;
    PyObject* dtype = nullptr;
    Loop loop;
  };
  static std::array<std::optional<Chosen>, quarvel_kernels::op_count> last;
  std::optional<std::uint64_t> key;
  if (!signature && (!dtype || PyUnicode_CheckExact(dtype) || is_dtype(dtype)))
    key = choice_key(op, name, nin, nout, dtype_list, operands, rule);
  std::optional<Chosen>& found = last[static_cast<std::size_t>(op)];
  if (key && found && found->key == *key && found->dtype == dtype) return found->loop;
  auto loop = choose_loop_afresh(op, name, nin, nout, operands, dtype_list, rule, dtype, signature);
  if (loop && key) {
    PyObject* previous = found ? found->dtype : nullptr;
    found = Chosen{*key, Py_XNewRef(dtype), *loop};
    Py_XDECREF(previous);
  }
  return loop;
}

std::optional<DType> dtype_from_loop_code(char code) {
  switch (code) {
    case '?': return DType::Bool;
    case 'b': return DType::Int8;
    case 'B': return DType::UInt8;
    case 'h': return DType::Int16;
    case 'H': return DType::UInt16;
    case 'i': return DType::Int32;
    case 'I': return DType::UInt32;
    case 'l':
    case 'q': return DType::Int64;
    case 'L':
    case 'Q': return DType::UInt64;
    case 'e': return DType::Float16;
    case 'f': return DType::Float32;
    case 'd': return DType::Float64;
    case 'g': return DType::LongDouble;
    case 'F': return DType::Complex64;
    case 'D': return DType::Complex128;
    case 'G': return DType::ComplexLongDouble;
    default: return std::nullopt;
  }
}

std::optional<Loop> parse_signature_text(std::string_view text, std::size_t nin, std::size_t nout) {
  const char* refusal = nullptr;
  auto loop = read_signature(text, nin, nout, refusal);
  if (!loop) return raise_error(PyExc_TypeError, refusal);
  return as_loop(*loop);
}

bool validate_repeated_ufunc_loop(std::string_view name, const Loop& loop, const char* method) {
  if (is_logical_name(name)) return true;
  bool same = !loop.outputs.empty();
  for (DType input : loop.inputs) same = same && input == loop.outputs[0];
  if (same) return true;
  const std::string text = "no loop matching the specified signature and casting was found for ufunc '" +
                           std::string(name) + "' " + method;
  return raise_false(PyExc_TypeError, text.c_str());
}

bool validate_reduce_loop(std::string_view name, const Loop& loop) {
  if (is_logical_name(name)) return true;
  if (!loop.inputs.empty() && !loop.outputs.empty() && loop.inputs[0] == loop.outputs[0]) return true;
  no_matching_loop(name);
  return false;
}

std::nullopt_t raise_cast_refused(std::string_view name, const char* side, DType from, DType to, CastingRule rule) {
  const std::string text = "ufunc '" + std::string(name) + "' " + side + " cannot be cast from " +
                           std::string(from.name()) + " to " + std::string(to.name()) + " with casting rule '" +
                           std::string(casting_rule_text(rule)) + "'";
  return raise_error(PyExc_TypeError, text.c_str());
}

}  // namespace quarvel_python::ufunc
