// One HTTP reply as the routes build it: status, HTML body, headers, whether to close.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace velmoth::server {

// One HTTP reply as the routes build it; the front sends it.
struct Answer {
  int status = 200;
  std::string body;  // HTML
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // end the connection after this reply
  // How long the front holds the reply back, with the connection suspended and no thread held.
  std::chrono::nanoseconds hold{};

  // A one-character reply code, never cached.
  static Answer code(char code);
  // A page of the service.
  static Answer page(std::string html, bool no_store = false);
  // An error page for status, ending the connection when close is set.
  static Answer error(int status, bool close = false);
};

}  // namespace velmoth::server
