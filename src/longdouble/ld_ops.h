// Extended-precision arithmetic on long double text: one- and two-operand real
// and complex operations selected by ufunc name, frexp, modf and the
// log-add-exp intermediate checks. Same text and buffer rules as ld_text.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

extern "C" {
int quarvel_ld_unary_real(const char* op, const char* x, char* out, std::size_t out_len);
int quarvel_ld_binary_real(const char* op, const char* x, const char* y, char* out, std::size_t out_len, char* out2,
                           std::size_t out2_len);
int quarvel_ld_frexp(const char* x, char* out, std::size_t out_len, int* exp);
int quarvel_ld_modf(const char* x, char* frac, std::size_t frac_len, char* int_part, std::size_t int_len);
int quarvel_ld_logaddexp_intermediate_overflow(const char* a, const char* b);
int quarvel_ld_logaddexp_intermediate_underflow(const char* a, const char* b, int base2);
int quarvel_ld_unary_complex(const char* op, const char* re, const char* im, char* out_re, std::size_t out_re_len,
                             char* out_im, std::size_t out_im_len);
int quarvel_ld_binary_complex(const char* op, const char* re1, const char* im1, const char* re2, const char* im2,
                              char* out_re, std::size_t out_re_len, char* out_im, std::size_t out_im_len);
}

namespace quarvel_longdouble {

using TextPair = std::pair<std::string, std::string>;

std::optional<std::string> unary_real(std::string_view op, std::string_view x);
// (first result, second result); the second is "0" for every operation but divmod.
std::optional<TextPair> binary_real(std::string_view op, std::string_view x, std::string_view y);
std::optional<std::pair<std::string, std::int32_t>> frexp(std::string_view x);
// (fractional part, integral part)
std::optional<TextPair> modf(std::string_view x);
std::optional<bool> logaddexp_intermediate_overflow(std::string_view a, std::string_view b);
std::optional<bool> logaddexp_intermediate_underflow(std::string_view a, std::string_view b, bool base2);
// (real part, imaginary part)
std::optional<TextPair> unary_complex(std::string_view op, std::string_view re, std::string_view im);
std::optional<TextPair> binary_complex(std::string_view op, std::string_view re1, std::string_view im1,
                                       std::string_view re2, std::string_view im2);

}  // namespace quarvel_longdouble
