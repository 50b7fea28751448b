// Counting the front's requests and connections, and the scrape of all the service's metrics.
#include "http/front_metrics.h"

#include <gnutls/gnutls.h>

#include <string_view>

namespace velmoth::server {
namespace {

constexpr std::array<std::string_view, 4> kLoginOutcomes = {"accepted", "wrong", "throttled",
                                                            "refused"};
constexpr std::array<std::string_view, 4> kSignupCodes = {"0", "1", "2", "3"};

std::string_view route_label(std::size_t route) {
  return route < kRouteCount ? route_path(route) : "other";
}

std::size_t status_slot(int status) {
  std::size_t slot = 0;
  while (slot < FrontMetrics::kStatuses.size() && FrontMetrics::kStatuses[slot] != status) ++slot;
  return slot;
}

// Called by GnuTLS after each Finished message of a handshake. libmicrohttpd keeps its
// connection as the session's pointer (opened() checks that before it sets this hook).
int on_finished(gnutls_session_t session, unsigned int, unsigned int, unsigned int incoming,
                const gnutls_datum_t *) {
  if (!incoming) return 0;
  FrontMetrics &metrics = front_metrics();
  std::lock_guard<std::mutex> lock(metrics.finished_mutex);
  metrics.finished.insert(static_cast<const MHD_Connection *>(gnutls_session_get_ptr(session)));
  return 0;
}

void write_front(MetricsText &out, const FrontMetrics &front) {
  out.family("velmoth_http_requests_total", "counter",
             "Requests answered, by route and status (route \"other\": unknown paths, refusals).");
  for (std::size_t route = 0; route <= kRouteCount; ++route) {
    for (std::size_t slot = 0; slot <= FrontMetrics::kStatuses.size(); ++slot) {
      const std::uint64_t count = front.requests[route][slot].value();
      if (count == 0) continue;
      const std::string status = slot < FrontMetrics::kStatuses.size()
                                     ? std::to_string(FrontMetrics::kStatuses[slot])
                                     : "other";
      out.sample("velmoth_http_requests_total", {{"route", route_label(route)}, {"status", status}},
                 count);
    }
  }
  out.family("velmoth_http_request_duration_seconds", "histogram",
             "Time from a request's head arriving to its answer being queued, by route.");
  for (std::size_t route = 0; route <= kRouteCount; ++route)
    out.histogram("velmoth_http_request_duration_seconds", {{"route", route_label(route)}},
                  front.durations[route]);
  out.family("velmoth_logins_total", "counter",
             "Login tries by outcome (refused: invalid request, unknown or disabled account).");
  for (std::size_t i = 0; i < kLoginOutcomes.size(); ++i)
    out.sample("velmoth_logins_total", {{"outcome", kLoginOutcomes[i]}}, front.logins[i].value());
  out.family("velmoth_signups_total", "counter", "Sign-ups by answer code.");
  for (std::size_t i = 0; i < kSignupCodes.size(); ++i)
    out.sample("velmoth_signups_total", {{"code", kSignupCodes[i]}}, front.signups[i].value());
  out.family("velmoth_hash_queue_length", "gauge",
             "Password hashing and store tasks waiting for a worker.");
  out.sample("velmoth_hash_queue_length", {}, front.hashing.queued.value());
  out.family("velmoth_hash_workers_busy", "gauge", "Workers running a task.");
  out.sample("velmoth_hash_workers_busy", {}, front.hashing.busy.value());
  out.family("velmoth_http_open_connections", "gauge", "Client connections open.");
  out.sample("velmoth_http_open_connections", {}, front.connections.value());
  out.family("velmoth_tls_handshakes_total", "counter",
             "TLS connections by whether their handshake completed, judged when they close.");
  out.sample("velmoth_tls_handshakes_total", {{"result", "completed"}},
             front.tls_completed.value());
  out.sample("velmoth_tls_handshakes_total", {{"result", "failed"}}, front.tls_failed.value());
}

}  // namespace

void FrontMetrics::answered(std::size_t route, int status,
                            std::chrono::steady_clock::time_point arrived) {
  const std::size_t place = route < kRouteCount ? route : kOtherRoute;
  requests[place][status_slot(status)].add();
  durations[place].observe(std::chrono::steady_clock::now() - arrived);
}

void FrontMetrics::opened(MHD_Connection *connection, bool tls) {
  connections.add(1);
  if (!tls) return;
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  auto session = info ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
  if (session && gnutls_session_get_ptr(session) == connection)
    gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_FINISHED, GNUTLS_HOOK_POST,
                                       &on_finished);
}

void FrontMetrics::closed(MHD_Connection *connection, bool tls) {
  connections.add(-1);
  if (!tls) return;
  std::unique_lock<std::mutex> lock(finished_mutex);
  const bool completed = finished.erase(connection) > 0;
  lock.unlock();
  (completed ? tls_completed : tls_failed).add();
}

FrontMetrics &front_metrics() {
  static FrontMetrics metrics;
  return metrics;
}

std::string metrics_scrape() {
  MetricsText out;
  write_front(out, front_metrics());
  const StoreCounters &store = store_counters();
  out.family("velmoth_store_outages_total", "counter",
             "Times the database server stopped answering (each logged once).");
  out.sample("velmoth_store_outages_total", {}, store.outages.value());
  out.family("velmoth_store_reconnects_total", "counter",
             "Times the database server answered again after an outage.");
  out.sample("velmoth_store_reconnects_total", {}, store.reconnects.value());
  return out.text();
}

}  // namespace velmoth::server
