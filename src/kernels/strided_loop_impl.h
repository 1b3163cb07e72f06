// The typed strided loop template and the generation of its table, for the
// translation units that instantiate them (strided_loop_table.h lists them).
//
// A loop takes one of three paths, all with sequential results:
//   blocks    no mask, and no output touching another operand but an input
//             at identical positions: a block of inputs is read and computed
//             whole and screened at once, then written. Contiguous (inputs
//             possibly broadcast) it vectorises; strided it serves only
//             float results, whose screen it batches;
//   fold      input 0 and the output one element with stride 0 (a
//             reduction): the running value stays in a register;
//   elements  anything else, one element after another.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "kernels/classify.h"
#include "kernels/complex_blocks.h"
#include "kernels/element_forms.h"
#include "kernels/half_lanes.h"
#include "kernels/loop_entries.h"
#include "kernels/loop_rules.h"
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
  // A float16 running value would skip the quieting of NaNs its store makes.
  static constexpr bool foldable = nin == 2 && nout == 1 && std::is_same_v<A, R1> && !has_half;
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

// Computes a block into `block` and counts the elements the screen passes.
// Its count is a constant: such a loop vectorises even where the compiler
// will not add a remainder loop (-O2).
template <class K, bool contiguous>
std::size_t compute_block(const typename K::State& state, const BlockPlace& place, Block<K>& block) {
  using A = typename K::A;
  using B = typename K::B;
  constexpr auto count = static_cast<std::ptrdiff_t>(block_size);
  // As wide as the result lanes: a count narrower or wider than them stops the vectoriser.
  using Count = std::conditional_t<sizeof(typename Block<K>::First) == 8, std::uint64_t, std::uint32_t>;
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
    return complex_blocks::compute_block<K::op, typename A::value_type, contiguous>(in, steps, block.first, count,
                                                                                  again)
               ? block_size
               : 0;
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
    quiet += K::screen(a, b, r1, r2);
    block.first[j] = to_lane<typename Block<K>::First>(r1);
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

// The common rules' flags, and whether any element needs the detail.
struct CommonPass {
  std::uint32_t faults;
  bool detail;
};

template <class K, bool contiguous>
[[gnu::always_inline]] inline CommonPass common_pass(const BlockPlace& place, const Block<K>& block) {
  using M = LaneMask<K>;
  constexpr Op op = K::op;
  const BlockElements<K, contiguous> element(place, block);
  M faults = 0, detail = 0;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j) {
    faults |= element(j, [](auto... v) { return classify_detail::common_faults<op, M>(v...); });
    detail |= element(j, [](auto... v) { return classify_detail::needs_detail<op, M>(v...); });
  }
  return {static_cast<std::uint32_t>(faults), detail != 0};
}

template <class K, bool contiguous>
[[gnu::target("avx2")]] CommonPass common_pass_avx2(const BlockPlace& place, const Block<K>& block) {
  return common_pass<K, contiguous>(place, block);
}

inline bool has_avx2() {
  static const bool present = __builtin_cpu_supports("avx2");
  return present;
}

