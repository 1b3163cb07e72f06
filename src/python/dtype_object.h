// quarvel.DType and every way a Python value names a dtype.
//
//   class DType(name):          # immutable, unhashable, not subclassable
//       name, char, kind, str, byteorder, isnative, itemsize, alignment, type
//       newbyteorder(new_order="S")
//       ==, != (alias ignored, str operands parsed); <, <=, >, >= are False
//   promote_types(left, right) -> DType
//
// A DType object is a storage dtype, a byte-order tag and an optional scalar
// alias that records a C "long long" spelling of a 64-bit integer.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "python/py_ref.h"
#include "storage/dtype.h"
#include "storage/scalar.h"

namespace quarvel_python {

// Only LongLong with Int64 and ULongLong with UInt64 ever occur.
enum class ScalarAlias : std::uint8_t { LongLong, ULongLong };

// What a dtype argument resolves to.
struct DTypeSpec {
  quarvel_storage::DType dtype;
  quarvel_storage::ByteOrder byteorder;
  std::optional<ScalarAlias> alias;
};

struct PyDType {
  PyObject_HEAD
  std::optional<ScalarAlias> alias;
  quarvel_storage::ByteOrder byteorder;
  quarvel_storage::DType dtype;
};

// The class object, made on first use and kept. Borrowed; null with an error set.
PyTypeObject* dtype_type();

// The one factory of DType objects. Null with an error set on failure.
PyRef new_dtype_object(quarvel_storage::DType dtype, quarvel_storage::ByteOrder byteorder,
                       std::optional<ScalarAlias> alias);
inline PyRef new_dtype_object(const DTypeSpec& spec) {
  return new_dtype_object(spec.dtype, spec.byteorder, spec.alias);
}

bool is_dtype(PyObject* object);
// The fields of a DType object; nullopt (no error) for any other object.
std::optional<DTypeSpec> dtype_object_spec(PyObject* object);

// "|" for the one-byte dtypes, "=" for every other.
quarvel_storage::ByteOrder default_byte_order(quarvel_storage::DType dtype);
// Whether an alias belongs with a dtype (LongLong: Int64, ULongLong: UInt64).
bool alias_fits(ScalarAlias alias, quarvel_storage::DType dtype);
// The type character: "q"/"Q" under an alias, else the dtype's own.
char type_char(quarvel_storage::DType dtype, std::optional<ScalarAlias> alias);
// The name of the scalar class for values of this dtype and alias.
const char* scalar_class_name(quarvel_storage::DType dtype, std::optional<ScalarAlias> alias);

// Spellings. None of these raise; refusal is an absent result.
std::optional<quarvel_storage::DType> dtype_from_name(std::string_view text);
std::optional<std::pair<quarvel_storage::DType, quarvel_storage::ByteOrder>> dtype_from_spec(std::string_view text);
std::optional<ScalarAlias> dtype_alias_for_spec(std::string_view text, quarvel_storage::DType dtype);

// Any dtype argument: a DType, a spelling, bool/int/float/complex, or an object
// with a spelling in its "str", "name" or "__name__" attribute. None is refused
// (callers that give None a meaning test for it first). Nullopt with the error set.
std::optional<DTypeSpec> parse_dtype_spec(PyObject* object);

// Float64 for no values, else the promotion of all their dtypes, left to right.
quarvel_storage::DType infer_dtype(std::span<const quarvel_storage::Scalar> scalars);

// The alias carried by a quarvel scalar or array; never fails.
std::optional<ScalarAlias> scalar_alias_from_value(PyObject* object);

// A str as a double-quoted literal for error messages: backslash and double
// quote escaped, \t \r \n \0, other non-printable characters (lone
// surrogates included) as \u{hex}; nullopt with the error set only when the
// str cannot be read.
std::optional<std::string> quoted_str(PyObject* text);

// Module start-up: the DType objects under their 40 names; promote_types.
int add_dtype_objects(PyObject* module);
int add_dtype_functions(PyObject* module);

}  // namespace quarvel_python
