// The access log's line for one request, in the combined log format.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmoth::server {

// What the access log records of one request.
struct AccessRecord {
  std::chrono::system_clock::time_point when;
  std::string_view client;  // address of the client
  std::string_view method;
  std::string_view path;  // without the query
  std::string_view version;
  int status = 0;
  std::size_t bytes = 0;  // of the reply's body
};

// The access log's line for one request in the combined log format that common log tools read:
//   HOST - - [dd/Mon/yyyy:HH:MM:SS +0000] "METHOD PATH VERSION" STATUS BYTES "-" "-"
// It never holds query values or cookies, since those carry passwords and session tokens, nor
// the referrer or user agent. Bytes of the path outside printable ASCII (blanks, line breaks,
// escape sequences, raw UTF-8) and quotes are written as \xNN, and only standard method names
// and HTTP versions are written as sent, so a crafted request cannot forge or garble lines.
std::string access_line(const AccessRecord &record);

}  // namespace velmoth::server
