// Typed strided loops of the long double loops (any loop with a float128 or
// complex256 dtype), for the translation units that instantiate them
// (strided_loops_extended_*.cpp). Per element they give the bits and fault
// flags of the Scalar kernels and classify_errors on the text of each value:
//
//   - the operation is the extended-precision routine the Scalar kernel
//     reaches by the operation's name, fixed at compile time from that name
//     and called through the function its code names, so both paths run the
//     same machine code; only operations whose bits no operand order can
//     change on values that are not NaN (sign changes, IEEE arithmetic,
//     comparisons, selections) are computed inline, and a NaN they give is
//     computed again by the routine only where two NaNs of opposite signs may
//     meet in one instruction (which then picks one by the order it takes
//     them in);
//   - every long double result is canonical, as read back from its text: a
//     NaN is the quiet NaN of its sign;
//   - a screen proves no fault rule fires on the usual values; anything else
//     goes to the typed classification on the values themselves.
//
// There is no block path: the x87 unit computes one value at a time. A fold
// (input 0 and the output one element at stride 0) keeps its running value
// in a register; everything else runs element after element, each read,
// computed and written before the next. A mask is read a block at a time:
// the blocks it selects whole run unmasked.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include "kernels/binary.h"
#include "kernels/classify.h"
#include "kernels/loop_entries.h"
#include "kernels/loop_rules.h"
#include "kernels/mask_blocks.h"
#include "kernels/stored_exactness.h"
#include "kernels/strided_loop_table.h"
#include "kernels/strided_loops.h"
#include "longdouble/ld_typed.h"
#include "storage/cast.h"

