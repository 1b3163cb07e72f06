#include "storage/dtype.h"

namespace quarvel_storage {

unsigned max_integer_bits(DType a, DType b) {
  const unsigned wa = a.integer_bits(), wb = b.integer_bits();
  return wa > wb ? wa : wb;
}

DType promote_integer(DType a, DType b) { return dtype_detail::promote_integer(a, b); }

}  // namespace quarvel_storage
