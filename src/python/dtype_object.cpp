#include "python/dtype_object.h"

#include <array>
#include <new>
#include <utility>

#include "python/args.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/type_support.h"

namespace quarvel_python {

using quarvel_storage::ByteOrder;
using quarvel_storage::DType;
using quarvel_storage::Scalar;

namespace {

// Per dtype code: type character, alignment, scalar class.
struct NamingRow {
  char type_char;
  std::uint8_t alignment;  // a complex type aligns like its component float
  const char* scalar_class;
};
constexpr NamingRow naming_rows[DType::count] = {
    {'?', 1, "BoolScalar"},       {'b', 1, "Int8Scalar"},        {'B', 1, "UInt8Scalar"},
    {'h', 2, "Int16Scalar"},      {'H', 2, "UInt16Scalar"},      {'i', 4, "Int32Scalar"},
    {'I', 4, "UInt32Scalar"},     {'l', 8, "Int64Scalar"},       {'L', 8, "UInt64Scalar"},
    {'e', 2, "Float16Scalar"},    {'f', 4, "Float32Scalar"},     {'d', 8, "Float64Scalar"},
    {'F', 4, "Complex64Scalar"},  {'D', 8, "Complex128Scalar"},  {'g', 16, "LongDoubleScalar"},
    {'G', 16, "ComplexLongDoubleScalar"},
};

const NamingRow& naming(DType dtype) { return naming_rows[dtype.index()]; }

bool is_one_byte(DType dtype) { return dtype.itemsize() == 1; }

// One-character spellings, indexed by the character minus '?'; '?' to 'q'.
constexpr char first_single = '?', last_single = 'q';
constexpr auto single_spellings = [] {
  std::array<std::optional<DType>, last_single - first_single + 1> table{};
  const std::pair<char, DType::Code> rows[] = {
      {'?', DType::Bool},      {'b', DType::Int8},       {'B', DType::UInt8},   {'h', DType::Int16},
      {'H', DType::UInt16},    {'i', DType::Int32},      {'I', DType::UInt32},  {'l', DType::Int64},
      {'q', DType::Int64},     {'n', DType::Int64},      {'p', DType::Int64},   {'L', DType::UInt64},
      {'Q', DType::UInt64},    {'N', DType::UInt64},     {'P', DType::UInt64},  {'e', DType::Float16},
      {'f', DType::Float32},   {'d', DType::Float64},    {'g', DType::LongDouble},
      {'F', DType::Complex64}, {'D', DType::Complex128}, {'G', DType::ComplexLongDouble},
  };
  for (auto [c, code] : rows) table[c - first_single] = DType(code);
  return table;
}();

struct Spelling {
  std::string_view text;
  DType::Code dtype;
};
// Every accepted spelling of two or more characters.
constexpr Spelling long_spellings[] = {
    {"b1", DType::Bool},          {"i1", DType::Int8},         {"u1", DType::UInt8},
    {"i2", DType::Int16},         {"u2", DType::UInt16},       {"i4", DType::Int32},
    {"u4", DType::UInt32},        {"i8", DType::Int64},        {"u8", DType::UInt64},
    {"f2", DType::Float16},       {"f4", DType::Float32},      {"f8", DType::Float64},
    {"c8", DType::Complex64},     {"int", DType::Int64},       {"c16", DType::Complex128},
    {"c32", DType::ComplexLongDouble},
    {"bool", DType::Bool},        {"int8", DType::Int8},       {"byte", DType::Int8},
    {"intc", DType::Int32},       {"int_", DType::Int64},      {"long", DType::Int64},
    {"intp", DType::Int64},       {"uint", DType::UInt64},     {"half", DType::Float16},
    {"bool_", DType::Bool},       {"uint8", DType::UInt8},     {"ubyte", DType::UInt8},
    {"int16", DType::Int16},      {"short", DType::Int16},     {"int32", DType::Int32},
    {"uintc", DType::UInt32},     {"int64", DType::Int64},     {"ulong", DType::UInt64},
    {"uintp", DType::UInt64},     {"float", DType::Float64},   {"uint16", DType::UInt16},
    {"ushort", DType::UInt16},    {"uint32", DType::UInt32},   {"uint64", DType::UInt64},
    {"single", DType::Float32},   {"double", DType::Float64},  {"float16", DType::Float16},
    {"float32", DType::Float32},  {"float64", DType::Float64}, {"csingle", DType::Complex64},
    {"complex", DType::Complex128}, {"cdouble", DType::Complex128}, {"longlong", DType::Int64},
    {"float128", DType::LongDouble}, {"ulonglong", DType::UInt64}, {"complex64", DType::Complex64},
    {"complex128", DType::Complex128}, {"longdouble", DType::LongDouble},
    {"complex256", DType::ComplexLongDouble}, {"clongdouble", DType::ComplexLongDouble},
};
constexpr std::size_t longest_spelling = 11;

std::optional<ByteOrder> prefix_order(char c) {
  switch (c) {
    case '<':
    case '=': return ByteOrder::Native;
    case '>': return ByteOrder::Big;
    case '|': return ByteOrder::NotApplicable;
    default: return std::nullopt;
  }
}

// --- text escapes -----------------------------------------------------------

// The interpreter's own notion (str.isprintable), so messages escape exactly
// what Python's repr would; asked only for non-ASCII characters of an error text.
bool is_printable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c != 0x7f;
  if (c > 0x10ffff) return false;
  PyRef text = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(c)));
  PyRef answer = text ? PyRef::steal(PyObject_CallMethod(text.get(), "isprintable", nullptr)) : PyRef();
  if (!answer) {
    PyErr_Clear();
    return false;
  }
  return answer.get() == Py_True;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

