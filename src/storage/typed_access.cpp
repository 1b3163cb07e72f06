// The pieces the View files share for their typed loops.
#include <cstring>

#include "storage/checked.h"
#include "storage/element.h"
#include "storage/view_detail.h"

namespace quarvel_storage::view_detail {

bool takes_typed_path(const View& view, LoopPath path) {
  return path == LoopPath::Typed && view.validate_raw_layout().has_value();
}

Strides broadcast_strides(const Shape& from, const Strides& from_strides, const Shape& to) {
  Strides out(to.size(), 0);
  const std::size_t lead = to.size() - from.size();
  for (std::size_t k = 0; k < from.size(); ++k)
    if (from[k] != 1) out[lead + k] = from_strides[k];
  return out;
}

Result<Buffer> staged_copy(const View& source, DType dtype, ByteOrder order) {
  auto guard = lock_for_reading(source);
  if (!guard) return fail(guard.error());
  auto base = source.element_base(*guard);
  if (!base) return fail(base.error());
  auto count = element_count(source.shape);
  if (!count) return fail(count.error());
  auto buffer = Buffer::uninitialized(dtype, order, *count);
  if (!buffer) return fail(buffer.error());
  auto strides = c_strides(dtype, source.shape);
  if (!strides) return fail(strides.error());
  const ConvertLoop convert = find_conversion(source.dtype, source.byte_order, dtype, order);
  for_each_row<2>(source.shape, {const_cast<std::uint8_t*>(*base), buffer->data.data()},
                  {source.strides.data(), strides->data()},
                  [&](const std::array<std::uint8_t*, 2>& p, const std::array<std::int64_t, 2>& s, std::uint64_t n) {
                    convert(p[0], s[0], p[1], s[1], n);
                  });
  return buffer;
}

Result<ElementBytes> encoded(const Scalar& value, DType dtype, ByteOrder order) {
  ElementBytes bytes{};
  return with_any_element_type(dtype, [&]<class T>(std::type_identity<T>) -> Result<ElementBytes> {
    auto element = element_from_scalar<T>(value);
    if (!element) return fail(element.error());
    store_element<T>(bytes.data(), *element, order);
    return bytes;
  });
}

namespace {

template <std::size_t Size>
void fill_sized(std::uint8_t* p, std::int64_t stride, std::uint64_t count, const std::uint8_t* pattern) {
  std::uint8_t local[Size];
  std::memcpy(local, pattern, Size);
  if (stride == static_cast<std::int64_t>(Size)) {  // the unit-stride form vectorises
    for (std::uint64_t i = 0; i < count; ++i) std::memcpy(p + i * Size, local, Size);
    return;
  }
  for (std::uint64_t i = 0; i < count; ++i, p += stride) std::memcpy(p, local, Size);
}

}  // namespace

void fill_run(std::uint8_t* p, std::int64_t stride, std::uint64_t count, const std::uint8_t* pattern,
              std::size_t itemsize) {
  if (stride == 0 && count > 0) count = 1;  // a broadcast target: one element, however often it is seen
  switch (itemsize) {
    case 1: return fill_sized<1>(p, stride, count, pattern);
    case 2: return fill_sized<2>(p, stride, count, pattern);
    case 4: return fill_sized<4>(p, stride, count, pattern);
    case 8: return fill_sized<8>(p, stride, count, pattern);
    case 16: return fill_sized<16>(p, stride, count, pattern);
    default: return fill_sized<32>(p, stride, count, pattern);
  }
}

}  // namespace quarvel_storage::view_detail
