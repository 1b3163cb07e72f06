#include "storage/scalar.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

#include "longdouble/ld_text.h"

namespace quarvel_storage {

namespace {

// ---------------------------------------------------------------------------
// parse_f64

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = (text[i] >= 'A' && text[i] <= 'Z') ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
    if (c != lower_word[i]) return false;
  }
  return true;
}

// digits[.digits][(e|E)[+-]digits] with at least one mantissa digit.
bool is_plain_decimal(std::string_view text) {
  std::size_t i = 0, mantissa_digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++mantissa_digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i == text.size()) return true;
  if (text[i] != 'e' && text[i] != 'E') return false;
  ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t exponent_start = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  return i > exponent_start && i == text.size();
}

// Whether a plain decimal that from_chars found out of range lies beyond the
// largest double rather than below the smallest: its leading nonzero digit
// stands at a power of ten >= 0. Out-of-range values are far from 1 either way.
bool beyond_largest_double(std::string_view text) {
  const std::size_t e = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::size_t lead = mantissa.find_first_not_of("0.");
  if (lead == std::string_view::npos) return false;  // a zero, whatever its exponent
  // The power of ten of the leading nonzero digit, before the exponent.
  const std::int64_t power =
      lead < point ? static_cast<std::int64_t>(point - lead) - 1 : -static_cast<std::int64_t>(lead - point);
  std::int64_t exponent = 0;  // saturated: only its sign against `power` matters
  if (e != std::string_view::npos) {
    std::string_view digits = text.substr(e + 1);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    for (char c : digits) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), std::int64_t{1} << 40);
    if (negative) exponent = -exponent;
  }
  return power + exponent >= 0;
}

// ---------------------------------------------------------------------------
// Predicates

enum class Predicate { Truthy, Zero, Nan, Infinite, Finite, Subnormal };

// How a predicate reads long double text (a classify code, possibly negated)
// and how it joins the two parts of a complex value: `both_parts` needs both,
// otherwise either part suffices. An unreadable part counts as false either way.
struct PredicateRule {
  std::int32_t classify_code;
  bool negate;
  bool both_parts;
};
constexpr PredicateRule predicate_rules[] = {
    /* Truthy    */ {quarvel_longdouble::IsZero, true, false},
    /* Zero      */ {quarvel_longdouble::IsZero, false, true},
    /* Nan       */ {quarvel_longdouble::IsNan, false, false},
    /* Infinite  */ {quarvel_longdouble::IsInfinite, false, false},
    /* Finite    */ {quarvel_longdouble::IsFinite, false, true},
    /* Subnormal */ {quarvel_longdouble::IsSubnormal, false, false},
};

const PredicateRule& rule_of(Predicate p) { return predicate_rules[static_cast<int>(p)]; }

template <class F>
bool test_float(F x, Predicate p, F smallest_normal) {
  switch (p) {
    case Predicate::Truthy: return x != 0;
    case Predicate::Zero: return x == 0;
    case Predicate::Nan: return std::isnan(x);
    case Predicate::Infinite: return std::isinf(x);
    case Predicate::Finite: return std::isfinite(x);
    case Predicate::Subnormal: return x != 0 && !std::isnan(x) && std::fabs(x) < smallest_normal;
  }
  return false;
}

bool test_integer(bool nonzero, Predicate p) {
  switch (p) {
    case Predicate::Truthy: return nonzero;
    case Predicate::Zero: return !nonzero;
    case Predicate::Finite: return true;
    default: return false;
  }
}

// Classify decides when the text reads as a long double; otherwise the double
// parse; absent when neither reads it.
std::optional<bool> test_text(const std::string& text, Predicate p) {
  const PredicateRule& rule = rule_of(p);
  if (const auto answer = quarvel_longdouble::classify(text, rule.classify_code)) return *answer != rule.negate;
  if (const auto x = parse_f64(text)) return test_float(*x, p, DBL_MIN);
  return std::nullopt;
}

template <class RealPart, class ImagPart>
bool join_parts(Predicate p, const RealPart& real_part, const ImagPart& imag_part) {
  const bool real = real_part();
  if (rule_of(p).both_parts ? !real : real) return real;
  return imag_part();
}

