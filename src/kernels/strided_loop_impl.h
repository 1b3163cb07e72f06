// The typed strided loop template and the generation of its table, for the
// translation units that instantiate them (strided_loop_table.h lists them).
//
// A loop takes one of four paths, all with sequential results:
//   blocks    no output touching another operand but an input at identical
//             positions: a block of inputs is read and computed whole and
//             screened at once, then written. Contiguous (inputs possibly
//             broadcast) it vectorises; strided it serves only float
//             results, whose screen it batches;
//   fold      input 0 and the output one element with stride 0 (a
//             reduction): the running value stays in a register;
//   scan      input 0 the output one element back (an accumulation): the
//             running value stays in a register as each result is written;
//   elements  anything else, one element after another.
// A mask is read a block at a time (mask_blocks.h): a fold gathers the
// selected elements of a block, blocks compute a block whole and write only
// its selected elements.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <emmintrin.h>
#include <immintrin.h>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "kernels/classify.h"
#include "kernels/complex_blocks.h"
#include "kernels/element_forms.h"
#include "kernels/half_lanes.h"
#include "kernels/loop_entries.h"
#include "kernels/loop_rules.h"
#include "kernels/mask_blocks.h"
#include "kernels/strided_loop_table.h"
#include "kernels/strided_loops.h"
#include "storage/float16.h"

