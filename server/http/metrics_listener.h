// The metrics listener: a small plain-HTTP server that answers GET /metrics with the scrape.
#pragma once

#include <microhttpd.h>

#include <memory>
#include <optional>
#include <string>

namespace velmoth::server {

// Serves metrics_scrape() (front_metrics.h) at /metrics, on its own address, over plain HTTP
// with one internal thread; every other path gets 404. It is apart from the service's front so
// that scrapes reach it on a private network while clients reach the front.
class MetricsListener {
 public:
  // Listens on host and port (0 picks a free one) and serves at once; nothing when the address
  // cannot be bound or the server cannot start.
  static std::unique_ptr<MetricsListener> start(const std::string &host, int port);
  ~MetricsListener();
  MetricsListener(const MetricsListener &) = delete;
  MetricsListener &operator=(const MetricsListener &) = delete;

  int port() const { return port_; }

 private:
  MetricsListener(MHD_Daemon *daemon, int port) : daemon_(daemon), port_(port) {}
  static MHD_Result on_request(void *, MHD_Connection *connection, const char *url,
                               const char *method, const char *version, const char *upload_data,
                               std::size_t *upload_data_size, void **request_state);

  MHD_Daemon *daemon_;
  int port_;
};

}  // namespace velmoth::server
