// The one-input kernel on scalar values: long double special cases, then long
// double outputs through the extended-precision routines, then dispatch by
// operation. The element forms live in unary.h and unary_float.h.
#include <cmath>
#include <optional>
#include <type_traits>
#include <variant>

#include "kernels/kernels.h"
#include "kernels/loop_table.h"
#include "kernels/unary.h"
#include "kernels/unary_float.h"
#include "longdouble/ld_ops.h"
#include "longdouble/ld_text.h"

namespace quarvel_kernels {
namespace {

using ld_code = quarvel_longdouble::ClassifyCode;

Result<KernelOutputs> one(Result<Scalar> value) {
  if (!value) return fail(std::move(value.error()));
  return KernelOutputs(std::move(*value));
}

// ---- long double -----------------------------------------------------------

// Whether either part of a complex long double text has a property; absent if
// the routine cannot read a part.
std::optional<bool> classify_either(const ComplexLongDoubleText& z, ld_code code) {
  const std::optional<bool> re = quarvel_longdouble::classify(z.re, code);
  const std::optional<bool> im = quarvel_longdouble::classify(z.im, code);
  if (!re || !im) return std::nullopt;
  return *re || *im;
}

std::optional<bool> classify_long_double(const Scalar& x, ld_code code) {
  if (const auto* text = x.get_if<LongDoubleText>()) return quarvel_longdouble::classify(text->text, code);
  if (const auto* z = x.get_if<ComplexLongDoubleText>()) return classify_either(*z, code);
  return std::nullopt;
}

std::optional<bool> long_double_predicate(Op op, const Scalar& x) {
  const auto* real = x.get_if<LongDoubleText>();
  switch (op) {
    case Op::isnan: return classify_long_double(x, ld_code::IsNan);
    case Op::isinf: return classify_long_double(x, ld_code::IsInfinite);
    case Op::isfinite: {
      if (real != nullptr) return quarvel_longdouble::classify(real->text, ld_code::IsFinite);
      const std::optional<bool> nan = classify_long_double(x, ld_code::IsNan);
      const std::optional<bool> infinite = classify_long_double(x, ld_code::IsInfinite);
      if (!nan || !infinite) return std::nullopt;
      return !*nan && !*infinite;
    }
    case Op::signbit:
      if (real == nullptr) return std::nullopt;
      return quarvel_longdouble::classify(real->text, ld_code::SignBit);
    default: return std::nullopt;
  }
}

// Steps taken before anything else; absent when they give no result (an
// unreadable text included), so dispatch goes on.
std::optional<Result<KernelOutputs>> long_double_special(Op op, const Scalar& x, DType out) {
  if ((op == Op::modf || op == Op::frexp) && out == DType::LongDouble) {
    Result<Scalar> cast = x.cast(DType::LongDouble);
    if (!cast) return fail(std::move(cast.error()));
    const std::string& text = cast->get<LongDoubleText>().text;
    if (op == Op::modf) {
      auto parts = quarvel_longdouble::modf(text);
      if (!parts) return std::nullopt;
      return KernelOutputs(Scalar::long_double(std::move(parts->first)), Scalar::long_double(std::move(parts->second)));
    }
    auto parts = quarvel_longdouble::frexp(text);
    if (!parts) return std::nullopt;
    return KernelOutputs(Scalar::long_double(std::move(parts->first)), Scalar(parts->second));
  }
  if (x.dtype().is_long_double()) {
    if (const std::optional<bool> answer = long_double_predicate(op, x)) return KernelOutputs(Scalar(*answer));
  }
  return std::nullopt;
}

// Long double outputs are computed by the extended-precision routines; a
// complex input with a real output keeps the real part (absolute of a complex
// long double). Absent when the routine fails, so dispatch goes on.
std::optional<Result<KernelOutputs>> long_double_output(Op op, const Scalar& x, DType out) {
  const std::string_view name = op_name(op);
  if (out == DType::ComplexLongDouble || x.dtype().is_complex()) {
    Result<Scalar> cast = x.cast(DType::ComplexLongDouble);
    if (!cast) return fail(std::move(cast.error()));
    const ComplexLongDoubleText& z = cast->get<ComplexLongDoubleText>();
    auto result = quarvel_longdouble::unary_complex(name, z.re, z.im);
    if (!result) return std::nullopt;
    if (out == DType::LongDouble) return KernelOutputs(Scalar::long_double(std::move(result->first)));
    return KernelOutputs(Scalar::complex_long_double(std::move(result->first), std::move(result->second)));
  }
  Result<Scalar> cast = x.cast(DType::LongDouble);
  if (!cast) return fail(std::move(cast.error()));
  auto result = quarvel_longdouble::unary_real(name, cast->get<LongDoubleText>().text);
  if (!result) return std::nullopt;
  return KernelOutputs(Scalar::long_double(std::move(*result)));
}

// ---- integer operations ----------------------------------------------------

// An integer result in a bool or integer output; other outputs have no such loop.
Result<KernelOutputs> integer_result(i128 v, DType out) {
  if (!is_bool_or_integer(out)) return fail(ErrorKind::CannotConvert);
  return KernelOutputs(wrapped_scalar(v, out));
}

Result<i128> integer_input(const Scalar& x) {
  if (!is_bool_or_integer(x.dtype())) return fail(ErrorKind::CannotConvert);
  return signed_value(x);
}

// negative and square: integer arithmetic into integer outputs, else the
// float64 fallback.
Result<KernelOutputs> integer_unary(const Scalar& x, DType out, i128 (*integer_op)(i128), double (*float_op)(double)) {
  if (is_bool_or_integer(out)) {
    const Result<i128> v = integer_input(x);
    if (!v) return fail(v.error());
    return integer_result(integer_op(*v), out);
  }
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  return one(Scalar(float_op(*v)).cast(out));
}

Result<KernelOutputs> integer_reciprocal(const Scalar& x, DType out) {
  const Result<i128> v = integer_input(x);
  if (!v) return fail(v.error());
  return integer_result(reciprocal_integer(*v, out.is_signed_integer()), out);
}

Result<KernelOutputs> invert(const Scalar& x, DType out) {
  if (out == DType::Bool) return KernelOutputs(Scalar(!x.truthy()));
  if (!is_bool_or_integer(x.dtype())) return fail(ErrorKind::CannotConvert);
  const u128 bits = std::visit(
      [](const auto& v) -> u128 {
        if constexpr (std::is_integral_v<std::decay_t<decltype(v)>>) return zero_extended_bits(v);
        return 0;
      },
      x.storage());
  return integer_result(invert_integer(bits), out);
}

Result<KernelOutputs> bitwise_count(const Scalar& x, DType out) {
  const Result<i128> v = integer_input(x);
  if (!v) return fail(v.error());
  return integer_result(count_one_bits(*v), out);
}

// ---- float operations ------------------------------------------------------

Result<KernelOutputs> absolute(const Scalar& x, DType out) {
  const DType in = x.dtype();
  if (is_bool_or_integer(in)) {
    const Result<i128> v = signed_value(x);
    if (!v) return fail(v.error());
    return integer_result(magnitude_integer(*v), out);
  }
  if (in == DType::Complex64) return one(Scalar(complex_magnitude(x.get<std::complex<float>>())).cast(out));
  if (in.is_complex()) {
    const Result<std::complex<double>> z = x.as_complex();
    if (!z) return fail(z.error());
    return one(Scalar(complex_magnitude(*z)).cast(out));
  }
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  return one(Scalar(std::fabs(*v)).cast(out));
}

Result<KernelOutputs> fabs(const Scalar& x, DType out) {
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  return one(Scalar(std::fabs(*v)).cast(out));
}

Result<KernelOutputs> sign(const Scalar& x, DType out) {
  switch (x.dtype().code) {
    case DType::Float16: return one(Scalar::half(sign_real(x.get<Half>().value)).cast(out));
    case DType::Complex64: return one(Scalar(sign_complex(x.get<std::complex<float>>())).cast(out));
    case DType::Complex128:
    case DType::ComplexLongDouble: {
      const Result<std::complex<double>> z = x.as_complex();
      if (!z) return fail(z.error());
      return one(Scalar(sign_complex(*z)).cast(out));
    }
    default: {
      const Result<double> v = x.as_f64();
      if (!v) return fail(v.error());
      return one(Scalar(sign_real(*v)).cast(out));
    }
  }
}

Result<KernelOutputs> conjugate(const Scalar& x, DType out) {
  if (!x.dtype().is_complex()) return one(x.cast(out));
  const Result<std::complex<double>> z = x.as_complex();
  if (!z) return fail(z.error());
  return one(Scalar(std::complex<double>(z->real(), -z->imag())).cast(out));
}

bool single_precision_output(DType out) { return out == DType::Float16 || out == DType::Float32; }

template <class F>
Result<KernelOutputs> two_floats(F first, F second, DType out) {
  Result<Scalar> a = Scalar(first).cast(out);
  if (!a) return fail(std::move(a.error()));
  Result<Scalar> b = Scalar(second).cast(out);
  if (!b) return fail(std::move(b.error()));
  return KernelOutputs(std::move(*a), std::move(*b));
}

Result<KernelOutputs> modf(const Scalar& x, DType out) {
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  if (single_precision_output(out)) {
    const auto [fractional, integral] = modf_parts(static_cast<float>(*v));
    return two_floats(fractional, integral, out);
  }
  const auto [fractional, integral] = modf_parts(*v);
  return two_floats(fractional, integral, out);
}

template <class F>
Result<KernelOutputs> frexp_result(F x, DType out) {
  const auto [mantissa, exponent] = frexp_parts(x);
  Result<Scalar> m = Scalar(mantissa).cast(out);
  if (!m) return fail(std::move(m.error()));
  return KernelOutputs(std::move(*m), Scalar(exponent));
}

Result<KernelOutputs> frexp(const Scalar& x, DType out) {
  const Result<double> v = x.as_f64();
  if (!v) return fail(v.error());
  if (single_precision_output(out)) return frexp_result(static_cast<float>(*v), out);
  return frexp_result(*v, out);
}

Result<KernelOutputs> float_or_complex(Op op, const Scalar& x, DType out) {
  return one(unary_float_or_complex(op, x, out));
}

// ceil, floor and trunc leave integers as they are.
Result<KernelOutputs> rounding(Op op, const Scalar& x, DType out) {
  if (is_bool_or_integer(x.dtype())) return one(x.cast(out));
  return float_or_complex(op, x, out);
}

}  // namespace

Result<KernelOutputs> unary(Op op, const Scalar& x, DType out) {
  if (auto special = long_double_special(op, x, out)) return std::move(*special);
  if (out.is_long_double()) {
    if (auto computed = long_double_output(op, x, out)) return std::move(*computed);
  }
  const bool integral = is_bool_or_integer(x.dtype());
  switch (op) {
    case Op::absolute: return absolute(x, out);
    case Op::fabs: return fabs(x, out);
    case Op::ceil:
    case Op::floor:
    case Op::trunc: return rounding(op, x, out);
    case Op::conjugate: return conjugate(x, out);
    case Op::sign: return sign(x, out);
    case Op::modf: return modf(x, out);
    case Op::frexp: return frexp(x, out);
    case Op::isnan: return KernelOutputs(Scalar(x.is_nan()));
    case Op::isinf: return KernelOutputs(Scalar(x.is_infinite()));
    // Neither NaN nor infinite, also for long double text (as the two predicates read it).
    case Op::isfinite: return KernelOutputs(Scalar(!x.is_nan() && !x.is_infinite()));
    case Op::signbit: {
      const Result<double> v = x.as_f64();
      if (!v) return fail(v.error());
      return KernelOutputs(Scalar(static_cast<bool>(std::signbit(*v))));
    }
    case Op::square:
      if (!integral) return float_or_complex(op, x, out);
      return integer_unary(x, out, &square_integer, [](double v) { return v * v; });
    case Op::negative:
      if (x.dtype().is_complex()) return float_or_complex(op, x, out);
      return integer_unary(x, out, &negate_integer, [](double v) { return -v; });
    case Op::positive: return one(x.cast(out));
    case Op::reciprocal:
      if (integral) return integer_reciprocal(x, out);
      return float_or_complex(op, x, out);
    case Op::logical_not: return KernelOutputs(Scalar(!x.truthy()));
    case Op::invert: return invert(x, out);
    case Op::bitwise_count: return bitwise_count(x, out);
    default: return float_or_complex(op, x, out);
  }
}

Result<KernelOutputs> unary(std::string_view name, const Scalar& x, DType out) {
  const std::optional<Op> op = op_from_name(name);
  if (!op) return fail(ErrorKind::CannotConvert);
  return unary(*op, x, out);
}

}  // namespace quarvel_kernels