namespace quarvel_kernels::strided_table {

using loop_rules::LoopPiece;
using namespace element_forms;

// ---- element access ----------------------------------------------------------

template <class T>
T load(const std::uint8_t* p) {
  if constexpr (std::is_same_v<T, bool>) {
    return *p != 0;
  } else if constexpr (std::is_same_v<T, Half>) {
    std::uint16_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return Half{quarvel_storage::half_bits_to_float(bits)};
  } else if constexpr (std::is_floating_point_v<T>) {
    // Read as the float type itself, at any alignment: a memcpy here may
    // become an integer load that the vectoriser then refuses.
    using Unaligned [[gnu::may_alias, gnu::aligned(1)]] = T;
    return *reinterpret_cast<const Unaligned*>(p);
  } else if constexpr (is_complex_element<T>) {
    // Part by part, for the same reason.
    using Unaligned [[gnu::may_alias, gnu::aligned(1)]] = typename T::value_type;
    const auto* parts = reinterpret_cast<const Unaligned*>(p);
    return T(parts[0], parts[1]);
  } else {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
}

template <class T>
void store(std::uint8_t* p, T v) {
  if constexpr (std::is_same_v<T, bool>) {
    *p = v ? 1 : 0;
  } else if constexpr (std::is_same_v<T, Half>) {
    const std::uint16_t bits = float_to_half_bits(v.value);
    std::memcpy(p, &bits, sizeof bits);
  } else if constexpr (std::is_floating_point_v<T>) {
    using Unaligned [[gnu::may_alias, gnu::aligned(1)]] = T;
    *reinterpret_cast<Unaligned*>(p) = v;
  } else if constexpr (is_complex_element<T>) {
    using Unaligned [[gnu::may_alias, gnu::aligned(1)]] = typename T::value_type;
    auto* parts = reinterpret_cast<Unaligned*>(p);
    parts[0] = v.real();
    parts[1] = v.imag();
  } else {
    std::memcpy(p, &v, sizeof v);
  }
}

constexpr std::ptrdiff_t offset(std::uint64_t i, std::int64_t stride) {
  return static_cast<std::ptrdiff_t>(i) * static_cast<std::ptrdiff_t>(stride);
}

// ---- one loop's kernel -------------------------------------------------------

// The form, its classification and its screen for the element types of one
// loop. Every arity takes (a, b, r1, r2): b repeats a's type for one input and
// r2 repeats r1's for one output, and both go unused.
template <Op op_, LoopPiece piece>
struct Kernel {
  static constexpr Op op = op_;
  static constexpr std::size_t nin = op_info(op).nin, nout = op_info(op).nout;
  template <std::size_t i>
  using at = element_t<piece.codes[i]>;
  using A = at<0>;
  using B = at<nin - 1>;
  using R1 = at<nin>;
  using R2 = at<nin + nout - 1>;

  static constexpr bool calls_function =
      nout == 1 && (nin == 1 ? unary_calls_function<op, A>() : binary_calls_function<op, A, B>());
  // A function a block calls once over all its elements.
  static constexpr bool runs_function = nin == 1 && nout == 1 && unary_runs_function<op, A>;
  using State = std::conditional_t<!calls_function, NoState,
                                   std::conditional_t<nin == 1, UnaryState<op, A>, BinaryState<op, A, B>>>;

  // Only integer powers refuse an element (a negative exponent), and a
  // function the tables lack: that refuses every element, so a loop that
  // finds no function refuses before its first one.
  static constexpr bool refuses_elements = op == Op::power && std::is_signed_v<A>;
  static constexpr bool has_half = std::is_same_v<A, Half> || std::is_same_v<B, Half> ||
                                   std::is_same_v<R1, Half> || std::is_same_v<R2, Half>;
  // Float16 inputs are converted a block at a time, and float16 results of
  // plain single-precision work rounded a block at a time.
  static constexpr bool stages_halves = std::is_same_v<A, Half> || std::is_same_v<B, Half>;
  static constexpr bool rounds_halves = nout == 1 && has_unrounded_half<op, A, B, R1>;
  // So are those of modf, frexp and divmod, each output a block at a time.
  static constexpr bool rounds_half_pairs = nout == 2 && std::is_same_v<A, Half> && std::is_same_v<R1, Half>;
  // The logical operations' 588 loops over every pair of input dtypes do not
  // repay their code in blocks.
  static constexpr bool blockwise = !refuses_elements && !is_logical<op>;
  static constexpr bool float_results = !std::is_integral_v<R1> || !std::is_integral_v<R2>;
  // A running value may stay in a register: it reads as its store would (a
  // float16 result is rounded to half already, a NaN one quieted).
  static constexpr bool foldable = nin == 2 && nout == 1 && std::is_same_v<A, R1>;
  // A fold whose faults all show in its final value (classify.h) runs its
  // chain unclassified first.
  static constexpr bool faults_show_at_end = foldable && fold_faults_show_at_end<op> && std::is_same_v<A, B> &&
                                             is_single_or_double<A>;

  static State state() {
    if constexpr (!calls_function) {
      return {};
    } else if constexpr (nin == 1) {
      return unary_state<op, A>();
    } else {
      return binary_state<op, A, B>();
    }
  }

  [[gnu::always_inline]] static bool compute(const State& state, A a, [[maybe_unused]] B b, R1& r1, [[maybe_unused]] R2& r2) {
    if constexpr (nin == 1 && nout == 1) {
      return unary_form<op, A, R1>(state, a, r1);
    } else if constexpr (nin == 1) {
      return unary2_form<op, A, R1, R2>(state, a, r1, r2);
    } else if constexpr (nout == 1) {
      return binary_form<op, A, B, R1>(state, a, b, r1);
    } else {
      return binary2_form<op, A, B, R1, R2>(state, a, b, r1, r2);
    }
  }

  static std::uint32_t classify(A a, [[maybe_unused]] B b, R1 r1, [[maybe_unused]] R2 r2) {
    if constexpr (nin == 1 && nout == 1) {
      return classify_unary<op>(a, r1);
    } else if constexpr (nin == 1) {
      return classify_unary2<op>(a, r1, r2);
    } else if constexpr (nout == 1) {
      return classify_binary<op>(a, b, r1);
    } else {
      return classify_binary2<op>(a, b, r1, r2);
    }
  }

  [[gnu::always_inline]] static bool screen(A a, [[maybe_unused]] B b, R1 r1, [[maybe_unused]] R2 r2) {
    if constexpr (nin == 1 && nout == 1) {
      return screen_unary<op>(a, r1);
    } else if constexpr (nin == 1) {
      return screen_unary2<op>(a, r1, r2);
    } else if constexpr (nout == 1) {
      return screen_binary<op>(a, b, r1);
    } else {
      return screen_binary2<op>(a, b, r1, r2);
    }
  }

  // The screen of a float16 result held as its bits.
  [[gnu::always_inline]] static bool screen_half(A a, [[maybe_unused]] B b, std::uint16_t r) {
    if constexpr (nin == 1) {
      return screen_unary_half<op>(a, r);
    } else {
      return screen_binary_half<op>(a, b, r);
    }
  }

  static constexpr std::size_t size(std::size_t arg) {
    using quarvel_storage::stored_size;
    constexpr std::size_t sizes[] = {stored_size<A>, stored_size<B>, stored_size<R1>, stored_size<R2>};
    return sizes[arg < nin ? arg : arg - nin + 2];
  }
};

// ---- elements ----------------------------------------------------------------

// The operands' pointers and strides held in locals: read through the
// caller's arrays, they would be read again after every store (which, for
// all the compiler knows, may change them).
template <class K>
struct Operands {
  static constexpr std::size_t count = K::nin + K::nout;
  std::uint8_t* base[count];
  std::int64_t stride[count];
  Operands(std::uint8_t* const* args, const std::int64_t* strides) {
    std::copy(args, args + count, base);
    std::copy(strides, strides + count, stride);
  }
  std::uint8_t* at(std::size_t k, std::ptrdiff_t i) const { return base[k] + i * stride[k]; }
};

template <class K, bool masked>
LoopResult elementwise(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                       std::uint64_t n, const std::uint8_t* mask, std::int64_t mask_stride) {
  using A = typename K::A;
  using B = typename K::B;
  const Operands<K> operands(args, strides);
  LoopResult result;
  // A signed count, so that the products below become pointer steps.
  const auto count = static_cast<std::ptrdiff_t>(n);
  for (std::ptrdiff_t i = 0; i < count; ++i) {
    if constexpr (masked) {
      if (mask[i * mask_stride] == 0) continue;
    }
    const A a = load<A>(operands.at(0, i));
    B b{};
    if constexpr (K::nin == 2) b = load<B>(operands.at(1, i));
    typename K::R1 r1{};
    typename K::R2 r2{};
    if (!K::compute(state, a, b, r1, r2)) {
      result.failed = true;
      return result;
    }
    result.faults |= K::classify(a, b, r1, r2);
    store(operands.at(K::nin, i), r1);
    if constexpr (K::nout == 2) store(operands.at(K::nin + 1, i), r2);
  }
  return result;
}

// ---- blocks ------------------------------------------------------------------

constexpr std::size_t block_size = 256;

// The bytes an operand of n > 0 elements touches.
struct ByteRange {
  std::uintptr_t begin, end;
  bool overlaps(const ByteRange& other) const { return begin < other.end && other.begin < end; }
};
inline ByteRange bytes_of(const std::uint8_t* p, std::int64_t stride, std::uint64_t n, std::size_t size) {
  const auto first = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t last = first + static_cast<std::uintptr_t>(offset(n - 1, stride));
  return {std::min(first, last), std::max(first, last) + size};
}

enum class Blocks : std::uint8_t { none, contiguous, strided };

// Blocks need every output apart from the other operands (or exactly an
// input: same start, same stride) and never a stride 0 output; they are
// contiguous when the outputs are and the inputs are too or broadcast.
template <class K>
Blocks blocks_layout(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  constexpr std::size_t nargs = K::nin + K::nout;
  bool contiguous = true;
  for (std::size_t k = 0; k < nargs; ++k) {
    const auto size = static_cast<std::int64_t>(K::size(k));
    if (k >= K::nin && strides[k] == 0) return Blocks::none;
    contiguous = contiguous && (strides[k] == size || (k < K::nin && strides[k] == 0));
  }
  for (std::size_t k = K::nin; k < nargs; ++k) {
    const ByteRange out = bytes_of(args[k], strides[k], n, K::size(k));
    for (std::size_t j = 0; j < nargs; ++j) {
      if (j == k || !out.overlaps(bytes_of(args[j], strides[j], n, K::size(j)))) continue;
      if (j >= K::nin || args[j] != args[k] || strides[j] != strides[k]) return Blocks::none;
    }
  }
  return contiguous ? Blocks::contiguous : Blocks::strided;
}

// Within a block, a bool result of a float64 comparison is held as 0.0 or
// 1.0: SSE2 cannot narrow a 64-bit comparison mask to a byte, but it can a
// double, so the comparison and the store both stay vectorised.
template <class R, class A>
using lane_t = std::conditional_t<std::is_same_v<R, bool> && std::is_same_v<A, double>, double, R>;

template <class L, class R>
L to_lane(R r) {
  if constexpr (std::is_same_v<L, R>) {
    return r;
  } else {
    return r ? L(1) : L(0);
  }
}
template <class R, class L>
R from_lane(L lane) {
  if constexpr (std::is_same_v<L, R>) {
    return lane;
  } else {
    return static_cast<int>(lane) != 0;
  }
}

template <class K>
struct Block {
  using First = lane_t<typename K::R1, typename K::A>;
  First first[block_size];
  typename K::R2 second[K::nout == 2 ? block_size : 1];
  float halves[2][K::stages_halves ? block_size : 1];  // float16 inputs as floats
  float unrounded[K::rounds_half_pairs ? 2 : 1][K::rounds_halves || K::rounds_half_pairs ? block_size : 1];
  // Staged float16 input bits, or float16 results (rounded at once, those of
  // rounds_halves held here alone).
  std::uint16_t bits[K::has_half ? block_size : 1];
};

// Where one block reads and writes: its operands' first elements and the
// byte steps between its elements (the element sizes when contiguous, which
// the code below spells as constants so that the compiler sees them).
struct BlockPlace {
  const std::uint8_t* in[2];
  std::ptrdiff_t in_step[2];
  std::uint8_t* out[2];
  std::ptrdiff_t out_step[2];
};

template <class T, bool contiguous>
std::ptrdiff_t step_of(std::ptrdiff_t step) {
  return contiguous ? static_cast<std::ptrdiff_t>(quarvel_storage::stored_size<T>) : step;
}

// The float16 input `k` of a block, converted at once into block.halves[k].
template <class K, bool contiguous, std::size_t k>
void stage_halves(const BlockPlace& place, Block<K>& block) {
  const std::ptrdiff_t step = step_of<Half, contiguous>(place.in_step[k]);
  if (contiguous) {
    quarvel_storage::halves_to_floats(place.in[k], block.halves[k], block_size);
    return;
  }
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j)
    std::memcpy(&block.bits[j], place.in[k] + j * step, sizeof block.bits[j]);
  quarvel_storage::halves_to_floats(block.bits, block.halves[k], block_size);
}

template <class T, class K, bool contiguous, std::size_t k>
[[gnu::always_inline]] inline T block_input(const BlockPlace& place, const Block<K>& block, std::ptrdiff_t j) {
  if constexpr (std::is_same_v<T, Half>) {
    return Half{block.halves[k][j]};
  } else {
    return load<T>(place.in[k] + j * step_of<T, contiguous>(place.in_step[k]));
  }
}

// A block of single-precision values rounded to half at once, as elements.
inline void rounded_halves(const float* values, std::uint16_t* bits, Half* out) {
  static_assert(sizeof(Half) == sizeof(float));
  float rounded[block_size];
  quarvel_storage::floats_to_halves(values, bits, block_size);
  quarvel_storage::halves_to_floats(bits, rounded, block_size);
  std::memcpy(static_cast<void*>(out), rounded, sizeof rounded);
}

// Same-type float32 and float64 products, squares, quotients and
// reciprocals: where results fall below the normal range in bulk (tiny
// operands, huge divisors), and where the vectors settle the exactness of
// subnormal results (settled_flags).
template <class K>
inline constexpr bool underflows_in_bulk = [] {
  using F = typename K::A;
  constexpr ExactRow row = fault_rule(K::op).exact;
  return is_single_or_double<F> && std::is_same_v<typename K::B, F> && std::is_same_v<typename K::R1, F> &&
         K::nout == 1 && !K::calls_function &&
         (row == ExactRow::product || row == ExactRow::square || row == ExactRow::quotient ||
          row == ExactRow::reciprocal);
}();

// Computes a block into `block` and counts the elements the screen passes.
// Its count is a constant: such a loop vectorises even where the compiler
// will not add a remainder loop (-O2). Where `settled_faults` is given, a
// block whose flags the lanes settle counts as passed, its flags added there.
// Without `screened`, an underflows_in_bulk block is only computed.
template <class K, bool contiguous, bool screened = true>
std::size_t compute_block(const typename K::State& state, const BlockPlace& place, Block<K>& block,
                          std::uint32_t* settled_faults = nullptr) {
  using A = typename K::A;
  using B = typename K::B;
  constexpr auto count = static_cast<std::ptrdiff_t>(block_size);
  // As wide as the result lanes (a complex result's parts): a count narrower
  // or wider than them stops the vectoriser.
  using Count = std::conditional_t<sizeof(classify_detail::real_part_of(typename Block<K>::First{})) == 8,
                                   std::uint64_t, std::uint32_t>;
  Count quiet = 0;
  if constexpr (K::runs_function) {
    A inputs[block_size];
    const std::ptrdiff_t step = step_of<A, contiguous>(place.in_step[0]);
    for (std::ptrdiff_t j = 0; j < count; ++j) inputs[j] = load<A>(place.in[0] + j * step);
    state(inputs, block.first, block_size);
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      typename K::R2 unused{};
      quiet += K::screen(inputs[j], inputs[j], block.first[j], unused);
    }
    return static_cast<std::size_t>(quiet);
  }
  if constexpr (std::is_same_v<A, Half>) stage_halves<K, contiguous, 0>(place, block);
  if constexpr (K::nin == 2 && std::is_same_v<B, Half>) stage_halves<K, contiguous, 1>(place, block);
  if constexpr (complex_blocks::handles<K::op, A, B, typename K::R1>) {
    const std::uint8_t* in[2] = {place.in[0], place.in[1]};
    const std::ptrdiff_t steps[2] = {step_of<A, contiguous>(place.in_step[0]), step_of<B, contiguous>(place.in_step[1])};
    auto again = [&](std::ptrdiff_t j) {
      B b{};
      if constexpr (K::nin == 2) b = block_input<B, K, contiguous, 1>(place, block, j);
      typename K::R1 r1{};
      typename K::R2 unused{};
      K::compute(state, block_input<A, K, contiguous, 0>(place, block, j), b, r1, unused);
      return r1;
    };
    std::uint32_t faults = 0;
    if (!complex_blocks::compute_block<K::op, typename A::value_type, contiguous, count>(in, steps, block.first, again,
                                                                                       faults))
      return 0;
    // Settled flags are the whole block's: a masked block classifies its selected elements instead.
    if (faults != 0 && settled_faults == nullptr) return 0;
    if (settled_faults != nullptr) *settled_faults |= faults;
    return block_size;
  }
  if constexpr (K::rounds_halves) {
    // The single-precision values, rounded to half all at once into the
    // results' bits, which the screen reads and the store writes as they are.
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      if constexpr (K::nin == 1) {
        block.unrounded[0][j] = unrounded_half<K::op, A>(state, block_input<A, K, contiguous, 0>(place, block, j));
      } else {
        block.unrounded[0][j] = unrounded_half<K::op, B>(state, block_input<A, K, contiguous, 0>(place, block, j),
                                                      block_input<B, K, contiguous, 1>(place, block, j));
      }
    }
    quarvel_storage::floats_to_halves(block.unrounded[0], block.bits, block_size);
    std::uint32_t passed = 0;
    for (std::ptrdiff_t j = 0; j < count; ++j)
      passed += K::screen_half(block_input<A, K, contiguous, 0>(place, block, j),
                               block_input<B, K, contiguous, 1>(place, block, j), block.bits[j]);
    return passed;
  }
  if constexpr (K::rounds_half_pairs) {
    // The single-precision results, each float16 output rounded all at once.
    auto input_b = [&](std::ptrdiff_t j) {
      if constexpr (K::nin == 2) return block_input<B, K, contiguous, 1>(place, block, j);
      else return B{};
    };
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      const auto [first, second] =
          unrounded_half_pair<K::op>(block_input<A, K, contiguous, 0>(place, block, j), input_b(j));
      block.unrounded[0][j] = first;
      if constexpr (std::is_same_v<typename K::R2, Half>) {
        block.unrounded[1][j] = second;
      } else {
        block.second[j] = second;
      }
    }
    rounded_halves(block.unrounded[0], block.bits, block.first);
    if constexpr (std::is_same_v<typename K::R2, Half>) rounded_halves(block.unrounded[1], block.bits, block.second);
    for (std::ptrdiff_t j = 0; j < count; ++j)
      quiet += K::screen(block_input<A, K, contiguous, 0>(place, block, j), input_b(j), block.first[j],
                         block.second[j]);
    return static_cast<std::size_t>(quiet);
  }
  for (std::ptrdiff_t j = 0; j < count; ++j) {
    const A a = block_input<A, K, contiguous, 0>(place, block, j);
    B b{};
    if constexpr (K::nin == 2) b = block_input<B, K, contiguous, 1>(place, block, j);
    typename K::R1 r1{};
    typename K::R2 unused{};
    typename K::R2& r2 = K::nout == 2 ? block.second[j] : unused;
    K::compute(state, a, b, r1, r2);
    if constexpr (!underflows_in_bulk<K>) quiet += K::screen(a, b, r1, r2);
    block.first[j] = to_lane<typename Block<K>::First>(r1);
  }
  if constexpr (underflows_in_bulk<K> && screened) {
    // Screened as stored: a result that underflowed costs this processor
    // many cycles where the next instruction takes it from a register, and
    // none where it is read back from memory.
    for (std::ptrdiff_t j = 0; j < count; ++j) {
      const A a = block_input<A, K, contiguous, 0>(place, block, j);
      B b{};
      if constexpr (K::nin == 2) b = block_input<B, K, contiguous, 1>(place, block, j);
      typename K::R2 unused{};
      quiet += K::screen(a, b, block.first[j], unused);
    }
  }
  return static_cast<std::size_t>(quiet);
}

// The flags of a computed block that the screen refused somewhere, its
// inputs read again: the common rules over every element at once (a loop
// that vectorises), then the detail over the few elements it may concern.
template <class K, bool contiguous>
struct BlockElements {
  const BlockPlace& place;
  const Block<K>& block;
  // Float16 results held as their bits, as floats.
  float rounded[K::rounds_halves ? block_size : 1];

  BlockElements(const BlockPlace& p, const Block<K>& b) : place(p), block(b) {
    if constexpr (K::rounds_halves) quarvel_storage::halves_to_floats(block.bits, rounded, block_size);
  }

  template <class Classify>
  [[gnu::always_inline]] auto operator()(std::ptrdiff_t j, Classify classify) const {
    typename K::B b{};
    if constexpr (K::nin == 2) b = block_input<typename K::B, K, contiguous, 1>(place, block, j);
    typename K::R1 r1;
    if constexpr (K::rounds_halves) {
      r1 = Half{rounded[j]};
    } else {
      r1 = from_lane<typename K::R1>(block.first[j]);
    }
    return classify(block_input<typename K::A, K, contiguous, 0>(place, block, j), b, r1,
                    block.second[K::nout == 2 ? j : 0]);
  }
};

