// The element kernels (unary and binary, Scalar forms), where a ufunc call
// cannot reach them or an oracle here is stronger than the Python sweep of
// every loop (tests/python/test_ufunc_values.py): integer wrapping at every
// width, results rounded once (every float16, random float32), the Scalar
// dispatch's own rules on mixed operands, refusals, no allocation per
// element, and the float and complex functions against Python's float // and
// %, extended precision, CPython's cmath table and mpmath.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_test_values.h"
#include "kernels/binary.h"
#include "kernels/unary_float.h"
#include "ulps.h"

namespace {
bool counting_allocations = false;
std::size_t allocations_seen = 0;
}  // namespace

// Counts heap allocations while a test holds `counting_allocations` set; pairs malloc with free itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (counting_allocations) ++allocations_seen;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace kernel_test;
using kernel_test::inf;
using kernel_test::nan;
using test_ulps::library_ulps;
using test_ulps::ulps_apart;

Result<KernelOutputs> compute(std::string_view name, const std::vector<Scalar>& in, DType out) {
  return in.size() == 1 ? unary(name, in[0], out) : binary(name, in[0], in[1], out);
}

Scalar one(Op op, const std::vector<Scalar>& in, DType out) {
  const Result<KernelOutputs> r = compute(op_name(op), in, out);
  EXPECT_TRUE(r) << call_text(op, in, {}) << " refused";
  return r ? (*r)[0] : Scalar();
}

template <class T> Scalar s(T v) { return Scalar(v); }
Scalar half(float v) { return Scalar::half(v); }

// ---- integers at every width -------------------------------------------------
// Oracle: 64-bit unsigned arithmetic is modular and its low bits are the
// wrapped result at any narrower width; __int128 holds quotients exactly.
// maximum, gcd, lcm, bitwise_count, reciprocal and division by zero at the
// edges of every width are held by the Python sweep's exact oracles.

template <class T> class IntegerKernels : public testing::Test {};
TYPED_TEST_SUITE(IntegerKernels, IntegerTypes);

template <class T> std::vector<T> samples() {
  using L = std::numeric_limits<T>;
  std::vector<T> v = {L::min(), L::max(), T(0), T(1), T(2), T(3), T(7), T(16), T(L::max() - 1), T(L::max() / 3 + 7)};
  if constexpr (std::is_signed_v<T>)
    for (T x : {T(-1), T(-2), T(-7), T(L::min() + 1)}) v.push_back(x);
  return v;
}

template <class T> std::uint64_t as_u64(T x) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(x));  // sign- or zero-extends
}

