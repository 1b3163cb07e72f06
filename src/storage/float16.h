// IEEE 754 binary16 conversions, rounded once to nearest with ties to even.
//
//   binary16:  s eeeee mmmmmmmmmm      bias 15, subnormals below 2^-14
#pragma once

#include <cstdint>

namespace quarvel_storage {

// Every binary16 value is exact as a float.
float half_bits_to_float(std::uint16_t bits);

// Straight from the double: no intermediate rounding to single precision.
std::uint16_t double_to_half_bits(double value);
std::uint16_t float_to_half_bits(float value);

// The nearest binary16 value, held as a float (how Scalar keeps float16).
float round_to_half(double value);

}  // namespace quarvel_storage
