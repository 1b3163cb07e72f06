// The neighbour of a toward b in the precision of a dtype (float16, float32,
// else float64), returned as a double. Used by nextafter and spacing.
#pragma once

#include "kernels/element.h"
#include "storage/dtype.h"

namespace quarvel_kernels {

double next_after_dtype(DType dtype, double a, double b);

}  // namespace quarvel_kernels
