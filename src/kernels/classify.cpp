#include "kernels/classify.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "longdouble/ld_typed.h"
#include "storage/extended.h"

namespace quarvel_kernels {
namespace {

using i128 = __int128;

constexpr bool is_integer_kind(DType d) { return d.kind() == 'b' || d.kind() == 'i' || d.kind() == 'u'; }

template <class T>
std::optional<T> read(const Result<T>& r) {
  return r ? std::optional<T>(*r) : std::nullopt;
}

// ---------------------------------------------------------------------------
// Exactness of subnormal results: the typed tests, each operand present.

template <class F>
bool product_matches(std::optional<F> lhs, std::optional<F> rhs, F actual) {
  return lhs && rhs && classify_detail::product_is(*lhs, *rhs, actual);
}

template <class F>
bool sum_matches(std::optional<F> lhs, std::optional<F> rhs, F actual) {
  return lhs && rhs && classify_detail::sum_is(*lhs, *rhs, actual);
}

template <class F>
bool exp2_matches(std::optional<F> exponent, F actual) {
  return exponent && classify_detail::exp2_is(*exponent, actual);
}

template <class F>
bool ldexp_matches(std::optional<F> mantissa, std::optional<F> exponent, F actual) {
  return mantissa && exponent && classify_detail::ldexp_is(*mantissa, *exponent, actual);
}

// ---------------------------------------------------------------------------
// Steps

// A value's real part in extended precision: its own reading for the long
// double types, else its double reading.
std::optional<long double> extended_real(const FaultValue& v) {
  if (v.extended) return v.extended->real();
  if (v.real) return *v.real;
  return std::nullopt;
}

// A value's pair in extended precision: its own reading for the long double
// types, else its double pair.
std::optional<std::complex<long double>> extended_pair(const FaultValue& v) {
  if (v.extended) return v.extended;
  if (v.pair) return std::complex<long double>(v.pair->real(), v.pair->imag());
  return std::nullopt;
}

struct InputFacts {
  bool some_nan = false;
  bool all_finite = true;
  bool some_zero = false;
  bool all_integer = true;
  bool divisor_zero = false;       // two inputs only
  bool dividend_infinite = false;  // two inputs only
  bool first_is_minus_one = false;
};

InputFacts input_facts(std::span<const FaultValue> in) {
  InputFacts facts;
  for (const FaultValue& v : in) {
    facts.some_nan = facts.some_nan || v.nan;
    facts.all_finite = facts.all_finite && v.finite;
    facts.some_zero = facts.some_zero || v.zero;
    facts.all_integer = facts.all_integer && is_integer_kind(v.dtype);
  }
  if (in.size() == 2) {
    facts.divisor_zero = in[1].zero;
    facts.dividend_infinite = in[0].infinite;
  }
  if (!in.empty()) {
    // A real value's pair has no imaginary part, so one test serves both kinds.
    const auto z = extended_pair(in[0]);
    facts.first_is_minus_one = z && z->real() == -1 && z->imag() == 0;
  }
  return facts;
}

// Divide by zero, and invalid value from zero by zero.
std::uint32_t zero_rule_flags(ZeroRule rule, std::span<const FaultValue> in, const InputFacts& facts) {
  const bool two = in.size() == 2, one = in.size() == 1;
  // x / 0 with x not an integer: 0 / 0 is invalid, a finite x divides by zero.
  const auto float_division = [&]() -> std::uint32_t {
    if (in[0].zero) return fault_invalid;
    return in[0].finite ? fault_divide : 0;
  };
  switch (rule) {
    case ZeroRule::none: return 0;
    case ZeroRule::integer_remainder: return two && facts.divisor_zero && facts.all_integer ? fault_divide : 0;
    case ZeroRule::floor_division:
      if (!two || !facts.divisor_zero) return 0;
      return facts.all_integer ? fault_divide : float_division();
    case ZeroRule::division: return two && facts.divisor_zero ? float_division() : 0;
    case ZeroRule::zero_input: return one && in[0].zero ? fault_divide : 0;
    case ZeroRule::minus_one: return one && facts.first_is_minus_one ? fault_divide : 0;
    case ZeroRule::unit_real: {
      const auto z = in.empty() ? std::nullopt : extended_pair(in[0]);
      return z && std::fabs(z->real()) == 1 && z->imag() == 0 ? fault_divide : 0;
    }
    case ZeroRule::zero_base: {
      const auto exponent = two ? extended_real(in[1]) : std::nullopt;
      if (!two || !in[0].zero || !exponent || !(*exponent < 0)) return 0;
      for (const FaultValue& v : in)
        if (v.dtype.kind() == 'c') return 0;
      return fault_divide;
    }
  }
  return 0;
}

bool both_long_double(std::span<const FaultValue> in) {
  return in[0].dtype == DType::LongDouble && in[1].dtype == DType::LongDouble;
}

// Both inputs as finite doubles, or absent.
std::optional<std::pair<double, double>> finite_pair(std::span<const FaultValue> in) {
  if (!in[0].real || !in[1].real || !std::isfinite(*in[0].real) || !std::isfinite(*in[1].real)) return std::nullopt;
  return std::pair{*in[0].real, *in[1].real};
}

// a - b overflows, whatever the result.
bool intermediate_overflows(std::span<const FaultValue> in) {
  if (both_long_double(in))
    return in[0].extended && in[1].extended &&
           classify_detail::log_add_exp_overflows(in[0].extended->real(), in[1].extended->real());
  const auto ab = finite_pair(in);
  return ab && std::isinf(ab->first - ab->second);
}

// e^-|a - b| (2^-|a - b|) underflows in the result dtype.
bool intermediate_underflows(std::span<const FaultValue> in, DType result, bool base2) {
  if (result == DType::LongDouble)
    return both_long_double(in) && in[0].extended && in[1].extended &&
           classify_detail::log_add_exp_underflows(in[0].extended->real(), in[1].extended->real(), base2);
  const auto ab = finite_pair(in);
  return ab && result.is_binary_float() && classify_detail::log_add_exp_underflows(ab->first, ab->second, result, base2);
}

// a / b lands below the result dtype's normal range and is not exact there.
bool quotient_underflows(std::span<const FaultValue> in, DType result) {
  return in[0].real && in[1].real && result.is_binary_float() &&
         classify_detail::quotient_underflows(*in[0].real, *in[1].real, result);
}

// Whether a subnormal result is the exact value of its operation.
bool subnormal_is_exact(Op op, ExactRow row, std::span<const FaultValue> in, const FaultValue& out) {
  if (!out.pair || out.pair->imag() != 0.0 || out.dtype.kind() != 'f' || !out.real) return false;
  if (in.size() != op_info(op).nin) return false;
  const bool two = in.size() == 2;
  const bool normal_input = in[0].finite && !in[0].zero && !in[0].subnormal;
  if (out.extended)
    return classify_detail::row_is_exact<long double>(row, normal_input, out.extended->real(), extended_real(in[0]),
                                                      two ? extended_real(in[1]) : std::nullopt);
  return classify_detail::row_is_exact<double>(row, normal_input, *out.real, in[0].real,
                                               two ? in[1].real : std::nullopt);
}

std::uint32_t result_flags(Op op, std::span<const FaultValue> in, const FaultValue& out, const InputFacts& facts,
                           bool divided_by_zero) {
  const FaultRule& rule = fault_rule(op);
  std::uint32_t flags = 0;
  const bool nan_expected = facts.some_nan || (rule.nan_for_infinite_input && !in.empty() && in[0].infinite) ||
                            (rule.nan_for_zero_divisor && facts.divisor_zero) ||
                            (rule.nan_for_infinite_dividend && facts.dividend_infinite);
  if (out.nan && !nan_expected) flags |= fault_invalid;
  if (out.infinite && facts.all_finite && !divided_by_zero) flags |= fault_over;
  if (out.subnormal && !subnormal_is_exact(op, rule.exact, in, out)) flags |= fault_under;
  // cos of a tiny nonzero x is 1 - x^2/2, which rounds to 1 only by losing a
  // term below the float16/float32 normal range.
  if (rule.small_cosine && in.size() == 1 && (out.dtype == DType::Float16 || out.dtype == DType::Float32) &&
      in[0].real && *in[0].real != 0 && std::fabs(*in[0].real) < 0x1p-63 && out.real && std::fabs(*out.real) == 1.0)
    flags |= fault_under;
  const char kind = out.dtype.kind();
  if (rule.flush_to_zero && in.size() == op_info(op).nin && (kind == 'f' || kind == 'c') && out.zero &&
      !facts.some_zero && facts.all_finite)
    flags |= fault_under;
  return flags;
}

// The value tests, shared by the record and scalar_is_*.
struct ValueTests {
  bool nan = false;
  bool infinite = false;
  bool finite = false;
};

ValueTests value_tests(const Scalar& value, const std::optional<double>& real,
                       const std::optional<std::complex<double>>& pair) {
  const DType dtype = value.dtype();
  if (dtype.is_long_double()) return {value.is_nan(), value.is_infinite(), value.is_finite()};
  if (dtype.kind() == 'c') {
    if (!pair) return {};
    const double re = pair->real(), im = pair->imag();
    return {std::isnan(re) || std::isnan(im), std::isinf(re) || std::isinf(im), std::isfinite(re) && std::isfinite(im)};
  }
  if (!real) return {};
  return {std::isnan(*real), std::isinf(*real), std::isfinite(*real)};
}

ValueTests value_tests(const Scalar& value) {
  return value_tests(value, read(value.as_f64()), read(value.as_complex()));
}

}  // namespace

// ---------------------------------------------------------------------------
// The tests both forms share.

namespace classify_detail {

namespace {

// log(m) of a binary float result dtype's smallest normal m, as the C library
// computes it: the rules compare against its bits, so no compile-time fold
// stands in.
double log_smallest_normal(DType result) {
  static const std::array<double, 3> logs = [] {
    volatile double m16 = smallest_normal<Half>, m32 = smallest_normal<float>, m64 = smallest_normal<double>;
    return std::array<double, 3>{std::log(m16), std::log(m32), std::log(m64)};
  }();
  return logs[result.code - DType::Float16];
}

}  // namespace

// In F's precision: double, or long double for the long double types, whose
// doubles would round small values to zero and make 0 * 0 == 0 look exact.
template <class F>
bool row_is_exact(ExactRow row, bool normal_input, F v, std::optional<F> a, std::optional<F> b) {
  switch (row) {
    case ExactRow::never: return false;
    case ExactRow::magnitude: return a && v == std::fabs(*a);
    case ExactRow::same: return a && v == *a;
    case ExactRow::negated: return a && v == -*a;
    case ExactRow::square: return product_matches(a, a, v);
    case ExactRow::reciprocal: return product_matches<F>(v, a, 1);
    case ExactRow::power_of_two: return exp2_matches(a, v);
    case ExactRow::spacing: return normal_input;
    case ExactRow::sum: return sum_matches(a, b, v);
    case ExactRow::difference: return sum_matches<F>(a, b ? -*b : std::numeric_limits<F>::quiet_NaN(), v);
    case ExactRow::product: return product_matches(a, b, v);
    case ExactRow::quotient: return product_matches<F>(v, b, a ? *a : std::numeric_limits<F>::quiet_NaN());
    case ExactRow::either: return (a && v == *a) || (b && v == *b);
    case ExactRow::copysign: return a && b && v == std::copysign(*a, *b);
    case ExactRow::ldexp: return ldexp_matches(a, b, v);
  }
  return false;
}
template bool row_is_exact(ExactRow, bool, double, std::optional<double>, std::optional<double>);
template bool row_is_exact(ExactRow, bool, long double, std::optional<long double>, std::optional<long double>);

bool log_add_exp_underflows(double a, double b, DType result, bool base2) {
  const double d = a - b;
  if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(d)) return false;
  const double log_m = log_smallest_normal(result);
  return base2 ? log_m > std::fabs(d) * -0.6931471805599453 : log_m > -std::fabs(d);
}

bool log_add_exp_underflows(long double a, long double b, bool base2) {
  return quarvel_longdouble::logaddexp_intermediate_underflow(a, b, base2);
}

bool log_add_exp_overflows(long double a, long double b) {
  return quarvel_longdouble::logaddexp_intermediate_overflow(a, b);
}

bool quotient_underflows(double a, double b, DType result) {
  const auto ordinary = [](double x) { return x != 0 && std::isfinite(x); };
  if (!ordinary(a) || !ordinary(b)) return false;
  if (!(std::log(std::fabs(a)) - std::log(std::fabs(b)) < log_smallest_normal(result))) return false;
  const double q = a / b;
  if (q == 0.0) return true;
  // q as a cast of the double to the result dtype rounds it.
  const double rounded = result == DType::Float16   ? static_cast<double>(round_to_half(q))
                         : result == DType::Float32 ? static_cast<double>(static_cast<float>(q))
                                                    : q;
  return !product_matches<double>(rounded, b, a);
}

}  // namespace classify_detail

