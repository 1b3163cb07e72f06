// Distance in units in the last place, for results whose last bits the C
// library decides: those are held to library_ulps of an independent oracle
// (mpmath, or a value exact by construction), never compared bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace test_ulps {

// The library's last bits are the processor's and the library version's: the
// x87 instructions behind logl, expl, atan2l differ between makers, and glibc
// picks double routines by processor model. Every such result stays within
// this many units in the last place of the correctly rounded value (complex
// functions, deg2rad and degrees round several times).
constexpr long double library_ulps = 4;

// Position of a finite value on the line of all values of its format, so
// neighbours differ by one and -0 meets +0.
//   binary32 / binary64: s | exponent | fraction, the magnitude counts up.
//   x87 extended: bytes 0-7 significand (explicit integer bit 63), bytes 8-9 s|exponent.
template <class F> __int128 ordinal(F x) {
  using Bits = std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>;
  const Bits bits = std::bit_cast<Bits>(x), sign = Bits{1} << (8 * sizeof(F) - 1);
  const __int128 magnitude = bits & ~sign;
  return bits & sign ? -magnitude : magnitude;
}

inline __int128 ordinal(long double x) {
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &x, sizeof x);
  std::uint64_t significand;
  std::uint16_t sign_exponent;
  std::memcpy(&significand, bytes, 8);
  std::memcpy(&sign_exponent, bytes + 8, 2);
  const unsigned exponent = sign_exponent & 0x7FFFu;
  const std::uint64_t fraction = significand & 0x7FFFFFFFFFFFFFFFull;
  const __int128 magnitude =
      exponent == 0 ? static_cast<__int128>(significand) : (static_cast<__int128>(exponent) << 63) + fraction;
  return (sign_exponent & 0x8000u) ? -magnitude : magnitude;
}

// NaN meets only NaN, an infinity only itself.
template <class F> long double ulps_apart(F a, F b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0.0L : INFINITY;
  if (std::isinf(a) || std::isinf(b)) return a == b ? 0.0L : INFINITY;
  const __int128 d = ordinal(a) - ordinal(b);
  return static_cast<long double>(d < 0 ? -d : d);
}

}  // namespace test_ulps