TYPED_TEST(IntegerKernels, WrapAtTheOwnWidth) {
  using T = TypeParam;
  const DType d = element_dtype<T>;
  const auto wrapped = [](std::uint64_t v) { return Scalar(static_cast<T>(v)); };
  for (T a : samples<T>()) {
    const std::uint64_t ua = as_u64(a), magnitude = a < 0 ? 0 - ua : ua;
    EXPECT_EQ(one(Op::negative, {s(a)}, d), wrapped(0 - ua)) << +a;
    EXPECT_EQ(one(Op::square, {s(a)}, d), wrapped(ua * ua)) << +a;
    EXPECT_EQ(one(Op::absolute, {s(a)}, d), wrapped(magnitude)) << +a;
    EXPECT_EQ(one(Op::invert, {s(a)}, d), wrapped(~ua)) << +a;
    for (T b : samples<T>()) {
      const std::uint64_t ub = as_u64(b);
      EXPECT_EQ(one(Op::add, {s(a), s(b)}, d), wrapped(ua + ub)) << +a << " + " << +b;
      EXPECT_EQ(one(Op::subtract, {s(a), s(b)}, d), wrapped(ua - ub)) << +a << " - " << +b;
      EXPECT_EQ(one(Op::multiply, {s(a), s(b)}, d), wrapped(ua * ub)) << +a << " * " << +b;
      // Division by zero (zero in every output) is held by the Python sweep.
      if (b == 0 || (std::is_signed_v<T> && a == std::numeric_limits<T>::min() && b == T(-1))) continue;
      // a == q*b + r with r of the divisor's sign, fmod of the dividend's, |r| < |b|.
      const __int128 A = a, B = b, Q = one(Op::floor_divide, {s(a), s(b)}, d).template get<T>();
      const __int128 R = one(Op::remainder, {s(a), s(b)}, d).template get<T>();
      const __int128 F = one(Op::fmod, {s(a), s(b)}, d).template get<T>();
      EXPECT_EQ(Q * B + R, A) << +a << " // " << +b;
      EXPECT_TRUE(R == 0 || ((R < 0) == (B < 0))) << +a << " % " << +b;
      EXPECT_TRUE((F == 0 || ((F < 0) == (A < 0))) && (A - F) % B == 0) << "fmod " << +a << " " << +b;
    }
    constexpr int width = sizeof(T) * 8;
    // Every count of the width or more, and every negative count, shifts everything out.
    for (long long count : {-1LL, -64LL, static_cast<long long>(width), 64LL, 200LL}) {
      const Scalar c(static_cast<std::int64_t>(count));
      EXPECT_EQ(one(Op::left_shift, {s(a), c}, d), s(T(0))) << +a << " << " << count;
      EXPECT_EQ(one(Op::right_shift, {s(a), c}, d), s(T(a < 0 ? -1 : 0))) << +a << " >> " << count;
    }
    for (int count = 0; count < width; ++count) {
      EXPECT_EQ(one(Op::left_shift, {s(a), s(T(count))}, d), wrapped(ua << count)) << +a << " << " << count;
      EXPECT_EQ(one(Op::right_shift, {s(a), s(T(count))}, d), s(T(a >> count))) << +a << " >> " << count;
    }
    for (unsigned e = 0; e < 70 && e <= std::numeric_limits<T>::max(); e += 3) {
      std::uint64_t power = 1;
      for (unsigned i = 0; i < e; ++i) power *= ua;
      EXPECT_EQ(one(Op::power, {s(a), s(T(e))}, d), wrapped(power)) << +a << " ** " << e;
    }
    EXPECT_TRUE(std::is_unsigned_v<T> || !binary(Op::power, s(a), s(T(-1)), d)) << +a << " ** -1 computed";
  }
}

// ---- results rounded once ----------------------------------------------------
// The compiler's own binary16 conversion shares no code with the kernels'
// rounding. Two-input arithmetic is held bit for bit by the Python sweep.

float to_half(double x) { return static_cast<float>(static_cast<_Float16>(x)); }
float half_of(std::uint32_t bits) { return half_bits_to_float(static_cast<std::uint16_t>(bits)); }

// The same bits, or both NaN.
template <class F> ::testing::AssertionResult same_float(F want, F got) {
  if (std::memcmp(&want, &got, sizeof(F)) == 0 || (std::isnan(want) && std::isnan(got)))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "want " << want << ", got " << got;
}

// Every float16 value, and random float32 values: the exact or correctly
// rounded double result, rounded straight to the output.
TEST(RoundedOnce, OneInputFunctionsOnEveryHalfAndRandomFloats) {
  const struct {
    Op op;
    double (*f)(double);
  } ops[] = {{Op::square, [](double x) { return x * x; }},
             {Op::sqrt, [](double x) { return std::sqrt(x); }}, {Op::rint, [](double x) { return std::rint(x); }},
             {Op::reciprocal, [](double x) { return 1 / x; }},
             {Op::deg2rad, [](double x) { return x * static_cast<double>(0.017453292f); }}};
  std::mt19937 rng(11);
  for (const auto& o : ops) {
    for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
      const float x = half_of(bits);
      ASSERT_TRUE(same_float(to_half(o.f(x)), one(o.op, {half(x)}, DType::Float16).get<Half>().value))
          << op_name(o.op) << " of " << x;
    }
    for (int i = 0; i < 20000; ++i) {
      const float x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
      ASSERT_TRUE(same_float(static_cast<float>(o.f(x)), one(o.op, {s(x)}, DType::Float32).get<float>()))
          << op_name(o.op) << " of " << x;
    }
  }
}

