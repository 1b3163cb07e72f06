// Two-input integer, bitwise and comparison kernels.
//
// Integers compute on 128-bit values and wrap to the output width; division,
// remainder and modulo by zero give 0, so nothing traps. The typed templates
// take operands already of the output's element type (as a loop's inputs are)
// and give the same bits as the Scalar entry `binary` in kernels.h.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "kernels/element.h"
#include "kernels/ops.h"

namespace quarvel_kernels {

enum class Ordering : std::uint8_t { less, equal, greater, unordered };

// Whether comparison `op` holds for an ordering; unordered satisfies only not_equal.
constexpr bool comparison_holds(Op op, Ordering order);
// logical_and, logical_or and logical_xor of two truth values.
constexpr bool logical_holds(Op op, bool a, bool b);

// An integer (by its own signedness) against a double, exactly.
Ordering compare_integer_float(i128 v, double x);
Ordering compare_integer_float(const Scalar& integer, double x);

// Euclid on absolute values with truncated remainders; gcd(0, 0) = 0.
i128 gcd(i128 a, i128 b);
// 0 when either is 0, else |(a / gcd) * b|, wrapping in 128 bits.
i128 lcm(i128 a, i128 b);
// lcm of nonnegative operands whose product may pass 2^127: it wraps, never negated.
i128 lcm_of_unsigned(i128 a, i128 b);

// One arithmetic operation on operand values read for the output's mode:
// zero-extended bits for a bool or unsigned output (`signed_mode` false),
// values by their own signedness for a signed output; |values| < 2^64. The
// result is to be wrapped to the output width. Absent for a name outside the
// integer table or a negative exponent.
std::optional<i128> integer_arithmetic(Op op, i128 a, i128 b, bool signed_mode);

// The same for every operation but gcd and lcm, computed in V: i128 as above,
// or an element's own type (operands and result of that type), which gives
// the bits of the 128-bit form wrapped: sums, differences, products and
// powers are taken modulo a power of two at least the width, quotients and
// remainders are exact once a divisor of -1 is settled first.
template <Op op, class V>
constexpr std::optional<V> integer_arithmetic(V a, V b);

// One bitwise operation. a_bits and b_bits are the operands' own bits,
// zero-extended; a_value and b_value their values by their own signedness;
// `width` and `signed_output` describe the output dtype. Absent for names
// outside the bitwise group.
std::optional<i128> bitwise_arithmetic(Op op, u128 a_bits, i128 a_value, u128 b_bits, i128 b_value, unsigned width,
                                       bool signed_output);

// and, or and xor in V: zero-extended bits, or an element's own type.
template <Op op, class V>
constexpr V bitwise_logic(V a, V b);
// left_shift and right_shift with the arguments of bitwise_arithmetic.
template <Op op>
constexpr i128 shifted(u128 a_bits, i128 a_value, i128 b_value, unsigned width, bool signed_output);

template <class T>
inline constexpr bool is_integer_element = std::is_integral_v<T>;

// Typed forms: operands and result of one bool or integer element type.
template <class T>
  requires is_integer_element<T>
std::optional<T> integer_binary(Op op, T a, T b);

template <class T>
  requires is_integer_element<T>
std::optional<T> bitwise_binary(Op op, T a, T b);

// Orders two values of one element type: integers exactly, reals by IEEE
// (NaN unordered), complex by real then imaginary part (any NaN unordered).
template <class T>
Ordering compare_values(T a, T b);

// ---------------------------------------------------------------------------

constexpr bool logical_holds(Op op, bool a, bool b) {
  if (op == Op::logical_and) return a && b;
  if (op == Op::logical_or) return a || b;
  return a != b;
}

// An unsigned type at least as wide as V and as int, in which V's arithmetic
// wraps instead of overflowing.
template <class V>
using wide_unsigned_t = std::make_unsigned_t<std::common_type_t<V, int>>;

template <class V>
constexpr V wrapping_negate(V v) {
  using W = wide_unsigned_t<V>;
  return static_cast<V>(W{0} - static_cast<W>(v));
}
template <class V>
constexpr V wrapping_abs(V v) {
  return v < 0 ? wrapping_negate(v) : v;
}
// The most negative value over -1 is the one quotient that overflows: it wraps.
template <class V>
constexpr V truncated_quotient(V a, V b) {
  if constexpr (std::is_signed_v<V>) {
    if (b == -1) return wrapping_negate(a);
  }
  return static_cast<V>(a / b);
}
template <class V>
constexpr V truncated_remainder(V a, V b) {
  if constexpr (std::is_signed_v<V>) {
    if (b == -1) return 0;
  }
  return static_cast<V>(a % b);
}

// The low bits of base^exponent for exponent >= 0.
template <class V>
constexpr V power_by_squaring(V base, V exponent) {
  using W = wide_unsigned_t<V>;
  W result = 1, square = static_cast<W>(base);
  for (W e = static_cast<W>(exponent); e != 0; e >>= 1) {
    if (e & 1) result *= square;
    square *= square;
  }
  return static_cast<V>(result);
}

template <Op op, class V>
constexpr std::optional<V> integer_arithmetic(V a, V b) {
  using W = wide_unsigned_t<V>;
  constexpr bool is_signed = std::is_signed_v<V>;
  if constexpr (op == Op::add) {
    return static_cast<V>(static_cast<W>(a) + static_cast<W>(b));
  } else if constexpr (op == Op::subtract) {
    return static_cast<V>(static_cast<W>(a) - static_cast<W>(b));
  } else if constexpr (op == Op::multiply) {
    return static_cast<V>(static_cast<W>(a) * static_cast<W>(b));
  } else if constexpr (op == Op::floor_divide) {
    if (b == 0) return V{0};
    const V q = truncated_quotient(a, b);
    if constexpr (is_signed) {
      if (truncated_remainder(a, b) != 0 && ((a < 0) != (b < 0))) return static_cast<V>(q - 1);
    }
    return q;
  } else if constexpr (op == Op::remainder) {
    if (b == 0) return V{0};
    const V r = truncated_remainder(a, b);
    if constexpr (is_signed) {
      if (r != 0 && ((r < 0) != (b < 0))) return static_cast<V>(r + b);
    }
    return r;
  } else if constexpr (op == Op::fmod) {
    return b == 0 ? V{0} : truncated_remainder(a, b);
  } else if constexpr (op == Op::power) {
    if constexpr (is_signed) {
      if (b < 0) return std::nullopt;
    }
    return power_by_squaring(a, b);
  } else if constexpr (op == Op::maximum || op == Op::fmax) {
    return a < b ? b : a;
  } else {
    static_assert(op == Op::minimum || op == Op::fmin);
    return b < a ? b : a;
  }
}

template <Op op, class V>
constexpr V bitwise_logic(V a, V b) {
  if constexpr (op == Op::bitwise_and) {
    return static_cast<V>(a & b);
  } else if constexpr (op == Op::bitwise_or) {
    return static_cast<V>(a | b);
  } else {
    static_assert(op == Op::bitwise_xor);
    return static_cast<V>(a ^ b);
  }
}

// Counts beyond 64 act as 64; a negative count, or one equal to the width,
// shifts every bit out.
template <Op op>
constexpr i128 shifted(u128 a_bits, i128 a_value, i128 b_value, unsigned width, bool signed_output) {
  const bool negative_count = b_value < 0;
  const unsigned count = negative_count ? 0 : static_cast<unsigned>(b_value > 64 ? 64 : b_value);
  const bool shifted_out = negative_count || count == width;
  if constexpr (op == Op::left_shift) {
    return shifted_out ? 0 : static_cast<i128>(a_bits << count);
  } else {
    static_assert(op == Op::right_shift);
    if (shifted_out) return signed_output && a_value < 0 ? -1 : 0;
    return signed_output ? a_value >> count : static_cast<i128>(a_bits >> count);
  }
}

constexpr bool comparison_holds(Op op, Ordering order) {
  switch (op) {
    case Op::less: return order == Ordering::less;
    case Op::less_equal: return order == Ordering::less || order == Ordering::equal;
    case Op::equal: return order == Ordering::equal;
    case Op::not_equal: return order != Ordering::equal;
    case Op::greater: return order == Ordering::greater;
    case Op::greater_equal: return order == Ordering::greater || order == Ordering::equal;
    default: return false;
  }
}

// The bits of an integer element, zero-extended (bool as 0 or 1).
template <class T>
constexpr u128 element_bits(T v) {
  if constexpr (std::is_same_v<T, bool>) {
    return v ? 1 : 0;
  } else {
    return static_cast<std::make_unsigned_t<T>>(v);
  }
}

template <class T>
  requires is_integer_element<T>
std::optional<T> integer_binary(Op op, T a, T b) {
  const bool signed_mode = std::is_signed_v<T>;
  const i128 av = signed_mode ? static_cast<i128>(a) : static_cast<i128>(element_bits(a));
  const i128 bv = signed_mode ? static_cast<i128>(b) : static_cast<i128>(element_bits(b));
  const std::optional<i128> r = integer_arithmetic(op, av, bv, signed_mode);
  if (!r) return std::nullopt;
  return wrap_to<T>(*r);
}

template <class T>
  requires is_integer_element<T>
std::optional<T> bitwise_binary(Op op, T a, T b) {
  constexpr unsigned width = std::is_same_v<T, bool> ? 8 : sizeof(T) * 8;
  const std::optional<i128> r = bitwise_arithmetic(op, element_bits(a), static_cast<i128>(a), element_bits(b),
                                                   static_cast<i128>(b), width, std::is_signed_v<T>);
  if (!r) return std::nullopt;
  return wrap_to<T>(*r);
}

template <class T>
Ordering compare_values(T a, T b) {
  if constexpr (std::is_integral_v<T>) {
    return a < b ? Ordering::less : (b < a ? Ordering::greater : Ordering::equal);
  } else if constexpr (std::is_floating_point_v<T>) {
    if (a < b) return Ordering::less;
    if (b < a) return Ordering::greater;
    return a == b ? Ordering::equal : Ordering::unordered;
  } else {
    if (a.imag() != a.imag() || b.imag() != b.imag()) return Ordering::unordered;
    const Ordering by_real = compare_values(a.real(), b.real());
    return by_real == Ordering::equal ? compare_values(a.imag(), b.imag()) : by_real;
  }
}

}  // namespace quarvel_kernels
