// What is known of each ufunc before any element is computed: its input and
// output counts, identity, displayed type signatures, and the loop table that
// turns input dtypes into the dtypes the kernel runs in.
//
// Names are compared byte for byte. The Op forms skip the name lookup, so a
// caller that resolved its name once never compares text again.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/element.h"
#include "kernels/ops.h"
#include "storage/scalar.h"
#include "storage/small_vector.h"

namespace quarvel_kernels {

// The dtypes one kernel call runs in: callers cast operands to `inputs`.
// Held inline (at most two of each), so choosing a loop allocates nothing.
using LoopList = quarvel_storage::SmallVector<DType, 2>;
struct Loop {
  LoopList inputs;
  LoopList outputs;
  bool operator==(const Loop&) const = default;
};

// 2 for the two-input names and their aliases, else 1 (unknown names included).
std::uint64_t input_count(std::string_view name);
std::uint64_t input_count(Op op);
// 2 for "modf", "frexp" and "divmod", else 1.
std::uint64_t output_count(std::string_view name);
std::uint64_t output_count(Op op);

// Reduction identity of a canonical name; absent for aliases and unknown names.
std::optional<Scalar> identity(std::string_view name);
std::optional<Scalar> identity(Op op);

// Kind "b", "i" or "u": what the integer kernels accept.
constexpr bool is_bool_or_integer(DType dtype) { return dtype.code <= DType::UInt64; }

namespace type_signatures {
// The displayed list of a canonical name, such as "dd->d"; empty for aliases
// and unknown names. Display data: not derived from the loop table.
std::vector<std::string> signatures(std::string_view name);
std::vector<std::string> signatures(Op op);
}  // namespace type_signatures
std::vector<std::string> signatures(std::string_view name);
std::vector<std::string> signatures(Op op);
// The same list as one text, entries separated by single blanks (static; read
// in place by callers that must not allocate); empty for aliases and unknown names.
std::string_view signature_list(std::string_view name);
std::string_view signature_list(Op op);

// The loop for these input dtypes, aliases normalised, long double widening
// applied. CannotConvert for a wrong input count, an unknown name or an input
// combination without a loop.
Result<Loop> resolve_loop(std::string_view name, std::span<const DType> inputs);
Result<Loop> resolve_loop(Op op, std::span<const DType> inputs);

// The same loop without its two lists, for callers that must not allocate:
// the input dtypes, then the output dtypes.
struct LoopDTypes {
  std::array<DType, 4> dtypes{};
  std::uint8_t nin = 0;
  std::uint8_t nout = 0;
  std::span<const DType> inputs() const { return {dtypes.data(), nin}; }
  std::span<const DType> outputs() const { return {dtypes.data() + nin, nout}; }
};
Result<LoopDTypes> resolve_loop_dtypes(Op op, std::span<const DType> inputs);

namespace loop_resolver {
// The raw table entry of a canonical name: nin input codes, then the outputs.
// No alias normalisation and no widening.
std::optional<std::vector<DType>> resolve(std::string_view name, std::span<const DType> inputs, std::uint64_t nin);
}  // namespace loop_resolver

}  // namespace quarvel_kernels
