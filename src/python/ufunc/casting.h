// Casting rules and loop choice.
//
// A ufunc computes every element in one loop: input and output dtypes from the
// kernels' loop tables. The operands' dtypes (after the weak-scalar rule) pick
// the default loop; `signature` or `dtype` may replace it; every operand must
// reach its loop input under the call's casting rule.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kernels/loop_table.h"
#include "python/ufunc/operand.h"

namespace quarvel_python::ufunc {

using quarvel_kernels::Loop;

enum class CastingRule : std::uint8_t { No, Equiv, Safe, SameKind, Unsafe };

// "no", "equiv", "safe", "same_kind", "unsafe".
std::string_view casting_rule_text(CastingRule rule);
// A casting argument; nullopt with the error set.
std::optional<CastingRule> parse_casting_rule(PyObject* value);

bool can_cast(DType from, DType to, CastingRule rule);
// The cast test of one operand towards its loop input: logical_and/or/xor take
// anything as bool under same_kind; a non-array operand is judged by
// `fallback` (its entry in the loop dtype list); "no" refuses a big-endian array.
bool can_cast_ufunc_operand(quarvel_kernels::Op op, const Operand& operand, DType fallback, DType to,
                            CastingRule rule);
// The same test on dtypes: `logical` for logical_and/or/xor, `from` the
// array's dtype or the scalar's entry, `big_endian_array` for an array tagged ">".
bool can_cast_operand_dtype(bool logical, DType from, DType to, CastingRule rule, bool big_endian_array);
bool is_truthiness_ufunc(quarvel_kernels::Op op);
bool is_logical_binary(quarvel_kernels::Op op);

// One dtype per input: the operands' own, or for an array beside a weak scalar
// (ldexp excepted) their weak promotion for both.
using DTypeList = quarvel_storage::SmallVector<DType, 4>;
std::optional<DTypeList> loop_dtype_list(quarvel_kernels::Op op, std::span<const Operand> operands);

// Loop choice of a call or outer: the default loop from the loop dtype list
// (resolved and cast-checked even when overridden), then `signature` or `dtype`
// (either may be null). `name` is the name the call was made by: the messages
// show it, and only a canonical name has listed loops to choose among.
// Nullopt with the error set.
std::optional<Loop> choose_loop(quarvel_kernels::Op op, std::string_view name, std::size_t nin, std::size_t nout,
                                std::span<const Operand> operands, std::span<const DType> dtype_list,
                                CastingRule rule, PyObject* dtype, PyObject* signature);

// The type character's dtype ("?bBhHiIlLqQefdgFDG"); nullopt for any other.
std::optional<DType> dtype_from_loop_code(char code);
// "dd->d" into a loop of exactly nin inputs and nout outputs.
std::optional<Loop> parse_signature_text(std::string_view text, std::size_t nin, std::size_t nout);

// accumulate and reduceat: the loop's inputs must equal its first output
// (logical_and/or/xor excepted).
bool validate_repeated_ufunc_loop(std::string_view name, const Loop& loop, const char* method);
// reduce: the loop's first input must equal its first output
// (logical_and/or/xor excepted).
bool validate_reduce_loop(std::string_view name, const Loop& loop);

// "ufunc '{name}' {input|output} cannot be cast from {from} to {to} with casting rule '{rule}'".
[[gnu::cold]] std::nullopt_t raise_cast_refused(std::string_view name, const char* side, DType from, DType to,
                                               CastingRule rule);

}  // namespace quarvel_python::ufunc
