// Python subscript keys to storage IndexItems.
//
// Ellipsis is expanded here into full slices; the storage core never sees it.
// The same parser serves subscript reads, subscript assignment and ufunc `at`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "storage/indexing.h"
#include "storage/view.h"

namespace quarvel_python {

struct ParsedIndex {
  std::vector<quarvel_storage::IndexItem> items;
  // The key names exactly one element by integers alone.
  bool scalar = false;

  bool is_basic() const;
};

// nullopt with a Python error set when the key is refused.
std::optional<ParsedIndex> parse_indices(const quarvel_storage::View& view, PyObject* key);

// A signed index from an integer Scalar; IndexError for other dtypes. uint64
// values above the signed range clamp to 2^63 - 1, which no axis can hold, so
// they are reported out of bounds instead of wrapping to a negative index.
std::optional<std::int64_t> scalar_to_isize(const quarvel_storage::Scalar& scalar);

// The axes of Array.transpose from a tuple or list.
std::optional<std::vector<std::int64_t>> parse_axes(PyObject* object);

}  // namespace quarvel_python
