// The flat run (see flat_run.h).
#include "python/ufunc/flat_run.h"

namespace quarvel_python::ufunc {

std::optional<std::int64_t> flat_stride(const View& view, const Shape& shape) {
  if (shape.size() >= 2) {
    auto strides = quarvel_storage::c_strides(view.dtype, view.shape);
    if (!strides || *strides != view.strides) return std::nullopt;
  }
  if (held_count(view) == 1) return 0;
  if (view.shape != shape) return std::nullopt;
  return shape.size() == 1 ? view.strides[0] : static_cast<std::int64_t>(view.dtype.itemsize());
}

}  // namespace quarvel_python::ufunc