namespace quarvel_kernels::extended_table {

namespace ld = quarvel_longdouble;
using loop_rules::LoopPiece;
using quarvel_storage::ComplexExtended;
using quarvel_storage::Extended;
using strided_table::group_of;
using strided_table::LoopEntry;
using strided_table::LoopGroup;
using strided_table::LoopList;

// The loops of each group, one translation unit each.
std::span<const LoopEntry> one_input_loops(Op op);
std::span<const LoopEntry> two_input_loops(Op op);
std::span<const LoopEntry> truth_loops(Op op);

// ---- operations ------------------------------------------------------------------

template <Op op>
inline constexpr bool is_comparison =
    op == Op::equal || op == Op::not_equal || op == Op::less || op == Op::less_equal || op == Op::greater ||
    op == Op::greater_equal;
template <Op op>
inline constexpr bool is_logical = op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor;
template <Op op>
inline constexpr bool is_predicate =
    op == Op::isnan || op == Op::isinf || op == Op::isfinite || op == Op::signbit || op == Op::logical_not;

// The routine the Scalar kernel reaches by the operation's name.
template <Op op>
inline constexpr auto real_unary_code = ld::operation_code<ld::RealUnaryOp>(op_name(op));
template <Op op>
inline constexpr auto real_binary_code = ld::operation_code<ld::RealBinaryOp>(op_name(op));
template <Op op>
inline constexpr auto complex_unary_code = ld::operation_code<ld::ComplexUnaryOp>(op_name(op));
template <Op op>
inline constexpr auto complex_binary_code = ld::operation_code<ld::ComplexBinaryOp>(op_name(op));

enum class Form : std::uint8_t {
  predicate,         // g or G -> bool
  complex_absolute,  // G -> g: the real part of the complex routine
  real_unary,        // g -> g
  complex_unary,     // G -> G
  modf,              // g -> g, g
  frexp,             // g -> g, int32
  comparison,        // (g, g) or (G, G) -> bool
  logical,           // any two inputs, one long double -> bool
  ldexp,             // (g, int32 or int64) -> g
  divmod,            // (g, g) -> g, g
  real_binary,       // (g, g) -> g
  complex_binary,    // (G, G) -> G
};

template <Op op, class A, class R>
constexpr Form form_of() {
  if constexpr (op_info(op).nin == 1) {
    if constexpr (is_predicate<op>) return Form::predicate;
    else if constexpr (op == Op::modf) return Form::modf;
    else if constexpr (op == Op::frexp) return Form::frexp;
    else if constexpr (std::is_same_v<A, ComplexExtended> && std::is_same_v<R, Extended>) return Form::complex_absolute;
    else if constexpr (std::is_same_v<A, ComplexExtended>) return Form::complex_unary;
    else return Form::real_unary;
  } else {
    if constexpr (is_comparison<op>) return Form::comparison;
    else if constexpr (is_logical<op>) return Form::logical;
    else if constexpr (op == Op::ldexp) return Form::ldexp;
    else if constexpr (op == Op::divmod) return Form::divmod;
    else if constexpr (std::is_same_v<A, ComplexExtended>) return Form::complex_binary;
    else return Form::real_binary;
  }
}

// The real operations computed inline (beside square and sqrt).
template <Op op>
inline constexpr bool inline_real_unary = op == Op::negative || op == Op::absolute || op == Op::fabs ||
                                          op == Op::positive || op == Op::conjugate || op == Op::reciprocal;
template <Op op>
inline constexpr bool inline_real_binary = op == Op::add || op == Op::subtract || op == Op::multiply ||
                                           op == Op::divide || op == Op::maximum || op == Op::minimum;

template <Op op>
long double real_unary_inline(long double x) {
  using enum Op;
  if constexpr (op == negative) return -x;
  else if constexpr (op == absolute || op == fabs) return std::fabs(x);
  else if constexpr (op == reciprocal) return 1.0L / x;
  else return x;
}

// The routine's result where it is not NaN.
template <Op op>
long double real_binary_inline(long double x, long double y) {
  using enum Op;
  if constexpr (op == add) {
    return x + y;
  } else if constexpr (op == subtract) {
    return x - y;
  } else if constexpr (op == multiply) {
    return x * y;
  } else if constexpr (op == divide) {
    return x / y;
  } else {
    // NaN-propagating, x's NaN first; a tie of two zeros keeps x.
    if (std::isnan(x)) return x;
    if (std::isnan(y)) return y;
    if (x == 0 && y == 0) return x;
    if constexpr (op == maximum) return x > y ? x : y;
    else return x < y ? x : y;
  }
}

// ---- operands ----------------------------------------------------------------------

// A long double operand is met where its stored form lies, and that form is
// what a routine is handed: the call's arguments are then its bytes copied as
// integers. Had the processor loaded the value and stored it again as the
// argument, the routine's 10-byte load would wait for that store to retire
// (a forward the processor cannot make), on every call.
//
// AtForm reads an operand from a stored form that reads as exactly its own
// bytes (a form that does not is first made so in a local buffer, as its text
// would read); InRegister holds a running value the loop already has.
template <class T>
struct AtForm {
  const std::uint8_t* form;
  [[gnu::always_inline]] T value() const {
    using ld::detail::unaligned_extended;
    if constexpr (std::is_same_v<T, Extended>) {
      return Extended{*reinterpret_cast<const unaligned_extended*>(form)};
    } else if constexpr (std::is_same_v<T, ComplexExtended>) {
      return {*reinterpret_cast<const unaligned_extended*>(form), *reinterpret_cast<const unaligned_extended*>(form + 16)};
    } else {
      return quarvel_storage::load_element<T, false>(form);
    }
  }
  [[gnu::always_inline]] auto argument() const {
    if constexpr (std::is_same_v<T, Extended>) {
      long double bytes;
      std::memcpy(&bytes, form, sizeof bytes);
      return bytes;
    } else {
      static_assert(std::is_same_v<T, ComplexExtended>);
      ld::Complex bytes;
      std::memcpy(&bytes, form, sizeof bytes);
      return bytes;
    }
  }
};

template <class T>
struct InRegister {
  T held;
  [[gnu::always_inline]] T value() const { return held; }
  [[gnu::always_inline]] auto argument() const {
    if constexpr (std::is_same_v<T, Extended>) return held.value;
    else return ld::Complex{held.re, held.im};
  }
};

[[gnu::always_inline]] inline bool part_reads_as_stored(const std::uint8_t* p) {
  std::uint64_t m;
  std::uint16_t se;
  std::memcpy(&m, p, 8);
  std::memcpy(&se, p + 8, 2);
  return ld::reads_as_stored(m, se);
}

// Where operand bytes at p read as themselves: p, or `scratch` holding the
// form they read as.
template <class T>
[[gnu::always_inline]] inline const std::uint8_t* readable_form(const std::uint8_t* p, std::uint8_t* scratch) {
  using quarvel_storage::load_extended_part;
  if constexpr (std::is_same_v<T, Extended>) {
    if (part_reads_as_stored(p)) [[likely]]
      return p;
    ld::store_form(load_extended_part<false>(p), scratch);
    return scratch;
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    if (part_reads_as_stored(p) && part_reads_as_stored(p + 16)) [[likely]]
      return p;
    ld::store_form(load_extended_part<false>(p), scratch);
    ld::store_form(load_extended_part<false>(p + 16), scratch + 16);
    return scratch;
  } else {
    return p;
  }
}

// The storage of a value already canonical: its 10 bytes, then 6 zeros.
[[gnu::always_inline]] inline void store_part(std::uint8_t* p, long double x) {
  std::memset(p + 8, 0, 8);
  ld::detail::store_value_bytes(x, p);
}

template <class T>
[[gnu::always_inline]] inline void store(std::uint8_t* p, const T& v) {
  if constexpr (std::is_same_v<T, Extended>) {
    store_part(p, v.value);
  } else if constexpr (std::is_same_v<T, ComplexExtended>) {
    store_part(p, v.re);
    store_part(p + 16, v.im);
  } else {
    quarvel_storage::store_element<T, false>(p, v);
  }
}

extern "C" __complex__ long double __divxc3(long double a, long double b, long double c, long double d);
extern "C" __complex__ long double __mulxc3(long double a, long double b, long double c, long double d);

// ---- one loop's kernel -----------------------------------------------------------

inline bool truthy(Extended x) { return x.value != 0; }
inline bool truthy(ComplexExtended z) { return z.re != 0 || z.im != 0; }

inline Ordering ordering(long double a, long double b) {
  if (std::isnan(a) || std::isnan(b)) return Ordering::unordered;
  return a < b ? Ordering::less : (a > b ? Ordering::greater : Ordering::equal);
}
// Real parts first, imaginary parts on a tie; any NaN part unordered.
inline Ordering ordering(ComplexExtended a, ComplexExtended b) {
  if (std::isnan(a.re) || std::isnan(a.im) || std::isnan(b.re) || std::isnan(b.im)) return Ordering::unordered;
  const Ordering real = ordering(a.re, b.re);
  return real != Ordering::equal ? real : ordering(a.im, b.im);
}

template <class T>
bool is_zero(T x) {
  if constexpr (std::is_same_v<T, Extended>) return x.value == 0;
  else if constexpr (std::is_same_v<T, ComplexExtended>) return x.re == 0 && x.im == 0;
  else if constexpr (std::is_same_v<T, Half>) return x.value == 0;
  else return x == T{};
}

// Finite and zero or normal: no per-result rule reads such a value.
inline bool zero_or_normal(long double x) { return x == 0 || std::isnormal(x); }

inline bool has_subnormal_part(const ComplexExtended& z) {
  const auto subnormal = [](long double p) { return p != 0 && std::fabs(p) < std::numeric_limits<long double>::min(); };
  return subnormal(z.re) || subnormal(z.im);
}

template <class T>
bool has_nan(T x) {
  if constexpr (std::is_same_v<T, Extended>) return std::isnan(x.value);
  else if constexpr (std::is_same_v<T, ComplexExtended>) return std::isnan(x.re) || std::isnan(x.im);
  else return false;
}

// A real operand's NaN and its sign, read on its stored form's words where
// it lies in one (a canonical form: exponent 0x7FFF, a fraction beside the
// integer bit), else on its value: the x87 reads a sign only through its
// status word, which stalls it.
template <class X>
[[gnu::always_inline]] inline bool operand_is_nan(const X& x) {
  if constexpr (requires { x.form; } && std::is_same_v<decltype(x.value()), Extended>) {
    const auto [significand, sign_exponent] = classify_detail::form_words(x.form);
    return (sign_exponent & 0x7FFFu) == 0x7FFFu && significand << 1 != 0;
  } else {
    return has_nan(x.value());
  }
}
template <class X>
[[gnu::always_inline]] inline bool operand_sign(const X& x) {
  if constexpr (requires { x.form; } && std::is_same_v<decltype(x.value()), Extended>) return (x.form[9] & 0x80u) != 0;
  else return std::signbit(x.value().value);
}

// Whether NaNs of both signs may arise in x87 arithmetic on these parts: a
// NaN part of each sign, or a NaN of one sign beside an infinity (whose
// invalid operations give the negative default NaN).
inline bool nan_signs_may_differ(std::initializer_list<long double> parts) {
  bool positive = false, negative = false;
  for (const long double p : parts) {
    if (std::isnan(p)) (std::signbit(p) ? negative : positive) = true;
    else if (std::isinf(p)) negative = true;
  }
  return positive && negative;
}

// A zero divisor's quotient part, as the complex routine gives it.
inline long double part_over_zero(long double part) {
  if (part == 0 || std::isnan(part)) return std::numeric_limits<long double>::quiet_NaN();
  return std::copysign(std::numeric_limits<long double>::infinity(), part);
}

// What the classification reads of a result: finite and zero or normal (no
// per-result rule fires then), zero, and NaN (a part of it, the other part
// not subnormal).
struct Settled {
  bool plain = true;
  bool zero = false;
  bool nan_alone = false;
};

// Where the double reading may be -1 or +-1 (the zero rules of log1p and
// arctanh): within 2^-50 of it, wider than the half spacing of doubles there
// (a value 2^-53 above 1 reads as 1 when its printed digits fall below the tie).
inline bool near_minus_one(long double x) { return std::fabs(x + 1.0L) <= 0x1p-50L; }
inline bool near_unit(long double x) { return std::fabs(std::fabs(x) - 1.0L) <= 0x1p-50L; }

template <Op op, LoopPiece piece>
struct Kernel {
  static constexpr std::size_t nin = op_info(op).nin, nout = op_info(op).nout;
  template <std::size_t i>
  using at = quarvel_storage::element_t<piece.codes[i]>;
  using A = at<0>;
  using B = at<nin - 1>;
  using R1 = at<nin>;
  using R2 = at<nin + nout - 1>;
  static constexpr Form form = form_of<op, A, R1>();

