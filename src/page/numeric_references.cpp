// Replaces numeric character references beyond Unicode with U+FFFD before parsing.
#include "page/numeric_references.h"

#include <cstdint>
#include <cstring>

#include "page/markup_bytes.h"

namespace velmoth::markup_detail {

std::string_view replace_oversized_references(std::string_view text, std::string &storage) {
  const char *const begin = text.data();
  const char *const end = begin + text.size();
  const char *copied = begin;  // the source up to here is in storage
  bool replaced = false;
  for (const char *p = begin; p < end;) {
    p = static_cast<const char *>(std::memchr(p, '&', std::size_t(end - p)));
    if (!p) break;
    const char *q = p + 1;
    if (q >= end || *q != '#') {
      p = q;
      continue;
    }
    ++q;
    const bool hex = q < end && (*q == 'x' || *q == 'X');
    if (hex) ++q;
    const char *const digits = q;
    std::uint32_t value = 0;
    bool oversized = false;
    for (; q < end; ++q) {
      int digit;
      if (*q >= '0' && *q <= '9')
        digit = *q - '0';
      else if (hex && ascii_lower(*q) >= 'a' && ascii_lower(*q) <= 'f')
        digit = ascii_lower(*q) - 'a' + 10;
      else
        break;
      if (!oversized) {
        value = value * (hex ? 16u : 10u) + std::uint32_t(digit);
        oversized = value > 0x10FFFF;
      }
    }
    if (q == digits) {
      p = q;
      continue;
    }
    if (q < end && *q == ';') ++q;
    if (oversized) {
      if (!replaced) storage.clear();
      replaced = true;
      storage.append(copied, std::size_t(p - copied));
      storage += kReplacementUtf8;
      copied = q;
    }
    p = q;
  }
  if (!replaced) return text;
  storage.append(copied, std::size_t(end - copied));
  return storage;
}

}  // namespace velmoth::markup_detail