void append_escaped(std::string& out, char32_t c) {
  switch (c) {
    case '\\': out += "\\\\"; return;
    case '"': out += "\\\""; return;
    case '\t': out += "\\t"; return;
    case '\r': out += "\\r"; return;
    case '\n': out += "\\n"; return;
    case 0: out += "\\0"; return;
    default: break;
  }
  if (is_printable(c)) {
    append_utf8(out, c);
    return;
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string hex;
  for (char32_t v = c; v; v >>= 4) hex.insert(hex.begin(), digits[v & 0xf]);
  out += "\\u{" + hex + "}";
}

// --- the class --------------------------------------------------------------

PyDType* as_dtype(PyObject* object) { return reinterpret_cast<PyDType*>(object); }

ByteOrder effective_order(const PyDType* d) {
  return is_one_byte(d->dtype) ? ByteOrder::NotApplicable : d->byteorder;
}

PyObject* one_char(char c) { return PyUnicode_FromStringAndSize(&c, 1); }

std::string display_name(const PyDType* d) {
  const char order = quarvel_storage::byte_order_char(effective_order(d));
  std::string text;
  if (order == '<' || order == '>') text += order;
  text += d->dtype.name();
  return text;
}

PyObject* unsupported_spelling(PyObject* text) {
  auto quoted = quoted_str(text);
  if (!quoted) return nullptr;
  PyErr_SetString(PyExc_ValueError, ("unsupported preview dtype " + *quoted).c_str());
  return nullptr;
}

// A str object through dtype_from_spec; a str that is not valid UTF-8 is refused.
std::optional<std::pair<DType, ByteOrder>> spec_of_str(PyObject* text, std::string* utf8 = nullptr) {
  auto content = utf8_text(text);
  if (!content) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto parsed = dtype_from_spec(*content);
  if (parsed && utf8) *utf8 = std::move(*content);
  return parsed;
}

std::optional<DTypeSpec> parse_str_spec(PyObject* text) {
  std::string content;
  auto parsed = spec_of_str(text, &content);
  if (!parsed) {
    unsupported_spelling(text);
    return std::nullopt;
  }
  return DTypeSpec{parsed->first, parsed->second, dtype_alias_for_spec(content, parsed->first)};
}

PyObject* DType_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Param params[] = {{"name", ParamKind::PositionalOrKeyword, true}};
    PyObject* name = nullptr;
    if (!parse_arguments({"DType", params}, CallArgs::from_tuple(args, kwargs), {&name, 1})) return nullptr;
    if (!PyUnicode_Check(name)) {
      raise_argument_type_error("name", "str", name);
      return nullptr;
    }
    auto spec = parse_str_spec(name);
    if (!spec) return nullptr;
    return new_dtype_object(*spec).release();
  });
}

PyObject* DType_get_name(PyObject* self, void*) {
  const std::string_view name = as_dtype(self)->dtype.name();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}
