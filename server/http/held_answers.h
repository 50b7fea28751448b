// Answers held back for a while on a timer thread, without holding a worker or an I/O thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace velmoth::server {

// Runs each task at its time on one timer thread. The front uses it to send a refused login's
// answer only when a checked one would have been ready, with the connection suspended until
// then. Tasks must be short (they resume a connection).
class HeldAnswers {
 public:
  using Clock = std::chrono::steady_clock;

  HeldAnswers();
  ~HeldAnswers();  // close()

  // Runs the tasks still waiting at once, so no connection stays suspended, and stops the timer;
  // a task given later runs at once.
  void close();
  HeldAnswers(const HeldAnswers &) = delete;
  HeldAnswers &operator=(const HeldAnswers &) = delete;

  void at(Clock::time_point when, std::function<void()> task);

 private:
  void watch();

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::multimap<Clock::time_point, std::function<void()>> waiting_;
  std::thread timer_;
};

}  // namespace velmoth::server
