#include "storage/convert_loop.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "storage/cast.h"
#include "storage/element.h"
#include "storage/float_to_integer.h"

namespace quarvel_storage {

namespace {

constexpr std::size_t fixed_count = DType::LongDouble;  // codes 0 .. 13

// Decoding then encoding an element gives its bytes back, except for bool
// (any nonzero byte becomes 1) and float16 (a signalling NaN comes back quiet).
template <class T>
inline constexpr bool bytes_round_trip = !std::is_same_v<T, bool> && !std::is_same_v<T, Half>;

// Float16 on either side goes through chunks of floats or doubles that the
// many-element conversions of float16.h take at once. A value exact in single
// precision (float16, float32, integers of at most 16 bits) rounds to half
// from the float; any other from its double, as half_bits_of rounds it.
template <class T>
inline constexpr bool exact_in_float =
    std::is_same_v<T, Half> || std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>> ||
    (std::is_integral_v<T> && sizeof(T) <= 2);

constexpr std::size_t half_chunk = 256;

// What a conversion notes beside converting: nothing, an invalid cast to an
// integer, a finite value carried to infinity (see convert_noting).
enum class Note : std::uint8_t { none, invalid, overflow };

// A float16 result of a finite value that is infinite.
constexpr bool overflowed_half(bool finite, std::uint16_t bits) { return finite & ((bits & 0x7FFFu) == 0x7C00u); }

// Whether a whole chunk of float16 bits holds an infinity: a loop of constant
// count that vectorises, before the rare look at which value overflowed.
bool any_infinite_half(const std::uint16_t* bits) {
  unsigned found = 0;
  for (std::size_t i = 0; i < half_chunk; ++i) found |= (bits[i] & 0x7FFFu) == 0x7C00u;
  return found != 0;
}

// Whether p may be read as an array of T.
template <class T>
bool aligned_for(const std::uint8_t* p) {
  return reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
}

// Noting as `note` asks; whether any element was noted.
template <class S, class T, bool SwapIn, bool SwapOut, Note note = Note::none>
bool convert_half(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
                  std::uint64_t n) {
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  const bool contiguous_in = !SwapIn && src_stride == in_size;
  const bool contiguous_out = !SwapOut && dst_stride == out_size;
  bool noted = false;
  std::uint16_t bits[half_chunk] = {};  // whole, for any_infinite_half
  for (std::uint64_t done = 0; done < n; done += half_chunk) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(half_chunk, n - done));
    const std::uint8_t* from = src + static_cast<std::int64_t>(done) * src_stride;
    std::uint8_t* to = dst + static_cast<std::int64_t>(done) * dst_stride;
    if constexpr (std::is_same_v<S, Half>) {
      if constexpr (std::is_same_v<T, float>) {
        // Straight into floats in a row: their values are the converted ones.
        if (contiguous_in && contiguous_out && aligned_for<float>(to)) {
          halves_to_floats(from, reinterpret_cast<float*>(to), count);
          continue;
        }
      }
      float values[half_chunk];
      if (contiguous_in) {
        halves_to_floats(from, values, count);
      } else {
        for (std::size_t i = 0; i < count; ++i)
          bits[i] = element_detail::load_bits<std::uint16_t, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride);
        halves_to_floats(bits, values, count);
      }
      if constexpr (std::is_same_v<T, Half>) {
        floats_to_halves(values, bits, count);
      } else if constexpr (std::is_floating_point_v<T>) {
        // Whole chunks, so that the loop vectorises; the lanes past `count` unused.
        T results[half_chunk];
        std::fill(values + count, values + half_chunk, 0.0f);
        for (std::size_t i = 0; i < half_chunk; ++i) results[i] = cast_element<T>(Half{values[i]});
        if (contiguous_out) {
          std::memcpy(to, results, count * sizeof(T));
        } else {
          for (std::size_t i = 0; i < count; ++i)
            store_element<T, SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, results[i]);
        }
        continue;
      } else {
        for (std::size_t i = 0; i < count; ++i) {
          if constexpr (note == Note::invalid) noted |= integer_cast_is_invalid(Half{values[i]}, float_range(dtype_of<T>));
          store_element<T, SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, cast_element<T>(Half{values[i]}));
        }
        continue;
      }
    } else {
      // Single precision where the value is exact in it, else double.
      using Value = std::conditional_t<exact_in_float<S>, float, double>;
      Value staged[half_chunk];
      const Value* values = staged;
      if (std::is_same_v<S, Value> && contiguous_in && aligned_for<Value>(from)) {
        values = reinterpret_cast<const Value*>(from);
      } else {
        for (std::size_t i = 0; i < count; ++i)
          staged[i] = static_cast<Value>(real_as_double(load_element<S, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride)));
      }
      if constexpr (exact_in_float<S>) {
        floats_to_halves(values, bits, count);
      } else {
        doubles_to_halves(values, bits, count);
      }
      if constexpr (note == Note::overflow) {
        if (any_infinite_half(bits)) [[unlikely]] {
          for (std::size_t i = 0; i < count; ++i) noted |= overflowed_half(std::isfinite(values[i]), bits[i]);
        }
      }
    }
    if (contiguous_out) {
      std::memcpy(to, bits, count * sizeof(std::uint16_t));
    } else {
      for (std::size_t i = 0; i < count; ++i)
        store_half_bits<SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, bits[i]);
    }
  }
  return noted;
}

