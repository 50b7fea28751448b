// Head deadlines: armed per connection, checked every quarter second, sockets shut down when due.
#include "http/head_deadlines.h"

#include <sys/socket.h>

namespace velmoth::server {
namespace {

constexpr std::chrono::milliseconds kCheckEvery{250};

}  // namespace

HeadDeadlines::HeadDeadlines(std::chrono::milliseconds allowed)
    : allowed_(allowed), watcher_([this] { watch(); }) {}

HeadDeadlines::~HeadDeadlines() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopping_.notify_all();
  watcher_.join();
}

void HeadDeadlines::arm(int socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  deadlines_[socket] = Clock::now() + allowed_;
}

void HeadDeadlines::head_complete(int socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  deadlines_.erase(socket);
}

void HeadDeadlines::closed(int socket) {
  std::lock_guard<std::mutex> lock(mutex_);
  deadlines_.erase(socket);
}

void HeadDeadlines::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_.wait_for(lock, kCheckEvery, [this] { return stop_; })) {
    const Clock::time_point now = Clock::now();
    // Shut down under the lock: closed() cannot run meanwhile, so the descriptor is still the
    // connection's. A client that has ended its side before finishing its head (the end of
    // stream waits unread) will never finish it either.
    for (auto it = deadlines_.begin(); it != deadlines_.end();) {
      char next = 0;
      if (it->second <= now || ::recv(it->first, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        ::shutdown(it->first, SHUT_RDWR);
        it = deadlines_.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace velmoth::server