  // The routine, looked up once per call.
  using Function = std::conditional_t<
      form == Form::real_unary, ld::RealUnary,
      std::conditional_t<form == Form::complex_unary || form == Form::complex_absolute, ld::ComplexUnary,
                         std::conditional_t<form == Form::real_binary || form == Form::ldexp, ld::RealBinary,
                                            std::conditional_t<form == Form::complex_binary, ld::ComplexBinary,
                                                               std::nullptr_t>>>>;
  static Function state() {
    if constexpr (form == Form::real_unary) return ld::real_unary(*real_unary_code<op>);
    else if constexpr (form == Form::complex_unary) return ld::complex_unary(*complex_unary_code<op>);
    else if constexpr (form == Form::complex_absolute) return ld::complex_unary(ld::ComplexUnaryOp::absolute);
    else if constexpr (form == Form::real_binary || form == Form::ldexp) return ld::real_binary(*real_binary_code<op>);
    else if constexpr (form == Form::complex_binary) return ld::complex_binary(*complex_binary_code<op>);
    else return nullptr;
  }

  // Whether the form computes inline rather than through the routine: where
  // no operand order can change the bits (sign changes, selections, IEEE
  // arithmetic on values that are not NaN, a square root). Its NaN results
  // are computed again by the routine, which decides which NaN two NaN
  // operands give (see settle).
  static constexpr bool inline_form = [] {
    using enum Op;
    if constexpr (form == Form::real_unary) return inline_real_unary<op> || op == square || op == sqrt;
    else if constexpr (form == Form::real_binary) return inline_real_binary<op>;
    else if constexpr (form == Form::complex_unary) return op == negative || op == conjugate || op == positive;
    else if constexpr (form == Form::complex_binary) return op == add || op == subtract || op == multiply || op == divide;
    else return false;
  }();

