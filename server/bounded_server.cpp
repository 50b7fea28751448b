#include "bounded_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace velmoth::server {
namespace {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// After a refusal, what the client still sends is read and dropped for this long (or this many
// bytes): closing with unread input would reset the connection and could destroy the reply
// before the client reads it.
constexpr milliseconds kDrainTime{1000};
// A request's line and headers must arrive within this time in all, however steadily they
// trickle: otherwise a few clients sending a byte now and then would hold every worker.
constexpr milliseconds kHeadTime{10'000};
constexpr std::size_t kDrainBytes = 1024 * 1024;
constexpr milliseconds kStopCheckInterval{50};

milliseconds to_ms(time_t seconds, time_t microseconds) {
  return std::chrono::duration_cast<milliseconds>(std::chrono::seconds(seconds) +
                                                  std::chrono::microseconds(microseconds));
}

// Whether the socket becomes ready for events (or hangs up, which a read then reports) in time.
bool wait_for(socket_t sock, short events, milliseconds timeout) {
  pollfd fd{sock, events, 0};
  int rc;
  do {
    rc = ::poll(&fd, 1, static_cast<int>(timeout.count()));
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void address_of(socket_t sock, bool peer, std::string &ip, int &port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  auto *raw = reinterpret_cast<sockaddr *>(&address);
  if ((peer ? ::getpeername(sock, raw, &length) : ::getsockname(sock, raw, &length)) != 0) return;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(raw, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host;
  port = std::atoi(service);
}

// A connection's socket as the library's Stream: buffered reads with a time-out, writes with a
// time-out, and a byte budget for each request's line and headers.
class HeadCappedStream final : public httplib::Stream {
 public:
  HeadCappedStream(socket_t sock, milliseconds read_timeout, milliseconds write_timeout,
                   std::size_t max_head_bytes)
      : sock_(sock),
        read_timeout_(read_timeout),
        write_timeout_(write_timeout),
        max_head_bytes_(max_head_bytes) {}

  void start_request() {
    in_head_ = true;
    head_deadline_ = SteadyClock::now() + kHeadTime;
    head_bytes_ = 0;
    cut_off_ = false;
  }
  void end_head() { in_head_ = false; }
  // Whether the current request got past its headers to routing.
  bool head_ended() const { return !in_head_; }
  bool cut_off() const { return cut_off_; }

  // Waits, up to idle, for the next request; gives up early once stopping() says so.
  template <typename Stopping>
  bool wait_for_request(milliseconds idle, Stopping stopping) const {
    if (next_ < filled_) return true;
    const auto deadline = SteadyClock::now() + idle;
    while (!stopping()) {
      if (wait_for(sock_, POLLIN, std::min(idle, kStopCheckInterval))) return true;
      if (SteadyClock::now() >= deadline) return false;
    }
    return false;
  }

  // Reads and drops whatever the client keeps sending, within the drain limits.
  void drain() {
    const auto deadline = SteadyClock::now() + kDrainTime;
    for (std::size_t dropped = 0; dropped < kDrainBytes;) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - SteadyClock::now());
      if (left.count() <= 0 || !wait_for(sock_, POLLIN, left)) return;
      const ssize_t n = ::recv(sock_, buffer_.data(), buffer_.size(), 0);
      if (n <= 0) return;
      dropped += static_cast<std::size_t>(n);
    }
  }

  bool is_readable() const override {
    return next_ < filled_ || wait_for(sock_, POLLIN, read_timeout_);
  }
  bool is_writable() const override { return wait_for(sock_, POLLOUT, write_timeout_); }

  ssize_t read(char *ptr, size_t size) override {
    if (in_head_) {
      if (head_bytes_ >= max_head_bytes_) {
        cut_off_ = true;
        return -1;
      }
      size = std::min(size, max_head_bytes_ - head_bytes_);
    }
    if (next_ == filled_) {
      milliseconds wait = read_timeout_;
      if (in_head_) {
        const auto left =
            std::chrono::duration_cast<milliseconds>(head_deadline_ - SteadyClock::now());
        if (left.count() <= 0) return -1;
        wait = std::min(wait, left);
      }
      if (!wait_for(sock_, POLLIN, wait)) return -1;
      ssize_t n;
      do {
        n = ::recv(sock_, buffer_.data(), buffer_.size(), 0);
      } while (n < 0 && errno == EINTR);
      if (n <= 0) return n;
      next_ = 0;
      filled_ = static_cast<std::size_t>(n);
    }
    const std::size_t count = std::min(size, filled_ - next_);
    std::memcpy(ptr, buffer_.data() + next_, count);
    next_ += count;
    if (in_head_) head_bytes_ += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char *ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do {
      n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string &ip, int &port) const override {
    address_of(sock_, true, ip, port);
  }
  void get_local_ip_and_port(std::string &ip, int &port) const override {
    address_of(sock_, false, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  socket_t sock_;
  milliseconds read_timeout_;
  milliseconds write_timeout_;
  std::size_t max_head_bytes_;
  std::array<char, 4096> buffer_{};
  std::size_t next_ = 0;
  std::size_t filled_ = 0;
  bool in_head_ = false;
  SteadyClock::time_point head_deadline_{};
  std::size_t head_bytes_ = 0;
  bool cut_off_ = false;
};

bool write_all(httplib::Stream &stream, const std::string &data) {
  for (std::size_t sent = 0; sent < data.size();) {
    const ssize_t n = stream.write(data.data() + sent, data.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool frames_body(const httplib::Request &request) {
  if (request.has_header("Transfer-Encoding")) return true;
  const std::size_t lengths = request.get_header_value_count("Content-Length");
  return lengths > 1 || (lengths == 1 && request.get_header_value("Content-Length") != "0");
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  // A reply leaves in more than one send (head, then body). Under Nagle's algorithm the body
  // would wait until the client acknowledges the head, and clients delay that acknowledgement
  // (40 ms on Linux): every request on a kept-alive connection would take 40 ms.
  const int no_delay = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
  HeadCappedStream stream(sock, to_ms(read_timeout_sec_, read_timeout_usec_),
                          to_ms(write_timeout_sec_, write_timeout_usec_), max_head_bytes_);
  const auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
  bool ok = false;
  for (std::size_t left = keep_alive_max_count_;
       left > 0 && stream.wait_for_request(milliseconds(keep_alive_timeout_sec_ * 1000), stopping);
       --left) {
    bool connection_closed = false;
    bool body_framed = false;
    stream.start_request();
    ok = process_request(stream, left == 1, connection_closed, [&](httplib::Request &request) {
      stream.end_head();
      if (frames_body(request)) {
        body_framed = true;
        request.headers.erase("Connection");
        request.set_header("Connection", "close");
      }
    });
    // Cut off in the headers, the library has answered 400 itself; cut off in the request
    // line, it gives up without an answer, so the refusal is sent here.
    if (!ok && stream.cut_off()) {
      const std::string body = refusal_page ? refusal_page(414) : std::string();
      write_all(stream,
                "HTTP/1.1 414 URI Too Long\r\nContent-Type: text/html; charset=utf-8"
                "\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
      if (on_refused) on_refused(414);
    }
    // A request refused before routing (by this cap, or by the library as 400 or 414) leaves
    // the rest of its head unread, and one that framed a body leaves the body unread, so
    // nothing after it on this connection can be trusted to start a request: the connection
    // ends.
    if (!stream.head_ended() || body_framed) {
      ::shutdown(sock, SHUT_WR);
      stream.drain();
      break;
    }
    if (!ok || connection_closed) break;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ok;
}

}  // namespace velmoth::server
