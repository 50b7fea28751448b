// The service's routes: one handler per path, looked up in a table.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accounts/service.h"
#include "http/answer.h"

namespace velmoth::server {

// The name of the cookie that carries a login's session token.
inline constexpr const char *kSessionCookie = "velmoth_session";

// What a route reads of a request.
struct RouteRequest {
  std::vector<std::pair<std::string, std::string>> query;  // in order, exact bytes (NUL too)
  std::string session;                                     // the session cookie, empty for none
  std::string client;                                      // the client's address
  bool stopping = false;  // the front is stopping: no new work should be sent here

  // The value when key occurs exactly once; a repeated key is ambiguous and counts as missing.
  std::optional<std::string> single(std::string_view key) const;
};

// A route's answer: the reply now, or the work that makes it, which hashes passwords or reads the
// store and so runs on the worker pool while the connection waits.
struct RouteAnswer {
  Answer reply;
  std::function<Answer()> work;
};

using RouteHandler = RouteAnswer (*)(Service &service, const RouteRequest &request);

// The handler of path, or nullptr when no route serves it.
RouteHandler find_route(std::string_view path);

// How many paths the route table serves; the metrics count each route in its own place.
inline constexpr std::size_t kRouteCount = 7;
// The route table's place of path, kRouteCount when no route serves it.
std::size_t route_index(std::string_view path);
// The path at a place of the route table (index below kRouteCount).
std::string_view route_path(std::size_t index);

}  // namespace velmoth::server
