// Plumbing shared by the text routines: NUL-terminated copies of every
// wrapper text and the 128-byte result buffers.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "longdouble/ld_common.h"

namespace quarvel_longdouble::detail {

// NUL-terminated copies of every text, or absent when any holds a NUL byte
// (the C routine must then not be called at all).
template <class... Texts>
std::optional<std::array<std::string, sizeof...(Texts)>> c_texts(Texts... texts) {
  std::array<std::string, sizeof...(Texts)> copies;
  std::size_t index = 0;
  bool ok = true;
  ((ok = ok && [&] {
     auto copy = c_text(std::string_view(texts));
     if (copy) copies[index++] = std::move(*copy);
     return copy.has_value();
   }()),
   ...);
  if (!ok) return std::nullopt;
  return copies;
}

// One zero-filled result buffer.
struct TextBuffer {
  char bytes[wrapper_buffer_size] = {};
  char* data() { return bytes; }
  static constexpr std::size_t size() { return wrapper_buffer_size; }
  std::string text() const { return from_buffer(bytes); }
};

// Two result buffers, read back as a pair of texts.
struct PairBuffer {
  TextBuffer first;
  TextBuffer second;
  std::pair<std::string, std::string> texts() const { return {first.text(), second.text()}; }
};

// Copies the texts and calls routine(text..., out, capacity): the result text,
// or absent when a text holds a NUL byte or the routine does not return 1.
template <class Routine, class... Texts>
std::optional<std::string> call_for_text(Routine routine, Texts... texts) {
  auto copies = c_texts(texts...);
  if (!copies) return std::nullopt;
  TextBuffer out;
  const int status = std::apply(
      [&](const auto&... copy) { return routine(copy.c_str()..., out.data(), out.size()); }, *copies);
  if (status != 1) return std::nullopt;
  return out.text();
}

// The same with two outputs, routine(text..., out, capacity, out2, capacity2).
template <class Routine, class... Texts>
std::optional<std::pair<std::string, std::string>> call_for_pair(Routine routine, Texts... texts) {
  auto copies = c_texts(texts...);
  if (!copies) return std::nullopt;
  PairBuffer out;
  const int status = std::apply(
      [&](const auto&... copy) {
        return routine(copy.c_str()..., out.first.data(), out.first.size(), out.second.data(), out.second.size());
      },
      *copies);
  if (status != 1) return std::nullopt;
  return out.texts();
}

}  // namespace quarvel_longdouble::detail