// ---------------------------------------------------------------------------

bool scalar_is_nan(const Scalar& value) { return value_tests(value).nan; }
bool scalar_is_infinite(const Scalar& value) { return value_tests(value).infinite; }
bool scalar_is_finite(const Scalar& value) { return value_tests(value).finite; }

bool exact_product_matches(const Scalar& lhs, const Scalar& rhs, double actual) {
  return product_matches(read(lhs.as_f64()), read(rhs.as_f64()), actual);
}
bool exact_sum_matches(const Scalar& lhs, const Scalar& rhs, double actual) {
  return sum_matches(read(lhs.as_f64()), read(rhs.as_f64()), actual);
}
bool exact_exp2_matches(const Scalar& exponent, double actual) { return exp2_matches(read(exponent.as_f64()), actual); }

FaultValue fault_value(const Scalar& value) {
  FaultValue v;
  v.dtype = value.dtype();
  v.real = read(value.as_f64());
  v.pair = read(value.as_complex());
  const ValueTests tests = value_tests(value, v.real, v.pair);
  v.nan = tests.nan;
  v.infinite = tests.infinite;
  v.finite = tests.finite;
  v.zero = v.dtype.is_long_double() ? value.is_zero() : v.pair && v.pair->real() == 0.0 && v.pair->imag() == 0.0;
  v.subnormal = value.is_subnormal();
  if (const LongDoubleText* text = value.get_if<LongDoubleText>()) {
    if (const auto x = quarvel_storage::extended_from_text(text->text)) v.extended = *x;
  } else if (const ComplexLongDoubleText* parts = value.get_if<ComplexLongDoubleText>()) {
    const auto re = quarvel_storage::extended_from_text(parts->re), im = quarvel_storage::extended_from_text(parts->im);
    if (re && im) v.extended = std::complex<long double>(*re, *im);
  }
  return v;
}

