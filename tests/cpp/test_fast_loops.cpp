// The vector paths of the typed loops against the element path: the complex
// blocks and the float16 lanes. One probe element sits among ordinary ones in
// a run long enough for the vector path (a block of 256, a group of 8); its
// bits and the run's flags must be the element path's, so a screen that let
// the probe's fault through, or a lane the vector work got wrong, shows. The
// typed conversions likewise, element path against loop, with what they note.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/strided_loops.h"
#include "storage/buffer.h"
#include "storage/convert_loop.h"

namespace {

using namespace kernel_test;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Scalar& v, DType dtype) {
  auto buffer = quarvel_storage::Buffer::from_values(dtype, quarvel_storage::ByteOrder::Native, std::span(&v, 1));
  return Bytes(buffer->data.bytes().begin(), buffer->data.bytes().end());
}

struct Expected {
  Bytes bits;
  std::uint32_t faults;
};

Expected element_path(Op op, std::span<const Scalar> in, DType out) {
  const auto r = in.size() == 1 ? unary(op, in[0], out) : binary(op, in[0], in[1], out);
  EXPECT_TRUE(r.has_value()) << call_text(op, in, {});
  const Scalar value = *(*r)[0].cast(out);
  return {bytes_of(value, out), classify_errors(op, in, std::span(r->begin(), 1))};
}

// `n` elements of `ordinary` with `probe` at `at` (each a tuple of inputs),
// run through the typed loop contiguously and as every other element
// backwards; each way the probe's bits, the others' bits and the run's flags.
void check_probe(Op op, DType dtype, DType out, std::span<const Scalar> ordinary, std::span<const Scalar> probe,
                 std::size_t n, std::size_t at) {
  const std::size_t nin = ordinary.size(), size = dtype.itemsize(), out_size = out.itemsize();
  const std::vector<DType> ins(nin, dtype);
  const StridedLoop loop = find_strided_loop(op, ins, std::span(&out, 1));
  ASSERT_NE(loop, nullptr);
  const Expected usual = element_path(op, ordinary, out), wanted = element_path(op, probe, out);
  for (int step : {1, -2}) {
    const std::size_t span = (n - 1) * static_cast<std::size_t>(std::abs(step)) + 1;
    std::vector<Bytes> inputs(nin, Bytes(span * size));
    Bytes results(span * out_size);
    std::vector<std::uint8_t*> args;
    std::vector<std::int64_t> strides;
    const std::size_t origin = step < 0 ? span - 1 : 0;
    for (std::size_t k = 0; k < nin; ++k) {
      const Bytes usual_in = bytes_of(ordinary[k], dtype), probe_in = bytes_of(probe[k], dtype);
      for (std::size_t i = 0; i < n; ++i)
        std::memcpy(inputs[k].data() + (origin + i * step) * size, (i == at ? probe_in : usual_in).data(), size);
      args.push_back(inputs[k].data() + origin * size);
      strides.push_back(step * static_cast<std::int64_t>(size));
    }
    args.push_back(results.data() + origin * out_size);
    strides.push_back(step * static_cast<std::int64_t>(out_size));
    const LoopResult got = loop(args.data(), strides.data(), n, nullptr, 0);
    const std::string text = call_text(op, probe, {}) + (step == 1 ? " contiguous" : " strided");
    for (std::size_t i = 0; i < n; ++i) {
      const Bytes& want = i == at ? wanted.bits : usual.bits;
      ASSERT_EQ(Bytes(args[nin] + i * step * out_size, args[nin] + i * step * out_size + out_size), want)
          << text << ", element " << i;
    }
    ASSERT_EQ(flag_text(got.faults), flag_text(wanted.faults | usual.faults)) << text;
  }
}

// Parts at the edges of the range where the blocks keep the plain quotient
// (2^-240 .. 2^240 for double, 2^-30 .. 2^30 for float) and of the normal
// range, with zeros, infinities and NaNs of each sign.
std::vector<double> complex_parts() {
  std::vector<double> parts = {0.0, 1.5, 0x1p240, std::nextafter(0x1p240, inf), 0x1p-240,
                               std::nextafter(0x1p-240, 0.0), 0x1p30, 0x1.000002p30, 0x1p-30, 0x1.fffffep-31,
                               1e300, 1e-300, p2(-1074), 3e38, 1e-40, inf, kernel_test::nan};
  const std::size_t n = parts.size();
  for (std::size_t i = 0; i < n; ++i) parts.push_back(-parts[i]);
  parts.push_back(std::bit_cast<double>(0x7FF8DEADBEEF0000ull));
  return parts;
}

class ComplexBlocks : public testing::TestWithParam<std::tuple<int, DType::Code>> {};

