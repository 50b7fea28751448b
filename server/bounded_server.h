#pragma once

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <string>

namespace velmoth::server {

// Whether the request's headers announce a body: any Transfer-Encoding, more than one
// Content-Length, or one that is not "0".
bool frames_body(const httplib::Request &request);

// httplib::Server that caps the bytes a request may send before its headers end.
//
// The library checks the request line and each header line only once the whole line is in
// memory, and does not limit how many header lines come, so a client streaming an endless line
// or endless headers would grow the server's memory without bound. Here such a request is cut
// off after max_head_bytes and refused (414 in the request line, 400 in the headers), then the
// connection is closed.
//
// A request whose headers announce a body (see frames_body) is answered with "Connection: close"
// and its connection ends: the library reads no body for GET or HEAD, nor for a request refused
// before routing, so the body's bytes would otherwise be taken as the next request on the
// connection, one that a proxy in front of the service never saw (request smuggling).
//
// Connections are also served with send() flags that cannot raise SIGPIPE, and an idle
// keep-alive connection gives way within a moment when the server stops.
class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(std::size_t max_head_bytes) : max_head_bytes_(max_head_bytes) {}

  // The HTML body sent with a refusal of the given status.
  std::function<std::string(int status)> refusal_page;
  // Told of each request refused here with the given status; the library's logger never sees
  // them.
  std::function<void(int status)> on_refused;

 private:
  bool process_and_close_socket(socket_t sock) override;

  std::size_t max_head_bytes_;
};

}  // namespace velmoth::server
