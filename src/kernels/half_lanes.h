// Float16 loops eight elements at a time with the processor's half-precision
// conversions (F16C, with AVX for the single-precision work), on processors
// that have them: a loop asks half_instructions() once per call.
//
// Eight halves are converted to floats (a signalling NaN made quiet, as the
// element form's reading makes it), computed, rounded to half by the
// instruction (round to nearest even, and a NaN's payload cut as
// float_to_half_bits cuts it), screened on the result bits and written.
// Every lane gives the element form's bits, NaN included: a NaN lane of a sum
// or product is computed again taking a NaN second operand for both of its
// operands, as real_arithmetic does, so whichever order the instruction takes
// them in, the NaN is the one the element form returns; the extremes select
// as real_extreme does. A group the screen refuses somewhere is classified
// by the typed classification, all eight lanes at once. The eight inputs are
// read before the eight results are written, so an output may be an input at
// the same positions.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels/binary_float.h"
#include "kernels/classify.h"
#include "kernels/element_forms.h"
#include "kernels/ops.h"
#include "kernels/strided_loops.h"
#include "kernels/unary_float.h"
#include "storage/float16.h"

namespace quarvel_kernels::half_lanes {

using element_forms::is_comparison;

template <Op op>
inline constexpr bool is_lane_op = is_real_arithmetic<op> || is_real_extreme<op> || is_comparison<op> ||
                                   op == Op::sqrt || op == Op::square || op == Op::reciprocal ||
                                   op == Op::negative || op == Op::absolute || op == Op::fabs ||
                                   op == Op::positive || op == Op::conjugate;

// The truth tests and the logical operations, answered from the halves' bits.
template <Op op>
inline constexpr bool is_truth_op = op == Op::isnan || op == Op::isinf || op == Op::isfinite ||
                                    op == Op::signbit || op == Op::logical_not || element_forms::is_logical<op>;

// Half inputs and one Half result (a bool one for the comparisons and truths).
template <Op op, class A, class B, class R>
inline constexpr bool handles =
    (is_lane_op<op> || is_truth_op<op>) && op_info(op).nout == 1 && std::is_same_v<A, Half> &&
    std::is_same_v<B, Half> && std::is_same_v<R, std::conditional_t<is_comparison<op> || is_truth_op<op>, bool, Half>>;

inline bool half_instructions() { return quarvel_storage::has_half_instructions(); }

#define QUARVEL_HALF_LANES gnu::target("avx,f16c"), gnu::always_inline

// Eight halves from p, `stride` bytes apart.
[[QUARVEL_HALF_LANES]] inline __m128i load_halves(const std::uint8_t* p, std::ptrdiff_t stride) {
  if (stride == 2) return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  std::uint16_t h[8];
  for (std::ptrdiff_t i = 0; i < 8; ++i) std::memcpy(&h[i], p + i * stride, sizeof h[i]);
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(h));
}

template <class T>
[[QUARVEL_HALF_LANES]] inline void store_lanes(std::uint8_t* p, std::ptrdiff_t stride, const T (&v)[8]) {
  if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
    std::memcpy(p, v, sizeof v);
    return;
  }
  for (std::ptrdiff_t i = 0; i < 8; ++i) std::memcpy(p + i * stride, &v[i], sizeof v[i]);
}

// yes where m is set, else no (bitwise: a blend the compiler may not turn
// into lane-by-lane work where AVX lacks the 256-bit integer operations).
[[QUARVEL_HALF_LANES]] inline __m256 select(__m256 m, __m256 yes, __m256 no) {
  return _mm256_or_ps(_mm256_and_ps(m, yes), _mm256_andnot_ps(m, no));
}

[[QUARVEL_HALF_LANES]] inline __m256 nan_lanes(__m256 x) { return _mm256_cmp_ps(x, x, _CMP_UNORD_Q); }

// Sums and products whose NaN lanes take the NaN the element form gives.
template <Op op>
inline constexpr bool pins_nan_lanes = op == Op::add || op == Op::multiply;

