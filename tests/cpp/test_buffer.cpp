#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "storage/buffer.h"
#include "storage/float16.h"

using namespace quarvel_storage;

// Huge allocations must come back as failures, not sanitizer aborts. Visible:
// the sanitizer runtime looks this up by name, and tests build with hidden visibility.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Buffer& buffer) {
  auto span = buffer.data.bytes();
  return Bytes(span.begin(), span.end());
}

Buffer one_element(DType dtype, ByteOrder order, const Scalar& value) {
  auto buffer = Buffer::zeroed(dtype, order, 1);
  EXPECT_TRUE(buffer.has_value());
  auto written = buffer->write_as(0, dtype, order, value);
  EXPECT_TRUE(written.has_value()) << (written ? "" : written.error().message());
  return std::move(*buffer);
}

Bytes with_tail(Bytes head, std::size_t zeros) {
  head.insert(head.end(), zeros, 0);
  return head;
}

Bytes reversed(Bytes b) { return Bytes(b.rbegin(), b.rend()); }

const Bytes ld_one_and_half = with_tail({0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F}, 6);
const Bytes ld_minus_two = with_tail({0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0}, 6);

struct ElementCase {
  const char* name;
  DType dtype;
  ByteOrder order;
  Scalar value;
  Bytes bytes;
};

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<ElementCase> element_cases() {
  return {
      {"bool true", DType::Bool, ByteOrder::NotApplicable, Scalar(true), {0x01}},
      {"int8 -1", DType::Int8, ByteOrder::NotApplicable, Scalar(std::int8_t{-1}), {0xFF}},
      {"int16 -2 native", DType::Int16, ByteOrder::Native, Scalar(std::int16_t{-2}), {0xFE, 0xFF}},
      {"int16 -2 big", DType::Int16, ByteOrder::Big, Scalar(std::int16_t{-2}), {0xFF, 0xFE}},
      {"int32 1 little", DType::Int32, ByteOrder::Little, Scalar(std::int32_t{1}), {1, 0, 0, 0}},
      {"int32 1 big", DType::Int32, ByteOrder::Big, Scalar(std::int32_t{1}), {0, 0, 0, 1}},
      {"uint32 big", DType::UInt32, ByteOrder::Big, Scalar(std::uint32_t{0xA1B2C3D4}), {0xA1, 0xB2, 0xC3, 0xD4}},
      {"uint64 big", DType::UInt64, ByteOrder::Big, Scalar(std::uint64_t{0x0102030405060708}),
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {"int64 min little", DType::Int64, ByteOrder::Little, Scalar(std::int64_t{INT64_MIN}),
       {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"float16 max native", DType::Float16, ByteOrder::Native, Scalar::half(65504.0f), {0xFF, 0x7B}},
      {"float16 max big", DType::Float16, ByteOrder::Big, Scalar::half(65504.0f), {0x7B, 0xFF}},
      {"float32 1 big", DType::Float32, ByteOrder::Big, Scalar(1.0f), {0x3F, 0x80, 0, 0}},
      {"float64 -0 little", DType::Float64, ByteOrder::Little, Scalar(-0.0), {0, 0, 0, 0, 0, 0, 0, 0x80}},
      {"float64 1 big", DType::Float64, ByteOrder::Big, Scalar(1.0), {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
      {"complex64 big", DType::Complex64, ByteOrder::Big, Scalar(std::complex<float>(1.0f, 2.0f)),
       {0x3F, 0x80, 0, 0, 0x40, 0, 0, 0}},
      {"complex64 little", DType::Complex64, ByteOrder::Little, Scalar(std::complex<float>(1.0f, 2.0f)),
       {0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
      {"complex128 big", DType::Complex128, ByteOrder::Big, Scalar(std::complex<double>(1.0, -2.0)),
       {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0}},
      {"long double 1.5 native", DType::LongDouble, ByteOrder::Native, Scalar::long_double("1.5"), ld_one_and_half},
      {"long double 1.5 big", DType::LongDouble, ByteOrder::Big, Scalar::long_double("1.5"),
       reversed(ld_one_and_half)},
      {"complex long double little", DType::ComplexLongDouble, ByteOrder::Little,
       Scalar::complex_long_double("1.5", "-2"), concat(ld_one_and_half, ld_minus_two)},
      {"complex long double big", DType::ComplexLongDouble, ByteOrder::Big,
       Scalar::complex_long_double("1.5", "-2"), concat(reversed(ld_one_and_half), reversed(ld_minus_two))},
  };
}

TEST(ElementBytes, EveryFormatAndByteOrder) {
  for (const ElementCase& c : element_cases()) {
    SCOPED_TRACE(c.name);
    Buffer buffer = one_element(c.dtype, c.order, c.value);
    EXPECT_EQ(bytes_of(buffer), c.bytes);
    auto back = buffer.read_as(0, c.dtype, c.order);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.value);
  }
}

TEST(ElementBytes, TagOfTheReaderDecides) {
  Buffer buffer = one_element(DType::Int32, ByteOrder::Little, Scalar(std::int32_t{1}));
  EXPECT_EQ(*buffer.read_as(0, DType::Int32, ByteOrder::Big), Scalar(std::int32_t{16777216}));
  EXPECT_EQ(*buffer.read_as(0, DType::Int32, ByteOrder::Native), Scalar(std::int32_t{1}));
}

TEST(ElementBytes, AnyNonzeroBoolByteIsTrueAndWritesBackAsOne) {
  auto store = Buffer::from_values(DType::UInt8, ByteOrder::NotApplicable, std::vector<Scalar>{Scalar(std::uint8_t{2})});
  ASSERT_TRUE(store.has_value());
  Buffer as_bool{std::move(store->data), ByteOrder::NotApplicable, DType::Bool};
  auto value = as_bool.read_as(0, DType::Bool, ByteOrder::NotApplicable);
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, Scalar(true));
  ASSERT_TRUE(as_bool.write_as(0, DType::Bool, ByteOrder::NotApplicable, *value).has_value());
  EXPECT_EQ(bytes_of(as_bool), Bytes{1});
}

TEST(ElementBytes, EveryFloat16PatternRoundTrips) {
  auto buffer = Buffer::zeroed(DType::Float16, ByteOrder::Big, 1);
  ASSERT_TRUE(buffer.has_value());
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const float value = half_bits_to_float(static_cast<std::uint16_t>(bits));
    if (std::isnan(value)) continue;
    ASSERT_TRUE(buffer->write_as(0, DType::Float16, ByteOrder::Big, Scalar::half(value)).has_value());
    const Bytes expected{static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits & 0xFF)};
    ASSERT_EQ(bytes_of(*buffer), expected) << bits;
    ASSERT_EQ(*buffer->read_as(0, DType::Float16, ByteOrder::Big), Scalar::half(value)) << bits;
  }
}

TEST(ElementAccessErrors, PositionAndDType) {
  auto buffer = Buffer::zeroed(DType::Float64, ByteOrder::Native, 3);
  ASSERT_TRUE(buffer.has_value());
  struct Case {
    const char* name;
    Result<Scalar> got;
    ErrorKind kind;
  } cases[] = {
      {"past the end", buffer->read_as(3, DType::Float64, ByteOrder::Native), ErrorKind::InvalidLayout},
      {"other dtype", buffer->read_as(0, DType::Float32, ByteOrder::Native), ErrorKind::DTypeMismatch},
      {"byte offset overflows", buffer->read_as(std::uint64_t{1} << 61, DType::Float64, ByteOrder::Native),
       ErrorKind::LayoutOverflow},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.got.has_value());
    EXPECT_EQ(c.got.error().kind, c.kind);
  }
  EXPECT_EQ(buffer->read_as(3, DType::Float64, ByteOrder::Native).error().message(),
            "array view has an invalid or out-of-bounds layout");
  EXPECT_EQ(buffer->read_as(0, DType::Int64, ByteOrder::Native).error().message(),
            "source and destination dtypes must match");
}

TEST(ElementAccessErrors, WritesNeverCastAndFailuresChangeNothing) {
  Buffer ints = one_element(DType::Int32, ByteOrder::Native, Scalar(std::int32_t{7}));
  auto wrong = ints.write_as(0, DType::Int32, ByteOrder::Native, Scalar(std::int64_t{1}));
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().message(), "source and destination dtypes must match");

  Buffer ld = one_element(DType::LongDouble, ByteOrder::Native, Scalar::long_double("1.5"));
  auto bad = ld.write_as(0, DType::LongDouble, ByteOrder::Native, Scalar::long_double("abc"));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message(), "scalar cannot be converted to the requested dtype");
  EXPECT_EQ(bytes_of(ld), ld_one_and_half);
}

