// The extended-precision routines on long double values: every one- and
// two-operand real and complex operation, frexp, modf, the log-add-exp
// intermediate checks, classification and comparison, and the 16-byte stored
// form. The text interface (ld_text.h, ld_ops.h) parses, calls these and
// prints, so a value computed here and one computed through text agree bit
// for bit once the text is read back.
//
// An operation is chosen once by its code (a caller maps its own operations to
// these codes; nothing here knows the caller's catalogue) and then called per
// value through the function the code names: no name is compared per value.
//
// A value read back from text is the value itself, except a NaN: "nan" and
// "-nan" parse to one quiet NaN, payload dropped, sign kept (`through_text`).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

namespace quarvel_longdouble {

struct Complex {
  long double re = 0.0L;
  long double im = 0.0L;
};

// One-operand real operations (the names of quarvel_ld_unary_real).
enum class RealUnaryOp : std::uint8_t {
  absolute, arccos, arccosh, arcsin, arcsinh, arctan, arctanh, cbrt, ceil, cos, cosh, deg2rad, degrees, exp,
  exp2, expm1, floor, log, log10, log1p, log2, negative, positive, reciprocal, rint, sign, sin, sinh, spacing,
  sqrt, square, tan, tanh, trunc,
};
inline constexpr int real_unary_count = 34;

// Two-operand real operations (quarvel_ld_binary_real); divmod's function
// gives its quotient, `divmod` both results.
enum class RealBinaryOp : std::uint8_t {
  add, subtract, multiply, divide, floor_divide, fmod, remainder, divmod, power, maximum, minimum, fmax, fmin,
  copysign, hypot, arctan2, heaviside, logaddexp, logaddexp2, nextafter, ldexp,
};
inline constexpr int real_binary_count = 21;

// One-operand complex operations (quarvel_ld_unary_complex).
enum class ComplexUnaryOp : std::uint8_t {
  absolute, arccos, arccosh, arcsin, arcsinh, arctan, arctanh, cos, cosh, exp, exp2, expm1, rint, log, log1p,
  log10, log2, sin, sinh, sqrt, tan, tanh, reciprocal, square, positive, negative, conjugate, sign,
};
inline constexpr int complex_unary_count = 28;

// Two-operand complex operations (quarvel_ld_binary_complex).
enum class ComplexBinaryOp : std::uint8_t { add, subtract, multiply, divide, power, maximum, minimum, fmax, fmin };
inline constexpr int complex_binary_count = 9;

using RealUnary = long double (*)(long double);
using RealBinary = long double (*)(long double, long double);
using ComplexUnary = Complex (*)(Complex);
using ComplexBinary = Complex (*)(Complex, Complex);

[[nodiscard]] RealUnary real_unary(RealUnaryOp op);
[[nodiscard]] RealBinary real_binary(RealBinaryOp op);
[[nodiscard]] ComplexUnary complex_unary(ComplexUnaryOp op);
[[nodiscard]] ComplexBinary complex_binary(ComplexBinaryOp op);

// The code of an operation name in the table of `Op` (RealUnaryOp ...
// ComplexBinaryOp), aliases included, matched byte for byte; absent for any
// other name and for null. A constant expression: a caller may fix its
// mapping at compile time.
template <class Op>
constexpr std::optional<Op> operation_code(std::string_view name);
template <class Op>
std::optional<Op> operation_code(const char* name);

struct RealPair {
  long double first = 0.0L;
  long double second = 0.0L;
};
// The floored quotient and the floored remainder.
RealPair divmod(long double x, long double y);
// (fractional part, integral part).
RealPair modf(long double x);
struct Mantissa {
  long double mantissa = 0.0L;
  int exponent = 0;
};
Mantissa frexp(long double x);

// Whether a - b overflows, and whether e^-|a-b| (2^-|a-b|) underflows; false
// for infinite or NaN operands. The caller's floating-point environment is
// left as it was.
bool logaddexp_intermediate_overflow(long double a, long double b);
bool logaddexp_intermediate_underflow(long double a, long double b, bool base2);

// The tests of quarvel_ld_classify: 1 or 0, -1 for a code outside 0-5.
int classify(long double x, int code);
// -1, 0 or 1; 2 when either value (any part) is NaN.
int compare(long double a, long double b);
int compare_complex(Complex a, Complex b);

// ---- the stored form ------------------------------------------------------------------

// The value printed and read back: x, or the quiet NaN of x's sign.
inline long double through_text(long double x);

// Bytes 0-7 the significand (explicit integer bit on top), 8-9 sign and
// biased exponent, 10-15 zero; little-endian as the processor stores it.
//
//   byte  9         8         7 ... 0
//         s eeeeeee eeeeeeee  i fff...f (63)
inline constexpr std::size_t stored_size = 16;
inline constexpr std::size_t extended_size = 10;

// The value the text interface reads from a stored form (its decode, then a
// parse), given the 16 bytes in the order above and their first 10 as
// numbers: a canonical encoding (integer bit set exactly when the exponent is
// nonzero) is taken as it is, a NaN as through_text gives it; anything else
// through the text.
inline long double load_form(std::uint64_t significand, std::uint16_t sign_exponent, const unsigned char* bytes);
// Whether a stored form reads as exactly its own 10 bytes: canonical, and a
// NaN only as the quiet NaN (payload zero).
inline bool reads_as_stored(std::uint64_t significand, std::uint16_t sign_exponent);
// Exactly what encode writes for the printed value: 10 bytes, then 6 zeros.
inline void store_form(long double x, unsigned char* bytes);

// ---------------------------------------------------------------------------
// inline bodies

// ---- the names of the text interface ---------------------------------------------------

template <class Op>
struct OperationName {
  std::string_view name;
  Op op;
};

inline constexpr OperationName<RealUnaryOp> real_unary_names[] = {
    {"absolute", RealUnaryOp::absolute}, {"abs", RealUnaryOp::absolute},      {"fabs", RealUnaryOp::absolute},
    {"acos", RealUnaryOp::arccos},       {"arccos", RealUnaryOp::arccos},     {"acosh", RealUnaryOp::arccosh},
    {"arccosh", RealUnaryOp::arccosh},   {"asin", RealUnaryOp::arcsin},       {"arcsin", RealUnaryOp::arcsin},
    {"asinh", RealUnaryOp::arcsinh},     {"arcsinh", RealUnaryOp::arcsinh},   {"atan", RealUnaryOp::arctan},
    {"arctan", RealUnaryOp::arctan},     {"atanh", RealUnaryOp::arctanh},     {"arctanh", RealUnaryOp::arctanh},
    {"cbrt", RealUnaryOp::cbrt},         {"ceil", RealUnaryOp::ceil},         {"cos", RealUnaryOp::cos},
    {"cosh", RealUnaryOp::cosh},         {"deg2rad", RealUnaryOp::deg2rad},   {"radians", RealUnaryOp::deg2rad},
    {"degrees", RealUnaryOp::degrees},   {"rad2deg", RealUnaryOp::degrees},   {"exp", RealUnaryOp::exp},
    {"exp2", RealUnaryOp::exp2},         {"expm1", RealUnaryOp::expm1},       {"floor", RealUnaryOp::floor},
    {"log", RealUnaryOp::log},           {"log10", RealUnaryOp::log10},       {"log1p", RealUnaryOp::log1p},
    {"log2", RealUnaryOp::log2},         {"negative", RealUnaryOp::negative}, {"positive", RealUnaryOp::positive},
    {"conjugate", RealUnaryOp::positive}, {"conj", RealUnaryOp::positive},   {"reciprocal", RealUnaryOp::reciprocal},
    {"rint", RealUnaryOp::rint},         {"sign", RealUnaryOp::sign},         {"sin", RealUnaryOp::sin},
    {"sinh", RealUnaryOp::sinh},         {"spacing", RealUnaryOp::spacing},   {"sqrt", RealUnaryOp::sqrt},
    {"square", RealUnaryOp::square},     {"tan", RealUnaryOp::tan},           {"tanh", RealUnaryOp::tanh},
    {"trunc", RealUnaryOp::trunc},
};
static_assert(std::size(real_unary_names) == 46);

inline constexpr OperationName<RealBinaryOp> real_binary_names[] = {
    {"add", RealBinaryOp::add},
    {"subtract", RealBinaryOp::subtract},
    {"multiply", RealBinaryOp::multiply},
    {"divide", RealBinaryOp::divide},
    {"true_divide", RealBinaryOp::divide},
    {"floor_divide", RealBinaryOp::floor_divide},
    {"fmod", RealBinaryOp::fmod},
    {"remainder", RealBinaryOp::remainder},
    {"mod", RealBinaryOp::remainder},
    {"divmod", RealBinaryOp::divmod},
    {"power", RealBinaryOp::power},
    {"pow", RealBinaryOp::power},
    {"float_power", RealBinaryOp::power},
    {"maximum", RealBinaryOp::maximum},
    {"minimum", RealBinaryOp::minimum},
    {"fmax", RealBinaryOp::fmax},
    {"fmin", RealBinaryOp::fmin},
    {"copysign", RealBinaryOp::copysign},
    {"hypot", RealBinaryOp::hypot},
    {"arctan2", RealBinaryOp::arctan2},
    {"atan2", RealBinaryOp::arctan2},
    {"heaviside", RealBinaryOp::heaviside},
    {"logaddexp", RealBinaryOp::logaddexp},
    {"logaddexp2", RealBinaryOp::logaddexp2},
    {"nextafter", RealBinaryOp::nextafter},
    {"ldexp", RealBinaryOp::ldexp},
};
static_assert(std::size(real_binary_names) == 26);

inline constexpr OperationName<ComplexUnaryOp> complex_unary_names[] = {
    {"absolute", ComplexUnaryOp::absolute},   {"abs", ComplexUnaryOp::absolute},
    {"acos", ComplexUnaryOp::arccos},         {"arccos", ComplexUnaryOp::arccos},
    {"acosh", ComplexUnaryOp::arccosh},       {"arccosh", ComplexUnaryOp::arccosh},
    {"asin", ComplexUnaryOp::arcsin},         {"arcsin", ComplexUnaryOp::arcsin},
    {"asinh", ComplexUnaryOp::arcsinh},       {"arcsinh", ComplexUnaryOp::arcsinh},
    {"atan", ComplexUnaryOp::arctan},         {"arctan", ComplexUnaryOp::arctan},
    {"atanh", ComplexUnaryOp::arctanh},       {"arctanh", ComplexUnaryOp::arctanh},
    {"cos", ComplexUnaryOp::cos},             {"cosh", ComplexUnaryOp::cosh},
    {"exp", ComplexUnaryOp::exp},             {"exp2", ComplexUnaryOp::exp2},
    {"expm1", ComplexUnaryOp::expm1},         {"rint", ComplexUnaryOp::rint},
    {"log", ComplexUnaryOp::log},             {"log1p", ComplexUnaryOp::log1p},
    {"log10", ComplexUnaryOp::log10},         {"log2", ComplexUnaryOp::log2},
    {"sin", ComplexUnaryOp::sin},             {"sinh", ComplexUnaryOp::sinh},
    {"sqrt", ComplexUnaryOp::sqrt},           {"tan", ComplexUnaryOp::tan},
    {"tanh", ComplexUnaryOp::tanh},           {"reciprocal", ComplexUnaryOp::reciprocal},
    {"square", ComplexUnaryOp::square},       {"positive", ComplexUnaryOp::positive},
    {"negative", ComplexUnaryOp::negative},   {"conj", ComplexUnaryOp::conjugate},
    {"conjugate", ComplexUnaryOp::conjugate}, {"sign", ComplexUnaryOp::sign},
};
static_assert(std::size(complex_unary_names) == 36);

inline constexpr OperationName<ComplexBinaryOp> complex_binary_names[] = {
    {"add", ComplexBinaryOp::add},         {"subtract", ComplexBinaryOp::subtract},
    {"multiply", ComplexBinaryOp::multiply}, {"divide", ComplexBinaryOp::divide},
    {"true_divide", ComplexBinaryOp::divide}, {"power", ComplexBinaryOp::power},
    {"pow", ComplexBinaryOp::power},       {"float_power", ComplexBinaryOp::power},
    {"maximum", ComplexBinaryOp::maximum}, {"minimum", ComplexBinaryOp::minimum},
    {"fmax", ComplexBinaryOp::fmax},       {"fmin", ComplexBinaryOp::fmin},
};
static_assert(std::size(complex_binary_names) == 12);

namespace detail {
template <class Op>
struct NameTable;
template <>
struct NameTable<RealUnaryOp> {
  static constexpr const auto& names = real_unary_names;
};
template <>
struct NameTable<RealBinaryOp> {
  static constexpr const auto& names = real_binary_names;
};
template <>
struct NameTable<ComplexUnaryOp> {
  static constexpr const auto& names = complex_unary_names;
};
template <>
struct NameTable<ComplexBinaryOp> {
  static constexpr const auto& names = complex_binary_names;
};
}  // namespace detail

template <class Op>
constexpr std::optional<Op> operation_code(std::string_view name) {
  for (const OperationName<Op>& entry : detail::NameTable<Op>::names)
    if (entry.name == name) return entry.op;
  return std::nullopt;
}

template <class Op>
std::optional<Op> operation_code(const char* name) {
  return name ? operation_code<Op>(std::string_view(name)) : std::nullopt;
}

namespace detail {
inline constexpr std::uint64_t integer_bit = std::uint64_t{1} << 63;
inline constexpr std::uint64_t quiet_significand = std::uint64_t{3} << 62;
inline constexpr std::uint16_t exponent_mask = 0x7FFF;
// The value the text interface makes of a non-canonical encoding.
[[gnu::cold]] long double load_through_text(const unsigned char* bytes);
inline long double quiet_nan(bool negative) {
  const std::uint64_t significand = quiet_significand;
  const std::uint16_t sign_exponent = negative ? 0xFFFF : exponent_mask;
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &significand, 8);
  std::memcpy(bytes + 8, &sign_exponent, 2);
  long double x;
  std::memcpy(&x, bytes, sizeof x);
  return x;
}
}  // namespace detail

