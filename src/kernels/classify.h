// Floating-point fault classification: which of divide by zero, overflow,
// underflow and invalid value one element operation produced, decided from the
// operation, the inputs the kernel received and the results it returned. The
// processor's status flags are never read, so the answer depends on the values
// alone; nothing is kept between calls and nothing fails.
//
// Two forms give the same bits. `classify_errors` reads Scalars of any dtype
// through the storage core's value services. The typed forms take elements,
// decide inline that no rule can fire on the usual values, and give
// everything else to the rule core that the Scalar form runs too (the long
// double ones through the records fault_value makes of their values).
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
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
// The rule core, shared by both forms.

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
// The typed forms: a screen that proves no rule can fire, else the core.
//
// A result that is finite and zero or normal in its own dtype sets nothing
// through the per-result rules (invalid needs NaN, overflow infinity, the
// exactness rules a subnormal value). What remains are the rules that fire on
// such results: the zero rules on the inputs, the log-add-exp intermediates,
// the quotient underflow, the small cosine and the flush to zero; each is
// screened below by a test that may only err towards the core.

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

// No per-result rule fires on r: it is plain, and a zero that op would flush
// came from a zero input.
template <Op op, class R, class... In>
bool result_quiet(R r, In... in) {
  if (!is_plain_result(r)) return false;
  if constexpr (fault_rule(op).flush_to_zero && (is_real_float_element<R> || is_complex_element<R>)) {
    return !is_zero_element(r) || (is_zero_element(in) || ...);
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

// Out of line and cold, so a loop keeps only the first screen: the full
// screen, then the rule core on records of every value.
template <Op op, class A, class... R>
[[gnu::cold, gnu::noinline]] std::uint32_t unary_rest(A x, R... r) {
  if ((result_quiet<op>(r, x) && ...) && inputs_quiet<op, R...>(x)) return 0;
  const FaultValue in[] = {fault_value(x)};
  const FaultValue out[] = {fault_value(r)...};
  return classify_faults(op, in, out);
}
template <Op op, class A, class B, class... R>
[[gnu::cold, gnu::noinline]] std::uint32_t binary_rest(A a, B b, R... r) {
  if ((result_quiet<op>(r, a, b) && ...) && inputs_quiet<op, R...>(a, b)) return 0;
  const FaultValue in[] = {fault_value(a), fault_value(b)};
  const FaultValue out[] = {fault_value(r)...};
  return classify_faults(op, in, out);
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
  return classify_detail::unary_rest<op>(x, r);
}

template <Op op, class A, class R1, class R2>
std::uint32_t classify_unary2(A x, R1 r1, R2 r2) {
  if (screen_unary2<op>(x, r1, r2)) [[likely]]
    return 0;
  return classify_detail::unary_rest<op>(x, r1, r2);
}

template <Op op, class A, class B, class R>
std::uint32_t classify_binary(A a, B b, R r) {
  if (screen_binary<op>(a, b, r)) [[likely]]
    return 0;
  return classify_detail::binary_rest<op>(a, b, r);
}

template <Op op, class A, class B, class R1, class R2>
std::uint32_t classify_binary2(A a, B b, R1 q, R2 m) {
  if (screen_binary2<op>(a, b, q, m)) [[likely]]
    return 0;
  return classify_detail::binary_rest<op>(a, b, q, m);
}

}  // namespace quarvel_kernels
