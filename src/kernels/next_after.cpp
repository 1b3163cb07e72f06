// One step of a float's bit pattern toward a target, in the precision of a dtype.
//
// Patterns of one sign are ordered like their magnitudes, so adding one moves
// away from zero and subtracting one toward it (from the largest finite value,
// one more is infinity).
#include "kernels/next_after.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "storage/float16.h"

namespace quarvel_kernels {
namespace {

struct Binary64 {
  using Bits = std::uint64_t;
  static constexpr Bits sign_bit = Bits{1} << 63;
  static Bits bits(double v) { return std::bit_cast<Bits>(v); }
  static double value(Bits b) { return std::bit_cast<double>(b); }
};

struct Binary32 {
  using Bits = std::uint32_t;
  static constexpr Bits sign_bit = Bits{1} << 31;
  static Bits bits(double v) { return std::bit_cast<Bits>(static_cast<float>(v)); }
  static double value(Bits b) { return std::bit_cast<float>(b); }
};

// binary16:  s eeeee mmmmmmmmmm
struct Binary16 {
  using Bits = std::uint16_t;
  static constexpr Bits sign_bit = 0x8000;
  static Bits bits(double v) { return double_to_half_bits(v); }
  static double value(Bits b) { return half_bits_to_float(b); }
};

template <class Format>
double step_toward(double a_in, double b_in) {
  using Bits = typename Format::Bits;
  Bits a_bits = Format::bits(a_in);
  const Bits b_bits = Format::bits(b_in);
  const double a = Format::value(a_bits), b = Format::value(b_bits);
  if (std::isnan(a) || std::isnan(b)) {
    // binary16 answers with its canonical quiet NaN, 0x7E00.
    if constexpr (sizeof(Bits) == 2) return Format::value(0x7E00);
    return a + b;
  }
  if (a == b) return b;  // also two zeros of different signs
  if (a == 0) return Format::value(static_cast<Bits>((b_bits & Format::sign_bit) | 1));
  const bool away_from_zero = (a > 0) == (b > a);
  a_bits = static_cast<Bits>(away_from_zero ? a_bits + 1 : a_bits - 1);
  return Format::value(a_bits);
}

}  // namespace

double next_after_dtype(DType dtype, double a, double b) {
  switch (dtype.code) {
    case DType::Float16: return step_toward<Binary16>(a, b);
    case DType::Float32: return step_toward<Binary32>(a, b);
    default: return step_toward<Binary64>(a, b);
  }
}

}  // namespace quarvel_kernels