  // The results as computed; settle() then makes them canonical.
  // `x` and `y` are the operands (AtForm or InRegister; y unused for one input).
  template <class X, class Y>
  [[gnu::always_inline]] static void compute(Function f, const X& x, [[maybe_unused]] const Y& y, R1& r1,
                                             [[maybe_unused]] R2& r2) {
    using enum Op;
    if constexpr (inline_form) {
      compute_inline(x, y, r1);
    } else if constexpr (form == Form::predicate) {
      const A a = x.value();
      if constexpr (op == logical_not) {
        r1 = !truthy(a);
      } else if constexpr (std::is_same_v<A, Extended>) {
        const long double v = a.value;
        r1 = op == isnan ? std::isnan(v) : op == isinf ? std::isinf(v) : op == isfinite ? std::isfinite(v)
                                                                                        : std::signbit(v);
      } else {
        static_assert(op != signbit);
        if constexpr (op == isnan) r1 = std::isnan(a.re) || std::isnan(a.im);
        else if constexpr (op == isinf) r1 = std::isinf(a.re) || std::isinf(a.im);
        else r1 = !(std::isnan(a.re) || std::isnan(a.im)) && !(std::isinf(a.re) || std::isinf(a.im));
      }
    } else if constexpr (form == Form::complex_absolute) {
      r1 = Extended{f(x.argument()).re};
    } else if constexpr (form == Form::real_unary) {
      if constexpr (op == Op::log || op == Op::log2 || op == Op::log10) {
        // The C library's logarithms of zero are -inf, at several times the
        // cost of an ordinary value's.
        if (x.value().value == 0) [[unlikely]] {
          r1 = Extended{-std::numeric_limits<long double>::infinity()};
          return;
        }
      }
      r1 = Extended{f(x.argument())};
    } else if constexpr (form == Form::complex_unary) {
      const ld::Complex z = f(x.argument());
      r1 = {z.re, z.im};
    } else if constexpr (form == Form::modf) {
      const ld::RealPair parts = ld::modf(x.argument());
      r1 = Extended{parts.first};
      r2 = Extended{parts.second};
    } else if constexpr (form == Form::frexp) {
      const ld::Mantissa parts = ld::frexp(x.argument());
      r1 = Extended{parts.mantissa};
      r2 = parts.exponent;
    } else if constexpr (form == Form::comparison) {
      const A a = x.value();
      const B b = y.value();
      if constexpr (std::is_same_v<A, Extended>) r1 = comparison_holds(op, ordering(a.value, b.value));
      else r1 = comparison_holds(op, ordering(a, b));
    } else if constexpr (form == Form::logical) {
      r1 = logical_holds(op, quarvel_storage::element_truthy(x.value()), quarvel_storage::element_truthy(y.value()));
    } else if constexpr (form == Form::ldexp) {
      r1 = Extended{f(x.argument(), static_cast<long double>(y.value()))};
    } else if constexpr (form == Form::divmod) {
      const ld::RealPair parts = ld::divmod(x.argument(), y.argument());
      r1 = Extended{parts.first};
      r2 = Extended{parts.second};
    } else if constexpr (form == Form::real_binary) {
      r1 = Extended{f(x.argument(), y.argument())};
    } else {
      static_assert(form == Form::complex_binary);
      const ld::Complex z = f(x.argument(), y.argument());
      r1 = {z.re, z.im};
    }
  }

