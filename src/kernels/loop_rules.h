// The loop rules: for each operation and input dtypes (after long double
// widening), the dtypes its kernel runs in. Constexpr, so the loop table and
// the typed strided loops are both generated from them at compile time.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "kernels/ops.h"
#include "storage/dtype.h"

namespace quarvel_kernels::loop_rules {

using quarvel_storage::DType;
using enum DType::Code;

// At most nin + nout = 4 codes; size 0 means "no loop".
struct LoopPiece {
  std::uint8_t size = 0;
  std::array<DType::Code, 4> codes{};
  bool operator==(const LoopPiece&) const = default;
};

constexpr LoopPiece make_piece(std::initializer_list<DType::Code> codes) {
  LoopPiece piece;
  for (DType::Code c : codes) piece.codes[piece.size++] = c;
  return piece;
}
constexpr LoopPiece same3(DType d) { return make_piece({d.code, d.code, d.code}); }

constexpr bool integral(DType d) { return d.code <= UInt64; }
constexpr bool complex_kind(DType d) { return d.kind() == 'c'; }

// The float a dtype computes in: float16 for 1-byte integers and bool, float32
// for 2-byte integers, float64 for wider ones; floats are their own.
constexpr DType float_of(DType d) {
  if (d.kind() == 'f') return d;
  switch (d.integer_bits()) {
    case 0:
    case 8: return Float16;
    case 16: return Float32;
    default: return Float64;
  }
}
// Codes order the real floats float16 < float32 < float64 < long double.
constexpr DType wider_float(DType a, DType b) { return a.code >= b.code ? a : b; }

constexpr LoopPiece two_input_piece(Op op, DType a, DType b) {
  const DType grid = DType::promote(a, b);
  const bool both_bool = a == Bool && b == Bool;
  const bool both_integral = integral(a) && integral(b);
  const bool any_complex = complex_kind(a) || complex_kind(b);
  const LoopPiece none;
  switch (op) {
    case Op::add:
    case Op::multiply:
    case Op::maximum:
    case Op::minimum:
    case Op::fmax:
    case Op::fmin: return same3(grid);
    case Op::subtract: return both_bool ? none : same3(grid);
    case Op::divide: return both_integral ? same3(Float64) : same3(grid);
    case Op::power: return both_bool ? same3(Int8) : same3(grid);
    case Op::float_power: {
      const bool any_ld = a == LongDouble || b == LongDouble;
      const bool any_cld = a == ComplexLongDouble || b == ComplexLongDouble;
      if (!any_complex && !any_ld) return same3(Float64);
      if (any_complex && !any_ld && !any_cld) return same3(Complex128);
      if (any_ld && !any_complex) return same3(LongDouble);
      return same3(ComplexLongDouble);
    }
    case Op::arctan2:
    case Op::copysign:
    case Op::heaviside:
    case Op::hypot:
    case Op::logaddexp:
    case Op::logaddexp2:
    case Op::nextafter: return any_complex ? none : same3(wider_float(float_of(a), float_of(b)));
    case Op::floor_divide:
    case Op::fmod:
    case Op::remainder:
    case Op::divmod: {
      if (any_complex) return none;
      const DType d = both_bool ? DType(Int8) : grid;
      return op == Op::divmod ? make_piece({d.code, d.code, d.code, d.code}) : same3(d);
    }
    case Op::bitwise_and:
    case Op::bitwise_or:
    case Op::bitwise_xor:
    case Op::left_shift:
    case Op::right_shift:
    case Op::gcd:
    case Op::lcm: {
      // A signed integer with uint64 promotes to float64: no bitwise loop.
      if (!both_integral || !integral(grid)) return none;
      if (both_bool && (op == Op::left_shift || op == Op::right_shift)) return same3(Int8);
      if (both_bool && (op == Op::gcd || op == Op::lcm)) return none;
      return same3(grid);
    }
    case Op::equal:
    case Op::not_equal:
    case Op::less:
    case Op::less_equal:
    case Op::greater:
    case Op::greater_equal:
      // Compared exactly by the kernel rather than through float64.
      if (a.is_signed_integer() && b == UInt64) return make_piece({Int64, UInt64, Bool});
      if (a == UInt64 && b.is_signed_integer()) return make_piece({UInt64, Int64, Bool});
      return make_piece({grid.code, grid.code, Bool});
    case Op::ldexp: {
      if (complex_kind(a)) return none;
      const DType m = float_of(a);
      if (integral(b) && b.integer_bits() <= 16) return make_piece({m.code, Int32, m.code});
      if (b == Int32) return make_piece({m.code, Int32, m.code});
      if (b == UInt32 || b == Int64) return make_piece({m.code, Int64, m.code});
      return none;
    }
    case Op::logical_and:
    case Op::logical_or:
    case Op::logical_xor:
      // Not consulted by resolve_loop; kept consistent with it.
      return make_piece({a.code, b.code, Bool});
    default: return none;
  }
}

constexpr LoopPiece one_input_piece(Op op, DType x) {
  const bool is_complex = complex_kind(x);
  const LoopPiece none;
  const DType f = is_complex ? x : float_of(x);
  switch (op) {
    case Op::arccos:
    case Op::arccosh:
    case Op::arcsin:
    case Op::arcsinh:
    case Op::arctan:
    case Op::arctanh:
    case Op::cos:
    case Op::cosh:
    case Op::exp:
    case Op::exp2:
    case Op::expm1:
    case Op::log:
    case Op::log10:
    case Op::log1p:
    case Op::log2:
    case Op::rint:
    case Op::sin:
    case Op::sinh:
    case Op::sqrt:
    case Op::tan:
    case Op::tanh: return make_piece({f.code, f.code});
    case Op::cbrt:
    case Op::deg2rad:
    case Op::degrees:
    case Op::fabs:
    case Op::rad2deg:
    case Op::radians:
    case Op::spacing: return is_complex ? none : make_piece({f.code, f.code});
    case Op::ceil:
    case Op::floor:
    case Op::trunc: return is_complex ? none : make_piece({x.code, x.code});
    case Op::absolute:
      switch (x.code) {
        case Complex64: return make_piece({Complex64, Float32});
        case Complex128: return make_piece({Complex128, Float64});
        case ComplexLongDouble: return make_piece({ComplexLongDouble, LongDouble});
        default: return make_piece({x.code, x.code});
      }
    case Op::conjugate:
    case Op::reciprocal:
    case Op::square: return x == Bool ? make_piece({Int8, Int8}) : make_piece({x.code, x.code});
    case Op::negative:
    case Op::positive:
    case Op::sign: return x == Bool ? none : make_piece({x.code, x.code});
    case Op::invert: return integral(x) ? make_piece({x.code, x.code}) : none;
    case Op::bitwise_count:
      if (x == Bool) return make_piece({Int8, UInt8});
      return integral(x) ? make_piece({x.code, UInt8}) : none;
    case Op::isfinite:
    case Op::isinf:
    case Op::isnan:
    case Op::logical_not: return make_piece({x.code, Bool});
    case Op::signbit: return is_complex ? none : make_piece({f.code, Bool});
    case Op::modf: return is_complex ? none : make_piece({f.code, f.code, f.code});
    case Op::frexp: return is_complex ? none : make_piece({f.code, f.code, Int32});
    default: return none;
  }
}

// The rule for `op` over its inputs; `b` is ignored by one-input operations.
constexpr LoopPiece loop_piece(Op op, DType a, DType b) {
  return op_info(op).nin == 1 ? one_input_piece(op, a) : two_input_piece(op, a, b);
}

}  // namespace quarvel_kernels::loop_rules
