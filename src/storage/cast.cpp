// Scalar casts: total on the fixed-width types (the rules of cast.h); only
// long double text that cannot be read fails.
#include "storage/cast.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <type_traits>

#include "storage/scalar.h"

namespace quarvel_storage {

namespace {

// `x` converted to the fixed-width target by the element rules.
template <class Source>
Scalar cast_to(DType target, const Source& x) {
  return with_element_type(target, [&]<class T>(std::type_identity<T>) { return Scalar(cast_element<T>(x)); });
}

Scalar clamp_to_integer(__int128 v, DType target) {
  const IntegerRange r = integer_range(target);
  const __int128 clamped = v < r.lo ? r.lo : (v >= r.hi ? r.hi - 1 : v);
  // Any integer source wraps the same way; the 128-bit one holds every clamped value.
  return cast_to(target, clamped);
}

// Long double text to a fixed-width target: integers from the exact integer
// part where the text has one, everything else through the nearest double.
Result<Scalar> text_to_fixed(const Scalar& source, const std::string& real_text, DType target) {
  if (target.is_integer()) {
    if (const auto v = decimal_to_i128(real_text)) return clamp_to_integer(*v, target);
    if (const auto x = parse_f64(real_text)) return cast_to(target, *x);
    return fail(ErrorKind::OutOfRange);
  }
  if (target == DType::Bool) return Scalar(source.truthy());
  if (target.is_complex()) {
    const auto z = source.as_complex();
    if (!z) return std::unexpected(z.error());
    return cast_to(target, *z);
  }
  const auto x = source.as_f64();
  if (!x) return std::unexpected(x.error());
  return cast_to(target, *x);
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
  if (target == DType::LongDouble) return Scalar::long_double(scalar_decimal(*this));
  if (target == DType::ComplexLongDouble) return to_complex_long_double(*this);
  return std::visit(
      [&](const auto& v) -> Result<Scalar> {
        using S = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<S, LongDoubleText>) {
          return text_to_fixed(*this, v.text, target);
        } else if constexpr (std::is_same_v<S, ComplexLongDoubleText>) {
          return text_to_fixed(*this, v.re, target);
        } else {
          return cast_to(target, v);
        }
      },
      storage());
}

bool Scalar::integer_cast_is_invalid(DType target) const {
  if (!target.is_integer()) return false;
  return std::visit(
      [&](const auto& v) -> bool {
        using S = std::decay_t<decltype(v)>;
        const std::string* text = nullptr;
        if constexpr (std::is_same_v<S, LongDoubleText>) {
          text = &v.text;
        } else if constexpr (std::is_same_v<S, ComplexLongDoubleText>) {
          text = &v.re;
        } else {
          return quarvel_storage::integer_cast_is_invalid(v, target);
        }
        const auto i = decimal_to_i128(*text);
        const IntegerRange r = integer_range(target);
        return !i || *i < r.lo || *i >= r.hi;
      },
      storage());
}

}  // namespace quarvel_storage