PyObject* DType_get_itemsize(PyObject* self, void*) {
  return PyLong_FromSize_t(as_dtype(self)->dtype.itemsize());
}
PyObject* DType_get_alignment(PyObject* self, void*) {
  return PyLong_FromLong(naming(as_dtype(self)->dtype).alignment);
}
PyObject* DType_get_byteorder(PyObject* self, void*) {
  return one_char(quarvel_storage::byte_order_char(effective_order(as_dtype(self))));
}
PyObject* DType_get_kind(PyObject* self, void*) { return one_char(as_dtype(self)->dtype.kind()); }
PyObject* DType_get_char(PyObject* self, void*) {
  const PyDType* d = as_dtype(self);
  return one_char(type_char(d->dtype, d->alias));
}
PyObject* DType_get_isnative(PyObject* self, void*) {
  return PyBool_FromLong(as_dtype(self)->byteorder != ByteOrder::Big);
}
PyObject* DType_get_str(PyObject* self, void*) {
  const PyDType* d = as_dtype(self);
  const char order = is_one_byte(d->dtype) ? '|' : (d->byteorder == ByteOrder::Big ? '>' : '<');
  return PyUnicode_FromFormat("%c%c%zu", order, d->dtype.kind(), d->dtype.itemsize());
}
PyObject* DType_get_type(PyObject* self, void*) {
  const PyDType* d = as_dtype(self);
  PyRef package = PyRef::steal(PyImport_ImportModule("quarvel"));
  if (!package) return nullptr;
  return PyObject_GetAttrString(package.get(), scalar_class_name(d->dtype, d->alias));
}

PyObject* DType_str(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return PyUnicode_FromString(display_name(as_dtype(self)).c_str()); });
}
PyObject* DType_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    return PyUnicode_FromFormat("quarvel.DType('%s')", display_name(as_dtype(self)).c_str());
  });
}

PyObject* newbyteorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Param params[] = {{"new_order", ParamKind::PositionalOrKeyword, false}};
  PyObject* new_order = nullptr;
  if (!parse_arguments({"newbyteorder", params}, CallArgs::from_vector(args, nargs, kwnames), {&new_order, 1}))
    return nullptr;
  const PyDType* d = as_dtype(self);
  char request = 'S';
  if (new_order) {
    if (!PyUnicode_Check(new_order)) {
      raise_argument_type_error("new_order", "str", new_order);
      return nullptr;
    }
    // Read as code points: any str, lone surrogates included, is a value to refuse.
    const Py_UCS4 c = PyUnicode_GetLength(new_order) == 1 ? PyUnicode_ReadChar(new_order, 0) : 0;
    if (c == 0 || c > 0x7f || std::string_view("<=>S|").find(static_cast<char>(c)) == std::string_view::npos) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "new byte order must be '=', '<', '>', '|', or 'S'");
      return nullptr;
    }
    request = static_cast<char>(c);
  }
  ByteOrder order = d->byteorder;
  switch (request) {
    case '<': order = ByteOrder::Little; break;
    case '=': order = ByteOrder::Native; break;
    case '>': order = ByteOrder::Big; break;
    case 'S': order = d->byteorder == ByteOrder::Big ? ByteOrder::Little : ByteOrder::Big; break;
    default: break;  // '|' keeps the tag
  }
  if (is_one_byte(d->dtype)) order = ByteOrder::NotApplicable;
  return new_dtype_object(d->dtype, order, d->alias).release();
}

PyObject* DType_newbyteorder(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] { return newbyteorder(self, args, nargs, kwnames); });
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_dtype(self)) Py_RETURN_NOTIMPLEMENTED;
  if (op != Py_EQ && op != Py_NE) Py_RETURN_FALSE;
  const PyDType* d = as_dtype(self);
  std::optional<std::pair<DType, ByteOrder>> theirs;
  if (is_dtype(other))
    theirs = std::pair{as_dtype(other)->dtype, as_dtype(other)->byteorder};
  else if (PyUnicode_Check(other))
    theirs = spec_of_str(other);
  const bool equal = theirs && theirs->first == d->dtype &&
                     (is_one_byte(d->dtype) || (theirs->second == ByteOrder::Big) == (d->byteorder == ByteOrder::Big));
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* DType_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded<PyObject*>(nullptr, [&] { return richcompare(self, other, op); });
}