TEST_P(ComplexBlocks, ProbesGiveTheElementPathsBitsAndFlags) {
  const Op op = static_cast<Op>(std::get<0>(GetParam()));
  const DType dtype = std::get<1>(GetParam());
  const std::size_t nin = op_info(op).nin;
  const std::vector<double> parts = complex_parts();
  std::vector<Scalar> values;
  for (double re : parts)
    for (double im : parts) values.push_back(*Scalar(c128(re, im)).cast(dtype));
  const Scalar usual[] = {*Scalar(c128(1.5, -0.25)).cast(dtype), *Scalar(c128(0.75, 2.0)).cast(dtype)};
  // Each value as the first operand beside a few second ones, and as the second.
  const Scalar partners[] = {usual[1], *Scalar(c128(0.0, 0.0)).cast(dtype), *Scalar(c128(0x1p200, -3.0)).cast(dtype),
                             *Scalar(c128(-1e-300, 0x1p-29)).cast(dtype)};
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (nin == 1) {
      const Scalar probe[] = {values[i]};
      check_probe(op, dtype, dtype, std::span(usual, 1), probe, 256 + 3, i % 256);
      continue;
    }
    for (const Scalar& partner : partners) {
      for (bool first : {true, false}) {
        const Scalar probe[] = {first ? values[i] : partner, first ? partner : values[i]};
        check_probe(op, dtype, dtype, usual, probe, 256, (i * 7) % 256);
      }
    }
    if (HasFailure()) return;
  }
}

std::string complex_name(const testing::TestParamInfo<std::tuple<int, DType::Code>>& info) {
  return std::string(op_name(static_cast<Op>(std::get<0>(info.param)))) + "_" +
         std::string(DType(std::get<1>(info.param)).name());
}

INSTANTIATE_TEST_SUITE_P(Operations, ComplexBlocks,
                         testing::Combine(testing::Values(static_cast<int>(Op::add), static_cast<int>(Op::subtract),
                                                          static_cast<int>(Op::multiply), static_cast<int>(Op::divide),
                                                          static_cast<int>(Op::square), static_cast<int>(Op::reciprocal)),
                                          testing::Values(DType::Complex64, DType::Complex128)),
                         complex_name);

// Quotients and reciprocals of random operands whose parts range over every
// exponent (subnormal, near the bottom and the top of the normal range, or
// zero), runs of them side by side: every lane where the formula is dropped
// for the scaled quotient, scaled or not. Each element's bits against the
// element path, the run's flags against theirs together.
class ComplexQuotients : public testing::TestWithParam<std::tuple<int, DType::Code>> {};

TEST_P(ComplexQuotients, RandomOperandsOverTheWholeRangeGiveTheElementPathsBits) {
  const Op op = static_cast<Op>(std::get<0>(GetParam()));
  const DType dtype = std::get<1>(GetParam());
  const bool single = dtype == DType::Complex64;
  const std::size_t nin = op_info(op).nin, size = dtype.itemsize(), n = 1024;
  std::mt19937_64 random(29);
  // Exponents from the subnormals' bottom to the top, crowded at both ends.
  const int low = single ? -149 : -1074, high = single ? 127 : 1023;
  auto part = [&]() {
    const std::uint64_t pick = random();
    if (pick % 16 == 0) return (pick & 32) ? -0.0 : 0.0;
    const int span = static_cast<int>(pick >> 8 & 7) < 3 ? 40 : high - low;
    const int e = static_cast<int>(pick >> 11 & 1) ? low + static_cast<int>((pick >> 12) % span)
                                                    : high - static_cast<int>((pick >> 12) % span);
    const double m = 1 + static_cast<double>(pick >> 40) * 0x1p-24;
    return ((pick >> 7) & 1 ? -1.0 : 1.0) * std::ldexp(m, e);
  };
  const DType ins[] = {dtype, dtype};
  const StridedLoop loop = find_strided_loop(op, std::span(ins, nin), std::span(&dtype, 1));
  ASSERT_NE(loop, nullptr);
  for (int round = 0; round < 4; ++round) {
    std::vector<Bytes> in(nin, Bytes(n * size));
    std::vector<Scalar> values[2];
    for (std::size_t k = 0; k < nin; ++k)
      for (std::size_t i = 0; i < n; ++i) {
        values[k].push_back(*Scalar(c128(part(), part())).cast(dtype));
        std::memcpy(in[k].data() + i * size, bytes_of(values[k][i], dtype).data(), size);
      }
    Bytes results(n * size);
    std::uint8_t* args[] = {in[0].data(), in[nin - 1].data(), results.data()};
    if (nin == 1) args[1] = results.data();
    const std::int64_t strides[] = {static_cast<std::int64_t>(size), static_cast<std::int64_t>(size),
                                    static_cast<std::int64_t>(size)};
    const LoopResult got = loop(args, strides, n, nullptr, 0);
    std::uint32_t faults = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const Scalar probe[] = {values[0][i], values[nin - 1][i]};
      const Expected want = element_path(op, std::span(probe, nin), dtype);
      faults |= want.faults;
      ASSERT_EQ(Bytes(results.data() + i * size, results.data() + (i + 1) * size), want.bits)
          << call_text(op, std::span(probe, nin), {}) << ", element " << i;
    }
    ASSERT_EQ(flag_text(got.faults), flag_text(faults));
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, ComplexQuotients,
                         testing::Combine(testing::Values(static_cast<int>(Op::divide), static_cast<int>(Op::reciprocal)),
                                          testing::Values(DType::Complex64, DType::Complex128)),
                         complex_name);

// Scaled quotients whose parts round onto the subnormal grid: halfway
// between two subnormals (to the even one), just off halfway, up to the
// smallest normal, and zero parts beside them, each at every lane of a
// vector. The dividend k 2^-m over 2 (or 1 over a divisor near the top for a
// reciprocal) is exact in rationals, so the expected parts are known apart
// from the element path: k / 2 in units of the smallest subnormal, rounded
// half to even.
class SubnormalRounding : public testing::TestWithParam<DType::Code> {};