// The single-precision result of each lane: the unrounded form of
// element_forms.h, NaN included; with `pinned`, a sum's or a product's NaN
// second operand taken for both operands, as real_arithmetic takes it (a
// block takes only its NaN lanes so, the others being the same).
template <Op op, bool pinned = false>
[[QUARVEL_HALF_LANES]] inline __m256 compute_lanes(__m256 a, __m256 b) {
  using enum Op;
  const __m256 sign_bit = _mm256_set1_ps(-0.0f);
  if constexpr (pinned) a = select(nan_lanes(b), b, a);
  if constexpr (op == add) {
    return _mm256_add_ps(a, b);
  } else if constexpr (op == subtract) {
    return _mm256_sub_ps(a, b);
  } else if constexpr (op == multiply) {
    return _mm256_mul_ps(a, b);
  } else if constexpr (op == divide) {
    return _mm256_div_ps(a, b);
  } else if constexpr (op == sqrt) {
    return _mm256_sqrt_ps(a);
  } else if constexpr (op == square) {
    return _mm256_mul_ps(a, a);
  } else if constexpr (op == reciprocal) {
    return _mm256_div_ps(_mm256_set1_ps(1.0f), a);
  } else if constexpr (op == negative) {
    return _mm256_xor_ps(a, sign_bit);
  } else if constexpr (op == absolute || op == fabs) {
    return _mm256_andnot_ps(sign_bit, a);
  } else if constexpr (op == positive || op == conjugate) {
    return a;
  } else {
    static_assert(is_real_extreme<op>);
    // The larger (smaller), a tie of zeros settled on b for maximum and
    // minimum, on a for fmax and fmin; then the NaN operands as they propagate.
    constexpr bool larger = op == maximum || op == fmax;
    const __m256 pick_a = larger ? _mm256_cmp_ps(b, a, _CMP_LE_OQ) : _mm256_cmp_ps(a, b, _CMP_LE_OQ);
    __m256 r = select(pick_a, a, b);
    // Both zero exactly where their bit patterns ORed are a zero.
    const __m256 zeros = _mm256_cmp_ps(_mm256_or_ps(a, b), _mm256_setzero_ps(), _CMP_EQ_OQ);
    if constexpr (op == maximum || op == minimum) {
      r = select(zeros, b, r);
      r = select(nan_lanes(b), b, r);
      return select(nan_lanes(a), a, r);
    } else {
      r = select(zeros, a, r);
      r = select(nan_lanes(a), b, r);
      return select(nan_lanes(b), a, r);
    }
  }
}

template <Op op>
[[QUARVEL_HALF_LANES]] inline __m256 comparison_lanes(__m256 a, __m256 b) {
  using enum Op;
  if constexpr (op == less) return _mm256_cmp_ps(a, b, _CMP_LT_OQ);
  if constexpr (op == less_equal) return _mm256_cmp_ps(a, b, _CMP_LE_OQ);
  if constexpr (op == equal) return _mm256_cmp_ps(a, b, _CMP_EQ_OQ);
  if constexpr (op == not_equal) return _mm256_cmp_ps(a, b, _CMP_NEQ_UQ);
  if constexpr (op == greater) return _mm256_cmp_ps(a, b, _CMP_GT_OQ);
  if constexpr (op == greater_equal) return _mm256_cmp_ps(a, b, _CMP_GE_OQ);
}

// The truth of eight halves as 16-bit lane masks, from their bits: NaN is
// truthy, and signbit reads a NaN's sign.
//   binary16  s eeeee mmmmmmmmmm: infinite at magnitude 0x7C00, NaN above
template <Op op>
[[QUARVEL_HALF_LANES]] inline __m128i truth_lanes(__m128i a, __m128i b) {
  using enum Op;
  const __m128i infinity = _mm_set1_epi16(0x7C00);
  const __m128i magnitude = _mm_and_si128(a, _mm_set1_epi16(0x7FFF));
  const __m128i a_zero = _mm_cmpeq_epi16(magnitude, _mm_setzero_si128());
  const __m128i b_zero = _mm_cmpeq_epi16(_mm_and_si128(b, _mm_set1_epi16(0x7FFF)), _mm_setzero_si128());
  if constexpr (op == isnan) return _mm_cmpgt_epi16(magnitude, infinity);
  if constexpr (op == isinf) return _mm_cmpeq_epi16(magnitude, infinity);
  if constexpr (op == isfinite) return _mm_cmplt_epi16(magnitude, infinity);
  if constexpr (op == signbit) return _mm_srai_epi16(a, 15);
  if constexpr (op == logical_not) return a_zero;
  if constexpr (op == logical_and) return _mm_andnot_si128(_mm_or_si128(a_zero, b_zero), _mm_set1_epi16(-1));
  if constexpr (op == logical_or) return _mm_andnot_si128(_mm_and_si128(a_zero, b_zero), _mm_set1_epi16(-1));
  if constexpr (op == logical_xor) return _mm_xor_si128(a_zero, b_zero);
}

