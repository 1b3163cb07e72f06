// Floating-point fault classification: which of divide by zero, overflow,
// underflow and invalid value one element operation produced, decided from the
// operation, the inputs the kernel received and the results it returned. The
// processor's status flags are never read, so the answer depends on the values
// alone; nothing is kept between calls and nothing fails.
//
// Two forms give the same bits. `classify_errors` reads Scalars of any dtype
// through the storage core's value services and runs the rule core on records
// of them. The typed forms take elements (the long double ones too), decide
// inline that no rule can fire on the usual values, and classify everything
// else on the elements themselves, each rule decided at compile time from
// the operation and tested on values of the element's own type.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "kernels/element.h"
#include "kernels/ops.h"
#include "storage/scalar.h"

namespace quarvel_kernels {

// Packed fault flags: one byte per category, each 0 or 1; OR combines elements.
inline constexpr std::uint32_t fault_divide = 0x00000001, fault_over = 0x00000100, fault_under = 0x00010000,
                               fault_invalid = 0x01000000;

// The faults of one element operation. `op` is canonical (an alias classifies
// as its canonical op); the inputs are in the loop's input dtypes. Any counts;
// with no outputs only the rules that read inputs alone run.
[[nodiscard]] std::uint32_t classify_errors(Op op, std::span<const Scalar> inputs, std::span<const Scalar> outputs);

// The same bits from fixed-width elements (bool, integers, Half, float,
// double, complex<float>, complex<double>). `op` must take as many inputs and
// give as many outputs as the form has.
template <Op op, class A, class R>
[[nodiscard]] std::uint32_t classify_unary(A x, R r);
template <Op op, class A, class R1, class R2>  // modf, frexp
[[nodiscard]] std::uint32_t classify_unary2(A x, R1 r1, R2 r2);
template <Op op, class A, class B, class R>
[[nodiscard]] std::uint32_t classify_binary(A a, B b, R r);
template <Op op, class A, class B, class R1, class R2>  // divmod
[[nodiscard]] std::uint32_t classify_binary2(A a, B b, R1 q, R2 m);

// The inline screen of each typed form alone: true only where the form gives
// 0 without its out-of-line rest. A loop may screen a block of elements this
// way and classify one by one only the blocks that fail.
template <Op op, class A, class R>
bool screen_unary(A x, R r);
template <Op op, class A, class R1, class R2>
bool screen_unary2(A x, R1 r1, R2 r2);
template <Op op, class A, class B, class R>
bool screen_binary(A a, B b, R r);
template <Op op, class A, class B, class R1, class R2>
bool screen_binary2(A a, B b, R1 q, R2 m);

// The classification's value tests. Long double values answer through the
// Scalar predicates; complex64 and complex128 through both parts of their
// complex reading; everything else through its double reading. A value that
// cannot be read is neither NaN, infinite nor finite.
bool scalar_is_nan(const Scalar& value);
bool scalar_is_infinite(const Scalar& value);
bool scalar_is_finite(const Scalar& value);

// Whether a subnormal result is the exact value of its operation. Each reads
// its Scalar arguments as doubles; a value that cannot be read answers false.
// lhs * rhs == actual exactly (an exact 128-bit product of the significands).
bool exact_product_matches(const Scalar& lhs, const Scalar& rhs, double actual);
// lhs + rhs rounds to actual with no rounding error (two-sum).
bool exact_sum_matches(const Scalar& lhs, const Scalar& rhs, double actual);
// The exponent is an integer in [-1074, 1023] and 2^exponent == actual.
bool exact_exp2_matches(const Scalar& exponent, double actual);

// ---------------------------------------------------------------------------
// The rule core of the Scalar form, and the rule table both forms read.

// One value as the rules read it: its dtype, its test answers, its double and
// complex readings (absent when unreadable) and, for long double values, the
// value the extended-precision log-add-exp checks take.
//
// Long double and complex long double values carry their own reading,
// `extended` (absent when their text cannot be read): their double reading is
// 0 below 2^-1074 and loses the last 11 bits, so the minus-one, unit and
// negative tests, the log-add-exp checks and the exactness of a subnormal
// result are decided on it instead. A typed long double loop fills it from the
// element.
struct FaultValue {
  DType dtype;
  bool nan = false;
  bool infinite = false;
  bool finite = false;
  bool zero = false;
  bool subnormal = false;  // below the normal range of its own dtype
  std::optional<double> real;
  std::optional<std::complex<double>> pair;
  std::optional<std::complex<long double>> extended;
};

FaultValue fault_value(const Scalar& value);
template <class T>
  requires is_fixed_element<T>
FaultValue fault_value(T element);
// A long double element as the Scalar of its text reads.
FaultValue fault_value(quarvel_storage::Extended element);
FaultValue fault_value(quarvel_storage::ComplexExtended element);

[[nodiscard]] std::uint32_t classify_faults(Op op, std::span<const FaultValue> inputs,
                                            std::span<const FaultValue> outputs);

// What the rules know of each operation beyond its input and output counts.
enum class ZeroRule : std::uint8_t {
  none,
  integer_remainder,  // integer x % 0: divide
  floor_division,     // x // 0: divide for integers, else invalid for 0 // 0, divide for finite x
  division,           // x / 0: invalid for 0 / 0, divide for finite x
  zero_input,         // f(0): divide
  minus_one,          // f(-1): divide
  unit_real,          // f(+-1 + 0j): divide
  zero_base,          // 0 ** negative real: divide
};
// When a subnormal result counts as the exact value of its operation.
enum class ExactRow : std::uint8_t {
  never,
  magnitude,   // v == |x|
  same,        // v == x
  negated,     // v == -x
  square,      // x * x == v
  reciprocal,  // v * x == 1
  power_of_two,
  spacing,     // x finite, nonzero and normal
  sum,
  difference,
  product,
  quotient,    // v * b == a
  either,      // v == a or v == b
  copysign,
  ldexp,
};
struct FaultRule {
  ZeroRule zero = ZeroRule::none;
  ExactRow exact = ExactRow::never;
  bool log_add_exp = false;         // NaN input invalid; intermediate overflow and underflow
  bool base2 = false;
  bool quotient_underflow = false;  // a / b below the result dtype's normal range
  bool small_cosine = false;        // 1 rounded from cos of a tiny nonzero x in float16/32
  bool flush_to_zero = false;       // a zero result from nonzero finite inputs
  // NaN results that report no invalid value.
  bool nan_for_infinite_input = false;
  bool nan_for_zero_divisor = false;
  bool nan_for_infinite_dividend = false;
};

inline constexpr std::array<FaultRule, op_count> fault_rules = [] {
  std::array<FaultRule, op_count> rules{};
  auto each = [&rules](std::initializer_list<Op> ops, auto set) {
    for (Op op : ops) set(rules[static_cast<std::size_t>(op)]);
  };
  using enum Op;
  each({remainder, fmod}, [](FaultRule& r) { r.zero = ZeroRule::integer_remainder; });
  each({floor_divide, divmod}, [](FaultRule& r) { r.zero = ZeroRule::floor_division; });
  each({divide}, [](FaultRule& r) { r.zero = ZeroRule::division; });
  each({reciprocal, log, log2, log10}, [](FaultRule& r) { r.zero = ZeroRule::zero_input; });
  each({log1p}, [](FaultRule& r) { r.zero = ZeroRule::minus_one; });
  each({arctanh}, [](FaultRule& r) { r.zero = ZeroRule::unit_real; });
  each({power, float_power}, [](FaultRule& r) { r.zero = ZeroRule::zero_base; });

  each({logaddexp, logaddexp2}, [](FaultRule& r) { r.log_add_exp = true; });
  each({logaddexp2}, [](FaultRule& r) { r.base2 = true; });
  each({divmod, arctan2, floor_divide}, [](FaultRule& r) { r.quotient_underflow = true; });
  each({cos}, [](FaultRule& r) { r.small_cosine = true; });
  each({exp, exp2, expm1, square, reciprocal, deg2rad, radians, multiply, power, float_power, ldexp, divide},
       [](FaultRule& r) { r.flush_to_zero = true; });

  each({spacing}, [](FaultRule& r) { r.nan_for_infinite_input = true; });
  each({remainder, fmod, divmod}, [](FaultRule& r) { r.nan_for_zero_divisor = true; });
  each({remainder, fmod, divmod, floor_divide}, [](FaultRule& r) { r.nan_for_infinite_dividend = true; });

  each({absolute, fabs}, [](FaultRule& r) { r.exact = ExactRow::magnitude; });
  each({positive, conjugate, sinh, tanh, expm1, modf}, [](FaultRule& r) { r.exact = ExactRow::same; });
  each({negative}, [](FaultRule& r) { r.exact = ExactRow::negated; });
  each({square}, [](FaultRule& r) { r.exact = ExactRow::square; });
  each({reciprocal}, [](FaultRule& r) { r.exact = ExactRow::reciprocal; });
  each({exp2}, [](FaultRule& r) { r.exact = ExactRow::power_of_two; });
  each({spacing}, [](FaultRule& r) { r.exact = ExactRow::spacing; });
  each({add}, [](FaultRule& r) { r.exact = ExactRow::sum; });
  each({subtract}, [](FaultRule& r) { r.exact = ExactRow::difference; });
  each({multiply}, [](FaultRule& r) { r.exact = ExactRow::product; });
  each({divide}, [](FaultRule& r) { r.exact = ExactRow::quotient; });
  each({maximum, minimum, fmax, fmin}, [](FaultRule& r) { r.exact = ExactRow::either; });
  each({copysign}, [](FaultRule& r) { r.exact = ExactRow::copysign; });
  each({ldexp}, [](FaultRule& r) { r.exact = ExactRow::ldexp; });
  return rules;
}();

constexpr const FaultRule& fault_rule(Op op) { return fault_rules[static_cast<std::size_t>(op)]; }

// Whether a fold of op over real floats of one type (running value op
// element) faults only where its running value turns infinite or NaN: no
// zero rule, no flush to zero, no intermediate, and a subnormal result always
// exact (a sum or difference of two such floats). Infinity and NaN then stay
// to the fold's end: a fold from a finite start that ends finite faulted nowhere.
template <Op op>
inline constexpr bool fold_faults_show_at_end = [] {
  const FaultRule& rule = fault_rule(op);
  return (rule.exact == ExactRow::sum || rule.exact == ExactRow::difference) && rule.zero == ZeroRule::none &&
         !rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine && !rule.flush_to_zero &&
         !rule.nan_for_infinite_input && !rule.nan_for_zero_divisor && !rule.nan_for_infinite_dividend;
}();
static_assert(fold_faults_show_at_end<Op::add> && fold_faults_show_at_end<Op::subtract>);
static_assert(!fold_faults_show_at_end<Op::multiply> && !fold_faults_show_at_end<Op::maximum>);

// ---------------------------------------------------------------------------
// The typed forms: a screen that proves no rule can fire, else the typed
// classification.
//
// A result that is finite and zero or normal in its own dtype sets nothing
// through the per-result rules (invalid needs NaN, overflow infinity, the
// exactness rules a subnormal value). What remains are the rules that fire on
// such results: the zero rules on the inputs, the log-add-exp intermediates,
// the quotient underflow, the small cosine and the flush to zero; each is
// screened below by a test that may only err towards the classification.

namespace classify_detail {

// The float element types with a normal range of their own: float16 (held as
// a float), float32, float64.
template <class T>
inline constexpr bool is_real_float_element =
    std::is_same_v<T, Half> || std::is_same_v<T, float> || std::is_same_v<T, double>;

// The bottom of each normal range, 2^floor: float16 2^-14, float32 2^-126,
// float64 2^-1022.
template <class T>
inline constexpr int normal_exponent_floor = -14;
template <>
inline constexpr int normal_exponent_floor<float> = -126;
template <>
inline constexpr int normal_exponent_floor<double> = -1022;
template <class T>
inline constexpr double smallest_normal = [] {
  double m = 1.0;
  for (int i = 0; i > normal_exponent_floor<T>; --i) m /= 2;
  return m;
}();

template <class T>
[[gnu::always_inline]] inline bool is_zero_element(T x) {
  if constexpr (std::is_same_v<T, Half>) {
    return x.value == 0;
  } else if constexpr (is_complex_element<T>) {
    return (x.real() == 0) & (x.imag() == 0);
  } else {
    return x == T{};
  }
}

// Finite, nonzero and normal, from the bits alone: with the sign shifted out,
// the biased exponent field e lies in [lowest, all ones) exactly when
// e - lowest, taken modulo 2^width (a field below `lowest` wraps far above),
// is below all_ones - lowest.
//
//   binary64:  s eeeeeeeeeee f(52)    lowest 1
//   binary32:  s eeeeeeee f(23)       lowest 1; float16 values, held as floats,
//                                     from 2^-14: lowest 127 - 14
//
// Shifts and adds only, no unsigned comparison: SSE2 has no 64-bit compare,
// and a loop screening a block of float64 results this way stays vectorised.
// With `or_zero`, a zero of either sign passes too: u - 1 has its top bit set
// and u has not only for u = 0, so that bit masks the refusal off.
template <bool or_zero = false, class F>
[[gnu::always_inline]] inline bool is_normal_bits(F v, unsigned lowest) {
  using Bits = std::conditional_t<sizeof(F) == 8, std::uint64_t, std::uint32_t>;
  constexpr int field = std::numeric_limits<F>::digits;  // exponent's place once the sign is out
  constexpr int width = sizeof(Bits) * 8 - field;
  constexpr Bits all_ones = std::numeric_limits<F>::max_exponent * 2 - 1;
  const Bits u = static_cast<Bits>(std::bit_cast<Bits>(v) << 1);
  const Bits above = static_cast<Bits>(u - (Bits{lowest} << field)) >> field;  // e - lowest, wrapped
  const Bits refused = (above + ((Bits{1} << width) - (all_ones - lowest))) >> width;  // 0 or 1
  if constexpr (or_zero) {
    const Bits zero = static_cast<Bits>(static_cast<Bits>(u - 1) & static_cast<Bits>(~u)) >> (sizeof(Bits) * 8 - 1);
    return (refused & (zero ^ 1)) == 0;
  } else {
    return refused == 0;
  }
}

template <bool or_zero = false, class T>
[[gnu::always_inline]] inline bool is_normal_result(T r) {
  if constexpr (std::is_same_v<T, Half>) {
    return is_normal_bits<or_zero>(r.value, 127 + normal_exponent_floor<Half>);
  } else {
    return is_normal_bits<or_zero>(r, 1);
  }
}

// Finite and zero or normal.
template <class F>
[[gnu::always_inline]] inline bool is_zero_or_normal(F v) {
  return is_normal_bits<true>(v, 1);
}

// Whether no per-result rule can fire on r, the flush to zero of op aside.
// Inlined into the loops' screens, which then stay vectorised.
template <class T>
[[gnu::always_inline]] inline bool is_plain_result(T r) {
  if constexpr (is_real_float_element<T>) {
    return is_normal_result(r) || is_zero_element(r);
  } else if constexpr (is_complex_element<T>) {
    return is_zero_or_normal(r.real()) & is_zero_or_normal(r.imag());
  } else {
    return true;
  }
}

// Whether the zero rule of op cannot fire on these inputs.
template <Op op, class A>
[[gnu::always_inline]] inline bool zero_rule_quiet(A x) {
  constexpr ZeroRule rule = fault_rule(op).zero;
  if constexpr (rule == ZeroRule::zero_input) {
    return !is_zero_element(x);
  } else if constexpr (rule == ZeroRule::minus_one) {
    return real_reading(x) != -1.0;
  } else if constexpr (rule == ZeroRule::unit_real) {
    return std::fabs(real_reading(x)) != 1.0;
  } else {
    return true;
  }
}
template <Op op, class A, class B>
[[gnu::always_inline]] inline bool zero_rule_quiet(A a, B b) {
  constexpr ZeroRule rule = fault_rule(op).zero;
  if constexpr (rule == ZeroRule::integer_remainder || rule == ZeroRule::floor_division ||
                rule == ZeroRule::division) {
    return !is_zero_element(b);
  } else if constexpr (rule == ZeroRule::zero_base) {
    return !is_zero_element(a);
  } else {
    return true;
  }
}

// Log-add-exp: a NaN input is invalid and a - b can overflow or make the
// intermediate e^-|a-b| (2^-|a-b|) underflow in the result dtype. The
// underflow needs |a - b| * (ln 2 for base 2) above -log(2^floor) = |floor| ln 2;
// staying below 0.6931 |floor| (0.9999 |floor|) leaves far more room than the
// rounding of the logarithms.
template <Op op, class R, class A, class B>
[[gnu::always_inline]] inline bool log_add_exp_quiet(A a, B b) {
  if constexpr (!fault_rule(op).log_add_exp) {
    return true;
  } else if constexpr (is_complex_element<A> || is_complex_element<B>) {
    return false;  // a NaN imaginary part hides from the double reading
  } else {
    const double d = real_reading(a) - real_reading(b);
    if constexpr (is_real_float_element<R>) {
      constexpr double gap = -normal_exponent_floor<R> * (fault_rule(op).base2 ? 0.9999 : 0.6931);
      return std::fabs(d) <= gap;
    } else {
      return std::isfinite(d);
    }
  }
}

// Quotient underflow needs log|a| - log|b| below log(m) for the result's
// smallest normal m. When a / b rounds to at least 4m the logarithms differ by
// more than ln 4 minus a few units of rounding, well above log(m).
template <Op op, class R, class A, class B>
[[gnu::always_inline]] inline bool quotient_quiet(A a, B b) {
  if constexpr (!fault_rule(op).quotient_underflow || !is_real_float_element<R>) {
    return true;
  } else {
    return std::fabs(real_reading(a) / real_reading(b)) >= 4 * smallest_normal<R>;
  }
}

// cos of a nonzero |x| < 2^-63 rounded to 1 in float16 or float32.
template <Op op, class R, class A>
[[gnu::always_inline]] inline bool cosine_quiet(A x) {
  if constexpr (!fault_rule(op).small_cosine || !(std::is_same_v<R, Half> || std::is_same_v<R, float>)) {
    return true;
  } else {
    const double v = real_reading(x);
    return !(std::fabs(v) < 0x1p-63) || v == 0;
  }
}

// What the first, inline screen accepts of a result: a nonzero normal real
// value; a complex value with zero or normal parts, not both zero; any bool or
// integer; and a zero where op flushes nothing to zero (no rule reads a zero
// result then). Nothing else is decided inline, so the usual case costs a test
// or two.
template <Op op, class T>
[[gnu::always_inline]] inline bool is_ordinary_result(T r) {
  constexpr bool zero_is_quiet = !fault_rule(op).flush_to_zero;
  if constexpr (is_real_float_element<T>) {
    return is_normal_result<zero_is_quiet>(r);
  } else if constexpr (is_complex_element<T>) {
    if constexpr (zero_is_quiet) return is_plain_result(r);
    return is_plain_result(r) & ((r.real() != 0) | (r.imag() != 0));
  } else {
    return true;
  }
}

// No rule that reads the inputs fires; R... are the result types.
template <Op op, class... R, class A>
[[gnu::always_inline]] inline bool inputs_quiet(A x) {
  return zero_rule_quiet<op>(x) && (cosine_quiet<op, R>(x) && ...);
}
template <Op op, class R, class... Rest, class A, class B>
[[gnu::always_inline]] inline bool inputs_quiet(A a, B b) {
  return zero_rule_quiet<op>(a, b) && log_add_exp_quiet<op, R>(a, b) && quotient_quiet<op, R>(a, b);
}

// ---------------------------------------------------------------------------
// The typed classification: the rule core's answers decided on the elements
// themselves, for the fixed-width types and the long double ones alike.
//
// Every arity takes (a, b, r1, r2): b repeats a's type for one input and r2
// repeats r1's for one output, and both go unused. The rules split in two:
// `common_faults` decides, without a branch, every rule that reads only a
// few facts of each value (NaN, infinite, finite, zero, subnormal, a
// comparison or two); `detail_faults` the few that need more (whether a
// subnormal result is exact; the log-add-exp and quotient intermediates),
// run only where `needs_detail` says one of them may fire. A block loop runs
// the first over every element and the second over the few it marks.

// Exactness of subnormal results, on plain values of F (double, or long
// double for the long double types): inline, so a loop's detail pays no call.

// A finite value as (-1)^negative * significand * 2^exponent.
struct Decomposed {
  bool negative = false;
  unsigned __int128 significand = 0;
  int exponent = 0;
  bool operator==(const Decomposed&) const = default;
};

//   binary64:  s eeeeeeeeeee ffff...f(52)
//   E != 0:    significand = f + 2^52, exponent = E - 1075
//   E == 0:    significand = f,        exponent = -1074
inline Decomposed decompose(double x) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0) return {(bits >> 63) != 0, fraction, -1074};
  return {(bits >> 63) != 0, fraction | (std::uint64_t{1} << 52), biased - 1075};
}

