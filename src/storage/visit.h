// Reading every element of a view as a value, without a list of Scalars.
//
//   visit_elements(view, path, [&](const auto& value) -> bool { ...; return keep_going; });
//
// `value` is the element type of the view's dtype (element.h) on the typed
// path, a Scalar on the element path; the visitor takes both. Elements come in C order under one read lock, which is held
// while the visitor runs: it must not run Python code or take another lock.
// Returning false stops the walk.
//
//   any_element(view, path, [&](const auto& value) -> bool { ... })
//
// asks whether a test holds for some element. On the typed path it tests
// every element of a run before looking at the answer, so the test must have
// no effects; it stops after the first run with a hit. any_stored does the
// same on the elements' stored bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "storage/element.h"
#include "storage/traverse.h"
#include "storage/view.h"

namespace quarvel_storage {

namespace visit_detail {

struct TypedRead {
  LockedBuffer::ReadGuard guard;
  const std::uint8_t* base;
};

// The read lock and element base of a view the typed path may walk; none
// when it goes element by element.
inline Result<std::optional<TypedRead>> typed_read(const View& view, LoopPath path) {
  if (path != LoopPath::Typed || !view.validate_raw_layout())
    return std::optional<TypedRead>();
  if (!view.buffer) return std::unexpected(StorageError(ErrorKind::InvalidLayout));
  auto guard = view.buffer->read();
  if (!guard) return std::unexpected(guard.error());
  auto base = view.element_base(*guard);
  if (!base) return std::unexpected(base.error());
  return std::optional<TypedRead>(TypedRead{std::move(*guard), *base});
}

}  // namespace visit_detail

template <class Visit>
[[nodiscard]] Result<void> visit_elements(const View& view, LoopPath path, Visit&& visit) {
  auto read = visit_detail::typed_read(view, path);
  if (!read) return std::unexpected(read.error());
  if (!*read) {
    auto values = view.snapshot();
    if (!values) return std::unexpected(values.error());
    for (const Scalar& value : *values)
      if (!visit(value)) break;
    return {};
  }
  with_any_element_type(view.dtype, [&]<class T>(std::type_identity<T>) {
    bool going = true;
    const ByteOrder order = view.byte_order;
    for_each_row<1>(view.shape, {const_cast<std::uint8_t*>((*read)->base)}, {view.strides.data()},
                    [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s,
                        std::uint64_t n) {
                      for (std::uint64_t i = 0; going && i < n; ++i)
                        going = visit(load_element<T>(p[0] + static_cast<std::int64_t>(i) * s[0], order));
                    });
  });
  return {};
}

// Whether `test(bytes)` holds for the stored bytes of some element, on the
// typed path; absent on the element path (the caller tests values then).
template <class Test>
[[nodiscard]] Result<std::optional<bool>> any_stored(const View& view, LoopPath path, Test&& test) {
  auto read = visit_detail::typed_read(view, path);
  if (!read) return std::unexpected(read.error());
  if (!*read) return std::optional<bool>();
  bool found = false;
  for_each_row<1>(view.shape, {const_cast<std::uint8_t*>((*read)->base)}, {view.strides.data()},
                  [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s, std::uint64_t n) {
                    for (std::uint64_t i = 0; i < n && !found; ++i) found = test(p[0] + static_cast<std::int64_t>(i) * s[0]);
                  });
  return std::optional<bool>(found);
}

template <class Test>
[[nodiscard]] Result<bool> any_element(const View& view, LoopPath path, Test&& test) {
  auto read = visit_detail::typed_read(view, path);
  if (!read) return std::unexpected(read.error());
  bool found = false;
  if (!*read) {
    auto visited = visit_elements(view, path, [&](const auto& value) { return !(found = test(value)); });
    if (!visited) return std::unexpected(visited.error());
    return found;
  }
  with_any_element_type(view.dtype, [&]<class T>(std::type_identity<T>) {
    auto run = [&]<bool Swap>(const std::uint8_t* p, std::int64_t stride, std::uint64_t n) {
      constexpr std::int64_t size = stored_size<T>;
      bool hit = false;
      if (stride == size) {  // the unit-stride form vectorises
        for (std::uint64_t i = 0; i < n; ++i) hit |= test(load_element<T, Swap>(p + i * size));
      } else {
        for (std::uint64_t i = 0; i < n; ++i) hit |= test(load_element<T, Swap>(p + static_cast<std::int64_t>(i) * stride));
      }
      found = found || hit;
    };
    const bool swap = swaps(view.byte_order);
    for_each_row<1>(view.shape, {const_cast<std::uint8_t*>((*read)->base)}, {view.strides.data()},
                    [&](const std::array<std::uint8_t*, 1>& p, const std::array<std::int64_t, 1>& s,
                        std::uint64_t n) {
                      if (found) return;
                      swap ? run.template operator()<true>(p[0], s[0], n) : run.template operator()<false>(p[0], s[0], n);
                    });
  });
  return found;
}

}  // namespace quarvel_storage
