// The HTTP front's metrics (requests, logins, sign-ups, connections, TLS, hashing) and the scrape.
#pragma once

#include <microhttpd.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>

#include "base/metrics.h"
#include "http/routes.h"
#include "http/worker_pool.h"

namespace velmoth::server {

// What the front counts, lock-free, from any thread. Every label comes from a fixed set: the
// route table's paths, the statuses the front answers with, outcomes and answer codes.
struct FrontMetrics {
  // A route's place is its place in the route table; requests to no route, and requests refused
  // before routing, count under "other".
  static constexpr std::size_t kOtherRoute = kRouteCount;
  // The statuses the front answers with; any other counts as "other".
  static constexpr std::array<int, 8> kStatuses = {200, 400, 404, 405, 414, 431, 500, 503};

  std::array<std::array<Counter, kStatuses.size() + 1>, kRouteCount + 1> requests;
  std::array<Histogram, kRouteCount + 1> durations;
  std::array<Counter, 4> logins;   // by Service::LoginResult
  std::array<Counter, 4> signups;  // by answer code, 0 to 3
  Gauge connections;
  Counter tls_completed;
  Counter tls_failed;
  PoolLoad hashing;

  // A request to route (a place, or kOtherRoute) answered with status; its head arrived then.
  void answered(std::size_t route, int status, std::chrono::steady_clock::time_point arrived);
  // A connection opened; over TLS, its handshake is watched for the client's Finished message.
  void opened(MHD_Connection *connection, bool tls);
  // A connection closed; over TLS, its handshake counts as completed when the client's
  // Finished message arrived, as failed otherwise. (By now the library has freed the TLS
  // session, so the handshake is judged from what was seen while it ran.)
  void closed(MHD_Connection *connection, bool tls);

  // TLS connections whose client has sent its Finished message, until they close.
  std::mutex finished_mutex;
  std::unordered_set<const MHD_Connection *> finished;
};

// The process's front metrics.
FrontMetrics &front_metrics();

// Every metric of the process, in the Prometheus text exposition format, version 0.0.4.
std::string metrics_scrape();

}  // namespace velmoth::server
