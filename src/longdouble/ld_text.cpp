#include "longdouble/ld_text.h"

#include <locale.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "longdouble/ld_common.h"
#include "longdouble/ld_dispatch.h"
#include "longdouble/ld_typed.h"

namespace quarvel_longdouble::detail {

namespace {

// The process locale may use a decimal comma; text here always uses a full stop.
// Null when the C locale object cannot be made (no memory): the caller then
// refuses the text instead of handing a null locale to the C library. A failure
// is not remembered, so a later call tries again.
locale_t c_locale() {
  static std::atomic<locale_t> cached{static_cast<locale_t>(0)};
  if (const locale_t known = cached.load(std::memory_order_acquire)) return known;
  const locale_t made = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  if (made == static_cast<locale_t>(0)) return made;
  locale_t expected = static_cast<locale_t>(0);
  if (cached.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  freelocale(made);  // another thread was first
  return expected;
}

}  // namespace

bool parse(const char* text, long double* value) {
  const locale_t c = c_locale();
  if (text == nullptr || c == static_cast<locale_t>(0)) return false;
  char* end = nullptr;
  const long double parsed = strtold_l(text, &end, c);
  if (end == text || end == nullptr || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool print(long double value, char* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  const locale_t c = c_locale();
  if (c == static_cast<locale_t>(0)) return false;
  const locale_t previous = uselocale(c);
  const int length = std::snprintf(out, capacity, "%.*Lg", 21, value);
  uselocale(previous);
  return length >= 0 && static_cast<std::size_t>(length) < capacity;
}

std::optional<std::string> c_text(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  return std::string(text);
}

std::string from_buffer(const char* buffer) { return std::string(buffer, ::strnlen(buffer, wrapper_buffer_size)); }

}  // namespace quarvel_longdouble::detail

using quarvel_longdouble::detail::parse;
using quarvel_longdouble::detail::print;

namespace {

// Bytes 0-9 of the stored form are the processor's 80-bit value.
constexpr std::size_t extended_bytes = 10;
constexpr std::size_t stored_bytes = 16;

}  // namespace

extern "C" int quarvel_ld_encode(const char* text, unsigned char* out, std::size_t out_len) {
  if (text == nullptr || out == nullptr || out_len != stored_bytes) return 0;
  long double value;
  if (!parse(text, &value)) return 0;
  unsigned char bytes[sizeof(long double)];
  std::memcpy(bytes, &value, sizeof value);
  std::memset(out, 0, stored_bytes);
  std::memcpy(out, bytes, extended_bytes);
  return 1;
}

extern "C" int quarvel_ld_decode(const unsigned char* in, std::size_t in_len, char* out, std::size_t out_len) {
  if (in == nullptr || in_len != stored_bytes || out == nullptr || out_len == 0) return 0;
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, in, extended_bytes);
  long double value;
  std::memcpy(&value, bytes, sizeof value);
  return print(value, out, out_len) ? 1 : 0;
}

namespace quarvel_longdouble {

int classify(long double x, int code) {
  switch (code) {
    case 0: return std::isnan(x) ? 1 : 0;
    case 1: return std::isinf(x) ? 1 : 0;
    case 2: return std::signbit(x) ? 1 : 0;
    case 3: return x == 0.0L ? 1 : 0;
    case 4: return std::isfinite(x) ? 1 : 0;
    case 5: return std::fpclassify(x) == FP_SUBNORMAL ? 1 : 0;
    default: return -1;
  }
}

int compare(long double a, long double b) {
  if (std::isnan(a) || std::isnan(b)) return 2;
  return a < b ? -1 : (a > b ? 1 : 0);
}

int compare_complex(Complex a, Complex b) {
  if (std::isnan(a.re) || std::isnan(a.im) || std::isnan(b.re) || std::isnan(b.im)) return 2;
  if (a.re < b.re) return -1;
  if (a.re > b.re) return 1;
  return a.im < b.im ? -1 : (a.im > b.im ? 1 : 0);
}

namespace detail {

long double load_through_text(const unsigned char* bytes) {
  char text[wrapper_buffer_size];
  long double value;
  if (quarvel_ld_decode(bytes, stored_size, text, sizeof text) != 1 || !parse(text, &value))
    return quiet_nan(false);  // only when no C locale can be made
  return value;
}

}  // namespace detail

}  // namespace quarvel_longdouble

extern "C" int quarvel_ld_classify(const char* text, int code) {
  long double x;
  if (!parse(text, &x)) return -1;
  return quarvel_longdouble::classify(x, code);
}

extern "C" int quarvel_ld_compare(const char* a, const char* b) {
  long double x, y;
  if (!parse(a, &x) || !parse(b, &y)) return 2;
  return quarvel_longdouble::compare(x, y);
}

extern "C" int quarvel_ld_compare_complex(const char* a_re, const char* a_im, const char* b_re, const char* b_im) {
  long double ar, ai, br, bi;
  if (!parse(a_re, &ar) || !parse(a_im, &ai) || !parse(b_re, &br) || !parse(b_im, &bi)) return 2;
  return quarvel_longdouble::compare_complex({ar, ai}, {br, bi});
}

namespace quarvel_longdouble {

using detail::c_text;

namespace {

// -1, 0 or 1; absent for the routines' 2 (unordered or unreadable).
std::optional<std::int8_t> ordering(int result) {
  if (result == 2) return std::nullopt;
  return static_cast<std::int8_t>(result);
}

}  // namespace

std::optional<Bytes16> encode(std::string_view text) {
  auto s = c_text(text);
  if (!s) return std::nullopt;
  Bytes16 out{};
  if (quarvel_ld_encode(s->c_str(), out.data(), out.size()) != 1) return std::nullopt;
  return out;
}

std::optional<std::string> decode(const Bytes16& bytes) {
  char buffer[detail::wrapper_buffer_size] = {};
  if (quarvel_ld_decode(bytes.data(), bytes.size(), buffer, sizeof buffer) != 1) return std::nullopt;
  return detail::from_buffer(buffer);
}

std::optional<bool> classify(std::string_view text, std::int32_t code) {
  auto s = c_text(text);
  if (!s) return std::nullopt;
  const int r = quarvel_ld_classify(s->c_str(), code);
  if (r < 0) return std::nullopt;
  return r == 1;
}

std::optional<std::int8_t> compare(std::string_view a, std::string_view b) {
  const auto texts = detail::c_texts(a, b);
  if (!texts) return std::nullopt;
  return ordering(quarvel_ld_compare((*texts)[0].c_str(), (*texts)[1].c_str()));
}

std::optional<std::int8_t> compare_complex(std::string_view a_re, std::string_view a_im, std::string_view b_re,
                                           std::string_view b_im) {
  const auto texts = detail::c_texts(a_re, a_im, b_re, b_im);
  if (!texts) return std::nullopt;
  const auto& t = *texts;
  return ordering(quarvel_ld_compare_complex(t[0].c_str(), t[1].c_str(), t[2].c_str(), t[3].c_str()));
}

}  // namespace quarvel_longdouble
