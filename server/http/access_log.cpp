// Access log lines: escaped paths, known methods and versions only, never the query.
#include "http/access_log.h"

#include <cstdio>

#include "base/text_rules.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kMaxLoggedBytes = 200;
constexpr const char *kLogTime = "%d/%b/%Y:%H:%M:%S +0000";

std::string loggable(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxLoggedBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte > 0x20 && byte < 0x7f && byte != '\\' && byte != '"') {
      out += static_cast<char>(byte);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  if (text.size() > kMaxLoggedBytes) out += "...";
  return out;
}

std::string loggable_method(std::string_view method) {
  static const char *const known[] = {"GET",     "HEAD",  "POST",  "PUT",    "DELETE",
                                      "OPTIONS", "PATCH", "TRACE", "CONNECT"};
  for (const char *name : known)
    if (method == name) return std::string(method);
  return "-";
}

std::string loggable_version(std::string_view version) {
  return version == "HTTP/1.0" || version == "HTTP/1.1" ? std::string(version) : "-";
}

}  // namespace

std::string access_line(const AccessRecord &record) {
  return loggable(record.client) + " - - [" + utc_text(record.when, kLogTime) + "] \"" +
         loggable_method(record.method) + " " + loggable(record.path) + " " +
         loggable_version(record.version) + "\" " + std::to_string(record.status) + " " +
         (record.bytes ? std::to_string(record.bytes) : "-") + " \"-\" \"-\"";
}

}  // namespace velmoth::server
