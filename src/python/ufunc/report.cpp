#include "python/ufunc/report.h"

#include <string>

#include "python/errors.h"
#include "python/py_ref.h"
#include "python/ufunc/error_policy.h"

namespace quarvel_python::ufunc {

namespace {

constexpr std::uint32_t any_fault = 0x01010101;
constexpr char callback_required[] = "floating point error mode requires a callback";

// "Warning: {message}\n" through the writer's own write method.
bool write_line(PyObject* writer, const std::string& message) {
  const std::string line = "Warning: " + message + "\n";
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size())));
  if (!text) return false;
  return static_cast<bool>(PyRef::steal(PyObject_CallMethod(writer, "write", "O", text.get())));
}

bool print_line(const std::string& message) {
  PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
  if (!sys) return false;
  PyRef stream = PyRef::steal(PyObject_GetAttrString(sys.get(), "stderr"));
  return stream && write_line(stream.get(), message);
}

bool act(ErrorMode mode, const ErrorCategory& category, const std::string& message, PyObject* errcall, int mask) {
  switch (mode) {
    case ErrorMode::Ignore: return true;
    case ErrorMode::Warn: return emit_runtime_warning(message.c_str());
    case ErrorMode::Raise: return raise_false(PyExc_FloatingPointError, message.c_str());
    case ErrorMode::Call:
      if (!errcall) return raise_false(PyExc_RuntimeError, callback_required);
      return static_cast<bool>(PyRef::steal(PyObject_CallFunction(errcall, "si", category.text, mask)));
    case ErrorMode::Print: return print_line(message);
    case ErrorMode::Log:
      if (!errcall) return raise_false(PyExc_RuntimeError, callback_required);
      return write_line(errcall, message);
  }
  return true;
}

bool report_faults(std::string_view name, std::uint32_t flags) {
  // The policy is read once: what a callback or warning hook changes applies
  // to the next report. The tuple keeps the errcall alive meanwhile.
  auto policy = current_policy(false);
  if (!policy) return false;
  int mask = 0;
  for (const ErrorCategory& category : error_categories)
    if (flags & category.flag) mask |= category.bit;
  for (int c = 0; c < error_category_count; ++c) {
    const ErrorCategory& category = error_categories[c];
    const ErrorMode mode = policy->state.modes[c];
    if (!(flags & category.flag) || mode == ErrorMode::Ignore) continue;
    const std::string message = std::string(category.text) + " encountered in " + std::string(name);
    if (!act(mode, category, message, policy->errcall, mask)) return false;
  }
  return true;
}

}  // namespace

bool report_errors(std::string_view name, std::uint32_t flags) {
  if (!(flags & any_fault)) return true;  // the common case: the policy is not read
  return guarded<bool>(false, [&] { return report_faults(name, flags); });
}

}  // namespace quarvel_python::ufunc
