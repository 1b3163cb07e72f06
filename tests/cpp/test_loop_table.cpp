// Ufunc arities, identities, signature lists and loop resolution.
//
// The loop table is checked for every name and every input combination
// against the rules restated here over an explicit type-character grid
// (not the promotion function the table is built from).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernels/loop_table.h"

namespace {

using namespace quarvel_storage;
using namespace quarvel_kernels;

constexpr std::string_view type_chars = "?bBhHiIlLefdFDgG";

DType from_char(char c) { return DType::from_index(type_chars.find(c)); }
char to_char(DType d) { return type_chars[d.index()]; }

// The common dtype of two inputs: rows the first input, columns the second.
const std::vector<std::string>& grid_rows() {
  static const std::vector<std::string> rows = {
      "?bBhHiIlLefdFDgG", "bbhhiilldefdFDgG", "BhBhHiIlLefdFDgG", "hhhhiilldffdFDgG",
      "HiHiHiIlLffdFDgG", "iiiiiillddddDDgG", "IlIlIlIlLdddDDgG", "llllllllddddDDgG",
      "LdLdLdLdLdddDDgG", "eeeffddddefdFDgG", "fffffddddffdFDgG", "ddddddddddddDDgG",
      "FFFFFDDDDFFDFDGG", "DDDDDDDDDDDDDDGG", "ggggggggggggGGgG", "GGGGGGGGGGGGGGGG"};
  return rows;
}

char grid(char a, char b) { return grid_rows()[type_chars.find(a)][type_chars.find(b)]; }

bool integral(char c) { return std::string_view("?bBhHiIlL").find(c) != std::string_view::npos; }
bool complex_char(char c) { return c == 'F' || c == 'D' || c == 'G'; }
bool signed_int(char c) { return c == 'b' || c == 'h' || c == 'i' || c == 'l'; }
// float of a dtype, by type character: '\0' for complex
char float_of(char c) {
  switch (c) {
    case '?': case 'b': case 'B': return 'e';
    case 'h': case 'H': return 'f';
    case 'i': case 'I': case 'l': case 'L': return 'd';
    case 'e': case 'f': case 'd': case 'g': return c;
    default: return '\0';
  }
}
char wider(char x, char y) {
  const std::string_view order = "efdg";
  return order.find(x) >= order.find(y) ? x : y;
}

using Expect = std::optional<std::string>;  // loop codes as type characters, inputs then outputs
Expect three(char c) { return std::string(3, c); }

// One rule per family of two-input rows.
Expect two_input_rule(std::string_view name, char a, char b) {
  const char g = grid(a, b);
  const bool bools = a == '?' && b == '?';
  const bool any_complex = complex_char(a) || complex_char(b);
  auto among = [&](std::initializer_list<std::string_view> names) {
    for (auto n : names)
      if (n == name) return true;
    return false;
  };
  if (among({"add", "multiply", "maximum", "minimum", "fmax", "fmin"})) return three(g);
  if (name == "subtract") return bools ? Expect() : three(g);
  if (name == "divide") return integral(a) && integral(b) ? three('d') : three(g);
  if (name == "power") return bools ? three('b') : three(g);
  if (name == "float_power") {
    const bool ld = a == 'g' || b == 'g', cld = a == 'G' || b == 'G';
    if (!any_complex && !ld) return three('d');
    if (any_complex && !ld && !cld) return three('D');
    if (ld && !any_complex) return three('g');
    return three('G');
  }
  if (among({"arctan2", "copysign", "heaviside", "hypot", "logaddexp", "logaddexp2", "nextafter"}))
    return any_complex ? Expect() : three(wider(float_of(a), float_of(b)));
  if (among({"floor_divide", "fmod", "remainder", "divmod"})) {
    if (any_complex) return Expect();
    const char d = bools ? 'b' : g;
    return std::string(name == "divmod" ? 4 : 3, d);
  }
  if (among({"bitwise_and", "bitwise_or", "bitwise_xor", "left_shift", "right_shift", "gcd", "lcm"})) {
    if (!integral(a) || !integral(b) || !integral(g)) return Expect();
    if (bools && (name == "gcd" || name == "lcm")) return Expect();
    if (bools && (name == "left_shift" || name == "right_shift")) return three('b');
    return three(g);
  }
  if (among({"equal", "not_equal", "less", "less_equal", "greater", "greater_equal"})) {
    if (signed_int(a) && b == 'L') return std::string("lL?");
    if (a == 'L' && signed_int(b)) return std::string("Ll?");
    return std::string{g, g, '?'};
  }
  if (name == "ldexp") {
    if (complex_char(a)) return Expect();
    if (std::string_view("?bBhHi").find(b) != std::string_view::npos) return std::string{float_of(a), 'i', float_of(a)};
    if (b == 'I' || b == 'l') return std::string{float_of(a), 'l', float_of(a)};
    return Expect();
  }
  if (among({"logical_and", "logical_or", "logical_xor"})) return std::string{a, b, '?'};
  ADD_FAILURE() << "no rule for " << name;
  return Expect();
}

Expect one_input_rule(std::string_view name, char x) {
  const bool cx = complex_char(x);
  const char f = cx ? x : float_of(x);
  auto among = [&](std::string_view names) {
    for (std::size_t pos = 0; pos < names.size();) {
      std::size_t end = names.find(' ', pos);
      if (end == std::string_view::npos) end = names.size();
      if (names.substr(pos, end - pos) == name) return true;
      pos = end + 1;
    }
    return false;
  };
  if (among("arccos arccosh arcsin arcsinh arctan arctanh cos cosh exp exp2 expm1 log log10 log1p log2 rint sin "
            "sinh sqrt tan tanh"))
    return std::string{f, f};
  if (among("cbrt deg2rad degrees fabs rad2deg radians spacing")) return cx ? Expect() : std::string{f, f};
  if (among("ceil floor trunc")) return cx ? Expect() : std::string{x, x};
  if (name == "absolute") {
    if (x == 'F') return std::string("Ff");
    if (x == 'D') return std::string("Dd");
    if (x == 'G') return std::string("Gg");
    return std::string{x, x};
  }
  if (among("conjugate reciprocal square")) return x == '?' ? std::string("bb") : std::string{x, x};
  if (among("negative positive sign")) return x == '?' ? Expect() : std::string{x, x};
  if (name == "invert") return integral(x) ? std::string{x, x} : Expect();
  if (name == "bitwise_count") return x == '?' ? std::string("bB") : integral(x) ? std::string{x, 'B'} : Expect();
  if (among("isfinite isinf isnan logical_not")) return std::string{x, '?'};
  if (name == "signbit") return cx ? Expect() : std::string{f, '?'};
  if (name == "modf") return cx ? Expect() : std::string{f, f, f};
  if (name == "frexp") return cx ? Expect() : std::string{f, f, 'i'};
  ADD_FAILURE() << "no rule for " << name;
  return Expect();
}

std::string loop_chars(const Loop& loop) {
  std::string s;
  for (DType d : loop.inputs) s += to_char(d);
  for (DType d : loop.outputs) s += to_char(d);
  return s;
}

Expect resolved(std::string_view name, std::vector<DType> inputs) {
  Result<Loop> loop = resolve_loop(name, inputs);
  if (!loop) {
    EXPECT_EQ(loop.error().kind, ErrorKind::CannotConvert);
    return Expect();
  }
  return loop_chars(*loop);
}

TEST(LoopTableGrid, GridRowsAreWellFormed) {
  for (const std::string& row : grid_rows()) EXPECT_EQ(row.size(), 16u) << row;
}

TEST(LoopTableTwoInput, EveryNameAndPairFollowsItsRule) {
  for (const OpInfo& info : op_table) {
    const std::string_view name = info.name;
    if (input_count(name) != 2) continue;
    for (char a : type_chars)
      for (char b : type_chars)
        EXPECT_EQ(resolved(name, {from_char(a), from_char(b)}), two_input_rule(name, a, b))
            << name << " " << a << b;
  }
}

TEST(LoopTableOneInput, EveryNameAndDtypeFollowsItsRule) {
  for (const OpInfo& info : op_table) {
    const std::string_view name = info.name;
    if (input_count(name) != 1) continue;
    for (char x : type_chars) EXPECT_EQ(resolved(name, {from_char(x)}), one_input_rule(name, x)) << name << " " << x;
  }
}

TEST(LoopTableExceptions, ListedCases) {
  const struct {
    std::string_view name;
    std::string inputs;
    Expect loop;
  } cases[] = {
      {"add", "bL", "ddd"},        {"bitwise_and", "bL", {}},    {"equal", "bL", "lL?"},
      {"equal", "Lb", "Ll?"},      {"subtract", "??", {}},       {"negative", "?", {}},
      {"power", "??", "bbb"},      {"square", "?", "bb"},        {"divide", "bb", "ddd"},
      {"sqrt", "b", "ee"},         {"sqrt", "H", "ff"},          {"floor", "i", "ii"},
      {"absolute", "F", "Ff"},     {"add", "gF", "GGG"},         {"divide", "bg", "ggg"},
      {"ldexp", "g?", "gig"},      {"ldexp", "dL", {}},          {"logical_and", "fb", "fb?"},
      {"abs", "b", "bb"},          {"bitwise_left_shift", "ii", "iii"}, {"nextafter", "hH", "fff"},
      {"arctan2", "Li", "ddd"},    {"hypot", "eF", {}},          {"gcd", "??", {}},
      {"left_shift", "??", "bbb"}, {"divmod", "??", "bbbb"},     {"float_power", "gF", "GGG"},
      {"float_power", "bF", "DDD"}, {"ldexp", "fI", "flf"},      {"bitwise_count", "?", "bB"},
      {"true_divide", "ff", "fff"}, {"mod", "hh", "hhh"},        {"conj", "?", "bb"},
  };
  for (const auto& c : cases) {
    std::vector<DType> inputs;
    for (char ch : c.inputs) inputs.push_back(from_char(ch));
    EXPECT_EQ(resolved(c.name, inputs), c.loop) << c.name << " " << c.inputs;
  }
}

TEST(LoopTableLongDouble, AnyLongDoubleInputWidensFloatAndComplexCodes) {
  // The one-input and two-input rules above already state loops after widening;
  // here: integer codes stay, and widening follows the given dtypes.
  EXPECT_EQ(resolved("ldexp", {DType::LongDouble, DType::UInt32}), Expect("glg"));
  EXPECT_EQ(resolved("equal", {DType::LongDouble, DType::Int8}), Expect("gg?"));
  EXPECT_EQ(resolved("absolute", {DType::ComplexLongDouble}), Expect("Gg"));
  EXPECT_EQ(resolved("frexp", {DType::LongDouble}), Expect("ggi"));
  EXPECT_EQ(resolved("multiply", {DType::Complex64, DType::LongDouble}), Expect("GGG"));
  EXPECT_EQ(resolved("bitwise_or", {DType::LongDouble, DType::Int8}), Expect());
  // Logical operations keep the given dtypes, long double included.
  EXPECT_EQ(resolved("logical_or", {DType::LongDouble, DType::Float16}), Expect("ge?"));
}

TEST(LoopTableFailures, CountsAndUnknownNames) {
  EXPECT_EQ(resolved("logical_and", {DType::Bool}), Expect());
  EXPECT_EQ(resolved("add", {DType::Int8}), Expect());
  EXPECT_EQ(resolved("sqrt", {DType::Int8, DType::Int8}), Expect());
  EXPECT_EQ(resolved("no_such_ufunc", {DType::Int8}), Expect());
  EXPECT_EQ(resolved("no_such_ufunc", {DType::Int8, DType::Int8}), Expect());
  EXPECT_EQ(resolved("Add", {DType::Int8, DType::Int8}), Expect());
  EXPECT_EQ(resolved("add ", {DType::Int8, DType::Int8}), Expect());
  EXPECT_EQ(resolved("", {}), Expect());
}

TEST(LoopResolver, RawLookupTakesCanonicalNamesOnly) {
  const std::vector<DType> ints = {DType::Int32, DType::Int32};
  EXPECT_EQ(loop_resolver::resolve("add", ints, 2), std::optional(std::vector<DType>(3, DType::Int32)));
  EXPECT_FALSE(loop_resolver::resolve("true_divide", ints, 2));
  EXPECT_FALSE(loop_resolver::resolve("add", ints, 1));
  EXPECT_FALSE(loop_resolver::resolve("subtract", std::vector<DType>{DType::Bool, DType::Bool}, 2));
}

TEST(LoopTableOpForm, AgreesWithNameForm) {
  for (int i = 0; i < op_count; ++i) {
    const Op op = static_cast<Op>(i);
    for (std::size_t a = 0; a < 16; ++a) {
      std::vector<DType> inputs = {DType::from_index(a)};
      if (input_count(op) == 2) inputs.push_back(DType::from_index((a * 7) % 16));
      EXPECT_EQ(resolve_loop(op, inputs), resolve_loop(op_name(op), inputs)) << op_name(op);
    }
  }
}

TEST(UfuncCounts, InputAndOutputCounts) {
  int two_input_spellings = 0;
  for (const OpInfo& info : op_table) two_input_spellings += input_count(info.name) == 2;
  for (const AliasEntry& alias : op_aliases) two_input_spellings += input_count(alias.alias) == 2;
  EXPECT_EQ(two_input_spellings, 44);
  EXPECT_EQ(input_count("atan2"), 2u);
  EXPECT_EQ(input_count("bitwise_right_shift"), 2u);
  EXPECT_EQ(input_count("no_such_ufunc"), 1u);
  EXPECT_EQ(output_count("divmod"), 2u);
  EXPECT_EQ(output_count("modf"), 2u);
  EXPECT_EQ(output_count("frexp"), 2u);
  EXPECT_EQ(output_count("add"), 1u);
  EXPECT_EQ(output_count("no_such_ufunc"), 1u);
}

TEST(UfuncIdentity, ValuesAndAbsence) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::map<std::string_view, Scalar> expected = {
      {"add", Scalar(std::int64_t{0})},        {"gcd", Scalar(std::int64_t{0})},
      {"hypot", Scalar(std::int64_t{0})},      {"bitwise_or", Scalar(std::int64_t{0})},
      {"bitwise_xor", Scalar(std::int64_t{0})}, {"multiply", Scalar(std::int64_t{1})},
      {"bitwise_and", Scalar(std::int64_t{-1})}, {"logaddexp", Scalar(-inf)},
      {"logaddexp2", Scalar(-inf)},            {"logical_or", Scalar(false)},
      {"logical_xor", Scalar(false)},          {"logical_and", Scalar(true)},
  };
  for (const OpInfo& info : op_table) {
    const std::string_view name = info.name;
    auto it = expected.find(name);
    if (it == expected.end()) {
      EXPECT_FALSE(identity(name)) << name;
    } else {
      EXPECT_EQ(identity(name), std::optional(it->second)) << name;
    }
  }
  for (const AliasEntry& alias : op_aliases) EXPECT_FALSE(identity(alias.alias)) << alias.alias;
  EXPECT_FALSE(identity("no_such_ufunc"));
}