// spacing of every float16 value: the next half away from zero (a zero's is
// the smallest subnormal, the largest finite half's infinity) less it, in the
// compiler's own binary16 arithmetic; NaN for NaN and the infinities.
TEST(RoundedOnce, Float16SpacingOfEveryHalf) {
  for (std::uint32_t bits = 0; bits < 0x10000; ++bits) {
    const float x = half_of(bits);
    const auto next = static_cast<std::uint16_t>((bits & 0x7FFF) == 0 ? 1 : bits + 1);
    const double want = std::isfinite(x) ? static_cast<double>(std::bit_cast<_Float16>(next)) - x : NAN;
    ASSERT_TRUE(same_float(to_half(want), one(Op::spacing, {half(x)}, DType::Float16).get<Half>().value))
        << "spacing of " << x;
  }
}

// Complex64 functions through their runs: each element of a run, in place or
// apart, has the bits the single element gets; those computed in double are
// the double routine's results narrowed.
TEST(ComplexFunctions, Complex64RunsGiveEachElementsBits) {
  const float parts[] = {0.0f, -0.0f, 1.0f, -0.5f, 2.5f, 1e-40f, -3e38f, 40.0f, -90.0f, 0.75f, INFINITY, -INFINITY, NAN,
                         std::bit_cast<float>(0xFFA00F00u)};
  std::vector<c64> z;
  for (float re : parts)
    for (float im : parts) z.emplace_back(re, im);
  for (int k = 0; k < op_count; ++k) {
    const Op op = static_cast<Op>(k);
    const ComplexRun<float> run = complex_run_f32(op);
    const UnaryFunction<c64> single = complex_function_f32(op);
    ASSERT_EQ(run == nullptr, single == nullptr) << op_name(op);
    if (run == nullptr) continue;
    std::vector<c64> apart(z.size()), in_place = z;
    run(z.data(), apart.data(), z.size());
    run(in_place.data(), in_place.data(), in_place.size());
    const UnaryFunction<c128> routine = complex_function_f64(op);
    const bool narrowed = op == Op::tan || op == Op::tanh || op == Op::arcsin || op == Op::arccos ||
                          op == Op::arctan || op == Op::arccosh || op == Op::arcsinh || op == Op::arctanh;
    for (std::size_t i = 0; i < z.size(); ++i) {
      const c64 want = single(z[i]);
      EXPECT_EQ(std::memcmp(&want, &apart[i], sizeof want), 0) << op_name(op) << " " << z[i];
      EXPECT_EQ(std::memcmp(&want, &in_place[i], sizeof want), 0) << op_name(op) << " in place " << z[i];
      if (!narrowed) continue;
      const c128 wide = routine(c128(z[i].real(), z[i].imag()));
      EXPECT_TRUE(same_float(static_cast<float>(wide.real()), want.real()) &&
                  same_float(static_cast<float>(wide.imag()), want.imag()))
          << op_name(op) << " " << z[i] << ": " << want << " beside " << wide;
    }
  }
}

// ---- the Scalar dispatch's own rules -----------------------------------------
// Operands of other dtypes than the loop's, as no ufunc call hands them over,
// aliases and NaN operands.

struct Case {
  std::string_view name;
  std::vector<Scalar> in;
  DType out;
  std::optional<Scalar> want;  // none: refused, CannotConvert
};

void check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Result<KernelOutputs> r = compute(c.name, c.in, c.out);
    const std::string text = std::string(c.name) + " " + value_text(c.in[0]) + " -> " + std::string(c.out.name());
    if (c.want && r) EXPECT_TRUE(same_bits(*c.want, (*r)[0])) << text;
    else EXPECT_TRUE(!c.want && !r && r.error().kind == ErrorKind::CannotConvert) << text << (r ? " computed" : " refused");
  }
}

