// Two-input kernels: integer wrapping, division by zero, shifts, powers,
// gcd/lcm, comparisons, float16/float32 rounding, Python-style floor division,
// extrema, complex division and power, and every refused combination.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernels/binary.h"
#include "kernels/binary_float.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "storage/float16.h"

// Counts heap allocations while a test holds `counting_allocations` set.
namespace {
bool counting_allocations = false;
std::size_t allocations_seen = 0;
}  // namespace

// The replacement pairs malloc with free itself.
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

using namespace quarvel_storage;
using namespace quarvel_kernels;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

Scalar one(Op op, const Scalar& a, const Scalar& b, DType out) {
  Result<KernelOutputs> r = binary(op, a, b, out);
  EXPECT_TRUE(r.has_value()) << op_name(op) << " refused";
  if (!r) return Scalar();
  EXPECT_EQ(r->size(), 1u);
  return (*r)[0];
}

template <class T>
T one_as(Op op, T a, T b, DType out) {
  const Scalar s = one(op, Scalar(a), Scalar(b), out);
  const T* v = s.get_if<T>();
  EXPECT_NE(v, nullptr) << op_name(op) << " gave dtype " << s.dtype().name();
  return v ? *v : T{};
}

bool refused(Op op, const Scalar& a, const Scalar& b, DType out) {
  Result<KernelOutputs> r = binary(op, a, b, out);
  return !r && r.error().kind == ErrorKind::CannotConvert;
}

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// Same value, and for zeros the same sign; any NaN matches any NaN.
::testing::AssertionResult same_double(double expected, double actual) {
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
  if (bits_of(expected) == bits_of(actual)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected " << expected << " (" << std::hex << bits_of(expected)
                                       << ") got " << actual << " (" << bits_of(actual) << ")";
}

// ---------------------------------------------------------------------------
// Integer arithmetic: wrapped to every width.

template <class T>
class IntegerWrap : public ::testing::Test {};
using IntegerTypes = ::testing::Types<std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                                      std::uint32_t, std::int64_t, std::uint64_t>;
TYPED_TEST_SUITE(IntegerWrap, IntegerTypes);

template <class T>
DType dtype_of() {
  return Scalar(T{}).dtype();
}

template <class T>
std::vector<T> sample_values() {
  using L = std::numeric_limits<T>;
  std::vector<T> v = {L::min(), L::max(), T(0), T(1), T(2), T(3), T(7), T(L::max() - 1), T(L::max() / 2 + 1)};
  if constexpr (std::is_signed_v<T>) {
    for (T x : {T(-1), T(-2), T(-7), T(L::min() + 1)}) v.push_back(x);
  }
  return v;
}

// Oracle: C++ unsigned arithmetic is modular; the conversion back to T keeps the low bits.
TYPED_TEST(IntegerWrap, AddSubtractMultiplyWrap) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  for (T a : sample_values<T>())
    for (T b : sample_values<T>()) {
      const std::uint64_t ua = static_cast<std::uint64_t>(a), ub = static_cast<std::uint64_t>(b);
      EXPECT_EQ(one_as(Op::add, a, b, d), static_cast<T>(ua + ub)) << +a << " + " << +b;
      EXPECT_EQ(one_as(Op::subtract, a, b, d), static_cast<T>(ua - ub)) << +a << " - " << +b;
      EXPECT_EQ(one_as(Op::multiply, a, b, d), static_cast<T>(ua * ub)) << +a << " * " << +b;
      EXPECT_EQ(integer_binary(Op::multiply, a, b), std::optional<T>(static_cast<T>(ua * ub)));
    }
}

TYPED_TEST(IntegerWrap, DivisionFamilyByZeroGivesZero) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  for (T a : sample_values<T>()) {
    EXPECT_EQ(one_as(Op::floor_divide, a, T(0), d), T(0));
    EXPECT_EQ(one_as(Op::remainder, a, T(0), d), T(0));
    EXPECT_EQ(one_as(Op::fmod, a, T(0), d), T(0));
    const Result<KernelOutputs> dm = binary(Op::divmod, Scalar(a), Scalar(T(0)), d);
    ASSERT_TRUE(dm);
    ASSERT_EQ(dm->size(), 2u);
    EXPECT_EQ((*dm)[0], Scalar(T(0)));
    EXPECT_EQ((*dm)[1], Scalar(T(0)));
  }
}

// Floor division and modulo against a long double-free oracle: quotient and
// remainder satisfy a == q*b + r with r of the divisor's sign and |r| < |b|.
TYPED_TEST(IntegerWrap, FloorDivisionIdentity) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  for (T a : sample_values<T>())
    for (T b : sample_values<T>()) {
      if (b == 0) continue;
      if (std::is_signed_v<T> && a == std::numeric_limits<T>::min() && b == T(-1)) continue;
      const T q = one_as(Op::floor_divide, a, b, d), r = one_as(Op::remainder, a, b, d);
      const T f = one_as(Op::fmod, a, b, d);
      const __int128 A = a, B = b, Q = q, R = r, F = f;
      EXPECT_EQ(Q * B + R, A) << +a << " // " << +b;
      EXPECT_TRUE(R == 0 || ((R < 0) == (B < 0))) << +a << " % " << +b;
      EXPECT_TRUE(F == 0 || ((F < 0) == (A < 0))) << "fmod " << +a << " " << +b;
      EXPECT_EQ((A - F) % B, 0);
    }
}

TYPED_TEST(IntegerWrap, ShiftsByWidthNegativeAndLarge) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  constexpr int width = sizeof(T) * 8;
  for (T a : sample_values<T>()) {
    for (long long count : {-1LL, -64LL, static_cast<long long>(width), 64LL, 200LL}) {
      const Scalar c(static_cast<std::int64_t>(count));
      // Every count of the width or more, and every negative count, shifts everything out.
      EXPECT_EQ(one(Op::left_shift, Scalar(a), c, d), Scalar(T(0))) << +a << " << " << count;
      const T fill = std::is_signed_v<T> && a < 0 ? T(-1) : T(0);
      EXPECT_EQ(one(Op::right_shift, Scalar(a), c, d), Scalar(fill)) << +a << " >> " << count;
    }
    for (int count = 0; count < width; ++count) {
      const std::uint64_t ua = static_cast<std::uint64_t>(a);
      EXPECT_EQ(one_as(Op::left_shift, a, T(count), d), static_cast<T>(ua << count)) << +a << " << " << count;
      // Arithmetic for signed values, logical for unsigned: C++20 defines both.
      EXPECT_EQ(one_as(Op::right_shift, a, T(count), d), static_cast<T>(a >> count)) << +a << " >> " << count;
    }
  }
}

TYPED_TEST(IntegerWrap, PowerWrapsAndRefusesNegativeExponents) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  for (T a : sample_values<T>()) {
    for (unsigned e = 0; e < 70; e += 3) {
      if (e > std::numeric_limits<T>::max()) break;
      std::uint64_t expected = 1;
      for (unsigned i = 0; i < e; ++i) expected *= static_cast<std::uint64_t>(a);
      EXPECT_EQ(one_as(Op::power, a, T(e), d), static_cast<T>(expected)) << +a << " ** " << e;
    }
    if constexpr (std::is_signed_v<T>) {
      EXPECT_TRUE(refused(Op::power, Scalar(a), Scalar(T(-1)), d));
      EXPECT_FALSE(integer_binary(Op::power, a, T(-1)));
    }
  }
}

TYPED_TEST(IntegerWrap, ExtremaAndGcdLcm) {
  using T = TypeParam;
  const DType d = dtype_of<T>();
  for (T a : sample_values<T>())
    for (T b : sample_values<T>()) {
      EXPECT_EQ(one_as(Op::maximum, a, b, d), std::max(a, b));
      EXPECT_EQ(one_as(Op::fmin, a, b, d), std::min(a, b));
      const T g = one_as(Op::gcd, a, b, d);
      const T l = one_as(Op::lcm, a, b, d);
      if (a != std::numeric_limits<T>::min() || !std::is_signed_v<T>) {
        if (a != 0 || b != 0) {
          EXPECT_EQ(static_cast<__int128>(a) % static_cast<__int128>(g), 0);
          EXPECT_EQ(static_cast<__int128>(b) % static_cast<__int128>(g), 0);
        } else {
          EXPECT_EQ(g, T(0));
        }
      }
      if (a == 0 || b == 0) {
        EXPECT_EQ(l, T(0));
      }
    }
}

