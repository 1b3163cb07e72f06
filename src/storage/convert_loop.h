// Typed conversion loops between the fixed-width dtypes.
//
// A loop converts n elements of dtype `from` stored under byte order
// `from_order` into dtype `to` stored under `to_order`, each side advanced by
// its own byte stride (any sign). Its result is bit for bit what decode ->
// Scalar::cast -> encode gives: both run the element rules of cast.h and the
// codec of element.h. Source and destination must not overlap unless they are
// the same elements with the same stride and itemsize.
#pragma once

#include <cstdint>

#include "storage/dtype.h"

namespace quarvel_storage {

using ConvertLoop = void (*)(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                             std::int64_t dst_stride, std::uint64_t n);

// Null when either side is long double or complex long double (those keep
// their text path).
ConvertLoop find_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order);

// The same conversion, returning whether any element's cast is invalid
// (integer_cast_is_invalid of cast.h): one pass where a scan before the
// conversion would be a second. Only from float16, float32, float64,
// complex64 or complex128 to an integer dtype (not bool); null otherwise.
using NotingConvertLoop = bool (*)(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                                   std::int64_t dst_stride, std::uint64_t n);
NotingConvertLoop find_conversion_noting_invalid(DType from, ByteOrder from_order, DType to, ByteOrder to_order);

// The same conversion, returning whether a finite part of any value became
// infinite (cast_overflowed of cast.h): the overflow of a cast to float16,
// float32 or complex64. Only from the fixed-width sources that can overflow
// the target (float16: floats, complex values and integers reaching 65520;
// float32 and complex64: float64 and complex128); null otherwise.
NotingConvertLoop find_conversion_noting_overflow(DType from, ByteOrder from_order, DType to, ByteOrder to_order);
// Whether that loop exists for these dtypes (whatever their byte orders).
bool cast_may_overflow(DType from, DType to);

}  // namespace quarvel_storage