TEST(Dispatch, FixedCases) {
  const float a13 = 1.0f + 0x1p-13f;
  // binary64 s 11111111111 q m(51): q the quiet bit. Of two NaNs a sum or a
  // product gives the second, quieted, whatever order a compiler picks.
  const double nan1 = std::bit_cast<double>(0x7FF8000000000001ull), snan2 = std::bit_cast<double>(0xFFF0000000000002ull);
  const double qnan2 = std::bit_cast<double>(0xFFF8000000000002ull);
  check({
      // Unsigned outputs read each operand's bits zero-extended from its own
      // width; signed outputs read each by its own signedness.
      {"floor_divide", {s<std::int8_t>(-1), s<std::uint8_t>(2)}, DType::UInt8, s<std::uint8_t>(127)},
      {"add", {s<std::uint8_t>(255), s<std::int8_t>(-1)}, DType::Int16, s<std::int16_t>(254)},
      {"invert", {s<std::int32_t>(6)}, DType::Bool, s(false)},  // a bool output negates the truth
      {"invert", {s(true)}, DType::Int8, s<std::int8_t>(-2)},    // a bool input reads as 1
      // An integer output: a float first operand goes through double and is cast.
      {"add", {s(2.75), s<std::int32_t>(1)}, DType::Int32, s<std::int32_t>(3)},
      {"add", {s(c128(1, 9)), s(2.0)}, DType::Float64, s(3.0)},  // a real output takes the real parts
      {"gcd", {s(12.5), s(18.0)}, DType::Float64, s(6.0)},     // through 128-bit integers
      // ldexp to float32 from float64 scales in double and rounds once: (0.5 +
      // 2^-40) 2^-149 rounds up to the smallest subnormal, where rounding the
      // operand to single first would leave a tie that rounds to zero.
      {"ldexp", {s(0.5 + 0x1p-40), s<std::int32_t>(-149)}, DType::Float32, s(0x1p-149f)},
      // complex64 computes in single precision only when both operands are:
      // (1 + 2^-13)^2 - 1 is 2^-12 + 2^-26 exactly, 2^-12 once the square is single.
      {"multiply", {s(c64(a13, 1)), s(c64(a13, 1))}, DType::Complex64, s(c64(0x1p-12f, 2 * a13))},
      {"multiply", {s(c64(a13, 1)), s(c128(a13, 1))}, DType::Complex64, s(c64(0x1p-12f + 0x1p-26f, 2 * a13))},
      {"add", {s(1.0f), s(0x1.8p-24)}, DType::Float32, s(1.0f + 0x1p-23f)},  // float32 likewise: in double
      // Mixed precision: the double function or step, then rounded to the output.
      {"sqrt", {half(1.0009765625f)}, DType::Float32, s(static_cast<float>(std::sqrt(1.0009765625)))},
      {"nextafter", {s(1.0001), s(5.0)}, DType::Float16, half(1.0009765625f)},  // 1.0001 rounds to 1 first
      {"add", {s(nan1), s(snan2)}, DType::Float64, s(qnan2)}, {"add", {s(snan2), s(nan1)}, DType::Float64, s(nan1)},
      {"add", {s(c128(nan1, 1)), s(c128(snan2, 2))}, DType::Complex128, s(c128(qnan2, 3))},
      // So does each product and the sum in a complex product's formula.
      {"multiply", {s(c128(nan1, 1)), s(c128(snan2, 2))}, DType::Complex128, s(c128(qnan2, qnan2))},
      {"multiply", {s(c128(1, nan1)), s(c128(2, 3))}, DType::Complex128, s(c128(nan1, nan1))},
      // Comparisons of mixed kinds, exact: long double as text.
      {"less", {ld("1.0000000000000000001"), s<std::int8_t>(2)}, DType::Bool, s(true)},
      // An integer against a float: exact, the integer never rounded to a double.
      {"equal", {s<std::int64_t>(3), s(3.0)}, DType::Bool, s(true)},
      {"greater_equal", {s(3.0), s<std::uint8_t>(3)}, DType::Bool, s(true)},
      {"greater", {s<std::int64_t>((1ll << 53) + 1), s(0x1p53)}, DType::Bool, s(true)},
      {"less", {s<std::int32_t>(3), s(3.5)}, DType::Bool, s(true)},
      {"less", {s<std::int32_t>(-3), s(-3.5)}, DType::Bool, s(false)},
      // Long double outputs of names the extended library lacks: through double.
      {"gcd", {ld("12"), ld("18")}, DType::LongDouble, ld("6")},
      // Text that reads as no number is neither NaN nor infinite, hence finite.
      {"isfinite", {Scalar::complex_long_double("abc", "inf")}, DType::Bool, s(false)},
  });
}