// A finite x87 extended value, its integer bit i stored:
//
//   s eeeeeeeeeeeeeee i fff...f(63)
//   E != 0:  significand = i f (64 bits), exponent = E - 16446
//   E == 0:  significand = 0 f,           exponent = -16445
inline Decomposed decompose(long double x) {
  static_assert(std::numeric_limits<long double>::digits == 64 && sizeof(long double) >= 10);
  unsigned char bytes[sizeof(long double)];
  std::memcpy(bytes, &x, sizeof x);
  std::uint64_t significand = 0;
  std::uint16_t top = 0;
  std::memcpy(&significand, bytes, 8);
  std::memcpy(&top, bytes + 8, 2);
  const int biased = top & 0x7FFF;
  return {(top >> 15) != 0, significand, biased == 0 ? -16445 : biased - 16446};
}

// Odd significand, or the one zero with sign 0 and exponent 0.
inline Decomposed normalised(Decomposed d) {
  if (d.significand == 0) return {};
  const auto low = static_cast<std::uint64_t>(d.significand);
  const int zeros = low != 0 ? std::countr_zero(low) : 64 + std::countr_zero(static_cast<std::uint64_t>(d.significand >> 64));
  d.significand >>= zeros;
  d.exponent += zeros;
  return d;
}

// A value as (-1)^negative * significand * 2^exponent with the significand
// odd (or zero), straight from its bits: no arithmetic on the value, which
// costs more where it is subnormal.
struct OddParts {
  bool negative = false;
  bool finite = false;
  std::uint64_t significand = 0;
  int exponent = 0;
};

