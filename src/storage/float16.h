// IEEE 754 binary16 conversions, rounded once to nearest with ties to even.
//
//   binary16:  s eeeee mmmmmmmmmm      bias 15, subnormals below 2^-14
//
// The one-element forms are inline and branch-free, so a loop over elements
// may vectorise them. The many-element forms use the processor's conversion
// instructions where it has them (chosen once at run time) and give the same
// bits: half to float keeps a signalling NaN signalling (the instruction
// would quiet it); float or double to half keeps the sign and the top ten
// payload bits of a NaN and sets its quiet bit.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quarvel_storage {

// Every binary16 value is exact as a float.
float half_bits_to_float(std::uint16_t bits);

// Rounded once from the double: to single precision it goes by rounding to
// odd, which leaves the second rounding to half as if it were the only one.
std::uint16_t double_to_half_bits(double value);
std::uint16_t float_to_half_bits(float value);

// The nearest binary16 value, held as a float (how Scalar keeps float16).
float round_to_half(double value);
float round_to_half(float value);

// Whether the processor has the half-precision conversion instructions (and
// AVX for the single-precision work beside them); asked once.
bool has_half_instructions();

// n elements each; the arrays must not overlap.
void halves_to_floats(const std::uint16_t* bits, float* values, std::size_t n);
// The halves as stored bytes, two to an element, at any alignment.
void halves_to_floats(const std::uint8_t* halves, float* values, std::size_t n);
void floats_to_halves(const float* values, std::uint16_t* bits, std::size_t n);
void doubles_to_halves(const double* values, std::uint16_t* bits, std::size_t n);

// ---------------------------------------------------------------------------

inline float half_bits_to_float(std::uint16_t bits) {
  //   binary16  s eeeee mmmmmmmmmm
  //   binary32  s eeeeeeee mmmmmmmmmm0000000000000
  // A normal half moves its fields 13 places up and its exponent bias from 15
  // to 127; infinity and NaN move again to the top exponent, their payload
  // untouched. A subnormal m * 2^-24 is (2^-14 + m 2^-24) - 2^-14, both exact.
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
  const std::uint32_t shifted = static_cast<std::uint32_t>(bits & 0x7FFFu) << 13;
  const std::uint32_t exponent = shifted & 0x0F800000u;
  constexpr std::uint32_t rebias = (127u - 15u) << 23;
  const std::uint32_t normal = shifted + rebias + (exponent == 0x0F800000u ? rebias : 0u);
  const float subnormal = std::bit_cast<float>(shifted + (rebias + (1u << 23))) - std::bit_cast<float>(rebias + (1u << 23));
  const std::uint32_t magnitude = exponent == 0 ? std::bit_cast<std::uint32_t>(subnormal) : normal;
  return std::bit_cast<float>(sign | magnitude);
}

inline std::uint16_t float_to_half_bits(float value) {
  //   binary32  s eeeeeeee mmmmmmmmmmmmmmmmmmmmmmm
  // 4|x| (infinite past the half range, through the two scalings) is added to
  // the power of two whose last place is the half's last place for |x|, and
  // never finer than the subnormal unit: the float addition rounds to nearest
  // with ties to even right there, carrying into the exponent where it must,
  // and the sum's low bits hold the half's exponent and mantissa.
  const std::uint32_t w = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t twice = w + w;  // the sign shifted out
  const std::uint32_t sign = (w >> 16) & 0x8000u;
  const float magnitude = std::bit_cast<float>(w & 0x7FFFFFFFu);
  float base = (magnitude * 0x1.0p+112f) * 0x1.0p-110f;
  std::uint32_t bias = twice & 0xFF000000u;
  bias = bias < 0x71000000u ? 0x71000000u : bias;
  base = std::bit_cast<float>((bias >> 1) + 0x07800000u) + base;
  const std::uint32_t sum = std::bit_cast<std::uint32_t>(base);
  const std::uint32_t finite = ((sum >> 13) & 0x7C00u) + (sum & 0x0FFFu);
  const std::uint32_t nan = 0x7E00u | ((w >> 13) & 0x03FFu);
  return static_cast<std::uint16_t>(sign | (twice > 0xFF000000u ? nan : finite));
}

// To single precision toward zero, with the last bit set where any bit was lost.
inline float rounded_to_odd(double value) {
  const float nearest = static_cast<float>(value);
  const double back = nearest;
  std::uint32_t bits = std::bit_cast<std::uint32_t>(nearest);
  bits -= static_cast<std::uint32_t>(__builtin_fabs(back) > __builtin_fabs(value));
  bits |= static_cast<std::uint32_t>(back != value);  // a NaN's low bits never reach the half
  return std::bit_cast<float>(bits);
}

inline std::uint16_t double_to_half_bits(double value) { return float_to_half_bits(rounded_to_odd(value)); }

inline float round_to_half(float value) { return half_bits_to_float(float_to_half_bits(value)); }
inline float round_to_half(double value) { return half_bits_to_float(double_to_half_bits(value)); }

}  // namespace quarvel_storage