PyGetSetDef dtype_getset[] = {
    {"name", DType_get_name, nullptr, "The dtype's name, such as 'float64'.", nullptr},
    {"itemsize", DType_get_itemsize, nullptr, "Size of one element in bytes.", nullptr},
    {"alignment", DType_get_alignment, nullptr, "Alignment of one element in bytes.", nullptr},
    {"byteorder", DType_get_byteorder, nullptr,
     "Byte order: '=' native, '<' little-endian, '>' big-endian, '|' not applicable.", nullptr},
    {"kind", DType_get_kind, nullptr, "Kind: 'b' bool, 'i' signed, 'u' unsigned, 'f' floating, 'c' complex.",
     nullptr},
    {"char", DType_get_char, nullptr, "The one-character type code.", nullptr},
    {"isnative", DType_get_isnative, nullptr, "Whether elements are stored in the machine's byte order.", nullptr},
    {"str", DType_get_str, nullptr, "Byte order, kind and size as text, such as '<f8'.", nullptr},
    {"type", DType_get_type, nullptr, "The scalar class of the dtype's elements.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef dtype_methods[] = {
    {"newbyteorder", as_cfunction(DType_newbyteorder),
     METH_FASTCALL | METH_KEYWORDS,
     "newbyteorder($self, new_order='S')\n--\n\n"
     "The same dtype with the byte order given ('S' swaps the current one)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dtype_slots[] = {
    {Py_tp_doc, const_cast<char*>("DType(name)\n--\n\n")},
    {Py_tp_new, slot(DType_new)},
    {Py_tp_dealloc, slot(free_instance)},
    {Py_tp_repr, slot(DType_repr)},
    {Py_tp_str, slot(DType_str)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_richcompare, slot(DType_richcompare)},
    {Py_tp_getset, dtype_getset},
    {Py_tp_methods, dtype_methods},
    {0, nullptr},
};

PyType_Spec dtype_spec = {
    "quarvel.DType", sizeof(PyDType), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, dtype_slots,
};
PyTypeObject* dtype_type_cell = nullptr;

// --- parse_dtype_spec helpers ------------------------------------------------

// An attribute that is a str, or nothing. Ordinary lookup errors are
// discarded; KeyboardInterrupt, SystemExit and the like are passed on
// (false with the error set).
bool optional_text_attribute(PyObject* object, const char* name, PyRef& out) {
  out = PyRef::steal(PyObject_GetAttrString(object, name));
  if (!out) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
  }
  if (!PyUnicode_Check(out.get())) out = PyRef();
  return true;
}

// Identity with builtins.bool, int, float, complex; nullopt on no match or
// error (check PyErr_Occurred).
std::optional<DTypeSpec> builtin_type_spec(PyObject* object) {
  PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return std::nullopt;
  static constexpr std::pair<const char*, DType::Code> rows[] = {
      {"bool", DType::Bool}, {"int", DType::Int64}, {"float", DType::Float64}, {"complex", DType::Complex128}};
  for (auto [name, code] : rows) {
    PyRef type = PyRef::steal(PyObject_GetAttrString(builtins.get(), name));
    if (!type) return std::nullopt;
    if (type.get() == object) return DTypeSpec{code, default_byte_order(code), std::nullopt};
  }
  return std::nullopt;
}

std::optional<DTypeSpec> attribute_spec(PyObject* object) {
  PyRef char_text;
  if (!optional_text_attribute(object, "char", char_text)) return std::nullopt;
  for (const char* name : {"str", "name", "__name__"}) {
    PyRef text;
    if (!optional_text_attribute(object, name, text)) return std::nullopt;
    if (!text) continue;
    std::string content;
    auto parsed = spec_of_str(text.get(), &content);
    if (!parsed) continue;
    auto alias = dtype_alias_for_spec(content, parsed->first);
    if (!alias && char_text) {
      if (auto c = utf8_text(char_text.get()))
        alias = dtype_alias_for_spec(*c, parsed->first);
      else
        PyErr_Clear();
    }
    return DTypeSpec{parsed->first, parsed->second, alias};
  }
  PyErr_SetString(PyExc_TypeError,
                  "dtype must be a quarvel DType, a built-in numeric type, or a supported dtype name");
  return std::nullopt;
}

PyObject* promote_types_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr Param params[] = {{"left", ParamKind::PositionalOrKeyword, true},
                                       {"right", ParamKind::PositionalOrKeyword, true}};
    PyObject* operands[2] = {};
    if (!parse_arguments({"promote_types", params}, CallArgs::from_vector(args, nargs, kwnames), operands))
      return nullptr;
    auto left = parse_dtype_spec(operands[0]);
    if (!left) return nullptr;
    auto right = parse_dtype_spec(operands[1]);
    if (!right) return nullptr;
    const DType dtype = DType::promote(left->dtype, right->dtype);
    auto fitting = [&](std::optional<ScalarAlias> a) { return a && alias_fits(*a, dtype) ? a : std::nullopt; };
    std::optional<ScalarAlias> alias;
    if (left->alias && right->alias)
      alias = left->alias == right->alias ? fitting(left->alias) : std::nullopt;
    else
      alias = fitting(left->alias ? left->alias : right->alias);
    return new_dtype_object(dtype, default_byte_order(dtype), alias).release();
  });
}