// Combinations the kernels do not compute: CannotConvert. The loop table
// refuses first for ufunc calls; here the names, counts and kinds the Scalar
// forms meet on their own.
TEST(Dispatch, Refusals) {
  const Scalar i(std::int32_t{3}), f(1.5), c(c128(1, 1)), cf(c64(1, 1)), cld = Scalar::complex_long_double("1", "2");
  check({
      {"no_such", {f}, DType::Float64, {}}, {"Add", {f, f}, DType::Float64, {}}, {"sqrt", {f, f}, DType::Float64, {}},
      {"atan2", {f}, DType::Float64, {}},  {"add", {i, f}, DType::Int32, {}},    {"bitwise_and", {f, i}, DType::Int32, {}},
      {"left_shift", {i, c}, DType::Int32, {}}, {"ldexp", {f, f}, DType::Float64, {}},
      {"invert", {half(1)}, DType::Int8, {}},
      {"remainder", {cld, cld}, DType::ComplexLongDouble, {}}, {"sqrt", {ld("abc")}, DType::LongDouble, {}},
      {"exp", {ld("x1")}, DType::Float64, {}}, {"cbrt", {c}, DType::Complex128, {}},
      {"floor_divide", {cf, cf}, DType::Complex64, {}}, {"divide", {i, i}, DType::Int32, {}},
  });
}

// The Op forms compute fixed-width elements without touching the heap: every
// fixed-width loop of every name.
TEST(Dispatch, FixedWidthElementsAllocateNothing) {
  std::vector<std::tuple<Op, std::vector<Scalar>, DType>> calls;
  for (int i = 0; i < op_count; ++i)
    for (const Loop& loop : fixed_width_loops(static_cast<Op>(i)))
      for (std::int64_t x : {-3, 0, 5}) {
        std::vector<Scalar> in = {*Scalar(x).cast(loop.inputs[0])};
        if (loop.inputs.size() == 2) in.push_back(*Scalar(std::int64_t{2}).cast(loop.inputs[1]));
        calls.push_back({static_cast<Op>(i), in, loop.outputs[0]});
      }
  ASSERT_GT(calls.size(), 1500u);
  std::size_t computed = 0;
  allocations_seen = 0;
  counting_allocations = true;
  for (const auto& [op, in, out] : calls)
    computed += (in.size() == 1 ? unary(op, in[0], out) : binary(op, in[0], in[1], out)).has_value();
  counting_allocations = false;
  EXPECT_EQ(allocations_seen, 0u);
  EXPECT_EQ(computed, calls.size());
  // The counter does see allocations: 21-digit long double texts live on the heap.
  const Scalar x = ld("0.1");
  counting_allocations = true;
  EXPECT_TRUE(binary(Op::add, x, x, DType::LongDouble).has_value());
  counting_allocations = false;
  EXPECT_GT(allocations_seen, 0u);
}

// ---- float and complex functions against independent oracles -----------------

// Python's float // and % on edge pairs (gen_float_floor_divide.py); float32
// where the operands and the quotient are single-precision values.
TEST(FloorDivide, MatchesPythonTable) {
  std::ifstream in(std::string(QUARVEL_TEST_DATA_DIR) + "/float_floor_divide.txt");
  ASSERT_TRUE(in) << "missing float_floor_divide.txt";
  int rows = 0;
  for (std::string line; std::getline(in, line); ++rows) {
    std::uint64_t bits[4];
    std::istringstream fields(line);
    for (std::uint64_t& b : bits) fields >> std::hex >> b;
    const double a = std::bit_cast<double>(bits[0]), b = std::bit_cast<double>(bits[1]);
    const double q = std::bit_cast<double>(bits[2]), r = std::bit_cast<double>(bits[3]);
    const Result<KernelOutputs> dm = binary(Op::divmod, s(a), s(b), DType::Float64);
    ASSERT_TRUE(dm && dm->size() == 2);
    const double got[] = {one(Op::floor_divide, {s(a), s(b)}, DType::Float64).get<double>(), (*dm)[0].get<double>(),
                          one(Op::remainder, {s(a), s(b)}, DType::Float64).get<double>(), (*dm)[1].get<double>()};
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(same_float(k < 2 ? q : r, got[k])) << a << " // " << b << " " << k;
    const float fa = static_cast<float>(a), fb = static_cast<float>(b), fq = static_cast<float>(q);
    if (fa != a || fb != b || fb == 0 || !std::isfinite(fq) || fq != q) continue;
    EXPECT_TRUE(same_float(fq, one(Op::floor_divide, {s(fa), s(fb)}, DType::Float32).get<float>())) << a << " // " << b;
  }
  EXPECT_GT(rows, 5000);
}

