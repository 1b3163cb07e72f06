#include "kernels/loop_table.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "kernels/loop_rules.h"

namespace quarvel_kernels {
namespace {

using enum DType::Code;
using quarvel_storage::DType;
using loop_rules::LoopPiece;
using loop_rules::loop_piece;

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
        grid[op_index][a] = loop_piece(op, DType::from_index(a), Bool);
        continue;
      }
      for (std::size_t b = 0; b < DType::count; ++b)
        grid[op_index][a * 16 + b] = loop_piece(op, DType::from_index(a), DType::from_index(b));
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
void widen_for_long_double(std::span<const DType> given, std::span<DType> codes) {
  bool any_long_double = false;
  for (DType d : given) any_long_double = any_long_double || d.is_long_double();
  if (!any_long_double) return;
  for (DType& d : codes) {
    if (d.kind() == 'f') d = LongDouble;
    else if (d.kind() == 'c') d = ComplexLongDouble;
  }
}

const LoopPiece* table_lookup(Op op, std::span<const DType> inputs, std::uint64_t nin) {
  if (input_count_of(op) != nin || inputs.size() < nin) return nullptr;
  const std::size_t index = nin == 1 ? inputs[0].index() : inputs[0].index() * 16 + inputs[1].index();
  const LoopPiece& piece = loop_grid[static_cast<int>(op)][index];
  return piece.size == 0 ? nullptr : &piece;
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

// The blank-separated signature list of a canonical operation.
std::string_view group_list(Op op) {
  for (const SignatureGroup& group : signature_groups)
    if (names_contain(group.names, op_name(op))) return group.list;
  return {};
}

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
  std::vector<std::string> out;
  std::string_view list = group_list(op);
  while (!list.empty()) {
    const std::size_t end = list.find(' ');
    out.emplace_back(list.substr(0, end));
    if (end == std::string_view::npos) break;
    list.remove_prefix(end + 1);
  }
  return out;
}

std::vector<std::string> signatures(std::string_view name) {
  const std::optional<Op> op = canonical_op(name);
  return op ? type_signatures::signatures(*op) : std::vector<std::string>{};
}

}  // namespace type_signatures

std::vector<std::string> signatures(std::string_view name) { return type_signatures::signatures(name); }

std::string_view signature_list(std::string_view name) {
  const std::optional<Op> op = canonical_op(name);
  return op ? group_list(*op) : std::string_view();
}
std::vector<std::string> signatures(Op op) { return type_signatures::signatures(op); }

std::string_view signature_list(Op op) { return group_list(op); }

namespace loop_resolver {

std::optional<std::vector<DType>> resolve(std::string_view name, std::span<const DType> inputs, std::uint64_t nin) {
  const std::optional<Op> op = canonical_op(name);
  if (!op) return std::nullopt;
  const LoopPiece* piece = table_lookup(*op, inputs, nin);
  if (!piece) return std::nullopt;
  return std::vector<DType>(piece->codes.begin(), piece->codes.begin() + piece->size);
}

}  // namespace loop_resolver

Result<LoopDTypes> resolve_loop_dtypes(Op op, std::span<const DType> inputs) {
  const std::uint64_t nin = input_count_of(op);
  if (inputs.size() != nin) return fail(ErrorKind::CannotConvert);
  LoopDTypes loop;
  loop.nin = static_cast<std::uint8_t>(nin);
  loop.nout = static_cast<std::uint8_t>(output_count_of(op));
  // Logical operations never cast their operands.
  if (op == Op::logical_and || op == Op::logical_or || op == Op::logical_xor) {
    std::copy(inputs.begin(), inputs.end(), loop.dtypes.begin());
    loop.dtypes[nin] = Bool;
    return loop;
  }
  const LoopPiece* piece = table_lookup(op, inputs, nin);
  if (!piece) return fail(ErrorKind::CannotConvert);
  std::copy(piece->codes.begin(), piece->codes.begin() + piece->size, loop.dtypes.begin());
  widen_for_long_double(inputs, std::span(loop.dtypes.data(), piece->size));
  return loop;
}

Result<Loop> resolve_loop(Op op, std::span<const DType> inputs) {
  auto dtypes = resolve_loop_dtypes(op, inputs);
  if (!dtypes) return fail(dtypes.error());
  return Loop{{dtypes->inputs().begin(), dtypes->inputs().end()}, {dtypes->outputs().begin(), dtypes->outputs().end()}};
}

Result<Loop> resolve_loop(std::string_view name, std::span<const DType> inputs) {
  const std::optional<Op> op = op_from_name(name);
  // An unknown name counts as one input and has no row: either way no loop.
  if (!op) return fail(ErrorKind::CannotConvert);
  return resolve_loop(*op, inputs);
}

}  // namespace quarvel_kernels