FaultValue fault_value(quarvel_storage::Extended element) {
  const long double x = element.value;
  FaultValue v;
  v.dtype = DType::LongDouble;
  v.real = quarvel_storage::double_through_text(x);
  v.pair = std::complex<double>(*v.real, 0.0);
  v.nan = std::isnan(x);
  v.infinite = std::isinf(x);
  v.finite = std::isfinite(x);
  v.zero = x == 0;
  v.subnormal = std::fpclassify(x) == FP_SUBNORMAL;
  v.extended = x;
  return v;
}

// Each test joins the parts as the Scalar predicates do: NaN, infinite and
// subnormal in either part, finite and zero in both.
FaultValue fault_value(quarvel_storage::ComplexExtended element) {
  const long double re = element.re, im = element.im;
  FaultValue v;
  v.dtype = DType::ComplexLongDouble;
  v.real = quarvel_storage::double_through_text(re);
  v.pair = std::complex<double>(*v.real, quarvel_storage::double_through_text(im));
  v.nan = std::isnan(re) || std::isnan(im);
  v.infinite = std::isinf(re) || std::isinf(im);
  v.finite = std::isfinite(re) && std::isfinite(im);
  v.zero = re == 0 && im == 0;
  v.subnormal = std::fpclassify(re) == FP_SUBNORMAL || std::fpclassify(im) == FP_SUBNORMAL;
  v.extended = std::complex<long double>(re, im);
  return v;
}

