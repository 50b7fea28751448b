// The front's listening socket: binding it, what it accepts, and the watchdog's check of it.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "http/client_address.h"
#include "http/web_front.h"

namespace velmoth::server {
namespace {

constexpr int kListenBacklog = 1024;

// Where to connect to reach a socket bound to bound: the loopback address of its family when it
// was bound to every address, else that very address.
sockaddr_storage reachable(const sockaddr_storage &bound) {
  sockaddr_storage target = bound;
  if (target.ss_family == AF_INET) {
    auto &v4 = reinterpret_cast<sockaddr_in &>(target);
    if (v4.sin_addr.s_addr == htonl(INADDR_ANY)) v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (target.ss_family == AF_INET6) {
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(target);
    if (IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr)) v6.sin6_addr = in6addr_loopback;
  }
  return target;
}

bool same_endpoint(const sockaddr_storage &a, const sockaddr *b, socklen_t size) {
  if (a.ss_family != b->sa_family) return false;
  if (a.ss_family == AF_INET && size >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto &x = reinterpret_cast<const sockaddr_in &>(a);
    const auto *y = reinterpret_cast<const sockaddr_in *>(b);
    return x.sin_port == y->sin_port && x.sin_addr.s_addr == y->sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6 && size >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
    const auto *y = reinterpret_cast<const sockaddr_in6 *>(b);
    return x.sin6_port == y->sin6_port &&
           std::memcmp(&x.sin6_addr, &y->sin6_addr, sizeof x.sin6_addr) == 0;
  }
  return false;
}

}  // namespace

std::optional<int> WebFront::bind(const std::string &host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
    return std::nullopt;
  for (addrinfo *candidate = found; candidate; candidate = candidate->ai_next) {
    const int sock = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, 0);
    if (sock < 0) continue;
    // SO_REUSEADDR lets a restart bind while old connections linger in TIME_WAIT. SO_REUSEPORT
    // is left off: it would let a second server take part of this one's connections.
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(sock, candidate->ai_addr, candidate->ai_addrlen) == 0 &&
        ::listen(sock, kListenBacklog) == 0) {
      sockaddr_storage bound{};
      socklen_t size = sizeof bound;
      ::getsockname(sock, reinterpret_cast<sockaddr *>(&bound), &size);
      const int bound_port =
          ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
      freeaddrinfo(found);
      if (listen_socket_ >= 0) ::close(listen_socket_);
      listen_socket_ = sock;
      bound_ = bound;
      return bound_port;
    }
    ::close(sock);
  }
  freeaddrinfo(found);
  return std::nullopt;
}

bool WebFront::bound_to_loopback() const {
  sockaddr_storage bound{};
  socklen_t size = sizeof bound;
  return listen_socket_ >= 0 &&
         ::getsockname(listen_socket_, reinterpret_cast<sockaddr *>(&bound), &size) == 0 &&
         is_loopback(bound);
}

MHD_Result WebFront::on_accept(void *self, const sockaddr *address, socklen_t size) {
  auto &front = *static_cast<WebFront *>(self);
  ++front.io_events_;
  {
    std::lock_guard<std::mutex> lock(front.probe_mutex_);
    if (front.probe_from_ && same_endpoint(*front.probe_from_, address, size)) {
      // Taken by an I/O thread, which is all the probe asks; refused, it never becomes a
      // connection, so it is in no log, count or limit.
      front.probe_seen_ = true;
      front.probe_came_.notify_all();
      return MHD_NO;
    }
  }
  return front.stopping_ ? MHD_NO : MHD_YES;
}

bool WebFront::responsive(std::chrono::milliseconds wait) {
  std::lock_guard<std::mutex> watching(watch_mutex_);
  if (!io_loop_turns(wait)) return false;
  return !hashing_ || hashing_->making_progress();
}

bool WebFront::io_loop_turns(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const std::uint64_t events_before = io_events_;
  const sockaddr_storage target = reachable(bound_);
  const int probe = ::socket(target.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  // The connection may wait in the listen queue (a full one under a flood); the probe then
  // passes on the other connections the I/O threads take or end meanwhile.
  const socklen_t target_size =
      target.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  // Bound before it connects, so its address is known before an I/O thread can accept it.
  sockaddr_storage own = target;
  if (own.ss_family == AF_INET6)
    reinterpret_cast<sockaddr_in6 &>(own).sin6_port = 0;
  else
    reinterpret_cast<sockaddr_in &>(own).sin_port = 0;
  socklen_t own_size = sizeof own;
  bool seen = false;
  if (::bind(probe, reinterpret_cast<const sockaddr *>(&own), target_size) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr *>(&own), &own_size) == 0) {
    std::unique_lock<std::mutex> lock(probe_mutex_);
    probe_from_ = own;
    probe_seen_ = false;
    lock.unlock();
    const bool connecting =
        ::connect(probe, reinterpret_cast<const sockaddr *>(&target), target_size) == 0 ||
        errno == EINPROGRESS;
    lock.lock();
    seen = connecting && probe_came_.wait_until(lock, deadline, [this] { return probe_seen_; });
    probe_from_.reset();
  }
  ::close(probe);
  return seen || io_events_ != events_before;
}

}  // namespace velmoth::server