// Divisors whose squared magnitude overflows or underflows and dividends
// whose products with them overflow, against the quotient in extended
// precision (wide enough for these exponents).
TEST(ComplexDivide, ScaledQuotientIsAccurate) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-1070, 1020), wide(520, 1020);
  for (int i = 0; i < 30000; ++i) {
    // Thirds: |b|^2 overflows, |b|^2 underflows, anything.
    const int eb = i % 3 == 0 ? wide(rng) : i % 3 == 1 ? -wide(rng) - 50 : exponent(rng);
    const c128 a(std::ldexp(mantissa(rng), exponent(rng)), std::ldexp(mantissa(rng), exponent(rng)));
    const c128 b(std::ldexp(mantissa(rng), eb), std::ldexp(mantissa(rng), eb + (i % 7) - 3));
    if (b == c128(0, 0)) continue;
    const long double ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag(), d = br * br + bi * bi;
    const long double er = (ar * br + ai * bi) / d, ei = (ai * br - ar * bi) / d, magnitude = std::hypot(er, ei);
    if (magnitude > 1e307L || magnitude < 1e-290L) continue;
    const c128 q = one(Op::divide, {s(a), s(b)}, DType::Complex128).get<c128>();
    const long double tolerance = magnitude * 4 * std::numeric_limits<double>::epsilon();
    EXPECT_LE(std::fabs(q.real() - er), tolerance) << a << " / " << b;
    EXPECT_LE(std::fabs(q.imag() - ei), tolerance) << a << " / " << b;
  }
  // One part past the range keeps the other as accurate (mpmath: -99998886.7182682943...).
  const c128 q = one(Op::divide, {s(c128(1e308, 1e-300)), s(c128(1e-10, 1e-320))}, DType::Complex128).get<c128>();
  EXPECT_EQ(q.real(), INFINITY);
  EXPECT_NEAR(q.imag(), -99998886.7182682943, 4e-8);  // under 3 ulp
}

template <class C> C complex_result(const char* name, C z) {
  const Result<KernelOutputs> r = unary(name, Scalar(z), element_dtype<C>);
  EXPECT_TRUE(r) << name;
  return r ? (*r)[0].get<C>() : C();
}

