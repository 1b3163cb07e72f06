// Long double and complex long double elements held as machine values, for
// the typed loops: their C++ types, their stored bytes, and the two readings
// of a value the text path makes (its text and that text's nearest double).
//
// A Scalar keeps a long double as text; an element read here is the value
// that text parses to, and an element written here is stored as the text
// would be: the 10-byte value, 6 zero bytes, and a NaN as the one quiet NaN
// of its sign ("nan" and "-nan" read back so). Under ">" the 16 bytes of a
// part are reversed whole.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "longdouble/ld_typed.h"
#include "storage/storage_error.h"

namespace quarvel_storage {

struct Extended {
  long double value = 0.0L;
};

struct ComplexExtended {
  long double re = 0.0L;
  long double im = 0.0L;
};

inline long double real_part(const Extended& v) { return v.value; }
inline long double real_part(const ComplexExtended& v) { return v.re; }

template <class T>
inline constexpr bool is_extended_element = std::is_same_v<T, Extended> || std::is_same_v<T, ComplexExtended>;

// ---- stored bytes ---------------------------------------------------------------------

// One 16-byte part: the value its stored form reads as, and the stored form
// of a value.
template <bool Swap>
long double load_extended_part(const std::uint8_t* p);
template <bool Swap>
void store_extended_part(std::uint8_t* p, long double x);

// The text of a value (21 significant digits) and the value of a text
// (whole, as strtold reads it; CannotConvert otherwise): what decoding and
// encoding a stored long double give.
std::string extended_text(long double x);
[[nodiscard]] Result<long double> extended_from_text(std::string_view text);

// ---- the double reading ---------------------------------------------------------------

// The nearest double of the value's printed text (what Scalar::as_f64 gives
// for it): the value rounded to nearest even, except where the value lies
// exactly halfway between two doubles; there the 21 printed digits fall to
// one side or hit the tie, and the text decides.
double double_through_text(long double x);
// The same from the bits of a canonical encoding, and the value.
double double_through_text(long double x, std::uint64_t significand, std::uint16_t sign_exponent);

// The double reading of one stored 16-byte part, from its bits.
template <bool Swap>
double load_extended_double(const std::uint8_t* p);

// The integer reading of one stored 16-byte part as an integer of type T:
// what cast_element<T> gives its value (truncated, saturated at T's
// integer_range, NaN 0, then wrapped), from the bits.
template <class T, bool Swap>
T load_extended_integer(const std::uint8_t* p);

// A double as the text path makes it long double: its exact decimal, read
// back exactly; every NaN becomes the positive quiet NaN ("NaN" has no sign).
long double extended_from_double(double x);

// ---------------------------------------------------------------------------
// inline bodies

namespace extended_detail {

// The 16 bytes of a part in the little-endian order of the stored form.
template <bool Swap>
void little_endian_form(const std::uint8_t* p, unsigned char* form) {
  if constexpr (Swap) {
    for (std::size_t i = 0; i < quarvel_longdouble::stored_size; ++i)
      form[i] = p[quarvel_longdouble::stored_size - 1 - i];
  } else {
    std::memcpy(form, p, quarvel_longdouble::stored_size);
  }
}

// use(form, significand, sign_exponent) on one stored part: its 16 bytes in
// the little-endian order of the stored form, and its first 10 as numbers.
template <bool Swap, class Use>
[[gnu::always_inline]] inline decltype(auto) with_stored_part(const std::uint8_t* p, Use&& use) {
  unsigned char swapped[quarvel_longdouble::stored_size];
  const unsigned char* form = p;
  if constexpr (Swap) {
    little_endian_form<true>(p, swapped);
    form = swapped;
  }
  std::uint64_t m;
  std::uint16_t se;
  std::memcpy(&m, form, 8);
  std::memcpy(&se, form + 8, 2);
  return use(form, m, se);
}

// Whether x (sign and biased exponent `se`, significand `m`) lies exactly
// halfway between two doubles. Rounding to a double keeps the top 53
// significand bits in the normal range and fewer below 2^-1022; the rest must
// be one bit followed by zeros. Below 2^-1075 and from 2^1024 on (NaN and
// infinity included) no value is halfway.
//
//   extended:  s eeeeeeeeeeeeeee  i fff...f (63)    m = i fff...f
//   kept:      i + 52 bits (e >= -1022), e + 1075 bits below
inline bool halfway_between_doubles(std::uint64_t m, std::uint16_t se) {
  const int e = static_cast<int>(se & 0x7FFF) - 16383;
  if (e > 1023 || e < -1075) return false;
  const int dropped = e >= -1022 ? 11 : -e - 1011;  // 11 .. 64
  const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
  const std::uint64_t mask = half | (half - 1);
  return (m & mask) == half;
}

[[gnu::cold]] double double_through_printed_text(long double x);

}  // namespace extended_detail

template <bool Swap>
[[gnu::always_inline]] inline long double load_extended_part(const std::uint8_t* p) {
  return extended_detail::with_stored_part<Swap>(p, [](const unsigned char* form, std::uint64_t m, std::uint16_t se) {
    return quarvel_longdouble::load_form(m, se, form);
  });
}

template <bool Swap>
[[gnu::always_inline]] inline void store_extended_part(std::uint8_t* p, long double x) {
  if constexpr (Swap) {
    unsigned char form[quarvel_longdouble::stored_size];
    quarvel_longdouble::store_form(x, form);
    for (std::size_t i = 0; i < quarvel_longdouble::stored_size; ++i) p[i] = form[quarvel_longdouble::stored_size - 1 - i];
  } else {
    quarvel_longdouble::store_form(x, p);
  }
}

inline double double_through_text(long double x, std::uint64_t significand, std::uint16_t sign_exponent) {
  if (extended_detail::halfway_between_doubles(significand, sign_exponent)) [[unlikely]]
    return extended_detail::double_through_printed_text(x);
  if (std::isnan(x)) return std::copysign(std::numeric_limits<double>::quiet_NaN(), std::signbit(x) ? -1.0 : 1.0);
  return static_cast<double>(x);
}

inline double double_through_text(long double x) {
  unsigned char bytes[sizeof(long double)];
  std::memcpy(bytes, &x, sizeof x);
  std::uint64_t m;
  std::uint16_t se;
  std::memcpy(&m, bytes, 8);
  std::memcpy(&se, bytes + 8, 2);
  return double_through_text(x, m, se);
}

template <bool Swap>
double load_extended_double(const std::uint8_t* p) {
  return extended_detail::with_stored_part<Swap>(p, [](const unsigned char* form, std::uint64_t m, std::uint16_t se) {
    if (!quarvel_longdouble::reads_as_stored(m, se)) [[unlikely]]  // through its text: its own bits differ
      return double_through_text(quarvel_longdouble::load_form(m, se, form));
    if (extended_detail::halfway_between_doubles(m, se)) [[unlikely]]
      return extended_detail::double_through_printed_text(quarvel_longdouble::load_form(m, se, form));
    if ((se & 0x7FFF) == 0x7FFF && m != std::uint64_t{1} << 63)  // NaN, its sign kept
      return std::copysign(std::numeric_limits<double>::quiet_NaN(), (se & 0x8000) != 0 ? -1.0 : 1.0);
    return static_cast<double>(*reinterpret_cast<const quarvel_longdouble::detail::unaligned_extended*>(form));
  });
}

inline long double extended_from_double(double x) {
  if (std::isnan(x)) [[unlikely]]
    return quarvel_longdouble::through_text(std::numeric_limits<long double>::quiet_NaN());
  return static_cast<long double>(x);
}

}  // namespace quarvel_storage
