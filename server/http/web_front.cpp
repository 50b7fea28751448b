// The HTTP front's plumbing: binding, the daemon's callbacks, suspending for work, answering.
#include "http/web_front.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include "base/text_rules.h"
#include "http/access_log.h"
#include "http/client_address.h"
#include "http/request_head.h"
#include "http/routes.h"

namespace velmoth::server {
namespace {

constexpr const char *kHtml = "text/html; charset=utf-8";
// Descriptors kept back from the connection limit for the database, the log and the like.
constexpr rlim_t kReservedDescriptors = 64;
// How long, past the drain time, the answers refusing unfinished work have to go out.
constexpr std::chrono::milliseconds kRefusalsTime{250};

MHD_Result collect_query_value(void *values, MHD_ValueKind, const char *key, std::size_t key_size,
                               const char *value, std::size_t value_size) {
  static_cast<std::vector<std::pair<std::string, std::string>> *>(values)->emplace_back(
      std::string(key, key_size), value ? std::string(value, value_size) : std::string());
  return MHD_YES;
}

// The most connections the open-file limit leaves room for.
unsigned connection_cap(unsigned wanted) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return wanted;
  if (files.rlim_cur <= 2 * kReservedDescriptors) return 16;
  return static_cast<unsigned>(std::min<rlim_t>(wanted, files.rlim_cur - kReservedDescriptors));
}

// Come back later: the service is overloaded or its database cannot be reached just now.
Answer unavailable() {
  Answer reply = Answer::error(503);
  reply.headers.emplace_back("Retry-After", "1");
  return reply;
}

// What a route reads of the request on connection.
RouteRequest route_request(MHD_Connection *connection, const std::string &client) {
  RouteRequest request;
  MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &collect_query_value,
                              &request.query);
  const char *session = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kSessionCookie);
  request.session = session ? session : "";
  request.client = client;
  return request;
}

// Queues answer on connection; MHD_NO when it could not be queued (the library then drops the
// connection).
MHD_Result send_answer(MHD_Connection *connection, const Answer &answer, bool close) {
  MHD_Response *response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char *>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kHtml);
  for (const auto &[name, value] : answer.headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  if (close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

// What a request has to remember across the library's calls: the answer made on the worker pool
// while the connection waited suspended.
struct WebFront::Exchange {
  std::string method;
  std::string path;
  std::string version;
  std::string client;
  Answer reply;
  std::function<Answer()> work;  // set when the answer needs password hashing
};

// What the front remembers of a connection: how many of its bytes the requests it answered
// account for. Bytes beyond those when the connection closes were a request the library
// refused by itself (or one the client broke off), which the access log records as well.
struct WebFront::Peer {
  std::uint64_t accounted = 0;
  bool ended_by_us = false;  // answered with a close; later bytes were never meant to be read
};

WebFront::Peer *WebFront::peer_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Peer *>(info->socket_context) : nullptr;
}

WebFront::WebFront(Service &service, LogSink access_log, FrontLimits limits,
                   FrontTransport transport)
    : service_(service),
      access_log_(std::move(access_log)),
      limits_(limits),
      transport_(std::move(transport)) {}

WebFront::~WebFront() {
  stop();
  if (listen_socket_ >= 0) ::close(listen_socket_);
}

std::string WebFront::client_of(MHD_Connection *connection) const {
  std::string client = peer_address(connection);
  const auto &proxies = transport_.trusted_proxies;
  if (std::find(proxies.begin(), proxies.end(), client) == proxies.end()) return client;
  return forwarded_client(connection).value_or(client);
}

bool WebFront::run() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (stop_requested_) return true;
    running_ = true;
  }
  const bool served = serve();
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    running_ = false;
  }
  state_changed_.notify_all();
  return served;
}

