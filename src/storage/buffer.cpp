#include "storage/buffer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <variant>

#include "longdouble/ld_text.h"
#include "storage/checked.h"
#include "storage/element.h"

namespace quarvel_storage {

static_assert(std::endian::native == std::endian::little, "element formats assume a little-endian host");

// --- ByteStore ---------------------------------------------------------------

ByteStore& ByteStore::operator=(ByteStore&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ByteStore::~ByteStore() { std::free(data_); }

Result<ByteStore> ByteStore::zeroed(std::uint64_t size) { return allocate(size, true); }
Result<ByteStore> ByteStore::uninitialized(std::uint64_t size) { return allocate(size, false); }

Result<ByteStore> ByteStore::allocate(std::uint64_t size, bool zero) {
  ByteStore out;
  if (size == 0) return out;
  if (size > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  // calloc: large zero buffers come from fresh pages and are not touched here.
  void* bytes = zero ? std::calloc(static_cast<std::size_t>(size), 1) : std::malloc(static_cast<std::size_t>(size));
  if (bytes == nullptr) return fail(ErrorKind::AllocationFailed);
  out.data_ = static_cast<std::uint8_t*>(bytes);
  out.size_ = size;
  return out;
}

// --- codecs ------------------------------------------------------------------

namespace {

using u128 = unsigned __int128;

std::span<const std::uint8_t, 16> part16(const std::uint8_t* p) { return std::span<const std::uint8_t, 16>(p, 16); }

// One element of variant alternative I (= dtype code) from its bytes.
template <std::size_t I>
Result<Scalar> decode_element(const std::uint8_t* p, ByteOrder order) {
  using T = std::variant_alternative_t<I, Scalar::Storage>;
  if constexpr (std::is_same_v<T, LongDoubleText>) {
    auto text = decode_long_double(part16(p), order);
    if (!text) return fail(text.error());
    return Scalar::long_double(std::move(*text));
  } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
    auto re = decode_long_double(part16(p), order);
    if (!re) return fail(re.error());
    auto im = decode_long_double(part16(p + 16), order);
    if (!im) return fail(im.error());
    return Scalar::complex_long_double(std::move(*re), std::move(*im));
  } else {
    return Scalar(load_element<T>(p, order));
  }
}

// Encodes one long double text into a 16-byte scratch form, swapped when asked.
// The text routines allocate; an exhausted allocator is AllocationFailed here,
// inside any write lock, rather than an exception that would poison it.
Result<quarvel_longdouble::Bytes16> long_double_form(std::string_view text, ByteOrder order) {
  return checked::allocation_guard([&]() -> Result<quarvel_longdouble::Bytes16> {
    auto form = quarvel_longdouble::encode(text);
    if (!form) return fail(ErrorKind::CannotConvert);
    if (order == ByteOrder::Big) std::reverse(form->begin(), form->end());
    return *form;
  });
}

template <std::size_t I>
Result<void> encode_element(std::uint8_t* p, ByteOrder order, const Scalar& value) {
  using T = std::variant_alternative_t<I, Scalar::Storage>;
  const T& v = std::get<I>(value.storage());
  if constexpr (std::is_same_v<T, LongDoubleText>) {
    auto form = long_double_form(v.text, order);
    if (!form) return fail(form.error());
    std::memcpy(p, form->data(), 16);
  } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
    // Both parts are encoded before either is stored: a failure leaves the
    // element as it was rather than half written.
    auto re = long_double_form(v.re, order);
    if (!re) return fail(re.error());
    auto im = long_double_form(v.im, order);
    if (!im) return fail(im.error());
    std::memcpy(p, re->data(), 16);
    std::memcpy(p + 16, im->data(), 16);
  } else {
    store_element<T>(p, v, order);
  }
  return {};
}

using Decoder = Result<Scalar> (*)(const std::uint8_t*, ByteOrder);
using Encoder = Result<void> (*)(std::uint8_t*, ByteOrder, const Scalar&);

template <std::size_t... I>
constexpr std::array<Decoder, sizeof...(I)> decoder_table(std::index_sequence<I...>) {
  return {&decode_element<I>...};
}
template <std::size_t... I>
constexpr std::array<Encoder, sizeof...(I)> encoder_table(std::index_sequence<I...>) {
  return {&encode_element<I>...};
}

constexpr auto decoders = decoder_table(std::make_index_sequence<DType::count>{});
constexpr auto encoders = encoder_table(std::make_index_sequence<DType::count>{});

// Byte position of element `element`, checked against the buffer's length.
Result<std::uint64_t> element_start(const Buffer& buffer, std::uint64_t element) {
  const std::uint64_t size = buffer.dtype.itemsize();
  std::uint64_t start, end;
  if (__builtin_mul_overflow(element, size, &start) || __builtin_add_overflow(start, size, &end))
    return fail(ErrorKind::LayoutOverflow);
  if (end > buffer.data.size()) return fail(ErrorKind::InvalidLayout);
  return start;
}

}  // namespace

// --- Buffer ------------------------------------------------------------------

namespace {

Result<Buffer> allocate_buffer(DType dtype, ByteOrder byte_order, std::uint64_t count, bool zero) {
  auto size = checked::mul_u64(count, dtype.itemsize());
  if (!size || *size > checked::i64_max) return fail(ErrorKind::LayoutOverflow);
  auto bytes = zero ? ByteStore::zeroed(*size) : ByteStore::uninitialized(*size);
  if (!bytes) return fail(bytes.error());
  return Buffer{std::move(*bytes), byte_order, dtype};
}

}  // namespace

Result<Buffer> Buffer::zeroed(DType dtype, ByteOrder byte_order, std::uint64_t count) {
  return allocate_buffer(dtype, byte_order, count, true);
}

Result<Buffer> Buffer::uninitialized(DType dtype, ByteOrder byte_order, std::uint64_t count) {
  return allocate_buffer(dtype, byte_order, count, false);
}

Result<Buffer> Buffer::from_values(DType dtype, ByteOrder byte_order, std::span<const Scalar> values) {
  auto buffer = zeroed(dtype, byte_order, values.size());
  if (!buffer) return buffer;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (auto written = buffer->write_as(i, dtype, byte_order, values[i]); !written) return fail(written.error());
  return buffer;
}

Result<Scalar> Buffer::read_as(std::uint64_t element, DType as, ByteOrder order) const {
  if (as != dtype) return fail(ErrorKind::DTypeMismatch);
  auto start = element_start(*this, element);
  if (!start) return fail(start.error());
  return decoders[as.index()](data.data() + *start, order);
}

Result<void> Buffer::write_as(std::uint64_t element, DType as, ByteOrder order, const Scalar& value) {
  if (as != dtype || value.dtype() != dtype) return fail(ErrorKind::DTypeMismatch);
  auto start = element_start(*this, element);
  if (!start) return fail(start.error());
  return encoders[as.index()](data.data() + *start, order, value);
}

// --- byte-level helpers ------------------------------------------------------

Result<u128> read_unsigned(std::span<const std::uint8_t> bytes, ByteOrder byte_order) {
  if (bytes.size() > 16) return fail(ErrorKind::InvalidLayout);
  u128 out = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t at = byte_order == ByteOrder::Big ? i : bytes.size() - 1 - i;
    out = (out << 8) | bytes[at];
  }
  return out;
}

