// The two-input kernel dispatch: name groups first, then long double outputs
// through the extended-precision library, then integer, float16, float32,
// complex and double-precision paths by output dtype.
#include <cmath>
#include <limits>
#include <utility>

#include "kernels/binary.h"
#include "kernels/binary_float.h"
#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_text.h"
#include "storage/float16.h"

namespace quarvel_kernels {
namespace {

// An integer operand: its own bits zero-extended, and its value.
struct IntegerOperand {
  u128 bits;
  i128 value;
};

std::optional<IntegerOperand> integer_operand(const Scalar& s) {
  return std::visit(
      [](const auto& v) -> std::optional<IntegerOperand> {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_integral_v<T>) {
          return IntegerOperand{element_bits(v), static_cast<i128>(v)};
        } else {
          return std::nullopt;
        }
      },
      s.storage());
}

// Both operands converted one way; the first error is returned.
Result<std::pair<Scalar, Scalar>> cast_both(const Scalar& a, const Scalar& b, DType to) {
  Result<Scalar> x = a.cast(to);
  if (!x) return std::unexpected(x.error());
  Result<Scalar> y = b.cast(to);
  if (!y) return std::unexpected(y.error());
  return std::pair(std::move(*x), std::move(*y));
}

Result<std::pair<double, double>> both_f64(const Scalar& a, const Scalar& b) {
  const Result<double> x = a.as_f64();
  if (!x) return std::unexpected(x.error());
  const Result<double> y = b.as_f64();
  if (!y) return std::unexpected(y.error());
  return std::pair(*x, *y);
}

Ordering from_library(std::optional<std::int8_t> order) {
  if (!order) return Ordering::unordered;
  switch (*order) {
    case -1: return Ordering::less;
    case 0: return Ordering::equal;
    case 1: return Ordering::greater;
    default: return Ordering::unordered;
  }
}

Ordering reversed(Ordering order) {
  if (order == Ordering::less) return Ordering::greater;
  if (order == Ordering::greater) return Ordering::less;
  return order;
}

Result<Ordering> compare_scalars(const Scalar& a, const Scalar& b) {
  const DType da = a.dtype(), db = b.dtype();
  if (da.is_long_double() || db.is_long_double()) {
    if (da.is_complex() || db.is_complex()) {
      const auto both = cast_both(a, b, DType::ComplexLongDouble);
      if (!both) return std::unexpected(both.error());
      const auto& x = both->first.get<ComplexLongDoubleText>();
      const auto& y = both->second.get<ComplexLongDoubleText>();
      return from_library(quarvel_longdouble::compare_complex(x.re, x.im, y.re, y.im));
    }
    const auto both = cast_both(a, b, DType::LongDouble);
    if (!both) return std::unexpected(both.error());
    return from_library(
        quarvel_longdouble::compare(both->first.get<LongDoubleText>().text, both->second.get<LongDoubleText>().text));
  }
  if (da.is_complex() || db.is_complex()) {
    const Result<std::complex<double>> x = a.as_complex();
    if (!x) return std::unexpected(x.error());
    const Result<std::complex<double>> y = b.as_complex();
    if (!y) return std::unexpected(y.error());
    return compare_values(*x, *y);
  }
  const std::optional<IntegerOperand> ia = integer_operand(a), ib = integer_operand(b);
  if (ia && ib) return compare_values(ia->value, ib->value);
  if (ia || ib) {
    const Result<double> x = (ia ? b : a).as_f64();
    if (!x) return std::unexpected(x.error());
    const Ordering order = compare_integer_float((ia ? ia : ib)->value, *x);
    return ia ? order : reversed(order);
  }
  const auto both = both_f64(a, b);
  if (!both) return std::unexpected(both.error());
  return compare_values(both->first, both->second);
}

bool is_comparison(Op op) {
  return op == Op::less || op == Op::less_equal || op == Op::equal || op == Op::not_equal || op == Op::greater ||
         op == Op::greater_equal;
}

bool is_bitwise(Op op) {
  return op == Op::bitwise_and || op == Op::bitwise_or || op == Op::bitwise_xor || op == Op::left_shift ||
         op == Op::right_shift || op == Op::invert || op == Op::bitwise_count;
}

// Bit width of a bool or integer output: bool counts as 8.
unsigned output_width(DType out) { return out == DType::Bool ? 8 : out.integer_bits(); }

Result<KernelOutputs> bitwise(Op op, const Scalar& a, const Scalar& b, DType out) {
  const std::optional<IntegerOperand> ia = integer_operand(a), ib = integer_operand(b);
  if (!ia || !ib || !is_bool_or_integer(out)) return fail(ErrorKind::CannotConvert);
  const std::optional<i128> r =
      bitwise_arithmetic(op, ia->bits, ia->value, ib->bits, ib->value, output_width(out), out.is_signed_integer());
  if (!r) return fail(ErrorKind::CannotConvert);
  return KernelOutputs(wrapped_scalar(*r, out));
}

Result<KernelOutputs> logical(Op op, const Scalar& a, const Scalar& b) {
  return KernelOutputs(Scalar(logical_holds(op, a.truthy(), b.truthy())));
}

// Result of the extended-precision library; absent when it has no answer.
std::optional<Result<KernelOutputs>> long_double_library(Op op, const Scalar& a, const Scalar& b, DType out) {
  const std::string_view name = op_name(op);
  const auto both = cast_both(a, b, out);
  if (!both) return fail(both.error());
  if (out == DType::LongDouble) {
    auto r = quarvel_longdouble::binary_real(name, both->first.get<LongDoubleText>().text,
                                             both->second.get<LongDoubleText>().text);
    if (!r) return std::nullopt;
    if (op == Op::divmod)
      return KernelOutputs(Scalar::long_double(std::move(r->first)), Scalar::long_double(std::move(r->second)));
    return KernelOutputs(Scalar::long_double(std::move(r->first)));
  }
  const auto& cx = both->first.get<ComplexLongDoubleText>();
  const auto& cy = both->second.get<ComplexLongDoubleText>();
  auto r = quarvel_longdouble::binary_complex(name, cx.re, cx.im, cy.re, cy.im);
  if (!r) return std::nullopt;
  return KernelOutputs(Scalar::complex_long_double(std::move(r->first), std::move(r->second)));
}

Result<KernelOutputs> integer_path(Op op, const Scalar& a, const Scalar& b, DType out) {
  const std::optional<IntegerOperand> ia = integer_operand(a), ib = integer_operand(b);
  if (!ia || !ib) return fail(ErrorKind::CannotConvert);
  const bool signed_mode = out.is_signed_integer();
  const std::optional<i128> r = signed_mode ? integer_arithmetic(op, ia->value, ib->value, true)
                                            : integer_arithmetic(op, static_cast<i128>(ia->bits),
                                                                 static_cast<i128>(ib->bits), false);
  if (!r) return fail(ErrorKind::CannotConvert);
  return KernelOutputs(wrapped_scalar(*r, out));
}

Result<KernelOutputs> from_double(double v, DType out) {
  if (out == DType::Float64) return KernelOutputs(Scalar(v));
  Result<Scalar> s = Scalar(v).cast(out);
  if (!s) return std::unexpected(s.error());
  return KernelOutputs(std::move(*s));
}

Half to_half(float v) { return Half{half_bits_to_float(float_to_half_bits(v))}; }

Result<KernelOutputs> ldexp_path(const Scalar& a, const Scalar& b, DType out) {
  const std::optional<IntegerOperand> exponent = integer_operand(b);
  if (!exponent) return fail(ErrorKind::CannotConvert);
  const i128 n = exponent->value;
  if (out == DType::Float32) {
    if (const float* x = a.get_if<float>()) return KernelOutputs(Scalar(scale_pow2_f32(*x, n)));
  }
  const Result<double> x = a.as_f64();
  if (!x) return std::unexpected(x.error());
  if (out == DType::Float16) return KernelOutputs(Scalar(to_half(scale_pow2_f32(static_cast<float>(*x), n))));
  return from_double(scale_pow2_f64(*x, n), out);
}

Result<KernelOutputs> double_path(Op op, double a, double b, DType out) {
  const Result<double> r = binary_float64(op, a, b, out);
  if (!r) return std::unexpected(r.error());
  return from_double(*r, out);
}

Result<KernelOutputs> binary_dispatch(Op op, const Scalar& a, const Scalar& b, DType out) {
  if (is_comparison(op)) {
    const Result<Ordering> order = compare_scalars(a, b);
    if (!order) return std::unexpected(order.error());
    return KernelOutputs(Scalar(comparison_holds(op, *order)));
  }
  if (is_bitwise(op)) return bitwise(op, a, b, out);
  if (op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor) return logical(op, a, b);
  if (input_count(op) != 2) return fail(ErrorKind::CannotConvert);

  if (out.is_long_double()) {
    if (std::optional<Result<KernelOutputs>> r = long_double_library(op, a, b, out)) return std::move(*r);
  }
  if (op == Op::divmod) {
    Result<KernelOutputs> quotient = binary_dispatch(Op::floor_divide, a, b, out);
    if (!quotient) return quotient;
    Result<KernelOutputs> remainder = binary_dispatch(Op::remainder, a, b, out);
    if (!remainder) return remainder;
    return KernelOutputs(std::move((*quotient)[0]), std::move((*remainder)[0]));
  }
  const DType da = a.dtype(), db = b.dtype();
  if (is_bool_or_integer(out) && da.kind() != 'f' && da.kind() != 'c') return integer_path(op, a, b, out);
  if (op == Op::ldexp) return ldexp_path(a, b, out);

  if (out == DType::Float16) {
    const auto both = both_f64(a, b);
    if (!both) return std::unexpected(both.error());
    const Result<Half> r = binary_float16(op, static_cast<float>(both->first), static_cast<float>(both->second));
    if (!r) return std::unexpected(r.error());
    return KernelOutputs(Scalar(*r));
  }
  if (out == DType::Float32 && da == DType::Float32 && db == DType::Float32) {
    const Result<float> r = binary_float32(op, a.get<float>(), b.get<float>());
    if (!r) return std::unexpected(r.error());
    return KernelOutputs(Scalar(*r));
  }
  if (out == DType::Complex64 && da == DType::Complex64 && db == DType::Complex64) {
    Result<Scalar> r = binary_complex64(op, a.get<std::complex<float>>(), b.get<std::complex<float>>());
    if (!r) return std::unexpected(r.error());
    return KernelOutputs(std::move(*r));
  }
  if (da.is_complex() || db.is_complex()) {
    const Result<std::complex<double>> x = a.as_complex();
    if (!x) return std::unexpected(x.error());
    const Result<std::complex<double>> y = b.as_complex();
    if (!y) return std::unexpected(y.error());
    if (!out.is_complex()) return double_path(op, x->real(), y->real(), out);
    const Result<std::complex<double>> r = binary_complex128(op, *x, *y);
    if (!r) return std::unexpected(r.error());
    if (out == DType::Complex128) return KernelOutputs(Scalar(*r));
    Result<Scalar> s = Scalar(*r).cast(out);
    if (!s) return std::unexpected(s.error());
    return KernelOutputs(std::move(*s));
  }
  const auto both = both_f64(a, b);
  if (!both) return std::unexpected(both.error());
  return double_path(op, both->first, both->second, out);
}

}  // namespace