// Where the formulas overflow, underflow or cancel, beyond the parts the
// Python sweep uses (infinite and NaN parts, and parts up to 1000, are held
// there against mpmath and annex G): zeros and infinities exact with their
// signs, the rest within library_ulps. Expected values: mpmath (exact
// fractions for square), rounded to the format.
TEST(ComplexFunctions, SoundWhereTheFormulasFail) {
  const double half_pi = 1.5707963267948966, quarter_pi = 0.7853981633974483, r = 0.7071067811865476;
  const struct {
    const char* name;
    c128 z, want;
  } cases[] = {
      {"arcsinh", {0, -1e200}, {-461.2101657793691, -half_pi}}, {"arcsinh", {-1e-200, 3e-200}, {-1e-200, 3e-200}},
      {"arcsin", {1e308, 0}, {half_pi, 709.889355822726}},
      {"arccos", {-1e308, 1e-300}, {3.141592653589793, -709.889355822726}},
      {"arccos", {1.0000000000000002, 1e-300}, {4.7453132812125776e-293, -2.1073424255447014e-08}},
      {"arccosh", {1, 1e-20}, {1e-10, 1e-10}},
      {"arccosh", {0.5, 1e-300}, {1.1547005383792515e-300, 1.0471975511965979}},
      {"arctan", {1e-05, -1}, {0.7854006633974483, -6.103036322771337}},
      {"arctanh", {0.9999999, 1e-9}, {8.4055963922722, 0.004999833595964148}},  // 1 - |z|^2 cancels
      {"cos", {1, -710.2}, {7.371364266682287e+307, 1.1480219650176113e+308}},
      {"tanh", {1e-12, 1.5707963267948966}, {999999996250.6006, 61232339.72778316}},
      {"expm1", {710, 1.5}, {1.5802653829857376e+307, inf}},
      {"log1p", {1e308, 1e308}, {709.542782232446, quarter_pi}},
      {"log", {1, 5.5524420335507883e-16}, {1.5414806267970807e-31, 5.5524420335507883e-16}},
      {"log", {-0.0010283044810774874, -0.99999968907977499}, {2.1778482879680585e-07, -1.5718246312332482}},
      {"exp2", {1024.2, 2}, {3.78839963976302e+307, inf}}, {"square", {1e200, 1e200}, {0, inf}},
      {"square", {1.9983399132406239, 1.998339913240624}, {-8.874411930828714e-16, 7.986724817701089}},
      {"sign", {1.5e308, -1.5e308}, {r, -r}},  // |z| overflows
      {"sign", {1e-323, -1e-323}, {r, -r}},   // or is subnormal
  };
  const auto close = [](auto got, auto want) {
    return want == 0 ? got == 0 && std::signbit(got) == std::signbit(want) : ulps_apart(got, want) <= library_ulps;
  };
  const auto check = [&](const auto& table) {
    for (const auto& c : table) {
      const auto got = complex_result(c.name, c.z);
      EXPECT_TRUE(close(got.real(), c.want.real()) && close(got.imag(), c.want.imag()))
          << c.name << c.z << " gave " << got << ", want " << c.want;
    }
  };
  check(cases);
  // complex64: the product formulas in single precision, the rest narrowed from double.
  const struct {
    const char* name;
    c64 z, want;
  } single[] = {
      {"cosh", {89.5f, 1}, {1.9996912932681318e+38f, 3.11433466706094e+38f}},
      {"exp2", {128.2f, 2}, {7.170983992509165e+37f, INFINITY}},
      {"square", {-1.86099622e+19f, -1.04693947e+19f}, {2.3672246707766033e+38f, INFINITY}},
      {"sign", {3e38f, 3.2e38f}, {0.683941125869751f, 0.7295371890068054f}},
  };
  check(single);
}

// ---- complex functions against CPython's cmath table and mpmath rows ---------

struct ReferenceRow {
  std::string id, function;
  double re, im, want_re, want_im;
  std::string flags;
};

std::vector<ReferenceRow> read_rows(const std::string& file) {
  std::ifstream in(std::string(QUARVEL_TEST_DATA_DIR) + "/" + file);
  std::vector<ReferenceRow> rows;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    ReferenceRow row;
    std::string numbers[4];
    fields >> row.id >> row.function >> numbers[0] >> numbers[1] >> numbers[2] >> numbers[3] >> row.flags;
    double* parts[] = {&row.re, &row.im, &row.want_re, &row.want_im};
    for (int k = 0; k < 4; ++k) *parts[k] = std::strtod(numbers[k].c_str(), nullptr);
    rows.push_back(row);
  }
  return rows;
}

// The acceptance rule of CPython's own cmath tests: NaN matches NaN, zeros and
// infinities must match with their signs (unless a flag waives the sign),
// anything else within the relative error (or the absolute error, if larger).
bool close_enough(double want, double got, bool ignore_sign, double abs_err, double rel_err) {
  if (ignore_sign) want = std::fabs(want), got = std::fabs(got);
  if (std::isnan(want) || std::isnan(got)) return std::isnan(want) && std::isnan(got);
  if (std::isinf(want) || std::isinf(got)) return want == got;
  if (want == 0 && got == 0) return std::signbit(want) == std::signbit(got);
  return std::fabs(got - want) <= std::max(abs_err, rel_err * std::fabs(want));
}