inline OddParts odd_parts(double x) {
  const Decomposed d = decompose(x);
  const auto significand = static_cast<std::uint64_t>(d.significand);
  const int k = std::countr_zero(significand | std::uint64_t{1} << 63);
  const bool finite = (std::bit_cast<std::uint64_t>(x) >> 52 & 0x7FF) != 0x7FF;
  return {d.negative, finite, significand >> k, d.exponent + k};
}

inline OddParts odd_parts(long double x) {
  const Decomposed d = decompose(x);
  const auto significand = static_cast<std::uint64_t>(d.significand);
  const int k = significand == 0 ? 0 : std::countr_zero(significand);
  return {d.negative, static_cast<bool>(std::isfinite(x)), significand >> k, d.exponent + k};
}

// Whether lhs * rhs is exactly `actual`: the odd significands have at most
// 64 bits, so their product, itself odd, is exact in 128 and compares with
// the odd significand of `actual` as it is.
template <class F>
inline bool product_is(F lhs, F rhs, F actual) {
  const OddParts a = odd_parts(lhs), b = odd_parts(rhs), v = odd_parts(actual);
  if (!a.finite || !b.finite || !v.finite) return false;
  if (a.significand == 0 || b.significand == 0) return v.significand == 0;
  const unsigned __int128 p = static_cast<unsigned __int128>(a.significand) * b.significand;
  return (p == v.significand) & (a.exponent + b.exponent == v.exponent) & ((a.negative != b.negative) == v.negative);
}