// ---------------------------------------------------------------------------
// Integer cases with fixed answers.

TEST(IntegerCases, DivisionAndRemainder) {
  constexpr std::int64_t min64 = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(one_as<std::int64_t>(Op::floor_divide, min64, -1, DType::Int64), min64);
  EXPECT_EQ(one_as<std::int64_t>(Op::remainder, min64, -1, DType::Int64), 0);
  EXPECT_EQ(one_as<std::int64_t>(Op::fmod, min64, -1, DType::Int64), 0);
  EXPECT_EQ(one_as<std::int32_t>(Op::remainder, -7, 2, DType::Int32), 1);
  EXPECT_EQ(one_as<std::int32_t>(Op::fmod, -7, 2, DType::Int32), -1);
  EXPECT_EQ(one_as<std::int32_t>(Op::floor_divide, -7, 2, DType::Int32), -4);
  EXPECT_EQ(one_as<std::int8_t>(Op::floor_divide, -128, -1, DType::Int8), -128);
  // Unsigned mode reads an int8 -1 as 255.
  EXPECT_EQ(one(Op::floor_divide, Scalar(std::int8_t{-1}), Scalar(std::uint8_t{2}), DType::UInt8),
            Scalar(std::uint8_t{127}));
  EXPECT_EQ(one(Op::subtract, Scalar(std::uint8_t{1}), Scalar(std::uint8_t{2}), DType::UInt8),
            Scalar(std::uint8_t{255}));
  EXPECT_EQ(one(Op::add, Scalar(std::uint8_t{200}), Scalar(std::uint8_t{100}), DType::UInt8), Scalar(std::uint8_t{44}));
  EXPECT_EQ(one(Op::add, Scalar(std::int8_t{127}), Scalar(std::int8_t{1}), DType::Int8), Scalar(std::int8_t{-128}));
  const Result<KernelOutputs> dm = binary("divmod", Scalar(std::int16_t{-7}), Scalar(std::int16_t{2}), DType::Int16);
  ASSERT_TRUE(dm);
  EXPECT_EQ((*dm)[0], Scalar(std::int16_t{-4}));
  EXPECT_EQ((*dm)[1], Scalar(std::int16_t{1}));
}

TEST(IntegerCases, PowerShiftsGcdLcm) {
  EXPECT_TRUE(refused(Op::power, Scalar(std::int32_t{2}), Scalar(std::int32_t{-1}), DType::Int32));
  EXPECT_EQ(one(Op::power, Scalar(std::uint8_t{2}), Scalar(std::uint8_t{9}), DType::UInt8), Scalar(std::uint8_t{0}));
  EXPECT_EQ(one(Op::power, Scalar(std::int64_t{0}), Scalar(std::int64_t{0}), DType::Int64), Scalar(std::int64_t{1}));
  EXPECT_EQ(one(Op::power, Scalar(std::int64_t{3}), Scalar(std::int64_t{40}), DType::Int64),
            Scalar(static_cast<std::int64_t>(12157665459056928801ULL)));  // 3^40 mod 2^64
  EXPECT_EQ(one(Op::left_shift, Scalar(std::int8_t{1}), Scalar(std::int8_t{8}), DType::Int8), Scalar(std::int8_t{0}));
  EXPECT_EQ(one(Op::left_shift, Scalar(std::int8_t{1}), Scalar(std::int8_t{7}), DType::Int8),
            Scalar(std::int8_t{-128}));
  EXPECT_EQ(one(Op::left_shift, Scalar(std::int8_t{1}), Scalar(std::int8_t{-1}), DType::Int8), Scalar(std::int8_t{0}));
  EXPECT_EQ(one(Op::right_shift, Scalar(std::int8_t{-128}), Scalar(std::int8_t{8}), DType::Int8),
            Scalar(std::int8_t{-1}));
  EXPECT_EQ(one(Op::right_shift, Scalar(std::int8_t{-128}), Scalar(std::int8_t{-1}), DType::Int8),
            Scalar(std::int8_t{-1}));
  EXPECT_EQ(one(Op::right_shift, Scalar(std::uint8_t{255}), Scalar(std::uint8_t{8}), DType::UInt8),
            Scalar(std::uint8_t{0}));
  EXPECT_EQ(binary("bitwise_left_shift", Scalar(std::int32_t{3}), Scalar(std::int32_t{4}), DType::Int32)->operator[](0),
            Scalar(std::int32_t{48}));
  EXPECT_EQ(one(Op::bitwise_and, Scalar(std::int16_t{-1}), Scalar(std::int16_t{0x1234}), DType::Int16),
            Scalar(std::int16_t{0x1234}));
  EXPECT_EQ(one(Op::bitwise_xor, Scalar(true), Scalar(true), DType::Bool), Scalar(false));
  EXPECT_EQ(one(Op::gcd, Scalar(std::int64_t{-12}), Scalar(std::int64_t{18}), DType::Int64), Scalar(std::int64_t{6}));
  EXPECT_EQ(one(Op::gcd, Scalar(std::int64_t{12}), Scalar(std::int64_t{-18}), DType::Int64), Scalar(std::int64_t{6}));
  EXPECT_EQ(one(Op::lcm, Scalar(std::int64_t{-4}), Scalar(std::int64_t{6}), DType::Int64), Scalar(std::int64_t{12}));
  EXPECT_EQ(one(Op::lcm, Scalar(std::int64_t{4}), Scalar(std::int64_t{-6}), DType::Int64), Scalar(std::int64_t{12}));
  EXPECT_EQ(one(Op::gcd, Scalar(std::int64_t{0}), Scalar(std::int64_t{0}), DType::Int64), Scalar(std::int64_t{0}));
  EXPECT_EQ(one(Op::lcm, Scalar(std::int64_t{0}), Scalar(std::int64_t{5}), DType::Int64), Scalar(std::int64_t{0}));
  // lcm of two large unsigned values wraps its product instead of flipping its sign.
  const std::uint64_t big = 18446744073709551557ULL;  // prime
  EXPECT_EQ(one(Op::lcm, Scalar(big), Scalar(big - 1), DType::UInt64), Scalar(static_cast<std::uint64_t>(big * (big - 1))));
  EXPECT_EQ(gcd(std::numeric_limits<__int128>::min(), 0), std::numeric_limits<__int128>::min());
}

TEST(IntegerCases, BoolOutputsBehaveAsLogic) {
  for (bool a : {false, true})
    for (bool b : {false, true}) {
      EXPECT_EQ(one(Op::add, Scalar(a), Scalar(b), DType::Bool), Scalar(a || b));
      EXPECT_EQ(one(Op::maximum, Scalar(a), Scalar(b), DType::Bool), Scalar(a || b));
      EXPECT_EQ(one(Op::multiply, Scalar(a), Scalar(b), DType::Bool), Scalar(a && b));
      EXPECT_EQ(one(Op::minimum, Scalar(a), Scalar(b), DType::Bool), Scalar(a && b));
      EXPECT_EQ(one(Op::subtract, Scalar(a), Scalar(b), DType::Bool), Scalar(a != b));
    }
}

