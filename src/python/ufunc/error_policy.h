// The floating-point error policy and where it lives.
//
// The policy of the current context is one immutable tuple held in the
// context variable quarvel._ERROR_CONTEXT:
//
//   (divide, over, under, invalid,   # mode names: "ignore" "warn" "raise" "call" "print" "log"
//    errcall,                        # the callback or writer, or None
//    stack)                          # saved (divide, over, under, invalid, errcall), newest last
//
// A context that never set a value reads ("warn", "warn", "ignore", "warn",
// None, ()). Every change sets a new tuple, so threads and asynchronous tasks
// each keep their own policy. A tuple read back is interpreted, not trusted:
// each item is checked only when it is needed.
//
// Every function here returns null / nullopt / false with the Python error
// set, and leaves the variable unchanged when it fails.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "python/py_ref.h"

namespace quarvel_python::ufunc {

enum class ErrorMode : std::uint8_t { Ignore, Warn, Raise, Call, Print, Log };

inline constexpr std::array<std::string_view, 6> error_mode_names = {"ignore", "warn", "raise", "call", "print", "log"};

// The four fault categories, in the order every table and report walks them.
struct ErrorCategory {
  const char* name;  // the keyword and the dict key
  const char* text;  // in messages: "{text} encountered in {ufunc}"
  std::uint32_t flag;  // its byte in an operation's fault flags
  int bit;             // its bit in the mask an errcall receives
};
inline constexpr int error_category_count = 4;
inline constexpr std::array<ErrorCategory, error_category_count> error_categories = {{
    {"divide", "divide by zero", 0x1, 1},
    {"over", "overflow", 0x100, 2},
    {"under", "underflow", 0x10000, 4},
    {"invalid", "invalid value", 0x1000000, 8},
}};

// A complete policy: one mode per category.
struct ErrorState {
  std::array<ErrorMode, error_category_count> modes;
  bool operator==(const ErrorState&) const = default;
};
inline constexpr ErrorState default_error_state = {{ErrorMode::Warn, ErrorMode::Warn, ErrorMode::Ignore, ErrorMode::Warn}};

// A requested change: the categories without a mode keep the one in force.
struct ErrorOverrides {
  std::array<std::optional<ErrorMode>, error_category_count> modes;

  // From the texts of all, divide, over, under and invalid (each a str or
  // null), parsed in that order; a category's own text wins over all's.
  static std::optional<ErrorOverrides> parse(std::span<PyObject* const, 5> texts);
  ErrorState applied_to(const ErrorState& state) const;
};

// A mode name, exactly: ValueError "invalid error mode {quoted}; expected
// ignore, warn, raise, call, print, or log" otherwise.
std::optional<ErrorMode> parse_error_mode(PyObject* text);

// What entering a policy does with the errcall: null keeps the one in force,
// None clears it, any other object is installed. Borrowed.
using CallChange = PyObject*;

// The variable made at registration (kept): while the module attribute is
// that very object, reading it asks for a default instead of catching the
// LookupError of an empty context.
void remember_error_context_variable(PyObject* variable);

// The current tuple (a new reference), the default one when the context has none.
PyRef current_error_context();
// A new tuple of fresh mode names, the errcall (null or None: none) and `stack` itself.
PyRef make_error_context(const ErrorState& state, PyObject* errcall, PyObject* stack);
// Stores make_error_context(state, errcall, stack) as the current value.
[[nodiscard]] bool set_error_context(const ErrorState& state, PyObject* errcall, PyObject* stack);

// Items 0 to 3 of a context tuple or saved state, parsed.
std::optional<ErrorState> error_state_from_context(PyObject* context);
// Item 4: the errcall (borrowed), or null for None; nullopt when the tuple is too short.
std::optional<PyObject*> error_call_from_context(PyObject* context);
// Item 5, which must be a tuple (borrowed).
PyObject* error_stack_from_context(PyObject* context);

// The current tuple read as a policy. The tuple owns the borrowed errcall and
// stack; the stack (item 5, a tuple) is read only when asked for.
struct CurrentPolicy {
  PyRef context;
  ErrorState state;
  PyObject* errcall;  // null for none
  PyObject* stack;    // null unless asked for
};
std::optional<CurrentPolicy> current_policy(bool with_stack);

// Push the current policy and install the changed one; pop and reinstall the
// newest saved policy (nothing to do on an empty stack).
[[nodiscard]] bool enter_error_state(const ErrorOverrides& overrides, CallChange call_change);
[[nodiscard]] bool exit_error_state();

// {"divide": ..., "over": ..., "under": ..., "invalid": ...}, keys in that order.
PyRef error_state_dict(const ErrorState& state);

}  // namespace quarvel_python::ufunc
