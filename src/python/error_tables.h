// The Python face of storage errors and cast overflow, as plain data: which
// exception class and text each storage error kind becomes, and when a cast to
// a narrow float warns. No Python here, so both tables are testable in C++.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>

#include "storage/cast.h"
#include "storage/dtype.h"
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

// Whether casting a value with these parts under `limit` overflows a finite
// part to infinity.
inline bool cast_overflows(std::complex<double> parts, const CastOverflowLimit& limit) {
  // Branch-free, so scans over many elements vectorise.
  auto beyond = [&](double part) { return std::isfinite(part) & (std::fabs(part) >= limit.threshold); };
  return beyond(parts.real()) | (limit.imaginary_too & beyond(parts.imag()));
}

// The same for one fixed-width element.
template <class S>
bool element_cast_overflows(const S& value, const CastOverflowLimit& limit) {
  return cast_overflows(quarvel_storage::as_complex_double(value), limit);
}
template <class S>
bool element_cast_overflows(const S& value, quarvel_storage::DType target) {
  const auto limit = cast_overflow_limit(target);
  return limit && element_cast_overflows(value, *limit);
}

// The same for a Scalar; a value that cannot be read as doubles is left to the
// cast itself.
inline bool cast_overflows(const quarvel_storage::Scalar& value, quarvel_storage::DType target) {
  const auto limit = cast_overflow_limit(target);
  if (!limit) return false;
  const auto pair = value.as_complex();
  return pair && cast_overflows(*pair, *limit);
}

}  // namespace quarvel_python
