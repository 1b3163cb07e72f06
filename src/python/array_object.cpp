// quarvel.Array and quarvel.ArrayFlags: the objects, attributes, len and repr.
#include "python/array_object.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/module.h"
#include "python/py_ref.h"
#include "python/scalar_object.h"
#include "python/type_support.h"

namespace quarvel_python {

using quarvel_storage::DType;
using quarvel_storage::View;

namespace {

struct PyArrayFlags {
  PyObject_HEAD
  bool c_contiguous;
  bool f_contiguous;
  bool writeable;
};

PyArrayFlags* as_flags(PyObject* object) { return reinterpret_cast<PyArrayFlags*>(object); }

PyObject* py_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

template <class Int, std::size_t N>
PyObject* int_tuple(const quarvel_storage::SmallVector<Int, N>& values) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* item = std::is_signed_v<Int> ? PyLong_FromLongLong(static_cast<long long>(values[i]))
                                           : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(values[i]));
    if (!item) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// --- Array ------------------------------------------------------------------

// The C++ members are built in place after the allocation and destroyed
// before the memory goes back.
void Array_dealloc(PyObject* self) {
  PyArray* array = as_array(self);
  array->view.~View();
  array->alias.~optional();
  free_instance(self);
}

const View& view_of(PyObject* self) { return as_array(self)->view; }

// Getters build their result on every access; none takes the buffer's lock.
PyObject* shape(PyObject* self) { return int_tuple(view_of(self).shape); }
PyObject* strides(PyObject* self) { return int_tuple(view_of(self).strides); }
PyObject* ndim(PyObject* self) { return PyLong_FromSize_t(view_of(self).ndim()); }
PyObject* itemsize(PyObject* self) { return PyLong_FromSize_t(view_of(self).dtype.itemsize()); }
PyObject* writeable(PyObject*) { return py_bool(true); }
PyObject* c_contiguous(PyObject* self) { return py_bool(view_of(self).is_c_contiguous()); }
PyObject* f_contiguous(PyObject* self) { return py_bool(view_of(self).is_f_contiguous()); }

PyObject* size(PyObject* self) {
  auto count = storage_value(view_of(self).size());
  return count ? PyLong_FromUnsignedLongLong(*count) : nullptr;
}

PyObject* nbytes(PyObject* self) {
  const View& view = view_of(self);
  auto count = storage_value(view.size());
  if (!count) return nullptr;
  std::uint64_t bytes = 0;
  if (__builtin_mul_overflow(*count, static_cast<std::uint64_t>(view.dtype.itemsize()), &bytes) ||
      bytes > static_cast<std::uint64_t>(INT64_MAX))
    return raise_storage_error(quarvel_storage::StorageError(quarvel_storage::ErrorKind::LayoutOverflow));
  return PyLong_FromUnsignedLongLong(bytes);
}

PyObject* flags(PyObject* self) {
  PyTypeObject* type = array_flags_type();
  if (!type) return nullptr;
  PyObject* snapshot = allocate_instance(type);
  if (!snapshot) return nullptr;
  as_flags(snapshot)->c_contiguous = view_of(self).is_c_contiguous();
  as_flags(snapshot)->f_contiguous = view_of(self).is_f_contiguous();
  as_flags(snapshot)->writeable = true;
  return snapshot;
}

PyObject* dtype(PyObject* self) {
  const View& view = view_of(self);
  return new_dtype_object(view.dtype, view.byte_order, as_array(self)->alias).release();
}

PyObject* transposed(PyObject* self) {
  auto view = storage_value(view_of(self).transpose(std::nullopt));
  if (!view) return nullptr;
  return new_array_object(std::move(*view), as_array(self)->alias);
}

Py_ssize_t Array_length(PyObject* self) {
  const View& view = view_of(self);
  if (view.ndim() == 0) {
    PyErr_SetString(PyExc_TypeError, "len() of unsized object");
    return -1;
  }
  if (view.shape[0] > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetNone(PyExc_OverflowError);
    return -1;
  }
  return static_cast<Py_ssize_t>(view.shape[0]);
}

PyObject* Array_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] {
    const View& view = view_of(self);
    const char order = view.dtype.code <= DType::UInt8 ? '|' : quarvel_storage::byte_order_char(view.byte_order);
    std::string text = "quarvel.Array(shape=" + shape_text(view.shape) + ", dtype=quarvel.DType('";
    if (order == '<' || order == '>') text += order;
    text += view.dtype.name();
    text += "'))";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyGetSetDef array_getset[] = {
    {"shape", getter<shape>, nullptr, "The length of each dimension, as a tuple.", nullptr},
    {"ndim", getter<ndim>, nullptr, "The number of dimensions.", nullptr},
    {"size", getter<size>, nullptr, "The number of elements.", nullptr},
    {"itemsize", getter<itemsize>, nullptr, "Size of one element in bytes.", nullptr},
    {"nbytes", getter<nbytes>, nullptr, "Bytes the elements take: size times itemsize.", nullptr},
    {"writeable", getter<writeable>, nullptr, "Whether elements may be assigned (always True).", nullptr},
    {"flags", getter<flags>, nullptr, "A snapshot of the layout flags.", nullptr},
    {"strides", getter<strides>, nullptr, "Bytes to step along each dimension, as a tuple.", nullptr},
    {"dtype", getter<dtype>, nullptr, "The element type.", nullptr},
    {"c_contiguous", getter<c_contiguous>, nullptr, "Whether the elements lie in row-major order without gaps.",
     nullptr},
    {"f_contiguous", getter<f_contiguous>, nullptr,
     "Whether the elements lie in column-major order without gaps.", nullptr},
    {"T", getter<transposed>, nullptr, "A view with the axes reversed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// a[i], a[i, j, ...]: one plain int per axis, each within its axis, reads
// the element itself without parsing a key or making a view. Anything else
// (and any index out of range, which the parser words) goes the whole way.
std::optional<PyObject*> element_by_integers(PyObject* self, PyObject* key) {
  const View& view = view_of(self);
  const bool one = PyLong_CheckExact(key);
  if (!one && !PyTuple_CheckExact(key)) return std::nullopt;
  const std::size_t count = one ? 1 : static_cast<std::size_t>(PyTuple_Size(key));
  if (count != view.ndim()) return std::nullopt;
  quarvel_storage::Coordinates coordinates(count, 0);
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* item = one ? key : PyTuple_GetItem(key, static_cast<Py_ssize_t>(k));
    if (!PyLong_CheckExact(item)) return std::nullopt;
    int overflow = 0;
    long long index = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0) return std::nullopt;
    const std::uint64_t length = view.shape[k];
    if (index < 0) index += static_cast<long long>(std::min<std::uint64_t>(length, INT64_MAX));
    if (index < 0 || static_cast<std::uint64_t>(index) >= length) return std::nullopt;
    coordinates[k] = static_cast<std::uint64_t>(index);
  }
  auto value = storage_value(view.read_at(coordinates));
  if (!value) return nullptr;
  return scalar_to_python(*value, as_array(self)->alias).release();
}

PyObject* Array_subscript_slot(PyObject* self, PyObject* key) {
  return guarded<PyObject*>(nullptr, [&] {
    if (auto element = element_by_integers(self, key)) return *element;
    return Array_subscript(self, key);
  });
}

int Array_ass_subscript_slot(PyObject* self, PyObject* key, PyObject* value) {
  return guarded<int>(-1, [&] { return Array_ass_subscript(self, key, value); });
}

const PyType_Slot array_own_slots[] = {
    {Py_tp_dealloc, slot(Array_dealloc)},
    {Py_tp_repr, slot(Array_repr)},
    // Comparisons are elementwise, so the class is unhashable.
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_getset, array_getset},
    {Py_tp_methods, array_methods},
    {Py_mp_length, slot(Array_length)},
    {Py_mp_subscript, slot(Array_subscript_slot)},
    {Py_mp_ass_subscript, slot(Array_ass_subscript_slot)},
};

