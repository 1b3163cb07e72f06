// Long double and complex long double computed on machine values against the
// text path they replace: the typed entry points of the extended-precision
// layer against its text routines, the conversion loops and typed element
// access against decode -> Scalar::cast -> encode (every byte of the 16,
// padding included), the double reading against the printed text read back,
// and every long double strided loop against the Scalar kernels with
// classify_errors (bits, flags, folds, masks). The text path is the oracle
// here; its own tests hold it to mpmath and hand-worked IEEE results.
#include <gtest/gtest.h>

#include <fenv.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/strided_loops.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_text.h"
#include "longdouble/ld_typed.h"
#include "storage/buffer.h"
#include "storage/cast.h"
#include "storage/convert_loop.h"
#include "storage/view.h"

namespace {

namespace ld = quarvel_longdouble;
using namespace kernel_test;
using quarvel_storage::Buffer;
using quarvel_storage::ByteOrder;
using quarvel_storage::ComplexExtended;
using quarvel_storage::Extended;
using quarvel_storage::LoopPath;
using quarvel_storage::View;
using quarvel_storage::ConvertLoop;
using quarvel_storage::find_conversion;
using quarvel_storage::find_conversion_noting_invalid;
using quarvel_storage::NotingConvertLoop;
using Bytes = std::vector<std::uint8_t>;
using LD = long double;

// ---- values ---------------------------------------------------------------------------

// A stored form from its fields; `pad` fills bytes 10-15, which reads ignore.
//
//   bytes 0-7 significand (integer bit on top), 8-9 sign and exponent, 10-15 pad
Bytes form(std::uint16_t sign_exponent, std::uint64_t significand, std::uint8_t pad = 0) {
  Bytes b(16, pad);
  std::memcpy(b.data(), &significand, 8);
  std::memcpy(b.data() + 8, &sign_exponent, 2);
  return b;
}
Bytes form_of(LD x, std::uint8_t pad = 0) {
  Bytes b(16, pad);
  std::memcpy(b.data(), &x, 10);
  return b;
}

LD p2(int e) { return std::ldexp(1.0L, e); }

// Values on the edges the text path decides: signed zeros and NaNs, the
// extended range's ends, doubles' midpoints (and values beside them) where
// casts to float16/32/64 round, the integer saturation edges, exponent-form
// text, and values whose text needs all 21 digits.
std::vector<LD> special_values() {
  std::vector<LD> v = {0.0L, 1.0L, 1.5L, 0.1L, 1.0L / 3, std::nextafter(1.0L, 2.0L), 1 + p2(-53), 1 + p2(-53) + p2(-63),
                       1 + p2(-52) + p2(-53), 1 + p2(-53) - p2(-63), 1 + p2(-24), 1 + p2(-11), 65520.0L, 65519.0L,
                       p2(-1075), 3 * p2(-1076), p2(-1075) + p2(-1100), p2(1024) - p2(970), p2(1024) - p2(971),
                       p2(1024), 1e4000L, LDBL_MAX, LDBL_MIN, LDBL_MIN / 2, LDBL_TRUE_MIN, p2(-16400) * 3,
                       p2(63) - 0.5L, p2(63), p2(64) - 1, p2(64), p2(63) + 1, p2(31) - 0.5L, 4294967295.5L,
                       p2(31), 1e21L, 1e39L, 1e-5L, 12345678901234567890.5L, 0.5L, 2.5L, 3.0L, 709.0L, 11356.0L,
                       -11400.0L, 3.4028235677973366e38L, 3.4028235677973366e38L + p2(90), HUGE_VALL,
                       std::numeric_limits<LD>::quiet_NaN()};
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

// Encodings the processor never stores: read through their text.
std::vector<Bytes> odd_forms() {
  return {form(0x0000, 0x8000000000000001),   // pseudo-denormal
          form(0x3FFF, 0x4000000000000000),   // unnormal
          form(0x7FFF, 0x0000000000000000),   // pseudo-infinity
          form(0x7FFF, 0xC000000000000123),   // NaN with a payload
          form(0xFFFF, 0x8000000000000001),   // signalling NaN
          form(0x3FFF, 0x8000000000000000, 0xA5)};  // 1 with bytes beside it
}

// Little-endian bytes of every special value of a long double dtype (complex:
// each value beside a few others), odd forms included.
Bytes extended_specials(DType dtype) {
  std::vector<Bytes> parts;
  for (LD x : special_values()) parts.push_back(form_of(x, 0x5A));
  for (const Bytes& b : odd_forms()) parts.push_back(b);
  Bytes out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (dtype == DType::LongDouble) {
      out.insert(out.end(), parts[i].begin(), parts[i].end());
      continue;
    }
    for (std::size_t j : {std::size_t{0}, std::size_t{6}, parts.size() - 2, i}) {
      out.insert(out.end(), parts[i].begin(), parts[i].end());
      out.insert(out.end(), parts[j].begin(), parts[j].end());
    }
  }
  return out;
}

// Fixed-width values through their Scalars, stored with tag "<".
Bytes fixed_specials(DType dtype) {
  std::mt19937_64 random(7);
  const std::vector<Scalar> values = values_of(dtype, 8, random);
  const Buffer buffer = *Buffer::from_values(dtype, ByteOrder::Little, values);
  return Bytes(buffer.data.data(), buffer.data.data() + buffer.data.size());
}

Bytes specials(DType dtype) { return dtype.is_long_double() ? extended_specials(dtype) : fixed_specials(dtype); }

Bytes bytes_of(const Buffer& buffer) { return Bytes(buffer.data.data(), buffer.data.data() + buffer.data.size()); }
std::string hex(const std::uint8_t* p, std::size_t size) {
  std::string text;
  for (std::size_t i = size; i-- > 0;) text += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return text;
}

// decode -> Scalar::cast -> encode, one element at a time through Buffers.
Bytes element_path(const Bytes& source, DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  const std::size_t n = source.size() / from.itemsize();
  Buffer in = *Buffer::zeroed(from, from_order, n), out = *Buffer::zeroed(to, to_order, n);
  std::memcpy(in.data.data(), source.data(), source.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto cast = in.read_as(i, from, from_order)->cast(to);
    EXPECT_TRUE(cast.has_value());
    EXPECT_TRUE(out.write_as(i, to, to_order, *cast).has_value());
  }
  return bytes_of(out);
}

// ---- the extended-precision layer ------------------------------------------------------

std::string text(LD x) { return quarvel_storage::extended_text(x); }

// Each operation name of the text routines, through the typed function its
// code names, gives the routine's text.
TEST(ExtendedRoutines, TypedFunctionsGiveTheTextRoutinesResults) {
  std::vector<LD> values = special_values();
  values.resize(values.size() / 2 + 12);  // the positives and some negatives
  for (const auto& [name, op] : ld::real_unary_names)
    for (LD x : values)
      ASSERT_EQ(text(ld::real_unary(op)(x)), *ld::unary_real(name, text(x))) << name << " " << text(x);
  const std::vector<LD> few = {0.0L, -0.0L, 1.5L, -2.5L, 0.1L, 7.0L, HUGE_VALL, -HUGE_VALL, LDBL_MAX, LDBL_TRUE_MIN,
                               std::numeric_limits<LD>::quiet_NaN(), 1e4000L, 3.0L};
  for (const auto& [name, op] : ld::real_binary_names)
    for (LD x : few)
      for (LD y : few) {
        const auto texts = ld::binary_real(name, text(x), text(y));
        if (op == ld::RealBinaryOp::divmod) {
          const ld::RealPair r = ld::divmod(x, y);
          EXPECT_EQ(texts->first, text(r.first)) << name;
          EXPECT_EQ(texts->second, text(r.second)) << name;
        } else {
          EXPECT_EQ(texts->first, text(ld::real_binary(op)(x, y))) << name << " " << text(x) << " " << text(y);
        }
      }
  for (const auto& [name, op] : ld::complex_unary_names)
    for (LD re : few)
      for (LD im : {0.0L, -1.5L, 0.1L, HUGE_VALL, std::numeric_limits<LD>::quiet_NaN()}) {
        const ld::Complex z = ld::complex_unary(op)({re, im});
        const auto texts = ld::unary_complex(name, text(re), text(im));
        EXPECT_EQ(texts->first + " " + texts->second, text(z.re) + " " + text(z.im)) << name << " " << text(re);
      }
  for (const auto& [name, op] : ld::complex_binary_names)
    for (LD a : {0.0L, 1.5L, -HUGE_VALL, std::numeric_limits<LD>::quiet_NaN()})
      for (LD b : few) {
        const ld::Complex z = ld::complex_binary(op)({a, b}, {b, 2.0L});
        const auto texts = ld::binary_complex(name, text(a), text(b), text(b), "2");
        EXPECT_EQ(texts->first + " " + texts->second, text(z.re) + " " + text(z.im)) << name;
      }
  for (LD x : few) {
    const ld::Mantissa m = ld::frexp(x);
    const auto texts = ld::frexp(text(x));
    EXPECT_EQ(texts->first, text(m.mantissa));
    EXPECT_EQ(texts->second, m.exponent);
    const ld::RealPair parts = ld::modf(x);
    EXPECT_EQ(*ld::modf(text(x)), (ld::TextPair{text(parts.first), text(parts.second)}));
    for (LD y : few) {
      EXPECT_EQ(ld::logaddexp_intermediate_overflow(x, y), *ld::logaddexp_intermediate_overflow(text(x), text(y)));
      for (bool base2 : {false, true})
        EXPECT_EQ(ld::logaddexp_intermediate_underflow(x, y, base2),
                  *ld::logaddexp_intermediate_underflow(text(x), text(y), base2));
      const auto order = ld::compare(text(x), text(y));
      EXPECT_EQ(ld::compare(x, y), order ? *order : 2);
    }
    for (int code = -1; code <= 6; ++code) {
      const auto answer = ld::classify(text(x), code);
      EXPECT_EQ(ld::classify(x, code), answer ? *answer : -1);
    }
  }
}

// floor, ceil and trunc move rint's integer by one where it lies on the wrong
// side: the library's own functions (which switch the rounding mode) give
// the same bytes in every rounding mode, about integers, halves and the
// ends of the exactly representable integers.
TEST(ExtendedRoutines, RoundingGivesTheLibrarysBytesInEveryMode) {
  std::vector<LD> values = special_values();
  std::mt19937_64 random(30);
  for (LD base : {0.0L, 1.0L, 2.0L, 7.0L, 1e10L, p2(52), p2(62), p2(63), p2(64) - 1, p2(64), p2(65)})
    for (LD offset : {0.0L, 0.25L, 0.5L, 0.75L, p2(-64), 1 - p2(-64)})
      for (LD x : {base + offset, std::nextafter(base + offset, HUGE_VALL), std::nextafter(base + offset, -HUGE_VALL)})
        values.insert(values.end(), {x, -x});
  for (int i = 0; i < 4000; ++i)
    values.push_back(std::ldexp(static_cast<LD>(random()) * p2(-64), static_cast<int>(random() % 80) - 4) *
                     (i % 2 ? -1 : 1));
  values.push_back(std::bit_cast<LD>(std::array<std::uint16_t, 8>{0x0001, 0, 0, 0xA000, 0xFFFF}));  // signalling
  const struct {
    ld::RealUnaryOp op;
    long double (*library)(long double);
  } roundings[] = {
      {ld::RealUnaryOp::floor, ::floorl}, {ld::RealUnaryOp::ceil, ::ceill}, {ld::RealUnaryOp::trunc, ::truncl}};
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    for (const auto& r : roundings)
      for (LD x : values) {
        const LD want = r.library(x), got = ld::real_unary(r.op)(x);
        EXPECT_EQ(std::memcmp(&want, &got, 10), 0) << text(x) << " mode " << mode << ": " << text(got);
      }
  }
  std::fesetround(FE_TONEAREST);
}

