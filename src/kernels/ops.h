// The catalogue of ufunc operations: the 85 canonical names with their input
// and output counts and reduction identities, the 16 alias spellings, and the
// 101 names in alphabetical order. Every layer that knows an operation by name
// reads this one table; a call resolves its name to an Op once, so its element
// loop dispatches on a small integer.
//
// Header-only data with no dependencies: the extended-precision routines,
// which sit below the kernels, match their operation names through it too.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace quarvel_kernels {

// In ascending byte order of name, the order of the table below.
enum class Op : std::uint8_t {
  absolute,
  add,
  arccos,
  arccosh,
  arcsin,
  arcsinh,
  arctan,
  arctan2,
  arctanh,
  bitwise_and,
  bitwise_count,
  bitwise_or,
  bitwise_xor,
  cbrt,
  ceil,
  conjugate,
  copysign,
  cos,
  cosh,
  deg2rad,
  degrees,
  divide,
  divmod,
  equal,
  exp,
  exp2,
  expm1,
  fabs,
  float_power,
  floor,
  floor_divide,
  fmax,
  fmin,
  fmod,
  frexp,
  gcd,
  greater,
  greater_equal,
  heaviside,
  hypot,
  invert,
  isfinite,
  isinf,
  isnan,
  lcm,
  ldexp,
  left_shift,
  less,
  less_equal,
  log,
  log10,
  log1p,
  log2,
  logaddexp,
  logaddexp2,
  logical_and,
  logical_not,
  logical_or,
  logical_xor,
  maximum,
  minimum,
  modf,
  multiply,
  negative,
  nextafter,
  not_equal,
  positive,
  power,
  rad2deg,
  radians,
  reciprocal,
  remainder,
  right_shift,
  rint,
  sign,
  signbit,
  sin,
  sinh,
  spacing,
  sqrt,
  square,
  subtract,
  tan,
  tanh,
  trunc,
};
inline constexpr int op_count = 85;

// The identity a reduction starts from; a value, not yet a dtype.
enum class Identity : std::uint8_t { None, Zero, One, MinusOne, MinusInfinity, False, True };

struct OpInfo {
  std::string_view name;
  std::uint8_t nin;
  std::uint8_t nout;
  Identity identity;
};

// Indexed by Op.
inline constexpr OpInfo op_table[op_count] = {
    {"absolute", 1, 1, Identity::None},
    {"add", 2, 1, Identity::Zero},
    {"arccos", 1, 1, Identity::None},
    {"arccosh", 1, 1, Identity::None},
    {"arcsin", 1, 1, Identity::None},
    {"arcsinh", 1, 1, Identity::None},
    {"arctan", 1, 1, Identity::None},
    {"arctan2", 2, 1, Identity::None},
    {"arctanh", 1, 1, Identity::None},
    {"bitwise_and", 2, 1, Identity::MinusOne},
    {"bitwise_count", 1, 1, Identity::None},
    {"bitwise_or", 2, 1, Identity::Zero},
    {"bitwise_xor", 2, 1, Identity::Zero},
    {"cbrt", 1, 1, Identity::None},
    {"ceil", 1, 1, Identity::None},
    {"conjugate", 1, 1, Identity::None},
    {"copysign", 2, 1, Identity::None},
    {"cos", 1, 1, Identity::None},
    {"cosh", 1, 1, Identity::None},
    {"deg2rad", 1, 1, Identity::None},
    {"degrees", 1, 1, Identity::None},
    {"divide", 2, 1, Identity::None},
    {"divmod", 2, 2, Identity::None},
    {"equal", 2, 1, Identity::None},
    {"exp", 1, 1, Identity::None},
    {"exp2", 1, 1, Identity::None},
    {"expm1", 1, 1, Identity::None},
    {"fabs", 1, 1, Identity::None},
    {"float_power", 2, 1, Identity::None},
    {"floor", 1, 1, Identity::None},
    {"floor_divide", 2, 1, Identity::None},
    {"fmax", 2, 1, Identity::None},
    {"fmin", 2, 1, Identity::None},
    {"fmod", 2, 1, Identity::None},
    {"frexp", 1, 2, Identity::None},
    {"gcd", 2, 1, Identity::Zero},
    {"greater", 2, 1, Identity::None},
    {"greater_equal", 2, 1, Identity::None},
    {"heaviside", 2, 1, Identity::None},
    {"hypot", 2, 1, Identity::Zero},
    {"invert", 1, 1, Identity::None},
    {"isfinite", 1, 1, Identity::None},
    {"isinf", 1, 1, Identity::None},
    {"isnan", 1, 1, Identity::None},
    {"lcm", 2, 1, Identity::None},
    {"ldexp", 2, 1, Identity::None},
    {"left_shift", 2, 1, Identity::None},
    {"less", 2, 1, Identity::None},
    {"less_equal", 2, 1, Identity::None},
    {"log", 1, 1, Identity::None},
    {"log10", 1, 1, Identity::None},
    {"log1p", 1, 1, Identity::None},
    {"log2", 1, 1, Identity::None},
    {"logaddexp", 2, 1, Identity::MinusInfinity},
    {"logaddexp2", 2, 1, Identity::MinusInfinity},
    {"logical_and", 2, 1, Identity::True},
    {"logical_not", 1, 1, Identity::None},
    {"logical_or", 2, 1, Identity::False},
    {"logical_xor", 2, 1, Identity::False},
    {"maximum", 2, 1, Identity::None},
    {"minimum", 2, 1, Identity::None},
    {"modf", 1, 2, Identity::None},
    {"multiply", 2, 1, Identity::One},
    {"negative", 1, 1, Identity::None},
    {"nextafter", 2, 1, Identity::None},
    {"not_equal", 2, 1, Identity::None},
    {"positive", 1, 1, Identity::None},
    {"power", 2, 1, Identity::None},
    {"rad2deg", 1, 1, Identity::None},
    {"radians", 1, 1, Identity::None},
    {"reciprocal", 1, 1, Identity::None},
    {"remainder", 2, 1, Identity::None},
    {"right_shift", 2, 1, Identity::None},
    {"rint", 1, 1, Identity::None},
    {"sign", 1, 1, Identity::None},
    {"signbit", 1, 1, Identity::None},
    {"sin", 1, 1, Identity::None},
    {"sinh", 1, 1, Identity::None},
    {"spacing", 1, 1, Identity::None},
    {"sqrt", 1, 1, Identity::None},
    {"square", 1, 1, Identity::None},
    {"subtract", 2, 1, Identity::None},
    {"tan", 1, 1, Identity::None},
    {"tanh", 1, 1, Identity::None},
    {"trunc", 1, 1, Identity::None},
};

