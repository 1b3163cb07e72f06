// Buffer: the raw element bytes shared by views, their per-dtype byte formats,
// and the reader-writer lock (with its poisoned flag) every view reaches them
// through.
//
// Element formats (tag ">" swaps; every other tag is little-endian):
//   bool          1 byte, written 0/1, any nonzero byte reads true
//   integers      two's complement / unsigned, 1, 2, 4, 8 bytes
//   float16/32/64 IEEE bit patterns
//   complex64/128 real part first, then imaginary; each part swapped alone
//   long double   16 bytes: 10-byte extended value + 6 zero bytes; swapped whole
//   complex ld    32 bytes: two long double forms, each swapped alone
// All-zero bytes are the zero of every dtype.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "storage/dtype.h"
#include "storage/scalar.h"
#include "storage/storage_error.h"

namespace quarvel_storage {

// Zero-filled bytes from a fallible allocation; move-only.
class ByteStore {
 public:
  ByteStore() = default;
  ByteStore(ByteStore&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ByteStore& operator=(ByteStore&& other) noexcept;
  ByteStore(const ByteStore&) = delete;
  ByteStore& operator=(const ByteStore&) = delete;
  ~ByteStore();

  // AllocationFailed when the bytes cannot be had; size 0 allocates nothing.
  [[nodiscard]] static Result<ByteStore> zeroed(std::uint64_t size);
  // The same without zeroing, for a caller that writes every byte before any
  // is read (a recycled block then costs no clearing and no fresh pages).
  [[nodiscard]] static Result<ByteStore> uninitialized(std::uint64_t size);

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::uint64_t size() const { return size_; }
  std::span<std::uint8_t> bytes() { return {data_, static_cast<std::size_t>(size_)}; }
  std::span<const std::uint8_t> bytes() const { return {data_, static_cast<std::size_t>(size_)}; }

 private:
  static Result<ByteStore> allocate(std::uint64_t size, bool zero);
  std::uint8_t* data_ = nullptr;
  std::uint64_t size_ = 0;
};

struct Buffer {
  ByteStore data;
  ByteOrder byte_order = ByteOrder::Native;
  DType dtype = DType::Float64;

  // `count` zero elements of `dtype`; count × itemsize must fit the signed range.
  [[nodiscard]] static Result<Buffer> zeroed(DType dtype, ByteOrder byte_order, std::uint64_t count);
  // `count` elements whose bytes the caller writes, every one, before any read.
  [[nodiscard]] static Result<Buffer> uninitialized(DType dtype, ByteOrder byte_order, std::uint64_t count);
  // One element per value, in order; every value must already have `dtype`.
  [[nodiscard]] static Result<Buffer> from_values(DType dtype, ByteOrder byte_order, std::span<const Scalar> values);

  std::uint64_t element_count() const { return data.size() / dtype.itemsize(); }

  // Decodes element number `element` with the caller's (the view's) tag.
  [[nodiscard]] Result<Scalar> read_as(std::uint64_t element, DType dtype, ByteOrder byte_order) const;
  // Encodes `value`, which must already have `dtype`; never casts. On failure
  // the element keeps its old bytes.
  [[nodiscard]] Result<void> write_as(std::uint64_t element, DType dtype, ByteOrder byte_order, const Scalar& value);
};

// An unsigned number from at most 16 bytes, most significant first under ">".
[[nodiscard]] Result<unsigned __int128> read_unsigned(std::span<const std::uint8_t> bytes, ByteOrder byte_order);
// Text (21 significant digits) of one stored 16-byte long double.
[[nodiscard]] Result<std::string> decode_long_double(std::span<const std::uint8_t, 16> bytes, ByteOrder byte_order);
// Stores a long double text; CannotConvert (nothing written) when it does not parse whole.
[[nodiscard]] Result<void> encode_long_double(std::string_view text, std::span<std::uint8_t, 16> bytes,
                                              ByteOrder byte_order);

// The buffer inside its reader-writer lock. Every acquisition fails with
// LockPoisoned once a writer has left its critical section by an exception;
// the flag is never cleared.
class LockedBuffer {
 public:
  class ReadGuard {
   public:
    const Buffer& operator*() const { return owner_->buffer_; }
    const Buffer* operator->() const { return &owner_->buffer_; }
    bool guards(const LockedBuffer& buffer) const { return owner_ == &buffer; }

   private:
    friend class LockedBuffer;
    ReadGuard(const LockedBuffer& owner, std::shared_lock<std::shared_mutex> lock)
        : owner_(&owner), lock_(std::move(lock)) {}
    const LockedBuffer* owner_;
    std::shared_lock<std::shared_mutex> lock_;
  };

  class WriteGuard {
   public:
    WriteGuard(WriteGuard&&) noexcept = default;
    WriteGuard& operator=(WriteGuard&&) = delete;
    ~WriteGuard();
    Buffer& operator*() const { return owner_->buffer_; }
    Buffer* operator->() const { return &owner_->buffer_; }
    bool guards(const LockedBuffer& buffer) const { return owner_ == &buffer; }

   private:
    friend class LockedBuffer;
    WriteGuard(LockedBuffer& owner, std::unique_lock<std::shared_mutex> lock)
        : owner_(&owner), lock_(std::move(lock)), exceptions_at_entry_(std::uncaught_exceptions()) {}
    LockedBuffer* owner_;
    std::unique_lock<std::shared_mutex> lock_;
    int exceptions_at_entry_;
  };

  explicit LockedBuffer(Buffer buffer) : buffer_(std::move(buffer)) {}

  [[nodiscard]] Result<ReadGuard> read() const;
  [[nodiscard]] Result<WriteGuard> write();
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }

  // Test-only: runs `body` as a writer's critical section, so a test can leave
  // one by an exception and watch the lock become poisoned.
  template <class F>
  void run_writer_for_testing(F&& body) {
    auto guard = write();
    if (guard) body(**guard);
  }

 private:
  mutable std::shared_mutex mutex_;
  std::atomic<bool> poisoned_{false};
  Buffer buffer_;
};

using BufferHandle = std::shared_ptr<LockedBuffer>;

// A new shared handle holding `buffer` (one reference, lock free, not poisoned).
[[nodiscard]] Result<BufferHandle> share_buffer(Buffer buffer);

}  // namespace quarvel_storage
