// The metrics listener's socket, its libmicrohttpd daemon and its one route.
#include "http/metrics_listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "http/front_metrics.h"

namespace velmoth::server {
namespace {

constexpr const char *kExpositionType = "text/plain; version=0.0.4; charset=utf-8";
constexpr unsigned kConnections = 32;  // a few scrapers; more wait in the backlog
constexpr unsigned kIdleSeconds = 10;

// A listening socket on host:port and the port it got, or -1.
std::pair<int, int> listen_on(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return {-1, 0};
  for (addrinfo *candidate = found; candidate; candidate = candidate->ai_next) {
    const int sock = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, 0);
    if (sock < 0) continue;
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (::bind(sock, candidate->ai_addr, candidate->ai_addrlen) == 0 && ::listen(sock, 64) == 0 &&
        ::getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &size) == 0) {
      freeaddrinfo(found);
      const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&bound);
      const auto *v4 = reinterpret_cast<const sockaddr_in *>(&bound);
      return {sock, ntohs(bound.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port)};
    }
    ::close(sock);
  }
  freeaddrinfo(found);
  return {-1, 0};
}

MHD_Result reply(MHD_Connection *connection, unsigned status, const std::string &body,
                 const char *type) {
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

std::unique_ptr<MetricsListener> MetricsListener::start(const std::string &host, int port) {
  const auto [sock, bound_port] = listen_on(host, port);
  if (sock < 0) return nullptr;
  MHD_Daemon *daemon =
      MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, 0, nullptr, nullptr,
                       &MetricsListener::on_request, nullptr, MHD_OPTION_LISTEN_SOCKET, sock,
                       MHD_OPTION_CONNECTION_LIMIT, kConnections, MHD_OPTION_CONNECTION_TIMEOUT,
                       kIdleSeconds, MHD_OPTION_END);
  if (!daemon) {
    ::close(sock);
    return nullptr;
  }
  return std::unique_ptr<MetricsListener>(new MetricsListener(daemon, bound_port));
}

MetricsListener::~MetricsListener() { MHD_stop_daemon(daemon_); }

MHD_Result MetricsListener::on_request(void *, MHD_Connection *connection, const char *url,
                                       const char *method, const char *, const char *,
                                       std::size_t *upload_data_size, void **request_state) {
  // The first call brings the head; a body, if any, is skipped; the answer goes with the last.
  static int seen = 0;
  if (!*request_state) {
    *request_state = &seen;
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    *upload_data_size = 0;
    return MHD_YES;
  }
  const std::string_view verb = method ? method : "";
  if ((verb == "GET" || verb == "HEAD") && url && std::strcmp(url, "/metrics") == 0)
    return reply(connection, MHD_HTTP_OK, metrics_scrape(), kExpositionType);
  return reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain; charset=utf-8");
}

}  // namespace velmoth::server
