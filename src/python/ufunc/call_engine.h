// The call engine's working state and the pieces outer and the typed loops share.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/ops.h"
#include "kernels/strided_loops.h"
#include "python/py_ref.h"
#include "python/ufunc/call_args.h"

namespace quarvel_python::ufunc {

// The operands of a call or of outer: at most two, held in place.
using OperandList = quarvel_storage::FixedVector<Operand, 2>;

// One call after argument parsing, operand conversion, broadcasting, the mask
// and loop choice: everything the element loop needs.
struct PreparedCall {
  std::string_view name;  // as the engine received it (messages, fault reports)
  quarvel_kernels::Op op;
  CallArguments arguments;
  OperandList operands;
  Shape shape;
  std::optional<Operand> mask;
  Loop loop;
  std::uint64_t count = 0;

  // Whether the element at these output coordinates is computed: always
  // without a mask, else the mask's truth there. Nullopt with the error set.
  std::optional<bool> selects(const Coordinates& coordinates) const;
};

// What an element loop collects: one list of results per output in row-major
// order, one selection flag per element, the faults ORed over all of them.
struct ElementResults {
  std::vector<std::vector<Scalar>> values;
  std::vector<std::uint8_t> selected;
  std::uint32_t faults = 0;

  // Room for `count` elements of every output, reserved before the loop;
  // MemoryError when it cannot be had.
  [[nodiscard]] bool reserve(std::size_t nout, std::uint64_t count);
  // An unselected element: the zero of each output's loop dtype.
  void skip(const Loop& loop);
  // A computed element: its faults ORed in, each result kept in its loop dtype.
  [[nodiscard]] bool record(quarvel_kernels::Op op, std::span<const Scalar> inputs,
                            quarvel_kernels::KernelOutputs& computed, const Loop& loop);
};

// Everything after the element loop of a call or of outer: the given outputs
// checked and cast (all before any write), new arrays made, the selected
// elements written, the one fault report, then the result objects.
// `direct_scalars`: a 0-d result without a given array is made from its value
// even when no output argument was given.
PyObject* deliver_results(const PreparedCall& call, const ElementResults& results, const OperandPlacement& placement,
                          bool direct_scalars);

// Phases 1 to 5 of a call into `call` (filled in place: it is too large to
// move for nothing): `args` holds the first min(given, nin + 1) positional
// arguments of the `given` ones. False with the error set.
bool prepare_call(quarvel_kernels::Op op, std::string_view name, std::size_t nin, std::size_t nout,
                  PyObject* const* args, std::size_t given, PyObject* kwargs, PreparedCall& call);

// The scalar alias a result of loop dtype `output` takes over from the operands.
std::optional<ScalarAlias> alias_hint(std::span<const Operand> operands, DType output);

// The same rule over the operands' aliases one at a time, in order: none
// unless every alias given is one and the same and fits the output dtype.
class AliasMerge {
 public:
  void add(std::optional<ScalarAlias> alias);
  std::optional<ScalarAlias> hint(DType output) const;

 private:
  std::optional<ScalarAlias> common_;
  bool conflict_ = false;
};

// A given output array: exact shape, and the loop output castable to it under
// the rule ("no" also refuses a big-endian array of the loop's own dtype).
bool check_output_array(std::string_view name, const View& array, const Shape& shape, DType loop_output,
                        CastingRule rule);

// A new output holding `values` (row-major) in the layout `order` selects.
std::optional<View> new_output_view(DType dtype, const Shape& shape, std::span<const Scalar> values, char order,
                                    const OperandPlacement& placement);

// New outputs of `shape` must fit the signed 64-bit byte range in every dtype:
// refused before any element is computed.
bool check_new_output_size(const Shape& shape, std::span<const DType> dtypes);

// A 0-d result as a scalar object: directly from the value when an output
// argument was given, else through a new array read back.
PyRef scalar_result(const PreparedCall& call, std::span<const Scalar> values, std::size_t output, bool out_given);

// The typed path of a prepared call or outer (operands placed as `placement`
// says): nullopt when the element loop must run instead; otherwise the result,
// or null with the error set.
std::optional<PyObject*> typed_elementwise(const PreparedCall& call, const OperandPlacement& placement);

// The typed kernel of an operation's loop (null when it has none), the last
// one found for each operation remembered: calls in a row find it at once.
quarvel_kernels::StridedLoop kernel_for(quarvel_kernels::Op op, const Loop& loop);

// One object, or a tuple of them.
PyObject* pack_results(std::span<PyRef> objects);

}  // namespace quarvel_python::ufunc