TEST(ElementAccessErrors, ComplexLongDoubleWriteIsAllOrNothing) {
  for (ByteOrder order : {ByteOrder::Native, ByteOrder::Big}) {
    Buffer buffer = one_element(DType::ComplexLongDouble, order, Scalar::complex_long_double("1.5", "-2"));
    const Bytes before = bytes_of(buffer);
    const std::vector<std::pair<std::string, std::string>> bad_parts = {
        {"3", "abc"}, {"abc", "3"}, {"4", std::string("5\0", 2)}};
    for (const auto& [re, im] : bad_parts) {
      auto r = buffer.write_as(0, DType::ComplexLongDouble, order, Scalar::complex_long_double(re, im));
      ASSERT_FALSE(r.has_value()) << re << " " << im;
      EXPECT_EQ(r.error().kind, ErrorKind::CannotConvert);
      EXPECT_EQ(bytes_of(buffer), before);
    }
  }
}

TEST(FromValues, EmptyMixedAndOrdered) {
  auto empty = Buffer::from_values(DType::Float64, ByteOrder::Native, std::vector<Scalar>{});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->data.size(), 0u);
  EXPECT_EQ(empty->element_count(), 0u);

  auto mixed = Buffer::from_values(DType::Int16, ByteOrder::Native,
                                   std::vector<Scalar>{Scalar(std::int16_t{1}), Scalar(std::int32_t{2})});
  ASSERT_FALSE(mixed.has_value());
  EXPECT_EQ(mixed.error().kind, ErrorKind::DTypeMismatch);

  auto bad_text = Buffer::from_values(DType::LongDouble, ByteOrder::Native,
                                      std::vector<Scalar>{Scalar::long_double("1"), Scalar::long_double("1x")});
  ASSERT_FALSE(bad_text.has_value());
  EXPECT_EQ(bad_text.error().kind, ErrorKind::CannotConvert);

  auto ok = Buffer::from_values(DType::Int16, ByteOrder::Big,
                                std::vector<Scalar>{Scalar(std::int16_t{1}), Scalar(std::int16_t{2})});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(bytes_of(*ok), (Bytes{0, 1, 0, 2}));
  EXPECT_EQ(ok->byte_order, ByteOrder::Big);
  EXPECT_EQ(ok->dtype, DType::Int16);
}