// Whether a + b is exactly `actual`.
template <class F>
inline bool sum_is(F a, F b, F actual) {
  const F s = a + b;
  if (!std::isfinite(s) || s != actual) return false;
  // Two-sum: the rounding error of a + b, exact in F's own precision.
  const F t = s - a;
  const F e = (a - (s - t)) + (b - t);
  return e == 0;
}

// Whether 2^x is exactly `actual`: only integer exponents in range have an
// exact power of two to compare.
inline bool exp2_is(double x, double actual) {
  if (x - std::trunc(x) != 0.0 || x < -1074 || x > 1023) return false;
  const int n = static_cast<int>(x);
  const std::uint64_t bits = n < -1022 ? std::uint64_t{1} << (n + 1074) : static_cast<std::uint64_t>(n + 1023) << 52;
  return std::bit_cast<double>(bits) == actual;
}

// 2^n from an integer n in [-16445, 16383] is exact in extended precision.
inline bool exp2_is(long double x, long double actual) {
  if (x - std::trunc(x) != 0 || x < -16445 || x > 16383) return false;
  return std::ldexp(1.0L, static_cast<int>(x)) == actual;
}

// Whether a * 2^n is exactly `actual`. The bound only keeps n an int: beyond
// it no exponent sum meets a finite value.
template <class F>
inline bool ldexp_is(F a, F n, F actual) {
  constexpr F bound = std::is_same_v<F, double> ? 4096 : 65536;
  if (!(std::fabs(n) <= bound) || n - std::trunc(n) != 0) return false;
  if (!std::isfinite(a) || !std::isfinite(actual)) return false;
  Decomposed scaled = normalised(decompose(a));
  if (a != 0) scaled.exponent += static_cast<std::int32_t>(n);
  return scaled == normalised(decompose(actual));
}

// The rows row_is_exact reads at run time, decided at compile time: v the
// subnormal result, a and b the inputs (b unread for one input).
template <ExactRow row, bool two, class F>
[[gnu::always_inline]] inline bool typed_row_is_exact(bool normal_input, F v, F a, F b) {
  using enum ExactRow;
  if constexpr (row == magnitude) return v == std::fabs(a);
  else if constexpr (row == same) return v == a;
  else if constexpr (row == negated) return v == -a;
  else if constexpr (row == square) return product_is(a, a, v);
  else if constexpr (row == reciprocal) return product_is<F>(v, a, 1);
  else if constexpr (row == power_of_two) return exp2_is(a, v);
  else if constexpr (row == spacing) return normal_input;
  else if constexpr (row == either) return v == a || (two && v == b);
  else if constexpr (!two) return false;  // the rows below read b
  else if constexpr (row == sum) return sum_is(a, b, v);
  else if constexpr (row == difference) return sum_is<F>(a, -b, v);
  else if constexpr (row == product) return product_is(a, b, v);
  else if constexpr (row == quotient) return product_is<F>(v, b, a);
  else if constexpr (row == copysign) return v == std::copysign(a, b);
  else if constexpr (row == ldexp) return ldexp_is(a, b, v);
  else return false;
}

