// Overflow-checked layout arithmetic and the allocation guard of the storage
// core. Every size, stride and offset goes through these before it is used.
#pragma once

#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "storage/storage_error.h"

namespace quarvel_storage::checked {

inline constexpr std::uint64_t i64_max = static_cast<std::uint64_t>(INT64_MAX);

inline Result<std::uint64_t> mul_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t out;
  if (__builtin_mul_overflow(a, b, &out)) return fail(ErrorKind::LayoutOverflow);
  return out;
}

inline Result<std::int64_t> add_i64(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  if (__builtin_add_overflow(a, b, &out)) return fail(ErrorKind::LayoutOverflow);
  return out;
}

inline Result<std::int64_t> mul_i64(std::int64_t a, std::int64_t b) {
  std::int64_t out;
  if (__builtin_mul_overflow(a, b, &out)) return fail(ErrorKind::LayoutOverflow);
  return out;
}

// An unsigned quantity that must also fit the signed range (dimensions, counts).
inline Result<std::int64_t> to_i64(std::uint64_t value) {
  if (value > i64_max) return fail(ErrorKind::LayoutOverflow);
  return static_cast<std::int64_t>(value);
}

// The signed product of a dimension and a stride: mixing in the unsigned side
// first would let a dimension above 2^63 wrap into range.
inline Result<std::int64_t> mul_dim_i64(std::uint64_t dim, std::int64_t stride) {
  auto d = to_i64(dim);
  if (!d) return fail(d.error());
  return mul_i64(*d, stride);
}

// Runs `body` and turns an exhausted allocator into AllocationFailed: no
// std::bad_alloc or std::length_error leaves the storage core.
template <class F>
auto allocation_guard(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(ErrorKind::AllocationFailed);
  } catch (const std::length_error&) {
    return fail(ErrorKind::AllocationFailed);
  }
}

// Reserves room for `count` elements or reports AllocationFailed.
template <class T>
Result<void> reserve(std::vector<T>& out, std::uint64_t count) {
  return allocation_guard([&]() -> Result<void> {
    if (count > out.max_size()) return fail(ErrorKind::AllocationFailed);
    out.reserve(static_cast<std::size_t>(count));
    return {};
  });
}

}  // namespace quarvel_storage::checked