// A cast to float32 or complex64 (from float64 or complex128, the sources
// that can overflow them), also telling whether a finite part became infinite.
template <class S, class T, bool SwapIn, bool SwapOut>
bool convert_single_noting_overflow(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                                    std::int64_t dst_stride, std::uint64_t n) {
  bool noted = false;
  for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) {
    const S v = load_element<S, SwapIn>(src);
    const T r = cast_element<T>(v);
    noted |= cast_overflowed(as_complex_double(v), as_complex_double(r));
    store_element<T, SwapOut>(dst, r);
  }
  return noted;
}

// A float32, float64 or complex source cast to an integer target (not bool),
// a chunk at a time: the real parts gathered as doubles (floats for float32
// to int32), converted at once by doubles_to_integers (floats_to_int32s),
// written out. Whether any element's cast is
// invalid (see convert_noting).
template <class S, class T>
inline constexpr bool converts_through_doubles =
    (std::is_same_v<S, float> || std::is_same_v<S, double> || is_std_complex<S>) && std::is_integral_v<T> &&
    !std::is_same_v<T, bool>;

template <class S, class T, bool SwapIn, bool SwapOut>
bool convert_through_doubles(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst,
                             std::int64_t dst_stride, std::uint64_t n) {
  constexpr std::size_t chunk = 256;
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  // float32 to int32 stays in single precision (floats_to_int32s).
  using Value = std::conditional_t<std::is_same_v<S, float> && std::is_same_v<T, std::int32_t>, float, double>;
  // Read and written in place where the elements are native values of that
  // precision and integers in a row, else through these.
  const bool direct_in = std::is_same_v<S, Value> && !SwapIn && src_stride == in_size && aligned_for<Value>(src);
  const bool direct_out = !SwapOut && dst_stride == out_size && aligned_for<T>(dst);
  bool invalid = false;
  Value staged[chunk];
  T converted[chunk];
  for (std::uint64_t done = 0; done < n; done += chunk) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, n - done));
    const std::uint8_t* from = src + static_cast<std::int64_t>(done) * src_stride;
    std::uint8_t* to = dst + static_cast<std::int64_t>(done) * dst_stride;
    const Value* values = staged;
    if (direct_in) {
      values = reinterpret_cast<const Value*>(from);
    } else {
      for (std::size_t i = 0; i < count; ++i)
        staged[i] = static_cast<Value>(real_as_double(load_element<S, SwapIn>(from + static_cast<std::int64_t>(i) * src_stride)));
    }
    T* results = direct_out ? reinterpret_cast<T*>(to) : converted;
    if constexpr (std::is_same_v<Value, float>) {
      invalid |= floats_to_int32s(values, results, count);
    } else {
      const std::size_t pairs = count - count % 2;
      invalid |= doubles_to_integers(values, results, pairs);
      if (pairs != count) {
        invalid |= integer_cast_is_invalid(values[pairs], float_range(dtype_of<T>));
        results[pairs] = float_to_integer<T>(values[pairs]);
      }
    }
    if (!direct_out) {
      for (std::size_t i = 0; i < count; ++i)
        store_element<T, SwapOut>(to + static_cast<std::int64_t>(i) * dst_stride, converted[i]);
    }
  }
  return invalid;
}

template <class S, class T, bool SwapIn, bool SwapOut>
void convert(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
             std::uint64_t n) {
  constexpr std::int64_t in_size = stored_size<S>, out_size = stored_size<T>;
  if constexpr (converts_through_doubles<S, T>) {
    convert_through_doubles<S, T, SwapIn, SwapOut>(src, src_stride, dst, dst_stride, n);
  } else if constexpr (std::is_same_v<S, Half> || std::is_same_v<T, Half>) {
    convert_half<S, T, SwapIn, SwapOut>(src, src_stride, dst, dst_stride, n);
  } else if constexpr (std::is_same_v<S, T> && SwapIn == SwapOut && bytes_round_trip<T>) {
    if (src_stride == in_size && dst_stride == out_size) {
      if (n != 0 && src != dst) std::memmove(dst, src, n * in_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) std::memcpy(dst, src, in_size);
  } else {
    auto one = [](const std::uint8_t* from, std::uint8_t* to) {
      store_element<T, SwapOut>(to, cast_element<T>(load_element<S, SwapIn>(from)));
    };
    // The unit-stride form lets the compiler vectorise.
    if (src_stride == in_size && dst_stride == out_size) {
      for (std::uint64_t i = 0; i < n; ++i) one(src + i * in_size, dst + i * out_size);
      return;
    }
    for (std::uint64_t i = 0; i < n; ++i, src += src_stride, dst += dst_stride) one(src, dst);
  }
}

// A conversion that also tells whether it noted any element: with
// Note::invalid (a float or complex source, an integer target) a cast that
// left the range in which it is faithful, with Note::overflow (a float16,
// float32 or complex64 target) a finite part that became infinite
// (cast_overflowed of cast.h). The test rides along in the converting pass.
template <Note note, class S, class T, bool SwapIn, bool SwapOut>
bool convert_noting(const std::uint8_t* src, std::int64_t src_stride, std::uint8_t* dst, std::int64_t dst_stride,
                    std::uint64_t n) {
  if constexpr (note == Note::invalid && !std::is_same_v<S, Half>) {
    return convert_through_doubles<S, T, SwapIn, SwapOut>(src, src_stride, dst, dst_stride, n);
  } else if constexpr (note == Note::overflow && !std::is_same_v<T, Half>) {
    return convert_single_noting_overflow<S, T, SwapIn, SwapOut>(src, src_stride, dst, dst_stride, n);
  } else {
    return convert_half<S, T, SwapIn, SwapOut, note>(src, src_stride, dst, dst_stride, n);
  }
}

// One-byte elements have no byte order: their two tags share one loop.
template <std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr ConvertLoop loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  return &convert<S, T, SwapIn && (stored_size<S> > 1), SwapOut && (stored_size<T> > 1)>;
}