PyMethodDef promote_types_def = {
    "promote_types", as_cfunction(promote_types_function),
    METH_FASTCALL | METH_KEYWORDS,
    "promote_types(left, right)\n--\n\n"
    "The smallest dtype to which values of both dtypes can be cast without loss."};

struct AliasRow {
  const char* name;
  DType::Code dtype;  // row "longdouble" is resolved through the spelling table
};
constexpr AliasRow dtype_alias_rows[] = {
    {"bool", DType::Bool},           {"bool_", DType::Bool},          {"int8", DType::Int8},
    {"uint8", DType::UInt8},         {"int16", DType::Int16},         {"uint16", DType::UInt16},
    {"int32", DType::Int32},         {"uint32", DType::UInt32},       {"int64", DType::Int64},
    {"uint64", DType::UInt64},       {"float16", DType::Float16},     {"float32", DType::Float32},
    {"float64", DType::Float64},     {"complex64", DType::Complex64}, {"complex128", DType::Complex128},
    {"byte", DType::Int8},           {"ubyte", DType::UInt8},         {"short", DType::Int16},
    {"ushort", DType::UInt16},       {"int_", DType::Int64},          {"uint", DType::UInt64},
    {"intp", DType::Int64},          {"uintp", DType::UInt64},        {"intc", DType::Int32},
    {"uintc", DType::UInt32},        {"long", DType::Int64},          {"ulong", DType::UInt64},
    {"longlong", DType::Int64},      {"ulonglong", DType::UInt64},    {"float", DType::Float64},
    {"double", DType::Float64},      {"single", DType::Float32},      {"half", DType::Float16},
    {"csingle", DType::Complex64},   {"cdouble", DType::Complex128},  {"complex_", DType::Complex128},
    {"longdouble", DType::LongDouble}, {"clongdouble", DType::ComplexLongDouble},
};

}  // namespace

// --- public ------------------------------------------------------------------

PyTypeObject* dtype_type() { return cached_type(dtype_type_cell, dtype_spec); }

PyRef new_dtype_object(DType dtype, ByteOrder byteorder, std::optional<ScalarAlias> alias) {
  PyTypeObject* type = dtype_type();
  if (!type) return {};
  PyRef object = PyRef::steal(allocate_instance(type));
  if (!object) return {};
  PyDType* d = as_dtype(object.get());
  d->alias = alias;
  d->byteorder = byteorder;
  d->dtype = dtype;
  return object;
}

bool is_dtype(PyObject* object) {
  PyTypeObject* type = dtype_type();
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return Py_IS_TYPE(object, type);
}

std::optional<DTypeSpec> dtype_object_spec(PyObject* object) {
  if (!is_dtype(object)) return std::nullopt;
  const PyDType* d = as_dtype(object);
  return DTypeSpec{d->dtype, d->byteorder, d->alias};
}

ByteOrder default_byte_order(DType dtype) { return is_one_byte(dtype) ? ByteOrder::NotApplicable : ByteOrder::Native; }

bool alias_fits(ScalarAlias alias, DType dtype) {
  return alias == ScalarAlias::LongLong ? dtype == DType::Int64 : dtype == DType::UInt64;
}

char type_char(DType dtype, std::optional<ScalarAlias> alias) {
  if (alias) return *alias == ScalarAlias::LongLong ? 'q' : 'Q';
  return naming(dtype).type_char;
}

const char* scalar_class_name(DType dtype, std::optional<ScalarAlias> alias) {
  if (alias) return *alias == ScalarAlias::LongLong ? "LongLongScalar" : "ULongLongScalar";
  return naming(dtype).scalar_class;
}

std::optional<DType> dtype_from_name(std::string_view text) {
  if (text.empty() || text.size() > longest_spelling) return std::nullopt;
  if (text.size() == 1) {
    const char c = text[0];
    if (c < first_single || c > last_single) return std::nullopt;
    return single_spellings[c - first_single];
  }
  for (const Spelling& s : long_spellings)
    if (s.text == text) return DType(s.dtype);
  return std::nullopt;
}