// The same record from an element, read as the Scalar services read it:
// integers and bool converted (64-bit ones rounded), float16 through its
// float, complex values by both parts; subnormal against the element's own
// smallest normal.
template <class T>
  requires is_fixed_element<T>
FaultValue fault_value(T element) {
  FaultValue v;
  v.dtype = element_dtype<T>;
  using classify_detail::smallest_normal;
  double re = 0.0, im = 0.0;
  bool subnormal = false;
  // Parts are exact as doubles, so the comparison is the element's own.
  const auto below_normal = [](double part, double smallest) {
    return part != 0 && !std::isnan(part) && std::fabs(part) < smallest;
  };
  if constexpr (std::is_same_v<T, Half>) {
    re = element.value;
    subnormal = below_normal(re, smallest_normal<Half>);
  } else if constexpr (std::is_floating_point_v<T>) {
    re = element;
    subnormal = below_normal(re, smallest_normal<T>);
  } else if constexpr (is_complex_element<T>) {
    using F = typename T::value_type;
    re = element.real();
    im = element.imag();
    subnormal = below_normal(re, smallest_normal<F>) || below_normal(im, smallest_normal<F>);
  } else {
    re = static_cast<double>(element);
  }
  v.real = re;
  v.pair = std::complex<double>(re, im);
  v.nan = std::isnan(re) || std::isnan(im);
  v.infinite = std::isinf(re) || std::isinf(im);
  v.finite = !v.nan && !v.infinite;
  v.zero = re == 0.0 && im == 0.0;
  v.subnormal = subnormal;
  return v;
}