// Unsigned outputs read each operand's own bits zero-extended from its own
// width; signed outputs read each operand by its own signedness.
TEST(IntegerCases, OperandsReadInTheOutputsMode) {
  const Scalar minus_one(std::int8_t{-1}), u255(std::uint8_t{255});
  EXPECT_EQ(one(Op::add, minus_one, Scalar(std::uint8_t{0}), DType::UInt16), Scalar(std::uint16_t{255}));
  EXPECT_EQ(one(Op::multiply, minus_one, minus_one, DType::UInt16), Scalar(std::uint16_t{65025}));
  EXPECT_EQ(one(Op::multiply, minus_one, minus_one, DType::Int16), Scalar(std::int16_t{1}));
  EXPECT_EQ(one(Op::add, u255, minus_one, DType::Int16), Scalar(std::int16_t{254}));
  EXPECT_EQ(one(Op::maximum, minus_one, Scalar(std::uint8_t{3}), DType::UInt16), Scalar(std::uint16_t{255}));
  EXPECT_EQ(one(Op::maximum, minus_one, Scalar(std::uint8_t{3}), DType::Int16), Scalar(std::int16_t{3}));
  // 2^64 - 1 squared keeps its low 64 bits: 1.
  const Scalar umax(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(one(Op::multiply, umax, umax, DType::UInt64), Scalar(std::uint64_t{1}));
  EXPECT_EQ(one(Op::add, umax, Scalar(true), DType::UInt64), Scalar(std::uint64_t{0}));
  EXPECT_EQ(one(Op::add, Scalar(true), Scalar(true), DType::Int8), Scalar(std::int8_t{2}));
}

// ---------------------------------------------------------------------------
// Comparisons and logical operations.

bool holds(Op op, const Scalar& a, const Scalar& b) {
  const Scalar r = one(op, a, b, DType::Bool);
  return r.get<bool>();
}

TEST(Comparisons, IntegerAgainstFloatIsExact) {
  const Scalar big(std::int64_t{(1LL << 53) + 1});
  const Scalar f53(9007199254740992.0);
  EXPECT_FALSE(holds(Op::equal, big, f53));
  EXPECT_TRUE(holds(Op::greater, big, f53));
  EXPECT_TRUE(holds(Op::less, f53, big));
  EXPECT_TRUE(holds(Op::less, Scalar(std::uint64_t{18446744073709551615ULL}), Scalar(1.8446744073709552e19)));
  EXPECT_FALSE(holds(Op::equal, Scalar(std::int64_t{-1}), Scalar(std::uint64_t{18446744073709551615ULL})));
  EXPECT_TRUE(holds(Op::less, Scalar(std::int64_t{-1}), Scalar(std::uint64_t{18446744073709551615ULL})));
  EXPECT_TRUE(holds(Op::greater, Scalar(std::int8_t{3}), Scalar(2.5f)));
  EXPECT_TRUE(holds(Op::less, Scalar(std::int8_t{-3}), Scalar(-2.5)));
  EXPECT_TRUE(holds(Op::greater, Scalar(std::int8_t{-3}), Scalar(-inf)));
  EXPECT_TRUE(holds(Op::less, Scalar(std::int64_t{std::numeric_limits<std::int64_t>::max()}), Scalar(9.3e18)));
  EXPECT_TRUE(holds(Op::less_equal, Scalar(true), Scalar(1.0)));
  EXPECT_EQ(compare_integer_float(Scalar(1.5), 1.0), Ordering::unordered);
  EXPECT_EQ(compare_integer_float(Scalar(std::int32_t{5}), 1e300), Ordering::less);
  EXPECT_EQ(compare_integer_float(Scalar(std::int32_t{5}), -1e300), Ordering::greater);
}

TEST(Comparisons, NanAndComplex) {
  const Op all[] = {Op::less, Op::less_equal, Op::equal, Op::not_equal, Op::greater, Op::greater_equal};
  for (Op op : all) {
    EXPECT_EQ(holds(op, Scalar(nan), Scalar(1.0)), op == Op::not_equal);
    EXPECT_EQ(holds(op, Scalar(std::int32_t{1}), Scalar(nan)), op == Op::not_equal);
    EXPECT_EQ(holds(op, Scalar(std::complex<double>(1, nan)), Scalar(std::complex<double>(0, 0))),
              op == Op::not_equal);
  }
  EXPECT_TRUE(holds(Op::less, Scalar(std::complex<double>(1, 2)), Scalar(std::complex<double>(1, 3))));
  EXPECT_TRUE(holds(Op::greater, Scalar(std::complex<double>(2, 0)), Scalar(std::complex<double>(1, 3))));
  EXPECT_TRUE(holds(Op::equal, Scalar(std::complex<float>(-0.0f, 1)), Scalar(std::complex<double>(0, 1))));
  EXPECT_TRUE(holds(Op::equal, Scalar(-0.0), Scalar(0.0f)));
}

// x86-64 long double holds every 64-bit integer and every double exactly, so
// its comparison is an exact oracle.
TEST(Comparisons, IntegerAgainstFloatMatchesExtendedPrecision) {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> shift(0, 63), nudge(-3, 3);
  const Op all[] = {Op::less, Op::less_equal, Op::equal, Op::not_equal, Op::greater, Op::greater_equal};
  auto expected = [](Op op, long double x, long double y) {
    switch (op) {
      case Op::less: return x < y;
      case Op::less_equal: return x <= y;
      case Op::equal: return x == y;
      case Op::not_equal: return x != y;
      case Op::greater: return x > y;
      default: return x >= y;
    }
  };
  for (int i = 0; i < 4000; ++i) {
    const std::uint64_t raw = rng() >> shift(rng);
    const bool as_signed = i % 2 == 0;
    const Scalar v = as_signed ? Scalar(static_cast<std::int64_t>(raw)) : Scalar(raw);
    const long double exact = as_signed ? static_cast<long double>(static_cast<std::int64_t>(raw))
                                        : static_cast<long double>(raw);
    // The nearest double and its neighbours, and a value half a unit away.
    double x = static_cast<double>(exact);
    for (int k = nudge(rng); k != 0; k += k > 0 ? -1 : 1) x = std::nextafter(x, k > 0 ? inf : -inf);
    if (i % 5 == 0) x += 0.5;
    for (Op op : all) {
      EXPECT_EQ(holds(op, v, Scalar(x)), expected(op, exact, x)) << op_name(op) << " " << raw << " " << x;
      EXPECT_EQ(holds(op, Scalar(x), v), expected(op, x, exact)) << op_name(op) << " " << x << " " << raw;
    }
  }
}

TEST(Logical, TruthinessOnly) {
  EXPECT_EQ(one(Op::logical_and, Scalar(nan), Scalar(0.0), DType::Float64), Scalar(false));
  EXPECT_EQ(one(Op::logical_or, Scalar(std::int8_t{0}), Scalar(nan), DType::Int8), Scalar(true));
  EXPECT_EQ(one(Op::logical_xor, Scalar(std::complex<float>(0, 1)), Scalar(true), DType::Bool), Scalar(false));
}

// ---------------------------------------------------------------------------
// Float16 and float32: computed in single precision, rounded once.

// Nearest binary16 value by scaling to its quantum (independent of float16.cpp).
double round_half_reference(double x) {
  if (std::isnan(x) || std::isinf(x)) return x;
  if (std::fabs(x) >= 65520.0) return std::copysign(inf, x);
  int e = 0;
  std::frexp(x, &e);  // |x| in [2^(e-1), 2^e)
  const int exponent = std::max(e - 1, -14);
  const double quantum = std::ldexp(1.0, exponent - 10);
  return std::copysign(std::nearbyint(x / quantum) * quantum, x);
}

TEST(Float16Rounding, ArithmeticRoundsOnce) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pattern(0, 0xFFFF);
  auto half_value = [&] {
    for (;;) {
      // Finite halves from their bit fields: s eeeee mmmmmmmmmm.
      const int bits = pattern(rng);
      const int exponent = (bits >> 10) & 0x1F, mantissa = bits & 0x3FF;
      if (exponent == 0x1F) continue;
      const double magnitude = exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, exponent - 25);
      return static_cast<float>(bits & 0x8000 ? -magnitude : magnitude);
    }
  };
  const struct {
    Op op;
    double (*f)(double, double);
  } ops[] = {{Op::add, [](double a, double b) { return a + b; }},
             {Op::subtract, [](double a, double b) { return a - b; }},
             {Op::multiply, [](double a, double b) { return a * b; }},
             {Op::divide, [](double a, double b) { return a / b; }}};
  for (int i = 0; i < 20000; ++i) {
    const float a = half_value(), b = half_value();
    for (const auto& o : ops) {
      const Scalar r = one(o.op, Scalar::half(a), Scalar::half(b), DType::Float16);
      ASSERT_EQ(r.dtype(), DType::Float16);
      EXPECT_TRUE(same_double(round_half_reference(o.f(a, b)), r.get<Half>().value))
          << op_name(o.op) << " " << a << " " << b;
    }
  }
}

TEST(Float16Rounding, NextafterStepsOneHalfUnit) {
  EXPECT_EQ(one(Op::nextafter, Scalar::half(1.0f), Scalar::half(2.0f), DType::Float16), Scalar::half(1.0009765625f));
  EXPECT_EQ(one(Op::nextafter, Scalar::half(0.0f), Scalar::half(-1.0f), DType::Float16),
            Scalar::half(-5.9604644775390625e-08f));
  EXPECT_EQ(one(Op::nextafter, Scalar::half(65504.0f), Scalar::half(std::numeric_limits<float>::infinity()),
                DType::Float16),
            Scalar::half(std::numeric_limits<float>::infinity()));
  // A NaN operand gives the canonical quiet NaN; two zeros give the second.
  const Scalar q = one(Op::nextafter, Scalar::half(1.0f), Scalar::half(std::nanf("")), DType::Float16);
  EXPECT_EQ(float_to_half_bits(q.get<Half>().value), 0x7E00);
  const Scalar z = one(Op::nextafter, Scalar::half(0.0f), Scalar::half(-0.0f), DType::Float16);
  EXPECT_TRUE(std::signbit(z.get<Half>().value));
}

