// A typed run: one strided kernel loop applied over a shape to views of any
// dtype and byte order, the way the element loop would apply the kernel one
// element at a time.
//
// Each buffer is locked once for the whole run (for writing when any output
// lives in it). Rows are walked in C order and cut into chunks; an operand
// already in its loop dtype and native order is handed to the kernel in place,
// any other is converted chunk by chunk through a small native buffer (inputs
// before the kernel, outputs after it). With a mask, only selected output
// elements are written.
//
// The caller settles what the element loop would make observable: operands
// that alias an output at other positions are copied first, scalars arrive as
// 0-d views of their loop dtype, a scalar mask is resolved, and new outputs are
// zero-filled views of their loop dtype.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernels/loop_table.h"
#include "kernels/strided_loops.h"
#include "storage/small_vector.h"
#include "storage/view.h"

namespace quarvel_kernels {

using quarvel_storage::Shape;
using quarvel_storage::Strides;
using quarvel_storage::View;

// A view and its byte strides over the run's shape (0 along broadcast axes);
// or, for an input without a view, one element already in its loop dtype and
// native order, read at every position.
struct RunOperand {
  const View* view = nullptr;
  Strides strides;
  const std::uint8_t* value = nullptr;
  // The view was just made over a buffer of its own, its layout checked
  // then: the run takes its base without checking it again.
  bool fresh = false;
};

// The strides that place `view` in a run of `shape`: aligned with the last
// axes, length-1 axes and missing axes broadcast.
Strides broadcast_strides(const View& view, const Shape& shape);

struct TypedRun {
  Shape shape;
  quarvel_storage::FixedVector<RunOperand, 2> inputs;   // converted to loop.inputs[i]
  quarvel_storage::FixedVector<RunOperand, 2> outputs;  // written from loop.outputs[j]
  std::optional<RunOperand> mask;   // a bool view; nonzero bytes select
  Loop loop;
  StridedLoop kernel = nullptr;
};

// Whether every dtype of the run (operand views and loop) has a typed
// conversion; false sends the call to the element loop.
bool run_is_typed(std::span<const View* const> inputs, std::span<const View* const> outputs, const Loop& loop);

// Whether the kernel may refuse an element of this loop (a negative integer
// exponent of power): such runs write only into new arrays, so a refusal leaves
// nothing half written for the element loop to redo and report.
bool loop_may_refuse(Op op, const Loop& loop);
bool loop_may_refuse(Op op, std::span<const DType> loop_inputs);

// A run's operand borrowed from its caller: as RunOperand, its strides (one
// per axis of the run) held by the caller. What run_typed reads a TypedRun
// as, and what a caller that holds its views and strides already hands over
// without copying them.
struct RunPart {
  const View* view = nullptr;
  const std::int64_t* strides = nullptr;
  const std::uint8_t* value = nullptr;
  bool fresh = false;
  // Bytes from the view's element (0, ..., 0) to the operand's first one (a
  // position within the view): a run over part of a view needs no view of it.
  std::int64_t shift = 0;
};

struct BorrowedRun {
  const Shape* shape = nullptr;
  std::span<const RunPart> inputs;   // at most two
  std::span<const RunPart> outputs;  // at most two
  const RunPart* mask = nullptr;
  std::span<const DType> loop_inputs, loop_outputs;
  StridedLoop kernel = nullptr;
};

// The buffers of a run, each locked once (for writing when an output lives in
// it), in address order. At most one per operand, held in place (a run
// allocates no lock list).
class RunLocks {
 public:
  // At most two inputs, two outputs and a mask.
  static constexpr std::size_t max_buffers = 5;

  [[nodiscard]] Result<void> acquire(const BorrowedRun& run);
  // The element (0, ..., 0) of a view whose buffer this run holds; a fresh
  // view's without checking its layout again.
  [[nodiscard]] Result<std::uint8_t*> base(const View& view, bool fresh = false) const;

 private:
  struct Held {
    const quarvel_storage::LockedBuffer* buffer = nullptr;
    std::optional<quarvel_storage::LockedBuffer::ReadGuard> read;
    std::optional<quarvel_storage::LockedBuffer::WriteGuard> write;
  };
  // Made only as they are taken: nothing to clear for the ones not needed.
  quarvel_storage::FixedVector<Held, max_buffers> held_;
};

// The OR of the kernel's fault flags. CannotConvert if the kernel refused an
// element (callers rule that out beforehand, since it may come after writes).
// When every operand with a view is already in its loop dtype and native
// order, the rows go to the kernel as they are, with nothing staged: the
// same kernel calls either way.
[[nodiscard]] Result<std::uint32_t> run_typed(const TypedRun& run);
// The same run over borrowed operands.
[[nodiscard]] Result<std::uint32_t> run_borrowed(const BorrowedRun& run);

// The segments of one axis folded into their running values: for every line
// of `input` along `axis` and every start position j, running[j] (on that
// line) is set to the element at starts[j] converted to the running dtype,
// then the kernel folds into it the elements up to starts[j + 1] (to the end
// of the axis after the last start, and none when that is not greater). The
// loop is {running, element} -> {running}; `running` is a native view of the
// running dtype whose axis has one position per start. Set up once per call:
// the buffers are locked once, and a line not in the element dtype and native
// order is converted once into a buffer of its own.
struct SegmentedFold {
  RunOperand input;
  std::size_t axis = 0;
  std::span<const std::uint64_t> starts;
  const View* running = nullptr;
  Loop loop;
  StridedLoop kernel = nullptr;
};
[[nodiscard]] Result<std::uint32_t> run_segments(const SegmentedFold& fold);

// Each element of `from` converted to the dtype and byte order of `to`, at
// the same position of `shape` (the bits of Scalar::cast). The two must not
// share bytes. CannotConvert when either side has no typed conversion.
[[nodiscard]] Result<void> convert_typed(const Shape& shape, const RunOperand& from, const RunOperand& to);
[[nodiscard]] Result<void> convert_borrowed(const Shape& shape, const RunPart& from, const RunPart& to);

// Whether two views may share bytes (same buffer, intersecting byte ranges).
bool views_overlap(const View& a, const View& b);
// Whether an input placed by `input_strides` reads, at every position of the
// run, exactly the element the output writes there.
bool reads_in_place(const View& input, const Strides& input_strides, const View& output,
                    const Strides& output_strides);

}  // namespace quarvel_kernels
