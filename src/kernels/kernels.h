// Element kernels: one ufunc operation on scalar values of any dtype.
//
// Callers resolve a name to an Op once per call (ops.h) and call the Op forms
// per element; the name forms are thin conveniences over them. Results come
// back in a fixed two-slot container, so a kernel call never allocates (long
// double text aside). The only error is CannotConvert.
#pragma once

#include <cstddef>
#include <string_view>

#include "kernels/element.h"
#include "kernels/ops.h"
#include "storage/scalar.h"

namespace quarvel_kernels {

// One result per ufunc output: two for modf, frexp and divmod, else one.
class KernelOutputs {
 public:
  KernelOutputs() = default;
  explicit KernelOutputs(Scalar first) : values_{std::move(first), Scalar()}, count_(1) {}
  KernelOutputs(Scalar first, Scalar second) : values_{std::move(first), std::move(second)}, count_(2) {}

  std::size_t size() const { return count_; }
  const Scalar& operator[](std::size_t i) const { return values_[i]; }
  Scalar& operator[](std::size_t i) { return values_[i]; }
  const Scalar* begin() const { return values_; }
  const Scalar* end() const { return values_ + count_; }

 private:
  Scalar values_[2];
  std::size_t count_ = 0;
};

Result<KernelOutputs> unary(Op op, const Scalar& input, DType output);
Result<KernelOutputs> binary(Op op, const Scalar& a, const Scalar& b, DType output);

// By name: canonical names and the alias spellings; anything else is CannotConvert.
Result<KernelOutputs> unary(std::string_view name, const Scalar& input, DType output);
Result<KernelOutputs> binary(std::string_view name, const Scalar& a, const Scalar& b, DType output);

}  // namespace quarvel_kernels