TEST(Float32Rounding, ArithmeticInSinglePrecision) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::uint32_t> pattern;
  for (int i = 0; i < 20000; ++i) {
    const float a = std::bit_cast<float>(pattern(rng)), b = std::bit_cast<float>(pattern(rng));
    // The double result of these operations, rounded to float, is the single-precision result.
    EXPECT_TRUE(same_double(static_cast<float>(double(a) + double(b)), one_as(Op::add, a, b, DType::Float32)));
    EXPECT_TRUE(same_double(static_cast<float>(double(a) * double(b)), one_as(Op::multiply, a, b, DType::Float32)));
    EXPECT_TRUE(same_double(static_cast<float>(double(a) / double(b)), one_as(Op::divide, a, b, DType::Float32)));
  }
  // Mixed operands go through double precision and round once to float32.
  EXPECT_EQ(one(Op::add, Scalar(1.0f), Scalar(1e-10), DType::Float32), Scalar(1.0f));
  EXPECT_EQ(one(Op::nextafter, Scalar(1.0f), Scalar(2.0f), DType::Float32), Scalar(1.00000012f));
  EXPECT_TRUE(refused(Op::gcd, Scalar(4.0f), Scalar(6.0f), DType::Float32));
  EXPECT_TRUE(refused(Op::lcm, Scalar::half(4.0f), Scalar::half(6.0f), DType::Float16));
}

// Of two NaNs a sum or a product gives the second, quieted, whatever order a
// compiler hands the operands to the processor in; a single NaN is kept.
//   binary64 s 11111111111 q m(51), binary32 s 11111111 q m(22): q the quiet bit
TEST(NanOperands, SumsAndProductsOfTwoNansGiveTheSecondQuieted) {
  const double a = std::bit_cast<double>(0x7FF8000000000001ull), b = std::bit_cast<double>(0xFFF0000000000002ull);
  const float af = std::bit_cast<float>(0x7FC00001u), bf = std::bit_cast<float>(0xFF800002u);
  for (Op op : {Op::add, Op::multiply}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one_as(op, a, b, DType::Float64)), 0xFFF8000000000002ull) << op_name(op);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one_as(op, b, a, DType::Float64)), 0x7FF8000000000001ull) << op_name(op);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one_as(op, a, 2.0, DType::Float64)), 0x7FF8000000000001ull);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(one_as(op, 2.0, b, DType::Float64)), 0xFFF8000000000002ull);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(one_as(op, af, bf, DType::Float32)), 0xFFC00002u) << op_name(op);
  }
  const Scalar sum = one(Op::add, Scalar(std::complex<double>(a, 1)), Scalar(std::complex<double>(b, 2)),
                         DType::Complex128);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(sum.get<std::complex<double>>().real()), 0xFFF8000000000002ull);
}

// ---------------------------------------------------------------------------
// Float64 floor division and remainder against Python's float // and %.

TEST(Float64FloorDivide, MatchesPythonTable) {
  std::ifstream in(std::string(QUARVEL_TEST_DATA_DIR) + "/float_floor_divide.txt");
  ASSERT_TRUE(in) << "missing float_floor_divide.txt";
  std::string line;
  int rows = 0;
  while (std::getline(in, line)) {
    std::uint64_t bits[4];
    std::istringstream fields(line);
    for (std::uint64_t& b : bits) fields >> std::hex >> b;
    const double a = std::bit_cast<double>(bits[0]), b = std::bit_cast<double>(bits[1]);
    const double q = std::bit_cast<double>(bits[2]), r = std::bit_cast<double>(bits[3]);
    EXPECT_TRUE(same_double(q, one_as(Op::floor_divide, a, b, DType::Float64))) << a << " // " << b;
    EXPECT_TRUE(same_double(r, one_as(Op::remainder, a, b, DType::Float64))) << a << " % " << b;
    const Result<KernelOutputs> dm = binary(Op::divmod, Scalar(a), Scalar(b), DType::Float64);
    ASSERT_TRUE(dm && dm->size() == 2);
    EXPECT_TRUE(same_double(q, (*dm)[0].get<double>()));
    EXPECT_TRUE(same_double(r, (*dm)[1].get<double>()));
    // Single precision follows the same rules where the operands are floats.
    const float fa = static_cast<float>(a), fb = static_cast<float>(b);
    if (fa == a && fb == b && fb != 0 && std::isfinite(q) && static_cast<float>(q) == q) {
      EXPECT_TRUE(same_double(static_cast<float>(q), floor_divide(fa, fb))) << a << " // " << b;
    }
    ++rows;
  }
  EXPECT_GT(rows, 5000);
}

TEST(Float64FloorDivide, ByZero) {
  EXPECT_TRUE(same_double(inf, floor_divide(1.0, 0.0)));
  EXPECT_TRUE(same_double(-inf, floor_divide(-1.0, 0.0)));
  EXPECT_TRUE(same_double(-inf, floor_divide(1.0, -0.0)));
  EXPECT_TRUE(std::isnan(floor_divide(0.0, 0.0)));
  EXPECT_TRUE(std::isnan(float_remainder(1.0, 0.0)));
  EXPECT_TRUE(std::isnan(float_remainder(-0.0, -0.0)));
  EXPECT_TRUE(same_double(-0.0, floor_divide(-0.0, 5.0)));
  EXPECT_TRUE(same_double(-0.0, float_remainder(6.0, -3.0)));
  EXPECT_TRUE(same_double(-1.0, float_remainder(5.0, -3.0)));
  EXPECT_TRUE(same_double(inf, float_remainder(-1.0, inf)));
  EXPECT_TRUE(same_double(-1.0f, floor_divide(-1.0f, std::numeric_limits<float>::infinity())));
}

// ---------------------------------------------------------------------------
// Extrema: signed zeros, NaN and infinity.

TEST(Extrema, SignedZerosNanInfinity) {
  EXPECT_TRUE(same_double(0.0, one_as(Op::maximum, -0.0, 0.0, DType::Float64)));
  EXPECT_TRUE(same_double(-0.0, one_as(Op::maximum, 0.0, -0.0, DType::Float64)));
  EXPECT_TRUE(same_double(-0.0, one_as(Op::minimum, 0.0, -0.0, DType::Float64)));
  EXPECT_TRUE(same_double(-0.0, one_as(Op::fmax, -0.0, 0.0, DType::Float64)));
  EXPECT_TRUE(same_double(0.0, one_as(Op::fmin, 0.0, -0.0, DType::Float64)));
  EXPECT_TRUE(std::isnan(one_as(Op::maximum, nan, 1.0, DType::Float64)));
  EXPECT_TRUE(std::isnan(one_as(Op::minimum, 1.0, nan, DType::Float64)));
  EXPECT_TRUE(same_double(1.0, one_as(Op::fmax, nan, 1.0, DType::Float64)));
  EXPECT_TRUE(same_double(1.0, one_as(Op::fmin, 1.0, nan, DType::Float64)));
  EXPECT_TRUE(std::isnan(one_as(Op::fmax, nan, nan, DType::Float64)));
  EXPECT_TRUE(same_double(inf, one_as(Op::maximum, -inf, inf, DType::Float64)));
  EXPECT_TRUE(same_double(-inf, one_as(Op::fmin, -inf, inf, DType::Float64)));
  // maximum propagates the first NaN when both are NaN: check by sign bit.
  const double negative_nan = -nan;
  EXPECT_TRUE(std::signbit(one_as(Op::maximum, negative_nan, nan, DType::Float64)));
  EXPECT_TRUE(same_double(-0.0f, one_as(Op::maximum, 0.0f, -0.0f, DType::Float32)));
  EXPECT_TRUE(same_double(-0.0f, one_as(Op::fmax, -0.0f, 0.0f, DType::Float32)));
  EXPECT_TRUE(same_double(2.0f, one_as(Op::fmin, std::numeric_limits<float>::quiet_NaN(), 2.0f, DType::Float32)));
  EXPECT_FALSE(extrema_zero_tie_selects_left("maximum"));
  EXPECT_FALSE(extrema_zero_tie_selects_left("minimum"));
  EXPECT_TRUE(extrema_zero_tie_selects_left("fmax"));
  EXPECT_TRUE(extrema_zero_tie_selects_left("add"));
}