// Rows where these functions follow another convention than the table (the
// rest holds: where the formulas overflow, underflow or cancel, and for
// infinite or NaN parts, the C library's careful functions answer):
//  - asinh on the cut beyond +-i: a zero real part carries no sign, so the cut
//    takes the value of the side reached counter-clockwise;
//  - atanh(+-1 +- 0i) has the imaginary part +-pi/4 with the sign of y;
//  - a part that is the same whatever the value of an infinite or NaN part is
//    kept where the table has NaN: tanh(+-0 + inf i), tanh(+-0 + NaN i) real
//    +-0, tan(+-inf + 0i), tan(NaN + 0i) imaginary 0, acosh(+-0 + NaN i) pi/2.
const std::set<std::string> excluded = [] {
  std::set<std::string> ids;
  std::istringstream text(
      "asinh0034 asinh0036 asinh0038 asinh0040 asinh0042 asinh0044 asinh0046 asinh0063 asinh0065 asinh0067 "
      "asinh0069 asinh0071 asinh0073 asinh0075 asinh0205 asinh0206 atanh1002 atanh1015 atanh1026 atanh1035 "
      "tanh1001 tanh1003 tanh1018 tanh1031 tanh1033 tanh1044 tan1001 tan1003 tan1018 tan1031 tan1033 tan1044 "
      "acosh1006 acosh1008");
  for (std::string id; text >> id;) ids.insert(id);
  return ids;
}();

// complex128 on every row; complex64 on the rows whose parts are single
// values and whose results are zero, infinite, NaN or normal in single
// precision: the same special values and conventions, to single accuracy.
void check_rows(const char* file, std::size_t count, double rel_err) {
  const std::vector<ReferenceRow> rows = read_rows(file);
  ASSERT_EQ(rows.size(), count);
  const auto single = [](double v) { return static_cast<double>(static_cast<float>(v)) == v || std::isnan(v); };
  const auto normal = [](double v) {
    return v == 0 || !std::isfinite(v) || (std::fabs(v) >= 0x1p-126 && std::fabs(v) <= 3.4028235e38);
  };
  int singles = 0;
  for (const ReferenceRow& row : rows) {
    if (excluded.count(row.id)) continue;
    const bool ignore_re = row.flags.find("ignore-real-sign") != std::string::npos;
    const bool ignore_im = row.flags.find("ignore-imag-sign") != std::string::npos;
    const c128 z = complex_result(row.function.c_str(), c128(row.re, row.im));
    // As in CPython's tests, the real part of a logarithm may be off by 2e-15 absolutely.
    const bool log_like = row.function == "log" || row.function == "log10";
    EXPECT_TRUE(close_enough(row.want_re, z.real(), ignore_re, log_like ? 2e-15 : 5e-323, rel_err) &&
                close_enough(row.want_im, z.imag(), ignore_im, 5e-323, rel_err))
        << row.id << c128(row.re, row.im) << " want " << c128(row.want_re, row.want_im) << " got " << z;
    if (!single(row.re) || !single(row.im) || !normal(row.want_re) || !normal(row.want_im)) continue;
    const c64 w = complex_result(row.function.c_str(), c64(static_cast<float>(row.re), static_cast<float>(row.im)));
    EXPECT_TRUE(close_enough(row.want_re, w.real(), ignore_re, 1e-6, 2e-6) &&
                close_enough(row.want_im, w.imag(), ignore_im, 1e-37, 2e-6))
        << row.id << " complex64 " << row.function << "(" << row.re << ", " << row.im << ") got " << w;
    ++singles;
  }
  EXPECT_GT(singles, 100);
}

TEST(ComplexFunctions, CmathTable) { check_rows("cmath_unary_cases.txt", 2003, 2e-15); }
TEST(ComplexFunctions, MpmathRowsOutsideTheCmathTable) { check_rows("mpmath_unary_cases.txt", 252, 4e-15); }

}  // namespace
