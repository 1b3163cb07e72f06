// The Python face of storage errors and cast overflow, as plain data: which
// exception class and text each storage error kind becomes, and when a cast to
// a narrow float warns. No Python here, so both tables are testable in C++.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "storage/cast.h"
#include "storage/dtype.h"
#include "storage/extended.h"
#include "storage/scalar.h"
#include "storage/storage_error.h"

namespace quarvel_python {

enum class ExceptionClass : std::uint8_t { ValueError, MemoryError, OverflowError, IndexError, TypeError, RuntimeError };

struct ErrorRow {
  ExceptionClass exception;
  const char* fixed_text;  // null: the storage error's own message
};

// Indexed by ErrorKind. InvalidLayout deliberately uses a shorter text than the
// storage core's own message.
inline constexpr ErrorRow storage_error_rows[quarvel_storage::error_kind_count] = {
    {ExceptionClass::ValueError, "array shape or byte strides exceed supported limits"},
    {ExceptionClass::MemoryError, "array allocation failed"},
    {ExceptionClass::ValueError, "array view has an invalid layout"},
    {ExceptionClass::ValueError, nullptr},
    {ExceptionClass::OverflowError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::IndexError, nullptr},
    {ExceptionClass::TypeError, nullptr},
    {ExceptionClass::ValueError, nullptr},
    {ExceptionClass::ValueError, nullptr},
    {ExceptionClass::RuntimeError, nullptr},
};

struct MappedError {
  ExceptionClass exception;
  std::string text;
};

inline MappedError mapped_storage_error(const quarvel_storage::StorageError& error) {
  const ErrorRow& row = storage_error_rows[static_cast<int>(error.kind)];
  return {row.exception, row.fixed_text ? std::string(row.fixed_text) : error.message()};
}

// Magnitudes at and above which a finite value rounds to infinity in the
// target; null for targets that do not warn. Complex64 tests both parts,
// the real targets the real part only.
struct CastOverflowLimit {
  double threshold;
  bool imaginary_too;
};

inline constexpr double float16_overflow_threshold = 65520.0;                  // 65504 + half an ulp
inline constexpr double float32_overflow_threshold = 3.4028235677973366e38;   // 2^128 - 2^103

inline std::optional<CastOverflowLimit> cast_overflow_limit(quarvel_storage::DType target) {
  switch (target.code) {
    case quarvel_storage::DType::Float16: return CastOverflowLimit{float16_overflow_threshold, false};
    case quarvel_storage::DType::Float32: return CastOverflowLimit{float32_overflow_threshold, false};
    case quarvel_storage::DType::Complex64: return CastOverflowLimit{float32_overflow_threshold, true};
    default: return std::nullopt;
  }
}

// The same for a long double source. Its cast to any narrower float goes
// through its double reading, which is infinite beyond the doubles: there
// float64 and complex128 overflow too.
inline std::optional<CastOverflowLimit> cast_overflow_limit(quarvel_storage::DType target, bool long_double_source) {
  if (!long_double_source || target.code == quarvel_storage::DType::Float16 ||
      target.code == quarvel_storage::DType::Float32 || target.code == quarvel_storage::DType::Complex64)
    return cast_overflow_limit(target);
  constexpr double beyond_doubles = std::numeric_limits<double>::infinity();
  if (target.code == quarvel_storage::DType::Float64) return CastOverflowLimit{beyond_doubles, false};
  if (target.code == quarvel_storage::DType::Complex128) return CastOverflowLimit{beyond_doubles, true};
  return std::nullopt;
}

// Whether casting a value whose parts read as these doubles, and are finite
// or not as given, overflows a finite part to infinity under `limit`.
inline bool cast_overflows(std::complex<double> parts, bool real_finite, bool imag_finite,
                           const CastOverflowLimit& limit) {
  // Branch-free, so scans over many elements vectorise.
  auto beyond = [&](bool finite, double part) { return finite & (std::fabs(part) >= limit.threshold); };
  return beyond(real_finite, parts.real()) | (limit.imaginary_too & beyond(imag_finite, parts.imag()));
}

// The same for parts whose doubles are the values themselves.
inline bool cast_overflows(std::complex<double> parts, const CastOverflowLimit& limit) {
  return cast_overflows(parts, std::isfinite(parts.real()), std::isfinite(parts.imag()), limit);
}

// The same for one element.
template <class S>
bool element_cast_overflows(const S& value, const CastOverflowLimit& limit) {
  if constexpr (std::is_same_v<S, quarvel_storage::Extended>) {
    return cast_overflows(quarvel_storage::as_complex_double(value), std::isfinite(value.value), false, limit);
  } else if constexpr (std::is_same_v<S, quarvel_storage::ComplexExtended>) {
    return cast_overflows(quarvel_storage::as_complex_double(value), std::isfinite(value.re), std::isfinite(value.im),
                          limit);
  } else {
    return cast_overflows(quarvel_storage::as_complex_double(value), limit);
  }
}
template <class S>
bool element_cast_overflows(const S& value, quarvel_storage::DType target) {
  const auto limit = cast_overflow_limit(target, quarvel_storage::is_extended_element<S>);
  return limit && element_cast_overflows(value, *limit);
}

// The same for a Scalar; a value that cannot be read as doubles is left to the
// cast itself. A long double text is finite or not as strtold reads it.
inline bool cast_overflows(const quarvel_storage::Scalar& value, quarvel_storage::DType target) {
  const bool long_double = value.dtype().is_long_double();
  const auto limit = cast_overflow_limit(target, long_double);
  if (!limit) return false;
  const auto pair = value.as_complex();
  if (!pair) return false;
  if (!long_double) return cast_overflows(*pair, *limit);
  const auto finite = [](double reading, const std::string& text) {
    if (std::isfinite(reading)) return true;
    const auto extended = quarvel_storage::extended_from_text(text);
    return extended && std::isfinite(*extended);
  };
  if (const auto* real = value.get_if<quarvel_storage::LongDoubleText>())
    return cast_overflows(*pair, finite(pair->real(), real->text), false, *limit);
  const auto& parts = value.get<quarvel_storage::ComplexLongDoubleText>();
  return cast_overflows(*pair, finite(pair->real(), parts.re), finite(pair->imag(), parts.im), *limit);
}

}  // namespace quarvel_python
