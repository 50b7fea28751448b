// A fixed time for each request head to arrive in full, enforced by a watcher thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace velmoth::server {

// Gives each request head a fixed time to arrive in full. The HTTP library's own time-out only
// counts silence, so a client sending a byte now and then could hold a connection for ever;
// here a watcher thread shuts down the socket of any connection whose head is still incomplete
// when its time is up, and the library then closes the connection as one the client ended.
//
// A deadline is armed when a connection opens and again when a request on it has been answered
// (the next head starts then); it is cleared once a head is complete. A connection whose client
// has ended its side while its head is incomplete is shut down at the next check.
class HeadDeadlines {
 public:
  using Clock = std::chrono::steady_clock;

  explicit HeadDeadlines(std::chrono::milliseconds allowed);
  ~HeadDeadlines();
  HeadDeadlines(const HeadDeadlines &) = delete;
  HeadDeadlines &operator=(const HeadDeadlines &) = delete;

  void opened(int socket) { arm(socket); }
  void answered(int socket) { arm(socket); }
  void head_complete(int socket);
  // Must be called before the socket is closed, so a reused descriptor is never shut down.
  void closed(int socket);

 private:
  void arm(int socket);
  void watch();

  std::chrono::milliseconds allowed_;
  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;
  std::unordered_map<int, Clock::time_point> deadlines_;
  std::thread watcher_;
};

}  // namespace velmoth::server
