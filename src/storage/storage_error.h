// The one error value of the storage core, the extended-precision wrappers and
// the element kernels. Its text reaches Python users verbatim.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "storage/small_vector.h"

namespace quarvel_storage {

enum class ErrorKind : std::uint8_t {
  LayoutOverflow,
  AllocationFailed,
  InvalidLayout,
  CannotConvert,
  OutOfRange,
  InvalidAxisPermutation,
  InvalidOrder,
  InvalidAdvancedIndex,
  IndexOutOfBounds,
  TooManyIndices,
  WrongIndexCount,
  DTypeMismatch,
  ShapeMismatch,
  BroadcastMismatch,
  LockPoisoned,
};
inline constexpr int error_kind_count = 15;

// Dimensions of up to this many axes are held without a heap allocation.
inline constexpr std::size_t inline_dimensions = 4;

using Shape = SmallVector<std::uint64_t, inline_dimensions>;

struct StorageError {
  ErrorKind kind = ErrorKind::LayoutOverflow;
  // IndexOutOfBounds: index, first = axis, second = size.
  // TooManyIndices: first = ndim, second = count.
  // WrongIndexCount: first = got, second = expected.
  std::int64_t index = 0;
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  // BroadcastMismatch: from, to.
  Shape from;
  Shape to;

  StorageError() = default;
  explicit StorageError(ErrorKind k) : kind(k) {}

  static StorageError index_out_of_bounds(std::int64_t index, std::uint64_t axis, std::uint64_t size);
  static StorageError too_many_indices(std::uint64_t ndim, std::uint64_t count);
  static StorageError wrong_index_count(std::uint64_t got, std::uint64_t expected);
  static StorageError broadcast_mismatch(Shape from, Shape to);

  std::string message() const;
  bool operator==(const StorageError&) const = default;
};

// "[2, 3]", "[]" for no dimensions: how messages show a shape.
std::string shape_text(std::span<const std::uint64_t> shape);

template <class T>
using Result = std::expected<T, StorageError>;

// `return fail(ErrorKind::X);` from any function returning Result<T>.
inline std::unexpected<StorageError> fail(ErrorKind kind) { return std::unexpected(StorageError(kind)); }
inline std::unexpected<StorageError> fail(StorageError error) { return std::unexpected(std::move(error)); }

// Unsigned coordinates print as signed; clamp the ones that would not fit.
inline std::int64_t clamp_index_to_i64(std::uint64_t value) {
  return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(value);
}

}  // namespace quarvel_storage