template FaultValue fault_value(bool);
template FaultValue fault_value(std::int8_t);
template FaultValue fault_value(std::uint8_t);
template FaultValue fault_value(std::int16_t);
template FaultValue fault_value(std::uint16_t);
template FaultValue fault_value(std::int32_t);
template FaultValue fault_value(std::uint32_t);
template FaultValue fault_value(std::int64_t);
template FaultValue fault_value(std::uint64_t);
template FaultValue fault_value(Half);
template FaultValue fault_value(float);
template FaultValue fault_value(double);
template FaultValue fault_value(std::complex<float>);
template FaultValue fault_value(std::complex<double>);

std::uint32_t classify_faults(Op op, std::span<const FaultValue> in, std::span<const FaultValue> out) {
  const FaultRule& rule = fault_rule(op);
  const InputFacts facts = input_facts(in);
  std::uint32_t flags = zero_rule_flags(rule.zero, in, facts);
  const bool divided_by_zero = (flags & fault_divide) != 0;
  if (rule.log_add_exp) {
    if (facts.some_nan) flags |= fault_invalid;
    if (in.size() == 2 && intermediate_overflows(in)) flags |= fault_over;
  }
  if (out.empty()) return flags;
  const DType result = out[0].dtype;
  if (rule.log_add_exp && in.size() == 2 && intermediate_underflows(in, result, rule.base2)) flags |= fault_under;
  if (rule.quotient_underflow && in.size() == 2 && quotient_underflows(in, result)) flags |= fault_under;
  for (const FaultValue& o : out) flags |= result_flags(op, in, o, facts, divided_by_zero);
  return flags;
}

std::uint32_t classify_errors(Op op, std::span<const Scalar> inputs, std::span<const Scalar> outputs) {
  // Records on the stack for the counts of the catalogue; more only on the heap.
  constexpr std::size_t inline_count = 4;
  const std::size_t total = inputs.size() + outputs.size();
  std::array<FaultValue, inline_count> small;
  std::vector<FaultValue> large;
  if (total > inline_count) large.resize(total);
  const std::span<FaultValue> records(total > inline_count ? large.data() : small.data(), total);
  for (std::size_t i = 0; i < inputs.size(); ++i) records[i] = fault_value(inputs[i]);
  for (std::size_t i = 0; i < outputs.size(); ++i) records[inputs.size() + i] = fault_value(outputs[i]);
  return classify_faults(op, records.first(inputs.size()), records.subspan(inputs.size()));
}

}  // namespace quarvel_kernels
