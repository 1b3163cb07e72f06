// Element types, byte-order tags and dtype promotion.
//
// DType is a one-byte code 0..15 in a fixed order that other tables index by:
// codes below 3 are the 1-byte types, 1..8 the integers, 9..11 the binary floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarvel_storage {

struct DType {
  enum Code : std::uint8_t {
    Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,
    Float16, Float32, Float64, Complex64, Complex128, LongDouble, ComplexLongDouble,
  };
  static constexpr int count = 16;

  Code code = Bool;

  constexpr DType() = default;
  constexpr DType(Code c) : code(c) {}
  constexpr operator Code() const { return code; }

  // Only for codes already known to be in 0..15.
  static constexpr DType from_index(std::size_t i) { return DType(static_cast<Code>(i)); }
  constexpr std::size_t index() const { return code; }

  constexpr std::size_t itemsize() const;
  constexpr char kind() const;            // one of "biufc"
  constexpr unsigned integer_bits() const;  // 0 for every non-integer, bool included
  constexpr std::string_view name() const;  // "bool", "int8", ... "float128", "complex256"

  constexpr bool is_integer() const { return code >= Int8 && code <= UInt64; }
  constexpr bool is_signed_integer() const { return is_integer() && kind() == 'i'; }
  constexpr bool is_unsigned_integer() const { return is_integer() && kind() == 'u'; }
  constexpr bool is_binary_float() const { return code >= Float16 && code <= Float64; }
  constexpr bool is_complex() const { return kind() == 'c'; }
  constexpr bool is_long_double() const { return code == LongDouble || code == ComplexLongDouble; }

  static constexpr DType promote(DType a, DType b);
};

// The tag of a buffer or view; only Big makes reads and writes swap bytes.
enum class ByteOrder : std::uint8_t { NotApplicable = 0, Native = 1, Little = 2, Big = 3 };

constexpr char byte_order_char(ByteOrder order) { return "|=<>"[static_cast<int>(order)]; }

unsigned max_integer_bits(DType a, DType b);
DType promote_integer(DType a, DType b);

// ---------------------------------------------------------------------------

namespace dtype_detail {
struct Row {
  std::uint8_t itemsize;
  std::uint8_t bits;
  char kind;
  std::string_view name;
};
inline constexpr Row rows[DType::count] = {
    {1, 0, 'b', "bool"},       {1, 8, 'i', "int8"},        {1, 8, 'u', "uint8"},
    {2, 16, 'i', "int16"},     {2, 16, 'u', "uint16"},     {4, 32, 'i', "int32"},
    {4, 32, 'u', "uint32"},    {8, 64, 'i', "int64"},      {8, 64, 'u', "uint64"},
    {2, 0, 'f', "float16"},    {4, 0, 'f', "float32"},     {8, 0, 'f', "float64"},
    {8, 0, 'c', "complex64"},  {16, 0, 'c', "complex128"}, {16, 0, 'f', "float128"},
    {32, 0, 'c', "complex256"},
};

constexpr DType promote_integer(DType a, DType b) {
  const unsigned wa = rows[a.code].bits, wb = rows[b.code].bits;
  const bool sa = rows[a.code].kind == 'i', sb = rows[b.code].kind == 'i';
  if (sa == sb) return wa >= wb ? a : b;
  const DType s = sa ? a : b;
  const unsigned ws = sa ? wa : wb, wu = sa ? wb : wa;
  if (ws > wu) return s;
  switch (wu) {
    case 8: return DType::Int16;
    case 16: return DType::Int32;
    case 32: return DType::Int64;
    default: return DType::Float64;
  }
}
}  // namespace dtype_detail

constexpr std::size_t DType::itemsize() const { return dtype_detail::rows[code].itemsize; }
constexpr char DType::kind() const { return dtype_detail::rows[code].kind; }
constexpr unsigned DType::integer_bits() const { return dtype_detail::rows[code].bits; }
constexpr std::string_view DType::name() const { return dtype_detail::rows[code].name; }

constexpr DType DType::promote(DType a, DType b) {
  auto either = [&](Code c) { return a.code == c || b.code == c; };
  if (either(ComplexLongDouble)) return ComplexLongDouble;
  if (either(LongDouble)) return (either(Complex64) || either(Complex128)) ? ComplexLongDouble : LongDouble;
  if (either(Complex64) || either(Complex128)) {
    for (Code wide : {Int32, UInt32, Int64, UInt64, Float64, Complex128})
      if (either(wide)) return Complex128;
    return Complex64;
  }
  if (either(Float16) || either(Float32)) {
    if (either(Float64)) return Float64;
    const unsigned n = dtype_detail::rows[a.code].bits > dtype_detail::rows[b.code].bits
                           ? dtype_detail::rows[a.code].bits
                           : dtype_detail::rows[b.code].bits;
    if (either(Float32)) return n >= 17 ? Float64 : Float32;
    return n <= 8 ? Float16 : (n <= 16 ? Float32 : Float64);
  }
  if (either(Float64)) return Float64;
  if (a.code == Bool) return b;
  if (b.code == Bool) return a;
  return dtype_detail::promote_integer(a, b);
}

}  // namespace quarvel_storage
