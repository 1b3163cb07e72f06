// The typed loops against the element path they replace: conversions against
// decode -> Scalar::cast -> encode (itself checked against oracles in
// test_cast.cpp), the traversal against a plain C-order walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "storage/buffer.h"
#include "storage/indexing.h"
#include "storage/convert_loop.h"
#include "storage/traverse.h"
#include "storage/view.h"

using namespace quarvel_storage;

namespace {

using Bytes = std::vector<std::uint8_t>;

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
  const bool is_float = dtype.kind() == 'f' || dtype.kind() == 'c';
  const std::size_t part = dtype.is_complex() ? dtype.itemsize() / 2 : dtype.itemsize();
  const auto& values = patterns(part, is_float);
  Bytes out;
  for (std::uint64_t re : values) {
    if (!dtype.is_complex()) {
      append_bits(out, re, part);
      continue;
    }
    for (std::uint64_t im : {values[0], values[3], values[8], values[9], re}) {
      append_bits(out, re, part);
      append_bits(out, im, part);
    }
  }
  return out;
}

constexpr ByteOrder orders[] = {ByteOrder::Little, ByteOrder::Big};

// decode -> Scalar::cast -> encode, one element at a time through Buffers.
Bytes element_path(const Bytes& source, DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  const std::size_t n = source.size() / from.itemsize();
  Buffer in = *Buffer::zeroed(from, from_order, n);
  std::memcpy(in.data.data(), source.data(), source.size());
  Buffer out = *Buffer::zeroed(to, to_order, n);
  for (std::size_t i = 0; i < n; ++i) {
    const Scalar cast = *in.read_as(i, from, from_order)->cast(to);
    EXPECT_TRUE(out.write_as(i, to, to_order, cast).has_value());
  }
  return Bytes(out.data.data(), out.data.data() + out.data.size());
}

TEST(ConvertLoop, GivesTheElementPathsBitsForEveryPairAndByteOrder) {
  for (std::size_t f = 0; f < DType::LongDouble; ++f) {
    for (std::size_t t = 0; t < DType::LongDouble; ++t) {
      const DType from = DType::from_index(f), to = DType::from_index(t);
      const Bytes source = specials(from);
      const std::size_t n = source.size() / from.itemsize();
      const auto in = static_cast<std::int64_t>(from.itemsize()), out = static_cast<std::int64_t>(to.itemsize());
      for (ByteOrder from_order : orders) {
        for (ByteOrder to_order : orders) {
          SCOPED_TRACE(std::string(from.name()) + byte_order_char(from_order) + " -> " + std::string(to.name()) +
                       byte_order_char(to_order));
          const ConvertLoop loop = find_conversion(from, from_order, to, to_order);
          ASSERT_NE(loop, nullptr);
          const Bytes expected = element_path(source, from, from_order, to, to_order);
          Bytes unit(n * out, 0xAA);
          loop(source.data(), in, unit.data(), out, n);
          EXPECT_EQ(unit, expected);
          // The source read backwards into every other destination slot.
          Bytes spread(2 * n * out, 0xAA);
          loop(source.data() + (n - 1) * in, -in, spread.data(), 2 * out, n);
          for (std::size_t i = 0; i < n; ++i) {
            EXPECT_TRUE(std::equal(expected.begin() + (n - 1 - i) * out, expected.begin() + (n - i) * out,
                                   spread.begin() + 2 * i * out)) << "element " << i;
            EXPECT_EQ(Bytes(spread.begin() + (2 * i + 1) * out, spread.begin() + (2 * i + 2) * out), Bytes(out, 0xAA));
          }
        }
      }
    }
  }
}

TEST(ConvertLoop, LongDoubleKeepsItsTextPath) {
  for (DType ld : {DType::LongDouble, DType::ComplexLongDouble}) {
    EXPECT_EQ(find_conversion(ld, ByteOrder::Native, DType::Float64, ByteOrder::Native), nullptr);
    EXPECT_EQ(find_conversion(DType::Int8, ByteOrder::Native, ld, ByteOrder::Native), nullptr);
  }
}

// --- for_each_row -------------------------------------------------------------

using Visit = std::pair<std::int64_t, std::int64_t>;

