// Fault classification, the Scalar form: tables per category on float16/32/64,
// integer, complex and long double values. The typed forms share its rule core
// and are held to it on every fixed-width loop by test_strided_loops.cpp.
//
// Expected flags come from the rules and values built from exact bit fields
// (std::ldexp, hex literals), never from the classifier itself; the results
// handed in are what an IEEE computation gives, worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/classify.h"
#include "kernels/stored_exactness.h"
#include "storage/float16.h"

namespace {

using namespace kernel_test;
using kernel_test::inf;
using kernel_test::nan;
using quarvel_storage::round_to_half;

constexpr std::uint32_t D = fault_divide, O = fault_over, U = fault_under, I = fault_invalid;

Scalar f16(double x) { return Scalar::half(round_to_half(x)); }
Scalar f32(double x) { return Scalar(static_cast<float>(x)); }
Scalar f64(double x) { return Scalar(x); }
Scalar cd(double re, double im) { return Scalar(c128(re, im)); }
Scalar i8(std::int8_t v) { return Scalar(v); }
Scalar i32(std::int32_t v) { return Scalar(v); }
Scalar i64(std::int64_t v) { return Scalar(v); }
struct Row {
  Op op;
  std::vector<Scalar> in;
  std::vector<Scalar> out;
  std::uint32_t flags;
};

void check(const std::vector<Row>& rows) {
  for (const Row& row : rows)
    EXPECT_EQ(flag_text(classify_errors(row.op, row.in, row.out)), flag_text(row.flags))
        << call_text(row.op, row.in, row.out);
}

// ---------------------------------------------------------------------------
// Categories

TEST(ClassifyErrors, DivideByZeroAndZeroByZero) {
  check({
      {Op::divide, {f64(1), f64(0)}, {f64(inf)}, D},  // the infinite quotient adds no overflow
      {Op::divide, {f64(0), f64(0)}, {f64(nan)}, I}, {Op::divide, {f64(inf), f64(0)}, {f64(inf)}, 0},
      {Op::divide, {cd(1, 0), cd(0, 0)}, {cd(inf, nan)}, D | I},  // the NaN part is no suppressed NaN
      {Op::divide, {cd(1, 0), cd(0, 1e-300)}, {cd(0, -1e300)}, 0},  // a divisor with one nonzero part
      // The kinds do not matter to divide.
      {Op::divide, {i64(1), i64(0)}, {f64(inf)}, D},
      // Integer remainders and floor divisions by zero, zero by zero too.
      {Op::remainder, {i32(7), i32(0)}, {i32(0)}, D}, {Op::floor_divide, {i32(7), i32(0)}, {i32(0)}, D},
      {Op::divmod, {i32(7), i32(0)}, {i32(0), i32(0)}, D},
      // Float remainders by zero report nothing, NaN or not.
      {Op::remainder, {i32(7), f64(0)}, {f64(nan)}, 0},  // one input not of integer kind
      {Op::floor_divide, {f64(1), f64(0)}, {f64(inf)}, D},
      {Op::divmod, {f64(1), f64(0)}, {f64(inf), f64(nan)}, D},  // the NaN remainder adds no invalid
      {Op::floor_divide, {f64(0), f64(0)}, {f64(nan)}, I}, {Op::floor_divide, {f64(inf), f64(0)}, {f64(nan)}, 0},
      // One-input poles.
      {Op::reciprocal, {f64(0)}, {f64(inf)}, D}, {Op::reciprocal, {cd(0, 0)}, {cd(inf, nan)}, D | I},
      {Op::log, {f64(0)}, {f64(-inf)}, D}, {Op::log1p, {f64(-1)}, {f64(-inf)}, D},
      {Op::arctanh, {f64(1)}, {f64(inf)}, D}, {Op::power, {f64(0), f64(-2)}, {f64(inf)}, D},
      {Op::power, {i64(0), i64(-1)}, {i64(0)}, D},
      // A complex zero base is no pole here: only the result's own values count.
      {Op::power, {cd(0, 0), cd(-2, 0)}, {cd(nan, nan)}, I},
  });
}

TEST(ClassifyErrors, Overflow) {
  check({
      {Op::exp, {f64(1000)}, {f64(inf)}, O}, {Op::multiply, {f16(60000), f16(2)}, {f16(inf)}, O},
      {Op::add, {f64(1.7976931348623157e308), f64(1e292)}, {f64(inf)}, O},
      {Op::add, {f64(inf), f64(1)}, {f64(inf)}, 0},
      {Op::multiply, {cd(1e300, 0), cd(1e300, 0)}, {cd(inf, nan)}, O | I}, {Op::exp, {ld("12000")}, {ld("inf")}, O},
      // The log-add-exp difference overflows although the result is finite.
      {Op::logaddexp, {f64(1e308), f64(-1e308)}, {f64(1e308)}, O},
      {Op::logaddexp2, {f64(-1e308), f64(1e308)}, {f64(1e308)}, O},
      {Op::logaddexp, {f64(1e308), f64(1e308)}, {f64(1e308)}, 0},
      {Op::logaddexp, {f64(inf), f64(-1e308)}, {f64(inf)}, 0}, {Op::logaddexp, {ld("1e4932"), ld("-1e4932")}, {}, O},
      // A float32 difference is taken in double precision: no overflow there,
      // but e^-6e38 underflows in float32.
      {Op::logaddexp, {f32(3e38), f32(-3e38)}, {f32(3e38)}, U},
  });
}

TEST(ClassifyErrors, UnderflowOfZeroAndSubnormalResults) {
  const double smallest = p2(-1074);
  check({
      // Flushed to zero.
      {Op::exp, {f64(-1000)}, {f64(0)}, U},
      {Op::expm1, {f64(-1e-320)}, {f64(-1e-320)}, 0},  // subnormal and equal to x: exact
      {Op::multiply, {f64(1e-200), f64(1e-200)}, {f64(0)}, U}, {Op::ldexp, {f64(1), i32(-1080)}, {f64(0)}, U},
      {Op::square, {f64(p2(-600))}, {f64(0)}, U}, {Op::power, {f16(0.001), f16(10)}, {f16(0)}, U},
      {Op::deg2rad, {f64(p2(-1074))}, {f64(0)}, U}, {Op::exp2, {f32(-200)}, {f32(0)}, U},
      {Op::divide, {f64(1e-300), f64(1e300)}, {f64(0)}, U},
      {Op::reciprocal, {f32(1e39)}, {f32(0)}, 0},  // float32 1e39 is infinite: not all inputs finite
      {Op::subtract, {f64(1e-300), f64(1e-300)}, {f64(0)}, 0},  // not a flushing operation
      {Op::square, {f64(0)}, {f64(0)}, 0},  // a zero input
      // Exact subnormal results.
      {Op::multiply, {f64(p2(-1070)), f64(0.5)}, {f64(p2(-1071))}, 0},
      {Op::multiply, {f64(3 * smallest), f64(0.5)}, {f64(2 * smallest)}, U},  // 1.5 units rounded to 2
      {Op::add, {f64(smallest), f64(smallest)}, {f64(smallest)}, U},  // not their sum
      {Op::square, {f64(1.5 * p2(-537))}, {f64(2 * smallest)}, U},  // 2.25 units rounded to 2
      {Op::reciprocal, {f64(3 * p2(1022))}, {f64(std::ldexp(0x1.5555555555554p-2, -1022))}, U},
      {Op::exp2, {f64(-1074)}, {f64(smallest)}, 0}, {Op::exp2, {f64(-1073.5)}, {f64(smallest)}, U},
      {Op::divide, {f64(p2(-1022)), f64(3)}, {f64(std::ldexp(0x1.5555555555554p-2, -1022))}, U},
      {Op::absolute, {f64(-smallest)}, {f64(smallest)}, 0}, {Op::sinh, {f64(1e-310)}, {f64(1e-310)}, 0},
      {Op::sin, {f64(1e-310)}, {f64(1e-310)}, U},  // no exact row for sin
      {Op::maximum, {f64(smallest), f64(-1)}, {f64(smallest)}, 0},
      {Op::copysign, {f64(smallest), f64(-1)}, {f64(smallest)}, U},
      {Op::ldexp, {f64(1), i32(-1074)}, {f64(smallest)}, 0},
      {Op::ldexp, {f64(p2(-1074)), i32(5000)}, {f64(smallest)}, U},  // |n| above 4096
      {Op::spacing, {f64(smallest)}, {f64(smallest)}, U},  // a subnormal input
      // A subnormal part of a complex result always underflows.
      {Op::add, {cd(smallest, 1), cd(0, 0)}, {cd(smallest, 1)}, U},
      // Long double: subnormal below 2^-16382, read as a double for exactness.
      {Op::add, {ld("3e-4950"), ld("0")}, {ld("3e-4950")}, 0},  // both read as 0.0, their exact sum
      {Op::sin, {ld("3e-4950")}, {ld("3e-4950")}, U},
  });
}

TEST(ClassifyErrors, UnderflowOfIntermediates) {
  check({
      // e^-|a-b| against the result dtype's smallest normal: log(2^-1022) = -708.396...
      {Op::logaddexp, {f64(0), f64(-800)}, {f64(0)}, U},
      {Op::logaddexp, {f64(-708), f64(0)}, {f64(std::exp(-708.0))}, 0},
      {Op::logaddexp2, {f64(0), f64(-1023)}, {f64(std::ldexp(1 / std::log(2.0), -1023))}, U},
      {Op::logaddexp, {f32(0), f32(-88)}, {f32(0)}, U},  // log(2^-126) = -87.34
      {Op::logaddexp, {f32(0), f32(-87)}, {f32(std::exp(-87.0))}, 0},
      {Op::logaddexp, {f16(0), f16(-10)}, {f16(0)}, U},  // log(2^-14) = -9.70
      {Op::logaddexp, {f16(0), f16(-9.5)}, {f16(0)}, 0}, {Op::logaddexp, {ld("0"), ld("-20000")}, {ld("0")}, U},
      {Op::logaddexp, {ld("0"), ld("-11000")}, {ld("1e-4777")}, 0},
      {Op::logaddexp, {ld("0"), ld("-20000")}, {f64(0)}, U},  // a float64 result reads the inputs as doubles
      // The quotient a / b below the result's normal range, unless exact there.
      {Op::arctan2, {f64(1e-300), f64(1e300)}, {f64(0)}, U},
      {Op::floor_divide, {f64(p2(-1022)), f64(3)}, {f64(0)}, U},
      {Op::floor_divide, {f64(p2(-1022)), f64(4)}, {f64(0)}, 0},
      {Op::floor_divide, {f64(p2(-1000)), f64(3)}, {f64(0)}, 0},  // log ratio above log(2^-1022)
      {Op::floor_divide, {f32(0x1p-126), f32(3)}, {f32(0)}, U},
      {Op::floor_divide, {f32(0x1p-126), f32(0x1p30)}, {f32(0)}, U},  // 2^-156 is 0 in float32
      {Op::floor_divide, {i64(1), i64(1000)}, {i64(0)}, 0},
      {Op::divide, {f64(p2(-1022)), f64(4)}, {f64(p2(-1024))}, 0},  // divide has no quotient rule
      // cos of a tiny nonzero x rounds to 1 in float16 and float32.
      {Op::cos, {f32(1e-20)}, {f32(1)}, U}, {Op::cos, {f32(0x1p-63)}, {f32(1)}, 0},
      {Op::cos, {f64(1e-20)}, {f32(1)}, U},  // the result's dtype decides
  });
}

TEST(ClassifyErrors, InvalidAndItsSuppressions) {
  check({
      {Op::sqrt, {f64(-1)}, {f64(nan)}, I}, {Op::sqrt, {f64(nan)}, {f64(nan)}, 0},
      {Op::add, {f64(inf), f64(-inf)}, {f64(nan)}, I}, {Op::divide, {f64(inf), f64(inf)}, {f64(nan)}, I},
      {Op::add, {cd(1, 0), cd(2, 0)}, {cd(nan, 0)}, I},
      {Op::add, {cd(1, nan), cd(2, 0)}, {cd(3, nan)}, 0},  // a NaN part is a NaN input
      {Op::sqrt, {ld("-1")}, {ld("nan")}, I}, {Op::sqrt, {cld("nan", "0")}, {cld("nan", "nan")}, 0},
      // NaN results that are no invalid value.
      {Op::spacing, {f64(inf)}, {f64(nan)}, 0}, {Op::remainder, {f64(inf), f64(2)}, {f64(nan)}, 0},
      {Op::divmod, {f64(-inf), f64(2)}, {f64(nan), f64(nan)}, 0},
      {Op::floor_divide, {f64(inf), f64(2)}, {f64(nan)}, 0},
      {Op::floor_divide, {f64(2), f64(inf)}, {f64(nan)}, I},  // only an infinite dividend
      {Op::fmod, {f32(1), f32(-0.0)}, {f32(nan)}, 0},
      {Op::divide, {f64(inf), f64(2)}, {f64(nan)}, I},  // divide is not on the list
      {Op::sin, {f64(inf)}, {f64(nan)}, I},
  });
}

TEST(ClassifyErrors, IntegerResultsReportNothingOnTheirOwn) {
  check({
      {Op::add, {i8(127), i8(1)}, {i8(-128)}, 0},
      {Op::power, {i32(2), i32(40)}, {i32(0)}, 0},  // no flush for integers
      {Op::less, {f64(nan), f64(1)}, {Scalar(false)}, 0},
      {Op::isnan, {f64(nan)}, {Scalar(true)}, 0}, {Op::frexp, {f64(inf)}, {f64(inf), i32(0)}, 0},
  });
}

TEST(ClassifyErrors, UnreadableLongDoubleText) {
  // Neither NaN, infinite, finite nor zero: no rule that needs the value fires.
  check({
      {Op::divide, {ld("1"), ld("bogus")}, {ld("1")}, 0},
      {Op::divide, {ld("bogus"), ld("0")}, {ld("inf")}, 0},  // dividend not finite: no divide
      {Op::add, {ld("bogus"), ld("1")}, {ld("nan")}, I}, {Op::logaddexp, {ld("bogus"), ld("1")}, {ld("1")}, 0},
      {Op::multiply, {ld("bogus"), ld("1")}, {ld("0")}, 0},  // not all inputs finite
      {Op::add, {ld("1"), ld("1")}, {cld("3e-4950", "bogus")}, U},
  });
}

TEST(ClassifyErrors, WithoutOutputsOnlyInputRulesRun) {
  check({
      {Op::divide, {f64(1), f64(0)}, {}, D}, {Op::logaddexp, {f64(nan), f64(0)}, {}, I},
      {Op::floor_divide, {f64(p2(-1022)), f64(3)}, {}, 0},
  });
}

}  // namespace