// The codes come from the routines' own name table, aliases included.
TEST(ExtendedRoutines, NamesMapToCodes) {
  EXPECT_EQ(ld::operation_code<ld::RealUnaryOp>("conj"), ld::RealUnaryOp::positive);
  EXPECT_EQ(ld::operation_code<ld::RealUnaryOp>("radians"), ld::RealUnaryOp::deg2rad);
  EXPECT_EQ(ld::operation_code<ld::RealBinaryOp>("true_divide"), ld::RealBinaryOp::divide);
  EXPECT_EQ(ld::operation_code<ld::RealBinaryOp>("float_power"), ld::RealBinaryOp::power);
  EXPECT_EQ(ld::operation_code<ld::ComplexUnaryOp>("abs"), ld::ComplexUnaryOp::absolute);
  EXPECT_EQ(ld::operation_code<ld::ComplexBinaryOp>("pow"), ld::ComplexBinaryOp::power);
  EXPECT_FALSE(ld::operation_code<ld::RealUnaryOp>("ABS").has_value());
  EXPECT_FALSE(ld::operation_code<ld::ComplexUnaryOp>("fabs").has_value());
  EXPECT_FALSE(ld::operation_code<ld::RealUnaryOp>(static_cast<const char*>(nullptr)).has_value());
}