// Eight 32-bit lane masks as eight 16-bit ones.
[[QUARVEL_HALF_LANES]] inline __m128i narrow(__m256 m) {
  const __m256i bits = _mm256_castps_si256(m);
  return _mm_packs_epi32(_mm256_castsi256_si128(bits), _mm256_extractf128_si256(bits, 1));
}

// The lanes the typed screen passes, from the result bits and the inputs:
// screen_unary_half / screen_binary_half of classify.h on eight lanes.
template <Op op>
[[QUARVEL_HALF_LANES]] inline __m128i screen_lanes(__m256 a, __m256 b, __m128i r) {
  constexpr FaultRule rule = fault_rule(op);
  static_assert(!rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine);
  //   binary16  s eeeee mmmmmmmmmm: normal for e in 1..30
  const __m128i magnitude = _mm_and_si128(r, _mm_set1_epi16(0x7FFF));
  __m128i quiet = _mm_and_si128(_mm_cmpgt_epi16(magnitude, _mm_set1_epi16(0x03FF)),
                                _mm_cmplt_epi16(magnitude, _mm_set1_epi16(0x7C00)));
  if constexpr (!rule.flush_to_zero) quiet = _mm_or_si128(quiet, _mm_cmpeq_epi16(magnitude, _mm_setzero_si128()));
  if constexpr (rule.zero == ZeroRule::division) {
    quiet = _mm_and_si128(quiet, narrow(_mm256_cmp_ps(b, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
  } else if constexpr (rule.zero == ZeroRule::zero_input) {
    quiet = _mm_and_si128(quiet, narrow(_mm256_cmp_ps(a, _mm256_setzero_ps(), _CMP_NEQ_UQ)));
  } else {
    static_assert(rule.zero == ZeroRule::none);
  }
  return quiet;
}

// Eight 16-bit lane masks as eight bool elements: 0 or 1.
[[QUARVEL_HALF_LANES]] inline void store_truths(std::uint8_t* p, std::ptrdiff_t stride, __m128i m) {
  std::uint8_t bytes[8];
  _mm_storel_epi64(reinterpret_cast<__m128i*>(bytes),
                   _mm_and_si128(_mm_packs_epi16(m, _mm_setzero_si128()), _mm_set1_epi8(1)));
  store_lanes(p, stride, bytes);
}

// Each bit of a 16-bit lane mask's movemask pair, as one bit per lane.
[[QUARVEL_HALF_LANES]] inline unsigned lane_bits(__m128i m) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(m, _mm_setzero_si128())));
}

// `flag` where any lane of m is set.
[[QUARVEL_HALF_LANES]] inline std::uint32_t flag_if(__m256 m, std::uint32_t flag) {
  return _mm256_movemask_ps(m) != 0 ? flag : 0u;
}

[[QUARVEL_HALF_LANES]] inline __m256 equal_lanes(__m256 x, __m256 y) { return _mm256_cmp_ps(x, y, _CMP_EQ_OQ); }

// The single-precision value a rounded float16 result v of a sum,
// difference, product or square rounds: exact in single precision for
// finite halves wherever v is zero or subnormal (a product of two 11-bit
// significands fits in 24 bits; such a sum or difference is a multiple of
// 2^-24 below 2^-14), and infinite or NaN beside an infinite or NaN operand.
template <Op op>
inline constexpr bool rounds_exact_float = [] {
  using enum ExactRow;
  constexpr ExactRow row = fault_rule(op).exact;
  return row == sum || row == difference || row == product || row == square;
}();

