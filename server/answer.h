#pragma once

#include <microhttpd.h>

#include <string>
#include <utility>
#include <vector>

namespace velmoth::server {

// One HTTP reply as the routes build it; sent with send_answer().
struct Answer {
  int status = 200;
  std::string body;  // HTML
  std::vector<std::pair<std::string, std::string>> headers;
  bool close = false;  // end the connection after this reply

  // A one-character reply code, never cached.
  static Answer code(char code);
  // A page of the service.
  static Answer page(std::string html, bool no_store = false);
  // An error page for status, ending the connection when close is set.
  static Answer error(int status, bool close = false);
};

// Queues answer on connection; MHD_NO when it could not be queued (the library then drops the
// connection).
MHD_Result send_answer(MHD_Connection *connection, const Answer &answer);

}  // namespace velmoth::server
