// Masked loops read their mask a block at a time: a block the mask selects
// whole runs as an unmasked block (runs of them as one loop), a block it
// selects nothing of is skipped, and only a block it selects part of runs
// masked. Shared by the fixed-width and the long double loops.
#pragma once

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kernels/strided_loops.h"

namespace quarvel_kernels {

inline constexpr std::size_t mask_block = 256;

constexpr std::ptrdiff_t byte_offset(std::uint64_t i, std::int64_t stride) {
  return static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(stride);
}

inline std::size_t selected_count(const std::uint8_t* mask, std::int64_t mask_stride, std::size_t m) {
  std::size_t count = 0, j = 0;
  if (mask_stride == 1 && m <= 255 * 16) {
    // One per selected byte, summed per byte lane (at most 255 rounds), then across.
    __m128i ones = _mm_setzero_si128();
    for (; j + 16 <= m; j += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + j));
      ones = _mm_sub_epi8(ones, _mm_cmpeq_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128()), _mm_setzero_si128()));
    }
    const __m128i sums = _mm_sad_epu8(ones, _mm_setzero_si128());
    count = static_cast<std::size_t>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
  for (; j < m; ++j) count += mask[byte_offset(j, mask_stride)] != 0;
  return count;
}

// `whole(start, count)` for each run of blocks the mask selects whole and
// `part(start, m, block_mask)` for each block it selects part of, in order;
// the first failed result ends the walk.
template <class Whole, class Part>
LoopResult by_mask_blocks(std::uint64_t n, const std::uint8_t* mask, std::int64_t mask_stride, Whole&& whole,
                          Part&& part) {
  LoopResult result;
  const auto add = [&](LoopResult r) {
    result.faults |= r.faults;
    result.failed = r.failed;
    return !r.failed;
  };
  std::uint64_t pending = 0, pending_start = 0;
  for (std::uint64_t start = 0; start < n; start += mask_block) {
    const auto m = static_cast<std::size_t>(std::min<std::uint64_t>(mask_block, n - start));
    const std::uint8_t* block_mask = mask + byte_offset(start, mask_stride);
    const std::size_t count = selected_count(block_mask, mask_stride, m);
    if (count == m) {
      if (pending == 0) pending_start = start;
      pending += m;
      continue;
    }
    if (pending != 0 && !add(whole(pending_start, pending))) return result;
    pending = 0;
    if (count != 0 && !add(part(start, m, block_mask))) return result;
  }
  if (pending != 0) add(whole(pending_start, pending));
  return result;
}

// The operand pointers of a loop moved on by `start` elements.
template <std::size_t count>
struct MovedArgs {
  std::uint8_t* at[count];
  MovedArgs(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t start) {
    for (std::size_t k = 0; k < count; ++k) at[k] = args[k] + byte_offset(start, strides[k]);
  }
};

}  // namespace quarvel_kernels
