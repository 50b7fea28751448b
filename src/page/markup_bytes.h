// Byte helpers shared by the page decoding, the reference fix-up and the serializer.
#pragma once

#include <cstddef>
#include <string_view>

// Byte helpers shared by the page decoding, the reference fix-up and the serializer.

namespace velmoth::markup_detail {

inline bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Whitespace as the HTML tokenizer sees it (a CR counts: the parser turns it into a LF).
inline bool is_html_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

inline bool equals_ignoring_case(std::string_view text, std::string_view lower_case_word) {
  if (text.size() != lower_case_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower_case_word[i]) return false;
  }
  return true;
}

inline bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

inline bool starts_with_ignoring_case(std::string_view text, std::string_view lower_case_word) {
  return equals_ignoring_case(text.substr(0, lower_case_word.size()), lower_case_word);
}

inline std::string_view trimmed(std::string_view text) {
  while (!text.empty() && is_html_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_html_space(text.back())) text.remove_suffix(1);
  return text;
}

inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

}  // namespace velmoth::markup_detail
