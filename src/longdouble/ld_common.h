// Internal helpers shared by the quarvel_ld_* routines: locale-independent
// parsing and printing of extended values, and the wrapper plumbing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quarvel_longdouble::detail {

inline constexpr std::size_t wrapper_buffer_size = 128;

// Parses text consumed whole by strtold in the C locale. False for null or
// partially consumed text, and when the C locale object cannot be made.
bool parse(const char* text, long double* value);

// Prints "%.*Lg" at precision 21 in the C locale. True when out is non-null,
// capacity nonzero and the text fits with its NUL (a short buffer keeps the
// truncated text); false, out untouched, when the C locale cannot be made.
bool print(long double value, char* out, std::size_t capacity);

// A NUL-terminated copy, or absent when the text holds a NUL byte.
std::optional<std::string> c_text(std::string_view text);

// The text up to the first NUL of a wrapper result buffer.
std::string from_buffer(const char* buffer);

}  // namespace quarvel_longdouble::detail