template <Op op>
[[QUARVEL_HALF_LANES]] inline __m256 exact_float_lanes(__m256 a, __m256 b) {
  using enum ExactRow;
  constexpr ExactRow row = fault_rule(op).exact;
  if constexpr (row == sum) return _mm256_add_ps(a, b);
  else if constexpr (row == difference) return _mm256_sub_ps(a, b);
  else if constexpr (row == product) return _mm256_mul_ps(a, b);
  else return _mm256_mul_ps(a, a);
}

// Where a subnormal result v is the exact value of op, for the rows
// rounds_exact_float leaves.
template <Op op>
[[QUARVEL_HALF_LANES]] inline __m256 exact_lanes(__m256 a, __m256 b, __m256 v) {
  using enum ExactRow;
  constexpr ExactRow row = fault_rule(op).exact;
  if constexpr (row == quotient) return equal_lanes(_mm256_mul_ps(v, b), a);
  else if constexpr (row == reciprocal) return equal_lanes(_mm256_mul_ps(v, a), _mm256_set1_ps(1.0f));
  else if constexpr (row == same) return equal_lanes(v, a);
  else if constexpr (row == negated) return equal_lanes(v, _mm256_xor_ps(a, _mm256_set1_ps(-0.0f)));
  else if constexpr (row == magnitude) return equal_lanes(v, _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a));
  else if constexpr (row == either) return _mm256_or_ps(equal_lanes(v, a), equal_lanes(v, b));
  else {
    static_assert(row == never);
    return _mm256_setzero_ps();
  }
}

// The lanes where each flag was raised, gathered over the groups of a run.
struct LaneFlags {
  __m256 divide, over, under, invalid;
};

// The flags of eight lanes at once: the common rules of the typed
// classification for the operations here, none of which has an
// intermediate or a cosine rule, gathered into `seen`. Each test is taken
// only where the rules read it, on the single-precision values: a float16
// value is normal or zero there, so x - x is 0 for a finite x and NaN for an
// infinite or NaN one, at no cost for a small x. The result is read as u,
// the single-precision value r rounds (its class decided by where u lies
// against the ties of that rounding), and converted back from r only for
// the exactness of a group's zero or subnormal results: the conversions
// bound these loops, and a second one for every refused group would double
// the time of a group of ordinary lanes.
template <Op op>
[[QUARVEL_HALF_LANES]] inline void classify_lanes(__m256 a, __m256 b, __m256 u, __m128i r, LaneFlags& seen) {
  constexpr FaultRule rule = fault_rule(op);
  static_assert(!rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine && !rule.nan_for_infinite_input &&
                !rule.nan_for_zero_divisor && !rule.nan_for_infinite_dividend);
  const __m256 a_span = _mm256_sub_ps(a, a), b_span = _mm256_sub_ps(b, b);
  const __m256 all_finite = _mm256_cmp_ps(a_span, b_span, _CMP_ORD_Q);
  // A NaN result from no NaN operand.
  if (const __m256 nan = nan_lanes(u); _mm256_movemask_ps(nan) != 0)
    seen.invalid = _mm256_or_ps(seen.invalid, _mm256_andnot_ps(_mm256_cmp_ps(a, b, _CMP_UNORD_Q), nan));
  // Every lane with an infinite or NaN operand: no other rule can fire
  // (overflow and the flush to zero want finite operands, the zero rules a
  // zero beside a finite first operand, and a result beside such an operand
  // is never subnormal but an extreme's operand, which is exact).
  if (_mm256_movemask_ps(all_finite) == 0) return;
  const __m256 none = _mm256_setzero_ps();
  const __m256 magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), u);
  // Where the result rounded to half is infinite, and where it is zero or
  // subnormal (ties to even: up to infinity at 65520, up to 2^-14 at
  // 2^-14 - 2^-25).
  if (__m256 over = _mm256_and_ps(_mm256_cmp_ps(magnitude, _mm256_set1_ps(65520.0f), _CMP_GE_OQ), all_finite);
      _mm256_movemask_ps(over) != 0) {
    if constexpr (rule.zero == ZeroRule::division) {
      // A finite x / 0 is infinite where x is not zero (0 / 0 is NaN:
      // invalid above).
      const __m256 b_zero = _mm256_cmp_ps(b, none, _CMP_EQ_OQ);
      seen.divide = _mm256_or_ps(seen.divide, _mm256_and_ps(b_zero, over));
      over = _mm256_andnot_ps(b_zero, over);
    } else if constexpr (rule.zero == ZeroRule::zero_input) {
      const __m256 a_zero = _mm256_cmp_ps(a, none, _CMP_EQ_OQ);
      seen.divide = _mm256_or_ps(seen.divide, a_zero);
      over = _mm256_andnot_ps(a_zero, over);
    } else {
      static_assert(rule.zero == ZeroRule::none);
    }
    seen.over = _mm256_or_ps(seen.over, over);
  }
  const __m256 small = _mm256_cmp_ps(magnitude, _mm256_set1_ps(0x1p-14f - 0x1p-25f), _CMP_LT_OQ);
  if (_mm256_movemask_ps(small) == 0) return;
  const __m256 v = _mm256_cvtph_ps(r);
  __m256 under;
  if constexpr (rounds_exact_float<op>) {
    // The flush to zero (a product's) and an inexact subnormal at once: a
    // zero or subnormal v that is not the exact value u.
    under = _mm256_and_ps(small, _mm256_cmp_ps(v, u, _CMP_NEQ_UQ));
  } else if constexpr (rule.flush_to_zero) {
    // A quotient's or a reciprocal's, the flush to zero at once: a zero v
    // from finite operands fails v b == a (v x == 1) exactly where a is not
    // zero (x / 0 is never zero).
    static_assert(rule.exact == ExactRow::quotient || rule.exact == ExactRow::reciprocal);
    under = _mm256_andnot_ps(exact_lanes<op>(a, b, v), _mm256_and_ps(small, all_finite));
  } else {
    const __m256 r_zero = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_EQ_OQ);
    under = _mm256_andnot_ps(_mm256_or_ps(r_zero, exact_lanes<op>(a, b, v)), small);
  }
  seen.under = _mm256_or_ps(seen.under, under);
}

