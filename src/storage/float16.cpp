#include "storage/float16.h"

#include <immintrin.h>

#include <cstring>

namespace quarvel_storage {

namespace {

// ---- one element at a time: every processor ----------------------------------

void halves_to_floats_plain(const std::uint8_t* halves, float* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    std::uint16_t bits;
    std::memcpy(&bits, halves + 2 * i, sizeof bits);
    values[i] = half_bits_to_float(bits);
  }
}

void floats_to_halves_plain(const float* values, std::uint16_t* bits, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) bits[i] = float_to_half_bits(values[i]);
}

// ---- eight at a time: processors with the half-precision conversions ----------

// Whether any of eight halves is a signalling NaN: exponent all ones, quiet
// bit clear, payload nonzero.
[[gnu::target("f16c")]] bool any_signalling(__m128i h) {
  const __m128i top = _mm_and_si128(h, _mm_set1_epi16(0x7E00));
  const __m128i unquiet = _mm_cmpeq_epi16(top, _mm_set1_epi16(0x7C00));
  const __m128i payload = _mm_and_si128(h, _mm_set1_epi16(0x01FF));
  const __m128i empty = _mm_cmpeq_epi16(payload, _mm_setzero_si128());
  return _mm_movemask_epi8(_mm_andnot_si128(empty, unquiet)) != 0;
}

[[gnu::target("f16c")]] void halves_to_floats_f16c(const std::uint8_t* halves, float* values, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(halves + 2 * i));
    _mm256_storeu_ps(values + i, _mm256_cvtph_ps(h));
    // The instruction quiets a signalling NaN; those eight go again by the plain form.
    if (any_signalling(h)) [[unlikely]]
      halves_to_floats_plain(halves + 2 * i, values + i, 8);
  }
  halves_to_floats_plain(halves + 2 * i, values + i, n - i);
}

// The instruction rounds as float_to_half_bits does and makes the same NaNs.
[[gnu::target("f16c")]] void floats_to_halves_f16c(const float* values, std::uint16_t* bits, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm256_cvtps_ph(_mm256_loadu_ps(values + i), _MM_FROUND_TO_NEAREST_INT);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits + i), h);
  }
  floats_to_halves_plain(values + i, bits + i, n - i);
}

// Four 64-bit lane masks as 32-bit ones, lane for lane.
[[gnu::target("avx,f16c")]] __m128i narrow(__m256d m) {
  const __m128 low = _mm_castpd_ps(_mm256_castpd256_pd128(m)), high = _mm_castpd_ps(_mm256_extractf128_pd(m, 1));
  return _mm_castps_si128(_mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0)));
}

// To single precision by rounding to odd (rounded_to_odd), four at a time.
[[gnu::target("avx,f16c")]] __m128 doubles_rounded_to_odd(__m256d value) {
  const __m128 nearest = _mm256_cvtpd_ps(value);
  const __m256d back = _mm256_cvtps_pd(nearest);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d away = _mm256_cmp_pd(_mm256_andnot_pd(sign, back), _mm256_andnot_pd(sign, value), _CMP_GT_OQ);
  const __m256d inexact = _mm256_cmp_pd(back, value, _CMP_NEQ_UQ);
  __m128i bits = _mm_add_epi32(_mm_castps_si128(nearest), narrow(away));  // one less where rounded away
  bits = _mm_or_si128(bits, _mm_srli_epi32(narrow(inexact), 31));
  return _mm_castsi128_ps(bits);
}

[[gnu::target("avx,f16c")]] void doubles_to_halves_f16c(const double* values, std::uint16_t* bits, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128 low = doubles_rounded_to_odd(_mm256_loadu_pd(values + i));
    const __m128 high = doubles_rounded_to_odd(_mm256_loadu_pd(values + i + 4));
    const __m256 odd = _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bits + i), _mm256_cvtps_ph(odd, _MM_FROUND_TO_NEAREST_INT));
  }
  for (; i < n; ++i) bits[i] = double_to_half_bits(values[i]);
}

void doubles_to_halves_plain(const double* values, std::uint16_t* bits, std::size_t n) {
  constexpr std::size_t chunk = 256;
  float odd[chunk];
  for (std::size_t done = 0; done < n; done += chunk) {
    const std::size_t count = n - done < chunk ? n - done : chunk;
    for (std::size_t i = 0; i < count; ++i) odd[i] = rounded_to_odd(values[done + i]);
    floats_to_halves_plain(odd, bits + done, count);
  }
}

struct Converters {
  void (*to_floats)(const std::uint8_t*, float*, std::size_t);
  void (*to_halves)(const float*, std::uint16_t*, std::size_t);
  void (*doubles_to_halves)(const double*, std::uint16_t*, std::size_t);
};

const Converters& converters() {
  static const Converters chosen = has_half_instructions()
                                       ? Converters{halves_to_floats_f16c, floats_to_halves_f16c, doubles_to_halves_f16c}
                                       : Converters{halves_to_floats_plain, floats_to_halves_plain,
                                                    doubles_to_halves_plain};
  return chosen;
}

}  // namespace

bool has_half_instructions() {
  static const bool present = __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c");
  return present;
}

void halves_to_floats(const std::uint16_t* bits, float* values, std::size_t n) {
  converters().to_floats(reinterpret_cast<const std::uint8_t*>(bits), values, n);
}

void halves_to_floats(const std::uint8_t* halves, float* values, std::size_t n) {
  converters().to_floats(halves, values, n);
}

void floats_to_halves(const float* values, std::uint16_t* bits, std::size_t n) {
  converters().to_halves(values, bits, n);
}

void doubles_to_halves(const double* values, std::uint16_t* bits, std::size_t n) {
  converters().doubles_to_halves(values, bits, n);
}

}  // namespace quarvel_storage