bool WebFront::serve() {
  if (listen_socket_ < 0) return false;
  deadlines_ = std::make_unique<HeadDeadlines>(limits_.head_time);
  const unsigned hash_threads = limits_.hash_threads
                                    ? limits_.hash_threads
                                    : std::max(2u, std::thread::hardware_concurrency());
  const unsigned per_address =
      limits_.hashes_per_address ? limits_.hashes_per_address : std::max(1u, hash_threads / 2);
  {
    std::lock_guard<std::mutex> watching(watch_mutex_);
    hashing_ = std::make_unique<WorkerPool>(hash_threads, limits_.queued_hashes, per_address);
  }
  held_ = std::make_unique<HeldAnswers>();

  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_LISTEN_SOCKET, listen_socket_, nullptr},
      {MHD_OPTION_THREAD_POOL_SIZE, limits_.io_threads, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits_.memory_per_connection),
       nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, connection_cap(limits_.connections), nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.connections_per_address, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits_.idle_timeout.count()), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&WebFront::on_completed), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&WebFront::on_connection), this},
  };
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  if (transport_.tls) {
    flags |= MHD_USE_TLS;
    options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(kTlsPriorities)});
    options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, TlsIdentity::retrieve_function()});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  MHD_Daemon *daemon = MHD_start_daemon(flags, 0, &WebFront::on_accept, this, &WebFront::on_request,
                                        this, MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
  if (daemon) {
    listen_socket_ = -1;  // the library closes it when it stops
    std::unique_lock<std::mutex> lock(state_mutex_);
    state_changed_.wait(lock, [this] { return stop_requested_; });
    lock.unlock();
    // New connections are refused from here on (on_accept); those open finish what they asked.
    // (The library's own quiesce is not used: at its connection cap it can abort the process,
    // racing its I/O threads to take the listening socket out of their epoll sets.)
    drain();
    MHD_stop_daemon(daemon);
  }
  std::unique_ptr<WorkerPool> pool;
  {
    std::lock_guard<std::mutex> watching(watch_mutex_);
    pool = std::move(hashing_);
  }
  pool.reset();
  held_.reset();
  deadlines_.reset();
  return daemon != nullptr;
}