// The typed forms decide the exactness of subnormal products, quotients,
// reciprocals, squares, sums and differences on the lanes themselves. Random operands whose
// results land below the normal range, with significands of every width (exact
// and inexact results), each with its rounded result and the values one unit
// either side: the one-element and the lane forms must give the rule core's
// flags, whose exactness test multiplies the significands as integers.
namespace subnormal_results {

template <class T>
double reading(T x) {
  if constexpr (std::is_same_v<T, quarvel_kernels::Half>) return x.value;
  else return x;
}
template <class T>
std::string hex(T x) {
  char text[32];
  std::snprintf(text, sizeof text, "%a", reading(x));
  return text;
}
template <class T>
T rounded(double x) {
  if constexpr (std::is_same_v<T, quarvel_kernels::Half>) return {round_to_half(x)};
  else return static_cast<T>(x);
}

struct Found {
  long mismatches = 0, exact = 0, inexact = 0;
  std::string first;
};

template <Op op, class T>
void check(Found& found, T a, T b, double value, double unit) {
  using M = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  constexpr std::size_t nin = op_info(op).nin;
  for (double candidate : {value, value - unit, value + unit}) {
    const T r = rounded<T>(candidate);
    const FaultValue in[] = {fault_value(a), fault_value(b)}, out[] = {fault_value(r)};
    const std::uint32_t want = classify_faults(op, std::span(in, nin), std::span(out, 1));
    const std::uint32_t one = classify_detail::typed_faults<op>(a, b, r, r);
    // As a block loop: the common rules, the lane rows (with and without a
    // fused multiply-add), then the calls.
    const auto block = [&]<bool fused>() {
      std::uint32_t lanes = static_cast<std::uint32_t>(classify_detail::common_faults<op, M>(a, b, r, r));
      if (classify_detail::needs_detail<op, M>(a, b, r, r) != 0) {
        lanes |= static_cast<std::uint32_t>(classify_detail::lane_row_faults<op, M, fused>(a, b, r, r));
        if (classify_detail::needs_detail<op, M, true>(a, b, r, r) != 0)
          lanes |= classify_detail::detail_faults<op>(a, b, r, r);
      }
      return lanes;
    };
    const std::uint32_t lanes = block.template operator()<false>(), fused = block.template operator()<true>();
    if (out[0].subnormal) ++((want & U) != 0 ? found.inexact : found.exact);
    if (one == want && lanes == want && fused == want) continue;
    if (found.mismatches++ == 0)
      found.first = std::string(op_name(op)) + "(" + hex(a) + ", " + hex(b) + ") -> " + hex(r) + ": rule core " +
                    flag_text(want) + ", one element " + flag_text(one) + ", lanes " + flag_text(lanes) +
                    ", fused " + flag_text(fused);
  }
}

// Elements of T with up to `digits` significant bits and exponent e: (1 + k 2^(1 - bits)) 2^e, rounded to T.
template <class T>
T random_element(std::mt19937_64& random, int digits, int e) {
  const int bits = 1 + static_cast<int>(random() % digits);
  const double k = bits == 1 ? 0.0 : static_cast<double>(random() % (std::uint64_t{1} << (bits - 1)));
  const double sign = random() % 2 ? -1.0 : 1.0;
  return rounded<T>(sign * std::ldexp(1 + std::ldexp(k, 1 - bits), e));
}

template <class T>
Found check_type(int lowest, int digits) {
  std::mt19937_64 random(0x2929);
  Found found;
  const double unit = std::ldexp(1.0, lowest - digits + 1);  // the spacing of subnormals
  for (int i = 0; i < 4000; ++i) {
    // Exponents whose product lands from just above the normal range down past its bottom.
    const int total = lowest + 1 - static_cast<int>(random() % (digits + 2));
    const int ea = total / 2 + static_cast<int>(random() % 5) - 2;
    const T a = random_element<T>(random, digits, ea), b = random_element<T>(random, digits, total - ea);
    const double x = reading(a), y = reading(b);
    check<Op::multiply>(found, a, b, reading(rounded<T>(x * y)), unit);
    check<Op::square>(found, a, a, reading(rounded<T>(x * x)), unit);
    // Quotients of a by a divisor near 2^(ea - total).
    const T d = random_element<T>(random, digits, ea - total);
    check<Op::divide>(found, a, d, reading(rounded<T>(x / reading(d))), unit);
    // Reciprocals of values near the top of the range: exact only for powers of two.
    const T big = random_element<T>(random, random() % 3 == 0 ? 1 : digits, -lowest + static_cast<int>(random() % 2));
    check<Op::reciprocal>(found, big, big, reading(rounded<T>(1 / reading(big))), unit);
    // Sums of operands near the bottom of the normal range, opposite signs.
    const T s = random_element<T>(random, digits, lowest + static_cast<int>(random() % 3));
    const T below = random_element<T>(random, digits, lowest - 1 - static_cast<int>(random() % 4));
    const T t = rounded<T>(-reading(s) + reading(below));
    check<Op::add>(found, s, t, reading(rounded<T>(reading(s) + reading(t))), unit);
    check<Op::subtract>(found, s, rounded<T>(-reading(t)), reading(rounded<T>(reading(s) + reading(t))), unit);
  }
  return found;
}

}  // namespace subnormal_results