  template <class X, class Y>
  [[gnu::always_inline]] static void compute_inline(const X& x, [[maybe_unused]] const Y& y, R1& r1) {
    using enum Op;
    if constexpr (form == Form::real_unary) {
      const long double v = x.value().value;
      if constexpr (op == square) r1 = Extended{v * v};
      else if constexpr (op == sqrt) r1 = Extended{__builtin_sqrtl(v)};
      else r1 = Extended{real_unary_inline<op>(v)};
    } else if constexpr (form == Form::real_binary) {
      r1 = Extended{real_binary_inline<op>(x.value().value, y.value().value)};
    } else if constexpr (form == Form::complex_unary) {
      const A a = x.value();
      if constexpr (op == negative) r1 = {-a.re, -a.im};
      else if constexpr (op == conjugate) r1 = {a.re, -a.im};
      else r1 = a;
    } else {
      const A a = x.value();
      const B b = y.value();
      if constexpr (op == add) {
        r1 = {a.re + b.re, a.im + b.im};
      } else if constexpr (op == subtract) {
        r1 = {a.re - b.re, a.im - b.im};
      } else if constexpr (op == multiply) {
        // The routine's textbook product (both parts NaN: settle).
        r1 = {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
      } else {
        // By a nonzero divisor the routine's quotient is the runtime's: called
        // here on the operands' own bytes.
        static_assert(op == divide);
        if (b.re == 0 && b.im == 0) [[unlikely]] {
          r1 = {part_over_zero(a.re), part_over_zero(a.im)};
        } else {
          const ld::Complex u = x.argument(), v = y.argument();
          const __complex__ long double q = __divxc3(u.re, u.im, v.re, v.im);
          r1 = {ld::through_text(__real__ q), ld::through_text(__imag__ q)};
        }
      }
    }
  }

  // A product folds a running value of two NaN parts of one sign into itself.
  static constexpr bool keeps_nan_pair = form == Form::complex_binary && op == Op::multiply;
  // A complex extreme that propagates NaN returns a running value with a NaN
  // part at every later step, quietly where its other part is not subnormal:
  // the fold's end.
  static constexpr bool keeps_nan_running = form == Form::complex_binary && (op == Op::maximum || op == Op::minimum);

  // Whether a NaN result of the inline form may differ from the routine's.
  // Every operand here is canonical (read through its form, or a settled
  // running value), and x87 arithmetic hands a lone NaN operand through and
  // gives the negative default NaN for an invalid operation: only two NaNs
  // of opposite signs meeting in one instruction leave the choice to the
  // order it takes them in. One operand's operations never meet two (a square
  // root below zero gives the default NaN, as the routine's sqrtl does through
  // the C library's error handling); the extremes choose as the routine does;
  // the complex quotient and a product of NaN parts are the routine's own
  // runtime calls.
  static constexpr bool nan_may_differ = inline_form && nin == 2 && op != Op::maximum && op != Op::minimum &&
                                         !(form == Form::complex_binary && op == Op::divide);
  template <class X, class Y>
  [[gnu::always_inline]] static bool nan_differs(const X& x, const Y& y, const R1& r) {
    const auto opposite_nans = [](long double a, long double b) {
      return std::isnan(a) && std::isnan(b) && std::signbit(a) != std::signbit(b);
    };
    if constexpr (form == Form::real_binary) {
      return operand_is_nan(x) && operand_is_nan(y) && operand_sign(x) != operand_sign(y);
    } else if constexpr (op == Op::add || op == Op::subtract) {
      // Part by part: an invalid part has no NaN operand to meet.
      const A a = x.value();
      const B b = y.value();
      return opposite_nans(a.re, b.re) || opposite_nans(a.im, b.im);
    } else {
      if (std::isnan(r.re) && std::isnan(r.im)) return false;  // product_of_nan_parts decided
      const A a = x.value();
      const B b = y.value();
      return nan_signs_may_differ({a.re, a.im, b.re, b.im});
    }
  }

  // Where the formula's product has both parts NaN, the routine's is the
  // runtime's, which recovers infinities from an infinite part or partial
  // product; with none, it gives NaNs of the one sign every NaN here has, as
  // the formula did. Out of line and by value, so the loop's result and
  // running value stay in registers.
  [[gnu::noinline]] static R1 product_of_nan_parts(A a, B b, R1 r) {
    const long double ac = a.re * b.re, bd = a.im * b.im, ad = a.re * b.im, bc = a.im * b.re;
    const auto infinite = [](long double v) { return std::isinf(v); };
    if (infinite(a.re) || infinite(a.im) || infinite(b.re) || infinite(b.im) || infinite(ac) || infinite(bd) ||
        infinite(ad) || infinite(bc) || nan_signs_may_differ({a.re, a.im, b.re, b.im})) {
      const __complex__ long double p = __mulxc3(a.re, a.im, b.re, b.im);
      return {ld::through_text(__real__ p), ld::through_text(__imag__ p)};
    }
    return r;
  }

  // Where the operands lie in their forms, whether product_of_nan_parts keeps
  // the formula's product: no infinite part, no finite part from 2^8000 up
  // (below it no partial product overflows), and NaN parts of one sign. Read
  // on the forms' words in integer registers, so the x87 stack holding the
  // result is left as it is.
  [[gnu::always_inline]] static bool forms_keep_nan_product(const std::uint8_t* a, const std::uint8_t* b) {
    bool kept = true;
    unsigned signs = 0;
    for (const std::uint8_t* part : {a, a + 16, b, b + 16}) {
      const auto [significand, sign_exponent] = classify_detail::form_words(part);
      const unsigned exponent = sign_exponent & 0x7FFFu;
      const bool special = exponent == 0x7FFFu;
      kept &= exponent < 0x3FFFu + 8000 || (special && significand != std::uint64_t(1) << 63);
      signs |= unsigned(special) << (sign_exponent >> 15);
    }
    return kept && signs != 3;
  }

  // Results made canonical as read back from text (a NaN is the quiet NaN
  // of its sign), and what the classification reads of them. An inline
  // form's NaN is canonical already: x87 arithmetic hands a canonical NaN
  // operand through and gives the canonical negative NaN for an invalid
  // operation, and the runtime calls' results are made so where they are made.
  template <class X, class Y>
  [[gnu::always_inline]] static Settled settle(Function f, const X& x, const Y& y, R1& r) {
    if constexpr (std::is_same_v<R1, Extended>) {
      if (std::isnan(r.value)) [[unlikely]] {
        if constexpr (nan_may_differ) {
          if (nan_differs(x, y, r)) [[unlikely]]
            r = Extended{ld::through_text(f(x.argument(), y.argument()))};
        }
        if constexpr (!inline_form) r.value = ld::through_text(r.value);
        return {false, false, true};
      }
      return {zero_or_normal(r.value), r.value == 0};
    } else if constexpr (std::is_same_v<R1, ComplexExtended>) {
      if (std::isnan(r.re) || std::isnan(r.im)) [[unlikely]] {
        if constexpr (form == Form::complex_binary && op == Op::multiply) {
          if (std::isnan(r.re) && std::isnan(r.im)) {
            if constexpr (requires { x.form, y.form; }) {
              if (!forms_keep_nan_product(x.form, y.form)) [[unlikely]]
                r = product_of_nan_parts(x.value(), y.value(), r);
            } else {
              r = product_of_nan_parts(x.value(), y.value(), r);
            }
          }
        }
        if constexpr (nan_may_differ) {
          if (nan_differs(x, y, r)) [[unlikely]] {
            const ld::Complex z = f(x.argument(), y.argument());
            r = {ld::through_text(z.re), ld::through_text(z.im)};
          }
        }
        if constexpr (!inline_form) r = {ld::through_text(r.re), ld::through_text(r.im)};
        // A part that is not NaN may still underflow.
        return {false, false, !has_subnormal_part(r)};
      }
      return {zero_or_normal(r.re) && zero_or_normal(r.im), r.re == 0 && r.im == 0};
    } else {
      return {};
    }
  }

  // The second result (modf, frexp, divmod): routines' results only.
  [[gnu::always_inline]] static Settled settle_second(R2& r) {
    if constexpr (std::is_same_v<R2, Extended>) {
      if (std::isnan(r.value)) [[unlikely]] {
        r.value = ld::through_text(r.value);
        return {false, false};
      }
      return {zero_or_normal(r.value), r.value == 0};
    } else {
      return {};
    }
  }

  // ---- classification ----

  template <class X, class Y>
  [[gnu::always_inline]] static bool result_quiet(Settled settled, const X& x, [[maybe_unused]] const Y& y) {
    if (!settled.plain) return false;
    if constexpr (fault_rule(op).flush_to_zero) {
      // A zero from nonzero finite inputs underflowed.
      return !settled.zero || is_zero(x.value()) || (nin == 2 && is_zero(y.value()));
    }
    return true;
  }

  template <class X, class Y>
  [[gnu::always_inline]] static bool inputs_quiet(const X& x, [[maybe_unused]] const Y& y) {
    constexpr FaultRule rule = fault_rule(op);
    bool quiet = true;
    if constexpr (rule.zero == ZeroRule::floor_division || rule.zero == ZeroRule::division ||
                  rule.zero == ZeroRule::integer_remainder) {
      quiet = !is_zero(y.value());
    } else if constexpr (rule.zero == ZeroRule::zero_input || rule.zero == ZeroRule::zero_base) {
      quiet = !is_zero(x.value());
    } else if constexpr (rule.zero == ZeroRule::minus_one) {
      quiet = !near_minus_one(quarvel_storage::real_part(x.value()));
    } else if constexpr (rule.zero == ZeroRule::unit_real) {
      quiet = !near_unit(quarvel_storage::real_part(x.value()));
    }
    if constexpr (rule.log_add_exp) {
      // No NaN, and a - b far from overflowing and e^-|a-b| from underflowing.
      quiet = quiet && std::fabs(x.value().value - y.value().value) <= 11000.0L;
    }
    return quiet;
  }

  // A NaN result from a NaN operand sets nothing (invalid wants a NaN from
  // numbers, overflow an infinity from finite operands, the zero rules a zero
  // or finite operand where the NaN stands), save log-add-exp's invalid NaN
  // input.
  template <class X, class Y>
  [[gnu::always_inline]] static bool nan_carried(Settled settled, const X& x, [[maybe_unused]] const Y& y) {
    if constexpr (nout != 1 || fault_rule(op).log_add_exp) {
      return false;
    } else {
      if (!settled.nan_alone) return false;
      if constexpr (nin == 2) return has_nan(x.value()) || has_nan(y.value());
      else return has_nan(x.value());
    }
  }

  // Where the operands lie in their forms, whether a subnormal result of a
  // product, square, quotient or reciprocal is exact is read from them. Such
  // a result comes from finite nonzero operands, and of these operations'
  // rules only the exactness reads it (the zero rules want a zero operand, the
  // flush to zero a zero result): its flags are that test's alone.
  template <class X, class Y>
  static constexpr bool exact_from_forms = [] {
    constexpr FaultRule rule = fault_rule(op);
    if constexpr (!classify_detail::is_stored_row<rule.exact> || nout != 1 || !std::is_same_v<R1, Extended> ||
                  !std::is_same_v<A, Extended> || !std::is_same_v<B, Extended>) {
      return false;
    } else {
      static_assert(!rule.log_add_exp && !rule.quotient_underflow && !rule.small_cosine &&
                    (rule.zero == ZeroRule::none || rule.zero == ZeroRule::division ||
                     rule.zero == ZeroRule::zero_input));
      return requires(X x, Y y) { x.form, y.form; };
    }
  }();

  template <class X, class Y>
  [[gnu::always_inline]] static std::uint32_t classify(const X& x, const Y& y, R1 r1, R2 r2, Settled s1, Settled s2) {
    if (nan_carried(s1, x, y)) return 0;
    bool quiet = result_quiet(s1, x, y) && inputs_quiet(x, y);
    if constexpr (nout == 2) quiet = quiet && result_quiet(s2, x, y);
    if (quiet) [[likely]]
      return 0;
    if constexpr (exact_from_forms<X, Y>) {
      if (!s1.zero && std::fabs(r1.value) < std::numeric_limits<long double>::min()) {
        constexpr ExactRow row = fault_rule(op).exact;
        return classify_detail::stored_row_is_exact<row>(x.form, nin == 2 ? y.form : x.form) ? 0 : fault_under;
      }
    }
    // Inline: handed to a function, each long double would go through memory.
    const A a = x.value();
    if constexpr (nin == 2) return classify_detail::typed_faults<op>(a, y.value(), r1, r2);
    else return classify_detail::typed_faults<op>(a, a, r1, r2);
  }

  // One element: computed, settled, classified.
  template <class X, class Y>
  [[gnu::always_inline]] static std::uint32_t step(Function f, const X& x, const Y& y, R1& r1, R2& r2) {
    compute(f, x, y, r1, r2);
    const Settled s1 = settle(f, x, y, r1);
    Settled s2{};
    if constexpr (nout == 2) s2 = settle_second(r2);
    return classify(x, y, r1, r2, s1, s2);
  }
};

// ---- the loop --------------------------------------------------------------------

template <class K, bool masked>
LoopResult elementwise(typename K::Function f, std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n,
                       const std::uint8_t* mask, std::int64_t mask_stride) {
  using A = typename K::A;
  using B = typename K::B;
  constexpr std::size_t count = K::nin + K::nout;
  std::uint8_t* base[count];
  std::int64_t stride[count];
  std::copy(args, args + count, base);
  std::copy(strides, strides + count, stride);
  alignas(16) std::uint8_t scratch[2][32];
  LoopResult result;
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    if constexpr (masked) {
      if (mask[i * mask_stride] == 0) continue;
    }
    const AtForm<A> a{readable_form<A>(base[0] + i * stride[0], scratch[0])};
    AtForm<B> b{nullptr};
    if constexpr (K::nin == 2) b.form = readable_form<B>(base[1] + i * stride[1], scratch[1]);
    typename K::R1 r1{};
    typename K::R2 r2{};
    result.faults |= K::step(f, a, b, r1, r2);
    store(base[K::nin] + i * stride[K::nin], r1);
    if constexpr (K::nout == 2) store(base[K::nin + 1] + i * stride[K::nin + 1], r2);
  }
  return result;
}

// A complex running value with two NaN parts of one sign, and an element
// with two finite parts (read on its form's words): the product is the
// running value again, and faults nowhere (see product_of_nan_parts).
inline bool is_nan_pair(const ComplexExtended& z) {
  return std::isnan(z.re) && std::isnan(z.im) && std::signbit(z.re) == std::signbit(z.im);
}
[[gnu::always_inline]] inline bool finite_parts(const std::uint8_t* form) {
  using classify_detail::form_words;
  const unsigned re = form_words(form).sign_exponent, im = form_words(form + 16).sign_exponent;
  return (re & 0x7FFFu) != 0x7FFFu && (im & 0x7FFFu) != 0x7FFFu;
}

// Input 0 and the output one element (stride 0) that input 1 never touches.
template <class K>
bool fold_applies(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  if (args[0] != args[2] || strides[0] != 0 || strides[2] != 0) return false;
  const auto first = reinterpret_cast<std::uintptr_t>(args[1]);
  const std::uintptr_t last = first + static_cast<std::uintptr_t>(static_cast<std::ptrdiff_t>(n - 1) * strides[1]);
  const std::uintptr_t low = std::min(first, last), high = std::max(first, last) + sizeof(typename K::B);
  const auto running = reinterpret_cast<std::uintptr_t>(args[2]);
  return high <= running || running + sizeof(typename K::R1) <= low;
}

template <class K>
LoopResult fold(typename K::Function f, std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n) {
  using A = typename K::A;
  using B = typename K::B;
  alignas(16) std::uint8_t scratch[2][32];
  LoopResult result;
  InRegister<A> running{AtForm<A>{readable_form<A>(args[0], scratch[0])}.value()};
  const std::uint8_t* operand = args[1];
  const std::int64_t stride = strides[1];
  for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i) {
    const AtForm<B> b{readable_form<B>(operand + i * stride, scratch[1])};
    if constexpr (K::keeps_nan_pair) {
      if (std::isnan(running.held.re)) [[unlikely]] {
        if (is_nan_pair(running.held) && finite_parts(b.form)) continue;
      }
    }
    if constexpr (K::keeps_nan_running) {
      if (has_nan(running.held)) [[unlikely]] {
        if (!has_subnormal_part(running.held)) break;
      }
    }
    typename K::R1 r{};
    typename K::R2 unused{};
    result.faults |= K::step(f, running, b, r, unused);
    running.held = r;
  }
  store(args[2], running.held);
  return result;
}