TEST_P(SubnormalRounding, QuotientsRoundOnceToTheSubnormalGrid) {
  const DType dtype = GetParam();
  const bool single = dtype == DType::Complex64;
  const int bottom = single ? -149 : -1074, digits = single ? 24 : 53;
  const double top = std::ldexp(1.0, digits) - 1;  // twice the largest subnormal and one unit, in units
  const Scalar usual[] = {*Scalar(c128(1.5, -0.25)).cast(dtype), *Scalar(c128(0.75, 2.0)).cast(dtype)};
  for (double k : {1.0, 3.0, 5.0, 7.0, 6.0, top, top - 1, top - 2}) {
    for (double im : {0.0, -1.0, 1.0}) {  // the imaginary part zero, or the real one with a sign
      const double re = k * std::ldexp(1.0, bottom);
      const Scalar probe[] = {*Scalar(c128(re, im * re)).cast(dtype), *Scalar(c128(2.0, 0.0)).cast(dtype)};
      for (std::size_t at : {0, 1, 2, 3, 5}) check_probe(Op::divide, dtype, dtype, usual, probe, 256, at);
      const double half = std::nearbyint(k / 2) * std::ldexp(1.0, bottom);
      ASSERT_EQ(element_path(Op::divide, probe, dtype).bits, bytes_of(*Scalar(c128(half, im * half)).cast(dtype), dtype))
          << k << " " << im;
    }
    if (HasFailure()) return;
  }
  // Reciprocals just below the normal range: exact, inexact, and a unit under its bottom.
  const int high = 2 - bottom - digits;
  for (double divisor :
       {std::ldexp(1.0, high), std::ldexp(1.5, high), std::ldexp(1.0 + std::ldexp(1.0, 1 - digits), high - 1)}) {
    const Scalar probe[] = {*Scalar(c128(divisor, 0.0)).cast(dtype)};
    for (std::size_t at : {0, 1, 2, 3, 258})
      check_probe(Op::reciprocal, dtype, dtype, std::span(usual, 1), probe, 259, at);
  }
}

INSTANTIATE_TEST_SUITE_P(Types, SubnormalRounding, testing::Values(DType::Complex64, DType::Complex128),
                         [](const testing::TestParamInfo<DType::Code>& info) {
                           return std::string(DType(info.param).name());
                         });

// Reciprocals the vector path scales by one power of two read off the larger
// part: parts both subnormal, one zero, one normal beside a subnormal one,
// results that overflow, exact and inexact, the larger part at the top
// exponent, just under and at the bound below which |b|^2 leaves the normal
// range, NaN and infinite parts beside them. Each probe at lanes of a vector,
// at a block's end and in the tail; then every divisor at every lane at once,
// next to each other, the whole run's bits and flags against the element path.
class ScaledReciprocals : public testing::TestWithParam<DType::Code> {};

TEST_P(ScaledReciprocals, EveryLaneGivesTheElementPathsBitsAndFlags) {
  const DType dtype = GetParam();
  const bool single = dtype == DType::Complex64;
  const int bottom = single ? -149 : -1074, lowest = single ? -126 : -1022, top = single ? 127 : 1023;
  const double full = single ? 1 + 0x1.fffffcp-1 : 1 + 0x1.ffffffffffffep-1;  // every significand bit set
  const double bound = std::ldexp(1.0, lowest / 2 - 1);
  const std::vector<c128> divisors = {
      {p2(bottom), p2(bottom)}, {p2(bottom + 3) * 5, -p2(bottom + 1)}, {0.0, -p2(bottom + 7)}, {-p2(lowest - 1) * 3, 0.0},
      {1.5, p2(lowest - 2)}, {-p2(lowest - 5), std::ldexp(full, 20)}, {std::ldexp(full, top), -p2(top - 30)},
      {std::ldexp(1.25, top), 0.0}, {0.0, -std::ldexp(full, top - 1)}, {p2(top - 1), p2(top - 1)},
      {std::ldexp(full, lowest / 2 - 2), p2(lowest / 2 - 9)}, {bound, -bound}, {-bound * full, 0.0},
      {std::ldexp(full, -lowest / 2 + 2), -1.0}, {p2(lowest + 1), p2(bottom)}, {std::ldexp(1.75, lowest), 0.0},
      {std::ldexp(full, top), kernel_test::nan}, {inf, p2(bottom)}, {-p2(bottom), -inf}, {0.0, -0.0}};
  const Scalar usual[] = {*Scalar(c128(1.5, -0.25)).cast(dtype)};
  std::vector<Scalar> values;
  for (const c128& z : divisors) {
    values.push_back(*Scalar(z).cast(dtype));
    const Scalar probe[] = {values.back()};
    for (std::size_t at : {0, 1, 3, 255, 256, 258})
      check_probe(Op::reciprocal, dtype, dtype, std::span(usual, 1), probe, 259, at);
    if (HasFailure()) return;
  }
  const std::size_t size = dtype.itemsize(), n = 512 + 7;
  const StridedLoop loop = find_strided_loop(Op::reciprocal, std::span(&dtype, 1), std::span(&dtype, 1));
  ASSERT_NE(loop, nullptr);
  for (std::size_t shift = 0; shift < 4; ++shift) {
    Bytes in(n * size), results(n * size);
    for (std::size_t i = 0; i < n; ++i)
      std::memcpy(in.data() + i * size, bytes_of(values[(i * 3 + shift) % values.size()], dtype).data(), size);
    std::uint8_t* args[] = {in.data(), results.data()};
    const std::int64_t strides[] = {static_cast<std::int64_t>(size), static_cast<std::int64_t>(size)};
    const LoopResult got = loop(args, strides, n, nullptr, 0);
    std::uint32_t faults = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const Scalar probe[] = {values[(i * 3 + shift) % values.size()]};
      const Expected want = element_path(Op::reciprocal, probe, dtype);
      faults |= want.faults;
      ASSERT_EQ(Bytes(results.data() + i * size, results.data() + (i + 1) * size), want.bits)
          << call_text(Op::reciprocal, probe, {}) << ", element " << i;
    }
    ASSERT_EQ(flag_text(got.faults), flag_text(faults)) << shift;
  }
}

