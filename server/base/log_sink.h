// Where the service's one-line log messages go: standard error by default.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace velmoth::server {

// Receives one finished line of a log (no line break).
using LogSink = std::function<void(const std::string &line)>;
// Writes lines to standard error, one whole line at a time.
LogSink standard_error_log();

// when as a log line's time stamp: 2026-12-08T06:00:00Z.
std::string log_time(std::chrono::system_clock::time_point when);

}  // namespace velmoth::server
