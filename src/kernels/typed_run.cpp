#include "kernels/typed_run.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "storage/checked.h"
#include "storage/convert_loop.h"
#include "storage/traverse.h"

namespace quarvel_kernels {

namespace {

using quarvel_storage::ByteOrder;
using quarvel_storage::ConvertLoop;
using quarvel_storage::LockedBuffer;

// Elements per chunk: small enough that the conversion buffers stay in cache.
constexpr std::uint64_t chunk = 512;
constexpr std::size_t max_operands = RunLocks::max_buffers;

bool in_place_format(const View& view, DType loop_dtype) {
  return view.dtype == loop_dtype && view.byte_order != ByteOrder::Big;
}

// A run's operands as the core reads them: pointers into `run`.
struct PartsOf {
  std::array<RunPart, 2> inputs, outputs;
  RunPart mask;
};

BorrowedRun borrowed(const TypedRun& run, PartsOf& parts) {
  auto part = [](const RunOperand& operand) {
    return RunPart{operand.view, operand.strides.data(), operand.value, operand.fresh};
  };
  for (std::size_t i = 0; i < run.inputs.size(); ++i) parts.inputs[i] = part(run.inputs[i]);
  for (std::size_t j = 0; j < run.outputs.size(); ++j) parts.outputs[j] = part(run.outputs[j]);
  if (run.mask) parts.mask = part(*run.mask);
  return BorrowedRun{&run.shape,
                     std::span(parts.inputs.data(), run.inputs.size()),
                     std::span(parts.outputs.data(), run.outputs.size()),
                     run.mask ? &parts.mask : nullptr,
                     run.loop.inputs,
                     run.loop.outputs,
                     run.kernel};
}

// How one operand reaches the kernel: in place, or through a chunk buffer.
// Only the lanes of a run's operands are set (value-initialised): no more
// than those is cleared per run.
struct Lane {
  ConvertLoop convert;       // null: in place
  std::int64_t loop_itemsize;
  std::uint8_t* staged;      // chunk of loop-dtype elements
  std::uint8_t* converted;   // masked outputs: chunk in the output's format
  std::int64_t own_itemsize;
};

// The chunk buffers of a run's lanes: inline for a run of a few elements (a
// small call allocates nothing for them), one heap block for a larger run.
class ChunkRoom {
 public:
  // Room for `bytes` more, aligned for any element type.
  std::uint8_t* take(std::uint64_t bytes) {
    const std::uint64_t at = used_;
    used_ += (bytes + 31) / 32 * 32;
    return base_ + at;
  }
  void reserve(std::uint64_t bytes) {
    if (bytes > sizeof inline_) {
      heap_.resize(bytes / 32 + 1);
      base_ = reinterpret_cast<std::uint8_t*>(heap_.data());
    }
  }

