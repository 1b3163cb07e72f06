// The flat run: one call of a strided kernel over every element of a call,
// each operand walked by one stride. The small-call path and the engine's
// typed path both end here once they have settled that the call's layout
// allows it, so the locking, the run and the result objects are written once.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "kernels/strided_loops.h"
#include "python/array_object.h"
#include "python/scalar_object.h"
#include "python/ufunc/call_engine.h"
#include "python/ufunc/report.h"
#include "storage/convert_loop.h"
#include "storage/element.h"

namespace quarvel_python::ufunc {

// At most two inputs and two outputs, as every ufunc.
constexpr std::size_t flat_max_inputs = 2;
constexpr std::size_t flat_max_outputs = 2;
// The widest fixed-width element: complex128. Long double loops never run flat.
constexpr std::size_t flat_element_room = 16;
// An input in another dtype or byte order is converted whole before the run
// into room held inline: at most this many elements (one element broadcast
// counts one); bigger ones keep the chunked run.
constexpr std::uint64_t flat_staged_elements = 32;

// One element's bytes, aligned for any element type.
struct alignas(16) ElementBytes {
  std::uint8_t bytes[flat_element_room];
};

// The buffers of one run, each locked once: the outputs' for writing, then
// the inputs' (sharing a guard already held). Null bases when a lock or a
// layout is refused.
class RunGuards {
 public:
  [[gnu::always_inline]] std::uint8_t* write(const View& view) {
    // Two outputs may live in one buffer: the second writes under the first's guard.
    for (std::size_t i = 0; i < count_; ++i)
      if (held_[i].buffer == view.buffer.get()) return base_or_null(view.element_base(*held_[i].write));
    return take(view, view.buffer->write(), &Held::write);
  }

  // A view just made over a new buffer, C-ordered from its first byte: its
  // layout needs no checking.
  std::uint8_t* fresh(const View& view) {
    auto guard = view.buffer->write();
    if (!guard) return nullptr;
    std::uint8_t* base = (*guard)->data.data();
    held_[count_].buffer = view.buffer.get();
    held_[count_++].write.emplace(std::move(*guard));
    return base;
  }

  const std::uint8_t* read(const View& view) {
    for (std::size_t i = 0; i < count_; ++i) {
      if (held_[i].buffer != view.buffer.get()) continue;
      if (held_[i].write) return base_or_null(view.element_base(*held_[i].write));
      return base_or_null(view.element_base(*held_[i].read));
    }
    return take(view, std::as_const(*view.buffer).read(), &Held::read);
  }

 private:
  struct Held;

  template <class Base>
  static std::uint8_t* base_or_null(const Base& base) {
    return base ? const_cast<std::uint8_t*>(*base) : nullptr;
  }

  // Keeps a new guard and gives the view's base under it.
  template <class Guard>
  std::uint8_t* take(const View& view, quarvel_storage::Result<Guard> guard, std::optional<Guard> Held::*slot) {
    if (!guard) return nullptr;
    auto base = view.element_base(*guard);
    if (!base) return nullptr;
    held_[count_].buffer = view.buffer.get();
    (held_[count_++].*slot).emplace(std::move(*guard));
    return const_cast<std::uint8_t*>(*base);
  }

