// Scalar casts: total on the fixed-width types (wrap, saturate, truncate, drop
// the imaginary part); only long double text that cannot be read fails.
#include <cmath>
#include <complex>
#include <optional>
#include <cstdint>
#include <type_traits>

#include "storage/float16.h"
#include "storage/scalar.h"

namespace quarvel_storage {

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

// The range [lo, hi) in which a cast to each integer target is faithful. It is
// also where values saturate: the 8- and 16-bit targets saturate at the 32-bit
// range and then wrap, the wider ones saturate at their own range.
struct IntegerRange {
  i128 lo;
  i128 hi;
};

constexpr i128 two_to(int n) { return static_cast<i128>(u128{1} << n); }

constexpr IntegerRange integer_range(DType target) {
  switch (target.code) {
    case DType::UInt32: return {0, two_to(32)};
    case DType::Int64: return {-two_to(63), two_to(63)};
    case DType::UInt64: return {0, two_to(64)};
    default: return {-two_to(31), two_to(31)};  // Int8 .. Int32
  }
}

template <class T>
Scalar wrapped(i128 v) {
  return Scalar(static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<u128>(v))));
}

// v reduced modulo 2^w and read with the target's signedness.
Scalar wrap_to_integer(i128 v, DType target) {
  switch (target.code) {
    case DType::Int8: return wrapped<std::int8_t>(v);
    case DType::UInt8: return wrapped<std::uint8_t>(v);
    case DType::Int16: return wrapped<std::int16_t>(v);
    case DType::UInt16: return wrapped<std::uint16_t>(v);
    case DType::Int32: return wrapped<std::int32_t>(v);
    case DType::UInt32: return wrapped<std::uint32_t>(v);
    case DType::Int64: return wrapped<std::int64_t>(v);
    default: return wrapped<std::uint64_t>(v);
  }
}

i128 clamp(i128 v, IntegerRange r) { return v < r.lo ? r.lo : (v >= r.hi ? r.hi - 1 : v); }

// NaN and both saturation ends are settled before the conversion, so the cast
// only ever sees a value strictly inside the range (a cast outside it would be
// undefined behaviour).
Scalar float_to_integer(double x, DType target) {
  if (std::isnan(x)) return wrap_to_integer(0, target);
  const IntegerRange r = integer_range(target);
  i128 v;
  if (x <= static_cast<double>(r.lo)) {
    v = r.lo;
  } else if (x >= static_cast<double>(r.hi)) {
    v = r.hi - 1;
  } else {
    v = static_cast<i128>(x);  // truncates toward zero; |x| < 2^64 here
  }
  return wrap_to_integer(v, target);
}

Result<Scalar> text_to_integer(const std::string& text, DType target) {
  if (const auto v = decimal_to_i128(text)) return wrap_to_integer(clamp(*v, integer_range(target)), target);
  if (const auto x = parse_f64(text)) return float_to_integer(*x, target);
  return fail(ErrorKind::OutOfRange);
}

Result<Scalar> to_integer(const Scalar& source, DType target) {
  return std::visit(
      [&](const auto& v) -> Result<Scalar> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>) {
          return wrap_to_integer(static_cast<i128>(v), target);
        } else if constexpr (std::is_same_v<T, Half>) {
          return float_to_integer(v.value, target);
        } else if constexpr (std::is_floating_point_v<T>) {
          return float_to_integer(v, target);
        } else if constexpr (std::is_same_v<T, LongDoubleText>) {
          return text_to_integer(v.text, target);
        } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
          return text_to_integer(v.re, target);
        } else {
          return float_to_integer(v.real(), target);
        }
      },
      source.storage());
}

// The real double of a binary float or complex source; absent for the others.
std::optional<double> binary_real(const Scalar& source) {
  return std::visit(
      [](const auto& v) -> std::optional<double> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, Half>) {
          return v.value;
        } else if constexpr (std::is_floating_point_v<T>) {
          return v;
        } else if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
          return v.real();
        } else {
          return std::nullopt;
        }
      },
      source.storage());
}

Result<Scalar> to_complex_long_double(const Scalar& source) {
  if (const auto* c = source.get_if<std::complex<float>>())
    return Scalar::complex_long_double(exact_decimal_from_f64(c->real()), exact_decimal_from_f64(c->imag()));
  if (const auto* c = source.get_if<std::complex<double>>())
    return Scalar::complex_long_double(exact_decimal_from_f64(c->real()), exact_decimal_from_f64(c->imag()));
  return Scalar::complex_long_double(scalar_decimal(source), "0");
}

}  // namespace

Result<Scalar> Scalar::cast(DType target) const {
  if (dtype() == target) return *this;
  if (target.is_integer()) return to_integer(*this, target);
  switch (target.code) {
    case DType::Bool: return Scalar(truthy());
    case DType::LongDouble: return Scalar::long_double(scalar_decimal(*this));
    case DType::ComplexLongDouble: return to_complex_long_double(*this);
    case DType::Complex64:
    case DType::Complex128: {
      const auto z = as_complex();
      if (!z) return std::unexpected(z.error());
      if (target == DType::Complex128) return Scalar(*z);
      return Scalar(std::complex<float>(static_cast<float>(z->real()), static_cast<float>(z->imag())));
    }
    default: {  // the binary floats
      const auto x = as_f64();
      if (!x) return std::unexpected(x.error());
      if (target == DType::Float16) return Scalar::half(round_to_half(*x));
      if (target == DType::Float32) return Scalar(static_cast<float>(*x));
      return Scalar(*x);
    }
  }
}

bool Scalar::integer_cast_is_invalid(DType target) const {
  if (!target.is_integer()) return false;
  const IntegerRange r = integer_range(target);
  if (const auto x = binary_real(*this)) {
    if (!std::isfinite(*x)) return true;
    const double t = std::trunc(*x);
    return t < static_cast<double>(r.lo) || t >= static_cast<double>(r.hi);
  }
  const std::string* text = nullptr;
  if (const auto* ld = get_if<LongDoubleText>()) text = &ld->text;
  if (const auto* cld = get_if<ComplexLongDoubleText>()) text = &cld->re;
  if (text == nullptr) return false;  // bool and integers
  const auto v = decimal_to_i128(*text);
  return !v || *v < r.lo || *v >= r.hi;
}

}  // namespace quarvel_storage