// The class's own slots followed by its operators (array_operators.cpp).
PyType_Slot* array_slots() {
  static std::vector<PyType_Slot> table = [] {
    std::vector<PyType_Slot> all(std::begin(array_own_slots), std::end(array_own_slots));
    const std::span<const PyType_Slot> operators = array_operator_slots();
    all.insert(all.end(), operators.begin(), operators.end());
    all.push_back({0, nullptr});
    return all;
  }();
  return table.data();
}

PyType_Spec array_spec = {
    "quarvel.Array", sizeof(PyArray), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, nullptr,
};

// --- ArrayFlags ---------------------------------------------------------------

PyObject* ArrayFlags_get_c(PyObject* self, void*) { return py_bool(as_flags(self)->c_contiguous); }
PyObject* ArrayFlags_get_f(PyObject* self, void*) { return py_bool(as_flags(self)->f_contiguous); }
PyObject* ArrayFlags_get_w(PyObject* self, void*) { return py_bool(as_flags(self)->writeable); }

PyObject* ArrayFlags_subscript(PyObject* self, PyObject* key) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyUnicode_Check(key)) {
      raise_argument_type_error("key", "str", key);
      return nullptr;
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
    if (!utf8) {
      // Text that is not valid UTF-8 names no flag.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) return nullptr;
      PyErr_Clear();
    } else {
      std::string upper(utf8, static_cast<std::size_t>(length));
      for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      const PyArrayFlags* flags = as_flags(self);
      if (upper == "C" || upper == "C_CONTIGUOUS") return py_bool(flags->c_contiguous);
      if (upper == "F" || upper == "F_CONTIGUOUS") return py_bool(flags->f_contiguous);
      if (upper == "W" || upper == "WRITEABLE") return py_bool(flags->writeable);
    }
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

PyObject* ArrayFlags_repr(PyObject* self) {
  const PyArrayFlags* flags = as_flags(self);
  auto word = [](bool value) { return value ? "true" : "false"; };
  return PyUnicode_FromFormat("quarvel.ArrayFlags(c_contiguous=%s, f_contiguous=%s, writeable=%s)",
                              word(flags->c_contiguous), word(flags->f_contiguous), word(flags->writeable));
}

PyGetSetDef array_flags_getset[] = {
    {"c_contiguous", ArrayFlags_get_c, nullptr, "Whether the elements lie in row-major order without gaps.",
     nullptr},
    {"f_contiguous", ArrayFlags_get_f, nullptr, "Whether the elements lie in column-major order without gaps.",
     nullptr},
    {"writeable", ArrayFlags_get_w, nullptr, "Whether elements may be assigned (always True).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot array_flags_slots[] = {
    {Py_tp_doc, const_cast<char*>("A snapshot of an array's layout flags, also read by key: 'C', 'F', 'W' or the "
                                  "attribute names.")},
    {Py_tp_dealloc, slot(free_instance)},
    {Py_tp_repr, slot(ArrayFlags_repr)},
    {Py_tp_getset, array_flags_getset},
    {Py_mp_subscript, slot(ArrayFlags_subscript)},
    {0, nullptr},
};

PyType_Spec array_flags_spec = {
    "quarvel.ArrayFlags", sizeof(PyArrayFlags), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, array_flags_slots,
};

PyTypeObject* array_type_cell = nullptr;
PyTypeObject* array_flags_type_cell = nullptr;

}  // namespace

PyTypeObject* array_type() {
  array_spec.slots = array_slots();
  return cached_type(array_type_cell, array_spec);
}
PyTypeObject* array_flags_type() { return cached_type(array_flags_type_cell, array_flags_spec); }

bool is_array(PyObject* object) {
  return array_type_cell && Py_TYPE(object) == array_type_cell;
}

PyObject* new_array_object(View view, std::optional<ScalarAlias> alias) {
  // Views may gain axes (new axes, stacked arrays) past the 64 every other
  // entry point allows; no Array is made with more.
  if (view.ndim() > quarvel_storage::max_dimensions)
    return raise_storage_error(quarvel_storage::StorageError(quarvel_storage::ErrorKind::LayoutOverflow));
  PyTypeObject* type = array_type();
  if (!type) return nullptr;
  PyObject* object = allocate_instance(type);
  if (!object) return nullptr;
  PyArray* array = as_array(object);
  new (&array->view) View(std::move(view));
  new (&array->alias) std::optional<ScalarAlias>(alias);
  return object;
}

int add_array_classes(PyObject* module) {
  if (add_class(module, array_type()) < 0) return -1;
  return add_class(module, array_flags_type());
}

}  // namespace quarvel_python