 private:
  struct alignas(32) Block {
    std::uint8_t bytes[32];
  };
  alignas(32) std::uint8_t inline_[1024];
  std::vector<Block> heap_;
  std::uint8_t* base_ = inline_;
  std::uint64_t used_ = 0;
};

// The kernel on whole rows of the first N operands as they are (in kernel
// order, the mask last when `masked`): a run that stages nothing.
template <std::size_t N>
LoopResult whole_rows(const Shape& shape, const std::array<std::uint8_t*, max_operands>& all_bases,
                      const std::array<const std::int64_t*, max_operands>& all_strides, StridedLoop kernel,
                      bool masked) {
  std::array<std::uint8_t*, N> bases;
  std::array<const std::int64_t*, N> strides;
  std::copy_n(all_bases.begin(), N, bases.begin());
  std::copy_n(all_strides.begin(), N, strides.begin());
  LoopResult total;
  quarvel_storage::for_each_row<N>(
      shape, bases, strides,
      [&](const std::array<std::uint8_t*, N>& row, const std::array<std::int64_t, N>& inner, std::uint64_t count) {
        if (total.failed) return;
        const LoopResult result =
            kernel(row.data(), inner.data(), count, masked ? row[N - 1] : nullptr, masked ? inner[N - 1] : 0);
        total.faults |= result.faults;
        total.failed = result.failed;
      });
  return total;
}

void masked_copy(const std::uint8_t* from, std::uint8_t* to, std::int64_t to_stride, std::int64_t itemsize,
                 std::uint64_t n, const std::uint8_t* mask, std::int64_t mask_stride) {
  for (std::uint64_t i = 0; i < n; ++i, from += itemsize, to += to_stride, mask += mask_stride)
    if (*mask != 0) std::memcpy(to, from, static_cast<std::size_t>(itemsize));
}

}  // namespace

Strides broadcast_strides(const View& view, const Shape& shape) {
  Strides strides(shape.size(), 0);
  const std::size_t lead = shape.size() - view.ndim();
  for (std::size_t i = 0; i < view.ndim(); ++i)
    if (view.shape[i] != 1) strides[lead + i] = view.strides[i];
  return strides;
}

bool run_is_typed(std::span<const View* const> inputs, std::span<const View* const> outputs, const Loop& loop) {
  for (std::size_t i = 0; i < inputs.size(); ++i)
    if (inputs[i] && !quarvel_storage::find_conversion(inputs[i]->dtype, inputs[i]->byte_order, loop.inputs[i],
                                                       ByteOrder::Native))
      return false;
  for (std::size_t j = 0; j < outputs.size(); ++j)
    if (outputs[j] && !quarvel_storage::find_conversion(loop.outputs[j], ByteOrder::Native, outputs[j]->dtype,
                                                        outputs[j]->byte_order))
      return false;
  return true;
}

bool loop_may_refuse(Op op, const Loop& loop) { return loop_may_refuse(op, loop.inputs); }

bool loop_may_refuse(Op op, std::span<const DType> loop_inputs) {
  return op == Op::power && is_bool_or_integer(loop_inputs[1]);
}

Result<void> RunLocks::acquire(const BorrowedRun& run) {
  // Each buffer once, for writing when any output lives in it.
  std::array<std::pair<LockedBuffer*, bool>, max_buffers> wanted;
  std::size_t count = 0;
  auto add = [&](const RunPart& operand, bool write) {
    if (!operand.view || !operand.view->buffer) return;
    LockedBuffer* buffer = operand.view->buffer.get();
    for (std::size_t i = 0; i < count; ++i)
      if (wanted[i].first == buffer) {
        wanted[i].second = wanted[i].second || write;
        return;
      }
    if (count < wanted.size()) wanted[count++] = {buffer, write};
  };
  for (const RunPart& output : run.outputs) add(output, true);
  for (const RunPart& input : run.inputs) add(input, false);
  if (run.mask) add(*run.mask, false);
  // Taken in address order. Folds and conversions hold one or two buffers:
  // one compare orders them.
  if (count == 2) {
    if (wanted[1].first < wanted[0].first) std::swap(wanted[0], wanted[1]);
  } else {
    for (std::size_t i = 1; i < count; ++i)
      for (std::size_t k = i; k > 0 && wanted[k].first < wanted[k - 1].first; --k) std::swap(wanted[k], wanted[k - 1]);
  }
  for (std::size_t i = 0; i < count; ++i) {
    Held& held = held_.emplace_back();
    held.buffer = wanted[i].first;
    if (wanted[i].second) {
      auto guard = wanted[i].first->write();
      if (!guard) return fail(guard.error());
      held.write.emplace(std::move(*guard));
    } else {
      auto guard = std::as_const(*wanted[i].first).read();
      if (!guard) return fail(guard.error());
      held.read.emplace(std::move(*guard));
    }
  }
  return {};
}

Result<std::uint8_t*> RunLocks::base(const View& view, bool fresh) const {
  for (const Held& held : held_) {
    if (held.buffer != view.buffer.get()) continue;
    if (held.write) {
      if (fresh) return (*held.write)->data.data() + view.offset;
      return view.element_base(*held.write);
    }
    auto base = view.element_base(*held.read);
    if (!base) return fail(base.error());
    return const_cast<std::uint8_t*>(*base);
  }
  return fail(ErrorKind::InvalidLayout);
}

Result<std::uint32_t> run_typed(const TypedRun& run) {
  PartsOf parts;
  return run_borrowed(borrowed(run, parts));
}

Result<std::uint32_t> run_borrowed(const BorrowedRun& run) {
  const std::size_t nin = run.inputs.size(), nout = run.outputs.size();
  const Shape& shape = *run.shape;
  RunLocks locks;
  if (auto locked = locks.acquire(run); !locked) return fail(locked.error());

  // Operands in kernel order (inputs, outputs), then the mask.
  std::array<std::uint8_t*, max_operands> bases{};
  std::array<const std::int64_t*, max_operands> strides{};
  static const Strides no_strides(quarvel_storage::max_dimensions + 1, 0);
  strides.fill(no_strides.data());
  auto place = [&](std::size_t slot, const RunPart& operand) -> Result<void> {
    if (!operand.view) {
      bases[slot] = const_cast<std::uint8_t*>(operand.value);
      return {};
    }
    auto base = locks.base(*operand.view, operand.fresh);
    if (!base) return fail(base.error());
    // An empty buffer has no base to move.
    bases[slot] = *base ? *base + operand.shift : *base;
    strides[slot] = operand.strides;
    return {};
  };
  // Whether some operand goes through a chunk buffer: the one place a run
  // decides between the kernel on the operands as they are and staging.
  bool staged = false;
  for (std::size_t i = 0; i < nin; ++i) {
    if (auto placed = place(i, run.inputs[i]); !placed) return fail(placed.error());
    const View* view = run.inputs[i].view;
    staged = staged || (view && !in_place_format(*view, run.loop_inputs[i]));
  }
  for (std::size_t j = 0; j < nout; ++j) {
    if (auto placed = place(nin + j, run.outputs[j]); !placed) return fail(placed.error());
    staged = staged || !in_place_format(*run.outputs[j].view, run.loop_outputs[j]);
  }
  const std::size_t mask_slot = nin + nout;
  if (run.mask)
    if (auto placed = place(mask_slot, *run.mask); !placed) return fail(placed.error());

  std::uint32_t faults = 0;
  bool refused = false;
  if (!staged) {
    LoopResult result;
    switch (nin + nout + (run.mask ? 1 : 0)) {
      case 2: result = whole_rows<2>(shape, bases, strides, run.kernel, false); break;
      case 3: result = whole_rows<3>(shape, bases, strides, run.kernel, run.mask); break;
      case 4: result = whole_rows<4>(shape, bases, strides, run.kernel, run.mask); break;
      default: result = whole_rows<5>(shape, bases, strides, run.kernel, run.mask); break;
    }
    if (result.failed) return fail(ErrorKind::CannotConvert);
    return result.faults;
  }

  std::array<Lane, max_operands> lanes;
  for (std::size_t slot = 0; slot < nin + nout; ++slot) lanes[slot] = Lane{};
  // A chunk never holds more elements than the run has.
  std::uint64_t elements = 1;
  for (std::uint64_t length : shape) elements *= length;
  const std::uint64_t chunk_length = std::max<std::uint64_t>(std::min(chunk, elements), 1);
  ChunkRoom room;
  return quarvel_storage::checked::allocation_guard([&]() -> Result<std::uint32_t> {
    std::uint64_t room_bytes = 0;
    for (std::size_t i = 0; i < nin; ++i) {
      const View* view = run.inputs[i].view;
      if (!view || in_place_format(*view, run.loop_inputs[i])) continue;
      Lane& lane = lanes[i];
      lane.convert = quarvel_storage::find_conversion(view->dtype, view->byte_order, run.loop_inputs[i], ByteOrder::Native);
      lane.loop_itemsize = static_cast<std::int64_t>(run.loop_inputs[i].itemsize());
      room_bytes += chunk_length * run.loop_inputs[i].itemsize() + 32;
    }
    for (std::size_t j = 0; j < nout; ++j) {
      const View& view = *run.outputs[j].view;
      if (in_place_format(view, run.loop_outputs[j])) continue;
      Lane& lane = lanes[nin + j];
      lane.convert = quarvel_storage::find_conversion(run.loop_outputs[j], ByteOrder::Native, view.dtype, view.byte_order);
      lane.loop_itemsize = static_cast<std::int64_t>(run.loop_outputs[j].itemsize());
      lane.own_itemsize = static_cast<std::int64_t>(view.dtype.itemsize());
      room_bytes += chunk_length * (run.loop_outputs[j].itemsize() + (run.mask ? view.dtype.itemsize() : 0)) + 64;
    }
    room.reserve(room_bytes);
    for (std::size_t slot = 0; slot < nin + nout; ++slot) {
      Lane& lane = lanes[slot];
      if (!lane.convert) continue;
      lane.staged = room.take(chunk_length * static_cast<std::uint64_t>(lane.loop_itemsize));
      if (slot >= nin && run.mask) lane.converted = room.take(chunk_length * static_cast<std::uint64_t>(lane.own_itemsize));
    }

    std::array<std::uint8_t*, max_operands> args{};
    std::array<std::int64_t, max_operands> arg_strides{};
    quarvel_storage::for_each_row<max_operands>(
        shape, bases, strides,
        [&](const std::array<std::uint8_t*, max_operands>& row, const std::array<std::int64_t, max_operands>& inner,
            std::uint64_t count) {
          for (std::uint64_t done = 0; done < count && !refused; done += chunk_length) {
            const std::uint64_t n = std::min(chunk_length, count - done);
            auto at = [&](std::size_t slot) { return row[slot] + static_cast<std::int64_t>(done) * inner[slot]; };
            for (std::size_t slot = 0; slot < nin + nout; ++slot) {
              Lane& lane = lanes[slot];
              if (!lane.convert) {
                args[slot] = at(slot);
                arg_strides[slot] = inner[slot];
                continue;
              }
              args[slot] = lane.staged;
              arg_strides[slot] = lane.loop_itemsize;
              if (slot < nin) lane.convert(at(slot), inner[slot], lane.staged, lane.loop_itemsize, n);
            }
            const std::uint8_t* mask = run.mask ? at(mask_slot) : nullptr;
            const LoopResult result = run.kernel(args.data(), arg_strides.data(), n, mask, inner[mask_slot]);
            faults |= result.faults;
            if (result.failed) {
              refused = true;
              return;
            }
            for (std::size_t slot = nin; slot < nin + nout; ++slot) {
              Lane& lane = lanes[slot];
              if (!lane.convert) continue;
              if (!mask) {
                lane.convert(lane.staged, lane.loop_itemsize, at(slot), inner[slot], n);
                continue;
              }
              lane.convert(lane.staged, lane.loop_itemsize, lane.converted, lane.own_itemsize, n);
              masked_copy(lane.converted, at(slot), inner[slot], lane.own_itemsize, n, mask, inner[mask_slot]);
            }
          }
        });
    if (refused) return fail(ErrorKind::CannotConvert);
    return faults;
  });
}

Result<std::uint32_t> run_segments(const SegmentedFold& fold) {
  const View& input = *fold.input.view;
  const View& running = *fold.running;
  const DType element = fold.loop.inputs[1], held = fold.loop.inputs[0];
  const std::size_t axis = fold.axis;
  const std::uint64_t length = input.shape[axis];
  if (fold.starts.empty() || length == 0) return 0;
  const bool in_place = in_place_format(input, element);
  const ConvertLoop stage =
      in_place ? nullptr : quarvel_storage::find_conversion(input.dtype, input.byte_order, element, ByteOrder::Native);
  // The start element as its cast to the running dtype stores it.
  const ConvertLoop first = quarvel_storage::find_conversion(element, ByteOrder::Native, held, ByteOrder::Native);
  if ((!in_place && !stage) || !first) return fail(ErrorKind::CannotConvert);
  const RunPart from{&input, fold.input.strides.data()}, into{&running, running.strides.data()};
  const BorrowedRun pair{&input.shape, std::span(&from, 1), std::span(&into, 1), nullptr, {}, {}, nullptr};
  RunLocks locks;
  if (auto locked = locks.acquire(pair); !locked) return fail(locked.error());
  auto source = locks.base(input);
  if (!source) return fail(source.error());
  auto target = locks.base(running);
  if (!target) return fail(target.error());
  const auto element_size = static_cast<std::int64_t>(element.itemsize());
  const std::int64_t along = fold.input.strides[axis], running_along = running.strides[axis];
  Shape lines = input.shape;
  lines[axis] = 1;
  return quarvel_storage::checked::allocation_guard([&]() -> Result<std::uint32_t> {
    std::vector<std::uint8_t> line_buffer(stage ? length * element.itemsize() : 0);
    std::uint32_t faults = 0;
    bool refused = false;
    const std::uint64_t segments = fold.starts.size();
    quarvel_storage::for_each_row<2>(
        lines, {*source, *target}, {fold.input.strides.data(), running.strides.data()},
        [&](const std::array<std::uint8_t*, 2>& row, const std::array<std::int64_t, 2>& inner, std::uint64_t count) {
          for (std::uint64_t i = 0; i < count && !refused; ++i) {
            const std::uint8_t* line = row[0] + static_cast<std::int64_t>(i) * inner[0];
            std::int64_t step = along;
            if (stage) {
              stage(line, along, line_buffer.data(), element_size, length);
              line = line_buffer.data();
              step = element_size;
            }
            std::uint8_t* lane = row[1] + static_cast<std::int64_t>(i) * inner[1];
            for (std::uint64_t j = 0; j < segments; ++j) {
              const std::uint64_t start = fold.starts[j];
              const std::uint64_t end = j + 1 < segments ? fold.starts[j + 1] : length;
              std::uint8_t* value = lane + static_cast<std::int64_t>(j) * running_along;
              const std::uint8_t* at = line + static_cast<std::int64_t>(start) * step;
              first(at, step, value, 0, 1);
              if (end <= start + 1) continue;
              std::uint8_t* args[3] = {value, const_cast<std::uint8_t*>(at + step), value};
              const std::int64_t strides[3] = {0, step, 0};
              const LoopResult result = fold.kernel(args, strides, end - start - 1, nullptr, 0);
              faults |= result.faults;
              if (result.failed) {
                refused = true;
                return;
              }
            }
          }
        });
    if (refused) return fail(ErrorKind::CannotConvert);
    return faults;
  });
}

Result<void> convert_typed(const Shape& shape, const RunOperand& from, const RunOperand& to) {
  return convert_borrowed(shape, RunPart{from.view, from.strides.data(), nullptr, from.fresh},
                          RunPart{to.view, to.strides.data(), nullptr, to.fresh});
}

Result<void> convert_borrowed(const Shape& shape, const RunPart& from, const RunPart& to) {
  const ConvertLoop convert =
      quarvel_storage::find_conversion(from.view->dtype, from.view->byte_order, to.view->dtype, to.view->byte_order);
  if (!convert) return fail(ErrorKind::CannotConvert);
  const BorrowedRun pair{&shape, std::span(&from, 1), std::span(&to, 1), nullptr, {}, {}, nullptr};
  RunLocks locks;
  if (auto locked = locks.acquire(pair); !locked) return fail(locked.error());
  auto source = locks.base(*from.view, from.fresh);
  if (!source) return fail(source.error());
  auto target = locks.base(*to.view, to.fresh);
  if (!target) return fail(target.error());
  // An empty buffer has no base to move.
  if (*source) *source += from.shift;
  if (*target) *target += to.shift;
  quarvel_storage::for_each_row<2>(shape, {*source, *target}, {from.strides, to.strides},
                                   [&](const std::array<std::uint8_t*, 2>& row,
                                       const std::array<std::int64_t, 2>& inner, std::uint64_t count) {
                                     convert(row[0], inner[0], row[1], inner[1], count);
                                   });
  return {};
}

bool views_overlap(const View& a, const View& b) {
  if (!a.buffer || a.buffer != b.buffer) return false;
  auto extent = [](const View& v, std::int64_t& low, std::int64_t& high) {
    low = high = static_cast<std::int64_t>(v.offset);
    for (std::size_t k = 0; k < v.ndim(); ++k) {
      if (v.shape[k] == 0) return false;
      const std::int64_t reach = static_cast<std::int64_t>(v.shape[k] - 1) * v.strides[k];
      (reach < 0 ? low : high) += reach;
    }
    high += static_cast<std::int64_t>(v.dtype.itemsize());
    return true;
  };
  std::int64_t a_low, a_high, b_low, b_high;
  if (!extent(a, a_low, a_high) || !extent(b, b_low, b_high)) return false;
  return a_low < b_high && b_low < a_high;
}

bool reads_in_place(const View& input, const Strides& input_strides, const View& output,
                    const Strides& output_strides) {
  if (input.buffer != output.buffer || input.offset != output.offset || input.dtype.itemsize() != output.dtype.itemsize())
    return false;
  for (std::size_t k = 0; k < output.ndim(); ++k)
    if (output.shape[k] > 1 && input_strides[k] != output_strides[k]) return false;
  return true;
}

}  // namespace quarvel_kernels
