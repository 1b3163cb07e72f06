// Typed element forms: for one operation and the element types of one
// fixed-width loop, the results the Scalar kernels (kernels.h) give for those
// dtypes, computed on elements through the same formulas and with the same
// precision at every step (a float32 value the Scalar path reads as a double
// is read as a double here too, so even signalling NaNs come out alike).
//
// The form is chosen at compile time: a loop's per-element body holds no
// switch on the operation. A form that calls a float or complex function of
// the tables in unary_float.h and binary_float.h takes that function, looked
// up once per call, as its state; the others take an empty one.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels/binary.h"
#include "kernels/binary_float.h"
#include "kernels/element.h"
#include "kernels/next_after.h"
#include "kernels/ops.h"
#include "kernels/unary.h"
#include "kernels/unary_float.h"

namespace quarvel_kernels::element_forms {

struct NoState {};

template <Op op>
inline constexpr bool is_comparison = op == Op::equal || op == Op::not_equal || op == Op::less ||
                                      op == Op::less_equal || op == Op::greater || op == Op::greater_equal;
template <Op op>
inline constexpr bool is_logical = op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor;

template <class T>
inline constexpr bool is_single_or_double = std::is_same_v<T, float> || std::is_same_v<T, double>;

// A float or double result as Scalar(x).cast(R) gives it; R itself unchanged.
template <class R, class C>
R from_float_or_double(C x) {
  if constexpr (std::is_same_v<R, C>) {
    return x;
  } else {
    return rounded_from_double<R>(x);
  }
}

// ---- one input -------------------------------------------------------------

// Whether the form of op on elements of type A calls a table function: the
// integer, predicate and sign-handling forms do not, nor those inlined.
template <Op op, class A>
constexpr bool unary_calls_function() {
  using enum Op;
  if (std::is_integral_v<A>) return false;
  switch (op) {
    case absolute:
    case fabs:
    case conjugate:
    case sign:
    case modf:
    case frexp:
    case isnan:
    case isinf:
    case isfinite:
    case signbit:
    case positive:
    case logical_not:
    case invert:
    case bitwise_count:
    case negative: return false;
    case square:
    case reciprocal: return false;
    case spacing:
      if (std::is_same_v<A, Half>) return false;  // half_spacing, inlined
      [[fallthrough]];
    default: return !(is_inline_real<op> && (is_single_or_double<A> || std::is_same_v<A, Half>));
  }
}

// A float16 element runs the single-precision function, its result rounded
// once to half.
template <Op op, class A>
using function_element = std::conditional_t<std::is_same_v<A, Half>, float, A>;

// Complex64 elements are computed through runs (unary_float.h).
template <Op op, class A>
inline constexpr bool unary_runs_function = unary_calls_function<op, A>() && std::is_same_v<A, std::complex<float>>;

template <Op op, class A>
using UnaryState =
    std::conditional_t<!unary_calls_function<op, A>(), NoState,
                       std::conditional_t<unary_runs_function<op, A>, ComplexRun<float>,
                                          UnaryFunction<function_element<op, A>>>>;

template <Op op, class A>
UnaryState<op, A> unary_state() {
  if constexpr (!unary_calls_function<op, A>()) {
    return {};
  } else if constexpr (std::is_same_v<A, Half>) {
    // Null exactly where the half table is.
    return real_function_f32(op);
  } else if constexpr (std::is_same_v<A, float>) {
    return real_function_f32(op);
  } else if constexpr (std::is_same_v<A, double>) {
    return real_function_f64(op);
  } else if constexpr (std::is_same_v<A, std::complex<float>>) {
    return complex_run_f32(op);
  } else {
    return complex_function_f64(op);
  }
}

// ---- float16 results rounded a block at a time ------------------------------

// The forms whose float16 result is single-precision work on the operands
// rounded once to half: a loop may take that value unrounded and round a
// block of them at once, which gives the form's bits.
template <Op op, class A, class R>
constexpr bool has_unrounded_half_unary() {
  using enum Op;
  if (!std::is_same_v<A, Half> || !std::is_same_v<R, Half>) return false;
  if (is_inline_real<op> || op == negative || op == absolute || op == fabs || op == spacing) return true;
  return unary_calls_function<op, A>();
}

template <Op op, class A>
float unrounded_half(const UnaryState<op, A>& state, Half x) {
  using enum Op;
  if constexpr (op == negative) {
    return -quieted(x.value);
  } else if constexpr (op == absolute || op == fabs) {
    return std::fabs(quieted(x.value));
  } else if constexpr (is_inline_real<op>) {
    return inline_real<op>(x.value);
  } else if constexpr (op == spacing) {
    return half_spacing(x.value);
  } else {
    return state(x.value);
  }
}

// One result; false where the Scalar kernel refuses the element.
template <Op op, class A, class R>
[[gnu::always_inline]] inline bool unary_form(UnaryState<op, A> state, A x, R& r) {
  using enum Op;
  if constexpr (unary_calls_function<op, A>() && has_unrounded_half_unary<op, A, R>()) {
    if (state == nullptr) return false;
    r = Half{round_to_half(unrounded_half<op, A>(state, x))};
  } else if constexpr (has_unrounded_half_unary<op, A, R>()) {
    r = Half{round_to_half(unrounded_half<op, A>(state, x))};
  } else if constexpr (unary_runs_function<op, A>) {
    if (state == nullptr) return false;
    state(&x, &r, 1);
  } else if constexpr (unary_calls_function<op, A>()) {
    if (state == nullptr) return false;
    r = state(x);
  } else if constexpr (op == absolute && std::is_integral_v<A>) {
    r = absolute_element<R>(x);
  } else if constexpr (op == absolute && is_complex_element<A>) {
    r = complex_magnitude(x);
  } else if constexpr (op == absolute || op == fabs) {
    r = rounded_from_double<R>(std::fabs(real_reading(x)));
  } else if constexpr (op == conjugate && std::is_same_v<A, std::complex<float>>) {
    // The Scalar path negates through complex<double>.
    r = R(quieted(x.real()), -quieted(x.imag()));
  } else if constexpr (op == conjugate && is_complex_element<A>) {
    r = R(x.real(), -x.imag());
  } else if constexpr (op == ceil || op == floor || op == trunc || op == positive || op == conjugate) {
    r = x;
  } else if constexpr (op == sign && std::is_same_v<A, Half>) {
    r = Half{sign_real(x.value)};
  } else if constexpr (op == sign && is_complex_element<A>) {
    r = sign_complex(x);
  } else if constexpr (op == sign) {
    r = static_cast<R>(sign_real(real_reading(x)));  // -1, 0, 1 or NaN: exact in R
  } else if constexpr (op == isnan) {
    r = element_is_nan(x);
  } else if constexpr (op == isinf) {
    r = element_is_infinite(x);
  } else if constexpr (op == isfinite) {
    r = element_is_finite(x);
  } else if constexpr (op == signbit) {
    r = std::signbit(real_reading(x));
  } else if constexpr (op == square && std::is_integral_v<A>) {
    r = square_element<R>(x);
  } else if constexpr (op == reciprocal && std::is_integral_v<A>) {
    r = reciprocal_element<R>(x);
  } else if constexpr (op == square && is_complex_element<A>) {
    r = complex_square(x);
  } else if constexpr (op == reciprocal && is_complex_element<A>) {
    r = complex_reciprocal(x);
  } else if constexpr (is_inline_real<op> && std::is_same_v<A, Half>) {
    // The float function on the float16 value as it is, rounded once.
    r = Half{round_to_half(inline_real<op>(x.value))};
  } else if constexpr (is_inline_real<op>) {
    r = inline_real<op>(x);
  } else if constexpr (op == negative && std::is_integral_v<A>) {
    r = negative_element<R>(x);
  } else if constexpr (op == negative && is_complex_element<A>) {
    r = R(-x.real(), -x.imag());
  } else if constexpr (op == negative) {
    r = rounded_from_double<R>(-real_reading(x));
  } else if constexpr (op == logical_not || (op == invert && std::is_same_v<R, bool>)) {
    r = !element_is_truthy(x);
  } else if constexpr (op == invert) {
    r = invert_element<R>(x);
  } else {
    static_assert(op == bitwise_count);
    r = bitwise_count_element<R>(x);
  }
  return true;
}

// modf and frexp: single precision for float16 and float32 results, each
// float16 result rounded once from it.
template <Op op, class A, class R1>
[[gnu::always_inline]] inline auto unary2_parts(A x) {
  static_assert(op == Op::modf || op == Op::frexp);
  using C = std::conditional_t<std::is_same_v<R1, double>, double, float>;
  const C v = static_cast<C>(real_reading(x));
  if constexpr (op == Op::modf) return modf_parts(v);
  else return frexp_parts(v);
}

template <Op op, class A, class R1, class R2>
[[gnu::always_inline]] inline bool unary2_form(NoState, A x, R1& r1, R2& r2) {
  const auto [first, second] = unary2_parts<op, A, R1>(x);
  r1 = from_float_or_double<R1>(first);
  r2 = from_float_or_double<R2>(second);  // frexp's int32 exponent as it is
  return true;
}

// ---- two inputs ------------------------------------------------------------

// Whether the form of op on (A, B) calls a table function.
template <Op op, class A, class B>
constexpr bool binary_calls_function() {
  if (std::is_integral_v<A> || is_comparison<op> || is_logical<op>) return false;
  if (op == Op::ldexp || op == Op::divmod) return false;
  if (std::is_same_v<A, Half> && op == Op::nextafter) return false;
  if (is_complex_element<A>) return !is_complex_arithmetic<op>;
  return !(is_inline_real_binary<op> && (is_single_or_double<A> || std::is_same_v<A, Half>));
}

// Float16 elements compute in single precision.
template <class A>
using computed_as = std::conditional_t<std::is_same_v<A, Half>, float, A>;

template <Op op, class A, class B>
using BinaryState = std::conditional_t<binary_calls_function<op, A, B>(), BinaryFunction<computed_as<A>>, NoState>;

template <Op op, class A, class B>
BinaryState<op, A, B> binary_state() {
  using C = computed_as<A>;
  if constexpr (!binary_calls_function<op, A, B>()) {
    return {};
  } else if constexpr (std::is_same_v<C, float>) {
    return real_binary_f32(op);
  } else if constexpr (std::is_same_v<C, double>) {
    return real_binary_f64(op);
  } else if constexpr (std::is_same_v<C, std::complex<float>>) {
    return complex_binary_f32(op);
  } else {
    return complex_binary_f64(op);
  }
}

// Same-type operands compare in their own type (float16 by value); the mixed
// 64-bit integer loops compare exactly in 128 bits.
template <class A, class B>
Ordering compare_elements(A a, B b) {
  if constexpr (!std::is_same_v<A, B>) {
    return compare_values(static_cast<i128>(a), static_cast<i128>(b));
  } else if constexpr (std::is_same_v<A, Half>) {
    return compare_values(a.value, b.value);
  } else {
    return compare_values(a, b);
  }
}

// Complex operands compare by real parts, then imaginary parts; a NaN part
// leaves them unordered (compare_values). Without branches, so that a loop of
// them vectorises.
template <Op op, class F>
bool complex_comparison(std::complex<F> a, std::complex<F> b) {
  const F ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
  const bool imaginary_ordered = (ai == ai) & (bi == bi);
  const bool tie = ar == br;
  const bool less = ((ar < br) & imaginary_ordered) | (tie & (ai < bi));
  const bool greater = ((br < ar) & imaginary_ordered) | (tie & (bi < ai));
  const bool equal = tie & (ai == bi);
  if constexpr (op == Op::less) return less;
  if constexpr (op == Op::less_equal) return less | equal;
  if constexpr (op == Op::equal) return equal;
  if constexpr (op == Op::not_equal) return !equal;
  if constexpr (op == Op::greater) return greater;
  if constexpr (op == Op::greater_equal) return greater | equal;
}

// The single-precision operand of a float16 element, read as the Scalar path
// reads it (through its double).
inline float single_operand(Half x) { return static_cast<float>(real_reading(x)); }

template <Op op, class A, class B, class R>
constexpr bool has_unrounded_half_binary() {
  if (!std::is_same_v<A, Half> || !std::is_same_v<R, Half> || op_info(op).nout != 1) return false;
  return !is_comparison<op> && !is_logical<op>;
}

// nextafter of two float16 values held as floats: one step of the half's
// bit pattern, NaN as the canonical 0x7E00 (next_after_dtype's float16 step).
inline float next_after_half(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return half_bits_to_float(0x7E00);
  if (a == b) return b;
  const std::uint16_t a_bits = float_to_half_bits(a), b_bits = float_to_half_bits(b);
  if (a == 0) return half_bits_to_float(static_cast<std::uint16_t>((b_bits & 0x8000u) | 1u));
  const bool away_from_zero = (a > 0) == (b > a);
  return half_bits_to_float(static_cast<std::uint16_t>(away_from_zero ? a_bits + 1 : a_bits - 1));
}

template <Op op, class B>
float unrounded_half(const BinaryState<op, Half, B>& state, Half a, B b) {
  using enum Op;
  if constexpr (op == ldexp) {
    return scale_pow2_f32(single_operand(a), b);
  } else if constexpr (op == nextafter) {
    return next_after_half(single_operand(a), single_operand(b));
  } else if constexpr (is_inline_real_binary<op>) {
    return inline_real_binary<op>(single_operand(a), single_operand(b));
  } else {
    return state(single_operand(a), single_operand(b));
  }
}

template <Op op, class A, class B, class R>
[[gnu::always_inline]] inline bool binary_form(BinaryState<op, A, B> state, A a, B b, R& r) {
  using enum Op;
  if constexpr (has_unrounded_half_binary<op, A, B, R>()) {
    if constexpr (binary_calls_function<op, A, B>()) {
      if (state == nullptr) return false;
    }
    r = Half{round_to_half(unrounded_half<op, B>(state, a, b))};
  } else if constexpr (is_comparison<op> && is_complex_element<A> && std::is_same_v<A, B>) {
    r = complex_comparison<op>(a, b);
  } else if constexpr (is_comparison<op>) {
    r = comparison_holds(op, compare_elements(a, b));
  } else if constexpr (is_logical<op>) {
    r = logical_holds(op, element_is_truthy(a), element_is_truthy(b));
  } else if constexpr (op == ldexp && std::is_same_v<A, float>) {
    r = scale_pow2_f32(a, b);
  } else if constexpr (op == ldexp) {
    r = scale_pow2_f64(a, b);
  } else if constexpr (std::is_integral_v<A>) {
    if constexpr (op == bitwise_and || op == bitwise_or || op == bitwise_xor) {
      r = bitwise_logic<op>(a, b);
    } else if constexpr (op == left_shift || op == right_shift) {
      r = wrap_to<R>(shifted<op>(element_bits(a), a, b, sizeof(R) * 8, std::is_signed_v<R>));
    } else if constexpr (op == gcd) {
      r = wrap_to<R>(quarvel_kernels::gcd(a, b));
    } else if constexpr (op == lcm) {
      r = wrap_to<R>(std::is_signed_v<R> ? quarvel_kernels::lcm(a, b) : lcm_of_unsigned(a, b));
    } else {
      const std::optional<R> v = integer_arithmetic<op>(a, b);
      if (!v) return false;
      r = *v;
    }
  } else if constexpr (is_complex_element<A> && !binary_calls_function<op, A, B>()) {
    r = complex_arithmetic<op>(a, b);
  } else if constexpr (!binary_calls_function<op, A, B>()) {
    r = inline_real_binary<op>(a, b);
  } else {
    if (state == nullptr) return false;
    r = state(a, b);
  }
  return true;
}

// Whether a loop may take the form's float16 result unrounded (see above).
template <Op op, class A, class B, class R>
inline constexpr bool has_unrounded_half =
    op_info(op).nin == 1 ? has_unrounded_half_unary<op, A, R>() : has_unrounded_half_binary<op, A, B, R>();

// The single-precision results of divmod on float16 operands.
[[gnu::always_inline]] inline std::pair<float, float> divmod_half_parts(Half a, Half b) {
  const float x = single_operand(a), y = single_operand(b);
  return {floor_divide(x, y), float_remainder(x, y)};
}

// divmod: the floor quotient and the remainder, each as its own operation gives it.
template <Op op, class A, class B, class R1, class R2>
[[gnu::always_inline]] inline bool binary2_form(NoState, A a, B b, R1& q, R2& m) {
  static_assert(op == Op::divmod);
  if constexpr (std::is_integral_v<A>) {
    q = *integer_arithmetic<Op::floor_divide>(a, b);
    m = *integer_arithmetic<Op::remainder>(a, b);
  } else if constexpr (std::is_same_v<A, Half>) {
    const auto [quotient, remainder] = divmod_half_parts(a, b);
    q = rounded_from_double<Half>(quotient);
    m = rounded_from_double<Half>(remainder);
  } else {
    q = floor_divide(a, b);
    m = float_remainder(a, b);
  }
  return true;
}

// The two results of modf, frexp and divmod with float16 outputs as single
// precision gives them, before each float16 one is rounded once (which a loop
// may do for a block of them at once): a pair of floats, frexp's exponent as
// the int32 it is.
template <Op op, class A, class B>
[[gnu::always_inline]] inline auto unrounded_half_pair(A a, [[maybe_unused]] B b) {
  if constexpr (op == Op::divmod) return divmod_half_parts(a, b);
  else return unary2_parts<op, A, Half>(a);
}

}  // namespace quarvel_kernels::element_forms