TEST(Extrema, ComplexLexicographic) {
  using C = std::complex<double>;
  auto extreme = [](std::string_view name, C a, C b) { return *complex_extreme(name, a, b); };
  const C nan_part(1, nan), plain(2, 0);
  EXPECT_TRUE(std::isnan(extreme("maximum", nan_part, plain).imag()));
  EXPECT_EQ(extreme("fmax", nan_part, plain), plain);
  EXPECT_EQ(extreme("maximum", C(1, 2), C(1, 3)), C(1, 3));
  EXPECT_EQ(extreme("minimum", C(1, 2), C(1, 3)), C(1, 2));
  EXPECT_EQ(extreme("fmin", C(0, 5), C(-1, 9)), C(-1, 9));
  EXPECT_TRUE(std::signbit(extreme("maximum", C(-0.0, 0), C(0.0, 0)).real()));  // equal: a
  EXPECT_FALSE(complex_extreme("add", C(1, 2), C(1, 3)));
  EXPECT_EQ(one(Op::maximum, Scalar(std::complex<float>(1, 2)), Scalar(std::complex<float>(1, 3)), DType::Complex64),
            Scalar(std::complex<float>(1, 3)));
}

// ---------------------------------------------------------------------------
// Other real functions.

TEST(RealFunctions, HeavisideLogaddexpLdexpNextafterGcd) {
  EXPECT_TRUE(same_double(0.5, one_as(Op::heaviside, -0.0, 0.5, DType::Float64)));
  EXPECT_TRUE(same_double(0.0, one_as(Op::heaviside, -2.0, 0.5, DType::Float64)));
  EXPECT_TRUE(std::isnan(one_as(Op::heaviside, nan, 0.5, DType::Float64)));
  EXPECT_TRUE(same_double(0.0, one_as(Op::logaddexp, -inf, -0.0, DType::Float64)));
  EXPECT_TRUE(same_double(-inf, one_as(Op::logaddexp, -inf, -inf, DType::Float64)));
  EXPECT_TRUE(same_double(1000.0 + std::log(2.0), one_as(Op::logaddexp, 1000.0, 1000.0, DType::Float64)));
  EXPECT_TRUE(same_double(1001.0, one_as(Op::logaddexp2, 1000.0, 1000.0, DType::Float64)));
  EXPECT_TRUE(same_double(1000.0f + std::log(2.0f), logaddexp_f32(1000.0f, 1000.0f)));
  EXPECT_TRUE(same_double(-1.0, one_as(Op::copysign, 1.0, -nan, DType::Float64)));
  EXPECT_TRUE(same_double(inf, one(Op::ldexp, Scalar(1.0), Scalar(std::int64_t{5000}), DType::Float64).get<double>()));
  EXPECT_TRUE(same_double(-0.0, one(Op::ldexp, Scalar(-1.0), Scalar(std::int64_t{-5000}), DType::Float64).get<double>()));
  EXPECT_TRUE(same_double(std::numeric_limits<double>::denorm_min(),
                          one(Op::ldexp, Scalar(1.0), Scalar(std::int32_t{-1074}), DType::Float64).get<double>()));
  EXPECT_TRUE(same_double(std::ldexp(1.5, 2000 - 1023 * 2),
                          one(Op::ldexp, Scalar(1.5), Scalar(std::int32_t{2000 - 2046}), DType::Float64).get<double>()));
  EXPECT_EQ(one(Op::ldexp, Scalar(1.0f), Scalar(std::int32_t{600}), DType::Float32),
            Scalar(std::numeric_limits<float>::infinity()));
  EXPECT_EQ(one(Op::ldexp, Scalar(0.75f), Scalar(std::int32_t{-130}), DType::Float32),
            Scalar(std::ldexp(0.75f, -130)));
  EXPECT_EQ(one(Op::ldexp, Scalar::half(1.0f), Scalar(std::int32_t{15}), DType::Float16), Scalar::half(32768.0f));
  EXPECT_EQ(one(Op::ldexp, Scalar::half(1.0f), Scalar(std::int32_t{16}), DType::Float16),
            Scalar::half(std::numeric_limits<float>::infinity()));
  EXPECT_TRUE(refused(Op::ldexp, Scalar(1.0), Scalar(2.0), DType::Float64));
  // Large powers stepping through the whole range in several scalings.
  for (int n = -1100; n <= 1100; n += 37)
    EXPECT_TRUE(same_double(std::ldexp(0.7, n), scale_pow2_f64(0.7, n))) << n;
  for (int n = -160; n <= 160; n += 7)
    EXPECT_TRUE(same_double(std::ldexp(0.7f, n), scale_pow2_f32(0.7f, n))) << n;
  EXPECT_TRUE(same_double(-std::numeric_limits<double>::denorm_min(),
                          one_as(Op::nextafter, 0.0, -1.0, DType::Float64)));
  EXPECT_TRUE(same_double(1.0, one_as(Op::nextafter, 1.0, 1.0, DType::Float64)));
  EXPECT_TRUE(same_double(6.0, one_as(Op::gcd, 12.5, 18.0, DType::Float64)));
  EXPECT_TRUE(same_double(36.0, one_as(Op::lcm, -12.0, 18.0, DType::Float64)));
  EXPECT_TRUE(same_double(5.0, one_as(Op::gcd, nan, 5.0, DType::Float64)));
  EXPECT_TRUE(same_double(std::ldexp(1.0, 127), one_as(Op::gcd, inf, 0.0, DType::Float64)));
  EXPECT_TRUE(same_double(3.0, one_as(Op::arctan2, 0.0, -1.0, DType::Float64) > 3.14 ? 3.0 : 0.0));
  // Tame values of the extreme saturations do not trap.
  EXPECT_TRUE(std::isfinite(lcm_f64(-1e300, 5.0)));
}

// ---------------------------------------------------------------------------
// Complex division and power.

TEST(ComplexDivide, PlainFormulaInNormalRange) {
  using C = std::complex<double>;
  const C q = complex_divide_f64(C(1, 2), C(3, 4));
  EXPECT_TRUE(same_double(0.44, q.real()));
  EXPECT_TRUE(same_double(0.08, q.imag()));
  const std::complex<float> qf = complex_divide(std::complex<float>(1, 2), std::complex<float>(3, 4));
  EXPECT_TRUE(same_double(0.44f, qf.real()));
  EXPECT_TRUE(same_double(0.08f, qf.imag()));
}

// The quotient keeps the plain formula's bits whenever |b|^2 and both
// numerator parts are normal, even where one product of a part underflows.
template <class F>
void expect_plain_quotient_bits(std::mt19937_64& rng, int tiny_exponent) {
  using C = std::complex<F>;
  std::uniform_real_distribution<F> mantissa(-1, 1);
  std::uniform_int_distribution<int> wide(tiny_exponent, -tiny_exponent / 2), near(-40, 40);
  int checked = 0;
  for (int i = 0; i < 200000; ++i) {
    C a(std::ldexp(mantissa(rng), wide(rng)), std::ldexp(mantissa(rng), near(rng)));
    if (i % 2) a = C(a.imag(), a.real());
    const C b(std::ldexp(mantissa(rng), near(rng)), std::ldexp(mantissa(rng), near(rng)));
    const F d = b.imag() * b.imag() + b.real() * b.real();
    const F nr = a.real() * b.real() + a.imag() * b.imag(), ni = a.imag() * b.real() - a.real() * b.imag();
    if (!std::isnormal(d) || !std::isnormal(nr) || !std::isnormal(ni)) continue;
    const C q = complex_divide(a, b);
    ASSERT_TRUE(same_double(nr / d, q.real()) && same_double(ni / d, q.imag())) << a << " / " << b;
    ++checked;
  }
  EXPECT_GT(checked, 10000);
}

TEST(ComplexDivide, PlainBitsWheneverTheNumeratorIsNormal) {
  std::mt19937_64 rng(9);
  expect_plain_quotient_bits<double>(rng, -1070);
  expect_plain_quotient_bits<float>(rng, -148);
  // One product underflows; the other carries the part.
  using C = std::complex<double>;
  const C q = complex_divide_f64(C(0x1.9c8d6f729a65p-79, -0x1.98748605b7de4p-992),
                                 C(-0x1.0c36ac285f6e4p-62, -0x1.4feecd4d25bep+37));
  EXPECT_TRUE(same_double(-0x1.f6064ea1607f8p-216, q.real()));
  EXPECT_TRUE(same_double(0x1.3a63789effc82p-116, q.imag()));
}