// Masks as wide as the lanes: a wider or narrower one stops the vectoriser.
template <class K>
using LaneMask = std::conditional_t<sizeof(classify_detail::real_part_of(typename K::A{})) == 8, std::uint64_t, std::uint32_t>;

// A pass's flags, whether any element needs what comes after it, and (of a
// pass over both) whether a lane row's result may be subnormal.
struct CommonPass {
  std::uint32_t faults;
  bool detail;
  bool lanes = false;
};

// What a pass decides: the common rules, and whether any element needs the
// detail; the exactness of subnormal results that the lanes decide, and
// whether any element needs the rest of the detail; or both at once.
enum class Pass : std::uint8_t { common, lanes, both };

// `fused`: through the processor's fused multiply-add.
template <class K, bool contiguous, Pass pass, bool fused = false>
[[gnu::always_inline]] inline CommonPass block_pass(const BlockPlace& place, const Block<K>& block) {
  using M = LaneMask<K>;
  constexpr Op op = K::op;
  const BlockElements<K, contiguous> element(place, block);
  M faults = 0, detail = 0, lanes = 0;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j) {
    faults |= element(j, [](auto... v) {
      if constexpr (pass == Pass::common) return classify_detail::common_faults<op, M>(v...);
      else if constexpr (pass == Pass::lanes) return classify_detail::lane_row_faults<op, M, fused>(v...);
      else return classify_detail::common_faults<op, M>(v...) | classify_detail::lane_row_faults<op, M, fused>(v...);
    });
    detail |= element(j, [](auto... v) { return classify_detail::needs_detail<op, M, pass != Pass::common>(v...); });
    if constexpr (pass == Pass::both)
      lanes |= element(j, [](auto... v) { return classify_detail::needs_detail<op, M>(v...); });
  }
  return {static_cast<std::uint32_t>(faults), detail != 0, lanes != 0};
}

template <class K, bool contiguous, Pass pass>
[[gnu::target("avx2,fma")]] CommonPass block_pass_avx2(const BlockPlace& place, const Block<K>& block) {
  return block_pass<K, contiguous, pass, true>(place, block);
}

// Same-type float32 and float64 operations whose common rules read only the
// value tests of each operand and result (no exactness decided among them,
// no intermediate, no NaN that reports nothing): their common pass runs on
// whole vectors with the processor's comparisons, one lane mask per flag
// gathered over the block, at half the instructions of facts_of's bit tests
// (a run of 1 / 0 or 0 / 0 takes this pass on every block).
template <class K>
inline constexpr bool vector_common_pass = [] {
  using F = typename K::A;
  constexpr FaultRule rule = fault_rule(K::op);
  return is_single_or_double<F> && std::is_same_v<typename K::B, F> && std::is_same_v<typename K::R1, F> &&
         K::nout == 1 && !rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine &&
         !rule.nan_for_infinite_input && !rule.nan_for_zero_divisor && !rule.nan_for_infinite_dividend &&
         (rule.zero == ZeroRule::none || (rule.zero == ZeroRule::division && K::nin == 2) ||
          (rule.zero == ZeroRule::zero_input && K::nin == 1)) &&
         !classify_detail::is_plain_row(rule.exact);
}();

#define QUARVEL_VECTOR_LANES gnu::target("avx2,fma"), gnu::always_inline

// Lane masks of 32-byte vectors of F, through the processor's own operations
// (the compiler, seeing generic ones, turns a masked OR into blends).
template <class F>
struct VectorOf {
  using type = __m256d;
};
template <>
struct VectorOf<float> {
  using type = __m256;
};

template <class F>
struct VectorLanes {
  static constexpr bool single = sizeof(F) == 4;
  using V = typename VectorOf<F>::type;
  [[QUARVEL_VECTOR_LANES]] static V load(const std::uint8_t* p) {
    if constexpr (single) return _mm256_loadu_ps(reinterpret_cast<const float*>(p));
    else return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
  }
  [[QUARVEL_VECTOR_LANES]] static V splat(F x) {
    if constexpr (single) return _mm256_set1_ps(x);
    else return _mm256_set1_pd(x);
  }
  template <int predicate>
  [[QUARVEL_VECTOR_LANES]] static V compare(V x, V y) {
    if constexpr (single) return _mm256_cmp_ps(x, y, predicate);
    else return _mm256_cmp_pd(x, y, predicate);
  }
  [[QUARVEL_VECTOR_LANES]] static V both(V x, V y) {
    if constexpr (single) return _mm256_and_ps(x, y);
    else return _mm256_and_pd(x, y);
  }
  [[QUARVEL_VECTOR_LANES]] static V either(V x, V y) {
    if constexpr (single) return _mm256_or_ps(x, y);
    else return _mm256_or_pd(x, y);
  }
  [[QUARVEL_VECTOR_LANES]] static V times(V x, V y) {
    if constexpr (single) return _mm256_mul_ps(x, y);
    else return _mm256_mul_pd(x, y);
  }
  // x y - z, rounded once.
  [[QUARVEL_VECTOR_LANES]] static V fused_residual(V x, V y, V z) {
    if constexpr (single) return _mm256_fmsub_ps(x, y, z);
    else return _mm256_fmsub_pd(x, y, z);
  }
  [[QUARVEL_VECTOR_LANES]] static V but_not(V no, V x) {  // x and not no
    if constexpr (single) return _mm256_andnot_ps(no, x);
    else return _mm256_andnot_pd(no, x);
  }
  // |x|, and whether it is zero from its bits: a floating comparison would
  // take a subnormal for zero on a processor told to read them so.
  [[QUARVEL_VECTOR_LANES]] static V magnitude(V x) { return but_not(splat(F(-0.0)), x); }
  [[QUARVEL_VECTOR_LANES]] static V zero_bits(V magnitude) {
    if constexpr (single) {
      return _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_castps_si256(magnitude), _mm256_setzero_si256()));
    } else {
      return _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_castpd_si256(magnitude), _mm256_setzero_si256()));
    }
  }
  // Nonzero magnitudes below the smallest normal's, compared as their bits
  // (ordered as the values they encode, NaN above infinity).
  [[QUARVEL_VECTOR_LANES]] static V subnormal_bits(V magnitude, V zero) {
    const __m256i bits = cast_bits(magnitude);
    const F smallest = std::numeric_limits<F>::min();
    if constexpr (single) {
      return but_not(zero, _mm256_castsi256_ps(_mm256_cmpgt_epi32(cast_bits(splat(smallest)), bits)));
    } else {
      return but_not(zero, _mm256_castsi256_pd(_mm256_cmpgt_epi64(cast_bits(splat(smallest)), bits)));
    }
  }
  [[QUARVEL_VECTOR_LANES]] static __m256i cast_bits(V x) {
    if constexpr (single) return _mm256_castps_si256(x);
    else return _mm256_castpd_si256(x);
  }
  [[QUARVEL_VECTOR_LANES]] static int lanes_of(V m) {
    if constexpr (single) return _mm256_movemask_ps(m);
    else return _mm256_movemask_pd(m);
  }
  [[QUARVEL_VECTOR_LANES]] static bool any(V m) { return lanes_of(m) != 0; }
  // The lanes whose magnitudes (as bits) are below `bound`'s, in their sign
  // bits: those of the differences, which neither wrap (magnitudes and
  // bounds leave the sign bit clear).
  [[QUARVEL_VECTOR_LANES]] static V below(V magnitude, __m256i bound) {
    if constexpr (single) return _mm256_castsi256_ps(_mm256_sub_epi32(cast_bits(magnitude), bound));
    else return _mm256_castsi256_pd(_mm256_sub_epi64(cast_bits(magnitude), bound));
  }
  // The lanes where a magnitude is infinite or NaN, in their sign bits: one
  // unit added to an exponent field of all ones carries into the sign.
  //   binary64  0 eeeeeeeeeee f(52) + 2^52;  binary32  0 eeeeeeee f(23) + 2^23
  [[QUARVEL_VECTOR_LANES]] static V nonfinite_signs(V magnitude) {
    if constexpr (single) {
      return _mm256_castsi256_ps(_mm256_add_epi32(cast_bits(magnitude), _mm256_set1_epi32(1 << 23)));
    } else {
      return _mm256_castsi256_pd(_mm256_add_epi64(cast_bits(magnitude), _mm256_set1_epi64x(std::int64_t{1} << 52)));
    }
  }
};

// Which results v of x op y are exact, where v is subnormal (which leaves
// every operand finite and nonzero, and the sign of v theirs): from the
// magnitudes, and v as m = |v| 2^149 (float32) or 2^1074 (float64), the
// integer of its bits, so that no arithmetic reads a subnormal value (which
// costs this processor more). The residual of one fused multiply-add is then
// zero exactly where v is exact; its operands are scaled by powers of two,
// exactly, so that it neither overflows nor underflows: a subnormal result v
// leaves the product's operands below 2^23 (float32) or 2^52 (float64), a
// quotient's divisor above 2^-23 or 2^-52 and its dividend below 4, and a
// reciprocal's operand at 2^126 or 2^1022 or above. The residual's nonzero
// values are then at least 2^-95 (float32) or 2^-641.
template <ExactRow row, class F>
[[QUARVEL_VECTOR_LANES]] inline typename VectorOf<F>::type exact_lanes(typename VectorOf<F>::type x_magnitude,
                                                                      typename VectorOf<F>::type y_magnitude,
                                                                      typename VectorOf<F>::type v_magnitude) {
  using L = VectorLanes<F>;
  using V = typename VectorOf<F>::type;
  constexpr bool single = sizeof(F) == 4;
  V m;
  if constexpr (single) {
    m = _mm256_cvtepi32_ps(_mm256_castps_si256(v_magnitude));
  } else {
    //   0 00000000000 f(52) | 2^52's bits  =  2^52 + f
    m = _mm256_sub_pd(_mm256_or_pd(v_magnitude, L::splat(std::bit_cast<double>(0x4330000000000000))), L::splat(0x1p52));
  }
  V residual;
  if constexpr (row == ExactRow::product || row == ExactRow::square) {
    // m 2^-21 (float32), m (float64): |v| 2^128, |v| 2^1074
    const V up = L::splat(single ? F(0x1p64) : F(0x1p537)), v_up = single ? L::times(m, L::splat(F(0x1p-21))) : m;
    residual = L::fused_residual(L::times(x_magnitude, up), L::times(y_magnitude, up), v_up);
  } else {
    // m 2^-49 (float32), m 2^-537 (float64): |v| 2^100, |v| 2^537
    const V up = L::splat(single ? F(0x1p100) : F(0x1p537));
    const V v_up = L::times(m, L::splat(single ? F(0x1p-49) : F(0x1p-537)));
    if constexpr (row == ExactRow::quotient) {
      residual = L::fused_residual(v_up, y_magnitude, L::times(x_magnitude, up));
    } else {
      static_assert(row == ExactRow::reciprocal);
      residual = L::fused_residual(v_up, x_magnitude, up);
    }
  }
  return L::template compare<_CMP_EQ_OQ>(residual, L::splat(0));
}

// Input k's vector of a block at element j.
template <class K, bool contiguous>
[[QUARVEL_VECTOR_LANES]] inline typename VectorOf<typename K::A>::type input_vector(const BlockPlace& place,
                                                                                 std::size_t k, std::ptrdiff_t j) {
  using F = typename K::A;
  using L = VectorLanes<F>;
  if constexpr (contiguous) {
    return L::load(place.in[k] + j * static_cast<std::ptrdiff_t>(sizeof(F)));
  } else {
    F v[32 / sizeof(F)];
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(32 / sizeof(F)); ++i)
      v[i] = load<F>(place.in[k] + (j + i) * place.in_step[k]);
    return L::load(reinterpret_cast<const std::uint8_t*>(v));
  }
}

