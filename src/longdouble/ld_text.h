// Long double values as decimal text: the C routines quarvel_ld_* and their
// C++ wrappers.
//
// C routines (hidden, not exported from the module): every text argument must be
// non-null and consumed whole by strtold (leading blanks allowed, nothing after);
// results are printed "%.*Lg" at precision 21 into caller buffers (pointer +
// capacity); an output succeeds only when its text fits with its NUL.
// They return 1/0 (success/failure), predicates 1/0/-1, comparisons -1/0/1/2.
//
// Wrappers take length-counted text, refuse a text holding a NUL byte without
// calling the routine, use 128-byte result buffers and return an absent value
// on every failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

extern "C" {
int quarvel_ld_encode(const char* text, unsigned char* out, std::size_t out_len);
int quarvel_ld_decode(const unsigned char* in, std::size_t in_len, char* out, std::size_t out_len);
int quarvel_ld_classify(const char* text, int code);
int quarvel_ld_compare(const char* a, const char* b);
int quarvel_ld_compare_complex(const char* a_re, const char* a_im, const char* b_re, const char* b_im);
}

namespace quarvel_longdouble {

using Bytes16 = std::array<std::uint8_t, 16>;

// Classification codes of classify().
enum ClassifyCode : std::int32_t { IsNan = 0, IsInfinite = 1, SignBit = 2, IsZero = 3, IsFinite = 4, IsSubnormal = 5 };

std::optional<Bytes16> encode(std::string_view text);
std::optional<std::string> decode(const Bytes16& bytes);
std::optional<bool> classify(std::string_view text, std::int32_t code);
std::optional<std::int8_t> compare(std::string_view a, std::string_view b);
std::optional<std::int8_t> compare_complex(std::string_view a_re, std::string_view a_im, std::string_view b_re,
                                           std::string_view b_im);

}  // namespace quarvel_longdouble