TEST(ComplexDivide, ScaledWhenDivisorSquareLeavesNormalRange) {
  using C = std::complex<double>;
  EXPECT_EQ(complex_divide_f64(C(1e300, 1e300), C(1e300, 1e300)), C(1, 0));
  EXPECT_EQ(complex_divide_f64(C(1, 0), C(1e200, 0)), C(1e-200, 0));
  EXPECT_EQ(complex_divide_f64(C(1e-300, 1e-300), C(1e-300, 1e-300)), C(1, 0));
  EXPECT_EQ(complex_divide_f64(C(4e-310, 0), C(2e-310, 0)), C(2, 0));
  EXPECT_EQ(complex_divide_f64(C(3, 0), C(0, 1e-170)), C(0, -3e170));
  // Divisor in range, but a numerator product overflows or underflows.
  EXPECT_EQ(complex_divide_f64(C(1e300, 0), C(1e10, 0)), C(1e300 / 1e10, 0));
  EXPECT_EQ(complex_divide_f64(C(0, 1e-300), C(1e-20, 0)), C(0, 1e-300 / 1e-20));
  EXPECT_EQ(complex_divide_f64(C(0, 1e300), C(0, 1e10)), C(1e300 / 1e10, 0));
  const C huge = complex_divide_f64(C(1.7e308, 1.7e308), C(1e-10, 1e-10));
  EXPECT_TRUE(std::isinf(huge.real()));
  const std::complex<float> f = complex_divide(std::complex<float>(1e30f, 1e30f), std::complex<float>(1e30f, 1e30f));
  EXPECT_EQ(f, std::complex<float>(1, 0));
  const std::complex<float> g = complex_divide(std::complex<float>(1, 0), std::complex<float>(1e-30f, 0));
  EXPECT_EQ(g, std::complex<float>(1e30f, 0));
  // Through the Scalar dispatch, complex64 in single precision.
  EXPECT_EQ(one(Op::divide, Scalar(std::complex<float>(1e30f, 1e30f)), Scalar(std::complex<float>(1e30f, 1e30f)),
                DType::Complex64),
            Scalar(std::complex<float>(1, 0)));
}

// Divisors whose squared magnitude overflows or underflows, and dividends
// whose products with them overflow, against the quotient computed in
// extended precision (wide enough for these exponents).
TEST(ComplexDivide, ScaledQuotientIsAccurate) {
  using C = std::complex<double>;
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-1070, 1020), wide(520, 1020);
  for (int i = 0; i < 30000; ++i) {
    // Thirds: |b|^2 overflows, |b|^2 underflows, anything.
    const int eb = i % 3 == 0 ? wide(rng) : i % 3 == 1 ? -wide(rng) - 50 : exponent(rng);
    const C a(std::ldexp(mantissa(rng), exponent(rng)), std::ldexp(mantissa(rng), exponent(rng)));
    const C b(std::ldexp(mantissa(rng), eb), std::ldexp(mantissa(rng), eb + (i % 7) - 3));
    if (b == C(0, 0)) continue;
    const long double ar = a.real(), ai = a.imag(), br = b.real(), bi = b.imag();
    const long double d = br * br + bi * bi;
    const long double er = (ar * br + ai * bi) / d, ei = (ai * br - ar * bi) / d;
    const C q = complex_divide_f64(a, b);
    const long double magnitude = std::hypot(er, ei);
    if (magnitude > 1e307L || magnitude < 1e-290L) continue;
    const long double tolerance = magnitude * 4 * std::numeric_limits<double>::epsilon();
    EXPECT_LE(std::fabs(q.real() - er), tolerance) << a << " / " << b;
    EXPECT_LE(std::fabs(q.imag() - ei), tolerance) << a << " / " << b;
  }
}

TEST(ComplexDivide, ByZero) {
  using C = std::complex<double>;
  const C a = complex_divide_f64(C(1, 0), C(0, 0));
  EXPECT_TRUE(same_double(inf, a.real()));
  EXPECT_TRUE(std::isnan(a.imag()));
  const C b = complex_divide_f64(C(-2, nan), C(0, -0.0));
  EXPECT_TRUE(same_double(-inf, b.real()));
  EXPECT_TRUE(std::isnan(b.imag()));  // a NaN part stays NaN
  const C c = complex_divide_f64(C(nan, -3), C(0, 0));
  EXPECT_TRUE(std::isnan(c.real()));
  EXPECT_TRUE(same_double(-inf, c.imag()));
}

TEST(ComplexPower, ZeroBaseAndIntegerPowers) {
  using C = std::complex<double>;
  EXPECT_EQ(complex_power(C(0, 0), C(0, 0)), C(1, 0));
  const C z = complex_power(C(0, 0), C(-1, 0));
  EXPECT_TRUE(std::isnan(z.real()) && std::isnan(z.imag()));
  EXPECT_EQ(complex_power(C(0, 0), C(2, 0)), C(0, 0));
  const std::complex<float> zf = complex_power(std::complex<float>(0, 0), std::complex<float>(std::nanf(""), 0));
  EXPECT_TRUE(std::isnan(zf.real()));
  const C i_squared = complex_power(C(0, 1), C(2, 0));
  EXPECT_NEAR(i_squared.real(), -1.0, 1e-15);
  EXPECT_NEAR(i_squared.imag(), 0.0, 1e-15);
  const C root = one(Op::power, Scalar(C(-4, 0)), Scalar(C(0.5, 0)), DType::Complex128).get<C>();
  EXPECT_NEAR(root.real(), 0.0, 1e-15);
  EXPECT_NEAR(root.imag(), 2.0, 1e-15);
  // A real operand with a complex output goes through complex power.
  const C r = one(Op::float_power, Scalar(-8.0), Scalar(C(1.0 / 3, 0)), DType::Complex128).get<C>();
  EXPECT_NEAR(r.real(), 1.0, 1e-15);
  EXPECT_NEAR(r.imag(), std::sqrt(3.0), 1e-15);
}

TEST(ComplexArithmetic, MultiplyKeepsPlainFormula) {
  using C = std::complex<double>;
  const C p = one(Op::multiply, Scalar(C(inf, 0)), Scalar(C(1, 1)), DType::Complex128).get<C>();
  // (inf*1 - 0*1, inf*1 + 0*1): no recovery step changes these.
  EXPECT_TRUE(same_double(inf, p.real()));
  EXPECT_TRUE(same_double(inf, p.imag()));
  const C q = one(Op::multiply, Scalar(C(inf, nan)), Scalar(C(1, 0)), DType::Complex128).get<C>();
  EXPECT_TRUE(std::isnan(q.real()));
  EXPECT_EQ(one(Op::subtract, Scalar(std::complex<float>(1, 2)), Scalar(std::complex<float>(3, 5)), DType::Complex64),
            Scalar(std::complex<float>(-2, -3)));
  // A complex operand with a real output uses the real parts.
  EXPECT_EQ(one(Op::add, Scalar(C(1, 9)), Scalar(2.0), DType::Float64), Scalar(3.0));
}

// Complex64 computes in single precision only when both operands are
// complex64; otherwise in double precision, rounded once. (1 + 2^-13)^2 - 1
// is 2^-12 + 2^-26 exactly, but 2^-12 once the square is rounded to float.
TEST(ComplexArithmetic, Complex64PrecisionFollowsTheOperands) {
  const float a = 1.0f + std::ldexp(1.0f, -13);
  const std::complex<float> z(a, 1.0f);
  const Scalar single = one(Op::multiply, Scalar(z), Scalar(z), DType::Complex64);
  EXPECT_EQ(single.get<std::complex<float>>().real(), std::ldexp(1.0f, -12));
  const float exact = std::ldexp(1.0f, -12) + std::ldexp(1.0f, -26);
  const Scalar widened(std::complex<double>(a, 1.0));
  EXPECT_EQ(one(Op::multiply, Scalar(z), widened, DType::Complex64).get<std::complex<float>>().real(), exact);
  EXPECT_EQ(one(Op::multiply, widened, Scalar(z), DType::Complex64).get<std::complex<float>>().real(), exact);
  // A real operand is taken as complex in double precision as well.
  EXPECT_EQ(one(Op::multiply, Scalar(z), Scalar(a), DType::Complex64).get<std::complex<float>>().real(),
            static_cast<float>(static_cast<double>(a) * a));
  // Complex128 outputs keep every bit of the double-precision product.
  EXPECT_EQ(one(Op::multiply, Scalar(z), Scalar(z), DType::Complex128).get<std::complex<double>>().real(),
            static_cast<double>(exact));
}