// Whole groups of eight, then the elements after them one by one (`rest`).
template <class K, class Rest>
[[gnu::target("avx,f16c")]] LoopResult run([[maybe_unused]] const typename K::State& state, std::uint8_t* const* args,
                                           const std::int64_t* strides, std::uint64_t n, Rest rest) {
  constexpr Op op = K::op;
  constexpr bool two = K::nin == 2;
  using R = typename K::R1;
  const std::uint8_t* in[2] = {args[0], args[K::nin - 1]};
  const std::ptrdiff_t step[2] = {strides[0], strides[K::nin - 1]};
  std::uint8_t* out = args[K::nin];
  const std::ptrdiff_t out_step = strides[K::nin];
  LoopResult result;
  const __m256 none = _mm256_setzero_ps();
  LaneFlags seen{none, none, none, none};
  const auto groups = static_cast<std::ptrdiff_t>(n / 8);
  for (std::ptrdiff_t g = 0; g < groups; ++g) {
    const std::ptrdiff_t first = g * 8;
    if constexpr (is_truth_op<op>) {
      // Never a fault: a bool result, and no rule reads the inputs.
      static_assert(fault_rule(op).zero == ZeroRule::none && !fault_rule(op).log_add_exp);
      const __m128i a = load_halves(in[0] + first * step[0], step[0]);
      const __m128i b = two ? load_halves(in[1] + first * step[1], step[1]) : a;
      store_truths(out + first * out_step, out_step, truth_lanes<op>(a, b));
      continue;
    }
    const __m256 a = _mm256_cvtph_ps(load_halves(in[0] + first * step[0], step[0]));
    const __m256 b = two ? _mm256_cvtph_ps(load_halves(in[1] + first * step[1], step[1])) : a;
    if constexpr (is_comparison<op>) {
      // Never a fault: a bool result, and no rule reads the inputs.
      store_truths(out + first * out_step, out_step, narrow(comparison_lanes<op>(a, b)));
      continue;
    } else if constexpr (!is_truth_op<op>) {
      const __m256 u = compute_lanes<op>(a, b);
      __m128i r = _mm256_cvtps_ph(u, _MM_FROUND_TO_NEAREST_INT);
      if (lane_bits(screen_lanes<op>(a, b, r)) != 0xFFu) [[unlikely]] {
        if constexpr (pins_nan_lanes<op>) {
          const __m256 nan = nan_lanes(u);
          if (_mm256_movemask_ps(nan) != 0)
            r = _mm256_cvtps_ph(select(nan, compute_lanes<op, true>(a, b), u), _MM_FROUND_TO_NEAREST_INT);
        }
        classify_lanes<op>(a, b, u, r, seen);
      }
      std::uint16_t bits[8];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(bits), r);
      static_assert(std::is_same_v<R, Half>);
      store_lanes(out + first * out_step, out_step, bits);
    }
  }
  result.faults = flag_if(seen.divide, fault_divide) | flag_if(seen.over, fault_over) |
                  flag_if(seen.under, fault_under) | flag_if(seen.invalid, fault_invalid);
  const auto done = static_cast<std::uint64_t>(groups) * 8;
  if (done == n) return result;
  const LoopResult tail = rest(done);
  return {result.faults | tail.faults, tail.failed};
}

