#include "kernels/loop_table.h"

#include <array>
#include <cmath>
#include <limits>

namespace quarvel_kernels {
namespace {

using enum DType::Code;
using quarvel_storage::DType;

// ---------------------------------------------------------------------------
// Loop rules. Each row is a rule over the input dtypes (after long double
// widening); the table below is generated from them at compile time.

// At most nin + nout = 4 codes; size 0 means "no loop".
struct LoopPiece {
  std::uint8_t size = 0;
  std::array<DType::Code, 4> codes{};
};

constexpr LoopPiece make_piece(std::initializer_list<DType::Code> codes) {
  LoopPiece piece;
  for (DType::Code c : codes) piece.codes[piece.size++] = c;
  return piece;
}
constexpr LoopPiece same3(DType d) { return make_piece({d.code, d.code, d.code}); }

constexpr bool integral(DType d) { return is_bool_or_integer(d); }
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

constexpr std::uint64_t input_count_of(Op op) { return op_info(op).nin; }
constexpr std::uint64_t output_count_of(Op op) { return op_info(op).nout; }

// Two-input rows are indexed by first code * 16 + second code, one-input rows
// by the input code alone.
using LoopGrid = std::array<std::array<LoopPiece, 256>, op_count>;

constexpr LoopGrid make_loop_grid() {
  LoopGrid grid{};
  for (int op_index = 0; op_index < op_count; ++op_index) {
    const Op op = static_cast<Op>(op_index);
    for (std::size_t a = 0; a < DType::count; ++a) {
      if (input_count_of(op) == 1) {
        grid[op_index][a] = one_input_piece(op, DType::from_index(a));
        continue;
      }
      for (std::size_t b = 0; b < DType::count; ++b)
        grid[op_index][a * 16 + b] = two_input_piece(op, DType::from_index(a), DType::from_index(b));
    }
  }
  return grid;
}

constexpr LoopGrid loop_grid = make_loop_grid();

constexpr bool pieces_fit_counts() {
  for (int op_index = 0; op_index < op_count; ++op_index) {
    const Op op = static_cast<Op>(op_index);
    for (const LoopPiece& piece : loop_grid[op_index])
      if (piece.size != 0 && piece.size != input_count_of(op) + output_count_of(op)) return false;
  }
  return true;
}
static_assert(pieces_fit_counts());
static_assert(loop_grid[static_cast<int>(Op::add)][Int8 * 16 + UInt64].codes[2] == Float64);
static_assert(loop_grid[static_cast<int>(Op::bitwise_and)][Int8 * 16 + UInt64].size == 0);

// Long double widening: any long double operand lifts every float code to
// long double and every complex code to complex long double.
void widen_for_long_double(std::span<const DType> given, std::vector<DType>& codes) {
  bool any_long_double = false;
  for (DType d : given) any_long_double = any_long_double || d.is_long_double();
  if (!any_long_double) return;
  for (DType& d : codes) {
    if (d.kind() == 'f') d = LongDouble;
    else if (d.kind() == 'c') d = ComplexLongDouble;
  }
}

std::optional<std::vector<DType>> table_lookup(Op op, std::span<const DType> inputs, std::uint64_t nin) {
  if (input_count_of(op) != nin || inputs.size() < nin) return std::nullopt;
  const std::size_t index = nin == 1 ? inputs[0].index() : inputs[0].index() * 16 + inputs[1].index();
  const LoopPiece& piece = loop_grid[static_cast<int>(op)][index];
  if (piece.size == 0) return std::nullopt;
  std::vector<DType> codes;
  codes.reserve(piece.size);
  for (std::uint8_t i = 0; i < piece.size; ++i) codes.push_back(piece.codes[i]);
  return codes;
}

// ---------------------------------------------------------------------------
// Signature lists: display data, entries separated by blanks, duplicates kept.

struct SignatureGroup {
  std::string_view names;
  std::string_view list;
};

constexpr SignatureGroup signature_groups[] = {
    {"absolute", "?->? b->b B->B h->h H->H i->i I->I l->l L->L q->q Q->Q e->e f->f d->d g->g F->f D->d G->g"},
    {"add fmax fmin maximum minimum multiply",
     "?\?->? bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q ee->e ff->f dd->d gg->g FF->F DD->D GG->G"},
    {"subtract",
     "bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q ee->e ff->f dd->d gg->g FF->F DD->D GG->G"},
    {"arccos arccosh arcsin arcsinh arctan arctanh cosh exp2 expm1 log10 log1p log2 sinh tan tanh",
     "e->e f->f d->d e->e f->f d->d g->g F->F D->D G->G"},
    {"cos sin", "e->e f->f d->d g->g F->F D->D G->G"},
    {"exp log rint sqrt", "e->e f->f d->d f->f d->d g->g F->F D->D G->G"},
    {"cbrt", "e->e f->f d->d e->e f->f d->d g->g"},
    {"deg2rad degrees fabs rad2deg radians spacing", "e->e f->f d->d g->g"},
    {"ceil floor trunc", "?->? b->b B->B h->h H->H i->i I->I l->l L->L q->q Q->Q e->e f->f d->d f->f d->d g->g"},
    {"conjugate negative positive reciprocal sign square",
     "b->b B->B h->h H->H i->i I->I l->l L->L q->q Q->Q e->e f->f d->d g->g F->F D->D G->G"},
    {"invert", "?->? b->b B->B h->h H->H i->i I->I l->l L->L q->q Q->Q"},
    {"bitwise_count", "b->B B->B h->B H->B i->B I->B l->B L->B q->B Q->B"},
    {"isfinite isinf isnan logical_not",
     "?->? b->? B->? h->? H->? i->? I->? l->? L->? q->? Q->? e->? f->? d->? g->? F->? D->? G->?"},
    {"signbit", "e->? f->? d->? g->?"},
    {"modf", "e->ee f->ff d->dd g->gg"},
    {"frexp", "e->ei f->fi d->di g->gi"},
    {"arctan2 copysign heaviside hypot logaddexp logaddexp2 nextafter", "ee->e ff->f dd->d gg->g"},
    {"bitwise_and bitwise_or bitwise_xor", "?\?->? bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q"},
    {"gcd lcm left_shift right_shift", "bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q"},
    {"divide", "ee->e ff->f dd->d gg->g FF->F DD->D GG->G"},
    {"divmod", "bb->bb BB->BB hh->hh HH->HH ii->ii II->II ll->ll LL->LL qq->qq QQ->QQ ee->ee ff->ff dd->dd gg->gg"},
    {"equal greater greater_equal less less_equal not_equal",
     "?\?->? bb->? BB->? hh->? HH->? ii->? II->? ll->? LL->? qq->? QQ->? qQ->? Qq->? ee->? ff->? dd->? gg->? FF->? DD->? "
     "GG->?"},
    {"logical_and logical_or logical_xor",
     "?\?->? bb->? BB->? hh->? HH->? ii->? II->? ll->? LL->? qq->? QQ->? ee->? ff->? dd->? gg->? FF->? DD->? GG->?"},
    {"float_power", "dd->d gg->g DD->D GG->G"},
    {"floor_divide fmod remainder",
     "bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q ee->e ff->f dd->d gg->g"},
    {"ldexp", "ei->e fi->f el->e fl->f di->d dl->d gi->g gl->g"},
    {"power",
     "bb->b BB->B hh->h HH->H ii->i II->I ll->l LL->L qq->q QQ->Q ee->e ff->f dd->d ee->e ff->f dd->d gg->g FF->F DD->D "
     "GG->G"},
};

constexpr bool names_contain(std::string_view names, std::string_view name) {
  while (!names.empty()) {
    const std::size_t end = names.find(' ');
    if (names.substr(0, end) == name) return true;
    if (end == std::string_view::npos) break;
    names.remove_prefix(end + 1);
  }
  return false;
}

// Every canonical name belongs to exactly one group.
constexpr bool signature_groups_cover_ops() {
  for (const OpInfo& info : op_table) {
    const std::string_view name = info.name;
    int hits = 0;
    for (const SignatureGroup& group : signature_groups) hits += names_contain(group.names, name);
    if (hits != 1) return false;
  }
  return true;
}
static_assert(signature_groups_cover_ops());

}  // namespace

// ---------------------------------------------------------------------------

std::uint64_t input_count(Op op) { return input_count_of(op); }
std::uint64_t output_count(Op op) { return output_count_of(op); }

std::uint64_t input_count(std::string_view name) {
  const std::optional<Op> op = op_from_name(name);
  return op ? input_count_of(*op) : 1;
}

std::uint64_t output_count(std::string_view name) {
  const std::optional<Op> op = op_from_name(name);
  return op ? output_count_of(*op) : 1;
}

std::optional<Scalar> identity(Op op) {
  switch (op_info(op).identity) {
    case Identity::None: return std::nullopt;
    case Identity::Zero: return Scalar(std::int64_t{0});
    case Identity::One: return Scalar(std::int64_t{1});
    case Identity::MinusOne: return Scalar(std::int64_t{-1});
    case Identity::MinusInfinity: return Scalar(-std::numeric_limits<double>::infinity());
    case Identity::False: return Scalar(false);
    case Identity::True: return Scalar(true);
  }
  return std::nullopt;
}

std::optional<Scalar> identity(std::string_view name) {
  const std::optional<Op> op = canonical_op(name);
  return op ? identity(*op) : std::nullopt;
}

namespace type_signatures {

std::vector<std::string> signatures(Op op) {
  for (const SignatureGroup& group : signature_groups) {
    if (!names_contain(group.names, op_name(op))) continue;
    std::vector<std::string> out;
    std::string_view list = group.list;
    while (!list.empty()) {
      const std::size_t end = list.find(' ');
      out.emplace_back(list.substr(0, end));
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
    return out;
  }
  return {};
}

std::vector<std::string> signatures(std::string_view name) {
  const std::optional<Op> op = canonical_op(name);
  return op ? type_signatures::signatures(*op) : std::vector<std::string>{};
}

}  // namespace type_signatures

std::vector<std::string> signatures(std::string_view name) { return type_signatures::signatures(name); }
std::vector<std::string> signatures(Op op) { return type_signatures::signatures(op); }

namespace loop_resolver {

std::optional<std::vector<DType>> resolve(std::string_view name, std::span<const DType> inputs, std::uint64_t nin) {
  const std::optional<Op> op = canonical_op(name);
  if (!op) return std::nullopt;
  return table_lookup(*op, inputs, nin);
}

}  // namespace loop_resolver

Result<Loop> resolve_loop(Op op, std::span<const DType> inputs) {
  const std::uint64_t nin = input_count_of(op);
  if (inputs.size() != nin) return fail(ErrorKind::CannotConvert);
  // Logical operations never cast their operands.
  if (op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor)
    return Loop{{inputs.begin(), inputs.end()}, {DType::Bool}};
  std::optional<std::vector<DType>> codes = table_lookup(op, inputs, nin);
  if (!codes) return fail(ErrorKind::CannotConvert);
  widen_for_long_double(inputs, *codes);
  Loop loop;
  loop.inputs.assign(codes->begin(), codes->begin() + static_cast<std::ptrdiff_t>(nin));
  loop.outputs.assign(codes->begin() + static_cast<std::ptrdiff_t>(nin), codes->end());
  return loop;
}

Result<Loop> resolve_loop(std::string_view name, std::span<const DType> inputs) {
  const std::optional<Op> op = op_from_name(name);
  // An unknown name counts as one input and has no row: either way no loop.
  if (!op) return fail(ErrorKind::CannotConvert);
  return resolve_loop(*op, inputs);
}

}  // namespace quarvel_kernels