// Two operands' byte offsets at every position, from the rows.
std::pair<std::vector<Visit>, int> rows_of(const Shape& shape, const Strides& a, const Strides& b) {
  static std::uint8_t arena[1 << 16];
  std::uint8_t* base = arena + (1 << 15);
  std::vector<Visit> out;
  int rows = 0;
  for_each_row<2>(shape, {base, base}, {a.data(), b.data()},
                  [&](const std::array<std::uint8_t*, 2>& p, const std::array<std::int64_t, 2>& s, std::uint64_t n) {
                    ++rows;
                    for (std::uint64_t i = 0; i < n; ++i)
                      out.push_back({p[0] - base + static_cast<std::int64_t>(i) * s[0],
                                     p[1] - base + static_cast<std::int64_t>(i) * s[1]});
                  });
  return {out, rows};
}

// The same by a plain C-order walk of the coordinates.
std::vector<Visit> walked(const Shape& shape, const Strides& a, const Strides& b) {
  std::uint64_t count = 1;
  for (auto d : shape) count *= d;
  std::vector<Visit> out;
  std::vector<std::uint64_t> c(shape.size(), 0);
  for (std::uint64_t p = 0; p < count; ++p) {
    Visit v{0, 0};
    for (std::size_t k = 0; k < shape.size(); ++k) {
      v.first += static_cast<std::int64_t>(c[k]) * a[k];
      v.second += static_cast<std::int64_t>(c[k]) * b[k];
    }
    out.push_back(v);
    for (std::size_t k = shape.size(); k-- > 0;)
      if (++c[k] < shape[k]) break; else c[k] = 0;
  }
  return out;
}

TEST(ForEachRow, VisitsInCOrderAndMergesNestedAxes) {
  struct Case {
    const char* name;
    Shape shape;
    Strides a, b;
    int rows;
  } cases[] = {
      {"no axes: one element", {}, {}, {}, 1},
      {"a zero length", {3, 0, 2}, {16, 16, 8}, {16, 16, 8}, 0},
      {"all ones", {1, 1}, {8, 8}, {4, 4}, 1},
      {"contiguous merges to one run", {2, 3, 4}, {96, 32, 8}, {48, 16, 4}, 1},
      {"length-1 axes between merge too", {2, 1, 3}, {24, 999, 8}, {12, 5, 4}, 1},
      {"one transposed operand", {4, 3}, {24, 8}, {8, 32}, 4},
      {"negative strides", {3, 2}, {-16, -8}, {8, 24}, 3},
      {"reversed rows merge", {3, 2}, {-16, 8}, {-16, 8}, 3},
      {"broadcast operand", {4, 3}, {0, 8}, {24, 8}, 4},
      {"broadcast everywhere merges", {4, 3}, {0, 0}, {24, 8}, 1},
      {"overlapping outer step", {3, 4}, {8, 8}, {32, 8}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [visits, rows] = rows_of(c.shape, c.a, c.b);
    EXPECT_EQ(visits, walked(c.shape, c.a, c.b));
    EXPECT_EQ(rows, c.rows);
  }
}

// --- raw element access ---------------------------------------------------------

TEST(ElementBase, ChecksTheGuardTheLayoutAndTheBuffer) {
  auto made = View::from_values(DType::Float64, {4}, std::vector<Scalar>(4, Scalar(1.5)));
  ASSERT_TRUE(made.has_value());
  const View view = *made;
  auto other = View::from_values(DType::Float64, {1}, std::vector<Scalar>(1, Scalar(0.0)));
  auto guard = view.buffer->read();
  auto base = view.element_base(*guard);
  ASSERT_TRUE(base.has_value());
  EXPECT_EQ(*base, (*guard)->data.data());
  View shifted = view;
  shifted.shape = {2};
  shifted.strides = {-16};
  shifted.offset = 24;
  EXPECT_EQ(*shifted.element_base(*guard), (*guard)->data.data() + 24);
  auto kind = [&](const View& v, const LockedBuffer::ReadGuard& g) { return v.element_base(g).error().kind; };
  EXPECT_EQ(kind(other->index(std::vector<IndexItem>{}).value(), *guard), ErrorKind::InvalidLayout);
  View misaligned = view;
  misaligned.shape = {2};
  misaligned.strides = {12};
  EXPECT_EQ(kind(misaligned, *guard), ErrorKind::InvalidLayout);
  View beyond = view;
  beyond.shape = {5};
  EXPECT_EQ(kind(beyond, *guard), ErrorKind::InvalidLayout);
  View relabelled = view;
  relabelled.dtype = DType::Int64;
  EXPECT_EQ(kind(relabelled, *guard), ErrorKind::DTypeMismatch);
  View longer = view;
  longer.len = 5;
  longer.shape = {5};
  EXPECT_EQ(kind(longer, *guard), ErrorKind::InvalidLayout);
}

}  // namespace
