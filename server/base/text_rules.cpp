// Field rules, HTML escaping and UTC time text: well-formed UTF-8 and the per-field limits.
#include "base/text_rules.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <ctime>

namespace velmoth::server {
namespace {

constexpr std::size_t kMaxAccountLength = 32;
constexpr std::size_t kMaxPasswordLength = 64;
constexpr std::size_t kMinQqDigits = 5;
constexpr std::size_t kMaxQqDigits = 12;
constexpr std::size_t kMaxCardFieldBytes = 64;

bool is_control(std::uint32_t code_point) {
  return code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F);
}

bool length_within(std::string_view text, std::size_t max) {
  const auto length = utf8_length(text);
  return length && *length >= 1 && *length <= max;
}

}  // namespace

std::optional<std::uint32_t> next_code_point(std::string_view text, std::size_t &pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint32_t smallest = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, smallest = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char continuation = byte(pos + i);
    if ((continuation & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (continuation & 0x3F);
  }
  if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return std::nullopt;
  pos += length;
  return value;
}

std::optional<std::size_t> utf8_length(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    if (!next_code_point(text, pos)) return std::nullopt;
  }
  return count;
}

bool valid_account_name(std::string_view name) {
  if (!length_within(name, kMaxAccountLength)) return false;
  for (std::size_t pos = 0; pos < name.size();) {
    if (is_control(*next_code_point(name, pos))) return false;
  }
  return true;
}

bool valid_password(std::string_view password) {
  return length_within(password, kMaxPasswordLength);
}

bool valid_qq(std::string_view qq) {
  if (qq.size() < kMinQqDigits || qq.size() > kMaxQqDigits) return false;
  for (const char c : qq) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool valid_card_field(std::string_view value) {
  return !value.empty() && value.size() <= kMaxCardFieldBytes;
}

bool printable_ascii(std::string_view text) {
  for (const char c : text)
    if (c < ' ' || c > '~') return false;
  return true;
}

std::optional<std::string> canonical_address(const std::string &text) {
  unsigned char binary[sizeof(in6_addr)];
  char canonical[INET6_ADDRSTRLEN] = {};
  for (const int family : {AF_INET, AF_INET6})
    if (inet_pton(family, text.c_str(), binary) == 1 &&
        inet_ntop(family, binary, canonical, sizeof canonical))
      return std::string(canonical);
  return std::nullopt;
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string utc_text(std::chrono::system_clock::time_point when, const char *format) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

}  // namespace velmoth::server
