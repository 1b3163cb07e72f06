// The one report of an operation's floating-point faults under the policy of
// the current context: a warning, FloatingPointError, a callback, a line on
// sys.stderr or a line to a writer, at most once per category, in the order
// divide, over, under, invalid. The first exception ends the report; what the
// earlier categories did stands.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarvel_python::ufunc {

// Reports the collected faults of one operation under the current policy.
// flags: divide 0x1, over 0x100, under 0x10000, invalid 0x1000000 (bytes 0..3).
// Returns false with the Python exception set when the policy raises or fails.
[[nodiscard]] bool report_errors(std::string_view name, std::uint32_t flags);

}  // namespace quarvel_python::ufunc
