// Buffers: the byte format of every dtype in both byte orders, failed writes,
// allocation, the poisoning lock; and the typed conversion loops against the
// element path they replace (decode -> Scalar::cast -> encode, itself held to
// oracles in test_cast.cpp) on every value and byte order. Row traversal and
// loops over reversed or spaced elements are held end to end by
// tests/python/test_differential.py (reversed, offset, strided and F views
// through copies and astype).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <complex>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/convert_loop.h"
#include "storage_test_util.h"

using namespace quarvel_storage;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Buffer& buffer) { return Bytes(buffer.data.data(), buffer.data.data() + buffer.data.size()); }
Bytes reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Buffer one_element(DType dtype, ByteOrder order, const Scalar& value) {
  auto buffer = Buffer::zeroed(dtype, order, 1);
  EXPECT_TRUE(buffer && buffer->write_as(0, dtype, order, value).has_value());
  return std::move(*buffer);
}

// x87 extended values: bytes 0-7 significand, 8-9 sign and exponent, then 6 zero bytes.
const Bytes ld_one_and_half = Bytes{0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F} + Bytes(6, 0);
const Bytes ld_minus_two = Bytes{0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0} + Bytes(6, 0);
const Bytes ld_tenth = Bytes{0xCD, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFB, 0x3F} + Bytes(6, 0);
constexpr const char* tenth = "0.100000000000000000001";  // every significand byte nonzero

TEST(ElementBytes, EveryFormatAndByteOrder) {
  using L = ByteOrder;
  const std::tuple<DType, ByteOrder, Scalar, Bytes> cases[] = {
      {DType::Bool, L::NotApplicable, Scalar(true), {0x01}},
      {DType::Int8, L::NotApplicable, Scalar(std::int8_t{-1}), {0xFF}},
      {DType::UInt64, L::Big, Scalar(std::uint64_t{0x0102030405060708}), {1, 2, 3, 4, 5, 6, 7, 8}},
      {DType::Float16, L::Big, Scalar::half(65504.0f), {0x7B, 0xFF}},
      {DType::Float32, L::Big, Scalar(1.0f), {0x3F, 0x80, 0, 0}},
      {DType::Complex64, L::Big, Scalar(std::complex<float>(1.0f, 2.0f)), {0x3F, 0x80, 0, 0, 0x40, 0, 0, 0}},
      {DType::Complex128, L::Big, Scalar(std::complex<double>(1.0, -2.0)),
       {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0}},
      {DType::LongDouble, L::Native, Scalar::long_double("1.5"), ld_one_and_half},
      {DType::LongDouble, L::Big, Scalar::long_double(tenth), reversed(ld_tenth)},
      {DType::ComplexLongDouble, L::Little, Scalar::complex_long_double("1.5", "-2"), ld_one_and_half + ld_minus_two},
      {DType::ComplexLongDouble, L::Big, Scalar::complex_long_double(tenth, tenth), reversed(ld_tenth) + reversed(ld_tenth)},
  };
  for (const auto& [dtype, order, value, bytes] : cases) {
    SCOPED_TRACE(std::string(dtype.name()) + byte_order_char(order) + scalar_decimal(value));
    const Buffer buffer = one_element(dtype, order, value);
    EXPECT_EQ(bytes_of(buffer), bytes);
    EXPECT_EQ(buffer.read_as(0, dtype, order), value);
  }
  // The reader's tag decides; any nonzero bool byte is true, and writes back as 1.
  const Buffer one = one_element(DType::Int32, ByteOrder::Little, Scalar(std::int32_t{1}));
  EXPECT_EQ(one.read_as(0, DType::Int32, ByteOrder::Big), Scalar(std::int32_t{16777216}));
  Buffer as_bool{std::move(Buffer::from_values(DType::UInt8, ByteOrder::NotApplicable, std::vector{Scalar(std::uint8_t{2})})->data),
                 ByteOrder::NotApplicable, DType::Bool};
  EXPECT_EQ(as_bool.read_as(0, DType::Bool, ByteOrder::NotApplicable), Scalar(true));
  ASSERT_TRUE(as_bool.write_as(0, DType::Bool, ByteOrder::NotApplicable, Scalar(true)).has_value());
  EXPECT_EQ(bytes_of(as_bool), Bytes{1});
}