[[gnu::always_inline]] inline long double through_text(long double x) {
  if (std::isnan(x)) [[unlikely]]
    return detail::quiet_nan(std::signbit(x));
  return x;
}

namespace detail {
// A long double at any address: the processor loads and stores the 10 value
// bytes of a stored form in place, rather than through a copy whose pieces
// it could not forward to the 10-byte load.
typedef long double unaligned_extended __attribute__((aligned(1), may_alias));
}  // namespace detail

[[gnu::always_inline]] inline bool reads_as_stored(std::uint64_t significand, std::uint16_t sign_exponent) {
  const std::uint16_t exponent = sign_exponent & detail::exponent_mask;
  const bool canonical = ((significand & detail::integer_bit) != 0) == (exponent != 0);
  return canonical && (exponent != detail::exponent_mask || significand == detail::integer_bit ||
                       significand == detail::quiet_significand);
}

[[gnu::always_inline]] inline long double load_form(std::uint64_t significand, std::uint16_t sign_exponent,
                                                   const unsigned char* bytes) {
  const std::uint16_t exponent = sign_exponent & detail::exponent_mask;
  if (((significand & detail::integer_bit) != 0) != (exponent != 0)) [[unlikely]]
    return detail::load_through_text(bytes);
  if (exponent == detail::exponent_mask && significand != detail::integer_bit) [[unlikely]]
    return detail::quiet_nan((sign_exponent & 0x8000) != 0);
  return *reinterpret_cast<const detail::unaligned_extended*>(bytes);
}

namespace detail {
// The 10 value bytes stored in place. Not a long double assignment: the
// compiler takes that for a 16-byte store (of a constant's zero padding,
// say) and would drop the zeros written beside it.
[[gnu::always_inline]] inline void store_value_bytes(long double x, unsigned char* bytes) {
  asm("fstpt %0" : "=m"(*reinterpret_cast<unsigned char(*)[extended_size]>(bytes)) : "t"(x) : "st");
}
}  // namespace detail

// Bytes 8-15 zeroed by one store first, then the 10 value bytes over them.
[[gnu::always_inline]] inline void store_form(long double x, unsigned char* bytes) {
  std::memset(bytes + 8, 0, 8);
  detail::store_value_bytes(through_text(x), bytes);
}

}  // namespace quarvel_longdouble