// common_faults and needs_detail (subnormal results) of vector_common_pass
// operations; a one-input operation reads its input as both operands, which
// leaves every rule's answer as it is. With `finite`, the rules as they read
// where every operand and result is finite (blocks of zeros and subnormals
// are): no answer from a block with one that is not.
template <class K, bool contiguous, bool finite>
[[QUARVEL_VECTOR_LANES]] inline std::optional<CommonPass> vector_pass(const BlockPlace& place, const Block<K>& block) {
  using F = typename K::A;
  using L = VectorLanes<F>;
  using V = typename L::V;
  constexpr std::ptrdiff_t lanes = 32 / sizeof(F);
  constexpr FaultRule rule = fault_rule(K::op);
  static_assert(std::is_same_v<typename Block<K>::First, F>);
  const V infinity = L::splat(std::numeric_limits<F>::infinity());
  V divide = L::splat(0), over = divide, under = divide, invalid = divide, detail = divide;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); j += lanes) {
    const V a = input_vector<K, contiguous>(place, 0, j), b = input_vector<K, contiguous>(place, K::nin - 1, j);
    const V r = L::load(reinterpret_cast<const std::uint8_t*>(block.first + j));
    const V a_magnitude = L::magnitude(a), b_magnitude = L::magnitude(b), r_magnitude = L::magnitude(r);
    [[maybe_unused]] V finite_a, all_finite;
    if constexpr (finite) {
      const V nonfinite = L::either(L::either(L::nonfinite_signs(a_magnitude), L::nonfinite_signs(b_magnitude)),
                                    L::nonfinite_signs(r_magnitude));
      if (L::any(nonfinite)) return std::nullopt;
    } else {
      finite_a = L::template compare<_CMP_LT_OQ>(a_magnitude, infinity);
      all_finite = L::both(finite_a, L::template compare<_CMP_LT_OQ>(b_magnitude, infinity));
    }
    [[maybe_unused]] const V zero_a = L::zero_bits(a_magnitude), zero_b = L::zero_bits(b_magnitude), zero_r = L::zero_bits(r_magnitude);
    V divided = L::splat(0);
    if constexpr (rule.zero == ZeroRule::division) {
      invalid = L::either(invalid, L::both(zero_a, zero_b));
      divided = L::but_not(zero_a, zero_b);
      if constexpr (!finite) divided = L::both(divided, finite_a);
    } else if constexpr (rule.zero == ZeroRule::zero_input) {
      divided = zero_a;
    }
    if constexpr (rule.zero != ZeroRule::none) divide = L::either(divide, divided);
    if constexpr (!finite) {
      // A NaN result from no NaN operand.
      invalid = L::either(invalid, L::but_not(L::template compare<_CMP_UNORD_Q>(a, b), L::template compare<_CMP_UNORD_Q>(r, r)));
      V overflowed = L::both(L::template compare<_CMP_EQ_OQ>(r_magnitude, infinity), all_finite);
      if constexpr (rule.zero != ZeroRule::none) overflowed = L::but_not(divided, overflowed);
      over = L::either(over, overflowed);
    }
    if constexpr (rule.flush_to_zero) {
      V flushed = L::but_not(L::either(zero_a, zero_b), zero_r);
      if constexpr (!finite) flushed = L::both(flushed, all_finite);
      under = L::either(under, flushed);
    }
    detail = L::either(detail, L::subnormal_bits(r_magnitude, zero_r));
  }
  const std::uint32_t faults = (L::any(divide) ? fault_divide : 0u) | (L::any(over) ? fault_over : 0u) |
                               (L::any(under) ? fault_under : 0u) | (L::any(invalid) ? fault_invalid : 0u);
  return CommonPass{faults, L::any(detail)};
}

// The flags of a vector of an underflows_in_bulk operation, read off its
// results first: a NaN result from no NaN operand is invalid; an infinite
// one divides by zero or overflows, and a zero one underflows, as the
// operands say; a subnormal one underflows unless exact. Each operation's
// results rule out the cases its general rules (vector_pass) must test.
// With `underflowed` (the run has already raised underflow), no underflow;
// with `finite` (every result finite), only underflow.
template <class K, bool underflowed>
struct BulkFlags {
  using F = typename K::A;
  using L = VectorLanes<F>;
  using V = typename L::V;
  static constexpr FaultRule rule = fault_rule(K::op);
  V divide, over, under, invalid;

  [[QUARVEL_VECTOR_LANES]] static BulkFlags none() {
    const V zero = L::splat(0);
    return {zero, zero, zero, zero};
  }

  // b is a again for one input.
  template <bool finite>
  [[QUARVEL_VECTOR_LANES]] void add(V a, V b, V r) {
    const V infinity = L::splat(std::numeric_limits<F>::infinity());
    const V a_magnitude = L::magnitude(a), b_magnitude = L::magnitude(b), r_magnitude = L::magnitude(r);
    const V infinite_r = L::template compare<_CMP_EQ_OQ>(r_magnitude, infinity), zero_r = L::zero_bits(r_magnitude);
    const V infinite_a = L::template compare<_CMP_EQ_OQ>(a_magnitude, infinity), zero_a = L::zero_bits(a_magnitude);
    if constexpr (!finite) {
      invalid = L::either(invalid, L::but_not(L::template compare<_CMP_UNORD_Q>(a, b),
                                              L::template compare<_CMP_UNORD_Q>(r, r)));
    }
    [[maybe_unused]] V flushed;
    if constexpr (rule.zero == ZeroRule::division) {
      // Infinite from finite a: over zero or overflowed. Zero from finite a
      // and b: a zero dividend, or underflowed.
      const V zero_b = L::zero_bits(b_magnitude), infinite = L::but_not(infinite_a, infinite_r);
      if constexpr (!finite) {
        divide = L::either(divide, L::both(infinite, zero_b));
        over = L::either(over, L::but_not(zero_b, infinite));
      }
      flushed = L::but_not(L::either(zero_a, L::template compare<_CMP_EQ_OQ>(b_magnitude, infinity)), zero_r);
    } else if constexpr (rule.zero == ZeroRule::zero_input) {
      // Infinite from zero or a subnormal; zero from an infinity only.
      if constexpr (!finite) {
        divide = L::either(divide, zero_a);
        over = L::either(over, L::but_not(zero_a, infinite_r));
      }
      flushed = L::but_not(infinite_a, zero_r);
    } else {
      static_assert(rule.zero == ZeroRule::none);
      // Infinite or zero from finite operands only.
      const V infinite_b = L::template compare<_CMP_EQ_OQ>(b_magnitude, infinity), zero_b = L::zero_bits(b_magnitude);
      if constexpr (!finite) over = L::either(over, L::but_not(L::either(infinite_a, infinite_b), infinite_r));
      flushed = L::but_not(L::either(zero_a, zero_b), zero_r);
    }
    if constexpr (!underflowed) {
      under = L::either(under, flushed);
      const V subnormal = L::subnormal_bits(r_magnitude, zero_r);
      // Only where some result is subnormal: a vector of zeros or NaNs skips it.
      if (L::any(subnormal))
        under = L::either(under, L::but_not(exact_lanes<rule.exact, F>(a_magnitude, b_magnitude, r_magnitude), subnormal));
    }
  }

  [[QUARVEL_VECTOR_LANES]] std::uint32_t faults() const {
    return (L::any(divide) ? fault_divide : 0u) | (L::any(over) ? fault_over : 0u) |
           (L::any(under) ? fault_under : 0u) | (L::any(invalid) ? fault_invalid : 0u);
  }
};

// The screen of a computed underflows_in_bulk block that settles its flags
// as well: a run of vectors whose results are all normal passes (no rule of
// these operations fires beside a normal result), and the others have their
// flags gathered there and then, while the block is at hand, rather than in
// a second pass over the whole block (a run of 1 / 0 or x * 0 would cost
// twice a cheap division or product). The results are screened sixteen at
// a time, at one branch: ordinary blocks then cost less than the screen
// that counted the passed elements did, and a run of 1 / 0 less than with
// four float32 vectors at a time (which spills the rules' masks).
template <class K, bool contiguous, bool underflowed>
[[QUARVEL_VECTOR_LANES]] inline std::uint32_t settled_flags(const BlockPlace& place, const Block<K>& block) {
  static_assert(vector_common_pass<K> && underflows_in_bulk<K> && fault_rule(K::op).flush_to_zero);
  using F = typename K::A;
  using L = VectorLanes<F>;
  using V = typename L::V;
  constexpr std::ptrdiff_t lanes = 32 / sizeof(F), group = 16 / lanes;
  static_assert(block_size % (group * lanes) == 0);
  const __m256i smallest = L::cast_bits(L::splat(std::numeric_limits<F>::min())),
                infinity = L::cast_bits(L::splat(std::numeric_limits<F>::infinity()));
  auto flags = BulkFlags<K, underflowed>::none();
  constexpr int every_lane = (1 << lanes) - 1;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); j += group * lanes) {
    // In their sign bits: some result below the normal range; every result finite.
    V r[group], small = L::splat(0), finite = L::splat(F(-0.0));
    for (std::ptrdiff_t i = 0; i < group; ++i) {
      r[i] = L::load(reinterpret_cast<const std::uint8_t*>(block.first + j + i * lanes));
      const V magnitude = L::magnitude(r[i]);
      small = L::either(small, L::below(magnitude, smallest));
      finite = L::both(finite, L::below(magnitude, infinity));
    }
    if (L::lanes_of(L::but_not(small, finite)) == every_lane) [[likely]]
      continue;
    // Zeros and subnormals alone (masks, underflow) can only underflow.
    const bool all_finite = L::lanes_of(finite) == every_lane;
    if (all_finite && underflowed) continue;
    for (std::ptrdiff_t i = 0; i < group; ++i) {
      const std::ptrdiff_t k = j + i * lanes;
      const V a = input_vector<K, contiguous>(place, 0, k), b = input_vector<K, contiguous>(place, K::nin - 1, k);
      if (all_finite) flags.template add<true>(a, b, r[i]);
      else flags.template add<false>(a, b, r[i]);
    }
  }
  return flags.faults();
}

template <class K, bool contiguous>
[[gnu::target("avx2,fma")]] CommonPass vector_pass_avx2(const BlockPlace& place, const Block<K>& block) {
  if (const auto pass = vector_pass<K, contiguous, true>(place, block)) return *pass;
  return *vector_pass<K, contiguous, false>(place, block);
}

#undef QUARVEL_VECTOR_LANES

inline bool has_avx2_fma() {
  static const bool present = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return present;
}

// The block computed in AVX2 (the same operations, rounded alike): results
// that underflow cost this processor far less there than in SSE, and ordinary
// ones less too. Its flags are settled by its screen and added to `faults`,
// which holds the run's so far.
template <class K, bool contiguous>
[[gnu::target("avx2,fma"), gnu::flatten]] void compute_block_avx2(const typename K::State& state,
                                                                 const BlockPlace& place, Block<K>& block,
                                                                 std::uint32_t& faults) {
  compute_block<K, contiguous, false>(state, place, block);
  // Past the run's first underflow, a run of subnormal results or of
  // products flushed to zero pays for its other flags alone.
  faults |= (faults & fault_under) != 0 ? settled_flags<K, contiguous, true>(place, block)
                                        : settled_flags<K, contiguous, false>(place, block);
}