// Targets that can overflow, from sources that can reach their overflow:
// for float16 (from 65520 up) the floats, complex values and integers that
// reach 65520; float64 and complex128 for float32 and complex64.
template <class S, class T>
constexpr bool can_overflow() {
  if constexpr (std::is_same_v<T, Half>) {
    if constexpr (std::is_integral_v<S>) {
      return std::numeric_limits<S>::max() >= 65520;
    } else {
      return !std::is_same_v<S, Half>;
    }
  } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, std::complex<float>>) {
    return std::is_same_v<S, double> || std::is_same_v<S, std::complex<double>>;
  } else {
    return false;
  }
}

// The loop noting `note`, where the pair has one.
template <Note note, std::size_t From, std::size_t To, bool SwapIn, bool SwapOut>
constexpr NotingConvertLoop noting_loop_for() {
  using S = element_t<static_cast<DType::Code>(From)>;
  using T = element_t<static_cast<DType::Code>(To)>;
  constexpr bool in = SwapIn && (stored_size<S> > 1), out = SwapOut && (stored_size<T> > 1);
  if constexpr (note == Note::invalid && (is_float_element<S> || is_std_complex<S>) && std::is_integral_v<T> &&
                !std::is_same_v<T, bool>) {
    return &convert_noting<note, S, T, in, out>;
  } else if constexpr (note == Note::overflow && can_overflow<S, T>()) {
    return &convert_noting<note, S, T, in, out>;
  } else {
    return nullptr;
  }
}

// Indexed [from][to][swap in * 2 + swap out].
template <class Loop>
using LoopRow = std::array<std::array<Loop, 4>, fixed_count>;

template <std::size_t From, std::size_t... To>
constexpr LoopRow<ConvertLoop> loop_row(std::index_sequence<To...>) {
  return {{{loop_for<From, To, false, false>(), loop_for<From, To, false, true>(), loop_for<From, To, true, false>(),
            loop_for<From, To, true, true>()}...}};
}
template <Note note, std::size_t From, std::size_t... To>
constexpr LoopRow<NotingConvertLoop> noting_loop_row(std::index_sequence<To...>) {
  return {{{noting_loop_for<note, From, To, false, false>(), noting_loop_for<note, From, To, false, true>(),
            noting_loop_for<note, From, To, true, false>(), noting_loop_for<note, From, To, true, true>()}...}};
}

template <std::size_t... From>
constexpr std::array<LoopRow<ConvertLoop>, fixed_count> loop_table(std::index_sequence<From...>) {
  return {loop_row<From>(std::make_index_sequence<fixed_count>{})...};
}
template <Note note, std::size_t... From>
constexpr std::array<LoopRow<NotingConvertLoop>, fixed_count> noting_loop_table(std::index_sequence<From...>) {
  return {noting_loop_row<note, From>(std::make_index_sequence<fixed_count>{})...};
}

constexpr auto loops = loop_table(std::make_index_sequence<fixed_count>{});
constexpr auto noting_loops = noting_loop_table<Note::invalid>(std::make_index_sequence<fixed_count>{});
constexpr auto overflow_loops = noting_loop_table<Note::overflow>(std::make_index_sequence<fixed_count>{});

}  // namespace

ConvertLoop find_conversion(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return nullptr;
  return loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

NotingConvertLoop find_conversion_noting_invalid(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return nullptr;
  return noting_loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

NotingConvertLoop find_conversion_noting_overflow(DType from, ByteOrder from_order, DType to, ByteOrder to_order) {
  if (from.is_long_double() || to.is_long_double()) return nullptr;
  return overflow_loops[from.index()][to.index()][swaps(from_order) * 2 + swaps(to_order)];
}

bool cast_may_overflow(DType from, DType to) {
  return find_conversion_noting_overflow(from, ByteOrder::Native, to, ByteOrder::Native) != nullptr;
}

}  // namespace quarvel_storage