Result<std::string> decode_long_double(std::span<const std::uint8_t, 16> bytes, ByteOrder byte_order) {
  quarvel_longdouble::Bytes16 form;
  std::copy(bytes.begin(), bytes.end(), form.begin());
  if (byte_order == ByteOrder::Big) std::reverse(form.begin(), form.end());
  return checked::allocation_guard([&]() -> Result<std::string> {
    auto text = quarvel_longdouble::decode(form);
    if (!text) return fail(ErrorKind::CannotConvert);
    return std::move(*text);
  });
}

Result<void> encode_long_double(std::string_view text, std::span<std::uint8_t, 16> bytes, ByteOrder byte_order) {
  auto form = long_double_form(text, byte_order);
  if (!form) return fail(form.error());
  std::copy(form->begin(), form->end(), bytes.begin());
  return {};
}

// --- the lock ----------------------------------------------------------------

LockedBuffer::WriteGuard::~WriteGuard() {
  // A writer left by an exception may have left the elements half changed.
  if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_entry_)
    owner_->poisoned_.store(true, std::memory_order_release);
}

Result<LockedBuffer::ReadGuard> LockedBuffer::read() const {
  std::shared_lock lock(mutex_);
  if (poisoned()) return fail(ErrorKind::LockPoisoned);
  return ReadGuard(*this, std::move(lock));
}

Result<LockedBuffer::WriteGuard> LockedBuffer::write() {
  std::unique_lock lock(mutex_);
  if (poisoned()) return fail(ErrorKind::LockPoisoned);
  return WriteGuard(*this, std::move(lock));
}

Result<BufferHandle> share_buffer(Buffer buffer) {
  return checked::allocation_guard(
      [&]() -> Result<BufferHandle> { return std::make_shared<LockedBuffer>(std::move(buffer)); });
}

}  // namespace quarvel_storage