// ---------------------------------------------------------------------------

Ordering compare_integer_float(i128 v, double x) {
  constexpr double limit = 170141183460469231731687303715884105728.0;  // 2^127
  if (std::isnan(x)) return Ordering::unordered;
  const double t = std::trunc(x);
  if (t < -limit) return Ordering::greater;
  if (t >= limit) return Ordering::less;
  const i128 ti = static_cast<i128>(t);
  if (v < ti) return Ordering::less;
  if (v > ti) return Ordering::greater;
  if (x == t) return Ordering::equal;
  return x > 0 ? Ordering::less : Ordering::greater;
}

Ordering compare_integer_float(const Scalar& integer, double x) {
  const std::optional<IntegerOperand> v = integer_operand(integer);
  if (!v) return Ordering::unordered;
  return compare_integer_float(v->value, x);
}

i128 gcd(i128 a, i128 b) {
  a = wrapping_abs(a);
  b = wrapping_abs(b);
  while (b != 0) {
    const i128 r = truncated_remainder(a, b);
    a = b;
    b = r;
  }
  return a;
}

i128 lcm(i128 a, i128 b) {
  if (a == 0 || b == 0) return 0;
  const i128 g = gcd(wrapping_abs(a), wrapping_abs(b));
  return wrapping_abs(static_cast<i128>(static_cast<u128>(truncated_quotient(a, g)) * static_cast<u128>(b)));
}