INSTANTIATE_TEST_SUITE_P(Types, ScaledReciprocals, testing::Values(DType::Complex64, DType::Complex128),
                         [](const testing::TestParamInfo<DType::Code>& info) {
                           return std::string(DType(info.param).name());
                         });

// Real products, squares, quotients and reciprocals of random operands whose
// results land from below the smallest subnormal to just above the smallest
// normal, exact or not (short or full significands), each a probe among
// exact subnormal results at a random lane of a block or in its tail: the
// vectors decide each lane's exactness, so a lane they misjudge shows in the
// run's underflow flag.
class RealLanes : public testing::TestWithParam<std::tuple<int, DType::Code>> {};

TEST_P(RealLanes, ProbesBelowTheNormalRangeGiveTheElementPathsBitsAndFlags) {
  const Op op = static_cast<Op>(std::get<0>(GetParam()));
  const DType dtype = std::get<1>(GetParam());
  const bool single = dtype == DType::Float32;
  const int bottom = single ? -126 : -1022, digits = single ? 24 : 53;
  std::mt19937_64 random(31);
  auto significand = [&] {
    const std::uint64_t pick = random();
    const int bits = (pick & 1) ? digits : 1 + static_cast<int>(pick >> 1 & 7);
    return std::ldexp(static_cast<double>((pick >> 11) >> (64 - 11 - bits) | 1), 1 - bits) * ((pick >> 10 & 1) ? -1 : 1);
  };
  auto value = [&](double v) { return *Scalar(v).cast(dtype); };
  // A result exponent from below the smallest subnormal to the normal range's bottom.
  auto target = [&] { return bottom - digits - 1 + static_cast<int>(random() % (digits + 4)); };
  for (int round = 0; round < 400; ++round) {
    const int t = target(), e = static_cast<int>(random() % (single ? 40 : 200)) - (single ? 20 : 100);
    Scalar usual[2], probe[2];
    switch (op) {
      case Op::multiply:
        usual[0] = value(3 * p2(bottom / 2)), usual[1] = value(p2(bottom - bottom / 2 - 3));
        probe[0] = value(significand() * p2(e)), probe[1] = value(significand() * p2(t - e));
        break;
      case Op::divide:
        usual[0] = value(3 * p2(bottom + 7)), usual[1] = value(p2(10));
        probe[0] = value(significand() * p2(t + e)), probe[1] = value(significand() * p2(e));
        break;
      case Op::square:
        usual[0] = value(p2((bottom - 4) / 2) * 3), probe[0] = value(significand() * p2(t / 2));
        break;
      default:
        usual[0] = value(p2(-bottom + 1)), probe[0] = value(significand() * p2(-bottom + static_cast<int>(random() % 3)));
        break;
    }
    const std::size_t nin = op_info(op).nin;
    ASSERT_EQ(element_path(op, std::span(usual, nin), dtype).faults, 0u) << call_text(op, std::span(usual, nin), {});
    check_probe(op, dtype, dtype, std::span(usual, nin), std::span(probe, nin), 256 + 9,
                static_cast<std::size_t>(random() % (256 + 9)));
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, RealLanes,
                         testing::Combine(testing::Values(static_cast<int>(Op::multiply), static_cast<int>(Op::divide),
                                                          static_cast<int>(Op::square), static_cast<int>(Op::reciprocal)),
                                          testing::Values(DType::Float32, DType::Float64)),
                         complex_name);

// Every float16 bit pattern as a probe in a run of two groups of eight, as
// the first operand and as the second beside special values (a signalling
// NaN stored quiet, as values are; its raw bits have a test of their own).
class HalfLanes : public testing::TestWithParam<int> {};

TEST_P(HalfLanes, EveryPatternGivesTheElementPathsBitsAndFlags) {
  const Op op = static_cast<Op>(GetParam());
  const std::size_t nin = op_info(op).nin;
  const DType h = DType::Float16;
  const bool compares = op == Op::less || op == Op::not_equal || op == Op::greater_equal;
  const DType out = compares ? DType(DType::Bool) : h;
  const std::size_t out_size = out.itemsize();
  const DType ins[] = {h, h};
  const StridedLoop loop = find_strided_loop(op, std::span(ins, nin), std::span(&out, 1));
  ASSERT_NE(loop, nullptr);
  auto half = [](std::uint32_t bits) { return Scalar::half(quarvel_storage::half_bits_to_float(static_cast<std::uint16_t>(bits))); };
  const Scalar usual[] = {half(0x3E00), half(0x3A00)};  // 1.5, 0.75
  const Expected usual_result = element_path(op, std::span(usual, nin), out);
  // 1 - 2^-11 and 2^-14 put single-precision results at the edges of their
  // rounding to half: (1 - 2^-11) 2^-14 = 2047 2^-25 is a tie up to 2^-14,
  // 65504 / (1 - 2^-11) = 2^16 infinite.
  const std::uint32_t partners[] = {0x3A00, 0x8000, 0x7C00, 0xFE00, 0x0001, 0xFBFF, 0x3BFF, 0x0400};
  constexpr std::size_t count = 0x10000, n = 8 * count;
  for (std::uint32_t partner : nin == 1 ? std::span(partners, 1) : std::span(partners))
    for (std::size_t probed = 0; probed < nin; ++probed) {
      // Group g: pattern g at lane g % 8 of operand `probed`, the partner
      // in the other operand there, ordinary values elsewhere.
      std::vector<Bytes> in(nin, Bytes(2 * n));
      std::vector<Expected> wanted;
      for (std::size_t g = 0; g < count; ++g) {
        Scalar probe[] = {half(g), half(partner)};
        if (probed == 1) std::swap(probe[0], probe[1]);
        wanted.push_back(element_path(op, std::span(probe, nin), out));
        for (std::size_t k = 0; k < nin; ++k)
          for (std::size_t lane = 0; lane < 8; ++lane) {
            const Bytes value = bytes_of(lane == g % 8 ? probe[k] : usual[k], h);
            std::memcpy(in[k].data() + 2 * (8 * g + lane), value.data(), 2);
          }
      }
      Bytes results(out_size * n);
      std::uint8_t* args[] = {in[0].data(), in[nin - 1].data(), results.data()};
      if (nin == 1) args[1] = results.data();
      const std::int64_t strides[] = {2, 2, static_cast<std::int64_t>(out_size)};
      const std::string text = std::string(op_name(op)) + " beside " + value_text(half(partner));
      // Each group alone for its flags, then the whole run for its bits.
      for (std::size_t g = 0; g < count; ++g) {
        std::uint8_t* group[] = {args[0] + 16 * g, args[1] + (nin == 1 ? out_size : 2) * 8 * g,
                                 args[2] + out_size * 8 * g};
        const LoopResult got = loop(group, strides, 8, nullptr, 0);
        ASSERT_EQ(flag_text(got.faults), flag_text(wanted[g].faults | usual_result.faults))
            << text << ", probe " << value_text(half(g));
      }
      loop(args, strides, n, nullptr, 0);
      // And every other element backwards, gathered and scattered.
      std::vector<Bytes> spaced(nin, Bytes(4 * n));
      Bytes spaced_results(2 * out_size * n);
      std::uint8_t* spaced_args[3];
      for (std::size_t k = 0; k < nin; ++k) {
        for (std::size_t i = 0; i < n; ++i) std::memcpy(spaced[k].data() + 4 * (n - 1 - i), in[k].data() + 2 * i, 2);
        spaced_args[k] = spaced[k].data() + 4 * (n - 1);
      }
      spaced_args[nin] = spaced_results.data() + 2 * out_size * (n - 1);
      const std::int64_t spaced_strides[] = {-4, nin == 2 ? -4 : -2 * static_cast<std::int64_t>(out_size),
                                             -2 * static_cast<std::int64_t>(out_size)};
      loop(spaced_args, spaced_strides, n, nullptr, 0);
      for (std::size_t i = 0; i < n; ++i) {
        const Bytes& want = i % 8 == (i / 8) % 8 ? wanted[i / 8].bits : usual_result.bits;
        const std::uint8_t* got = results.data() + out_size * i;
        const std::uint8_t* got_spaced = spaced_args[nin] - 2 * out_size * i;
        ASSERT_EQ(Bytes(got, got + out_size), want) << text << ", probe " << value_text(half(static_cast<std::uint32_t>(i / 8)));
        ASSERT_EQ(Bytes(got_spaced, got_spaced + out_size), want)
            << text << " spaced, probe " << value_text(half(static_cast<std::uint32_t>(i / 8)));
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, HalfLanes,
                         testing::Values(static_cast<int>(Op::add), static_cast<int>(Op::subtract),
                                         static_cast<int>(Op::multiply), static_cast<int>(Op::divide),
                                         static_cast<int>(Op::maximum), static_cast<int>(Op::minimum),
                                         static_cast<int>(Op::fmax), static_cast<int>(Op::fmin),
                                         static_cast<int>(Op::sqrt), static_cast<int>(Op::square),
                                         static_cast<int>(Op::reciprocal), static_cast<int>(Op::negative),
                                         static_cast<int>(Op::absolute), static_cast<int>(Op::less),
                                         static_cast<int>(Op::not_equal), static_cast<int>(Op::greater_equal)),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::string(op_name(static_cast<Op>(info.param)));
                         });

// A signalling NaN's bits in memory: the lanes redo it by the element form,
// which reads it as it is and quiets it in single precision.
TEST(HalfLanes, SignallingNaNsAreComputedAsTheirQuietPattern) {
  const DType h[] = {DType::Float16, DType::Float16};
  for (Op op : {Op::add, Op::maximum, Op::fmin, Op::sqrt, Op::negative}) {
    const std::size_t nin = op_info(op).nin;
    const StridedLoop loop = find_strided_loop(op, std::span(h, nin), std::span(h, 1));
    std::uint16_t a[16], b[16], r[16];
    for (int i = 0; i < 16; ++i) a[i] = b[i] = 0x3C00;  // 1.0
    a[3] = 0x7C01;   // signalling, payload 1
    b[9] = 0xFD55;   // signalling, negative
    std::uint8_t* args[] = {reinterpret_cast<std::uint8_t*>(a), reinterpret_cast<std::uint8_t*>(b),
                            reinterpret_cast<std::uint8_t*>(r)};
    if (nin == 1) args[1] = args[2];
    const std::int64_t strides[] = {2, 2, 2};
    loop(args, strides, 16, nullptr, 0);
    for (int i : {3, 9}) {
      if (nin == 1 && i == 9) continue;
      auto quiet = [](std::uint16_t bits) {  // a NaN's pattern with the quiet bit set, others as they are
        return Scalar::half(quarvel_storage::half_bits_to_float(
            static_cast<std::uint16_t>((bits & 0x7C00) == 0x7C00 && (bits & 0x3FF) ? bits | 0x200 : bits)));
      };
      const Scalar in[] = {quiet(a[i]), quiet(b[i])};
      const Expected want = element_path(op, std::span(in, nin), DType::Float16);
      std::uint16_t want_bits;
      std::memcpy(&want_bits, want.bits.data(), 2);
      EXPECT_EQ(r[i], want_bits) << op_name(op) << " element " << i;
    }
  }
}

// ---- typed conversions -------------------------------------------------------------------

namespace qs = quarvel_storage;
using qs::ByteOrder;

// A value's bytes stored under `order`, from its little-endian bytes: each
// part of a complex value turned on its own.
Bytes in_order(const std::uint8_t* little, DType dtype, ByteOrder order) {
  Bytes out(little, little + dtype.itemsize());
  if (order == ByteOrder::Big) {
    const std::size_t part = dtype.is_complex() ? dtype.itemsize() / 2 : dtype.itemsize();
    for (std::size_t at = 0; at < out.size(); at += part) std::reverse(out.begin() + at, out.begin() + at + part);
  }
  return out;
}

enum class Noting { none, invalid, overflow };

// The element path of one value: decode, Scalar::cast, encode, and what the
// element path of astype notes of it.
struct Converted {
  Bytes bits;
  bool noted;
};
Converted convert_element(const Bytes& value, DType from, ByteOrder from_order, DType to, ByteOrder to_order,
                          Noting noting) {
  auto in = *qs::Buffer::zeroed(from, from_order, 1);
  auto out = *qs::Buffer::zeroed(to, to_order, 1);
  std::memcpy(in.data.data(), value.data(), value.size());
  const Scalar v = *in.read_as(0, from, from_order);
  const Scalar r = *v.cast(to);
  EXPECT_TRUE(out.write_as(0, to, to_order, r).has_value());
  bool noted = false;
  if (noting == Noting::invalid) noted = v.integer_cast_is_invalid(to);
  if (noting == Noting::overflow) noted = qs::cast_overflowed(*v.as_complex(), *r.as_complex());
  return {Bytes(out.data.data(), out.data.data() + to.itemsize()), noted};
}

// Every probe (little-endian bytes, one after another) among ordinary
// elements, probe g at lane g % 9 of group g (a group: a vector of eight and
// a tail of one, or an odd count for the loops taking two at a time), through the typed conversion
// under each pair of byte orders: contiguous, one byte off alignment, and
// every other element backwards; each element's bits the element path's.
// The noting loop, where the pair has one, over each group alone gives the
// probe's note, and over the whole run the same bits.
void check_conversion(DType from, DType to, const Bytes& probes, double ordinary) {
  constexpr std::size_t group = 9;
  const std::size_t in = from.itemsize(), out = to.itemsize(), count = probes.size() / in, n = group * count;
  const Noting noting = qs::cast_may_overflow(from, to) ? Noting::overflow
                        : (from.kind() == 'f' || from.kind() == 'c') && to.is_integer() && to != DType::Bool
                            ? Noting::invalid
                            : Noting::none;
  for (ByteOrder from_order : {ByteOrder::Little, ByteOrder::Big})
    for (ByteOrder to_order : {ByteOrder::Little, ByteOrder::Big}) {
      const std::string text = std::string(from.name()) + (from_order == ByteOrder::Big ? ">" : "<") + " -> " +
                               std::string(to.name()) + (to_order == ByteOrder::Big ? ">" : "<");
      const qs::ConvertLoop loop = qs::find_conversion(from, from_order, to, to_order);
      const qs::NotingConvertLoop noting_loop =
          noting == Noting::overflow  ? qs::find_conversion_noting_overflow(from, from_order, to, to_order)
          : noting == Noting::invalid ? qs::find_conversion_noting_invalid(from, from_order, to, to_order)
                                      : nullptr;
      ASSERT_NE(loop, nullptr) << text;
      ASSERT_EQ(noting_loop == nullptr, noting == Noting::none) << text;
      const Bytes usual = bytes_of(*Scalar(ordinary).cast(from), from);
      const Bytes usual_in = in_order(usual.data(), from, from_order);
      const Converted usual_out = convert_element(usual_in, from, from_order, to, to_order, noting);
      ASSERT_FALSE(usual_out.noted) << text;
      // One byte of slack before the run for the misaligned copy.
      Bytes source(1 + n * in), wanted(n * out);
      std::vector<bool> noted(count);
      for (std::size_t g = 0; g < count; ++g) {
        const Bytes probe = in_order(probes.data() + g * in, from, from_order);
        const Converted c = convert_element(probe, from, from_order, to, to_order, noting);
        noted[g] = c.noted;
        for (std::size_t lane = 0; lane < group; ++lane) {
          const std::size_t i = group * g + lane;
          const bool is_probe = lane == g % group;
          std::memcpy(source.data() + 1 + i * in, (is_probe ? probe : usual_in).data(), in);
          std::memcpy(wanted.data() + i * out, (is_probe ? c.bits : usual_out.bits).data(), out);
        }
      }
      auto first_difference = [&](const std::uint8_t* got, std::int64_t step) -> std::string {
        for (std::size_t i = 0; i < n; ++i)
          if (std::memcmp(got + static_cast<std::int64_t>(i) * step, wanted.data() + i * out, out) != 0)
            return "element " + std::to_string(i) + " (probe " + std::to_string(i / group) + ")";
        return "";
      };
      const auto in_step = static_cast<std::int64_t>(in), out_step = static_cast<std::int64_t>(out);
      // Aligned: the run moved down a byte; then the run where it lies, off by one.
      Bytes aligned(source.begin() + 1, source.end()), results(1 + n * out, 0xAA);
      loop(aligned.data(), in_step, results.data(), out_step, n);
      EXPECT_EQ(first_difference(results.data(), out_step), "") << text << " contiguous";
      loop(source.data() + 1, in_step, results.data() + 1, out_step, n);
      EXPECT_EQ(first_difference(results.data() + 1, out_step), "") << text << " off alignment";
      // Every other element backwards.
      Bytes spaced(2 * n * in), spaced_results(2 * n * out, 0xAA);
      for (std::size_t i = 0; i < n; ++i) std::memcpy(spaced.data() + (2 * (n - 1 - i)) * in, aligned.data() + i * in, in);
      loop(spaced.data() + 2 * (n - 1) * in, -2 * in_step, spaced_results.data() + 2 * (n - 1) * out, -2 * out_step, n);
      EXPECT_EQ(first_difference(spaced_results.data() + 2 * (n - 1) * out, -2 * out_step), "") << text << " spaced";
      // Each probe alone: the tails after the vectors and pairs.
      for (std::size_t g = 0; g < count; ++g) {
        const std::size_t i = group * g + g % group;
        std::uint8_t one[16];
        loop(aligned.data() + i * in, in_step, one, out_step, 1);
        ASSERT_EQ(std::memcmp(one, wanted.data() + i * out, out), 0) << text << " alone, probe " << g;
        if (noting_loop) {
          ASSERT_EQ(noting_loop(aligned.data() + i * in, in_step, one, out_step, 1), noted[g]) << text << ", probe " << g;
          ASSERT_EQ(std::memcmp(one, wanted.data() + i * out, out), 0) << text << " alone noting, probe " << g;
        }
      }
      if (!noting_loop) continue;
      bool any = false;
      for (std::size_t g = 0; g < count; ++g) {
        any = any || noted[g];
        ASSERT_EQ(noting_loop(aligned.data() + group * g * in, in_step, results.data() + group * g * out, out_step, group),
                  noted[g])
            << text << ", probe " << g;
      }
      std::fill(results.begin(), results.end(), 0xAA);
      EXPECT_EQ(noting_loop(aligned.data(), in_step, results.data(), out_step, n), any) << text;
      EXPECT_EQ(first_difference(results.data(), out_step), "") << text << " noting";
      if (testing::Test::HasFailure()) return;
    }
}

Bytes little_bytes(std::uint64_t bits, std::size_t size) {
  Bytes out;
  for (std::size_t i = 0; i < size; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return out;
}

// Probes of a float or complex dtype from doubles (complex: each as the real
// part beside an imaginary part that must not change an integer result, and
// as the imaginary part), and from raw patterns of their own width.
Bytes float_probes(DType dtype, const std::vector<double>& values, const std::vector<std::uint64_t>& raw = {}) {
  Bytes out;
  auto append = [&](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
  const bool single = dtype == DType::Float32 || dtype == DType::Complex64;
  for (double v : values) {
    if (dtype.is_complex()) {
      append(bytes_of(*Scalar(c128(v, kernel_test::nan)).cast(dtype), dtype));
      append(bytes_of(*Scalar(c128(-1.0, v)).cast(dtype), dtype));
    } else {
      append(bytes_of(*Scalar(v).cast(dtype), dtype));
    }
  }
  for (std::uint64_t bits : raw) {
    const Bytes part = little_bytes(bits, single ? 4 : 8);
    append(part);
    if (dtype.is_complex()) append(part);
  }
  return out;
}

std::string dtype_name(const testing::TestParamInfo<DType::Code>& info) { return std::string(DType(info.param).name()); }

// Every float16 bit pattern, signalling NaNs and payloads of each sign
// included, to every fixed-width dtype.
class HalfConversions : public testing::TestWithParam<DType::Code> {};

TEST_P(HalfConversions, EveryPatternGivesTheElementPathsBitsAndNotes) {
  Bytes probes;
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    probes.push_back(static_cast<std::uint8_t>(bits));
    probes.push_back(static_cast<std::uint8_t>(bits >> 8));
  }
  check_conversion(DType::Float16, GetParam(), probes, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Targets, HalfConversions,
                         testing::Values(DType::Bool, DType::Int8, DType::UInt8, DType::Int16, DType::UInt16,
                                         DType::Int32, DType::UInt32, DType::Int64, DType::UInt64, DType::Float16,
                                         DType::Float32, DType::Float64, DType::Complex64, DType::Complex128),
                         dtype_name);

// Values about every float16 rounding point: for each finite half, the
// midpoint above it (a tie), and values a unit of the source's last place and
// of single precision's (where rounding twice would go astray) to each side;
// the overflow point 65520 and beyond; infinities and NaNs.
std::vector<double> half_rounding_points(bool single, std::uint32_t every) {
  std::vector<double> values;
  for (std::uint32_t bits = 0; bits < 0x7C00; bits += bits + every >= 0x7BFF && bits < 0x7BFF ? 1 : every) {
    const double low = qs::half_bits_to_float(static_cast<std::uint16_t>(bits));
    const double high = bits == 0x7BFF ? 65536.0 : qs::half_bits_to_float(static_cast<std::uint16_t>(bits + 1));
    const double middle = (low + high) / 2;
    const double unit = single ? std::nextafter(static_cast<float>(middle), std::numeric_limits<float>::infinity()) - static_cast<float>(middle)
                               : std::nextafter(middle, inf) - middle;
    for (double v : {middle, middle + unit, middle - unit, middle + std::ldexp(unit, 29), middle - std::ldexp(unit, 29)})
      if (v >= 0) {
        values.push_back(v);
        values.push_back(-v);
      }
  }
  for (double v : {65504.0, 65519.99, 65520.0, 65536.0, 1e300, inf, -inf, kernel_test::nan, -kernel_test::nan, p2(-1074), 3e-8, 2.98e-8})
    values.push_back(v);
  return values;
}

class ToHalf : public testing::TestWithParam<DType::Code> {};

TEST_P(ToHalf, RoundingPointsGiveTheElementPathsBitsAndNotes) {
  const DType from = GetParam();
  Bytes probes;
  if (from.is_integer()) {
    for (std::int64_t v = -70000; v <= 70000; v += 3) {
      const Bytes b = bytes_of(*Scalar(static_cast<double>(v)).cast(from), from);
      probes.insert(probes.end(), b.begin(), b.end());
    }
  } else {
    const bool single = from == DType::Float32 || from == DType::Complex64;
    // Complex sources round their real part as the floats do: every fifth half.
    probes = float_probes(from, half_rounding_points(single, from.is_complex() ? 5 : 1),
                          single ? std::vector<std::uint64_t>{0x7FC12345, 0xFF800001, 0x7FA00000}
                                 : std::vector<std::uint64_t>{0x7FF8DEADBEEF0000, 0xFFF0000000000001, 0x7FF4000000000000});
  }
  check_conversion(from, DType::Float16, probes, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Sources, ToHalf,
                         testing::Values(DType::Float32, DType::Float64, DType::Complex64, DType::Complex128,
                                         DType::Int32, DType::UInt32, DType::Int64),
                         dtype_name);

// Floats and complex values to every integer dtype, bool and the narrower
// floats: each integer bound, the values about it and half a unit off it,
// powers of two with their neighbours, zeros, subnormals, infinities, NaNs
// with payloads, and values about float32's overflow point.
class FromFloats : public testing::TestWithParam<DType::Code> {};

TEST_P(FromFloats, BoundsAndSpecialValuesGiveTheElementPathsBitsAndNotes) {
  const DType from = GetParam();
  std::vector<double> values = {0.0, -0.0, p2(-1074), -p2(-1022), 0.5, -0.5, 0.99, -0.99, inf, -inf, kernel_test::nan, -kernel_test::nan,
                                3.4028235677973362e38, 3.4028235677973366e38, std::nextafter(3.4028235677973366e38, 0.0),
                                -3.4028236e38, 1e300, 1e-45, 7e-46};
  for (int e = 0; e <= 65; ++e)
    for (double v : {p2(e), -p2(e)})
      for (double w : {v, std::nextafter(v, 0.0), std::nextafter(v, 2 * v), v - 1, v + 1, v - 0.5, v + 0.5})
        values.push_back(w);
  const bool single = from == DType::Float32 || from == DType::Complex64;
  const std::vector<std::uint64_t> raw =
      single ? std::vector<std::uint64_t>{0x7FC12345, 0xFFC00001, 0x7F800001, 0x4F000000, 0xCF000000, 0x5F000000}
             : std::vector<std::uint64_t>{0x7FF8DEADBEEF0000, 0xFFF8000000000001, 0x7FF0000000000001,
                                          0x43E0000000000000, 0xC3E0000000000000, 0x43F0000000000000};
  const Bytes probes = float_probes(from, values, raw);
  for (DType::Code to : {DType::Bool, DType::Int8, DType::UInt8, DType::Int16, DType::UInt16, DType::Int32,
                         DType::UInt32, DType::Int64, DType::UInt64, DType::Float32, DType::Complex64}) {
    if (to == from.code) continue;
    check_conversion(from, to, probes, 1.5);
    if (HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, FromFloats,
                         testing::Values(DType::Float32, DType::Float64, DType::Complex64, DType::Complex128),
                         dtype_name);

}  // namespace