// The stored form: 10 value bytes and 6 zeros, a NaN as the quiet NaN of its
// sign; a form that is not canonical reads as its text does.
TEST(ExtendedForm, StoresAsEncodeAndReadsAsDecode) {
  for (LD x : special_values()) {
    Bytes stored(16, 0xEE);
    ld::store_form(x, stored.data());
    const ld::Bytes16 encoded = *ld::encode(text(x));
    EXPECT_EQ(stored, Bytes(encoded.begin(), encoded.end())) << text(x);
  }
  std::vector<Bytes> forms = odd_forms();
  for (LD x : special_values()) forms.push_back(form_of(x, 0x33));
  for (const Bytes& b : forms) {
    std::uint64_t m;
    std::uint16_t se;
    std::memcpy(&m, b.data(), 8);
    std::memcpy(&se, b.data() + 8, 2);
    const LD read = ld::load_form(m, se, b.data());
    ld::Bytes16 form16;
    std::copy(b.begin(), b.end(), form16.begin());
    const std::string decoded = *ld::decode(form16);
    const ld::Bytes16 encoded = *ld::encode(decoded);
    EXPECT_EQ(form_of(read), Bytes(encoded.begin(), encoded.end())) << hex(b.data(), 10);
    // Read as its own bytes exactly when the text gives them back.
    Bytes again(16, 0);
    ld::store_form(read, again.data());
    EXPECT_EQ(ld::reads_as_stored(m, se), std::equal(again.begin(), again.begin() + 10, b.begin())) << hex(b.data(), 10);
  }
}

