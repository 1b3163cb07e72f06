// Shared by the kernel tests: the integer type list, a bit-exact comparison
// of results, edge and random values per dtype, the fixed-width loops of each
// operation, and readable texts of flags and calls.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "storage/float16.h"

namespace kernel_test {

using namespace quarvel_kernels;
using c64 = std::complex<float>;
using c128 = std::complex<double>;

inline constexpr double inf = std::numeric_limits<double>::infinity();
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

inline double p2(int e) { return std::ldexp(1.0, e); }
inline Scalar ld(const char* text) { return Scalar::long_double(text); }
inline Scalar cld(const char* re, const char* im) { return Scalar::complex_long_double(re, im); }

using IntegerTypes = ::testing::Types<std::int8_t, std::uint8_t, std::int16_t, std::uint16_t, std::int32_t,
                                      std::uint32_t, std::int64_t, std::uint64_t>;

inline std::string flag_text(std::uint32_t flags) {
  std::string text;
  for (auto [bit, name] : {std::pair{fault_divide, "divide"}, {fault_over, "over"}, {fault_under, "under"},
                           {fault_invalid, "invalid"}})
    if (flags & bit) text += std::string(text.empty() ? "" : "|") + name;
  return text.empty() ? "none" : text;
}

inline std::string value_text(const Scalar& v) {
  return std::string(v.dtype().name()) + " " + quarvel_storage::scalar_decimal(v);
}

// Same dtype and the same bits: signed zeros and NaN payloads count; long
// double values by their text.
inline ::testing::AssertionResult same_bits(const Scalar& want, const Scalar& got) {
  const bool same = want.dtype() == got.dtype() && std::visit(
      [&](const auto& w) {
        using T = std::decay_t<decltype(w)>;
        const T& g = got.get<T>();
        if constexpr (std::is_trivially_copyable_v<T>) return std::memcmp(&w, &g, sizeof(T)) == 0;
        else return w == g;
      },
      want.storage());
  if (same) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "want " << value_text(want) << ", got " << value_text(got);
}

inline std::string call_text(Op op, std::span<const Scalar> in, std::span<const Scalar> out) {
  std::string text(op_name(op));
  for (const Scalar& v : in) text += " " + value_text(v);
  text += " ->";
  for (const Scalar& v : out) text += " " + value_text(v);
  return text;
}

inline std::string loop_key(Op op, std::span<const DType> dtypes) {
  std::string key(op_name(op));
  for (DType d : dtypes) key += " " + std::string(d.name());
  return key;
}

// The distinct loops resolve_loop gives `op` over every combination of input
// dtypes that `admits(inputs)` accepts, inputs then outputs.
template <class Admits>
std::vector<Loop> resolved_loops(Op op, Admits admits) {
  const int nin = static_cast<int>(op_info(op).nin);
  std::set<std::string> seen;
  std::vector<Loop> loops;
  for (int a = 0; a < DType::count; ++a)
    for (int b = 0; b < (nin == 2 ? DType::count : 1); ++b) {
      const DType given[] = {DType::from_index(a), DType::from_index(b)};
      if (!admits(std::span<const DType>(given, nin))) continue;
      Result<Loop> loop = resolve_loop(op, std::span(given, nin));
      if (!loop) continue;
      std::vector<DType> dtypes(loop->inputs.begin(), loop->inputs.end());
      dtypes.insert(dtypes.end(), loop->outputs.begin(), loop->outputs.end());
      if (seen.insert(loop_key(op, dtypes)).second) loops.push_back(*loop);
    }
  return loops;
}

// Those over fixed-width input dtypes.
inline std::vector<Loop> fixed_width_loops(Op op) {
  return resolved_loops(op, [](std::span<const DType> inputs) {
    for (DType d : inputs)
      if (d.is_long_double()) return false;
    return true;
  });
}

// Values as a dtype stores them, and the Scalars they read back as (a float16
// signalling NaN, say, is stored quiet).
struct Column {
  DType dtype;
  std::vector<std::uint8_t> bytes;
  std::vector<Scalar> values;
  std::size_t size() const { return values.size(); }
  const std::uint8_t* at(std::size_t i) const { return bytes.data() + i * dtype.itemsize(); }
};

// Values that sit on the rules' edges, as doubles.
inline std::vector<double> special_reals() {
  const double flt_min = std::numeric_limits<float>::min(), flt_max = std::numeric_limits<float>::max();
  std::vector<double> v = {
      0.0, 1.0, 2.0, 3.0, 0.5, 0.1, 4.0, 1e300, 1e-300, 1e308, 1.7976931348623157e308, 710, 1000, 0x1p30,
      p2(-1074), 3 * p2(-1074), p2(-1022) - p2(-1074), p2(-1022), p2(-1021), p2(-537), p2(1023), 3 * p2(1022),
      flt_min, flt_min / 2, 0x1p-149, flt_max, 3.5e38, 0x1p-14, 0x1p-24, 0x1p-15, 65504, 65520,
      p2(-63), std::nextafter(p2(-63), 0.0), std::nextafter(p2(-63), 1.0), 1e-20,
      // Log-add-exp differences around |log m| and |log m| / ln 2.
      708.3964185322641, std::nextafter(708.3964185322641, 0.0), std::nextafter(708.3964185322641, 1e9), 1022,
      std::nextafter(1022.0, 0.0), 1023, 87.33654475055310898657, 87.5, 126, 127, 9.704060527839234, 9.75, 14, 15,
      127, 255, 32767, 65535, 0x1p31, 0x1p63, 0x1p64, inf, nan};
  const std::size_t n = v.size();
  for (std::size_t i = 0; i < n; ++i) v.push_back(-v[i]);
  return v;
}

inline std::vector<Scalar> values_of(DType dtype, int random_count, std::mt19937_64& random) {
  std::vector<Scalar> out;
  // NaNs by their bits, signalling (quiet bit clear) and with payloads:
  // the two paths must quiet them alike.
  //   binary16 s 11111 0mmmmmmmmm, binary32 s 11111111 0m(22), binary64 s 1(11) 0m(51)
  const std::uint16_t half_nans[] = {0x7C01, 0xFD55, 0x7E3F};
  const float float_nans[] = {std::bit_cast<float>(0x7F800001u), std::bit_cast<float>(0xFFA00F00u),
                              std::bit_cast<float>(0x7FC12345u)};
  const double double_nans[] = {std::bit_cast<double>(0x7FF0000000000001ull),
                                std::bit_cast<double>(0xFFF4000000F00000ull),
                                std::bit_cast<double>(0x7FF8123456789ABCull)};
  if (dtype.is_complex()) {
    const std::vector<double> parts = {0.0, -0.0, 1.0, -1.0, 3.0, p2(-1074), 1e-300, 0x1p-126, 1e300,
                                       1e38, inf, -inf, nan};
    for (double re : parts)
      for (double im : parts) out.push_back(*Scalar(c128(re, im)).cast(dtype));
    for (int i = 0; i < 3; ++i)
      for (bool imaginary : {false, true})
        out.push_back(dtype == DType::Complex64 ? Scalar(imaginary ? c64(-2.0f, float_nans[i]) : c64(float_nans[i], 1.0f))
                                                : Scalar(imaginary ? c128(-2.0, double_nans[i]) : c128(double_nans[i], 1.0)));
  } else if (dtype.is_binary_float() || dtype == DType::Bool) {
    for (double x : special_reals()) out.push_back(*Scalar(x).cast(dtype));
    for (int i = 0; i < 3 && dtype != DType::Bool; ++i)
      out.push_back(dtype == DType::Float16   ? Scalar::half(quarvel_storage::half_bits_to_float(half_nans[i]))
                    : dtype == DType::Float32 ? Scalar(float_nans[i])
                                              : Scalar(double_nans[i]));
  } else {
    // Wrapped from the 64-bit extremes and small values.
    for (std::int64_t x : {0LL, 1LL, -1LL, 2LL, 3LL, 7LL, 127LL, -128LL, 255LL, 32767LL, -32768LL, 65535LL,
                           2147483647LL, -2147483647LL - 1, 4294967295LL, -1000LL, 1000LL})
      out.push_back(*Scalar(static_cast<std::int64_t>(x)).cast(dtype));
    for (std::uint64_t x : {std::numeric_limits<std::uint64_t>::max(), std::uint64_t{1} << 63,
                            (std::uint64_t{1} << 63) - 1})
      out.push_back(*Scalar(x).cast(dtype));
  }
  // Random bit patterns, and random values near the bottom of each range.
  for (int i = 0; i < random_count; ++i) {
    const std::uint64_t bits = random();
    const double tiny = std::ldexp(1.0 + static_cast<double>(bits >> 12) * 0x1p-52, -1080 + static_cast<int>(bits % 70));
    const double tiny_float = std::ldexp(1.0 + static_cast<double>(bits >> 41) * 0x1p-23, -152 + static_cast<int>(bits % 30));
    const double tiny_half = std::ldexp(1.0 + static_cast<double>(bits >> 54) * 0x1p-10, -26 + static_cast<int>(bits % 14));
    switch (dtype.code) {
      case DType::Float16:
        out.push_back(Scalar::half(quarvel_storage::half_bits_to_float(static_cast<std::uint16_t>(bits))));
        out.push_back(*Scalar(tiny_half).cast(dtype));
        break;
      case DType::Float32:
        out.push_back(Scalar(std::bit_cast<float>(static_cast<std::uint32_t>(bits))));
        out.push_back(Scalar(static_cast<float>(tiny_float)));
        break;
      case DType::Float64:
        out.push_back(Scalar(std::bit_cast<double>(bits)));
        out.push_back(Scalar(bits & 1 ? -tiny : tiny));
        break;
      case DType::Complex64:
        out.push_back(Scalar(c64(std::bit_cast<float>(static_cast<std::uint32_t>(bits)),
                                 std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 32)))));
        break;
      case DType::Complex128:
        out.push_back(Scalar(c128(std::bit_cast<double>(bits), bits & 1 ? tiny : 0.0)));
        break;
      default: out.push_back(*Scalar(bits).cast(dtype)); break;
    }
  }
  return out;
}

}  // namespace kernel_test