template <class K, bool contiguous, Pass pass>
CommonPass classify_pass(const BlockPlace& place, const Block<K>& block) {
  if constexpr (pass == Pass::common && vector_common_pass<K>) {
    return has_avx2_fma() ? vector_pass_avx2<K, contiguous>(place, block) : block_pass<K, contiguous, pass>(place, block);
  }
  return has_avx2_fma() ? block_pass_avx2<K, contiguous, pass>(place, block)
                        : block_pass<K, contiguous, pass>(place, block);
}

// The detail runs outside the AVX2 passes: its out-of-line calls are SSE code,
// which some processors run hundreds of cycles slower while the upper halves
// of the vector registers are in use. `lanes_before`: whether the block
// before needed the lane rows; a block after such a block (runs of subnormal
// results come in blocks) takes the common rules and the lane rows in one pass.
template <class K, bool contiguous>
std::uint32_t classify_block(const BlockPlace& place, const Block<K>& block, bool& lanes_before) {
  using M = LaneMask<K>;
  constexpr Op op = K::op;
  constexpr bool lane_rows = classify_detail::has_lane_rows<op, typename K::A, typename K::B, typename K::R1,
                                                            typename K::R2>;
  CommonPass pass{};
  if constexpr (lane_rows) {
    if (lanes_before) {
      pass = classify_pass<K, contiguous, Pass::both>(place, block);
      lanes_before = pass.lanes;
    } else {
      pass = classify_pass<K, contiguous, Pass::common>(place, block);
      if (pass.detail) {
        lanes_before = true;
        const CommonPass lanes = classify_pass<K, contiguous, Pass::lanes>(place, block);
        pass = {pass.faults | lanes.faults, lanes.detail};
      }
    }
  } else {
    pass = classify_pass<K, contiguous, Pass::common>(place, block);
  }
  std::uint32_t faults = pass.faults;
  if (!pass.detail) return faults;
  const BlockElements<K, contiguous> element(place, block);
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j) {
    faults |= element(j, [](auto... v) {
      return classify_detail::needs_detail<op, M, lane_rows>(v...) != 0 ? classify_detail::detail_faults<op>(v...) : 0;
    });
  }
  return faults;
}

// The flags of the selected elements of a computed block, one by one.
template <class K, bool contiguous>
std::uint32_t classify_selected(const BlockPlace& place, const Block<K>& block, const std::uint8_t* mask,
                                std::int64_t mask_stride) {
  using B = typename K::B;
  using R1 = typename K::R1;
  std::uint32_t faults = 0;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j) {
    if (mask[j * mask_stride] == 0) continue;
    B b{};
    if constexpr (K::nin == 2) b = block_input<B, K, contiguous, 1>(place, block, j);
    R1 r1;
    if constexpr (K::rounds_halves) {
      r1 = Half{quarvel_storage::half_bits_to_float(block.bits[j])};
    } else {
      r1 = from_lane<R1>(block.first[j]);
    }
    faults |= K::classify(block_input<typename K::A, K, contiguous, 0>(place, block, j), b, r1,
                          block.second[K::nout == 2 ? j : 0]);
  }
  return faults;
}

// A block of float16 results, converted at once and written.
template <class K, bool contiguous>
void store_halves(Block<K>& block, const Half* values, std::uint8_t* out, std::ptrdiff_t out_step) {
  static_assert(sizeof(Half) == sizeof(float));
  float as_floats[block_size];
  std::memcpy(as_floats, values, sizeof as_floats);
  quarvel_storage::floats_to_halves(as_floats, block.bits, block_size);
  if (contiguous) {
    std::memcpy(out, block.bits, sizeof block.bits);
    return;
  }
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j)
    std::memcpy(out + j * out_step, &block.bits[j], sizeof block.bits[j]);
}

template <class K, bool contiguous>
void store_block(Block<K>& block, const BlockPlace& place) {
  using R1 = typename K::R1;
  using R2 = typename K::R2;
  constexpr auto count = static_cast<std::ptrdiff_t>(block_size);
  const std::ptrdiff_t step1 = step_of<R1, contiguous>(place.out_step[0]);
  if constexpr (K::rounds_halves) {
    if (contiguous) {
      std::memcpy(place.out[0], block.bits, sizeof block.bits);
    } else {
      for (std::ptrdiff_t j = 0; j < count; ++j) std::memcpy(place.out[0] + j * step1, &block.bits[j], sizeof block.bits[j]);
    }
  } else if constexpr (std::is_same_v<R1, Half>) {
    store_halves<K, contiguous>(block, block.first, place.out[0], place.out_step[0]);
  } else if constexpr (is_complex_element<R1>) {
    if (contiguous) {
      std::memcpy(place.out[0], block.first, sizeof block.first);
    } else {
      for (std::ptrdiff_t j = 0; j < count; ++j) std::memcpy(place.out[0] + j * step1, &block.first[j], sizeof block.first[j]);
    }
  } else {
    for (std::ptrdiff_t j = 0; j < count; ++j) store(place.out[0] + j * step1, from_lane<R1>(block.first[j]));
  }
  if constexpr (K::nout == 2 && std::is_same_v<R2, Half>) {
    store_halves<K, contiguous>(block, block.second, place.out[1], place.out_step[1]);
  } else if constexpr (K::nout == 2) {
    const std::ptrdiff_t step2 = step_of<R2, contiguous>(place.out_step[1]);
    for (std::ptrdiff_t j = 0; j < count; ++j) store(place.out[1] + j * step2, block.second[j]);
  }
}

// Each whole block is read and computed, screened, classified element by
// element only where the screen failed (its inputs still intact), and then
// written; the elements after the last whole block go one by one.
template <class K, bool contiguous>
LoopResult blockwise(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                     std::uint64_t n) {
  constexpr std::size_t b_arg = K::nin - 1, out2_arg = K::nin + K::nout - 1;
  const std::uint8_t* in[2] = {args[0], args[b_arg]};
  const std::int64_t in_strides[2] = {strides[0], strides[b_arg]};
  // Contiguous blocks read a broadcast input from a block of copies of it
  // (made only for a run with a whole block: the rest reads the input itself).
  std::uint8_t copies[2][contiguous ? block_size * 16 : 1];
  if constexpr (contiguous) {
    for (std::size_t j = 0; j < K::nin && n >= block_size; ++j) {
      if (strides[j] != 0) continue;
      for (std::size_t i = 0; i < block_size; ++i) std::memcpy(copies[j] + i * K::size(j), args[j], K::size(j));
      in[j] = copies[j];
    }
  }
  LoopResult result;
  Block<K> block;
  bool lanes_before = false;
  const std::uint64_t whole = n - n % block_size;
  for (std::uint64_t start = 0; start < whole; start += block_size) {
    const BlockPlace place{{in[0] + offset(start, in_strides[0]), in[1] + offset(start, in_strides[1])},
                           {in_strides[0], in_strides[1]},
                           {args[K::nin] + offset(start, strides[K::nin]),
                            args[out2_arg] + offset(start, strides[out2_arg])},
                           {strides[K::nin], strides[out2_arg]}};
    std::size_t passed = block_size;
    if constexpr (underflows_in_bulk<K>) {
      if (has_avx2_fma()) compute_block_avx2<K, contiguous>(state, place, block, result.faults);
      else passed = compute_block<K, contiguous>(state, place, block);
    } else {
      passed = compute_block<K, contiguous>(state, place, block, &result.faults);
    }
    if (passed != block_size) result.faults |= classify_block<K, contiguous>(place, block, lanes_before);
    store_block<K, contiguous>(block, place);
  }
  if (whole == n) return result;
  std::uint8_t* rest[K::nin + K::nout];
  for (std::size_t k = 0; k < K::nin + K::nout; ++k) rest[k] = args[k] + offset(whole, strides[k]);
  const LoopResult tail = elementwise<K, false>(state, rest, strides, n - whole, nullptr, 0);
  return {result.faults | tail.faults, tail.failed};
}

// ---- folds -------------------------------------------------------------------

// Input 0 and the output are one element (stride 0) that input 1 never touches.
template <class K>
bool fold_applies(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  if (args[0] != args[2] || strides[0] != 0 || strides[2] != 0) return false;
  const ByteRange operand = bytes_of(args[1], strides[1], n, K::size(1));
  return !operand.overlaps(bytes_of(args[2], 0, 1, K::size(2)));
}

// A fold keeps its running value in a register and folds a block of
// elements at a time. The logical operations fold the truth values alone,
// the real extremes a block's extreme at once; every other fold computes a
// block's running values as one chain, screens them afterwards beside the
// elements that made them, and classifies one by one only a block that fails.
template <class K>
inline constexpr bool truth_folds = is_logical<K::op> && K::nin == 2 && std::is_same_v<typename K::A, bool> &&
                                    std::is_same_v<typename K::R1, bool>;
template <class K>
inline constexpr bool extreme_folds = is_real_extreme<K::op> && std::is_same_v<typename K::A, typename K::B> &&
                                      std::is_same_v<typename K::A, typename K::R1> &&
                                      (is_single_or_double<typename K::A> || std::is_same_v<typename K::A, Half>);
template <class K>
inline constexpr bool folds = truth_folds<K> || extreme_folds<K> || K::foldable;

// Where a running value that is NaN gives NaN at every later step and no
// fault (NaN op x is NaN, and with a NaN input no rule fires on a NaN
// result): real arithmetic in single and double precision.
template <class K>
inline constexpr bool nan_running_is_quiet = is_real_arithmetic<K::op> && is_single_or_double<typename K::A> &&
                                             std::is_same_v<typename K::A, typename K::B>;

template <class K>
bool carries_quiet_nan(typename K::R1 running) {
  if constexpr (nan_running_is_quiet<K>) {
    return running != running;
  } else {
    return false;
  }
}

// Where a step from a running value with a NaN (part) faults only by an
// underflowing result: invalid wants a NaN from numbers, overflow and the
// flush to zero finite operands, and the zero rules a zero or finite first
// operand. Log-add-exp's NaN input is invalid, and the quotient underflow
// reads the operands' values; neither qualifies.
template <class K>
inline constexpr bool nan_running_steps_quiet = K::foldable && !std::is_integral_v<typename K::A> &&
                                                !fault_rule(K::op).log_add_exp && !fault_rule(K::op).quotient_underflow;

template <class K>
[[gnu::always_inline]] inline bool nan_step_quiet(typename K::R1 running, typename K::R1 r) {
  if constexpr (nan_running_steps_quiet<K>) {
    return (classify_detail::facts_of<unsigned>(running).nan & (classify_detail::facts_of<unsigned>(r).subnormal ^ 1)) != 0;
  } else {
    return false;
  }
}

// A chain of complex running values from one with a NaN part, each with a
// NaN part and none with a subnormal part, faulted nowhere (each step is
// quiet as above): a sum keeps its NaN part, a product or an extreme its NaN.
template <class K>
inline constexpr bool nan_chains = nan_running_steps_quiet<K> && is_complex_element<typename K::A>;

// The running values' tests gathered over a chain: every one has a NaN part,
// and none a subnormal part.
template <class K>
struct NanChain {
  unsigned nan = 1, subnormal = 0;
  [[gnu::always_inline]] void add(typename K::R1 value) {
    const auto facts = classify_detail::facts_of<unsigned>(value);
    nan &= facts.nan;
    subnormal |= facts.subnormal;
  }
  [[gnu::always_inline]] bool quiet() const { return (nan & (subnormal ^ 1)) != 0; }
};