TEST(UfuncIsInteger, BoolCountsFloat16DoesNot) {
  for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(is_bool_or_integer(DType::from_index(i)), i <= 8) << i;
}

TEST(TypeSignatures, ListsAsDisplayed) {
  using V = std::vector<std::string>;
  EXPECT_EQ(signatures("arctan2"), (V{"ee->e", "ff->f", "dd->d", "gg->g"}));
  EXPECT_EQ(signatures("ldexp"), (V{"ei->e", "fi->f", "el->e", "fl->f", "di->d", "dl->d", "gi->g", "gl->g"}));
  EXPECT_EQ(signatures("arccos"), (V{"e->e", "f->f", "d->d", "e->e", "f->f", "d->d", "g->g", "F->F", "D->D", "G->G"}));
  EXPECT_EQ(signatures("absolute").back(), "G->g");
  EXPECT_EQ(signatures("equal").size(), 20u);
  EXPECT_EQ(signatures("equal")[11], "qQ->?");
  EXPECT_EQ(signatures("power").size(), 20u);
  EXPECT_EQ(signatures("divmod")[0], "bb->bb");
  EXPECT_EQ(signatures("add")[0], "?\?->?");
  EXPECT_EQ(signatures("frexp"), (V{"e->ei", "f->fi", "d->di", "g->gi"}));
  EXPECT_TRUE(signatures("abs").empty());
  EXPECT_TRUE(signatures("atan2").empty());
  EXPECT_TRUE(signatures("no_such_ufunc").empty());
  EXPECT_EQ(type_signatures::signatures("sin"), signatures("cos"));
  // Every canonical name has a list; 27 distinct lists in all.
  std::set<V> distinct;
  for (const OpInfo& info : op_table) {
    const std::string_view name = info.name;
    V list = signatures(name);
    EXPECT_FALSE(list.empty()) << name;
    for (const std::string& entry : list) {
      const std::size_t arrow = entry.find("->");
      ASSERT_NE(arrow, std::string::npos) << entry;
      EXPECT_EQ(arrow, input_count(name)) << name << " " << entry;
      EXPECT_EQ(entry.size() - arrow - 2, output_count(name)) << name << " " << entry;
    }
    distinct.insert(list);
  }
  EXPECT_EQ(distinct.size(), 27u);
}

}  // namespace