// The tests those few rules share with the rule core, out of line.
template <class F>
bool row_is_exact(ExactRow row, bool normal_input, F v, std::optional<F> a, std::optional<F> b);
bool log_add_exp_underflows(double a, double b, DType result, bool base2);  // result a binary float
bool log_add_exp_underflows(long double a, long double b, bool base2);
bool log_add_exp_overflows(long double a, long double b);
bool quotient_underflows(double a, double b, DType result);  // result a binary float

using quarvel_storage::ComplexExtended;
using quarvel_storage::Extended;

template <class T>
inline constexpr bool is_long_double_element = std::is_same_v<T, Extended> || std::is_same_v<T, ComplexExtended>;
// The kinds the rules read: "f" (float16 to long double), "c", the rest bool or integer.
template <class T>
inline constexpr bool is_float_kind = is_real_float_element<T> || std::is_same_v<T, Extended>;
template <class T>
inline constexpr bool is_complex_kind = is_complex_element<T> || std::is_same_v<T, ComplexExtended>;

// The parts of an element in its own precision (float16 as its float).
template <class T>
[[gnu::always_inline]] inline auto real_part_of(T x) {
  if constexpr (std::is_same_v<T, Half>) return x.value;
  else if constexpr (is_complex_element<T>) return x.real();
  else if constexpr (std::is_same_v<T, Extended>) return x.value;
  else if constexpr (std::is_same_v<T, ComplexExtended>) return x.re;
  else return x;
}
template <class T>
[[gnu::always_inline]] inline auto imag_part_of(T x) {
  if constexpr (is_complex_element<T>) return x.imag();
  else return x.im;
}

// The reading the rules take of a value's real part: the long double types
// their own, everything else its double (integers converted, 64-bit ones
// rounded). Of the imaginary part likewise, 0 for a real value.
template <class T>
[[gnu::always_inline]] inline auto rule_real(T x) {
  if constexpr (is_long_double_element<T>) return static_cast<long double>(real_part_of(x));
  else return static_cast<double>(real_part_of(x));
}
template <class T>
[[gnu::always_inline]] inline auto rule_imag(T x) {
  if constexpr (is_complex_kind<T>) return static_cast<decltype(rule_real(x))>(imag_part_of(x));
  else return decltype(rule_real(x)){0};
}

// What the value tests answer of one element, each 0 or 1 in an unsigned M
// whose width a block loop chooses as its lanes' (the loops that compute
// these then stay vectorised): every test below is integer arithmetic on M.
template <class M>
struct Facts {
  M nan, infinite, finite, zero, subnormal;
};

// Whether x (unsigned) is zero, as 0 or 1, and whether x < y, from the top
// bits of their differences: shifts and adds only, which SSE2 has for 64-bit
// lanes where it has no comparison.
template <class U>
[[gnu::always_inline]] inline U is_zero_bits(U x) {
  return static_cast<U>(static_cast<U>(x | static_cast<U>(U(0) - x)) >> (sizeof(U) * 8 - 1)) ^ 1;
}
template <class U>
[[gnu::always_inline]] inline U is_below_bits(U x, U y) {  // x, y below 2^(width - 1)
  return static_cast<U>(x - y) >> (sizeof(U) * 8 - 1);
}

template <class P>
using part_bits_t = std::conditional_t<sizeof(P) == 8, std::uint64_t, std::uint32_t>;

// Of one part, against the bottom of its element type's normal range. In
// lanes as wide as the part, a float or double is read by its bits:
//
//   binary64  s eeeeeeeeeee f(52)    |p| ordered as the integer of the bits
//   binary32  s eeeeeeee f(23)       without s: NaN above infinity's bits
template <class M, class P>
[[gnu::always_inline]] inline Facts<M> part_facts(P p, P smallest_normal_part) {
  if constexpr (sizeof(M) != sizeof(P)) {
    // One element at a time, where comparisons cost less than moving the bits.
    const P magnitude = std::fabs(p);
    return {M(p != p), M(magnitude == std::numeric_limits<P>::infinity()), M(magnitude <= std::numeric_limits<P>::max()),
            M(p == 0), M((magnitude < smallest_normal_part) & (p != 0))};
  } else {
    using U = part_bits_t<P>;
    constexpr U infinity = std::bit_cast<U>(std::numeric_limits<P>::infinity());
    const U magnitude = std::bit_cast<U>(p) & (~U(0) >> 1);  // the sign bit cleared
    const U nan = is_below_bits(infinity, magnitude), finite = is_below_bits(magnitude, infinity);
    const U zero = is_zero_bits(magnitude);
    const U subnormal = is_below_bits(magnitude, std::bit_cast<U>(smallest_normal_part)) & (zero ^ 1);
    return {M(nan), M(nan ^ finite ^ 1), M(finite), M(zero), M(subnormal)};
  }
}

template <class M, class T>
[[gnu::always_inline]] inline Facts<M> facts_of(T x) {
  if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
    // Zero without a 64-bit comparison (SSE2 has none).
    return {0, 0, 1, M(is_zero_bits(static_cast<std::uint64_t>(x))), 0};
  } else if constexpr (std::is_integral_v<T>) {
    return {0, 0, 1, M(x == 0), 0};
  } else {
    using P = decltype(real_part_of(x));
    constexpr P smallest = std::is_same_v<T, Half> ? P(smallest_normal<Half>) : std::numeric_limits<P>::min();
    const Facts<M> re = part_facts<M, P>(real_part_of(x), smallest);
    if constexpr (!is_complex_kind<T>) {
      return re;
    } else {
      // Either part NaN, infinite or subnormal; both finite, both zero.
      const Facts<M> im = part_facts<M, P>(imag_part_of(x), smallest);
      return {M(re.nan | im.nan), M(re.infinite | im.infinite), M(re.finite & im.finite), M(re.zero & im.zero),
              M(re.subnormal | im.subnormal)};
    }
  }
}

// The exactness rows decided among the common rules: comparisons of the
// result with an input. The rest (products, sums, powers) wait for the detail.
constexpr bool is_plain_row(ExactRow row) {
  return row == ExactRow::never || row == ExactRow::magnitude || row == ExactRow::same || row == ExactRow::negated ||
         row == ExactRow::spacing || row == ExactRow::either || row == ExactRow::copysign;
}

