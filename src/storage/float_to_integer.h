// Many doubles cast to an integer type at once: float_to_integer and
// integer_cast_is_invalid of cast.h, two values at a time with the
// conversion instructions of SSE2 (which every x86-64 processor has).
//
// The instructions give the "integer indefinite" (the lowest value of their
// width) for NaN and out-of-range values; the saturation and NaN rules of
// cast.h are laid over that with lane masks.
#pragma once

#include <emmintrin.h>
#include <xmmintrin.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "storage/cast.h"

namespace quarvel_storage {

// out[i] = float_to_integer<T>(x[i]) for i < n (n even); whether any x[i]
// leaves the faithful range (integer_cast_is_invalid).
template <class T>
bool doubles_to_integers(const double* x, T* out, std::size_t n);

// The same from floats to int32 (any n), four at a time without widening:
// a float is at or above 2^31, or below -2^31, exactly where its double is.
inline bool floats_to_int32s(const float* x, std::int32_t* out, std::size_t n);

// ---------------------------------------------------------------------------

namespace float_to_integer_detail {

// The two 64-bit lanes of a mask as 32-bit lanes 0 and 1.
[[gnu::always_inline]] inline __m128i narrow_mask(__m128d m) {
  return _mm_shuffle_epi32(_mm_castpd_si128(m), _MM_SHUFFLE(3, 3, 2, 0));
}

[[gnu::always_inline]] inline __m128i each_to_int64(__m128d v) {
  return _mm_set_epi64x(_mm_cvttsd_si64(_mm_unpackhi_pd(v, v)), _mm_cvttsd_si64(v));
}

}  // namespace float_to_integer_detail

template <class T>
bool doubles_to_integers(const double* x, T* out, std::size_t n) {
  using namespace float_to_integer_detail;
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
  constexpr DType target = dtype_of<T>;
  constexpr FloatRange range = float_range(target);
  constexpr IntegerRange integers = integer_range(target);
  const __m128d hi = _mm_set1_pd(range.hi);
  __m128d invalid = _mm_setzero_pd();
  for (std::size_t i = 0; i < n; i += 2) {
    const __m128d v = _mm_loadu_pd(x + i);
    const __m128d nan = _mm_cmpunord_pd(v, v);
    const __m128d high = _mm_cmpge_pd(v, hi);
    invalid = _mm_or_pd(invalid, _mm_or_pd(_mm_or_pd(nan, high), _mm_cmple_pd(v, _mm_set1_pd(range.below))));
    if constexpr (integers.hi == (__int128{1} << 31)) {
      // The 32-bit range: below it the instruction's INT32_MIN is the
      // saturation value already; at or above it INT32_MIN ^ ~0 = INT32_MAX.
      __m128i r = _mm_cvttpd_epi32(v);
      r = _mm_andnot_si128(narrow_mask(nan), _mm_xor_si128(r, narrow_mask(high)));
      if constexpr (sizeof(T) == 4) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), r);
      } else {
        out[i] = static_cast<T>(_mm_cvtsi128_si32(r));
        out[i + 1] = static_cast<T>(_mm_cvtsi128_si32(_mm_shuffle_epi32(r, 1)));
      }
      continue;
    } else {
      __m128i r;
      if constexpr (std::is_same_v<T, std::int64_t>) {
        // Likewise in 64 bits.
        r = _mm_andnot_si128(_mm_castpd_si128(nan), _mm_xor_si128(each_to_int64(v), _mm_castpd_si128(high)));
      } else {
        // uint32 and uint64: [0, hi). Values from 2^63 convert less 2^63
        // (exactly: such doubles are integers) and get the bit back.
        const __m128d inside = _mm_and_pd(_mm_cmpgt_pd(v, _mm_setzero_pd()), _mm_cmplt_pd(v, hi));
        __m128i wide;
        if constexpr (std::is_same_v<T, std::uint64_t>) {
          const __m128d top = _mm_set1_pd(0x1p63);
          const __m128d big = _mm_cmpge_pd(v, top);
          wide = _mm_xor_si128(each_to_int64(_mm_sub_pd(v, _mm_and_pd(big, top))),
                               _mm_and_si128(_mm_castpd_si128(big), _mm_set1_epi64x(INT64_MIN)));
        } else {
          wide = each_to_int64(v);
        }
        r = _mm_or_si128(_mm_and_si128(wide, _mm_castpd_si128(inside)), _mm_castpd_si128(high));
      }
      out[i] = static_cast<T>(_mm_cvtsi128_si64(r));
      out[i + 1] = static_cast<T>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(r, r)));
    }
  }
  return _mm_movemask_pd(invalid) != 0;
}

inline bool floats_to_int32s(const float* x, std::int32_t* out, std::size_t n) {
  const __m128 hi = _mm_set1_ps(0x1p31f), lo = _mm_set1_ps(-0x1p31f);
  __m128 invalid = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(x + i);
    const __m128 nan = _mm_cmpunord_ps(v, v), high = _mm_cmpge_ps(v, hi);
    invalid = _mm_or_ps(invalid, _mm_or_ps(_mm_or_ps(nan, high), _mm_cmplt_ps(v, lo)));
    // As for doubles: INT32_MIN below the range, flipped to INT32_MAX above it.
    const __m128i r = _mm_andnot_si128(_mm_castps_si128(nan), _mm_xor_si128(_mm_cvttps_epi32(v), _mm_castps_si128(high)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
  }
  bool any = _mm_movemask_ps(invalid) != 0;
  for (; i < n; ++i) {
    any |= integer_cast_is_invalid(static_cast<double>(x[i]), float_range(DType::Int32));
    out[i] = float_to_integer<std::int32_t>(x[i]);
  }
  return any;
}

}  // namespace quarvel_storage
