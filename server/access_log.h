#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace velmoth::server {

// Receives one finished line of the access log (no line break).
using LogSink = std::function<void(const std::string &line)>;
// Writes lines to standard error, one whole line at a time.
LogSink standard_error_log();

// "TIME METHOD PATH STATUS", the access log's line for one request. It never holds query values
// or cookies, since those carry passwords and session tokens. Bytes of the path outside
// printable ASCII (blanks, line breaks, escape sequences, raw UTF-8) are written as \xNN and only
// standard method names are written as sent, so a crafted request cannot forge or garble lines.
std::string access_line(std::chrono::system_clock::time_point when, std::string_view method,
                        std::string_view path, int status);

}  // namespace velmoth::server
