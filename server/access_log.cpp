#include "access_log.h"

#include <cstdio>
#include <mutex>

#include "text_rules.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kMaxLoggedBytes = 200;
constexpr const char *kLogTime = "%Y-%m-%dT%H:%M:%SZ";

std::string loggable(std::string_view text) {
  if (text.empty()) return "-";
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxLoggedBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte > 0x20 && byte < 0x7f && byte != '\\') {
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

}  // namespace

LogSink standard_error_log() {
  return [](const std::string &line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };
}

std::string access_line(std::chrono::system_clock::time_point when, std::string_view method,
                        std::string_view path, int status) {
  return utc_text(when, kLogTime) + " " + loggable_method(method) + " " + loggable(path) + " " +
         std::to_string(status);
}

}  // namespace velmoth::server