template <class K>
[[gnu::always_inline]] inline bool starts_nan_chain(typename K::R1 running) {
  if constexpr (nan_chains<K>) {
    return classify_detail::facts_of<unsigned>(running).nan != 0;
  } else {
    return false;
  }
}

// The faults of the steps of one block of a chain: values[j] is the running
// value after element j, `before` the one before the block.
template <class K>
std::uint32_t chain_faults(typename K::R1 before, const std::uint8_t* operand, std::int64_t stride,
                           const typename K::R1* values, std::size_t m) {
  using B = typename K::B;
  using R = typename K::R1;
  const auto quiet = [](R a, B b, R r) {
    bool passed = K::screen(a, b, r, r);
    if constexpr (nan_running_is_quiet<K>) passed = passed | carries_quiet_nan<K>(a);
    return passed;
  };
  std::uint64_t passed = quiet(before, load<B>(operand), values[0]);
  for (std::size_t j = 1; j < m; ++j) passed += quiet(values[j - 1], load<B>(operand + offset(j, stride)), values[j]);
  if (passed == m) [[likely]]
    return 0;
  std::uint32_t faults = 0;
  for (std::size_t j = 0; j < m; ++j) {
    const R a = j == 0 ? before : values[j - 1];
    const B b = load<B>(operand + offset(j, stride));
    if (!nan_step_quiet<K>(a, values[j]) && !quiet(a, b, values[j])) faults |= K::classify(a, b, values[j], values[j]);
  }
  return faults;
}

// Folds n elements of `operand` into `running`, a block at a time (refusing
// loops element by element, stopping at the refused one).
template <class K>
LoopResult fold_chain(const typename K::State& state, typename K::R1& running, const std::uint8_t* operand,
                      std::int64_t stride, std::uint64_t n) {
  using B = typename K::B;
  using R = typename K::R1;
  LoopResult result;
  if constexpr (K::refuses_elements) {
    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
      const B b = load<B>(operand + i * stride);
      R r{};
      if (!K::compute(state, running, b, r, r)) {
        result.failed = true;
        break;
      }
      result.faults |= K::classify(running, b, r, r);
      running = r;
    }
    return result;
  } else {
    R values[block_size];
    for (std::uint64_t start = 0; start < n; start += block_size) {
      const auto m = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(block_size, n - start));
      const std::uint8_t* in = operand + offset(start, stride);
      if constexpr (K::faults_show_at_end) {
        // From a finite start to a finite end with no NaN element, nothing
        // faulted (classify.h): the chain alone.
        if (element_is_finite(running)) {
          R value = running;
          std::ptrdiff_t i = 0;
          for (; i < m; ++i) {
            const B b = load<B>(in + i * stride);
            if (element_is_nan(b)) [[unlikely]]
              break;
            R r{};
            K::compute(state, value, b, r, r);
            value = r;
          }
          if (i == m && element_is_finite(value)) {
            running = value;
            continue;
          }
        }
      }
      R value = running;
      if (carries_quiet_nan<K>(running)) {
        // NaN to the end, and no step faults.
        for (std::ptrdiff_t j = 0; j < m; ++j) {
          R r{};
          K::compute(state, value, load<B>(in + j * stride), r, r);
          value = r;
        }
        running = value;
        continue;
      }
      if (starts_nan_chain<K>(running)) {
        // A NaN part carried: tested as the chain runs, in one pass.
        NanChain<K> chain;
        for (std::ptrdiff_t j = 0; j < m; ++j) {
          R r{};
          K::compute(state, value, load<B>(in + j * stride), r, r);
          chain.add(r);
          values[j] = value = r;
        }
        if (!chain.quiet()) result.faults |= chain_faults<K>(running, in, stride, values, static_cast<std::size_t>(m));
        running = value;
        continue;
      }
      for (std::ptrdiff_t j = 0; j < m; ++j) {
        R r{};
        K::compute(state, value, load<B>(in + j * stride), r, r);
        values[j] = value = r;
      }
      result.faults |= chain_faults<K>(running, in, stride, values, static_cast<std::size_t>(m));
      running = value;
    }
    return result;
  }
}

template <class K>
LoopResult fold(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                std::uint64_t n) {
  typename K::R1 running = load<typename K::R1>(args[0]);
  const LoopResult result = fold_chain<K>(state, running, args[1], strides[1], n);
  store(args[2], running);
  return result;
}

// A logical fold: the running truth value against every, any or an odd
// number of truth values of the elements. No step can fault (a bool result).
// The truth value of the element at p (float16 from its bits: nonzero
// magnitude, NaN included).
template <class T>
[[gnu::always_inline]] inline std::uint8_t truth_at(const std::uint8_t* p) {
  if constexpr (std::is_same_v<T, Half>) {
    std::uint16_t bits;
    std::memcpy(&bits, p, sizeof bits);
    return static_cast<std::uint8_t>((bits & 0x7FFFu) != 0);
  } else if constexpr (is_complex_element<T>) {
    const T x = load<T>(p);
    return static_cast<std::uint8_t>((x.real() != 0) | (x.imag() != 0));
  } else {
    return static_cast<std::uint8_t>(element_is_truthy(load<T>(p)));
  }
}

template <class K>
LoopResult truth_fold(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  using B = typename K::B;
  constexpr Op op = K::op;
  std::uint8_t combined = op == Op::logical_and ? 1 : 0;
  const std::uint8_t* operand = args[1];
  const std::int64_t stride = strides[1];
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    const std::uint8_t t = truth_at<B>(operand + i * stride);
    if constexpr (op == Op::logical_and) combined &= t;
    else if constexpr (op == Op::logical_or) combined |= t;
    else combined ^= t;
  }
  store(args[2], logical_holds(op, load<bool>(args[0]), combined != 0));
  return {};
}

// ---- real extremes -------------------------------------------------------------

// A real extreme fold or accumulation never faults: each result is one of
// its operands (a subnormal one exact), NaN only from a NaN operand and
// infinite only from an infinite one. Away from NaN and zeros each step is
// the plain comparison's pick (equal values that are not zero have the same
// bits); a block with a NaN, or whose extreme is a zero (the sign of a tie),
// goes element by element.
template <class K>
inline constexpr bool extreme_scans = extreme_folds<K>;

template <bool larger, class V>
[[gnu::always_inline]] inline V pick(V v, V best) {
  return (larger ? v > best : v < best) ? v : best;
}

template <class A>
inline constexpr std::size_t stride_of = quarvel_storage::stored_size<A>;

template <class A>
[[gnu::always_inline]] inline computed_as<A> real_value(A x) {
  if constexpr (std::is_same_v<A, Half>) {
    return x.value;
  } else {
    return x;
  }
}

// A float16 value's bits as a signed key in the values' order (-0 just below +0).
inline __m128i half_keys(__m128i bits) {
  return _mm_xor_si128(bits, _mm_and_si128(_mm_srai_epi16(bits, 15), _mm_set1_epi16(0x7FFF)));
}
inline std::uint16_t half_key(std::uint16_t bits) {
  return static_cast<std::uint16_t>(bits ^ ((bits & 0x8000u) ? 0x7FFFu : 0u));
}

// Two SSE2 registers of floats or doubles at a time.
template <class F>
struct Lanes;
template <>
struct Lanes<double> {
  using V = __m128d;
  static constexpr std::size_t width = 2;
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static V all(double x) { return _mm_set1_pd(x); }
  static V larger(V a, V b) { return _mm_max_pd(a, b); }  // a > b ? a : b
  static V smaller(V a, V b) { return _mm_min_pd(a, b); }
  static V shifted_once(V a) { return _mm_unpacklo_pd(a, a); }  // each lane the one before (the first itself)
  static V last(V a) { return _mm_unpackhi_pd(a, a); }
  static double first(V a) { return _mm_cvtsd_f64(a); }
  static V unordered(V a, V b) { return _mm_cmpunord_pd(a, b); }
  static V zero(V a) { return _mm_cmpeq_pd(a, _mm_setzero_pd()); }
  static V either(V a, V b) { return _mm_or_pd(a, b); }
  static bool any(V a) { return _mm_movemask_pd(a) != 0; }
  static void put(double* p, V a) { _mm_storeu_pd(p, a); }
};
template <>
struct Lanes<float> {
  using V = __m128;
  static constexpr std::size_t width = 4;
  static V load(const float* p) { return _mm_loadu_ps(p); }
  static V all(float x) { return _mm_set1_ps(x); }
  static V larger(V a, V b) { return _mm_max_ps(a, b); }
  static V smaller(V a, V b) { return _mm_min_ps(a, b); }
  static V shifted_once(V a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 1, 0, 0)); }
  static V shifted_twice(V a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 0, 0)); }
  static V last(V a) { return _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 3, 3, 3)); }
  static float first(V a) { return _mm_cvtss_f32(a); }
  static V unordered(V a, V b) { return _mm_cmpunord_ps(a, b); }
  static V zero(V a) { return _mm_cmpeq_ps(a, _mm_setzero_ps()); }
  static V either(V a, V b) { return _mm_or_ps(a, b); }
  static bool any(V a) { return _mm_movemask_ps(a) != 0; }
  static void put(float* p, V a) { _mm_storeu_ps(p, a); }
};

// The extreme of a block of m values and `best` (no NaN), into `best`;
// false where the block holds a NaN.
template <bool larger, class A>
bool block_extreme(const std::uint8_t* in, std::int64_t stride, std::size_t m, computed_as<A>& best) {
  std::size_t j = 0;
  bool nan = false;
  if constexpr (is_single_or_double<A>) {
    using L = Lanes<A>;
    if (stride == sizeof(A)) {
      const auto* p = reinterpret_cast<const A*>(in);
      typename L::V b0 = L::all(best), b1 = b0, bad = L::unordered(b0, b0);
      for (; j + 2 * L::width <= m; j += 2 * L::width) {
        const typename L::V v0 = L::load(p + j), v1 = L::load(p + j + L::width);
        b0 = larger ? L::larger(v0, b0) : L::smaller(v0, b0);
        b1 = larger ? L::larger(v1, b1) : L::smaller(v1, b1);
        bad = L::either(bad, L::unordered(v0, v1));
      }
      nan = L::any(bad);
      A lanes[2 * L::width];
      L::put(lanes, b0);
      L::put(lanes + L::width, b1);
      for (A x : lanes) best = pick<larger>(x, best);
    }
  } else {
    static_assert(std::is_same_v<A, Half>);
    if (stride == 2 && m >= 8) {
      const __m128i magnitude = _mm_set1_epi16(0x7FFF), infinity = _mm_set1_epi16(0x7C00);
      __m128i keys = _mm_set1_epi16(static_cast<short>(half_key(float_to_half_bits(best)))), bad = _mm_setzero_si128();
      for (; j + 8 <= m; j += 8) {
        const __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * j));
        keys = larger ? _mm_max_epi16(half_keys(bits), keys) : _mm_min_epi16(half_keys(bits), keys);
        bad = _mm_or_si128(bad, _mm_cmpgt_epi16(_mm_and_si128(bits, magnitude), infinity));
      }
      nan = _mm_movemask_epi8(bad) != 0;
      alignas(16) std::int16_t lanes[8];
      _mm_store_si128(reinterpret_cast<__m128i*>(lanes), keys);
      std::int16_t chosen = lanes[0];
      for (std::int16_t key : lanes) chosen = larger ? std::max(chosen, key) : std::min(chosen, key);
      best = half_bits_to_float(half_key(static_cast<std::uint16_t>(chosen)));
    }
  }
  for (; j < m; ++j) {
    const auto v = real_value(load<A>(in + offset(j, stride)));
    nan = nan || v != v;
    best = pick<larger>(v, best);
  }
  return !nan;
}