TEST(ElementBytes, FailedWritesChangeNothing) {
  Buffer buffer = one_element(DType::LongDouble, ByteOrder::Native, Scalar::long_double("1.5"));
  // Writes never cast; text that does not parse, in either part, writes nothing.
  EXPECT_EQ(buffer.write_as(0, DType::LongDouble, ByteOrder::Native, Scalar(1.0)).error().kind, ErrorKind::DTypeMismatch);
  EXPECT_EQ(buffer.write_as(0, DType::LongDouble, ByteOrder::Native, Scalar::long_double("abc")).error().message(),
            "scalar cannot be converted to the requested dtype");
  EXPECT_EQ(bytes_of(buffer), ld_one_and_half);
  Buffer pair = one_element(DType::ComplexLongDouble, ByteOrder::Big, Scalar::complex_long_double("1.5", "-2"));
  for (const auto& [re, im] : {std::pair<std::string, std::string>{"3", "abc"}, {"abc", "3"}, {"4", std::string("5\0", 2)}}) {
    EXPECT_EQ(pair.write_as(0, DType::ComplexLongDouble, ByteOrder::Big, Scalar::complex_long_double(re, im)).error().kind,
              ErrorKind::CannotConvert) << re << " " << im;
    EXPECT_EQ(bytes_of(pair), reversed(ld_one_and_half) + reversed(ld_minus_two));
  }
}

TEST(BufferMaking, FromValuesAndAllocation) {
  auto ok = Buffer::from_values(DType::Int16, ByteOrder::Big, std::vector{Scalar(std::int16_t{1}), Scalar(std::int16_t{2})});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(bytes_of(*ok), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(Buffer::from_values(DType::Int16, ByteOrder::Native, std::vector{Scalar(std::int16_t{1}), Scalar(std::int32_t{2})})
                .error().kind, ErrorKind::DTypeMismatch);
  EXPECT_EQ(Buffer::from_values(DType::LongDouble, ByteOrder::Native,
                                std::vector{Scalar::long_double("1"), Scalar::long_double("1x")}).error().kind,
            ErrorKind::CannotConvert);
  EXPECT_EQ(Buffer::zeroed(DType::Int8, ByteOrder::NotApplicable, std::uint64_t{1} << 62).error().message(),
            "array allocation failed");
}

// A writer left by an exception poisons the lock for good; a reader left that
// way does not, nor does a writer that runs to its end while another
// exception is already unwinding the stack.
TEST(Lock, OnlyAnAbandonedWriterPoisonsAndForGood) {
  const BufferHandle handle = *share_buffer(*Buffer::zeroed(DType::Int32, ByteOrder::Native, 1));
  LockedBuffer& lock = *handle;
  EXPECT_THROW({ auto reader = lock.read(); throw 1; }, int);
  struct WritesDuringUnwinding {
    LockedBuffer& lock;
    ~WritesDuringUnwinding() { EXPECT_TRUE(lock.write().has_value()); }
  };
  EXPECT_THROW({ WritesDuringUnwinding during{lock}; throw 2; }, int);
  lock.run_writer_for_testing([](Buffer& b) { EXPECT_TRUE(b.write_as(0, DType::Int32, ByteOrder::Native, Scalar(3)).has_value()); });
  EXPECT_FALSE(lock.poisoned());
  EXPECT_TRUE(lock.read().has_value());
  EXPECT_THROW(lock.run_writer_for_testing([](Buffer&) { throw std::runtime_error("fault"); }), std::runtime_error);
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_TRUE(lock.poisoned());
    EXPECT_EQ(lock.read().error().message(), "array storage lock was poisoned");
    EXPECT_EQ(lock.write().error().kind, ErrorKind::LockPoisoned);
  }
}

// ---- typed conversion loops ----------------------------------------------------------

