// The standard-error log sink and the time stamp of log lines.
#include "base/log_sink.h"

#include <cstdio>
#include <mutex>

#include "base/text_rules.h"

namespace velmoth::server {

LogSink standard_error_log() {
  return [](const std::string &line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };
}

std::string log_time(std::chrono::system_clock::time_point when) {
  return utc_text(when, "%Y-%m-%dT%H:%M:%SZ");
}

}  // namespace velmoth::server
