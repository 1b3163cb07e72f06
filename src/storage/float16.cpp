#include "storage/float16.h"

#include <immintrin.h>

namespace quarvel_storage {

namespace {

// ---- one element at a time: every processor ----------------------------------

void halves_to_floats_plain(const std::uint16_t* bits, float* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) values[i] = half_bits_to_float(bits[i]);
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

[[gnu::target("f16c")]] void halves_to_floats_f16c(const std::uint16_t* bits, float* values, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bits + i));
    _mm256_storeu_ps(values + i, _mm256_cvtph_ps(h));
    // The instruction quiets a signalling NaN; those eight go again by the plain form.
    if (any_signalling(h)) [[unlikely]]
      halves_to_floats_plain(bits + i, values + i, 8);
  }
  halves_to_floats_plain(bits + i, values + i, n - i);
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

struct Converters {
  void (*to_floats)(const std::uint16_t*, float*, std::size_t);
  void (*to_halves)(const float*, std::uint16_t*, std::size_t);
};

const Converters& converters() {
  static const Converters chosen = __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c")
                                       ? Converters{halves_to_floats_f16c, floats_to_halves_f16c}
                                       : Converters{halves_to_floats_plain, floats_to_halves_plain};
  return chosen;
}

}  // namespace

void halves_to_floats(const std::uint16_t* bits, float* values, std::size_t n) {
  converters().to_floats(bits, values, n);
}

void floats_to_halves(const float* values, std::uint16_t* bits, std::size_t n) {
  converters().to_halves(values, bits, n);
}

void doubles_to_halves(const double* values, std::uint16_t* bits, std::size_t n) {
  constexpr std::size_t chunk = 256;
  float odd[chunk];
  for (std::size_t done = 0; done < n; done += chunk) {
    const std::size_t count = n - done < chunk ? n - done : chunk;
    for (std::size_t i = 0; i < count; ++i) odd[i] = rounded_to_odd(values[done + i]);
    floats_to_halves(odd, bits + done, count);
  }
}

}  // namespace quarvel_storage