// The double reading: the printed text read back, ties included.
TEST(ExtendedForm, DoubleReadingIsTheTextsNearestDouble) {
  std::vector<LD> values = special_values();
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    // Random doubles' midpoints and their neighbours, over the whole range.
    const double d = std::bit_cast<double>(random() & 0x7FFFFFFFFFFFFFFFull);
    if (!std::isfinite(d)) continue;
    const LD next = std::nextafter(d, HUGE_VAL), mid = (static_cast<LD>(d) + next) / 2;
    values.push_back(mid);
    values.push_back(std::nextafter(mid, 0.0L));
    values.push_back(-mid);
    std::uint64_t m = random() | (std::uint64_t{1} << 63);
    const LD any = std::ldexp(static_cast<LD>(m), static_cast<int>(random() % 2300) - 1150 - 63);
    values.push_back(any);
  }
  for (int e = -1080; e <= -1020; ++e) values.push_back(p2(e) * 1.5L);
  for (LD x : values) {
    const double expected = *quarvel_storage::parse_f64(text(x));
    const double got = quarvel_storage::double_through_text(x);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected)) << text(x);
  }
}

// The classification record of a value equals that of its text's Scalar.
TEST(ExtendedForm, FaultRecordsAreTheTextsRecords) {
  for (LD x : special_values()) {
    const FaultValue typed = fault_value(Extended{x});
    const FaultValue text_record = fault_value(Scalar::long_double(text(x)));
    const auto same_part = [](LD p, LD q) { return std::memcmp(&p, &q, 10) == 0 || (std::isnan(p) && std::isnan(q)); };
    const auto same = [&](const FaultValue& a, const FaultValue& b) {
      const auto bits = [](std::optional<double> d) { return d ? std::bit_cast<std::uint64_t>(*d) : 1ull; };
      return a.dtype == b.dtype && a.nan == b.nan && a.infinite == b.infinite && a.finite == b.finite &&
             a.zero == b.zero && a.subnormal == b.subnormal && bits(a.real) == bits(b.real) &&
             a.pair.has_value() == b.pair.has_value() && bits(a.pair->imag()) == bits(b.pair->imag()) &&
             a.extended.has_value() == b.extended.has_value() &&
             (!a.extended || (same_part(a.extended->real(), b.extended->real()) &&
                              same_part(a.extended->imag(), b.extended->imag())));
    };
    EXPECT_TRUE(same(typed, text_record)) << text(x);
    const FaultValue pair = fault_value(ComplexExtended{x, 1.5L});
    const FaultValue pair_text = fault_value(Scalar::complex_long_double(text(x), "1.5"));
    EXPECT_TRUE(same(pair, pair_text)) << text(x);
  }
}