TEST(TypedClassification, ExactnessOfSubnormalResultsIsTheRuleCores) {
  using quarvel_kernels::Half;
  const subnormal_results::Found found[] = {subnormal_results::check_type<double>(-1022, 53),
                                            subnormal_results::check_type<float>(-126, 24),
                                            subnormal_results::check_type<Half>(-14, 11)};
  for (const auto& f : found) {
    EXPECT_EQ(f.mismatches, 0) << "first: " << f.first;
    EXPECT_GT(f.exact, 100);
    EXPECT_GT(f.inexact, 100);
  }
}

// The exactness of extended subnormal results read from the operands' stored
// forms, against the test on the values: results rounded as the loops round
// them, exact and inexact, both signs, subnormal operands and operands of far
// apart exponents (one near 2^60, the other near the bottom of the range).
namespace stored_forms {

struct Tally {
  long mismatches = 0, exact = 0, inexact = 0;
  std::string first;
};

// +-(1 + k 2^(1 - bits)) 2^e with up to 64 significant bits, rounded where e
// falls below the normal range.
long double random_extended(std::mt19937_64& random, int e) {
  const int bits = 1 + static_cast<int>(random() % 64);
  const std::uint64_t kept = bits == 64 ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> bits);
  const std::uint64_t m = (random() | std::uint64_t{1} << 63) & kept;
  const long double x = std::ldexp(static_cast<long double>(m), e - 63);
  return random() % 2 ? -x : x;
}

