#include "storage/float16.h"

#include <bit>
#include <cmath>

namespace quarvel_storage {

float half_bits_to_float(std::uint16_t bits) {
  const std::uint32_t sign = (bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
  const std::uint32_t mantissa = bits & 0x3FFu;
  if (exponent == 0x1F) {
    // inf or NaN: keep the payload in the top mantissa bits.
    return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
  }
  if (exponent == 0) {
    // zero or subnormal: mantissa * 2^-24, exact in single precision.
    const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    return sign ? -magnitude : magnitude;
  }
  return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (mantissa << 13));
}

std::uint16_t double_to_half_bits(double value) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const std::uint16_t sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000u);
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (exponent == 0x7FF) {
    if (fraction == 0) return sign | 0x7C00u;
    // quiet NaN, keeping the top payload bits
    return static_cast<std::uint16_t>(sign | 0x7E00u | (fraction >> 42));
  }
  if (exponent == 0 && fraction == 0) return sign;

  // |value| = significand * 2^(e - 52) with the implicit bit included.
  const std::uint64_t significand = exponent ? (fraction | (std::uint64_t{1} << 52)) : fraction;
  const int e = (exponent ? exponent : 1) - 1023;  // unbiased exponent of bit 52

  // Target: half mantissa units of 2^(max(e, -14) - 10); normal halves have 11 significant bits.
  int unit_exponent = (e < -14 ? -14 : e) - 10;  // value of one result unit is 2^unit_exponent
  // shift = how many low bits of significand (units 2^(e-52)) fall below one result unit
  const int shift = unit_exponent - (e - 52);
  std::uint64_t q;
  if (shift >= 64) {
    q = 0;  // far below the smallest subnormal: rounds to zero (remainder < half a unit)
  } else {
    q = significand >> shift;
    const std::uint64_t remainder = significand & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (remainder > half || (remainder == half && (q & 1))) ++q;
  }
  // q counts units of 2^unit_exponent; renormalise if rounding carried to 2^11.
  if (q >= (1u << 11)) {
    q >>= 1;
    ++unit_exponent;
  }
  if (q == 0) return sign;
  if (q < (1u << 10)) return static_cast<std::uint16_t>(sign | q);  // subnormal (unit_exponent == -24)
  const int biased = unit_exponent + 10 + 15;
  if (biased >= 31) return sign | 0x7C00u;
  return static_cast<std::uint16_t>(sign | (biased << 10) | (q & 0x3FFu));
}

std::uint16_t float_to_half_bits(float value) { return double_to_half_bits(static_cast<double>(value)); }

float round_to_half(double value) { return half_bits_to_float(double_to_half_bits(value)); }

}  // namespace quarvel_storage