constexpr const OpInfo& op_info(Op op) { return op_table[static_cast<int>(op)]; }
constexpr std::string_view op_name(Op op) { return op_info(op).name; }

struct AliasEntry {
  std::string_view alias;
  Op target;
};
// The 16 alias spellings and their canonical operations.
inline constexpr AliasEntry op_aliases[16] = {
    {"abs", Op::absolute},
    {"acos", Op::arccos},
    {"acosh", Op::arccosh},
    {"asin", Op::arcsin},
    {"asinh", Op::arcsinh},
    {"atan", Op::arctan},
    {"atan2", Op::arctan2},
    {"atanh", Op::arctanh},
    {"bitwise_invert", Op::invert},
    {"bitwise_left_shift", Op::left_shift},
    {"bitwise_not", Op::invert},
    {"bitwise_right_shift", Op::right_shift},
    {"conj", Op::conjugate},
    {"mod", Op::remainder},
    {"pow", Op::power},
    {"true_divide", Op::divide},
};

// The operation of a canonical name only; absent for aliases and unknown names.
constexpr std::optional<Op> canonical_op(std::string_view name) {
  // The table is sorted (checked below): every call of every engine looks its name up.
  const OpInfo* found = std::lower_bound(std::begin(op_table), std::end(op_table), name,
                                         [](const OpInfo& info, std::string_view key) { return info.name < key; });
  if (found == std::end(op_table) || found->name != name) return std::nullopt;
  return static_cast<Op>(found - std::begin(op_table));
}

// The canonical operation of a canonical name or any alias; absent otherwise.
constexpr std::optional<Op> op_from_name(std::string_view name) {
  if (const std::optional<Op> op = canonical_op(name)) return op;
  for (const AliasEntry& entry : op_aliases)
    if (entry.alias == name) return entry.target;
  return std::nullopt;
}

// An alias's canonical name; every other text unchanged (no case folding).
constexpr std::string_view canonical_name(std::string_view name) {
  for (const AliasEntry& entry : op_aliases)
    if (entry.alias == name) return op_name(entry.target);
  return name;
}

// The 85 canonical names and the 16 aliases in ascending byte order: the names
// a module exposes, each bound to the operation of its canonical name.
inline constexpr int module_name_count = op_count + 16;
inline constexpr std::array<std::string_view, module_name_count> module_names = [] {
  std::array<std::string_view, module_name_count> names{};
  for (int i = 0; i < op_count; ++i) names[i] = op_table[i].name;
  for (int i = 0; i < 16; ++i) names[op_count + i] = op_aliases[i].alias;
  std::sort(names.begin(), names.end());
  return names;
}();

constexpr bool op_table_is_sorted() {
  for (int i = 1; i < op_count; ++i)
    if (!(op_table[i - 1].name < op_table[i].name)) return false;
  return true;
}
static_assert(op_table_is_sorted());
static_assert(module_names[0] == "abs" && module_names[module_name_count - 1] == "trunc");

}  // namespace quarvel_kernels
