// Typed strided loops: one ufunc operation over n elements of raw, native
// byte-order memory, with the bits and fault flags of the Scalar kernels and
// the typed classification, but no Scalar per element. A call looks its loop
// up once; the loop has no switch on the operation and allocates nothing.
#pragma once

#include <cstdint>
#include <span>

#include "kernels/element.h"
#include "kernels/ops.h"

namespace quarvel_kernels {

struct LoopResult {
  std::uint32_t faults = 0;  // OR of the classification flags of every computed element
  bool failed = false;       // the element kernel refused an element (it would return CannotConvert)
};

// One strided loop over n elements. args[0..nin) are the inputs,
// args[nin..nin+nout) the outputs, each advanced by its byte stride (0,
// negative or any multiple of the element size). Elements are of their loop
// dtype's C++ type in native byte order; bool is one byte (read as byte != 0,
// written 0 or 1), float16 its 16-bit pattern.
//
// With a mask (one byte per element, nonzero = selected, advanced by
// mask_stride), unselected elements are neither computed nor classified and
// their outputs not written. Element i is read, computed and written before
// element i+1 is read, so an output may be the very memory of an input, at
// the same position or another (a fold whose input 0 and output share one
// element with stride 0, an accumulation whose input 0 is its output one
// element back). On a refused element: failed, and the loop stops there
// (earlier elements' outputs written, later ones untouched).
using StridedLoop = LoopResult (*)(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n,
                                   const std::uint8_t* mask, std::int64_t mask_stride);

// The loop of `op` over these loop dtypes (inputs, then outputs): per element
// exactly the bits of unary/binary(op, inputs..., outputs[0]) and the flags
// of classify_errors on them (long double values as the Scalars of their
// text). Every loop that resolve_loop gives has one; null for any other
// combination (the element path then serves the call).
[[nodiscard]] StridedLoop find_strided_loop(Op op, std::span<const DType> inputs, std::span<const DType> outputs);

}  // namespace quarvel_kernels