// Whether a block of m values holds no NaN and no zero.
template <class A>
bool block_plain(const std::uint8_t* in, std::int64_t stride, std::size_t m) {
  std::size_t j = 0;
  bool plain = true;
  if constexpr (is_single_or_double<A>) {
    using L = Lanes<A>;
    if (stride == sizeof(A)) {
      const auto* p = reinterpret_cast<const A*>(in);
      typename L::V bad = L::zero(L::all(1));
      for (; j + L::width <= m; j += L::width) {
        const typename L::V v = L::load(p + j);
        bad = L::either(bad, L::either(L::unordered(v, v), L::zero(v)));
      }
      plain = !L::any(bad);
    }
  } else if (stride == 2) {
    const __m128i magnitude = _mm_set1_epi16(0x7FFF), infinity = _mm_set1_epi16(0x7C00);
    __m128i bad = _mm_setzero_si128();
    for (; j + 8 <= m; j += 8) {
      const __m128i bits = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * j)), magnitude);
      bad = _mm_or_si128(bad, _mm_or_si128(_mm_cmpgt_epi16(bits, infinity), _mm_cmpeq_epi16(bits, _mm_setzero_si128())));
    }
    plain = _mm_movemask_epi8(bad) == 0;
  }
  for (; j < m; ++j) {
    const auto v = real_value(load<A>(in + offset(j, stride)));
    plain = plain && v == v && v != 0;
  }
  return plain;
}

template <class K>
LoopResult extreme_fold(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                        std::uint64_t n) {
  static_assert(fault_rule(K::op).exact == ExactRow::either && fault_rule(K::op).zero == ZeroRule::none &&
                !fault_rule(K::op).flush_to_zero);
  using A = typename K::A;
  constexpr bool larger = K::op == Op::maximum || K::op == Op::fmax;
  constexpr bool keeps_nan = K::op == Op::maximum || K::op == Op::minimum;
  // Pointers and strides in locals: a store may alias the caller's arrays.
  const std::uint8_t* const operand = args[1];
  const std::int64_t stride = strides[1];
  A running = load<A>(args[0]);
  for (std::uint64_t start = 0; start < n; start += block_size) {
    const bool running_nan = element_is_nan(running);
    if (keeps_nan && running_nan) break;
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, n - start));
    const std::uint8_t* in = operand + offset(start, stride);
    if (!running_nan) {
      computed_as<A> best = real_value(running);
      if (block_extreme<larger, A>(in, stride, m, best) && best != 0) {
        running = A{best};
        continue;
      }
    }
    for (std::size_t j = 0; j < m; ++j) {
      A r{};
      K::compute(state, running, load<A>(in + offset(j, stride)), r, r);
      running = r;
    }
  }
  store(args[2], running);
  return {};
}

// The running extremes of a block from a plain running value (not NaN, not
// zero), written to `out`, contiguous both: a prefix within each register,
// then against the running value, whose chain is one step per two
// registers. False where the block holds a NaN or a zero (`out` then holds
// partial results, for the caller to write again).
template <bool larger, class A>
bool plain_prefix(const std::uint8_t* in, std::uint8_t* out, std::size_t m, computed_as<A>& value) {
  std::size_t j = 0;
  bool plain = true;
  if constexpr (is_single_or_double<A>) {
    using L = Lanes<A>;
    using V = typename L::V;
    const auto choose = [](V a, V b) { return larger ? L::larger(a, b) : L::smaller(a, b); };
    const auto prefix = [&](V v) {
      v = choose(v, L::shifted_once(v));
      if constexpr (L::width == 4) v = choose(v, L::shifted_twice(v));
      return v;
    };
    V running = L::all(value), bad = L::zero(L::all(1));
    for (; j + 2 * L::width <= m; j += 2 * L::width) {
      const V v0 = L::load(reinterpret_cast<const A*>(in) + j), v1 = L::load(reinterpret_cast<const A*>(in) + j + L::width);
      bad = L::either(bad, L::either(L::unordered(v0, v1), L::either(L::zero(v0), L::zero(v1))));
      const V p0 = prefix(v0), p1 = choose(prefix(v1), L::last(p0));
      const V r0 = choose(p0, running), r1 = choose(p1, running);
      L::put(reinterpret_cast<A*>(out) + j, r0);
      L::put(reinterpret_cast<A*>(out) + j + L::width, r1);
      running = L::last(r1);
    }
    plain = !L::any(bad);
    value = L::first(running);
  } else {
    if (!block_plain<A>(in, 2, m)) return false;
    const auto choose = [](__m128i a, __m128i b) { return larger ? _mm_max_epi16(a, b) : _mm_min_epi16(a, b); };
    const short fill = larger ? -0x8000 : 0x7FFF;  // the key no value passes
    __m128i running = _mm_set1_epi16(static_cast<short>(half_key(float_to_half_bits(value))));
    for (; j + 8 <= m; j += 8) {
      __m128i keys = half_keys(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * j)));
      keys = choose(keys, _mm_or_si128(_mm_slli_si128(keys, 2), _mm_setr_epi16(fill, 0, 0, 0, 0, 0, 0, 0)));
      keys = choose(keys, _mm_or_si128(_mm_slli_si128(keys, 4), _mm_setr_epi16(fill, fill, 0, 0, 0, 0, 0, 0)));
      keys = choose(keys, _mm_or_si128(_mm_slli_si128(keys, 8), _mm_setr_epi16(fill, fill, fill, fill, 0, 0, 0, 0)));
      keys = choose(keys, running);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * j), half_keys(keys));
      const __m128i high = _mm_shufflehi_epi16(keys, 0xFF);
      running = _mm_unpackhi_epi64(high, high);
    }
    value = half_bits_to_float(half_key(static_cast<std::uint16_t>(_mm_cvtsi128_si32(running))));
  }
  for (; j < m; ++j) {
    const auto v = real_value(load<A>(in + offset(j, stride_of<A>)));
    plain = plain && v == v && v != 0;
    value = pick<larger>(v, value);
    store(out + offset(j, stride_of<A>), A{value});
  }
  return plain;
}

template <class K>
LoopResult extreme_scan(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                        std::uint64_t n) {
  using A = typename K::A;
  constexpr bool larger = K::op == Op::maximum || K::op == Op::fmax;
  constexpr auto size = static_cast<std::int64_t>(stride_of<A>);
  const std::uint8_t* const operand = args[1];
  std::uint8_t* const output = args[2];
  const std::int64_t in_step = strides[1], out_step = strides[2];
  A running = load<A>(args[0]);
  for (std::uint64_t start = 0; start < n; start += block_size) {
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(block_size, n - start));
    const std::uint8_t* in = operand + offset(start, in_step);
    std::uint8_t* out = output + offset(start, out_step);
    auto value = real_value(running);
    if (value == value && value != 0) {
      if (in_step == size && out_step == size) {
        if (plain_prefix<larger, A>(in, out, m, value)) {
          running = A{value};
          continue;
        }
      } else if (block_plain<A>(in, in_step, m)) {
        for (std::size_t j = 0; j < m; ++j) {
          value = pick<larger>(real_value(load<A>(in + offset(j, in_step))), value);
          store(out + offset(j, out_step), A{value});
        }
        running = A{value};
        continue;
      }
    }
    for (std::size_t j = 0; j < m; ++j) {
      A r{};
      K::compute(state, running, load<A>(in + offset(j, in_step)), r, r);
      store(out + offset(j, out_step), r);
      running = r;
    }
  }
  return {};
}

template <class K>
LoopResult fold_any(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                    std::uint64_t n) {
  if constexpr (truth_folds<K>) {
    return truth_fold<K>(args, strides, n);
  } else if constexpr (extreme_folds<K>) {
    return extreme_fold<K>(state, args, strides, n);
  } else {
    return fold<K>(state, args, strides, n);
  }
}

// ---- accumulations -----------------------------------------------------------

// Input 0 is the output one element back (an accumulation: each step reads
// the value the step before wrote), and input 1 touches no output.
template <class K>
inline constexpr bool scans = K::nin == 2 && K::nout == 1 && std::is_same_v<typename K::A, typename K::R1> &&
                              !K::refuses_elements;

template <class K>
bool scan_applies(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  if (strides[2] == 0 || strides[0] != strides[2] || args[0] + strides[2] != args[2]) return false;
  return !bytes_of(args[1], strides[1], n, K::size(1)).overlaps(bytes_of(args[2], strides[2], n, K::size(2)));
}

// A logical accumulation: the running truth value against each element's,
// written as it goes. No step can fault.
template <class K>
LoopResult truth_scan(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  const std::uint8_t* const operand = args[1];
  std::uint8_t* const output = args[2];
  const std::int64_t in_step = strides[1], out_step = strides[2];
  bool running = load<bool>(args[0]);
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    running = logical_holds(K::op, running, truth_at<typename K::B>(operand + i * in_step) != 0);
    store(output + i * out_step, running);
  }
  return {};
}

// The running value stays in a register as the chain writes each result
// (a stored result reads back as itself: a float16 one is rounded already);
// the steps are screened and classified as a fold's.
template <class K>
LoopResult scan(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                std::uint64_t n) {
  using B = typename K::B;
  using R = typename K::R1;
  LoopResult result;
  const std::uint8_t* const operand = args[1];
  std::uint8_t* const output = args[2];
  const std::int64_t in_step = strides[1], step = strides[2];
  R running = load<R>(args[0]);
  R values[block_size];
  for (std::uint64_t start = 0; start < n; start += block_size) {
    const auto m = static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(block_size, n - start));
    const std::uint8_t* in = operand + offset(start, in_step);
    std::uint8_t* out = output + offset(start, step);
    if constexpr (K::faults_show_at_end) {
      if (element_is_finite(running)) {
        R value = running;
        std::ptrdiff_t i = 0;
        for (; i < m; ++i) {
          const B b = load<B>(in + i * in_step);
          if (element_is_nan(b)) [[unlikely]]
            break;
          R r{};
          K::compute(state, value, b, r, r);
          store(out + i * step, r);
          value = r;
        }
        if (i == m && element_is_finite(value)) {
          running = value;
          continue;
        }
      }
    }
    R value = running;
    const bool nan_quiet = carries_quiet_nan<K>(running);  // NaN to the end, no step faults
    if (starts_nan_chain<K>(running)) {
      NanChain<K> chain;
      for (std::ptrdiff_t j = 0; j < m; ++j) {
        R r{};
        K::compute(state, value, load<B>(in + j * in_step), r, r);
        store(out + j * step, r);
        chain.add(r);
        values[j] = value = r;
      }
      if (!chain.quiet()) result.faults |= chain_faults<K>(running, in, in_step, values, static_cast<std::size_t>(m));
      running = value;
      continue;
    }
    for (std::ptrdiff_t j = 0; j < m; ++j) {
      R r{};
      K::compute(state, value, load<B>(in + j * in_step), r, r);
      store(out + j * step, r);
      values[j] = value = r;
    }
    if (!nan_quiet) result.faults |= chain_faults<K>(running, in, in_step, values, static_cast<std::size_t>(m));
    running = value;
  }
  return result;
}

// ---- the loop ----------------------------------------------------------------

