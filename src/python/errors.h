// Storage errors as Python exceptions, the one-line raises of every error
// path, the cast warnings, and the boundary that turns a C++ fault into the
// internal-fault exception.
//
// Conventions: functions returning PyRef give a new exception object (not
// raised); functions returning bool give false with the Python error set.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "python/py_ref.h"
#include "storage/dtype.h"
#include "storage/scalar.h"
#include "storage/storage_error.h"

namespace quarvel_python {

// Every raising helper is cold: the compiler moves the error paths that end
// in one (and the message text they build) out of the hot code beside them.

// The exception for a storage error: its class and text by kind.
PyRef map_storage_error(const quarvel_storage::StorageError& error);
// Raises it; always returns null so callers can `return raise_storage_error(e);`.
[[gnu::cold]] PyObject* raise_storage_error(const quarvel_storage::StorageError& error);
// Raises an exception object made by one of the functions here.
[[gnu::cold]] PyObject* raise_exception(const PyRef& exception);

// Set the error and return the failure value of the caller's convention.
[[gnu::cold]] std::nullopt_t raise_error(PyObject* type, const char* text);
[[gnu::cold]] PyObject* raise_null(PyObject* type, const char* text);
[[gnu::cold]] bool raise_false(PyObject* type, const char* text);
// For messages that echo a user's text: the whole UTF-8 text, NUL included.
[[gnu::cold]] bool raise_text(PyObject* type, std::string_view text);

// Raises a storage error as its Python exception; always returns false.
[[gnu::cold]] bool raise_storage(const quarvel_storage::StorageError& error);

// Unwraps a storage result or raises its error.
template <class T>
std::optional<T> storage_value(quarvel_storage::Result<T> result);
bool storage_ok(quarvel_storage::Result<void> result);

// OverflowError "Python int is outside the requested dtype range" (not raised).
PyRef python_int_range_error();

// The warnings. Each is issued at the Python line that called into quarvel;
// under an error filter it returns false with the warning's exception set, and
// the caller must stop the operation.
[[nodiscard]] bool emit_complex_warning();
[[nodiscard]] bool emit_runtime_warning(const char* text);
[[nodiscard]] bool emit_cast_overflow_warning();
// Warns "overflow encountered in cast" when casting `value` to float16,
// float32 or complex64 turns a finite part infinite.
[[nodiscard]] bool warn_scalar_cast_overflow(const quarvel_storage::Scalar& value, quarvel_storage::DType target);

// The internal-fault class: a BaseException subclass created once per process
// and never added to the module. Borrowed; null with an error set on failure.
PyObject* internal_fault_class();
// Raises an internal fault carrying `description`; returns null.
[[gnu::cold]] PyObject* raise_internal_fault(const char* description);

// Runs `body` so that no C++ exception reaches the interpreter: bad_alloc
// becomes MemoryError, anything else an internal fault; then returns `failure`.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("unidentified internal fault");
  }
  return failure;
}

// -----------------------------------------------------------------------------

template <class T>
std::optional<T> storage_value(quarvel_storage::Result<T> result) {
  if (!result) {
    raise_storage(result.error());
    return std::nullopt;
  }
  return std::move(*result);
}

}  // namespace quarvel_python