  struct Held {
    const quarvel_storage::LockedBuffer* buffer = nullptr;
    std::optional<quarvel_storage::LockedBuffer::ReadGuard> read;
    std::optional<quarvel_storage::LockedBuffer::WriteGuard> write;
  };
  std::array<Held, flat_max_inputs + flat_max_outputs> held_;
  std::size_t count_ = 0;
};

// One input of a flat run: a view read with one stride (converted first to
// the loop dtype when `convert` is set), or an element already in its loop
// dtype read at every position.
// Neither this nor FlatOutput clears itself: a run sets only the ones it uses,
// each whole.
struct FlatInput {
  const View* view;
  std::int64_t stride;
  quarvel_storage::ConvertLoop convert;
  std::size_t loop_itemsize;  // of a converted input
  const std::uint8_t* value;
};

// One output: a given array, or a view just made over a new C-ordered buffer
// (`fresh`), written with one stride; or the bytes of a 0-d result.
struct FlatOutput {
  const View* view;
  std::int64_t stride;
  bool fresh;
  std::uint8_t* zero_d;
};

// Runs the kernel once over `count` elements, each buffer locked once (the
// outputs' for writing, inputs reading under a guard already held). The
// OR of its faults, or nullopt (nothing written) when a lock or a layout is
// refused: the caller's general path then meets that refusal itself. A front
// that never converts an input says so and keeps no room for it; one that
// fixes its operand counts at compile time gets the run unrolled.
template <bool Converts = true, std::size_t Nin = std::dynamic_extent, std::size_t Nout = std::dynamic_extent>
inline std::optional<std::uint32_t> run_flat(quarvel_kernels::StridedLoop kernel, std::span<FlatInput, Nin> inputs,
                                             std::span<const FlatOutput, Nout> outputs, std::uint64_t count);

// The result objects of a flat run: given outputs as they are (`objects[j]`
// already set), new arrays from `made`, then after the fault report the
// results of a 0-d call without outputs as scalar objects from `zero_d`.
inline PyObject* finish_flat(std::string_view name, std::span<PyRef> objects, std::span<View> made,
                             std::span<const ElementBytes> zero_d, std::span<const DType> outputs,
                             const AliasMerge& aliases, bool zero_d_call, std::uint32_t faults);

// The element at `bytes` (native order) as a Scalar of `dtype`.
inline Scalar decoded(DType dtype, const std::uint8_t* bytes) {
  return quarvel_storage::with_element_type(dtype, [&]<class T>(std::type_identity<T>) {
    return Scalar(quarvel_storage::load_element<T, false>(bytes));
  });
}

// The number of elements a view holds (its shape fits, or it would not exist).
inline std::uint64_t held_count(const View& view) {
  std::uint64_t count = 1;
  for (std::uint64_t length : view.shape) count *= length;
  return count;
}

// A run over `shape` that reads `view` with one stride: the stride (0 for a
// view of one element broadcast), or nullopt when no single stride does. Past
// one axis the view must have exactly `shape` and C strides, which is also
// what keeps an order-"K" result C-ordered.
std::optional<std::int64_t> flat_stride(const View& view, const Shape& shape);

// ---------------------------------------------------------------------------
// Inline in both fronts: a call of its own cost the small calls measurably.

template <bool Converts, std::size_t Nin, std::size_t Nout>
[[gnu::always_inline]] inline std::optional<std::uint32_t> run_flat(quarvel_kernels::StridedLoop kernel,
                                                                   std::span<FlatInput, Nin> inputs,
                                                                   std::span<const FlatOutput, Nout> outputs,
                                                                   std::uint64_t count) {
  const std::size_t nin = inputs.size();
  std::array<std::uint8_t*, flat_max_inputs + flat_max_outputs> args;
  std::array<std::int64_t, flat_max_inputs + flat_max_outputs> strides;
  // Written by the conversions before any read.
  constexpr std::size_t rooms = Converts ? flat_max_inputs : 1;
  constexpr std::size_t room = Converts ? flat_staged_elements * flat_element_room : 1;
  alignas(16) std::uint8_t staged[rooms][room];
  RunGuards guards;
  for (std::size_t j = 0; j < outputs.size(); ++j) {
    const FlatOutput& output = outputs[j];
    std::uint8_t* base = output.zero_d ? output.zero_d
                         : output.fresh ? guards.fresh(*output.view)
                                        : guards.write(*output.view);
    if (!base) return std::nullopt;
    args[nin + j] = base;
    strides[nin + j] = output.stride;
  }
  for (std::size_t i = 0; i < nin; ++i) {
    const FlatInput& input = inputs[i];
    strides[i] = input.stride;
    if (!input.view) {
      args[i] = const_cast<std::uint8_t*>(input.value);
      continue;
    }
    const std::uint8_t* base = guards.read(*input.view);
    if (!base) return std::nullopt;
    args[i] = const_cast<std::uint8_t*>(base);
    if (!Converts || !input.convert) continue;
    // Every element read before the kernel writes any: an input converted
    // whole is never overwritten under it.
    const std::uint64_t n = input.stride == 0 ? 1 : count;
    if (n > flat_staged_elements || input.loop_itemsize > flat_element_room) return std::nullopt;
    input.convert(base, input.stride, staged[i], static_cast<std::int64_t>(input.loop_itemsize), n);
    args[i] = staged[i];
    strides[i] = input.stride == 0 ? 0 : static_cast<std::int64_t>(input.loop_itemsize);
  }
  return kernel(args.data(), strides.data(), count, nullptr, 0).faults;
}

[[gnu::always_inline]] inline PyObject* finish_flat(std::string_view name, std::span<PyRef> objects,
                                                    std::span<View> made, std::span<const ElementBytes> zero_d,
                                                    std::span<const DType> outputs, const AliasMerge& aliases,
                                                    bool zero_d_call, std::uint32_t faults) {
  for (std::size_t j = 0; j < objects.size(); ++j) {
    if (objects[j] || zero_d_call) continue;
    objects[j] = PyRef::steal(new_array_object(std::move(made[j]), aliases.hint(outputs[j])));
    if (!objects[j]) return nullptr;
  }
  if (!report_errors(name, faults)) return nullptr;
  for (std::size_t j = 0; j < objects.size(); ++j) {
    if (objects[j]) continue;
    objects[j] = scalar_to_python(decoded(outputs[j], zero_d[j].bytes), aliases.hint(outputs[j]));
    if (!objects[j]) return nullptr;
  }
  return pack_results(objects);
}

}  // namespace quarvel_python::ufunc