void append_bits(Bytes& out, std::uint64_t bits, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

// Bit patterns of one real part per width: zeros, extremes, wrap points and
// the edges of every float format (subnormals, NaNs quiet and signalling,
// infinities, values that round or saturate at an integer bound).
const std::vector<std::uint64_t>& patterns(std::size_t size, bool is_float) {
  static const std::vector<std::uint64_t> p1 = {0, 1, 2, 0x7F, 0x80, 0xFF, 0x55};
  static const std::vector<std::uint64_t> p2 = {0, 1, 0x7FFF, 0x8000, 0xFFFF, 0x1234};
  static const std::vector<std::uint64_t> p4 = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x12345678};
  static const std::vector<std::uint64_t> p8 = {0, 1, 0x7FFFFFFFFFFFFFFF, 0x8000000000000000, 0xFFFFFFFFFFFFFFFF,
                                                0x0123456789ABCDEF};
  static const std::vector<std::uint64_t> f2 = {0x0000, 0x8000, 0x0001, 0x03FF, 0x0400, 0x7BFF, 0xFBFF, 0x7C00,
                                                0xFC00, 0x7E00, 0x7C01, 0xFE3F, 0x3C00, 0x3E00, 0xC100};
  auto f32 = [](float f) { return std::uint64_t{std::bit_cast<std::uint32_t>(f)}; };
  auto f64 = [](double d) { return std::bit_cast<std::uint64_t>(d); };
  static const std::vector<std::uint64_t> f4 = {
      f32(0.0f), f32(-0.0f), 0x00000001, 0x007FFFFF, 0x7F7FFFFF, 0xFF7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000,
      0x7F800001, 0xFFC01234, f32(2.5f), f32(-2.5f), f32(65504.0f), f32(65520.0f), f32(2147483648.0f),
      f32(-2147483904.0f), f32(4294967296.0f), f32(9.2233720e18f), f32(1.8446744e19f), f32(3e-8f)};
  static const std::vector<std::uint64_t> f8 = {
      f64(0.0), f64(-0.0), 1, 0x000FFFFFFFFFFFFF, 0x7FEFFFFFFFFFFFFF, 0xFFEFFFFFFFFFFFFF, 0x7FF0000000000000,
      0xFFF0000000000000, 0x7FF8000000000000, 0x7FF0000000000001, 0xFFF8DEADBEEF0000, f64(0.5), f64(-1.5),
      f64(3.4028235677973366e38), f64(3.4028235677973362e38), f64(65519.99), f64(-2147483648.5), f64(4294967295.9),
      f64(9223372036854775808.0), f64(-9223372036854777856.0), f64(18446744073709551616.0), f64(1e-310),
      f64(5.960464477539063e-08), f64(2.9802322387695312e-08)};
  if (is_float) return size == 2 ? f2 : (size == 4 ? f4 : f8);
  return size == 1 ? p1 : (size == 2 ? p2 : (size == 4 ? p4 : p8));
}

// Little-endian bytes of every special value of `dtype` (complex: each part
// pattern beside a few others), one element after another.
Bytes specials(DType dtype) {
  const std::size_t part = dtype.is_complex() ? dtype.itemsize() / 2 : dtype.itemsize();
  const auto& values = patterns(part, dtype.kind() == 'f' || dtype.kind() == 'c');
  Bytes out;
  for (std::uint64_t re : values) {
    if (!dtype.is_complex()) append_bits(out, re, part);
    if (dtype.is_complex())
      for (std::uint64_t im : {values[0], values[3], values[8], values[9], re}) {
        append_bits(out, re, part);
        append_bits(out, im, part);
      }
  }
  return out;
}

// decode -> Scalar::cast -> encode, one element at a time through Buffers.
Bytes element_path(const Bytes& source, DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  const std::size_t n = source.size() / from.itemsize();
  Buffer in = *Buffer::zeroed(from, from_order, n), out = *Buffer::zeroed(to, to_order, n);
  std::memcpy(in.data.data(), source.data(), source.size());
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_TRUE(out.write_as(i, to, to_order, *in.read_as(i, from, from_order)->cast(to)).has_value());
  return bytes_of(out);
}

TEST(ConvertLoop, GivesTheElementPathsBitsForEveryPairAndByteOrder) {
  for (std::size_t f = 0; f < DType::LongDouble; ++f)
    for (std::size_t t = 0; t < DType::LongDouble; ++t)
      for (ByteOrder from_order : {ByteOrder::Little, ByteOrder::Big})
        for (ByteOrder to_order : {ByteOrder::Little, ByteOrder::Big}) {
          const DType from = DType::from_index(f), to = DType::from_index(t);
          SCOPED_TRACE(std::string(from.name()) + byte_order_char(from_order) + " -> " + std::string(to.name()) +
                       byte_order_char(to_order));
          const Bytes source = specials(from);
          const std::size_t n = source.size() / from.itemsize();
          const auto in = static_cast<std::int64_t>(from.itemsize()), out = static_cast<std::int64_t>(to.itemsize());
          const ConvertLoop loop = find_conversion(from, from_order, to, to_order);
          ASSERT_NE(loop, nullptr);
          const Bytes expected = element_path(source, from, from_order, to, to_order);
          Bytes unit(n * out, 0xAA);
          loop(source.data(), in, unit.data(), out, n);
          EXPECT_EQ(unit, expected);
        }
}
}  // namespace

namespace {
// Up to 16 bytes as one number, most significant first under ">"; more is a layout error.
TEST(ByteHelpers, ReadUnsigned) {
  Bytes sixteen(16, 0);
  sixteen[0] = 1;
  EXPECT_EQ(*read_unsigned(sixteen, ByteOrder::Big), static_cast<unsigned __int128>(1) << 120);
  EXPECT_EQ(*read_unsigned(sixteen, ByteOrder::Native), 1u);
  EXPECT_EQ(*read_unsigned(Bytes{0x12, 0x34}, ByteOrder::Big), 0x1234u);
  EXPECT_EQ(read_unsigned(Bytes(17), ByteOrder::Big).error().kind, ErrorKind::InvalidLayout);
}
}  // namespace
