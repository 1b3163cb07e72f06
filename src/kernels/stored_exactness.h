// Whether the subnormal result of an extended product, square, quotient or
// reciprocal is exact, read from the operands' stored forms alone. A loop
// meets its operands where they lie, so their words cost two plain loads; a
// result held in a register would first be stored, and the processor cannot
// forward a 10-byte store to the narrower loads that read its bits.
//
// The result is the operation's rounding of the exact value v. Being
// subnormal, it rounds a |v| below the smallest normal 2^-16382 (which is a
// value, and rounding keeps order), and every multiple of the smallest
// subnormal 2^-16445 below it is a value too: the result is exact iff v is
// such a multiple, whatever the rounding direction. With each operand
// m 2^e, m odd:
//   - a product's m_a m_b is odd: exact iff e_a + e_b >= -16445;
//   - a quotient is a multiple of 2^-16445 only where m_b divides m_a (the
//     quotient is then odd): exact iff so and e_a - e_b >= -16445.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "kernels/classify.h"

namespace quarvel_kernels::classify_detail {

// A finite stored extended value as m 2^e with m odd (m 0 for a zero).
//
//   byte  9         8         7 ... 0
//         s eeeeeee eeeeeeee  i fff...f (63)
//   E != 0: e = E - 16446 for the 64-bit significand; E == 0: e = -16445
struct StoredOdd {
  std::uint64_t significand;
  int exponent;
};

// The two words of an x86 extended form as stored: the significand (its
// integer bit on top) and the sign beside the biased exponent.
struct FormWords {
  std::uint64_t significand;
  std::uint16_t sign_exponent;
};

[[gnu::always_inline]] inline FormWords form_words(const std::uint8_t* form) {
  FormWords words;
  std::memcpy(&words.significand, form, 8);
  std::memcpy(&words.sign_exponent, form + 8, 2);
  return words;
}

[[gnu::always_inline]] inline StoredOdd stored_odd(const std::uint8_t* form) {
  const auto [significand, sign_exponent] = form_words(form);
  const int biased = sign_exponent & 0x7FFF;
  // The top bit keeps the shift below 64 for a zero.
  const int k = std::countr_zero(significand | std::uint64_t{1} << 63);
  return {significand >> k, (biased == 0 ? 1 : biased) - 16446 + k};
}

// Whether a subnormal result of the row on the operands stored at a and b
// (b unread for one input) is exact.
template <ExactRow row>
[[gnu::always_inline]] inline bool stored_row_is_exact(const std::uint8_t* a, [[maybe_unused]] const std::uint8_t* b) {
  constexpr int lowest = -16445;
  const StoredOdd x = stored_odd(a);
  if constexpr (row == ExactRow::square) {
    return 2 * x.exponent >= lowest;
  } else if constexpr (row == ExactRow::reciprocal) {
    return x.significand == 1 && -x.exponent >= lowest;
  } else {
    const StoredOdd y = stored_odd(b);
    if constexpr (row == ExactRow::product) {
      return x.exponent + y.exponent >= lowest;
    } else {
      static_assert(row == ExactRow::quotient);
      return y.significand != 0 && x.significand % y.significand == 0 && x.exponent - y.exponent >= lowest;
    }
  }
}

template <ExactRow row>
inline constexpr bool is_stored_row =
    row == ExactRow::product || row == ExactRow::quotient || row == ExactRow::square || row == ExactRow::reciprocal;

}  // namespace quarvel_kernels::classify_detail