// An accumulation of float16 arithmetic: the chain in single precision, each
// step rounded to half by the instruction (a NaN step by the element form),
// its steps screened on the result bits and classified where refused.
template <Op op, class A, class B, class R>
inline constexpr bool scans = is_real_arithmetic<op> && std::is_same_v<A, Half> && std::is_same_v<B, Half> &&
                              std::is_same_v<R, Half>;

template <class K>
[[gnu::target("avx,f16c")]] LoopResult scan(const typename K::State& state, std::uint8_t* const* args,
                                            const std::int64_t* strides, std::uint64_t n) {
  constexpr Op op = K::op;
  auto half_at = [](const std::uint8_t* p) {
    std::uint16_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return Half{quarvel_storage::half_bits_to_float(bits)};
  };
  const std::uint8_t* const operand = args[1];
  std::uint8_t* const output = args[2];
  const std::int64_t in_step = strides[1], out_step = strides[2];
  LoopResult result;
  // The running value in the low lane of a register: the chain never leaves it.
  __m128 running = _mm_set_ss(half_at(args[0]).value);
  // The last step of a NaN running value by a number: the element form hands
  // that NaN on whatever the number, so the next such step repeats it.
  bool carried = false;
  std::uint32_t carried_from = 0;
  std::uint16_t carried_bits = 0;
  float carried_value = 0;
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    const Half a{_mm_cvtss_f32(running)};
    const Half b = half_at(operand + i * in_step);
    const __m128 y = _mm_set_ss(b.value);
    __m128 u;
    if constexpr (op == Op::add) u = _mm_add_ss(running, y);
    else if constexpr (op == Op::subtract) u = _mm_sub_ss(running, y);
    else if constexpr (op == Op::multiply) u = _mm_mul_ss(running, y);
    else u = _mm_div_ss(running, y);
    const __m128i rounded = _mm_cvtps_ph(u, _MM_FROUND_TO_NEAREST_INT);
    auto bits = static_cast<std::uint16_t>(_mm_cvtsi128_si32(rounded));
    running = _mm_cvtph_ps(rounded);
    if (const float v = _mm_cvtss_f32(u); v != v) [[unlikely]] {
      const bool by_number = a.value != a.value && b.value == b.value;
      const auto from = std::bit_cast<std::uint32_t>(a.value);
      if (by_number && carried && from == carried_from) {
        bits = carried_bits;
        running = _mm_set_ss(carried_value);
      } else {
        Half r{};
        K::compute(state, a, b, r, r);
        bits = quarvel_storage::float_to_half_bits(r.value);
        running = _mm_set_ss(r.value);
        if (by_number) {
          carried = true;
          carried_from = from;
          carried_bits = bits;
          carried_value = r.value;
        }
      }
      if (a.value != a.value) {
        // NaN op x is NaN, and with a NaN input no rule fires on it.
        std::memcpy(output + i * out_step, &bits, sizeof bits);
        continue;
      }
    }
    if (!screen_binary_half<op>(a, b, bits)) [[unlikely]]
      result.faults |= K::classify(a, b, Half{quarvel_storage::half_bits_to_float(bits)}, Half{});
    std::memcpy(output + i * out_step, &bits, sizeof bits);
  }
  return result;
}

#undef QUARVEL_HALF_LANES

}  // namespace quarvel_kernels::half_lanes
