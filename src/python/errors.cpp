#include "python/errors.h"

#include "python/error_tables.h"

namespace quarvel_python {

namespace {

PyObject* exception_type(ExceptionClass exception) {
  switch (exception) {
    case ExceptionClass::ValueError: return PyExc_ValueError;
    case ExceptionClass::MemoryError: return PyExc_MemoryError;
    case ExceptionClass::OverflowError: return PyExc_OverflowError;
    case ExceptionClass::IndexError: return PyExc_IndexError;
    case ExceptionClass::TypeError: return PyExc_TypeError;
    case ExceptionClass::RuntimeError: return PyExc_RuntimeError;
  }
  return PyExc_RuntimeError;
}

PyRef new_exception(PyObject* type, const char* text, Py_ssize_t size) {
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text, size));
  if (!message) return {};
  return PyRef::steal(PyObject_CallFunctionObjArgs(type, message.get(), nullptr));
}

// Stack level 1 of PyErr_WarnEx is the frame of the Python code that called
// into this module, which is the line a user wants to see.
constexpr Py_ssize_t warning_stack_level = 1;

}  // namespace

PyRef map_storage_error(const quarvel_storage::StorageError& error) {
  // Formatting the message allocates; callers need not be guarded.
  return guarded<PyRef>(PyRef(), [&] {
    const MappedError mapped = mapped_storage_error(error);
    return new_exception(exception_type(mapped.exception), mapped.text.data(),
                         static_cast<Py_ssize_t>(mapped.text.size()));
  });
}

PyObject* raise_exception(const PyRef& exception) {
  // A failure to build the exception has already set its own error.
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

PyObject* raise_storage_error(const quarvel_storage::StorageError& error) {
  return raise_exception(map_storage_error(error));
}

std::nullopt_t raise_error(PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  return std::nullopt;
}

PyObject* raise_null(PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  return nullptr;
}

bool raise_false(PyObject* type, const char* text) {
  PyErr_SetString(type, text);
  return false;
}

bool raise_text(PyObject* type, std::string_view text) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (message) PyErr_SetObject(type, message.get());
  return false;
}

bool raise_storage(const quarvel_storage::StorageError& error) {
  raise_storage_error(error);
  return false;
}

bool storage_ok(quarvel_storage::Result<void> result) { return result ? true : raise_storage(result.error()); }

PyRef python_int_range_error() {
  static constexpr char text[] = "Python int is outside the requested dtype range";
  return new_exception(PyExc_OverflowError, text, sizeof text - 1);
}

bool emit_complex_warning() {
  // Looked up at each warning, so replacing quarvel.ComplexWarning takes effect.
  PyRef package = PyRef::steal(PyImport_ImportModule("quarvel"));
  if (!package) return false;
  PyRef category = PyRef::steal(PyObject_GetAttrString(package.get(), "ComplexWarning"));
  if (!category) return false;
  if (!PyType_Check(category.get())) {
    PyErr_SetString(PyExc_TypeError, "quarvel.ComplexWarning must be a warning class");
    return false;
  }
  return PyErr_WarnEx(category.get(), "Casting complex values to real discards the imaginary part",
                      warning_stack_level) == 0;
}

bool emit_runtime_warning(const char* text) {
  return PyErr_WarnEx(PyExc_RuntimeWarning, text, warning_stack_level) == 0;
}

bool emit_cast_overflow_warning() { return emit_runtime_warning("overflow encountered in cast"); }

bool warn_scalar_cast_overflow(const quarvel_storage::Scalar& value, quarvel_storage::DType target) {
  // Reading long double text allocates.
  const int overflows = guarded<int>(-1, [&] { return cast_overflows(value, target) ? 1 : 0; });
  if (overflows < 0) return false;
  return overflows == 0 || emit_cast_overflow_warning();
}

PyObject* internal_fault_class() {
  // Process-lifetime, like the module's classes.
  static PyObject* fault_class = nullptr;
  if (!fault_class) fault_class = PyErr_NewException("quarvel.InternalFault", PyExc_BaseException, nullptr);
  return fault_class;
}

PyObject* raise_internal_fault(const char* description) {
  PyObject* fault_class = internal_fault_class();
  if (fault_class) PyErr_SetString(fault_class, description);
  return nullptr;
}

}  // namespace quarvel_python
