// Small builders and readers shared by the storage tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/indexing.h"
#include "storage/view.h"

// Huge allocations must come back as failures, not sanitizer aborts. Visible:
// the sanitizer runtime looks this up by name, and tests build with hidden visibility.
extern "C" __attribute__((visibility("default"), used)) inline const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace storage_test {

using namespace quarvel_storage;

inline std::vector<Scalar> f64s(const std::vector<double>& values) {
  std::vector<Scalar> out;
  for (double v : values) out.emplace_back(v);
  return out;
}

// A C-ordered float64 view holding 0, 1, 2, ... in C order.
inline View arange(const Shape& shape, DType dtype = DType::Float64) {
  std::uint64_t count = 1;
  for (auto d : shape) count *= d;
  std::vector<Scalar> values;
  for (std::uint64_t i = 0; i < count; ++i) values.push_back(*Scalar(static_cast<double>(i)).cast(dtype));
  auto view = View::from_values(dtype, shape, values);
  EXPECT_TRUE(view.has_value()) << (view ? "" : view.error().message());
  return *view;
}

// Every element as a double, in C order.
inline std::vector<double> contents(const View& view) {
  auto values = view.snapshot();
  EXPECT_TRUE(values.has_value()) << (values ? "" : values.error().message());
  std::vector<double> out;
  for (const Scalar& v : values.value_or(std::vector<Scalar>{})) out.push_back(*v.as_f64());
  return out;
}

// The buffer's elements in storage order, as doubles.
inline std::vector<double> storage(const View& view) {
  auto guard = view.buffer->read();
  std::vector<double> out;
  for (std::uint64_t i = 0; i < (*guard)->element_count(); ++i)
    out.push_back(*(*guard)->read_as(i, view.dtype, view.byte_order)->as_f64());
  return out;
}

template <class T> std::string error_text(const Result<T>& r) {
  return r ? std::string("<no error>") : r.error().message();
}

template <class T> ErrorKind error_kind(const Result<T>& r) {
  EXPECT_FALSE(r.has_value());
  return r ? ErrorKind::LockPoisoned : r.error().kind;
}

// A writer of `view`'s buffer left by an exception.
inline void poison(const View& view) { EXPECT_THROW(view.buffer->run_writer_for_testing([](Buffer&) { throw 1; }), int); }

inline IndexItem full_slice(std::uint64_t n) { return IndexItem::Slice{0, 1, n}; }

// A C-ordered int64 index array.
inline IndexItem int_array(Shape shape, std::vector<std::int64_t> values) {
  return IndexItem::IntArray{shape, *c_strides(DType::Int64, shape), std::move(values), std::nullopt};
}

}  // namespace storage_test