template <class K>
LoopResult unmasked(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                    std::uint64_t n) {
  if (n == 0) return {};
  if constexpr (half_lanes::handles<K::op, typename K::A, typename K::B, typename K::R1>) {
    // Where blocks may run, eight float16 elements at a time.
    if (half_lanes::half_instructions() && blocks_layout<K>(args, strides, n) != Blocks::none) {
      return half_lanes::run<K>(state, args, strides, n, [&](std::uint64_t done) {
        std::uint8_t* rest[K::nin + K::nout];
        for (std::size_t k = 0; k < K::nin + K::nout; ++k) rest[k] = args[k] + offset(done, strides[k]);
        return elementwise<K, false>(state, rest, strides, n - done, nullptr, 0);
      });
    }
  }
  if constexpr (K::blockwise) {
    switch (blocks_layout<K>(args, strides, n)) {
      case Blocks::contiguous: return blockwise<K, true>(state, args, strides, n);
      case Blocks::strided:
        // Strided blocks do not vectorise; they pay only by screening float
        // results at once rather than one by one.
        if constexpr (K::float_results) return blockwise<K, false>(state, args, strides, n);
        break;
      case Blocks::none: break;
    }
  }
  if constexpr (folds<K>) {
    if (fold_applies<K>(args, strides, n)) return fold_any<K>(state, args, strides, n);
  }
  if constexpr (scans<K>) {
    if (scan_applies<K>(args, strides, n)) {
      if constexpr (half_lanes::scans<K::op, typename K::A, typename K::B, typename K::R1>) {
        if (half_lanes::half_instructions()) return half_lanes::scan<K>(state, args, strides, n);
      }
      if constexpr (truth_folds<K>) return truth_scan<K>(args, strides, n);
      else if constexpr (extreme_scans<K>) return extreme_scan<K>(state, args, strides, n);
      else return scan<K>(state, args, strides, n);
    }
  }
  return elementwise<K, false>(state, args, strides, n, nullptr, 0);
}

// ---- masks -------------------------------------------------------------------

// The selected elements of a fold's block gathered, then folded unmasked.
template <class K>
LoopResult gathered_fold(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                         std::size_t m, const std::uint8_t* mask, std::int64_t mask_stride) {
  constexpr std::size_t size = K::size(1);
  alignas(16) std::uint8_t gathered[block_size * size];
  const std::uint8_t* const operand = args[1];
  const std::int64_t stride = strides[1];
  std::size_t count = 0;
  for (std::size_t j = 0; j < m; ++j) {
    std::memcpy(gathered + count * size, operand + offset(j, stride), size);
    count += mask[offset(j, mask_stride)] != 0;
  }
  std::uint8_t* folded[3] = {args[0], gathered, args[2]};
  const std::int64_t folded_strides[3] = {0, static_cast<std::int64_t>(size), 0};
  return fold_any<K>(state, folded, folded_strides, count);
}

// A block of results written where the mask selects them. An element it
// does not select is written with the bytes it holds (the loop holds the
// output's buffer locked, and blocks read their inputs first), which keeps
// the loop free of branches.
template <std::size_t size>
void masked_write(std::uint8_t* out, std::ptrdiff_t step, const std::uint8_t* from, const std::uint8_t* mask,
                  std::int64_t mask_stride) {
  using Word = std::conditional_t<size == 1, std::uint8_t,
                                  std::conditional_t<size == 2, std::uint16_t,
                                                     std::conditional_t<size == 4, std::uint32_t, std::uint64_t>>>;
  constexpr std::size_t words = size <= 8 ? 1 : size / 8;
  for (std::size_t j = 0; j < block_size; ++j) {
    const Word keep = static_cast<Word>(-static_cast<Word>(mask[offset(j, mask_stride)] != 0));
    for (std::size_t w = 0; w < words; ++w) {
      Word old, value;
      std::memcpy(&old, out + offset(j, step) + w * sizeof(Word), sizeof(Word));
      std::memcpy(&value, from + j * size + w * sizeof(Word), sizeof(Word));
      old = static_cast<Word>((value & keep) | (old & static_cast<Word>(~keep)));
      std::memcpy(out + offset(j, step) + w * sizeof(Word), &old, sizeof(Word));
    }
  }
}

// The right operand n of real arithmetic with x op n == x, bits included,
// for every x that is not NaN, and no fault on the step: unselected
// elements of a masked fold become n (from a running value that is not
// NaN), so the fold runs over the block as it lies.
template <class K>
typename K::B neutral_operand() {
  static_assert(nan_running_is_quiet<K>);
  if constexpr (K::op == Op::add) return -0.0;
  else if constexpr (K::op == Op::subtract) return 0.0;
  else return 1.0;  // multiply, divide
}

template <class K>
LoopResult neutral_fold(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                        std::size_t m, const std::uint8_t* mask, std::int64_t mask_stride) {
  using B = typename K::B;
  const std::uint8_t* const operand = args[1];
  const std::int64_t stride = strides[1];
  const B neutral = neutral_operand<K>();
  B filled[block_size];
  for (std::size_t j = 0; j < m; ++j)
    filled[j] = mask[offset(j, mask_stride)] != 0 ? load<B>(operand + offset(j, stride)) : neutral;
  std::uint8_t* folded[3] = {args[0], reinterpret_cast<std::uint8_t*>(filled), args[2]};
  const std::int64_t folded_strides[3] = {0, static_cast<std::int64_t>(sizeof(B)), 0};
  return fold_any<K>(state, folded, folded_strides, m);
}

// One whole block computed whole (its inputs intact: no output touches them
// but at their own positions), classified and written only where selected.
template <class K, bool contiguous>
LoopResult masked_block(const typename K::State& state, const BlockPlace& place, Block<K>& block,
                        const std::uint8_t* mask, std::int64_t mask_stride) {
  constexpr std::size_t size1 = K::size(K::nin), size2 = K::size(K::nin + K::nout - 1);
  LoopResult result;
  if (compute_block<K, contiguous>(state, place, block) != block_size)
    result.faults = classify_selected<K, contiguous>(place, block, mask, mask_stride);
  alignas(16) std::uint8_t written[2][block_size * std::max(size1, size2)];
  BlockPlace local = place;
  local.out[0] = written[0];
  local.out[1] = written[1];
  local.out_step[0] = static_cast<std::ptrdiff_t>(size1);
  local.out_step[1] = static_cast<std::ptrdiff_t>(size2);
  store_block<K, contiguous>(block, local);
  masked_write<size1>(place.out[0], step_of<typename K::R1, contiguous>(place.out_step[0]), written[0], mask,
                      mask_stride);
  if constexpr (K::nout == 2)
    masked_write<size2>(place.out[1], step_of<typename K::R2, contiguous>(place.out_step[1]), written[1], mask,
                        mask_stride);
  return result;
}

template <class K, bool contiguous>
LoopResult masked_blocks(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                         std::uint64_t n, const std::uint8_t* mask, std::int64_t mask_stride) {
  constexpr std::size_t b_arg = K::nin - 1, out2_arg = K::nin + K::nout - 1;
  using Moved = MovedArgs<K::nin + K::nout>;
  // A broadcast input is read from a block of copies of it, as blockwise reads
  // it; only whole blocks read them, so a shorter run makes none.
  std::uint8_t copies[2][contiguous ? block_size * 16 : 1];
  const std::uint8_t* in[2] = {args[0], args[b_arg]};
  if constexpr (contiguous) {
    for (std::size_t j = 0; j < K::nin && n >= block_size; ++j) {
      if (strides[j] != 0) continue;
      for (std::size_t i = 0; i < block_size; ++i) std::memcpy(copies[j] + i * K::size(j), args[j], K::size(j));
      in[j] = copies[j];
    }
  }
  Block<K> block;
  return by_mask_blocks(
      n, mask, mask_stride,
      [&](std::uint64_t start, std::uint64_t count) {
        return unmasked<K>(state, Moved(args, strides, start).at, strides, count);
      },
      [&](std::uint64_t start, std::size_t m, const std::uint8_t* block_mask) {
        const Moved at(args, strides, start);
        if (m != block_size) return elementwise<K, true>(state, at.at, strides, m, block_mask, mask_stride);
        const BlockPlace place{{in[0] + offset(start, strides[0]), in[1] + offset(start, strides[b_arg])},
                               {strides[0], strides[b_arg]},
                               {at.at[K::nin], at.at[out2_arg]},
                               {strides[K::nin], strides[out2_arg]}};
        return masked_block<K, contiguous>(state, place, block, block_mask, mask_stride);
      });
}

template <class K>
LoopResult masked(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                  std::uint64_t n, const std::uint8_t* mask, std::int64_t mask_stride) {
  using Moved = MovedArgs<K::nin + K::nout>;
  if (mask_stride == 0) return *mask != 0 ? unmasked<K>(state, args, strides, n) : LoopResult{};
  if constexpr (folds<K>) {
    if (fold_applies<K>(args, strides, n)) {
      return by_mask_blocks(
          n, mask, mask_stride,
          [&](std::uint64_t start, std::uint64_t count) {
            return fold_any<K>(state, Moved(args, strides, start).at, strides, count);
          },
          [&](std::uint64_t start, std::size_t m, const std::uint8_t* block_mask) {
            const Moved at(args, strides, start);
            if constexpr (nan_running_is_quiet<K>) {
              if (!carries_quiet_nan<K>(load<typename K::R1>(args[0])))
                return neutral_fold<K>(state, at.at, strides, m, block_mask, mask_stride);
            }
            return gathered_fold<K>(state, at.at, strides, m, block_mask, mask_stride);
          });
    }
  }
  if constexpr (K::blockwise) {
    switch (blocks_layout<K>(args, strides, n)) {
      case Blocks::contiguous: return masked_blocks<K, true>(state, args, strides, n, mask, mask_stride);
      case Blocks::strided:
        if constexpr (K::float_results) return masked_blocks<K, false>(state, args, strides, n, mask, mask_stride);
        break;
      case Blocks::none: break;
    }
  }
  return by_mask_blocks(
      n, mask, mask_stride,
      [&](std::uint64_t start, std::uint64_t count) {
        return unmasked<K>(state, Moved(args, strides, start).at, strides, count);
      },
      [&](std::uint64_t start, std::size_t m, const std::uint8_t* block_mask) {
        return elementwise<K, true>(state, Moved(args, strides, start).at, strides, m, block_mask, mask_stride);
      });
}

template <Op op, LoopPiece piece>
LoopResult strided_loop(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n,
                        const std::uint8_t* mask, std::int64_t mask_stride) {
  using K = Kernel<op, piece>;
  const typename K::State state = K::state();
  if constexpr (K::calls_function) {
    // Without its function every element is refused: the first one (the
    // first selected one), before anything is written.
    if (state == nullptr) {
      if (mask != nullptr) return elementwise<K, true>(state, args, strides, n, mask, mask_stride);
      return {0, n != 0};
    }
  }
  if (mask != nullptr) return masked<K>(state, args, strides, n, mask, mask_stride);
  return unmasked<K>(state, args, strides, n);
}

// ---- the table ---------------------------------------------------------------

// The fixed-width loops: every piece of fixed-width inputs. Fixed-width
// inputs never widen to long double; were a rule to, that loop would be left
// to the element path rather than fail to compile.
struct FixedWidth {
  static constexpr bool fixed_width(DType d) { return !d.is_long_double(); }
  template <Op op>
  static constexpr LoopList loops = distinct_loops<op>(
      [](DType a, DType b) { return fixed_width(a) && fixed_width(b); },
      [](LoopPiece piece) {
        for (std::size_t i = 0; i < piece.size; ++i)
          if (!fixed_width(DType(piece.codes[i]))) return LoopPiece{};
        return piece;
      });
  template <Op op, LoopPiece piece>
  static constexpr StridedLoop loop = &strided_loop<op, piece>;
};

template <LoopGroup group>
std::span<const LoopEntry> loops_in(Op op) {
  return family_loops<FixedWidth, group>(op);
}

}  // namespace quarvel_kernels::strided_table
