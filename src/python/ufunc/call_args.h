// The arguments of a ufunc call and of outer: keywords, outputs, broadcasting,
// the `where` mask and the layout of new outputs.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/py_ref.h"
#include "python/ufunc/casting.h"
#include "python/ufunc/operand.h"
#include "storage/small_vector.h"

namespace quarvel_python::ufunc {

// Null means absent. Keyword values are held by a reference of their own:
// user code that runs during a call (a dtype's __str__, a warning filter)
// may change the dict they came from.
struct CallArguments {
  PyObject* out = nullptr;        // None included
  PyObject* where = nullptr;      // None included
  CastingRule casting = CastingRule::SameKind;
  char order = 'K';
  PyObject* dtype = nullptr;      // None counts as absent
  PyObject* signature = nullptr;  // from `signature` or `sig`; None counts as absent
  PyRef out_holder;               // a tuple of Nones made for a positional None
  std::array<PyRef, 4> kept;      // out, where, dtype, signature

  void keep_out(PyObject* value) { kept[0] = PyRef::borrow(out = value); }
  void keep_where(PyObject* value) { kept[1] = PyRef::borrow(where = value); }
  void keep_dtype(PyObject* value) { kept[2] = PyRef::borrow(dtype = value); }
  void keep_signature(PyObject* value) { kept[3] = PyRef::borrow(signature = value); }
};

// The checks of a call before its operands are converted: positional count,
// keywords, positional output, the `where` warning, casting, order, subok.
// `args` holds the first min(given, nin + 1) of the `given` positional arguments.
std::optional<CallArguments> parse_call_arguments(std::string_view name, std::size_t nin, std::size_t nout,
                                                  PyObject* const* args, std::size_t given, PyObject* kwargs);

// The keywords of outer, each value checked when the dictionary walk meets it.
std::optional<CallArguments> parse_outer_keywords(PyObject* kwargs);

// TypeError "unexpected keyword argument '{key}'" for the first key not allowed,
// prefixed by "{function}() got an " when a function name is given; a key that
// is not text fails with the text conversion's TypeError.
bool ensure_known_method_kwargs(PyObject* kwargs, std::span<const std::string_view> allowed,
                                std::string_view function = {});

// The UserWarning of a `where` mask without an output; false when it is an error.
bool warn_where_without_out();

// An `order` keyword value: one of C, F, A, K.
std::optional<char> parse_order(PyObject* value);
// A `subok` keyword value: exactly True or False.
bool check_subok(PyObject* value);

// The broadcast of two shapes, or ValueError "operands could not be broadcast
// together with shapes {a} {b}".
std::optional<Shape> broadcast_shape(const Shape& a, const Shape& b);
// The product of the dimensions, or ValueError "array shape exceeds supported limits".
std::optional<std::uint64_t> element_count(const Shape& shape);

// `out` as one entry per output (null for None entries); an empty list when
// absent or None.
using OutputList = quarvel_storage::FixedVector<PyObject*, 2>;
std::optional<OutputList> parse_outputs(PyObject* out, std::size_t nout);

// The mask of `where`: converted, of bool dtype ("where must be a boolean array
// or scalar") and broadcastable to exactly the output shape; `outer_text` picks
// outer's wording of the shape message. Made in `mask`; false with the error set.
bool convert_mask(PyObject* where, const Shape& output_shape, bool outer_text, std::optional<Operand>& mask);

// The strides of a new output of `shape` in the layout `order` selects (C, F,
// A or K), the operands' layouts deciding A and K; each operand's axes may be
// first widened to the output's dimension count, later operands starting at
// `axis_offsets[i]` (outer). Nullopt with the error set.
struct OperandPlacement {
  std::span<const Operand> operands;
  std::span<const std::size_t> axis_offsets;  // empty: the operands' own views, unchanged
};
std::optional<quarvel_storage::Strides> output_strides(DType dtype, const Shape& shape, char order,
                                                       const OperandPlacement& placement);

// "[2, 3]".
std::string shape_list(const Shape& shape);

}  // namespace quarvel_python::ufunc
