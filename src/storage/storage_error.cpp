#include "storage/storage_error.h"

namespace quarvel_storage {

namespace {

// Texts indexed by ErrorKind; kinds with payloads are formatted in message().
constexpr const char* fixed_text[error_kind_count] = {
    "array shape or byte strides exceed supported limits",
    "array allocation failed",
    "array view has an invalid or out-of-bounds layout",
    "scalar cannot be converted to the requested dtype",
    "scalar value is outside the requested dtype range",
    "invalid axis permutation",
    "order must be one of C, F, A, or K",
    "invalid advanced index array",
    nullptr,
    nullptr,
    nullptr,
    "source and destination dtypes must match",
    "source and destination shapes must match exactly",
    nullptr,
    "array storage lock was poisoned",
};

}  // namespace

std::string shape_text(std::span<const std::uint64_t> shape) {
  std::string out = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(shape[i]);
  }
  return out + "]";
}

StorageError StorageError::index_out_of_bounds(std::int64_t index, std::uint64_t axis, std::uint64_t size) {
  StorageError e(ErrorKind::IndexOutOfBounds);
  e.index = index;
  e.first = axis;
  e.second = size;
  return e;
}

StorageError StorageError::too_many_indices(std::uint64_t ndim, std::uint64_t count) {
  StorageError e(ErrorKind::TooManyIndices);
  e.first = ndim;
  e.second = count;
  return e;
}

StorageError StorageError::wrong_index_count(std::uint64_t got, std::uint64_t expected) {
  StorageError e(ErrorKind::WrongIndexCount);
  e.first = got;
  e.second = expected;
  return e;
}

StorageError StorageError::broadcast_mismatch(Shape from, Shape to) {
  StorageError e(ErrorKind::BroadcastMismatch);
  e.from = std::move(from);
  e.to = std::move(to);
  return e;
}

std::string StorageError::message() const {
  switch (kind) {
    case ErrorKind::IndexOutOfBounds:
      return "index " + std::to_string(index) + " is out of bounds for axis " + std::to_string(first) +
             " with size " + std::to_string(second);
    case ErrorKind::TooManyIndices:
      return "too many indices for array: array is " + std::to_string(first) + "-dimensional, but " +
             std::to_string(second) + " were indexed";
    case ErrorKind::WrongIndexCount:
      return "incorrect number of indices: got " + std::to_string(first) + ", expected " + std::to_string(second);
    case ErrorKind::BroadcastMismatch:
      return "could not broadcast input array from shape " + shape_text(from) + " into shape " + shape_text(to);
    default:
      return fixed_text[static_cast<int>(kind)];
  }
}

}  // namespace quarvel_storage