template <class K>
LoopResult unmasked(typename K::Function f, std::uint8_t* const* args, const std::int64_t* strides,
                    std::uint64_t n) {
  if (n == 0) return {};
  if constexpr (K::nin == 2 && K::nout == 1 && std::is_same_v<typename K::A, typename K::R1>) {
    if (fold_applies<K>(args, strides, n)) return fold<K>(f, args, strides, n);
  }
  return elementwise<K, false>(f, args, strides, n, nullptr, 0);
}

// A mask is read a block at a time (mask_blocks.h).
template <Op op, LoopPiece piece>
LoopResult strided_loop(std::uint8_t* const* args, const std::int64_t* strides, std::uint64_t n,
                        const std::uint8_t* mask, std::int64_t mask_stride) {
  using K = Kernel<op, piece>;
  using Moved = MovedArgs<K::nin + K::nout>;
  const typename K::Function f = K::state();
  if (mask == nullptr) return unmasked<K>(f, args, strides, n);
  if (mask_stride == 0) return *mask != 0 ? unmasked<K>(f, args, strides, n) : LoopResult{};
  return by_mask_blocks(
      n, mask, mask_stride,
      [&](std::uint64_t start, std::uint64_t count) {
        return unmasked<K>(f, Moved(args, strides, start).at, strides, count);
      },
      [&](std::uint64_t start, std::size_t m, const std::uint8_t* block_mask) {
        return elementwise<K, true>(f, Moved(args, strides, start).at, strides, m, block_mask, mask_stride);
      });
}

// ---- the table -------------------------------------------------------------------

// The loops resolve_loop gives an operation when an input is long double: the
// rule's piece with every float widened to long double and every complex to
// complex long double (the logical operations take their inputs as given).
struct LongDoubleLoops {
  template <Op op>
  static constexpr LoopList loops = strided_table::distinct_loops<op>(
      [](DType a, DType b) { return a.is_long_double() || (op_info(op).nin == 2 && b.is_long_double()); },
      [](LoopPiece piece) {
        if (is_logical<op>) return piece;
        for (std::size_t i = 0; i < piece.size; ++i) {
          const DType d(piece.codes[i]);
          if (d.kind() == 'f') piece.codes[i] = DType::LongDouble;
          else if (d.kind() == 'c') piece.codes[i] = DType::ComplexLongDouble;
        }
        return piece;
      });
  template <Op op, LoopPiece piece>
  static constexpr StridedLoop loop = &strided_loop<op, piece>;
};

}  // namespace quarvel_kernels::extended_table