// Whether a subnormal real result o of op is exact, for the plain rows;
// `normal_input`: the first input finite, nonzero and not subnormal.
template <Op op, class A, class B, class R>
[[gnu::always_inline]] inline bool plain_row_exact(A a, [[maybe_unused]] B b, R o, bool normal_input) {
  constexpr ExactRow row = fault_rule(op).exact;
  constexpr bool two = op_info(op).nin == 2;
  const auto v = rule_real(o);
  using F = decltype(v);
  const F x = static_cast<F>(rule_real(a));
  if constexpr (row == ExactRow::magnitude) {
    return v == std::fabs(x);
  } else if constexpr (row == ExactRow::same) {
    return v == x;
  } else if constexpr (row == ExactRow::negated) {
    return v == -x;
  } else if constexpr (row == ExactRow::spacing) {
    return normal_input;
  } else if constexpr (row == ExactRow::either && two) {
    return (v == x) | (v == static_cast<F>(rule_real(b)));
  } else if constexpr (row == ExactRow::copysign && two) {
    return v == std::copysign(x, static_cast<F>(rule_real(b)));
  } else {
    return false;
  }
}

// Subnormal results whose exactness the lanes decide too, with no call:
// products and squares, sums and differences, and the quotients and
// reciprocals of element types narrow enough that a product of two of them
// is exact in double.
template <class T>
inline constexpr bool is_narrow_element =
    std::is_same_v<T, Half> || std::is_same_v<T, float> || std::is_same_v<T, bool> ||
    (std::is_integral_v<T> && sizeof(T) <= 2);

template <Op op, class A, class B, class R>
inline constexpr bool is_lane_row = [] {
  using enum ExactRow;
  constexpr ExactRow row = fault_rule(op).exact;
  constexpr bool two = op_info(op).nin == 2;
  if constexpr (!is_real_float_element<R>) {
    return false;
  } else if constexpr (std::is_same_v<R, double>) {
    return row == square || row == product || row == quotient || row == reciprocal ||
           ((row == sum || row == difference) && std::is_same_v<A, R> && std::is_same_v<B, R>);
  } else if constexpr (row == square) {
    return is_narrow_element<A>;
  } else if constexpr (!two) {
    return row == reciprocal && is_narrow_element<A>;
  } else if constexpr (row == product) {
    return is_narrow_element<A> && is_narrow_element<B>;
  } else if constexpr (row == sum || row == difference) {
    return std::is_same_v<A, R> && std::is_same_v<B, R>;
  } else {
    return row == quotient && is_narrow_element<B>;
  }
}();

// For a finite nonzero double x, the place of its lowest set bit,
// 2^(key - 2098): the exponent of the significand's unit place, max(E, 1) -
// 1075, plus that of the fraction's lowest set bit, read from the exponent
// field of that bit made a double exactly (it is below 2^52); a zero fraction
// leaves the implicit bit, 2^52.
//
//   binary64:  s eeeeeeeeeee f(52)
[[gnu::always_inline]] inline std::uint64_t lowest_bit_key(double x) {
  using U = std::uint64_t;
  const U u = std::bit_cast<U>(x) & (~U(0) >> 1);
  const U e = u >> 52, fraction = u & ((U(1) << 52) - 1);
  const U low = fraction & (U(0) - fraction);
  const U place = std::bit_cast<U>(std::bit_cast<double>(low | 0x4330000000000000) - 0x1p52) >> 52;
  return e + is_zero_bits(e) + place + is_zero_bits(fraction) * (1023 + 52);
}

// Whether the subnormal result v of op is exact, for the lane rows, as 0 or
// 1, with no arithmetic whose result is subnormal (which some processors run
// a hundred times slower). The narrow types' products and quotients are
// exact in double; a sum or difference that rounds to a subnormal is exact.
//
// A float64 v is read as its significand m = |v| 2^1074 (exact, below 2^52)
// with v's sign. A product x * y is v exactly where (x 2^537)(y 2^537) - m is
// 0: that difference is a multiple of the product of the operands' lowest
// bits times 2^1074, at least 2^-1074 when nonzero, so a fused multiply-add
// gives it without rounding it to 0; an operand that overflows when scaled
// leaves it infinite or NaN, and such a product was far above v anyway.
// Without the fused form, the operands' lowest bits must multiply to at
// least 2^-1074 and the scaled product, rounded, must equal m. A quotient
// x / y is v exactly where v y == x: x == 0 and y == 0, or (m 2^-537) y -
// x 2^537 is 0 (nonzero, the difference is a multiple of 2^-642 at least
// where the two terms come near: y is then above 2^-53); a reciprocal where
// (m 2^-537) x - 2^537 is 0.
template <Op op, class M, bool fused = false, class A, class B, class R>
[[gnu::always_inline]] inline M lane_row_exact(A a, B b, R o) {
  using enum ExactRow;
  constexpr ExactRow row = fault_rule(op).exact;
  const double v = rule_real(o), x = rule_real(a);
  const double y = row == square ? x : static_cast<double>(rule_real(b));
  if constexpr (std::is_same_v<R, double> && row != sum && row != difference) {
    using U = std::uint64_t;
    const U bits = std::bit_cast<U>(v), sign = U(1) << 63;
    const double m = std::bit_cast<double>((bits & (sign - 1)) | 0x4330000000000000) - 0x1p52;
    const double signed_m = std::bit_cast<double>(std::bit_cast<U>(m) | (bits & sign));
    if constexpr ((row == square || row == product) && !fused) {
      const U keys = lowest_bit_key(x) + lowest_bit_key(y);
      return M((x * 0x1p537) * (y * 0x1p537) == signed_m) & M(is_below_bits<U>(keys, 4196 - 1074) ^ 1);
    } else if constexpr (row == square || row == product) {
      return M(std::fma(x * 0x1p537, y * 0x1p537, -signed_m) == 0);
    } else if constexpr (row == quotient) {
      const double d = std::fma(signed_m * 0x1p-537, y, -(x * 0x1p537));
      return M((d == 0) & (x != 0)) | M((x == 0) & (y == 0));
    } else {
      static_assert(row == reciprocal);
      return M(std::fma(signed_m * 0x1p-537, x, -0x1p537) == 0);
    }
  } else if constexpr (row == square || row == product) {
    return M(x * y == v);
  } else if constexpr (row == sum) {
    return M(x + y == v);
  } else if constexpr (row == difference) {
    return M(x - y == v);
  } else if constexpr (row == quotient) {
    return M(v * y == x) & M(std::fabs(x) <= std::numeric_limits<double>::max());
  } else {
    static_assert(row == reciprocal);
    return M(v * x == 1.0);
  }
}

