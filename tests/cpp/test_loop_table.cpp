// Loop resolution for input dtypes a ufunc call's own signatures do not list
// (mixed kinds, widths and long double widening), one row per rule, and the
// refusals. Every listed signature is swept end to end by
// tests/python/test_ufunc_values.py.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "kernels/loop_table.h"

namespace {

using namespace quarvel_kernels;

constexpr std::string_view type_chars = "?bBhHiIlLefdFDgG";

// The loop as type characters, inputs then outputs; "none" when refused.
std::string resolved(std::string_view name, std::string_view inputs) {
  std::vector<DType> dtypes;
  for (char c : inputs) dtypes.push_back(DType::from_index(type_chars.find(c)));
  const Result<Loop> loop = resolve_loop(name, dtypes);
  if (!loop) return loop.error().kind == ErrorKind::CannotConvert ? "none" : "wrong error";
  std::string chars;
  for (const quarvel_kernels::LoopList* part : {&loop->inputs, &loop->outputs})
    for (DType d : *part) chars += type_chars[d.index()];
  return chars;
}

TEST(LoopTable, OneRowPerRule) {
  const struct {
    std::string_view name, inputs, loop;
  } cases[] = {
      // Promotion, signed with uint64 to float64; long double widens every float and complex code.
      {"add", "bL", "ddd"}, {"add", "eH", "fff"}, {"add", "gF", "GGG"}, {"maximum", "??", "???"},
      {"subtract", "??", "none"}, {"subtract", "?b", "bbb"}, {"multiply", "Fg", "GGG"},
      {"divide", "bb", "ddd"}, {"divide", "bg", "ggg"}, {"divide", "eF", "FFF"}, {"power", "??", "bbb"},
      {"power", "hH", "iii"}, {"float_power", "ee", "ddd"}, {"float_power", "bF", "DDD"},
      {"float_power", "?g", "ggg"}, {"float_power", "gF", "GGG"},
      // Float-only names: the wider of each input's float (float16 for bytes, float32 for shorts).
      {"arctan2", "Li", "ddd"}, {"nextafter", "hH", "fff"}, {"logaddexp", "bf", "fff"}, {"copysign", "?e", "eee"},
      {"hypot", "eF", "none"}, {"heaviside", "gb", "ggg"},
      {"floor_divide", "??", "bbb"}, {"divmod", "??", "bbbb"}, {"fmod", "?d", "ddd"}, {"remainder", "FF", "none"},
      // Bitwise names: integral inputs whose promotion is integral.
      {"bitwise_and", "bL", "none"}, {"bitwise_or", "??", "???"}, {"left_shift", "??", "bbb"},
      {"gcd", "??", "none"}, {"lcm", "hB", "hhh"}, {"right_shift", "ef", "none"}, {"bitwise_xor", "Li", "none"},
      // Comparisons of a signed integer and uint64 exactly, the rest at the promotion.
      {"equal", "bL", "lL?"}, {"less", "Lb", "Ll?"}, {"greater", "?d", "dd?"}, {"not_equal", "LL", "LL?"},
      // ldexp: int32 exponents up to 16 bits and int32, int64 for uint32 and int64.
      {"ldexp", "g?", "gig"}, {"ldexp", "eh", "eie"}, {"ldexp", "di", "did"}, {"ldexp", "fI", "flf"},
      {"ldexp", "?l", "ele"}, {"ldexp", "dL", "none"}, {"ldexp", "Fi", "none"}, {"ldexp", "de", "none"},
      // Logical names keep the given dtypes.
      {"logical_and", "fb", "fb?"}, {"logical_or", "ge", "ge?"}, {"logical_xor", "FD", "FD?"},
      // One input: the float of an integer, real-only names, integer-only names.
      {"sqrt", "b", "ee"}, {"sqrt", "H", "ff"}, {"sqrt", "i", "dd"}, {"sqrt", "F", "FF"}, {"exp", "G", "GG"},
      {"cbrt", "F", "none"}, {"spacing", "L", "dd"}, {"floor", "i", "ii"}, {"ceil", "F", "none"},
      {"absolute", "F", "Ff"}, {"absolute", "D", "Dd"}, {"absolute", "G", "Gg"}, {"absolute", "?", "??"},
      {"square", "?", "bb"}, {"reciprocal", "H", "HH"}, {"negative", "?", "none"}, {"sign", "F", "FF"},
      {"invert", "?", "??"}, {"invert", "e", "none"}, {"bitwise_count", "?", "bB"}, {"bitwise_count", "h", "hB"},
      {"bitwise_count", "f", "none"}, {"isnan", "G", "G?"}, {"logical_not", "F", "F?"}, {"signbit", "b", "e?"},
      {"signbit", "F", "none"}, {"modf", "H", "fff"}, {"frexp", "g", "ggi"}, {"frexp", "D", "none"},
      // Aliases resolve as their canonical names.
      {"bitwise_left_shift", "ii", "iii"}, {"true_divide", "ff", "fff"}, {"mod", "hh", "hhh"}, {"conj", "?", "bb"},
      // Wrong counts and unknown names.
      {"logical_and", "?", "none"}, {"add", "b", "none"}, {"sqrt", "bb", "none"}, {"Add", "bb", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(resolved(c.name, c.inputs), c.loop) << c.name << " " << c.inputs;
}

// The raw table row behind resolve_loop: canonical names only, checked
// against the row's own input count.
TEST(LoopTable, RawRowLookup) {
  using enum DType::Code;
  const std::vector<DType> bytes = {Int8, Int8}, one = {Float32};
  EXPECT_EQ(loop_resolver::resolve("add", bytes, 2), (std::vector<DType>{Int8, Int8, Int8}));
  EXPECT_EQ(loop_resolver::resolve("modf", one, 1), (std::vector<DType>{Float32, Float32, Float32}));
  for (const auto& [name, inputs, nin] : {std::tuple{"true_divide", bytes, 2}, {"add", bytes, 1}, {"nope", one, 1}})
    EXPECT_EQ(loop_resolver::resolve(name, inputs, nin), std::nullopt) << name;
}

}  // namespace