// ---- storage --------------------------------------------------------------------------

// Every pair with a long double side, in every byte order: the bits of the
// element path, the 6 bytes beside each value included.
TEST(ExtendedConversion, GivesTheElementPathsBitsForEveryPairAndByteOrder) {
  for (std::size_t f = 0; f < DType::count; ++f)
    for (std::size_t t = 0; t < DType::count; ++t) {
      const DType from = DType::from_index(f), to = DType::from_index(t);
      if (!from.is_long_double() && !to.is_long_double()) continue;
      for (ByteOrder from_order : {ByteOrder::Little, ByteOrder::Big})
        for (ByteOrder to_order : {ByteOrder::Little, ByteOrder::Big}) {
          SCOPED_TRACE(std::string(from.name()) + (from_order == ByteOrder::Big ? ">" : "<") + " -> " +
                       std::string(to.name()) + (to_order == ByteOrder::Big ? ">" : "<"));
          const Bytes source = specials(from);
          const std::size_t n = source.size() / from.itemsize();
          const ConvertLoop loop = find_conversion(from, from_order, to, to_order);
          ASSERT_NE(loop, nullptr);
          const Bytes expected = element_path(source, from, from_order, to, to_order);
          Bytes unit(n * to.itemsize(), 0xAA), strided(2 * n * to.itemsize(), 0xAA);
          loop(source.data(), static_cast<std::int64_t>(from.itemsize()), unit.data(),
               static_cast<std::int64_t>(to.itemsize()), n);
          for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(hex(unit.data() + i * to.itemsize(), to.itemsize()),
                      hex(expected.data() + i * to.itemsize(), to.itemsize()))
                << "element " << i << " from " << hex(source.data() + i * from.itemsize(), from.itemsize());
          // To integers, the pass that also notes an invalid cast.
          if (const NotingConvertLoop noting = find_conversion_noting_invalid(from, from_order, to, to_order)) {
            Bytes noted(n * to.itemsize(), 0xAA);
            const bool invalid = noting(source.data(), static_cast<std::int64_t>(from.itemsize()), noted.data(),
                                        static_cast<std::int64_t>(to.itemsize()), n);
            EXPECT_EQ(noted, expected);
            Buffer in = *Buffer::zeroed(from, from_order, n);
            std::memcpy(in.data.data(), source.data(), source.size());
            bool any = false;
            for (std::size_t i = 0; i < n; ++i) any = any || in.read_as(i, from, from_order)->integer_cast_is_invalid(to);
            EXPECT_EQ(invalid, any);
            // One ordinary element alone notes nothing.
            Bytes one = form_of(3.5L);
            one.resize(32, 0);
            if (from_order == ByteOrder::Little) {
              EXPECT_FALSE(noting(one.data(), 0, noted.data(), 0, 1));
            }
          } else {
            EXPECT_FALSE(from.is_long_double() && to.is_integer()) << "no noting loop";
          }
          // Backwards, every other target element.
          loop(source.data() + (n - 1) * from.itemsize(), -static_cast<std::int64_t>(from.itemsize()),
               strided.data() + (2 * n - 2) * to.itemsize(), -2 * static_cast<std::int64_t>(to.itemsize()), n);
          for (std::size_t i = 0; i < n; ++i)
            ASSERT_TRUE(std::equal(expected.begin() + i * to.itemsize(), expected.begin() + (i + 1) * to.itemsize(),
                                   strided.begin() + 2 * i * to.itemsize()));
        }
    }
}