// Underflow, as 0 or 1, where a lane row's result o is subnormal and not exact.
template <Op op, class M, bool fused = false, class A, class B, class R>
[[gnu::always_inline]] inline M lane_row_under(A a, B b, R o) {
  return facts_of<M>(o).subnormal & (lane_row_exact<op, M, fused>(a, b, o) ^ 1);
}

// The lane rows' flags.
template <Op op, class M, bool fused = false, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline M lane_row_faults(A a, B b, R1 r1, R2 r2) {
  M under = 0;
  if constexpr (is_lane_row<op, A, B, R1>) under |= lane_row_under<op, M, fused>(a, b, r1);
  if constexpr (op_info(op).nout == 2 && is_lane_row<op, A, B, R2>) under |= lane_row_under<op, M, fused>(a, b, r2);
  return under << 16;
}
template <Op op, class A, class B, class R1, class R2>
inline constexpr bool has_lane_rows = is_lane_row<op, A, B, R1> || (op_info(op).nout == 2 && is_lane_row<op, A, B, R2>);

// The flags packed from categories given as 0 or 1.
template <class M>
[[gnu::always_inline]] inline M packed(M divide, M over, M under, M invalid) {
  return divide | over << 8 | under << 16 | invalid << 24;
}

// What the per-result rules read of the inputs, each 0 or 1.
template <class M>
struct InputsRead {
  M all_finite, some_zero, nan_expected, normal_first, divided;
};

// The flags the per-result rules give one output o.
template <Op op, class M, class A, class B, class R>
[[gnu::always_inline]] inline M output_faults(A a, B b, R o, InputsRead<M> in) {
  constexpr FaultRule rule = fault_rule(op);
  if constexpr (std::is_integral_v<R>) {
    return 0;
  } else {
    const Facts<M> fo = facts_of<M>(o);
    const M invalid = fo.nan & (in.nan_expected ^ 1);
    const M over = fo.infinite & in.all_finite & (in.divided ^ 1);
    M under = 0;
    if constexpr (is_complex_kind<R>) {
      under = fo.subnormal;
    } else if constexpr (is_plain_row(rule.exact)) {
      under = fo.subnormal & (M(plain_row_exact<op>(a, b, o, in.normal_first != 0)) ^ 1);
    }
    if constexpr (rule.small_cosine && op_info(op).nin == 1 && (std::is_same_v<R, Half> || std::is_same_v<R, float>)) {
      const double x = rule_real(a);
      under |= M((x != 0) & (std::fabs(x) < 0x1p-63) & (std::fabs(rule_real(o)) == 1.0));
    }
    if constexpr (rule.flush_to_zero) under |= fo.zero & (in.some_zero ^ 1) & in.all_finite;
    return packed<M>(0, over, under, invalid);
  }
}

// The flags of every rule but the detail's, branch-free, in a mask of type M.
template <Op op, class M = std::uint32_t, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline M common_faults(A a, B b, R1 r1, R2 r2) {
  constexpr FaultRule rule = fault_rule(op);
  constexpr bool two = op_info(op).nin == 2;
  const Facts<M> fa = facts_of<M>(a);
  Facts<M> fb{0, 0, 1, 0, 0};
  if constexpr (two) fb = facts_of<M>(b);
  const M some_nan = fa.nan | fb.nan, zero_a = fa.zero, zero_b = fb.zero;
  constexpr bool all_integer = std::is_integral_v<A> && (!two || std::is_integral_v<B>);
  M divide = 0, over = 0, invalid = 0;
  if constexpr (rule.zero == ZeroRule::integer_remainder) {
    divide = all_integer ? zero_b : 0;
  } else if constexpr ((rule.zero == ZeroRule::floor_division && all_integer)) {
    divide = zero_b;
  } else if constexpr (rule.zero == ZeroRule::floor_division || rule.zero == ZeroRule::division) {
    invalid = zero_b & zero_a;
    divide = zero_b & (zero_a ^ 1) & fa.finite;
  } else if constexpr (rule.zero == ZeroRule::zero_input) {
    divide = zero_a;
  } else if constexpr (rule.zero == ZeroRule::minus_one) {
    divide = M((rule_real(a) == -1) & (rule_imag(a) == 0));
  } else if constexpr (rule.zero == ZeroRule::unit_real) {
    divide = M((std::fabs(rule_real(a)) == 1) & (rule_imag(a) == 0));
  } else if constexpr (rule.zero == ZeroRule::zero_base && !is_complex_kind<A> && !is_complex_kind<B>) {
    divide = zero_a & M(rule_real(b) < 0);
  }
  if constexpr (rule.log_add_exp) {
    invalid |= some_nan;
    if constexpr (!is_long_double_element<A> && !is_long_double_element<B>) {
      const double x = rule_real(a), y = rule_real(b);
      over |= M(std::isfinite(x) & std::isfinite(y) & std::isinf(x - y));
    }
  }
  const M infinite_a = fa.infinite;
  M nan_expected = some_nan;
  if constexpr (rule.nan_for_infinite_input || (rule.nan_for_infinite_dividend && two)) nan_expected |= infinite_a;
  if constexpr (rule.nan_for_zero_divisor) nan_expected |= zero_b;
  const InputsRead<M> in{M(fa.finite & fb.finite), M(fa.zero | fb.zero), nan_expected,
                         M(fa.finite & ((fa.zero | fa.subnormal) ^ 1)), divide};
  M flags = packed<M>(divide, over, 0, invalid) | output_faults<op>(a, b, r1, in);
  if constexpr (op_info(op).nout == 2) flags |= output_faults<op>(a, b, r2, in);
  return flags;
}

// Whether a rule of the detail may fire (never 0 where one does), as 0 or 1.
// With `calls` only, the rules that need more than the lanes decide: the
// subnormal results of the lane rows left out.
template <Op op, class M = std::uint32_t, bool calls = false, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline M needs_detail(A a, B b, R1 r1, R2 r2) {
  constexpr FaultRule rule = fault_rule(op);
  M needs = 0;
  if constexpr (!is_plain_row(rule.exact)) {
    if constexpr (is_float_kind<R1> && !(calls && is_lane_row<op, A, B, R1>)) needs |= facts_of<M>(r1).subnormal;
    if constexpr (op_info(op).nout == 2 && is_float_kind<R2> && !(calls && is_lane_row<op, A, B, R2>))
      needs |= facts_of<M>(r2).subnormal;
  }
  if constexpr (rule.log_add_exp && is_long_double_element<A>) {
    // Far from overflowing, and e^-|a-b| far above the long double range's bottom (e^-11355).
    needs |= M(!(std::fabs(rule_real(a) - rule_real(b)) <= 11000.0L));
  } else if constexpr (rule.log_add_exp) {
    needs |= M(!log_add_exp_quiet<op, R1>(a, b));
  }
  if constexpr (rule.quotient_underflow) needs |= M(!quotient_quiet<op, R1>(a, b));
  return needs;
}

