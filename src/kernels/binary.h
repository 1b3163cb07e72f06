// Two-input integer, bitwise and comparison kernels.
//
// Integers compute on 128-bit values and wrap to the output width; division,
// remainder and modulo by zero give 0, so nothing traps. The typed templates
// take operands already of the output's element type (as a loop's inputs are)
// and give the same bits as the Scalar entry `binary` in kernels.h.
#pragma once

#include <optional>
#include <type_traits>

#include "kernels/element.h"
#include "kernels/ops.h"

namespace quarvel_kernels {

enum class Ordering : std::uint8_t { less, equal, greater, unordered };

// Whether comparison `op` holds for an ordering; unordered satisfies only not_equal.
constexpr bool comparison_holds(Op op, Ordering order);

// An integer (by its own signedness) against a double, exactly.
Ordering compare_integer_float(i128 v, double x);
Ordering compare_integer_float(const Scalar& integer, double x);

// Euclid on absolute values with truncated remainders; gcd(0, 0) = 0.
i128 gcd(i128 a, i128 b);
// 0 when either is 0, else |(a / gcd) * b|, wrapping in 128 bits.
i128 lcm(i128 a, i128 b);

// One arithmetic operation on operand values read for the output's mode:
// zero-extended bits for a bool or unsigned output (`signed_mode` false),
// values by their own signedness for a signed output; |values| < 2^64. The
// result is to be wrapped to the output width. Absent for a name outside the
// integer table or a negative exponent.
std::optional<i128> integer_arithmetic(Op op, i128 a, i128 b, bool signed_mode);

// One bitwise operation. a_bits and b_bits are the operands' own bits,
// zero-extended; a_value and b_value their values by their own signedness;
// `width` and `signed_output` describe the output dtype. Absent for names
// outside the bitwise group.
std::optional<i128> bitwise_arithmetic(Op op, u128 a_bits, i128 a_value, u128 b_bits, i128 b_value, unsigned width,
                                       bool signed_output);

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