// The detail runs outside the AVX2 pass: its out-of-line calls are SSE code,
// which some processors run hundreds of cycles slower while the upper halves
// of the vector registers are in use.
template <class K, bool contiguous>
std::uint32_t classify_block(const BlockPlace& place, const Block<K>& block) {
  using M = LaneMask<K>;
  constexpr Op op = K::op;
  const CommonPass common =
      has_avx2() ? common_pass_avx2<K, contiguous>(place, block) : common_pass<K, contiguous>(place, block);
  if (!common.detail) return common.faults;
  const BlockElements<K, contiguous> element(place, block);
  std::uint32_t faults = common.faults;
  for (std::ptrdiff_t j = 0; j < static_cast<std::ptrdiff_t>(block_size); ++j) {
    faults |= element(j, [](auto... v) {
      return classify_detail::needs_detail<op, M>(v...) != 0 ? classify_detail::detail_faults<op>(v...) : 0;
    });
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
  const std::uint64_t whole = n - n % block_size;
  for (std::uint64_t start = 0; start < whole; start += block_size) {
    const BlockPlace place{{in[0] + offset(start, in_strides[0]), in[1] + offset(start, in_strides[1])},
                           {in_strides[0], in_strides[1]},
                           {args[K::nin] + offset(start, strides[K::nin]),
                            args[out2_arg] + offset(start, strides[out2_arg])},
                           {strides[K::nin], strides[out2_arg]}};
    if (compute_block<K, contiguous>(state, place, block) != block_size)
      result.faults |= classify_block<K, contiguous>(place, block);
    store_block<K, contiguous>(block, place);
  }
  if (whole == n) return result;
  std::uint8_t* rest[K::nin + K::nout];
  for (std::size_t k = 0; k < K::nin + K::nout; ++k) rest[k] = args[k] + offset(whole, strides[k]);
  const LoopResult tail = elementwise<K, false>(state, rest, strides, n - whole, nullptr, 0);
  return {result.faults | tail.faults, tail.failed};
}

// ---- fold --------------------------------------------------------------------

// Input 0 and the output are one element (stride 0) that input 1 never touches.
template <class K>
bool fold_applies(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  if (args[0] != args[2] || strides[0] != 0 || strides[2] != 0) return false;
  const ByteRange operand = bytes_of(args[1], strides[1], n, K::size(1));
  return !operand.overlaps(bytes_of(args[2], 0, 1, K::size(2)));
}

// One step of a fold: the new running value and its flags, or not ok where
// the element is refused.
template <class K>
struct FoldStep {
  typename K::R1 running;
  std::uint32_t faults;
  bool ok;
};

template <class K>
FoldStep<K> fold_step(const typename K::State& state, typename K::R1 running, typename K::B b) {
  typename K::R1 r{};
  typename K::R2 unused{};
  if (!K::compute(state, running, b, r, unused)) return {running, 0, false};
  return {r, K::classify(running, b, r, unused), true};
}

// The same step for a NaN operand, out of line: in the loop's own step the
// compiler then knows b is no NaN, so a formula's NaN test on it
// (real_arithmetic) leaves the running value's chain.
template <class K>
[[gnu::noinline, gnu::cold]] FoldStep<K> fold_step_of_nan(const typename K::State& state, typename K::R1 running,
                                                          typename K::B b) {
  return fold_step<K>(state, running, b);
}

template <class K>
LoopResult fold(const typename K::State& state, std::uint8_t* const* args, const std::int64_t* strides,
                std::uint64_t n) {
  using B = typename K::B;
  LoopResult result;
  typename K::R1 running = load<typename K::R1>(args[0]);
  const std::uint8_t* operand = args[1];
  const std::int64_t stride = strides[1];
  if constexpr (K::faults_show_at_end) {
    // The chain alone: from a finite start to a finite end, nothing faulted.
    // Anything else (a NaN operand, an end not finite) is folded over again
    // below, element by element with its classification.
    typename K::R1 value = running;
    std::ptrdiff_t i = 0;
    const auto count = static_cast<std::ptrdiff_t>(n);
    for (; i < count; ++i) {
      const B b = load<B>(operand + i * stride);
      if (element_is_nan(b)) [[unlikely]]
        break;
      typename K::R1 r{};
      typename K::R2 unused{};
      K::compute(state, value, b, r, unused);
      value = r;
    }
    if (i == count && element_is_finite(running) && element_is_finite(value)) {
      store(args[2], value);
      return result;
    }
  }
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    const B b = load<B>(operand + i * stride);
    const FoldStep<K> step =
        element_is_nan(b) ? fold_step_of_nan<K>(state, running, b) : fold_step<K>(state, running, b);
    if (!step.ok) {
      result.failed = true;
      break;
    }
    result.faults |= step.faults;
    running = step.running;
  }
  store(args[2], running);
  return result;
}

// ---- the loop ----------------------------------------------------------------

template <Op op, LoopPiece piece>
LoopResult strided_loop(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n,
                        const std::uint8_t* mask, std::int64_t mask_stride) {
  using K = Kernel<op, piece>;
  const typename K::State state = K::state();
  if (mask != nullptr) return elementwise<K, true>(state, args, strides, n, mask, mask_stride);
  if (n == 0) return {};
  if constexpr (K::calls_function) {
    // Without its function every element is refused: the first one, before anything is written.
    if (state == nullptr) return {0, true};
  }
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
  if constexpr (K::foldable) {
    if (fold_applies<K>(args, strides, n)) return fold<K>(state, args, strides, n);
  }
  return elementwise<K, false>(state, args, strides, n, nullptr, 0);
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