TEST(Allocation, SizesAreCheckedAndFailuresReported) {
  auto too_big = Buffer::zeroed(DType::Int8, ByteOrder::NotApplicable, std::uint64_t{1} << 62);
  ASSERT_FALSE(too_big.has_value());
  EXPECT_EQ(too_big.error().message(), "array allocation failed");
  auto overflow = Buffer::zeroed(DType::Float64, ByteOrder::Native, std::uint64_t{1} << 60);
  ASSERT_FALSE(overflow.has_value());
  EXPECT_EQ(overflow.error().kind, ErrorKind::LayoutOverflow);
}

TEST(ByteHelpers, ReadUnsignedAndLongDoubleForms) {
  const Bytes b{1, 2, 3};
  EXPECT_EQ(static_cast<std::uint64_t>(*read_unsigned(b, ByteOrder::Little)), 0x030201u);
  EXPECT_EQ(static_cast<std::uint64_t>(*read_unsigned(b, ByteOrder::Big)), 0x010203u);
  EXPECT_EQ(static_cast<std::uint64_t>(*read_unsigned({}, ByteOrder::Big)), 0u);
  const Bytes seventeen(17, 0);
  EXPECT_EQ(read_unsigned(seventeen, ByteOrder::Little).error().kind, ErrorKind::InvalidLayout);

  std::uint8_t form[16] = {};
  ASSERT_TRUE(encode_long_double("1.5", form, ByteOrder::Big).has_value());
  EXPECT_EQ(Bytes(form, form + 16), reversed(ld_one_and_half));
  EXPECT_EQ(*decode_long_double(form, ByteOrder::Big), "1.5");
  EXPECT_EQ(encode_long_double("1.5 ", form, ByteOrder::Big).error().kind, ErrorKind::CannotConvert);
  EXPECT_EQ(Bytes(form, form + 16), reversed(ld_one_and_half));
}

TEST(Lock, WriterLeftByAnExceptionPoisonsForever) {
  auto handle = share_buffer(*Buffer::zeroed(DType::Int32, ByteOrder::Native, 2));
  ASSERT_TRUE(handle.has_value());
  LockedBuffer& lock = **handle;
  lock.run_writer_for_testing([](Buffer& b) { ASSERT_TRUE(b.write_as(0, DType::Int32, ByteOrder::Native, Scalar(std::int32_t{3}))); });
  EXPECT_FALSE(lock.poisoned());
  { auto reader = lock.read(); ASSERT_TRUE(reader.has_value()); }

  EXPECT_THROW(lock.run_writer_for_testing([](Buffer&) { throw std::runtime_error("fault"); }), std::runtime_error);
  EXPECT_TRUE(lock.poisoned());
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto reader = lock.read();
    ASSERT_FALSE(reader.has_value());
    EXPECT_EQ(reader.error().message(), "array storage lock was poisoned");
    auto writer = lock.write();
    ASSERT_FALSE(writer.has_value());
    EXPECT_EQ(writer.error().kind, ErrorKind::LockPoisoned);
  }
}

// Only a writer left by an exception poisons: a reader left that way does
// not, nor does a writer that runs to its end while another exception is
// already unwinding the stack.
TEST(Lock, OnlyAnAbandonedWriterPoisons) {
  auto handle = share_buffer(*Buffer::zeroed(DType::Int32, ByteOrder::Native, 1));
  ASSERT_TRUE(handle.has_value());
  LockedBuffer& lock = **handle;
  try {
    auto reader = lock.read();
    ASSERT_TRUE(reader.has_value());
    throw 1;
  } catch (int) {
  }
  EXPECT_FALSE(lock.poisoned());

  struct WritesDuringUnwinding {
    LockedBuffer& lock;
    ~WritesDuringUnwinding() {
      auto writer = lock.write();
      EXPECT_TRUE(writer.has_value());
    }
  };
  try {
    WritesDuringUnwinding during{lock};
    throw 2;
  } catch (int) {
  }
  EXPECT_FALSE(lock.poisoned());
  EXPECT_TRUE(lock.read().has_value());

  try {
    auto writer = lock.write();
    ASSERT_TRUE(writer.has_value());
    throw 3;
  } catch (int) {
  }
  EXPECT_TRUE(lock.poisoned());
  EXPECT_EQ(lock.read().error().kind, ErrorKind::LockPoisoned);
}

}  // namespace