// Whole views on the typed path write what the element path writes.
TEST(ExtendedViews, TypedPathWritesTheElementPathsBytes) {
  const std::vector<LD> values = special_values();
  std::vector<Scalar> texts;
  for (LD x : values) texts.push_back(Scalar::long_double(text(x)));
  for (ByteOrder order : {ByteOrder::Little, ByteOrder::Big}) {
    const View view = *View::from_values_with_layout(DType::LongDouble, order, {values.size()}, texts, false);
    const auto storage = [](const View& v) {
      auto guard = v.buffer->read();
      return Bytes((*guard)->data.data(), (*guard)->data.data() + (*guard)->data.size());
    };
    for (DType to : {DType::LongDouble, DType::ComplexLongDouble, DType::Float64, DType::Int64, DType::Float16})
      EXPECT_EQ(storage(*view.astype_with_axis_order(to, order, {0}, LoopPath::Typed)),
                storage(*view.astype_with_axis_order(to, order, {0}, LoopPath::Element)))
          << to.name();
    for (const Scalar& value : {Scalar(0.1), Scalar::long_double("-nan"), Scalar::long_double(" 1e-4950"),
                                Scalar(std::complex<double>(2.5, 1)), Scalar(std::uint64_t{18446744073709551615u})}) {
      const View typed = *view.copy(), element = *view.copy();
      ASSERT_TRUE(typed.assign_scalar(value, LoopPath::Typed).has_value());
      ASSERT_TRUE(element.assign_scalar(value, LoopPath::Element).has_value());
      EXPECT_EQ(storage(typed), storage(element)) << quarvel_storage::scalar_decimal(value);
    }
    // Text that does not read whole is refused alike, whatever the path.
    for (LoopPath path : {LoopPath::Typed, LoopPath::Element}) {
      const View target = *view.copy();
      EXPECT_EQ(target.assign_scalar(Scalar::long_double("1.5 "), path).error().kind, ErrorKind::CannotConvert);
      EXPECT_EQ(storage(target), storage(view));
      const std::vector<Scalar> prefix = {Scalar::long_double("2"), Scalar::long_double("x"), Scalar::long_double("3")};
      EXPECT_EQ(target.assign_prefix(prefix, path).error().kind, ErrorKind::CannotConvert);
      EXPECT_EQ(*target.read_at({0}), Scalar::long_double("2"));
      EXPECT_EQ(*target.read_at({2}), *view.read_at({2}));
    }
  }
}

// ---- strided loops ---------------------------------------------------------------------

// The distinct loops resolve_loop gives `op` when an input is long double.
std::vector<Loop> extended_loops(Op op) {
  return resolved_loops(op, [](std::span<const DType> inputs) {
    for (DType d : inputs)
      if (d.is_long_double()) return true;
    return false;
  });
}

// Special values of a dtype as stored, a few of them where `small`.
Column column(DType dtype, bool small) {
  Bytes bytes = specials(dtype);
  std::size_t n = bytes.size() / dtype.itemsize();
  if (small && n > 14) {
    n = 14;
    bytes.resize(n * dtype.itemsize());
  }
  Buffer buffer = *Buffer::zeroed(dtype, ByteOrder::Little, n);
  std::memcpy(buffer.data.data(), bytes.data(), bytes.size());
  Column c{dtype, bytes, {}};
  for (std::size_t i = 0; i < n; ++i) c.values.push_back(*buffer.read_as(i, dtype, ByteOrder::Little));
  return c;
}

struct Expected {
  std::uint32_t faults = 0;
  std::vector<Bytes> results;
  std::vector<Scalar> values;
};

