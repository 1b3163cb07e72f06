// Scalar: one element value of any dtype, tagged by the dtype code.
//
// The variant index is the DType code. Float16 is held as a float already
// rounded to binary16; long double values are decimal text, complex long double
// two texts. Nothing here parses text except the operations that need a number.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "storage/dtype.h"
#include "storage/storage_error.h"

namespace quarvel_storage {

// A float16 value, widened exactly to single precision.
struct Half {
  float value = 0.0f;
  bool operator==(const Half&) const = default;
};

struct LongDoubleText {
  std::string text;
  bool operator==(const LongDoubleText&) const = default;
};

struct ComplexLongDoubleText {
  std::string re;
  std::string im;
  bool operator==(const ComplexLongDoubleText&) const = default;
};

class Scalar {
 public:
  using Storage = std::variant<bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                               std::uint32_t, std::int64_t, std::uint64_t, Half, float, double,
                               std::complex<float>, std::complex<double>, LongDoubleText, ComplexLongDoubleText>;

  Scalar() = default;  // Bool false
  template <class T>
    requires requires(T v) { Storage(std::in_place_type<T>, v); }
  explicit Scalar(T value) : value_(std::in_place_type<T>, std::move(value)) {}

  static Scalar half(float already_half) { return Scalar(Half{already_half}); }
  static Scalar long_double(std::string text) { return Scalar(LongDoubleText{std::move(text)}); }
  static Scalar complex_long_double(std::string re, std::string im) {
    return Scalar(ComplexLongDoubleText{std::move(re), std::move(im)});
  }

  static Scalar zero(DType dtype);

  DType dtype() const { return DType::from_index(value_.index()); }
  const Storage& storage() const { return value_; }
  template <class T>
  const T& get() const { return std::get<T>(value_); }
  template <class T>
  const T* get_if() const { return std::get_if<T>(&value_); }

  Result<double> as_f64() const;
  Result<std::complex<double>> as_complex() const;

  bool truthy() const;
  bool is_zero() const;
  bool is_nan() const;
  bool is_infinite() const;
  bool is_finite() const;
  bool is_subnormal() const;

  // Conversion to another dtype with the wrap, saturation and text rules.
  Result<Scalar> cast(DType target) const;
  // Whether a float-to-integer cast left the range in which it is faithful.
  bool integer_cast_is_invalid(DType target) const;

  bool operator==(const Scalar&) const = default;  // same dtype and same payload bits/text

 private:
  Storage value_;
};

// Strict decimal text to double: [+-] (inf|infinity|nan | digits[.digits][e[+-]digits]),
// nothing else. The nearest double.
Result<double> parse_f64(std::string_view text);

// The exact decimal expansion of a double: "NaN", "inf", "-inf", "0", "-0", or
// [-]digits[.digits] with no exponent and no trailing zeros.
std::string exact_decimal_from_f64(double value);

// Decimal text of any scalar (real part of complex values).
std::string scalar_decimal(const Scalar& value);

// The integer part of a plain decimal text, truncated toward zero; OutOfRange on
// any failure.
Result<__int128> decimal_to_i128(std::string_view text);

}  // namespace quarvel_storage