// Integer outputs: an integer first operand takes the integer path; a float
// first operand goes through double precision and is cast to the output.
TEST(Dispatch, IntegerOutputWithFloatFirstOperand) {
  EXPECT_EQ(one(Op::add, Scalar(2.75), Scalar(std::int32_t{1}), DType::Int32), Scalar(std::int32_t{3}));
  EXPECT_EQ(one(Op::multiply, Scalar(std::complex<double>(2.5, 7)), Scalar(std::int32_t{3}), DType::Int32),
            Scalar(std::int32_t{7}));
  EXPECT_TRUE(refused(Op::add, Scalar(std::int32_t{1}), Scalar(2.75), DType::Int32));
  // ldexp to float32 from a float64 operand scales in double and rounds once:
  // (0.5 + 2^-40) * 2^-149 rounds up to the smallest subnormal, where rounding
  // the operand to single first would leave a tie that rounds to zero.
  EXPECT_EQ(one(Op::ldexp, Scalar(0.5 + std::ldexp(1.0, -40)), Scalar(std::int32_t{-149}), DType::Float32),
            Scalar(std::numeric_limits<float>::denorm_min()));
  EXPECT_EQ(one(Op::ldexp, Scalar(0.5f), Scalar(std::int32_t{-149}), DType::Float32), Scalar(0.0f));
}

// The alias spellings of the two-input names compute as their canonical names.
TEST(Dispatch, TwoInputAliasesByName) {
  const struct {
    std::string_view alias;
    Op op;
    Scalar a, b;
    DType out;
  } cases[] = {
      {"mod", Op::remainder, Scalar(std::int32_t{-7}), Scalar(std::int32_t{2}), DType::Int32},
      {"pow", Op::power, Scalar(std::int32_t{3}), Scalar(std::int32_t{4}), DType::Int32},
      {"atan2", Op::arctan2, Scalar(1.0), Scalar(-1.0), DType::Float64},
      {"true_divide", Op::divide, Scalar(1.0), Scalar(3.0), DType::Float64},
      {"bitwise_left_shift", Op::left_shift, Scalar(std::int8_t{3}), Scalar(std::int8_t{5}), DType::Int8},
      {"bitwise_right_shift", Op::right_shift, Scalar(std::int8_t{-100}), Scalar(std::int8_t{3}), DType::Int8},
  };
  for (const auto& c : cases) {
    const Result<KernelOutputs> by_alias = binary(c.alias, c.a, c.b, c.out);
    ASSERT_TRUE(by_alias) << c.alias;
    EXPECT_EQ((*by_alias)[0], one(c.op, c.a, c.b, c.out)) << c.alias;
  }
}

// ---------------------------------------------------------------------------
// Long double outputs go through the extended-precision library.

TEST(LongDouble, LibraryAndDoubleFallback) {
  const Scalar r = one(Op::add, Scalar::long_double("1"), Scalar::long_double("2"), DType::LongDouble);
  ASSERT_EQ(r.dtype(), DType::LongDouble);
  EXPECT_EQ(r.get<LongDoubleText>().text, "3");
  const Result<KernelOutputs> dm =
      binary(Op::divmod, Scalar::long_double("7"), Scalar::long_double("-2"), DType::LongDouble);
  ASSERT_TRUE(dm);
  ASSERT_EQ(dm->size(), 2u);
  EXPECT_EQ((*dm)[0].get<LongDoubleText>().text, "-4");
  EXPECT_EQ((*dm)[1].get<LongDoubleText>().text, "-1");
  // gcd is not in the library: double precision through 128-bit integers, converted.
  const Scalar g = one(Op::gcd, Scalar::long_double("12"), Scalar::long_double("18"), DType::LongDouble);
  ASSERT_EQ(g.dtype(), DType::LongDouble);
  EXPECT_EQ(g.as_f64(), 6.0);
  EXPECT_TRUE(holds(Op::less, Scalar::long_double("1.0000000000000000001"), Scalar(std::int8_t{2})));
  EXPECT_TRUE(holds(Op::greater, Scalar::long_double("1.0000000000000000001"), Scalar(1.0)));
  EXPECT_TRUE(holds(Op::not_equal, Scalar::long_double("nan"), Scalar(1.0)));
  EXPECT_FALSE(holds(Op::equal, Scalar::long_double("nan"), Scalar(1.0)));
}

TEST(LongDouble, ComplexThroughTheLibrary) {
  const Scalar z = one(Op::multiply, Scalar::complex_long_double("1", "2"), Scalar::complex_long_double("3", "4"),
                       DType::ComplexLongDouble);
  ASSERT_EQ(z.dtype(), DType::ComplexLongDouble);
  EXPECT_EQ(z.get<ComplexLongDoubleText>().re, "-5");
  EXPECT_EQ(z.get<ComplexLongDoubleText>().im, "10");
  // 2^-60 survives in 80 bits: the sum is not computed through double.
  const Scalar s = one(Op::add, Scalar::long_double("1"), Scalar::long_double("8.67361737988403547206e-19"),
                       DType::LongDouble);
  EXPECT_NE(s.get<LongDoubleText>().text, "1");
  EXPECT_TRUE(refused(Op::remainder, Scalar::complex_long_double("1", "2"), Scalar::complex_long_double("3", "4"),
                      DType::ComplexLongDouble));
}

// ---------------------------------------------------------------------------
// Refusals: every combination the kernels do not compute gives kind 3.

TEST(Refusals, UnknownAndOneInputNames) {
  for (std::string_view name : {"no_such", "", "Add", "abs", "sqrt", "invert", "bitwise_not", "bitwise_invert",
                                "bitwise_count", "negative", "isnan", "modf", "frexp"}) {
    for (std::size_t d = 0; d < 16; ++d) {
      const Scalar zero = Scalar::zero(DType::from_index(d));
      const Result<KernelOutputs> r = binary(name, zero, zero, DType::from_index(d));
      ASSERT_FALSE(r) << name << " " << DType::from_index(d).name();
      EXPECT_EQ(r.error().kind, ErrorKind::CannotConvert);
    }
  }
}

TEST(Refusals, NameFamiliesOutsideTheirDtypes) {
  const Scalar i(std::int32_t{3}), f(1.5), c(std::complex<double>(1, 1)), c64(std::complex<float>(1, 1));
  // Names with no integer form refuse integer outputs with integer operands.
  for (Op op : {Op::divide, Op::float_power, Op::hypot, Op::arctan2, Op::copysign, Op::heaviside, Op::logaddexp,
                Op::logaddexp2, Op::nextafter, Op::ldexp})
    EXPECT_TRUE(refused(op, i, i, DType::Int32)) << op_name(op);
  // Names with no complex form refuse complex outputs, in both precisions.
  for (Op op : {Op::floor_divide, Op::remainder, Op::fmod, Op::divmod, Op::hypot, Op::arctan2, Op::copysign,
                Op::heaviside, Op::logaddexp, Op::logaddexp2, Op::nextafter, Op::gcd, Op::lcm}) {
    EXPECT_TRUE(refused(op, c, c, DType::Complex128)) << op_name(op);
    EXPECT_TRUE(refused(op, c64, c64, DType::Complex64)) << op_name(op);
  }
  // Bitwise names need bool or integer operands.
  for (Op op : {Op::bitwise_and, Op::bitwise_or, Op::bitwise_xor, Op::left_shift, Op::right_shift}) {
    EXPECT_TRUE(refused(op, f, i, DType::Int32)) << op_name(op);
    EXPECT_TRUE(refused(op, i, f, DType::Int32)) << op_name(op);
    EXPECT_TRUE(refused(op, i, c, DType::Int32)) << op_name(op);
  }
  // The integer path needs an integer second operand; ldexp an integer exponent.
  EXPECT_TRUE(refused(Op::add, i, f, DType::Int32));
  EXPECT_TRUE(refused(Op::ldexp, f, f, DType::Float64));
  EXPECT_TRUE(refused(Op::ldexp, f, c, DType::Float64));
  EXPECT_TRUE(refused(Op::gcd, Scalar(4.0f), Scalar(6.0f), DType::Float32));
  EXPECT_TRUE(refused(Op::power, Scalar(std::int8_t{2}), Scalar(std::int8_t{-3}), DType::Int8));
  EXPECT_TRUE(refused(Op::power, Scalar(std::int64_t{0}), Scalar(std::int64_t{-1}), DType::Int64));
  EXPECT_FALSE(binary_float32("gcd", 1.0f, 2.0f));
  EXPECT_FALSE(binary_float32("no_such", 1.0f, 2.0f));
  EXPECT_FALSE(binary_complex64("remainder", {1, 1}, {1, 1}));
}