Expected expected_of(Op op, const Loop& loop, std::span<const Scalar> in) {
  const Result<KernelOutputs> out = in.size() == 1 ? unary(op, in[0], loop.outputs[0])
                                                   : binary(op, in[0], in[1], loop.outputs[0]);
  EXPECT_TRUE(out.has_value()) << call_text(op, in, {});
  Expected e{classify_errors(op, in, std::span(out->begin(), out->size())), {}, {}};
  for (std::size_t j = 0; j < loop.outputs.size(); ++j) {
    const Scalar value = *(*out)[j].cast(loop.outputs[j]);
    e.results.push_back(bytes_of(*Buffer::from_values(loop.outputs[j], ByteOrder::Little, std::span(&value, 1))));
    e.values.push_back(*Buffer::from_values(loop.outputs[j], ByteOrder::Little, std::span(&value, 1))
                            ->read_as(0, loop.outputs[j], ByteOrder::Little));
  }
  return e;
}

class ExtendedLoops : public testing::TestWithParam<int> {};

TEST_P(ExtendedLoops, GiveTheElementPathsBitsAndFlags) {
  const Op op = static_cast<Op>(GetParam());
  for (const Loop& loop : extended_loops(op)) {
    const std::string key = loop_key(op, loop.inputs);
    const StridedLoop run = find_strided_loop(op, loop.inputs, loop.outputs);
    ASSERT_NE(run, nullptr) << key;
    const std::size_t nin = loop.inputs.size(), nout = loop.outputs.size();
    // Mixed loops (a fixed-width operand beside a long double one) take fewer values.
    const bool mixed = nin == 2 && loop.inputs[0] != loop.inputs[1];
    std::vector<Column> columns;
    for (DType d : loop.inputs) columns.push_back(column(d, mixed || nin == 2));
    const std::size_t first = columns[0].size(), second = nin == 2 ? columns[1].size() : 1;
    // Every pair, the first input major, contiguous; then again through a mask
    // that skips every third element, reversed and spaced.
    const std::size_t n = first * second;
    std::vector<Bytes> in(nin), out(nout);
    for (std::size_t j = 0; j < nin; ++j) in[j].resize(n * loop.inputs[j].itemsize());
    for (std::size_t j = 0; j < nout; ++j) out[j].assign(2 * n * loop.outputs[j].itemsize(), 0xA5);
    std::vector<Expected> expected;
    for (std::size_t a = 0; a < first; ++a)
      for (std::size_t b = 0; b < second; ++b) {
        const std::size_t i = a * second + b;
        std::memcpy(in[0].data() + i * loop.inputs[0].itemsize(), columns[0].at(a), loop.inputs[0].itemsize());
        std::vector<Scalar> values = {columns[0].values[a]};
        if (nin == 2) {
          std::memcpy(in[1].data() + i * loop.inputs[1].itemsize(), columns[1].at(b), loop.inputs[1].itemsize());
          values.push_back(columns[1].values[b]);
        }
        expected.push_back(expected_of(op, loop, values));
      }
    Bytes mask(n);
    for (std::size_t i = 0; i < n; ++i) mask[i] = i % 3 == 1 ? 0 : static_cast<std::uint8_t>(1 + i % 5);
    for (const bool masked : {false, true}) {
      std::vector<std::uint8_t*> args;
      std::vector<std::int64_t> strides;
      for (std::size_t j = 0; j < nin; ++j) {
        const auto size = static_cast<std::int64_t>(loop.inputs[j].itemsize());
        args.push_back(in[j].data() + (masked ? (n - 1) * size : 0));
        strides.push_back(masked ? -size : size);
      }
      for (std::size_t j = 0; j < nout; ++j) {
        const auto size = static_cast<std::int64_t>(loop.outputs[j].itemsize());
        std::fill(out[j].begin(), out[j].end(), 0xA5);
        args.push_back(out[j].data() + (masked ? (2 * n - 2) * size : 0));
        strides.push_back(masked ? -2 * size : size);
      }
      const LoopResult got = run(args.data(), strides.data(), n, masked ? mask.data() : nullptr, 1);
      std::uint32_t want = 0;
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = masked ? n - 1 - k : k;  // element k of the call reads pair i
        const bool computed = !masked || mask[k] != 0;
        if (computed) want |= expected[i].faults;
        for (std::size_t j = 0; j < nout; ++j) {
          const std::size_t size = loop.outputs[j].itemsize();
          const std::uint8_t* at = out[j].data() + (masked ? (2 * n - 2 - 2 * k) : k) * size;
          const Bytes wanted = computed ? expected[i].results[j] : Bytes(size, 0xA5);
          if (!std::equal(wanted.begin(), wanted.end(), at)) {
            std::vector<Scalar> values = {columns[0].values[i / second]};
            if (nin == 2) values.push_back(columns[1].values[i % second]);
            FAIL() << key << (masked ? " masked" : "") << ": " << call_text(op, values, expected[i].values)
                   << " gives " << hex(at, size) << ", element path " << hex(wanted.data(), size);
          }
        }
      }
      EXPECT_EQ(flag_text(got.faults), flag_text(want)) << key << (masked ? " masked" : "");
      EXPECT_FALSE(got.failed) << key;
    }
    // Each pair alone: its own flags.
    for (std::size_t i = 0; i < n; ++i) {
      std::vector<std::uint8_t*> args;
      std::vector<std::int64_t> strides(nin + nout, 0);
      for (std::size_t j = 0; j < nin; ++j) args.push_back(in[j].data() + i * loop.inputs[j].itemsize());
      for (std::size_t j = 0; j < nout; ++j) args.push_back(out[j].data());
      const LoopResult got = run(args.data(), strides.data(), 1, nullptr, 0);
      ASSERT_EQ(flag_text(got.faults), flag_text(expected[i].faults))
          << key << ": " << value_text(columns[0].values[i / second])
          << (nin == 2 ? " " + value_text(columns[1].values[i % second]) : "");
    }
    // Folds and accumulations: each step reads what the one before wrote.
    if (nin == 2 && nout == 1 && loop.outputs[0] == loop.inputs[0]) {
      const std::size_t size = loop.outputs[0].itemsize(), size1 = loop.inputs[1].itemsize();
      for (std::size_t k = 0; k < first; k += 5) {
        Bytes chain(columns[0].at(k), columns[0].at(k) + size);
        std::uint32_t want = 0;
        Scalar running = columns[0].values[k];
        for (std::size_t b = 0; b < second; ++b) {
          const Scalar operands[] = {running, columns[1].values[b]};
          const Expected e = expected_of(op, loop, operands);
          want |= e.faults;
          running = e.values[0];
          chain.insert(chain.end(), e.results[0].begin(), e.results[0].end());
        }
        Bytes accumulated(chain.begin(), chain.begin() + size), folded = accumulated;
        accumulated.resize((second + 1) * size, 0xA5);
        std::uint8_t* operand = const_cast<std::uint8_t*>(columns[1].at(0));
        std::uint8_t* const accumulate_args[] = {accumulated.data(), operand, accumulated.data() + size};
        std::uint8_t* const fold_args[] = {folded.data(), operand, folded.data()};
        const std::int64_t accumulate_strides[] = {static_cast<std::int64_t>(size), static_cast<std::int64_t>(size1),
                                                   static_cast<std::int64_t>(size)};
        const std::int64_t fold_strides[] = {0, static_cast<std::int64_t>(size1), 0};
        EXPECT_EQ(flag_text(run(accumulate_args, accumulate_strides, second, nullptr, 0).faults), flag_text(want)) << key;
        EXPECT_EQ(flag_text(run(fold_args, fold_strides, second, nullptr, 0).faults), flag_text(want)) << key;
        EXPECT_EQ(accumulated, chain) << "accumulation " << key << " from " << value_text(columns[0].values[k]);
        EXPECT_TRUE(std::equal(folded.begin(), folded.end(), chain.end() - size))
            << "fold " << key << " from " << value_text(columns[0].values[k]);
      }
    }
    if (HasFailure()) return;
  }
}

std::string op_param_name(const testing::TestParamInfo<int>& info) {
  return std::string(op_name(static_cast<Op>(info.param)));
}

INSTANTIATE_TEST_SUITE_P(AllOperations, ExtendedLoops, testing::Range(0, op_count), op_param_name);

}  // namespace