template <ExactRow row>
void check(Tally& tally, long double a, long double b) {
  using classify_detail::typed_row_is_exact;
  const long double v = row == ExactRow::product    ? a * b
                        : row == ExactRow::square   ? a * a
                        : row == ExactRow::quotient ? a / b
                                                    : 1 / a;
  if (v == 0 || !(std::fabs(v) < std::numeric_limits<long double>::min())) return;
  std::uint8_t form_a[16] = {}, form_b[16] = {};
  std::memcpy(form_a, &a, 10);
  std::memcpy(form_b, &b, 10);
  const bool want = typed_row_is_exact<row, true, long double>(true, v, a, b);
  ++(want ? tally.exact : tally.inexact);
  if (classify_detail::stored_row_is_exact<row>(form_a, form_b) == want || tally.mismatches++ != 0) return;
  char text[96];
  std::snprintf(text, sizeof text, "%La, %La -> %La", a, b, v);
  tally.first = text;
}

}  // namespace stored_forms

TEST(TypedClassification, ExtendedExactnessFromStoredFormsIsTheValuesOwn) {
  using namespace stored_forms;
  std::mt19937_64 random(0x2930);
  Tally product, square, quotient, reciprocal;
  const long double smallest = std::numeric_limits<long double>::denorm_min();
  const long double normal = std::numeric_limits<long double>::min();
  const long double edges[] = {smallest, 3 * smallest, normal, normal - smallest, normal + smallest, 1.0L,
                               std::ldexp(1.0L, 60), std::ldexp(1.0L, -63) * 3, std::ldexp(1.0L, 16383)};
  for (const long double x : edges)
    for (const long double y : edges)
      for (const long double s : {1.0L, -1.0L}) {
        check<ExactRow::product>(product, s * x, y);
        check<ExactRow::product>(product, s * x, y / 3);
        check<ExactRow::quotient>(quotient, s * x, y);
        check<ExactRow::quotient>(quotient, s * x, 3 * y);
        check<ExactRow::square>(square, s * x, s * x);
        check<ExactRow::reciprocal>(reciprocal, s * x, s * x);
      }
  for (int i = 0; i < 20000; ++i) {
    // Results from just above the normal range's bottom down past the smallest subnormal.
    const int total = -16381 - static_cast<int>(random() % 68);
    // Split evenly, or one operand anywhere from 2^63 down to the bottom of the range.
    const int eb = random() % 2 ? total / 2 + static_cast<int>(random() % 5) - 2
                                : -16445 + static_cast<int>(random() % (16445 + 63));
    check<ExactRow::product>(product, random_extended(random, total - eb), random_extended(random, eb));
    check<ExactRow::square>(square, random_extended(random, total / 2 + static_cast<int>(random() % 3) - 1), 0);
    // A dividend from the bottom of the range up to 2^63, the divisor placing the quotient.
    const int ea = -16445 + static_cast<int>(random() % (16445 + 63));
    if (ea - total <= 16383)
      check<ExactRow::quotient>(quotient, random_extended(random, ea), random_extended(random, ea - total));
    // Reciprocals of the top of the range: exact only for powers of two.
    const int top = 16381 + static_cast<int>(random() % 3);
    const long double big = random_extended(random, top);
    check<ExactRow::reciprocal>(reciprocal, random() % 3 ? big : std::ldexp(std::copysign(1.0L, big), top), 0);
  }
  for (const Tally* t : {&product, &square, &quotient, &reciprocal}) {
    EXPECT_EQ(t->mismatches, 0) << "first: " << t->first;
    EXPECT_GT(t->exact, 100);
    EXPECT_GT(t->inexact, 100);
  }
}
