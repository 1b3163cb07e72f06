// Complex64 and complex128 arithmetic a block at a time, on the parts as
// vectors of floats or doubles (SSE2, which every x86-64 processor has).
//
// A block's elements are split into a vector of real parts and one of
// imaginary parts, a lane per element, so the formulas run as they are
// written. Sums, differences and products give every lane's bits, NaN parts
// too: a sum or product takes a NaN second operand for both its operands, so
// no order of commutative operands changes which NaN comes out. Squares and
// reciprocals with a NaN part, and quotients the formula leaves to a careful
// path with an infinite or NaN part, are computed again by the element form,
// which is what the element path runs; finite ones are scaled in the lanes.
//
// The screen is the typed classification's, on whole vectors: results with
// zero or normal parts (not both zero where the operation flushes to zero),
// and no zero divisor.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <xmmintrin.h>
#include <limits>
#include <type_traits>

#include "kernels/binary_float.h"
#include "kernels/classify.h"
#include "kernels/ops.h"
#include "kernels/unary_float.h"

namespace quarvel_kernels::complex_blocks {

// A vector of float or double lanes, and its lane masks (all ones where
// true) in the same type. Intrinsics throughout: masks of 64-bit lanes that
// the compiler builds itself it may move through general registers.
template <class F>
struct Vector;
template <>
struct Vector<double> {
  using type = __m128d;
};
template <>
struct Vector<float> {
  using type = __m128;
};
template <class F>
using V = typename Vector<F>::type;
template <class F>
inline constexpr std::ptrdiff_t lanes = 16 / sizeof(F);

// The operations handled here, and for which element types.
template <Op op>
inline constexpr bool is_block_op =
    op == Op::add || op == Op::subtract || op == Op::multiply || op == Op::divide || op == Op::square ||
    op == Op::reciprocal;
template <Op op, class A, class B, class R>
inline constexpr bool handles = is_block_op<op> && is_complex_element<A> && std::is_same_v<A, B> &&
                                std::is_same_v<A, R> && op_info(op).nin == (op == Op::square || op == Op::reciprocal ? 1 : 2);

template <class F>
struct Parts {
  V<F> re, im;
};

#define QUARVEL_LANES(name, pd, ps)                                                   \
  [[gnu::always_inline]] inline __m128d name(__m128d a, __m128d b) { return pd(a, b); } \
  [[gnu::always_inline]] inline __m128 name(__m128 a, __m128 b) { return ps(a, b); }
QUARVEL_LANES(add, _mm_add_pd, _mm_add_ps)
QUARVEL_LANES(sub, _mm_sub_pd, _mm_sub_ps)
QUARVEL_LANES(mul, _mm_mul_pd, _mm_mul_ps)
QUARVEL_LANES(div, _mm_div_pd, _mm_div_ps)
QUARVEL_LANES(lane_min, _mm_min_pd, _mm_min_ps)
QUARVEL_LANES(lane_max, _mm_max_pd, _mm_max_ps)
QUARVEL_LANES(less, _mm_cmplt_pd, _mm_cmplt_ps)
QUARVEL_LANES(less_equal, _mm_cmple_pd, _mm_cmple_ps)
QUARVEL_LANES(equal, _mm_cmpeq_pd, _mm_cmpeq_ps)
QUARVEL_LANES(not_equal, _mm_cmpneq_pd, _mm_cmpneq_ps)  // true for NaN
QUARVEL_LANES(unordered, _mm_cmpunord_pd, _mm_cmpunord_ps)
QUARVEL_LANES(both, _mm_and_pd, _mm_and_ps)
QUARVEL_LANES(either, _mm_or_pd, _mm_or_ps)
QUARVEL_LANES(but_not, _mm_andnot_pd, _mm_andnot_ps)  // ~a & b
#undef QUARVEL_LANES

[[gnu::always_inline]] inline int mask_bits(__m128d m) { return _mm_movemask_pd(m); }
[[gnu::always_inline]] inline int mask_bits(__m128 m) { return _mm_movemask_ps(m); }

template <class F>
[[gnu::always_inline]] inline V<F> splat(F x) {
  if constexpr (std::is_same_v<F, double>) {
    return _mm_set1_pd(x);
  } else {
    return _mm_set1_ps(x);
  }
}
template <class F>
[[gnu::always_inline]] inline V<F> all_lanes() {
  return equal(splat<F>(0), splat<F>(0));
}
template <class F>
[[gnu::always_inline]] inline V<F> select(V<F> m, V<F> yes, V<F> no) {
  return either(both(m, yes), but_not(m, no));
}

// |x|: the sign bit cleared.
template <class F>
[[gnu::always_inline]] inline V<F> fabs_lanes(V<F> x) {
  return but_not(splat<F>(F(-0.0)), x);
}
template <class F>
[[gnu::always_inline]] inline V<F> is_nan(V<F> x) {
  return unordered(x, x);
}
template <class F>
[[gnu::always_inline]] inline V<F> is_finite(V<F> x) {
  return less_equal(fabs_lanes<F>(x), splat<F>(std::numeric_limits<F>::max()));
}
template <class F>
[[gnu::always_inline]] inline V<F> is_infinite(V<F> x) {
  return equal(fabs_lanes<F>(x), splat<F>(std::numeric_limits<F>::infinity()));
}
template <class F>
[[gnu::always_inline]] inline V<F> is_zero(V<F> x) {
  return equal(x, splat<F>(0));
}
// Zero, or normal and finite.
template <class F>
[[gnu::always_inline]] inline V<F> is_zero_or_normal(V<F> x) {
  const V<F> m = fabs_lanes<F>(x);
  return either(both(less_equal(splat<F>(std::numeric_limits<F>::min()), m),
                     less_equal(m, splat<F>(std::numeric_limits<F>::max()))),
                is_zero<F>(x));
}
template <class F>
[[gnu::always_inline]] inline V<F> is_zero_element(const Parts<F>& z) {
  return both(is_zero<F>(z.re), is_zero<F>(z.im));
}

// ---- the elements of a block as parts ----------------------------------------

// Elements j .. j + lanes of an operand, split; `step` is the byte step
// between elements (their size when contiguous).
template <class F, bool contiguous>
[[gnu::always_inline]] inline Parts<F> load_parts(const std::uint8_t* base, std::ptrdiff_t step, std::ptrdiff_t j) {
  constexpr std::ptrdiff_t size = 2 * sizeof(F);
  V<F> x[2];
  if constexpr (contiguous) {
    std::memcpy(x, base + j * size, sizeof x);
  } else {
    for (std::ptrdiff_t i = 0; i < lanes<F>; ++i)
      std::memcpy(reinterpret_cast<std::uint8_t*>(x) + i * size, base + (j + i) * step, size);
  }
  if constexpr (std::is_same_v<F, double>) {
    return {_mm_unpacklo_pd(x[0], x[1]), _mm_unpackhi_pd(x[0], x[1])};
  } else {
    return {_mm_shuffle_ps(x[0], x[1], _MM_SHUFFLE(2, 0, 2, 0)), _mm_shuffle_ps(x[0], x[1], _MM_SHUFFLE(3, 1, 3, 1))};
  }
}

template <class F>
[[gnu::always_inline]] inline void store_parts(std::complex<F>* out, const Parts<F>& r) {
  V<F> x[2];
  if constexpr (std::is_same_v<F, double>) {
    x[0] = _mm_unpacklo_pd(r.re, r.im);
    x[1] = _mm_unpackhi_pd(r.re, r.im);
  } else {
    x[0] = _mm_unpacklo_ps(r.re, r.im);
    x[1] = _mm_unpackhi_ps(r.re, r.im);
  }
  std::memcpy(static_cast<void*>(out), x, sizeof x);
}

// ---- the formulas -------------------------------------------------------------

// A block's results and the lanes the element form must compute again.
template <class F>
struct Computed {
  Parts<F> r;
  V<F> redo;
};

template <class F>
[[gnu::always_inline]] inline V<F> has_nan(const Parts<F>& r) {
  return either(is_nan<F>(r.re), is_nan<F>(r.im));
}

// x * y and x + y with a NaN y taken for both operands, as real_arithmetic
// takes it: the NaN a lane gives is then the element form's, whichever order
// the instruction takes its operands in.
template <class F>
[[gnu::always_inline]] inline V<F> pinned_mul(V<F> x, V<F> y) {
  return mul(select<F>(is_nan<F>(y), y, x), y);
}
template <class F>
[[gnu::always_inline]] inline V<F> pinned_add(V<F> x, V<F> y) {
  return add(select<F>(is_nan<F>(y), y, x), y);
}

// Lanes of r with a NaN part replaced by those of `pinned()`: the formula
// with its NaN choices fixed, and the same parts where no operand is NaN.
template <class F, class Pinned>
[[gnu::always_inline]] inline Computed<F> with_pinned_nans(const Parts<F>& r, Pinned pinned) {
  const V<F> nan = has_nan<F>(r);
  if (mask_bits(nan) == 0) [[likely]]
    return {r, splat<F>(0)};
  const Parts<F> p = pinned();
  return {{select<F>(nan, p.re, r.re), select<F>(nan, p.im, r.im)}, splat<F>(0)};
}

// The product a * b: complex_product_formula, NaN parts included.
template <class F>
[[gnu::always_inline]] inline Computed<F> product(const Parts<F>& a, const Parts<F>& b) {
  return with_pinned_nans<F>({sub(mul(a.re, b.re), mul(a.im, b.im)), add(mul(a.re, b.im), mul(a.im, b.re))}, [&] {
    return Parts<F>{sub(pinned_mul<F>(a.re, b.re), pinned_mul<F>(a.im, b.im)),
                    pinned_add<F>(pinned_mul<F>(a.re, b.im), pinned_mul<F>(a.im, b.re))};
  });
}

// Parts of moderate size: zero, or of a magnitude within 2^-k .. 2^k (k = 240
// for double, 30 for float). For such parts the products of two are zero or
// normal, sums and differences of two products are finite and zero or normal
// (a cancellation leaves at least a unit of the products' last place), and
// a nonzero |b|^2 is normal: plain_quotient of binary_float.h keeps the plain
// formula for every such a and nonzero b. Other lanes are redone.
template <class F>
inline constexpr F moderate_high = std::is_same_v<F, double> ? F(0x1p240) : F(0x1p30);
template <class F>
[[gnu::always_inline]] inline V<F> is_moderate(V<F> x) {
  const V<F> m = fabs_lanes<F>(x);
  return either(both(less_equal(splat<F>(1 / moderate_high<F>), m), less_equal(m, splat<F>(moderate_high<F>))),
                is_zero<F>(x));
}

// ---- quotients scaled by powers of two ------------------------------------------

// The binary formats, with integer exponents held as values of F (exact):
//
//   binary64  s eeeeeeeeeee f(52)     binary32  s eeeeeeee f(23)
template <class F>
struct Format {
  using Bits = std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>;
  static constexpr int digits = std::numeric_limits<F>::digits, fraction = digits - 1;
  static constexpr int highest = std::numeric_limits<F>::max_exponent - 1, bias = highest;
  static constexpr int lowest = std::numeric_limits<F>::min_exponent - 1;
  static constexpr Bits field = 2 * std::numeric_limits<F>::max_exponent - 1;
  static constexpr Bits exponent_bits = field << fraction, one_bits = Bits{bias} << fraction;
  // 2^digits lifts every subnormal into the normal range.
  static constexpr int lift_exponent = digits;
  static constexpr F lift = F(Bits{1} << digits);
};

template <class F>
[[gnu::always_inline]] inline __m128i bits_of(V<F> x) {
  if constexpr (std::is_same_v<F, double>) return _mm_castpd_si128(x);
  else return _mm_castps_si128(x);
}
template <class F>
[[gnu::always_inline]] inline V<F> from_bits(__m128i x) {
  if constexpr (std::is_same_v<F, double>) return _mm_castsi128_pd(x);
  else return _mm_castsi128_ps(x);
}
template <class F>
[[gnu::always_inline]] inline __m128i splat_bits(std::uint64_t x) {
  if constexpr (std::is_same_v<F, double>) return _mm_set1_epi64x(static_cast<long long>(x));
  else return _mm_set1_epi32(static_cast<int>(x));
}
// The low bits of n, a whole number of F below 2^fraction, as its bits: the
// fraction field of 2^fraction + n.
template <class F>
[[gnu::always_inline]] inline __m128i whole_bits(V<F> n) {
  return bits_of<F>(add(n, splat<F>(F(std::uint64_t{1} << Format<F>::fraction))));
}

// 2^e for whole e of the normal range.
template <class F>
[[gnu::always_inline]] inline V<F> power_of_two(V<F> e) {
  const __m128i biased = whole_bits<F>(add(e, splat<F>(F(Format<F>::bias))));
  if constexpr (std::is_same_v<F, double>) return from_bits<F>(_mm_slli_epi64(biased, Format<F>::fraction));
  else return from_bits<F>(_mm_slli_epi32(biased, Format<F>::fraction));
}

// A finite nonzero x as unit * 2^exponent, unit of x's sign and in [1, 2)
// (its ilogb, subnormals included).
template <class F>
struct Split {
  V<F> unit, exponent;
};
template <class F>
[[gnu::always_inline]] inline Split<F> split(V<F> x) {
  using Fm = Format<F>;
  const V<F> low = less(fabs_lanes<F>(x), splat<F>(std::numeric_limits<F>::min()));
  const __m128i b = bits_of<F>(select<F>(low, mul(x, splat<F>(Fm::lift)), x));
  __m128i field;
  if constexpr (std::is_same_v<F, double>) field = _mm_srli_epi64(b, Fm::fraction);
  else field = _mm_srli_epi32(b, Fm::fraction);
  field = _mm_and_si128(field, splat_bits<F>(Fm::field));
  const V<F> whole = splat<F>(F(std::uint64_t{1} << Fm::fraction));
  const V<F> biased = sub(from_bits<F>(_mm_or_si128(field, bits_of<F>(whole))), whole);
  const V<F> offset = select<F>(low, splat<F>(F(Fm::bias + Fm::lift_exponent)), splat<F>(F(Fm::bias)));
  const V<F> unit = from_bits<F>(_mm_or_si128(_mm_andnot_si128(splat_bits<F>(Fm::exponent_bits), b),
                                              splat_bits<F>(Fm::one_bits)));
  return {unit, sub(biased, offset)};
}

// x * 2^k rounded once, as scalbn gives it, for finite x and whole k, with
// no arithmetic result below the normal range (each costs this processor a
// slow assist per vector). In range, the unit times 2^p in two exact steps
// (the second may overflow). Below it, |x| in units of the smallest
// subnormal, n = |unit| 2^(p - lowest + fraction), is below 2^fraction:
// 2^fraction + n rounds n to a whole number as scalbn rounds the value, and
// its bits less those of 2^fraction are the subnormal's (the smallest normal
// where n rounds up to 2^fraction).
//
//   2^fraction + n   0 eeeeeeeeeee f(52) = n    (binary32: f(23))
template <class F>
[[gnu::always_inline]] inline V<F> scaled(V<F> x, V<F> k) {
  using Fm = Format<F>;
  const Split<F> s = split<F>(x);
  // A zero keeps its exponent, so that it takes neither path's far end.
  const V<F> zero = is_zero<F>(x);
  const V<F> p = but_not(zero, add(s.exponent, k));
  const V<F> first = lane_min(lane_max(p, splat<F>(F(Fm::lowest))), splat<F>(F(Fm::highest)));
  const V<F> second = lane_min(lane_max(sub(p, first), splat<F>(0)), splat<F>(F(Fm::highest)));
  const V<F> in_range = mul(mul(s.unit, power_of_two<F>(first)), power_of_two<F>(second));
  // Below 2^-(2 digits) in those units, n rounds to zero.
  const V<F> to_units = lane_max(add(p, splat<F>(F(Fm::fraction - Fm::lowest))), splat<F>(F(-2 * Fm::digits)));
  const V<F> whole = splat<F>(F(std::uint64_t{1} << Fm::fraction));
  const V<F> rounded = add(mul(fabs_lanes<F>(s.unit), power_of_two<F>(to_units)), whole);
  __m128i n;
  if constexpr (std::is_same_v<F, double>) n = _mm_sub_epi64(bits_of<F>(rounded), bits_of<F>(whole));
  else n = _mm_sub_epi32(bits_of<F>(rounded), bits_of<F>(whole));
  const V<F> below = either(from_bits<F>(n), both(splat<F>(F(-0.0)), x));
  return select<F>(zero, x, select<F>(less(p, splat<F>(F(Fm::lowest))), below, in_range));
}

template <class F>
[[gnu::always_inline]] inline V<F> is_normal(V<F> x) {
  const V<F> m = fabs_lanes<F>(x);
  return both(less_equal(splat<F>(std::numeric_limits<F>::min()), m), less_equal(m, splat<F>(std::numeric_limits<F>::max())));
}

// Where complex_divide scales finite a and b (b nonzero): a squared magnitude
// d of b that is not normal, or a numerator part n that overflowed or is not
// normal where one of its products underflowed.
template <class F>
[[gnu::always_inline]] inline V<F> needs_scaling(const Parts<F>& a, const Parts<F>& b, V<F> d, V<F> nr, V<F> ni) {
  const auto underflowed = [](V<F> x, V<F> y) {
    return but_not(either(either(is_zero<F>(x), is_zero<F>(y)), is_normal<F>(mul(x, y))), all_lanes<F>());
  };
  const auto lost = [&](V<F> n, V<F> x1, V<F> y1, V<F> x2, V<F> y2) {
    return either(but_not(is_finite<F>(n), all_lanes<F>()),
                  but_not(is_normal<F>(n), either(underflowed(x1, y1), underflowed(x2, y2))));
  };
  return either(but_not(is_normal<F>(d), all_lanes<F>()),
                either(lost(nr, a.re, b.re, a.im, b.im), lost(ni, a.im, b.re, a.re, b.im)));
}

// z brought near 1 by 2^-e, e the exponent of its larger part (0 for a zero
// z): that part is its unit with its sign, and only the other is scaled.
template <class F>
struct NearOne {
  Parts<F> z;
  V<F> exponent;
};
template <class F>
[[gnu::always_inline]] inline NearOne<F> near_one(const Parts<F>& z) {
  const V<F> re = fabs_lanes<F>(z.re), im = fabs_lanes<F>(z.im);
  const V<F> by_real = less_equal(im, re), zero = is_zero_element<F>(z);
  const Split<F> larger = split<F>(lane_max(re, im));
  const V<F> e = but_not(zero, larger.exponent);
  const V<F> other = scaled<F>(select<F>(by_real, z.im, z.re), sub(splat<F>(0), e));
  const V<F> sign = splat<F>(F(-0.0));
  const V<F> unit_re = either(larger.unit, both(sign, z.re)), unit_im = either(larger.unit, both(sign, z.im));
  const Parts<F> near{select<F>(by_real, unit_re, other), select<F>(by_real, other, unit_im)};
  return {{select<F>(zero, z.re, near.re), select<F>(zero, z.im, near.im)}, e};
}

// Smith's quotient of a by b, b's larger part in [1, 2) (so is the ratio's
// denominator, near it), as scaled_divide of binary_float.cpp divides.
template <class F>
[[gnu::always_inline]] inline Parts<F> smith_quotient(const Parts<F>& a, const Parts<F>& b) {
  // By the larger part p of b, q the other; u and w the parts of a in that order.
  const V<F> by_real = less_equal(fabs_lanes<F>(b.im), fabs_lanes<F>(b.re));
  const V<F> p = select<F>(by_real, b.re, b.im), q = select<F>(by_real, b.im, b.re);
  const V<F> u = select<F>(by_real, a.re, a.im), w = select<F>(by_real, a.im, a.re);
  const V<F> r = div(q, p), den = add(p, mul(q, r));
  const V<F> ur = mul(u, r), wr = mul(w, r);
  return {div(add(u, wr), den), div(select<F>(by_real, sub(w, ur), sub(ur, w)), den)};
}

// scaled_divide of binary_float.cpp, for finite a and finite nonzero b: both
// brought near 1 by their larger parts' exponents, Smith's quotient, and the
// result scaled back.
template <class F>
[[gnu::always_inline]] inline Parts<F> scaled_quotient(const Parts<F>& a, const Parts<F>& b) {
  const NearOne<F> na = near_one<F>(a), nb = near_one<F>(b);
  const Parts<F> s = smith_quotient<F>(na.z, nb.z);
  const V<F> back = sub(na.exponent, nb.exponent);
  return {scaled<F>(s.re, back), scaled<F>(s.im, back)};
}

template <class F>
[[gnu::always_inline]] inline __m128i subtract_bits(__m128i x, __m128i y) {
  if constexpr (std::is_same_v<F, double>) return _mm_sub_epi64(x, y);
  else return _mm_sub_epi32(x, y);
}

// scaled_divide(1, b) for finite nonzero b, with one power of two s = 2^-e
// (e the exponent of b's larger part) read off that part's bits. Where s
// would leave the normal range, b is first lifted by 2^digits (a larger part
// below it) or halved (at the top exponent): exact either way, and a
// product by the lift and s rounds once, as scalbn does. A part scaled back
// below the normal range is rounded on the subnormal grid as `scaled` does,
// without an arithmetic result there; all others are the plain product.
template <class F>
[[gnu::always_inline]] inline Parts<F> scaled_reciprocal(const Parts<F>& b) {
  using Fm = Format<F>;
  const V<F> m = lane_max(fabs_lanes<F>(b.re), fabs_lanes<F>(b.im));
  const V<F> low = less(m, splat<F>(std::numeric_limits<F>::min()));
  const V<F> top = less_equal(splat<F>(F(2) / std::numeric_limits<F>::min()), m);
  const V<F> lift = select<F>(low, splat<F>(Fm::lift), select<F>(top, splat<F>(F(0.5)), splat<F>(1)));
  const __m128i e = _mm_and_si128(bits_of<F>(mul(m, lift)), splat_bits<F>(Fm::exponent_bits));
  const V<F> s = from_bits<F>(subtract_bits<F>(splat_bits<F>(2 * Fm::one_bits), e));
  const Parts<F> z = smith_quotient<F>({splat<F>(1), splat<F>(0)}, {mul(mul(b.re, lift), s), mul(mul(b.im, lift), s)});
  // A part x of z has |x| <= 1; |x| 2^-e in units of the smallest subnormal
  // is |x| 2^-lowest times k (exact where it matters: above a half unit).
  const V<F> k = mul(s, mul(lift, splat<F>(F(std::uint64_t{1} << Fm::fraction))));
  const V<F> whole = splat<F>(F(std::uint64_t{1} << Fm::fraction));
  const auto back = [&](V<F> x) {
    const V<F> n = mul(mul(fabs_lanes<F>(x), splat<F>(F(1) / std::numeric_limits<F>::min())), k);
    const V<F> below = less(n, whole);
    const V<F> rounded = from_bits<F>(subtract_bits<F>(bits_of<F>(add(n, whole)), bits_of<F>(whole)));
    return either(either(both(below, rounded), both(splat<F>(F(-0.0)), x)), mul(mul(but_not(below, x), lift), s));
  };
  return {back(z.re), back(z.im)};
}

// The lanes of c left to redo whose parts are all finite, as complex_divide
// gives them: the formula or the scaled quotient. Out of line, so that the
// usual lanes' loop keeps its registers.
template <class F>
[[gnu::noinline]] void careful_quotient(const Parts<F>& a, const Parts<F>& b, Computed<F>& c) {
  const V<F> finite = both(both(is_finite<F>(a.re), is_finite<F>(a.im)), both(is_finite<F>(b.re), is_finite<F>(b.im)));
  const V<F> careful = both(c.redo, finite);
  if (mask_bits(careful) == 0) return;
  const V<F> d = add(mul(b.im, b.im), mul(b.re, b.re));
  const V<F> nr = add(mul(a.re, b.re), mul(a.im, b.im)), ni = sub(mul(a.im, b.re), mul(a.re, b.im));
  V<F> re = div(nr, d), im = div(ni, d);
  if (const V<F> scale = both(careful, needs_scaling<F>(a, b, d, nr, ni)); mask_bits(scale) != 0) {
    const Parts<F> s = scaled_quotient<F>(a, b);
    re = select<F>(scale, s.re, re);
    im = select<F>(scale, s.im, im);
  }
  c.r = {select<F>(careful, re, c.r.re), select<F>(careful, im, c.r.im)};
  c.redo = but_not(finite, c.redo);
}

// The same for 1 / b, on two vectors at once so that their chains of
// divisions overlap. complex_divide scales where |b|^2 is not normal or a
// part of b is subnormal. Below 2^(lowest / 2 - 1) for the larger part,
// |b|^2 is below the normal range: such lanes stay out of the formula, whose
// products there would underflow.
template <class F>
[[gnu::always_inline]] inline void careful_reciprocals(const Parts<F> (&b)[2], Computed<F> (&c)[2]) {
  constexpr F bound = std::is_same_v<F, double> ? F(0x1p-512) : F(0x1p-64);
  const V<F> one = splat<F>(1), zero = splat<F>(0);
  V<F> finite[2], careful[2], kept[2], d[2];
  for (int k = 0; k < 2; ++k) {
    finite[k] = both(is_finite<F>(b[k].re), is_finite<F>(b[k].im));
    careful[k] = both(c[k].redo, finite[k]);
    const V<F> formula = less_equal(splat<F>(bound), lane_max(fabs_lanes<F>(b[k].re), fabs_lanes<F>(b[k].im)));
    const V<F> fr = both(formula, b[k].re), fi = both(formula, b[k].im);
    d[k] = add(mul(fi, fi), mul(fr, fr));
    kept[k] = both(is_normal<F>(d[k]), both(is_zero_or_normal<F>(b[k].re), is_zero_or_normal<F>(b[k].im)));
  }
  Parts<F> r[2] = {{zero, zero}, {zero, zero}};
  if (mask_bits(either(both(kept[0], careful[0]), both(kept[1], careful[1]))) != 0) {
    for (int k = 0; k < 2; ++k)
      r[k] = {div(add(mul(one, b[k].re), mul(zero, b[k].im)), d[k]), div(sub(mul(zero, b[k].re), mul(one, b[k].im)), d[k])};
  }
  const V<F> scale[2] = {but_not(kept[0], careful[0]), but_not(kept[1], careful[1])};
  if (mask_bits(either(scale[0], scale[1])) != 0) {
    const Parts<F> s[2] = {scaled_reciprocal<F>(b[0]), scaled_reciprocal<F>(b[1])};
    for (int k = 0; k < 2; ++k) r[k] = {select<F>(scale[k], s[k].re, r[k].re), select<F>(scale[k], s[k].im, r[k].im)};
  }
  for (int k = 0; k < 2; ++k) {
    c[k].r = {select<F>(careful[k], r[k].re, c[k].r.re), select<F>(careful[k], r[k].im, c[k].r.im)};
    c[k].redo = but_not(finite[k], c[k].redo);
  }
}

// The quotient a / b as complex_divide gives it. Where plain_quotient keeps
// the plain formula for moderate parts, that; by a zero b, each part of a an
// infinity of its sign, a NaN if zero, itself if NaN. Other lanes with finite
// parts take complex_divide's own choice between the formula and the scaled
// quotient (a reciprocal's are left to careful_reciprocals, after the
// block's pass); lanes with an infinite or NaN part are redone.
template <class F, bool reciprocal = false>
[[gnu::always_inline]] inline Computed<F> quotient(const Parts<F>& a, const Parts<F>& b) {
  const V<F> by_zero = is_zero_element<F>(b);
  const V<F> plain = but_not(by_zero, both(both(is_moderate<F>(a.re), is_moderate<F>(a.im)),
                                           both(is_moderate<F>(b.re), is_moderate<F>(b.im))));
  const V<F> d = add(mul(b.im, b.im), mul(b.re, b.re));
  const V<F> nr = add(mul(a.re, b.re), mul(a.im, b.im)), ni = sub(mul(a.im, b.re), mul(a.re, b.im));
  // Lanes redone divide by a harmless 1 meanwhile.
  const V<F> divisor = select<F>(plain, d, splat<F>(1));
  const auto over_zero = [](V<F> x) {
    const V<F> infinity = either(splat<F>(std::numeric_limits<F>::infinity()), both(splat<F>(F(-0.0)), x));
    return select<F>(is_nan<F>(x), x, select<F>(is_zero<F>(x), splat<F>(std::numeric_limits<F>::quiet_NaN()), infinity));
  };
  Computed<F> c{{select<F>(by_zero, over_zero(a.re), div(nr, divisor)), select<F>(by_zero, over_zero(a.im), div(ni, divisor))},
                but_not(either(plain, by_zero), all_lanes<F>())};
  if (mask_bits(c.redo) != 0) [[unlikely]] {
    if constexpr (!reciprocal) careful_quotient<F>(a, b, c);
  }
  return c;
}

// complex_square of unary_float.h.
template <class F>
[[gnu::always_inline]] inline Computed<F> square(const Parts<F>& z) {
  const V<F> x = z.re, y = z.im;
  const V<F> xx = mul(x, x), yy = mul(y, y);
  const V<F> plain = sub(xx, yy);
  // fmax: neither square is NaN in a lane whose result is kept.
  const V<F> larger = select<F>(less(xx, yy), yy, xx);
  const V<F> kept_plain = less_equal(mul(splat<F>(F(0.5)), larger), fabs_lanes<F>(plain));
  const V<F> lossy = either(either(is_infinite<F>(xx), is_infinite<F>(yy)), but_not(kept_plain, all_lanes<F>()));
  const V<F> careful = mul(sub(x, y), add(x, y));
  const V<F> p = mul(x, y);
  const Parts<F> r{select<F>(both(lossy, both(is_finite<F>(x), is_finite<F>(y))), careful, plain), add(p, p)};
  return {r, has_nan<F>(r)};
}

template <Op op, class F>
[[gnu::always_inline]] inline Computed<F> compute_lanes(const Parts<F>& a, const Parts<F>& b) {
  if constexpr (op == Op::add || op == Op::subtract) {
    // Part by part, as complex_arithmetic: NaN parts included.
    if constexpr (op == Op::subtract) return {{sub(a.re, b.re), sub(a.im, b.im)}, splat<F>(0)};
    return with_pinned_nans<F>({add(a.re, b.re), add(a.im, b.im)}, [&] {
      return Parts<F>{pinned_add<F>(a.re, b.re), pinned_add<F>(a.im, b.im)};
    });
  } else if constexpr (op == Op::multiply) {
    return product<F>(a, b);
  } else if constexpr (op == Op::divide) {
    return quotient<F>(a, b);
  } else if constexpr (op == Op::reciprocal) {
    return quotient<F, true>({splat<F>(1), splat<F>(0)}, a);
  } else {
    static_assert(op == Op::square);
    return square<F>(a);
  }
}

// The lanes the typed screen passes: the result is plain (zero or normal
// parts; a zero that op flushes to zero only from a zero input), and the
// zero rule of the inputs cannot fire.
template <Op op, class F>
[[gnu::always_inline]] inline V<F> screen_lanes(const Parts<F>& a, const Parts<F>& b, const Parts<F>& r) {
  constexpr FaultRule rule = fault_rule(op);
  static_assert(!rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine);
  constexpr bool two = op_info(op).nin == 2;
  V<F> quiet = both(is_zero_or_normal<F>(r.re), is_zero_or_normal<F>(r.im));
  if constexpr (rule.flush_to_zero) {
    V<F> zero_input = is_zero_element<F>(a);
    if constexpr (two) zero_input = either(zero_input, is_zero_element<F>(b));
    quiet = both(quiet, either(but_not(is_zero_element<F>(r), all_lanes<F>()), zero_input));
  }
  if constexpr (rule.zero == ZeroRule::division) {
    quiet = but_not(is_zero_element<F>(b), quiet);
  } else if constexpr (rule.zero == ZeroRule::zero_input) {
    quiet = but_not(is_zero_element<F>(a), quiet);
  } else {
    static_assert(rule.zero == ZeroRule::none);
  }
  return quiet;
}

// Of lanes the screen refused, those whose flags the lanes settle: every part
// of the operands and of the result finite, and no zero rule able to fire.
// The rules then give at most underflow: a subnormal part, or a zero result
// that op flushes to zero from nonzero operands; `under` where they do.
template <Op op, class F>
[[gnu::always_inline]] inline V<F> settled_lanes(const Parts<F>& a, const Parts<F>& b, const Parts<F>& r, V<F>& under) {
  constexpr FaultRule rule = fault_rule(op);
  constexpr bool two = op_info(op).nin == 2;
  V<F> settled = both(both(is_finite<F>(a.re), is_finite<F>(a.im)), both(is_finite<F>(r.re), is_finite<F>(r.im)));
  V<F> zero_input = is_zero_element<F>(a);
  if constexpr (two) {
    settled = both(settled, both(is_finite<F>(b.re), is_finite<F>(b.im)));
    zero_input = either(zero_input, is_zero_element<F>(b));
  }
  if constexpr (rule.zero == ZeroRule::division) {
    settled = but_not(is_zero_element<F>(b), settled);
  } else if constexpr (rule.zero == ZeroRule::zero_input) {
    settled = but_not(is_zero_element<F>(a), settled);
  }
  // Finite and neither zero nor normal: subnormal.
  V<F> low = but_not(both(is_zero_or_normal<F>(r.re), is_zero_or_normal<F>(r.im)), all_lanes<F>());
  if constexpr (rule.flush_to_zero) low = either(low, but_not(zero_input, is_zero_element<F>(r)));
  under = both(settled, low);
  return settled;
}

// A reciprocal's vector left to careful_reciprocals: where it starts, and the
// lanes the formula left.
template <class F>
struct Deferred {
  V<F> redo;
  std::ptrdiff_t j;
};

// Stores vector j's results and redoes its lanes left to the element form;
// gives the lanes the screen passes.
template <Op op, class F, class Again>
[[gnu::always_inline]] inline V<F> finish_vector(std::complex<F>* out, std::ptrdiff_t j, const Parts<F>& a,
                                                 const Computed<F>& c, Again& again) {
  store_parts<F>(out + j, c.r);
  const V<F> passed = but_not(c.redo, screen_lanes<op, F>(a, a, c.r));
  if (const int redo = mask_bits(c.redo); redo != 0) [[unlikely]] {
    for (std::ptrdiff_t i = 0; i < lanes<F>; ++i)
      if ((redo >> i) & 1) out[j + i] = again(j + i);
  }
  return passed;
}

// The deferred vectors, two at a time (the last one with itself where their
// count is odd), over the formula's results as stored; gives the lanes the
// screen passes. Out of line, so that the block's loop keeps its registers.
template <Op op, class F, bool contiguous, class Again>
[[gnu::noinline]] V<F> finish_deferred(const std::uint8_t* in, std::ptrdiff_t in_step, std::complex<F>* out,
                                       const Deferred<F>* deferred, std::ptrdiff_t size, Again& again) {
  const auto* stored = reinterpret_cast<const std::uint8_t*>(out);
  V<F> passed = all_lanes<F>();
  for (std::ptrdiff_t k = 0; k < size; k += 2) {
    const Deferred<F>& first = deferred[k];
    const Deferred<F>& second = deferred[k + 1 < size ? k + 1 : k];
    const Parts<F> b[2] = {load_parts<F, contiguous>(in, in_step, first.j), load_parts<F, contiguous>(in, in_step, second.j)};
    Computed<F> c[2] = {{load_parts<F, true>(stored, 2 * sizeof(F), first.j), first.redo},
                        {load_parts<F, true>(stored, 2 * sizeof(F), second.j), second.redo}};
    careful_reciprocals<F>(b, c);
    passed = both(passed, finish_vector<op, F>(out, first.j, b[0], c[0], again));
    if (second.j != first.j) passed = both(passed, finish_vector<op, F>(out, second.j, b[1], c[1], again));
  }
  return passed;
}

// A block's deferred vectors so far.
template <class F, std::ptrdiff_t count>
struct Deferrals {
  Deferred<F> at[(count + lanes<F> - 1) / lanes<F>];
  std::ptrdiff_t size = 0;
};

// Computes the block of `count` elements whose operands start at in[k],
// in_step[k] bytes apart, into out: the form's exact results. `again(j)`
// recomputes element j by the element form. Whether the lanes settled the
// block's flags, added to `faults`: every element passed the typed screen, or
// those it refused give at most underflow (otherwise the caller classifies
// the block element by element). A reciprocal's vectors left to the careful
// path wait in `deferred`, so that they run in pairs apart from the loop over
// the usual ones; other operations have none (a local array here, even
// unused, costs their loop its registers).
template <Op op, class F, bool contiguous, std::ptrdiff_t count, class Again>
[[gnu::always_inline]] inline bool compute_block(const std::uint8_t* const* in, const std::ptrdiff_t* in_step,
                                                 std::complex<F>* out, Again again, std::uint32_t& faults,
                                                 [[maybe_unused]] Deferrals<F, count>* deferred) {
  constexpr std::ptrdiff_t n = lanes<F>;
  constexpr bool two = op_info(op).nin == 2;
  constexpr bool defers = op == Op::reciprocal;
  V<F> passed = all_lanes<F>();
  for (std::ptrdiff_t j = 0; j < count; j += n) {
    const Parts<F> a = load_parts<F, contiguous>(in[0], in_step[0], j);
    const Parts<F> b = two ? load_parts<F, contiguous>(in[1], in_step[1], j) : a;
    const Computed<F> c = compute_lanes<op, F>(a, b);
    store_parts<F>(out + j, c.r);
    if constexpr (defers) {
      if (mask_bits(c.redo) != 0) [[unlikely]] {
        deferred->at[deferred->size++] = {c.redo, j};
        continue;
      }
    }
    // finish_vector's steps, written out: through it, divide's loop ran 0.5 % more instructions.
    passed = both(passed, but_not(c.redo, screen_lanes<op, F>(a, b, c.r)));
    if (const int redo = mask_bits(c.redo); redo != 0) [[unlikely]] {
      for (std::ptrdiff_t i = 0; i < n; ++i)
        if ((redo >> i) & 1) out[j + i] = again(j + i);
    }
  }
  if constexpr (defers) {
    if (deferred->size != 0)
      passed = both(passed,
                    finish_deferred<op, F, contiguous>(in[0], in_step[0], out, deferred->at, deferred->size, again));
  }
  if (mask_bits(passed) == (1 << n) - 1) [[likely]]
    return true;
  // A refused block, read again with its results as written (those redone
  // included): settled where every refused lane is. A block of infinite or
  // NaN parts stops at its first vector.
  V<F> under = splat<F>(0);
  for (std::ptrdiff_t j = 0; j < count; j += n) {
    const Parts<F> a = load_parts<F, contiguous>(in[0], in_step[0], j);
    const Parts<F> b = two ? load_parts<F, contiguous>(in[1], in_step[1], j) : a;
    const Parts<F> r = load_parts<F, true>(reinterpret_cast<const std::uint8_t*>(out), 2 * sizeof(F), j);
    const V<F> refused = but_not(screen_lanes<op, F>(a, b, r), all_lanes<F>());
    V<F> low;
    const V<F> settled = settled_lanes<op, F>(a, b, r, low);
    if (mask_bits(but_not(settled, refused)) != 0) return false;
    under = either(under, both(refused, low));
  }
  if (mask_bits(under) != 0) faults |= fault_under;
  return true;
}

// The same, with a reciprocal's room to defer a block's vectors.
template <Op op, class F, bool contiguous, std::ptrdiff_t count, class Again>
bool compute_block(const std::uint8_t* const* in, const std::ptrdiff_t* in_step, std::complex<F>* out, Again again,
                   std::uint32_t& faults) {
  if constexpr (op == Op::reciprocal) {
    Deferrals<F, count> deferred;
    return compute_block<op, F, contiguous, count>(in, in_step, out, again, faults, &deferred);
  } else {
    return compute_block<op, F, contiguous, count>(in, in_step, out, again, faults, nullptr);
  }
}

}  // namespace quarvel_kernels::complex_blocks