// Any operand dtypes with any output dtype: a result of the output dtype (Bool
// for comparisons and logical names) or CannotConvert, never anything else.
TEST(Refusals, EveryDtypeCombinationGivesAResultOrKindThree) {
  const std::int64_t values[] = {3, -2, 0};
  for (int i = 0; i < op_count; ++i) {
    const Op op = static_cast<Op>(i);
    if (input_count(op) != 2) continue;
    const bool gives_bool = op == Op::equal || op == Op::not_equal || op == Op::less || op == Op::less_equal ||
                            op == Op::greater || op == Op::greater_equal || op == Op::logical_and ||
                            op == Op::logical_or || op == Op::logical_xor;
    for (std::size_t a = 0; a < 16; ++a)
      for (std::size_t b = 0; b < 16; ++b)
        for (std::size_t out = 0; out < 16; ++out)
          for (std::size_t k = 0; k < 3; ++k) {
            const Scalar x = *Scalar(values[k]).cast(DType::from_index(a));
            const Scalar y = *Scalar(values[(k + 1) % 3]).cast(DType::from_index(b));
            const DType output = DType::from_index(out);
            const Result<KernelOutputs> r = binary(op, x, y, output);
            if (!r) {
              EXPECT_EQ(r.error().kind, ErrorKind::CannotConvert) << op_name(op);
              continue;
            }
            for (const Scalar& s : *r)
              EXPECT_EQ(s.dtype(), gives_bool ? DType(DType::Bool) : output)
                  << op_name(op) << " " << x.dtype().name() << " " << y.dtype().name() << " -> " << output.name();
          }
  }
}

// Calls fn(op, loop) for every loop the table offers a two-input name.
template <class F>
void for_each_two_input_loop(F fn) {
  for (int i = 0; i < op_count; ++i) {
    const Op op = static_cast<Op>(i);
    if (input_count(op) != 2) continue;
    for (std::size_t a = 0; a < 16; ++a)
      for (std::size_t b = 0; b < 16; ++b) {
        const std::vector<DType> inputs = {DType::from_index(a), DType::from_index(b)};
        if (const Result<Loop> loop = resolve_loop(op, inputs)) fn(op, *loop);
      }
  }
}

// Every loop the table offers is computed for ordinary operands.
TEST(Refusals, EveryTableLoopIsComputed) {
  for_each_two_input_loop([](Op op, const Loop& loop) {
    const Result<Scalar> x = Scalar(std::int64_t{3}).cast(loop.inputs[0]);
    const Result<Scalar> y = Scalar(std::int64_t{2}).cast(loop.inputs[1]);
    ASSERT_TRUE(x && y);
    const std::string where = std::string(op_name(op)) + " " + std::string(loop.inputs[0].name()) + " " +
                              std::string(loop.inputs[1].name());
    const Result<KernelOutputs> r = binary(op, *x, *y, loop.outputs[0]);
    ASSERT_TRUE(r) << where;
    ASSERT_EQ(r->size(), loop.outputs.size()) << where;
    for (std::size_t k = 0; k < r->size(); ++k) EXPECT_EQ((*r)[k].dtype(), loop.outputs[k]) << where;
  });
}

// The Op forms compute fixed-width elements without touching the heap: every
// loop the table offers, for every two-input name.
TEST(Dispatch, FixedWidthElementsAllocateNothing) {
  struct Call {
    Op op;
    Scalar a, b;
    DType out;
  };
  std::vector<Call> calls;
  for_each_two_input_loop([&](Op op, const Loop& loop) {
    if (loop.inputs[0].is_long_double() || loop.outputs[0].is_long_double()) return;
    for (std::int64_t x : {-3, 0, 5})
      calls.push_back(
          {op, *Scalar(x).cast(loop.inputs[0]), *Scalar(std::int64_t{2}).cast(loop.inputs[1]), loop.outputs[0]});
  });
  ASSERT_GT(calls.size(), 1000u);
  std::size_t computed = 0;
  allocations_seen = 0;
  counting_allocations = true;
  for (const Call& c : calls) computed += binary(c.op, c.a, c.b, c.out).has_value();
  counting_allocations = false;
  EXPECT_EQ(allocations_seen, 0u);
  EXPECT_EQ(computed, calls.size());
  // The counter does see allocations: 21-digit long double texts live on the heap.
  const Scalar x = Scalar::long_double("0.1");
  counting_allocations = true;
  const bool ok = binary(Op::add, x, x, DType::LongDouble).has_value();
  counting_allocations = false;
  EXPECT_TRUE(ok);
  EXPECT_GT(allocations_seen, 0u);
}

// A typed loop calls the element forms directly; they give the same bits as
// the Scalar dispatch for every two-input name and element type.
template <class T>
bool same_bits(const T& x, const Scalar& s) {
  const T* v = s.get_if<T>();
  if (!v) return false;
  if constexpr (std::is_floating_point_v<T>) {
    return same_double(x, *v);
  } else if constexpr (std::is_integral_v<T>) {
    return x == *v;
  } else {
    return same_double(x.real(), v->real()) && same_double(x.imag(), v->imag());
  }
}

template <class T>
void expect_element_forms_agree(const std::vector<T>& values) {
  const DType d = Scalar(T{}).dtype();
  for (int i = 0; i < op_count; ++i) {
    const Op op = static_cast<Op>(i);
    // divmod has two outputs and ldexp an integer exponent; logical names
    // have no element form.
    if (input_count(op) != 2 || op == Op::divmod || op == Op::ldexp || op == Op::logical_and ||
        op == Op::logical_or || op == Op::logical_xor)
      continue;
    const bool comparison = op == Op::less || op == Op::less_equal || op == Op::equal || op == Op::not_equal ||
                            op == Op::greater || op == Op::greater_equal;
    for (const T& a : values)
      for (const T& b : values) {
        const Result<KernelOutputs> r = binary(op, Scalar(a), Scalar(b), d);
        if (comparison) {
          ASSERT_TRUE(r);
          EXPECT_EQ((*r)[0], Scalar(comparison_holds(op, compare_values(a, b)))) << op_name(op);
          continue;
        }
        std::optional<T> typed;
        if constexpr (std::is_integral_v<T>) {
          typed = integer_binary(op, a, b);
          if (!typed) typed = bitwise_binary(op, a, b);
        } else {
          BinaryFunction<T> f = nullptr;
          if constexpr (std::is_same_v<T, float>) f = real_binary_f32(op);
          if constexpr (std::is_same_v<T, double>) f = real_binary_f64(op);
          if constexpr (std::is_same_v<T, std::complex<float>>) f = complex_binary_f32(op);
          if constexpr (std::is_same_v<T, std::complex<double>>) f = complex_binary_f64(op);
          if (f) typed = f(a, b);
        }
        ASSERT_EQ(typed.has_value(), r.has_value()) << op_name(op) << " " << d.name();
        if (typed) {
          EXPECT_TRUE(same_bits(*typed, (*r)[0])) << op_name(op) << " " << d.name();
        }
      }
  }
}

TEST(Dispatch, ElementFormsGiveTheScalarBits) {
  const std::vector<double> reals = {0.0, -0.0, 1.5, -2.25, 7.0, 1e300, -1e-310, inf, -inf, nan};
  std::vector<float> floats;
  std::vector<std::complex<float>> complex64;
  std::vector<std::complex<double>> complex128;
  for (double x : reals) {
    floats.push_back(static_cast<float>(x));
    for (double y : {0.0, -3.5, nan}) {
      complex64.emplace_back(static_cast<float>(x), static_cast<float>(y));
      complex128.emplace_back(x, y);
    }
  }
  expect_element_forms_agree(reals);
  expect_element_forms_agree(floats);
  expect_element_forms_agree(complex64);
  expect_element_forms_agree(complex128);
  expect_element_forms_agree(std::vector<bool>{false, true});
  expect_element_forms_agree(sample_values<std::int8_t>());
  expect_element_forms_agree(sample_values<std::uint16_t>());
  expect_element_forms_agree(sample_values<std::int32_t>());
  expect_element_forms_agree(sample_values<std::uint64_t>());
  expect_element_forms_agree(sample_values<std::int64_t>());
}

}  // namespace
