// Text of a binary float as the scalar classes show it: the shortest digits
// that read back to the same value at its own precision, laid out
// positionally ("1.0", "0.0001", "-0.0") or, for a nonzero magnitude below
// 1e-4 or from 1e16 on, in exponent form ("1e16", "1.5e-5"); "NaN", "inf".
// The bounds apply to the stored value, not to its digits: the float32
// nearest 1e-4 lies below it and so prints as "1e-4". No Python here.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace quarvel_python {

template <class F>
std::string float_text(F value) {
  if (std::isnan(value)) return "NaN";
  std::string out = std::signbit(value) ? "-" : "";
  if (std::isinf(value)) return out + "inf";
  // Shortest round-trip digits at F's precision, as d[.ddd]e[+-]xx.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
  const std::string scientific(buffer, result.ptr);
  const std::size_t e_at = scientific.find('e');
  std::string digits = scientific.substr(0, e_at);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the point
  const int exponent = std::atoi(scientific.c_str() + e_at + 1);

  // Both bounds compared in double: 1e16 is exact there, and no double lies
  // between 1e-4 and the double nearest it, so each test is exact for every F.
  const double magnitude = std::fabs(static_cast<double>(value));
  if (value != 0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    return out + "e" + std::to_string(exponent);
  }
  if (exponent < 0) return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integer_digits) return out + digits + std::string(integer_digits - digits.size(), '0') + ".0";
  return out + digits.substr(0, integer_digits) + "." + digits.substr(integer_digits);
}

}  // namespace quarvel_python