bool test(const Scalar& value, Predicate p) {
  return std::visit(
      [p](const auto& v) -> bool {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>) {
          return test_integer(v != 0, p);
        } else if constexpr (std::is_same_v<T, Half>) {
          return test_float(v.value, p, 0x1p-14f);
        } else if constexpr (std::is_floating_point_v<T>) {
          return test_float(v, p, std::numeric_limits<T>::min());
        } else if constexpr (std::is_same_v<T, LongDoubleText>) {
          return test_text(v.text, p).value_or(false);
        } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
          return join_parts(
              p, [&] { return test_text(v.re, p).value_or(false); },
              [&] { return test_text(v.im, p).value_or(false); });
        } else {
          using F = typename T::value_type;
          const F smallest = std::numeric_limits<F>::min();
          return join_parts(
              p, [&] { return test_float(v.real(), p, smallest); }, [&] { return test_float(v.imag(), p, smallest); });
        }
      },
      value.storage());
}

}  // namespace

Result<double> parse_f64(std::string_view text) {
  std::string_view body = text;
  const bool negative = !body.empty() && body.front() == '-';
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) body.remove_prefix(1);
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
    return sign * std::numeric_limits<double>::infinity();
  if (equals_ignoring_case(body, "nan")) return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  if (!is_plain_decimal(body)) return fail(ErrorKind::CannotConvert);
  // The grammar is checked; from_chars supplies the correctly rounded value and,
  // unlike strtod, never reads the process locale (a decimal comma there must
  // not change the parse). It leaves the value alone when the result overflows
  // or underflows to zero, so those two ends are settled here.
  double magnitude = 0.0;
  if (std::from_chars(body.data(), body.data() + body.size(), magnitude).ec == std::errc::result_out_of_range)
    magnitude = beyond_largest_double(body) ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

Scalar Scalar::zero(DType dtype) {
  switch (dtype.code) {
    case DType::Bool: return Scalar(false);
    case DType::Int8: return Scalar(std::int8_t{0});
    case DType::UInt8: return Scalar(std::uint8_t{0});
    case DType::Int16: return Scalar(std::int16_t{0});
    case DType::UInt16: return Scalar(std::uint16_t{0});
    case DType::Int32: return Scalar(std::int32_t{0});
    case DType::UInt32: return Scalar(std::uint32_t{0});
    case DType::Int64: return Scalar(std::int64_t{0});
    case DType::UInt64: return Scalar(std::uint64_t{0});
    case DType::Float16: return Scalar::half(0.0f);
    case DType::Float32: return Scalar(0.0f);
    case DType::Float64: return Scalar(0.0);
    case DType::Complex64: return Scalar(std::complex<float>{});
    case DType::Complex128: return Scalar(std::complex<double>{});
    case DType::LongDouble: return Scalar::long_double("0");
    case DType::ComplexLongDouble: return Scalar::complex_long_double("0", "0");
  }
  return Scalar();
}

Result<double> Scalar::as_f64() const {
  return std::visit(
      [](const auto& v) -> Result<double> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_arithmetic_v<T>) {
          // 64-bit integers round to nearest even; everything narrower is exact.
          return static_cast<double>(v);
        } else if constexpr (std::is_same_v<T, Half>) {
          return static_cast<double>(v.value);
        } else if constexpr (std::is_same_v<T, LongDoubleText>) {
          return parse_f64(v.text);
        } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
          return parse_f64(v.re);
        } else {
          return static_cast<double>(v.real());
        }
      },
      value_);
}

Result<std::complex<double>> Scalar::as_complex() const {
  if (const auto* c = get_if<std::complex<float>>()) return std::complex<double>(c->real(), c->imag());
  if (const auto* c = get_if<std::complex<double>>()) return *c;
  if (const auto* c = get_if<ComplexLongDoubleText>()) {
    const auto re = parse_f64(c->re);
    if (!re) return std::unexpected(re.error());
    const auto im = parse_f64(c->im);
    if (!im) return std::unexpected(im.error());
    return std::complex<double>(*re, *im);
  }
  const auto re = as_f64();
  if (!re) return std::unexpected(re.error());
  return std::complex<double>(*re, 0.0);
}

bool Scalar::truthy() const { return test(*this, Predicate::Truthy); }
bool Scalar::is_zero() const { return test(*this, Predicate::Zero); }
bool Scalar::is_nan() const { return test(*this, Predicate::Nan); }
bool Scalar::is_infinite() const { return test(*this, Predicate::Infinite); }
bool Scalar::is_finite() const { return test(*this, Predicate::Finite); }
bool Scalar::is_subnormal() const { return test(*this, Predicate::Subnormal); }

}  // namespace quarvel_storage
