// Exact decimal text of binary floats, and the integer part of decimal text.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "storage/scalar.h"

namespace quarvel_storage {

namespace {

using u128 = unsigned __int128;

// Decimal digit values, least significant first.
using Digits = std::vector<std::uint8_t>;

// Multiplies in place by `factor`, appending the carry as new high digits.
// factor * 9 + carry stays far below 2^64 for the factors used here.
void multiply(Digits& digits, std::uint64_t factor) {
  std::uint64_t carry = 0;
  for (auto& d : digits) {
    const std::uint64_t t = d * factor + carry;
    d = static_cast<std::uint8_t>(t % 10);
    carry = t / 10;
  }
  for (; carry != 0; carry /= 10) digits.push_back(static_cast<std::uint8_t>(carry % 10));
}

// Multiplies by base^count, in chunks of base^chunk to keep the passes few.
void multiply_by_power(Digits& digits, std::uint64_t base, int chunk, int count) {
  std::uint64_t chunk_factor = 1;
  for (int i = 0; i < chunk; ++i) chunk_factor *= base;
  for (; count >= chunk; count -= chunk) multiply(digits, chunk_factor);
  std::uint64_t rest = 1;
  for (int i = 0; i < count; ++i) rest *= base;
  if (rest != 1) multiply(digits, rest);
}

// m * 2^e as [digits][.digits], no trailing fraction zeros.
std::string exact_decimal_from_binary(std::uint64_t m, int e) {
  Digits digits;
  for (std::uint64_t v = m; v != 0; v /= 10) digits.push_back(static_cast<std::uint8_t>(v % 10));
  if (digits.empty()) digits.push_back(0);
  // m * 2^e == m * 5^-e / 10^-e: the last -e digits of m * 5^-e are the fraction.
  if (e < 0) multiply_by_power(digits, 5, 13, -e);
  if (e > 0) multiply_by_power(digits, 2, 30, e);

  std::string text;
  text.reserve(digits.size() + 2);
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) text.push_back(static_cast<char>('0' + *it));
  if (e >= 0) return text;

  const std::size_t fraction_digits = static_cast<std::size_t>(-e);
  if (text.size() > fraction_digits) {
    text.insert(text.size() - fraction_digits, 1, '.');
  } else {
    text = "0." + std::string(fraction_digits - text.size(), '0') + text;
  }
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

// Text of an integer held in two's complement, sign first when negative.
std::string integer_text(bool negative, u128 magnitude) {
  std::string reversed;
  do {
    reversed.push_back(static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) reversed.push_back('-');
  return std::string(reversed.rbegin(), reversed.rend());
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A plain decimal signed 32-bit exponent: [+-]digits, within int32 range.
bool parse_exponent(std::string_view text, std::int64_t* exponent) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  std::int64_t magnitude = 0;
  for (char c : text) {
    if (!is_digit(c)) return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > std::int64_t{1} << 31) return false;  // stays small: no overflow, leading zeros allowed
  }
  if (!negative && magnitude > INT32_MAX) return false;
  *exponent = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace

std::string exact_decimal_from_f64(double value) {
  //   binary64:  s eeeeeeeeeee mmmm...m (52)    bias 1023, subnormals at exponent 0
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7FF) {
    if (fraction != 0) return "NaN";
    return negative ? "-inf" : "inf";
  }
  if (biased == 0 && fraction == 0) return negative ? "-0" : "0";
  const std::uint64_t m = biased == 0 ? fraction : (fraction | (std::uint64_t{1} << 52));
  const int e = biased == 0 ? -1074 : biased - 1075;
  std::string text = exact_decimal_from_binary(m, e);
  return negative ? "-" + text : text;
}

std::string scalar_decimal(const Scalar& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return v ? "1" : "0";
        } else if constexpr (std::is_integral_v<T>) {
          // Magnitude through unsigned arithmetic so the most negative value is safe.
          const bool negative = v < 0;
          const u128 magnitude = negative ? u128{0} - static_cast<u128>(static_cast<__int128>(v)) : static_cast<u128>(v);
          return integer_text(negative, magnitude);
        } else if constexpr (std::is_same_v<T, Half>) {
          return exact_decimal_from_f64(v.value);
        } else if constexpr (std::is_floating_point_v<T>) {
          return exact_decimal_from_f64(v);
        } else if constexpr (std::is_same_v<T, LongDoubleText>) {
          return v.text;
        } else if constexpr (std::is_same_v<T, ComplexLongDoubleText>) {
          return v.re;
        } else {
          return exact_decimal_from_f64(v.real());
        }
      },
      value.storage());
}

Result<__int128> decimal_to_i128(std::string_view text) {
  const auto refuse = [] { return fail(ErrorKind::OutOfRange); };

  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }

  std::string_view mantissa = text;
  std::int64_t exponent = 0;
  if (const auto e = text.find_first_of("eE"); e != std::string_view::npos) {
    mantissa = text.substr(0, e);
    if (!parse_exponent(text.substr(e + 1), &exponent)) return refuse();
  }

  // Digits and their count before the point; the point may stand anywhere.
  std::int64_t digit_count = 0, before_point = -1;
  for (char c : mantissa) {
    if (is_digit(c)) {
      ++digit_count;
    } else if (c == '.' && before_point < 0) {
      before_point = digit_count;
    } else {
      return refuse();
    }
  }
  if (digit_count == 0) return refuse();
  if (before_point < 0) before_point = digit_count;

  // In 64 bits: a huge exponent must not wrap around into a small position.
  const std::int64_t integer_digits = before_point + exponent;
  if (integer_digits <= 0) return __int128{0};
  if (integer_digits >= 40) return refuse();

  // The first integer_digits digits, padded with zeros past the last one.
  const u128 max = ~u128{0};
  u128 magnitude = 0;
  std::int64_t taken = 0;
  for (char c : mantissa) {
    if (c == '.') continue;
    if (taken == integer_digits) break;
    const unsigned d = static_cast<unsigned>(c - '0');
    if (magnitude > (max - d) / 10) return refuse();
    magnitude = magnitude * 10 + d;
    ++taken;
  }
  for (; taken < integer_digits; ++taken) {
    if (magnitude > max / 10) return refuse();
    magnitude *= 10;
  }

  const u128 limit = u128{1} << 127;
  if (negative) {
    if (magnitude > limit) return refuse();
    // -2^127 has no positive counterpart; negate in unsigned arithmetic.
    return static_cast<__int128>(u128{0} - magnitude);
  }
  if (magnitude >= limit) return refuse();
  return static_cast<__int128>(magnitude);
}

}  // namespace quarvel_storage