// The flags of the rules the common ones leave out.
template <Op op, class A, class B, class R1, class R2>
[[gnu::cold, gnu::noinline]] std::uint32_t detail_faults(A a, B b, R1 r1, R2 r2) {
  constexpr FaultRule rule = fault_rule(op);
  constexpr bool two = op_info(op).nin == 2;
  std::uint32_t flags = 0;
  if constexpr (rule.log_add_exp && std::is_same_v<A, Extended> && std::is_same_v<B, Extended>) {
    if (log_add_exp_overflows(a.value, b.value)) flags |= fault_over;
    if constexpr (std::is_same_v<R1, Extended>) {
      if (log_add_exp_underflows(a.value, b.value, rule.base2)) flags |= fault_under;
    }
  } else if constexpr (rule.log_add_exp && is_real_float_element<R1> && !is_long_double_element<A> &&
                       !is_long_double_element<B>) {
    if (log_add_exp_underflows(rule_real(a), rule_real(b), element_dtype<R1>, rule.base2)) flags |= fault_under;
  }
  if constexpr (rule.quotient_underflow && two && is_real_float_element<R1> && !is_long_double_element<A> &&
                !is_long_double_element<B>) {
    if (quotient_underflows(rule_real(a), rule_real(b), element_dtype<R1>)) flags |= fault_under;
  }
  if constexpr (!is_plain_row(rule.exact)) {
    const auto output = [&](auto o) {
      using R = decltype(o);
      if constexpr (is_lane_row<op, A, B, R>) {
        flags |= lane_row_under<op, std::uint32_t>(a, b, o) << 16;
      } else if constexpr (is_float_kind<R>) {
        if (facts_of<unsigned>(o).subnormal == 0) return;
        const Facts<unsigned> fa = facts_of<unsigned>(a);
        using F = decltype(rule_real(o));
        const F y = two ? static_cast<F>(rule_real(b)) : F{};
        const bool normal_first = fa.finite == 1 && (fa.zero | fa.subnormal) == 0;
        if (!typed_row_is_exact<rule.exact, two, F>(normal_first, rule_real(o), static_cast<F>(rule_real(a)), y))
          flags |= fault_under;
      }
    };
    output(r1);
    if constexpr (op_info(op).nout == 2) output(r2);
  }
  return flags;
}

// Every rule, on one element.
template <Op op, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline std::uint32_t typed_faults(A a, B b, R1 r1, R2 r2) {
  std::uint32_t flags = common_faults<op>(a, b, r1, r2);
  if (needs_detail<op>(a, b, r1, r2) != 0) [[unlikely]]
    flags |= detail_faults<op>(a, b, r1, r2);
  return flags;
}

// Out of line and cold, so a loop keeps only the first screen.
template <Op op, class A, class B, class R1, class R2>
[[gnu::cold, gnu::noinline]] std::uint32_t typed_rest(A a, B b, R1 r1, R2 r2) {
  return typed_faults<op>(a, b, r1, r2);
}

template <Op op, std::size_t nin, std::size_t nout>
constexpr bool form_fits = op_info(op).nin == nin && op_info(op).nout == nout;

}  // namespace classify_detail

template <Op op, class A, class R>
[[gnu::always_inline]] inline bool screen_unary(A x, R r) {
  using namespace classify_detail;
  static_assert(form_fits<op, 1, 1>);
  return is_ordinary_result<op>(r) && inputs_quiet<op, R>(x);
}

template <Op op, class A, class R1, class R2>
[[gnu::always_inline]] inline bool screen_unary2(A x, R1 r1, R2 r2) {
  using namespace classify_detail;
  static_assert(form_fits<op, 1, 2>);
  return is_ordinary_result<op>(r1) && is_ordinary_result<op>(r2) && inputs_quiet<op, R1, R2>(x);
}

template <Op op, class A, class B, class R>
[[gnu::always_inline]] inline bool screen_binary(A a, B b, R r) {
  using namespace classify_detail;
  static_assert(form_fits<op, 2, 1>);
  return is_ordinary_result<op>(r) && inputs_quiet<op, R>(a, b);
}

template <Op op, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline bool screen_binary2(A a, B b, R1 q, R2 m) {
  using namespace classify_detail;
  static_assert(form_fits<op, 2, 2>);
  return is_ordinary_result<op>(q) && is_ordinary_result<op>(m) && inputs_quiet<op, R1, R2>(a, b);
}

// The screens of a float16 result given by its bits (a loop that rounds a
// block of results at once holds them so): the same answers as for the Half
// those bits encode.
namespace classify_detail {
template <Op op>
[[gnu::always_inline]] inline bool is_ordinary_half_bits(std::uint16_t r) {
  //   binary16  s eeeee mmmmmmmmmm: normal for e in 1..30
  const unsigned magnitude = r & 0x7FFFu;
  const bool normal = magnitude - 0x0400u < 0x7800u;
  if constexpr (fault_rule(op).flush_to_zero) {
    return normal;
  } else {
    return normal | (magnitude == 0);
  }
}
}  // namespace classify_detail

template <Op op, class A>
[[gnu::always_inline]] inline bool screen_unary_half(A x, std::uint16_t r) {
  using namespace classify_detail;
  static_assert(form_fits<op, 1, 1>);
  return is_ordinary_half_bits<op>(r) & inputs_quiet<op, Half>(x);
}

template <Op op, class A, class B>
[[gnu::always_inline]] inline bool screen_binary_half(A a, B b, std::uint16_t r) {
  using namespace classify_detail;
  static_assert(form_fits<op, 2, 1>);
  return is_ordinary_half_bits<op>(r) & inputs_quiet<op, Half>(a, b);
}

template <Op op, class A, class R>
std::uint32_t classify_unary(A x, R r) {
  if (screen_unary<op>(x, r)) [[likely]]
    return 0;
  return classify_detail::typed_rest<op>(x, x, r, r);
}

template <Op op, class A, class R1, class R2>
std::uint32_t classify_unary2(A x, R1 r1, R2 r2) {
  if (screen_unary2<op>(x, r1, r2)) [[likely]]
    return 0;
  return classify_detail::typed_rest<op>(x, x, r1, r2);
}

template <Op op, class A, class B, class R>
std::uint32_t classify_binary(A a, B b, R r) {
  if (screen_binary<op>(a, b, r)) [[likely]]
    return 0;
  return classify_detail::typed_rest<op>(a, b, r, r);
}

template <Op op, class A, class B, class R1, class R2>
std::uint32_t classify_binary2(A a, B b, R1 q, R2 m) {
  if (screen_binary2<op>(a, b, q, m)) [[likely]]
    return 0;
  return classify_detail::typed_rest<op>(a, b, q, m);
}

}  // namespace quarvel_kernels
