// The HTTP front: libmicrohttpd's daemon, its limits, refusals and the access log.
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "accounts/service.h"
#include "base/log_sink.h"
#include "http/answer.h"
#include "http/head_deadlines.h"
#include "http/held_answers.h"
#include "http/tls_identity.h"
#include "http/worker_pool.h"

namespace velmoth::server {

// Limits of the HTTP front. Idle and slow connections cost memory (memory_per_connection each),
// never a thread.
struct FrontLimits {
  unsigned io_threads = 2;
  // Threads that hash passwords and read the store; 0 for one per core (at least two).
  unsigned hash_threads = 0;
  // Of those, how many one client address may hold at once; 0 for half of them (at least one).
  unsigned hashes_per_address = 0;
  std::size_t queued_hashes = 1024;
  // A request head may hold head_bytes; a longer one is refused (414 when the request line alone
  // is too long, 431 otherwise). memory_per_connection holds the head, the parsed copies the
  // library makes of cookies and query values, and the reply's head; a head that does not fit
  // is refused by the library in the same way.
  std::size_t head_bytes = 8 * 1024;
  std::size_t memory_per_connection = 20 * 1024;
  unsigned connections = 10000;  // lowered to what the open-file limit allows
  unsigned connections_per_address = 256;
  std::chrono::seconds idle_timeout{10};
  std::chrono::milliseconds head_time{10000};
  // How long stop() lets the requests under way finish and their answers go out.
  std::chrono::milliseconds drain_time{10000};
};

// How clients reach the front.
struct FrontTransport {
  // HTTPS with this certificate and key when set (it must outlive the front); plain HTTP if not.
  TlsIdentity *tls = nullptr;
  // Addresses of TLS-terminating proxies in front of a plain listener. A request from one of them
  // is counted and logged under the address its X-Forwarded-For header ends with; from anywhere
  // else that header is ignored.
  std::vector<std::string> trusted_proxies;
};

// The HTTP side of the service: serves the routes (routes.h) under limits, with the access log.
// Only GET and HEAD are served (other methods get 405); unknown paths get 404. No request body
// is ever read: a request announcing one is refused and its connection closed, so the body's
// bytes cannot pass for a request of their own. Logins, sign-ups and account pages hash
// passwords or read the store on a worker pool, shared fairly between client addresses, while
// their connection waits suspended, so the I/O threads keep serving everyone else.
class WebFront {
 public:
  WebFront(Service &service, LogSink access_log, FrontLimits limits = {},
           FrontTransport transport = {});
  ~WebFront();
  WebFront(const WebFront &) = delete;
  WebFront &operator=(const WebFront &) = delete;

  // Binds to host and port (0 picks a free port); the port bound, or nothing on failure.
  std::optional<int> bind(const std::string &host, int port);
  // Whether the address bound answers this machine only (127.0.0.0/8, ::1).
  bool bound_to_loopback() const;
  // Serves requests until stop(); false when the server could not run.
  bool run();
  // Ends run() and waits for it to return. Safe from any thread, before, during or after run().
  // New connections are refused at once; requests already under way get up to drain_time to be
  // answered, each answer closing its connection, before the rest are dropped.
  void stop();
  // Whether the front is serving: a connection to its own listening address reaches an I/O
  // thread (or the I/O threads handle other connections) within wait, and the worker pool is not
  // stuck (worker_pool.h). For the service manager's watchdog; one call at a time.
  bool responsive(std::chrono::milliseconds wait = std::chrono::milliseconds(1000));

 private:
  struct Exchange;
  struct Peer;
  static Peer *peer_of(MHD_Connection *connection);
  static MHD_Result on_request(void *self, MHD_Connection *connection, const char *url,
                               const char *method, const char *version, const char *upload_data,
                               std::size_t *upload_data_size, void **request_state);
  static void on_completed(void *self, MHD_Connection *connection, void **request_state,
                           MHD_RequestTerminationCode why);
  static void on_connection(void *self, MHD_Connection *connection, void **socket_state,
                            MHD_ConnectionNotificationCode what);
  // Refuses every connection once stopping, and the watchdog's probe, noting that it came.
  static MHD_Result on_accept(void *self, const sockaddr *address, socklen_t size);
  // Whether the I/O threads took the probe connection, or handled others, within wait.
  bool io_loop_turns(std::chrono::milliseconds wait);

  // run()'s work: the library serves until stop() is asked for.
  bool serve();
  // Waits until no request is under way or drain_time has passed, then answers 503 to the work
  // not yet begun and ends the worker pool and the held answers; logs both ends.
  void drain();
  // The answer to send at once, ending the connection, when the head is refused.
  // request_line and version are the handler's method and version arguments, which point into
  // the received head.
  std::optional<Answer> refusal(MHD_Connection *connection, const char *request_line,
                                const char *version);
  // The address a request on connection counts as coming from.
  std::string client_of(MHD_Connection *connection) const;
  // Sets the exchange's reply, or the work that makes it, from its route.
  void route(MHD_Connection *connection, Exchange &exchange);
  MHD_Result answer(MHD_Connection *connection, const Exchange &exchange, const Answer &reply);
  // Runs the exchange's work on the worker pool while the connection waits suspended.
  MHD_Result work_off_thread(MHD_Connection *connection, Exchange &exchange);
  void log_error(const std::string &what) const;
  void log_note(const std::string &what) const;

  Service &service_;
  LogSink access_log_;
  FrontLimits limits_;
  FrontTransport transport_;
  int listen_socket_ = -1;
  sockaddr_storage bound_{};  // the address listen_socket_ was bound to
  std::unique_ptr<HeadDeadlines> deadlines_;
  std::unique_ptr<WorkerPool> hashing_;
  std::unique_ptr<HeldAnswers> held_;

  std::mutex state_mutex_;
  std::condition_variable state_changed_;
  bool stop_requested_ = false;
  bool running_ = false;
  std::atomic<bool> stopping_{false};  // set when stop() begins, for the readiness check
  // Requests from their head to their end (on_completed); the drain waits for them.
  std::atomic<unsigned> in_flight_{0};
  // Set when the drain ends: work not yet started is answered 503 rather than done.
  std::atomic<bool> abandoned_{false};

  // The watchdog's probe. watch_mutex_ keeps one check at a time and the pool alive meanwhile.
  std::mutex watch_mutex_;
  std::mutex probe_mutex_;
  std::condition_variable probe_came_;
  std::optional<sockaddr_storage> probe_from_;  // the probe's own address while it is out
  bool probe_seen_ = false;
  std::atomic<std::uint64_t> io_events_{0};  // connections accepted or ended, requests ended
};

}  // namespace velmoth::server