i128 lcm_of_unsigned(i128 a, i128 b) {
  if (a == 0 || b == 0) return 0;
  return static_cast<i128>(static_cast<u128>(a / gcd(a, b)) * static_cast<u128>(b));
}

std::optional<i128> integer_arithmetic(Op op, i128 a, i128 b, bool signed_mode) {
  switch (op) {
    case Op::add: return integer_arithmetic<Op::add>(a, b);
    case Op::subtract: return integer_arithmetic<Op::subtract>(a, b);
    case Op::multiply: return integer_arithmetic<Op::multiply>(a, b);
    case Op::floor_divide: return integer_arithmetic<Op::floor_divide>(a, b);
    case Op::remainder: return integer_arithmetic<Op::remainder>(a, b);
    case Op::fmod: return integer_arithmetic<Op::fmod>(a, b);
    case Op::power: return integer_arithmetic<Op::power>(a, b);
    case Op::maximum: return integer_arithmetic<Op::maximum>(a, b);
    case Op::fmax: return integer_arithmetic<Op::fmax>(a, b);
    case Op::minimum: return integer_arithmetic<Op::minimum>(a, b);
    case Op::fmin: return integer_arithmetic<Op::fmin>(a, b);
    case Op::gcd: return gcd(a, b);
    case Op::lcm: return signed_mode ? lcm(a, b) : lcm_of_unsigned(a, b);
    default: return std::nullopt;
  }
}

std::optional<i128> bitwise_arithmetic(Op op, u128 a_bits, i128 a_value, u128 b_bits, i128 b_value, unsigned width,
                                       bool signed_output) {
  switch (op) {
    case Op::bitwise_and: return static_cast<i128>(bitwise_logic<Op::bitwise_and>(a_bits, b_bits));
    case Op::bitwise_or: return static_cast<i128>(bitwise_logic<Op::bitwise_or>(a_bits, b_bits));
    case Op::bitwise_xor: return static_cast<i128>(bitwise_logic<Op::bitwise_xor>(a_bits, b_bits));
    case Op::left_shift: return shifted<Op::left_shift>(a_bits, a_value, b_value, width, signed_output);
    case Op::right_shift: return shifted<Op::right_shift>(a_bits, a_value, b_value, width, signed_output);
    default: return std::nullopt;
  }
}

Result<KernelOutputs> binary(Op op, const Scalar& a, const Scalar& b, DType output) {
  return binary_dispatch(op, a, b, output);
}

Result<KernelOutputs> binary(std::string_view name, const Scalar& a, const Scalar& b, DType output) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return binary_dispatch(*op, a, b, output);
}

}  // namespace quarvel_kernels
