#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "bounded_server.h"
#include "service.h"

namespace velmoth::server {

// Receives one finished line of the access log (no line break).
using LogSink = std::function<void(const std::string &line)>;
// Writes lines to standard error, one whole line at a time.
LogSink standard_error_log();

// The HTTP side of the service: routes, limits and the access log.
//
//   /             home page               /buy.html     how to get top-up cards
//   /login.asp    u, p       -> "0" | "1" (on "1" also a session cookie)
//   /reg.asp      u, p, q, cn, cc -> "0" | "1" | "2" | "3"
//   /account.asp  the logged-in account, or a "not logged in" page; status 200 either way, so
//                 a browser shows the page rather than an error
//
// A "t" parameter, when sent, only keeps caches from answering with an old copy; it is ignored.
// Only GET and HEAD are served (other methods get 405); unknown paths get 404.
// The access log has one line per request: time, method, path and status. It never holds query
// values or cookies, since those carry passwords and session tokens.
class WebFront {
 public:
  WebFront(Service &service, LogSink access_log);

  // Binds to host and port (0 picks a free port); the port bound, or nothing on failure.
  std::optional<int> bind(const std::string &host, int port);
  // Serves requests until stop(); false when the server could not run.
  bool run();
  // Ends run() and waits for it to return. Safe from any thread, before, during or after run().
  void stop();

 private:
  void install_routes();
  void log_request(const httplib::Request &request, const httplib::Response &response) const;

  Service &service_;
  LogSink access_log_;
  BoundedServer http_;

  std::mutex state_mutex_;
  std::condition_variable finished_changed_;
  bool stop_requested_ = false;
  bool started_ = false;
  bool finished_ = false;
};

}  // namespace velmoth::server