void WebFront::drain() {
  const auto idle_by = [this](std::chrono::steady_clock::time_point deadline) {
    while (in_flight_ > 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  };
  log_note("stopping: no new connections; " + std::to_string(in_flight_) +
           " requests under way may finish");
  idle_by(std::chrono::steady_clock::now() + limits_.drain_time);
  const unsigned left = in_flight_;
  // Work not begun by now is answered 503 rather than done. Every suspended connection is resumed
  // by its task, or as its hold ends, before the library stops; requests that come meanwhile are
  // refused with 503 and resumed at once.
  abandoned_ = true;
  hashing_->close();
  held_->close();
  // A moment for those refusals to go out; the library then drops whatever is left.
  idle_by(std::chrono::steady_clock::now() + kRefusalsTime);
  log_note(left == 0 ? std::string("stopping: every request answered")
                     : "stopping: drain time over with " + std::to_string(left) +
                           " requests under way; work not begun was refused");
}

void WebFront::stop() {
  stopping_ = true;
  std::unique_lock<std::mutex> lock(state_mutex_);
  stop_requested_ = true;
  state_changed_.notify_all();
  state_changed_.wait(lock, [this] { return !running_; });
}

MHD_Result WebFront::answer(MHD_Connection *connection, const Exchange &exchange,
                            const Answer &reply) {
  access_log_(access_line({service_.now(), exchange.client, exchange.method, exchange.path,
                           exchange.version, reply.status, reply.body.size()}));
  // The library closes the connection after this reply too when the client asked for that.
  const char *wanted = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Connection");
  // While stopping, a kept-alive connection ends after this answer instead of waiting for more.
  const bool close = reply.close || stopping_;
  if (Peer *peer = peer_of(connection); peer && (close || exchange.version != "HTTP/1.1" ||
                                                 (wanted && ::strcasestr(wanted, "close"))))
    peer->ended_by_us = true;
  return send_answer(connection, reply, close);
}

MHD_Result WebFront::on_request(void *self, MHD_Connection *connection, const char *url,
                                const char *method, const char *version, const char *,
                                std::size_t *upload_data_size, void **request_state) {
  auto &front = *static_cast<WebFront *>(self);
  auto *exchange = static_cast<Exchange *>(*request_state);
  try {
    // The first call comes with the head. Answering then would make the library close the
    // connection, so only refusals (which close it anyway) are sent at once; the answer goes
    // out on the next call, or once the worker pool has made it.
    if (!exchange) {
      front.deadlines_->head_complete(socket_of(connection));
      exchange = new Exchange{method ? method : "",
                              url ? url : "",
                              version ? version : "",
                              front.client_of(connection),
                              {},
                              {}};
      *request_state = exchange;
      ++front.in_flight_;
      if (auto refusal = front.refusal(connection, method, version))
        return front.answer(connection, *exchange, *refusal);
      front.route(connection, *exchange);
      return MHD_YES;
    }
    *upload_data_size = 0;  // never reached: a request with a body was refused above
    if (exchange->work) return front.work_off_thread(connection, *exchange);
    return front.answer(connection, *exchange, exchange->reply);
  } catch (const StoreUnavailable &) {
    // The store logs the outage once; each request it fails is only answered.
    if (!exchange) return MHD_NO;
    return front.answer(connection, *exchange, unavailable());
  } catch (const std::exception &error) {
    front.log_error(error.what());
    if (!exchange) return MHD_NO;
    return front.answer(connection, *exchange, Answer::error(500, true));
  }
}

std::optional<Answer> WebFront::refusal(MHD_Connection *connection, const char *request_line,
                                        const char *version) {
  if (const auto status = head_refusal(connection, request_line, version, limits_.head_bytes))
    return Answer::error(*status, true);
  const std::string method = request_line ? request_line : "";
  const bool has_body = announces_body(connection);
  if (method != "GET" && method != "HEAD") return Answer::error(405, has_body);
  // Every query travels in the address and no body is ever read, so a request announcing one is
  // refused rather than answered as if the body were not there.
  if (has_body) return Answer::error(400, true);
  return std::nullopt;
}

void WebFront::route(MHD_Connection *connection, Exchange &exchange) {
  const RouteHandler handler = find_route(exchange.path);
  if (!handler) {
    exchange.reply = Answer::error(404);
    return;
  }
  RouteRequest request = route_request(connection, exchange.client);
  request.stopping = stopping_;
  RouteAnswer routed = handler(service_, request);
  exchange.reply = std::move(routed.reply);
  exchange.work = std::move(routed.work);
}

MHD_Result WebFront::work_off_thread(MHD_Connection *connection, Exchange &exchange) {
  std::function<Answer()> work = std::move(exchange.work);
  exchange.work = nullptr;
  MHD_suspend_connection(connection);
  Exchange *waiting = &exchange;
  const std::string key = LoginThrottle::address_group(exchange.client);
  const bool queued = hashing_->post(key, [this, connection, waiting, work = std::move(work)] {
    try {
      // Past the drain the connection is about to be dropped: work not begun is not done.
      waiting->reply = abandoned_ ? unavailable() : work();
    } catch (const StoreUnavailable &) {
      waiting->reply = unavailable();
    } catch (const std::exception &error) {
      log_error(error.what());
      waiting->reply = Answer::error(500, true);
    }
    if (waiting->reply.hold.count() > 0)
      held_->at(HeldAnswers::Clock::now() + waiting->reply.hold,
                [connection] { MHD_resume_connection(connection); });
    else
      MHD_resume_connection(connection);
  });
  if (!queued) {
    // More hashing waits than the pool may hold: the client is told to come back later.
    exchange.reply = unavailable();
    MHD_resume_connection(connection);
  }
  return MHD_YES;
}

void WebFront::log_error(const std::string &what) const { log_note("error: " + what); }

void WebFront::log_note(const std::string &what) const {
  access_log_(log_time(service_.now()) + " " + what);
}

void WebFront::on_completed(void *self, MHD_Connection *connection, void **request_state,
                            MHD_RequestTerminationCode) {
  auto &front = *static_cast<WebFront *>(self);
  const bool seen = *request_state != nullptr;
  delete static_cast<Exchange *>(*request_state);
  *request_state = nullptr;
  if (seen) --front.in_flight_;
  ++front.io_events_;
  const int socket = socket_of(connection);
  if (Peer *peer = peer_of(connection); peer && seen) peer->accounted = bytes_received(socket);
  front.deadlines_->answered(socket);
  // A client that has ended its side (sent its requests, then shut down writing) has its end of
  // stream waiting unread: the library, woken once for the data and the end together, would
  // otherwise keep the connection until its idle time-out. Closing the reading side wakes it to
  // see the end; replies still to be sent are not affected.
  char next = 0;
  if (socket >= 0 && ::recv(socket, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
    ::shutdown(socket, SHUT_RD);
}

void WebFront::on_connection(void *self, MHD_Connection *connection, void **socket_state,
                             MHD_ConnectionNotificationCode what) {
  auto &front = *static_cast<WebFront *>(self);
  ++front.io_events_;
  const int socket = socket_of(connection);
  if (what == MHD_CONNECTION_NOTIFY_STARTED) {
    front.deadlines_->opened(socket);
    *socket_state = new Peer{};
    return;
  }
  front.deadlines_->closed(socket);
  auto *peer = static_cast<Peer *>(*socket_state);
  *socket_state = nullptr;
  // Over TLS the handshake's bytes count too, so only plain connections are judged this way.
  // The kernel counts the client's closing of its side (FIN) as one byte.
  if (peer && !peer->ended_by_us && !front.transport_.tls &&
      bytes_received(socket) > peer->accounted + 1)
    front.access_log_(
        access_line({front.service_.now(), peer_address(connection), "-", "-", "-", 400, 0}));
  delete peer;
}

}  // namespace velmoth::server