std::optional<std::pair<DType, ByteOrder>> dtype_from_spec(std::string_view text) {
  if (text.empty()) return std::nullopt;
  ByteOrder order = ByteOrder::Native;
  if (auto prefix = prefix_order(text[0])) {
    order = *prefix;
    text.remove_prefix(1);
  }
  auto dtype = dtype_from_name(text);
  if (!dtype) return std::nullopt;
  if (is_one_byte(*dtype)) return std::pair{*dtype, ByteOrder::NotApplicable};
  if (order == ByteOrder::NotApplicable) return std::nullopt;
  return std::pair{*dtype, order};
}

std::optional<ScalarAlias> dtype_alias_for_spec(std::string_view text, DType dtype) {
  if (text.empty()) return std::nullopt;
  if (prefix_order(text[0])) text.remove_prefix(1);
  if ((text == "q" || text == "longlong") && dtype == DType::Int64) return ScalarAlias::LongLong;
  if ((text == "Q" || text == "ulonglong") && dtype == DType::UInt64) return ScalarAlias::ULongLong;
  return std::nullopt;
}

namespace {

// The texts read last and what they name: a dtype written as a literal is the
// same interned str at every call. Each is held by a reference of its own (so
// its identity stays its own); evicted in turn, never released at exit.
struct ReadSpelling {
  PyObject* text = nullptr;
  DTypeSpec spec;
};
std::array<ReadSpelling, 8> read_spellings;
std::size_t next_spelling = 0;

std::optional<DTypeSpec> remembered_str_spec(PyObject* text) {
  for (const ReadSpelling& read : read_spellings)
    if (read.text == text) return read.spec;
  auto spec = parse_str_spec(text);
  if (!spec) return std::nullopt;
  ReadSpelling& slot = read_spellings[next_spelling];
  next_spelling = (next_spelling + 1) % read_spellings.size();
  PyObject* evicted = std::exchange(slot.text, Py_NewRef(text));
  slot.spec = *spec;
  Py_XDECREF(evicted);
  return spec;
}

}  // namespace

std::optional<DTypeSpec> parse_dtype_spec(PyObject* object) {
  if (auto spec = dtype_object_spec(object)) return spec;
  return guarded<std::optional<DTypeSpec>>(std::nullopt, [&]() -> std::optional<DTypeSpec> {
    if (PyUnicode_CheckExact(object)) return remembered_str_spec(object);
    if (PyUnicode_Check(object)) return parse_str_spec(object);
    if (auto spec = builtin_type_spec(object)) return spec;
    if (PyErr_Occurred()) return std::nullopt;
    return attribute_spec(object);
  });
}

DType infer_dtype(std::span<const Scalar> scalars) {
  if (scalars.empty()) return DType::Float64;
  DType dtype = scalars.front().dtype();
  for (const Scalar& s : scalars.subspan(1)) dtype = DType::promote(dtype, s.dtype());
  return dtype;
}

std::optional<ScalarAlias> scalar_alias_from_value(PyObject* object) {
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module || !PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "quarvel") != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef dtype = PyRef::steal(PyObject_GetAttrString(object, "dtype"));
  if (!dtype) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto spec = dtype_object_spec(dtype.get());
  return spec ? spec->alias : std::nullopt;
}

std::optional<std::string> quoted_str(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) return std::nullopt;
  std::string out = "\"";
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_ReadChar(text, i);
    if (c == static_cast<Py_UCS4>(-1) && PyErr_Occurred()) return std::nullopt;
    append_escaped(out, c);
  }
  return out + "\"";
}

int add_dtype_objects(PyObject* module) {
  for (const AliasRow& row : dtype_alias_rows) {
    DType dtype = row.dtype;
    if (dtype == DType::LongDouble) {
      auto looked_up = dtype_from_name("longdouble");
      if (!looked_up) return raise_internal_fault("the spelling \"longdouble\" is missing"), -1;
      dtype = *looked_up;
    }
    PyRef object = new_dtype_object(dtype, default_byte_order(dtype), dtype_alias_for_spec(row.name, dtype));
    if (!object || add(module, row.name, object.get()) < 0) return -1;
  }
  for (auto [name, code] : {std::pair{"float128", DType::LongDouble}, std::pair{"complex256", DType::ComplexLongDouble}}) {
    PyRef object = new_dtype_object(code, ByteOrder::Native, std::nullopt);
    if (!object || add(module, name, object.get()) < 0) return -1;
  }
  return 0;
}

int add_dtype_functions(PyObject* module) { return add_function(module, &promote_types_def); }

}  // namespace quarvel_python
