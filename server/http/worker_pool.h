// A fixed set of threads with a bounded queue shared fairly between clients, for password hashing
// and store work off the I/O threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velmoth::server {

// A fixed set of threads that run queued tasks. Each task belongs to a client (its key): the
// clients with tasks waiting are served in turn, one task each, and no client has more than
// per_key tasks running at once, so a client that floods the pool delays another's task by about
// one task's time, not by its whole queue. The queue is bounded: post() refuses a task rather
// than let a burst of slow work (password hashing) pile up without limit.
class WorkerPool {
 public:
  WorkerPool(unsigned threads, std::size_t max_queued, unsigned per_key = 1);
  ~WorkerPool();  // close()

  // Runs the tasks already queued, then joins the threads; post() refuses from then on. The pool
  // stays usable as an object, so a request arriving meanwhile is refused rather than lost.
  void close();
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // false when the queue is full or the pool is shutting down; the task is then not run.
  bool post(const std::string &key, std::function<void()> task);

  // For the service manager's watchdog: false when tasks wait and none has finished since the
  // previous call, so every thread is stuck; an idle pool, or one that finishes tasks, is fine.
  bool making_progress();

 private:
  struct Client {
    std::deque<std::function<void()>> waiting;
    unsigned running = 0;
  };

  void work();
  // The first client in turn that may start a task, or turns_.end().
  std::deque<std::string>::iterator next_turn();

  std::size_t max_queued_;
  unsigned per_key_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<std::string, Client> clients_;
  std::deque<std::string> turns_;  // clients with tasks waiting, in the order they are served
  std::size_t queued_ = 0;
  std::uint64_t finished_ = 0;       // tasks run to their end
  std::uint64_t finished_seen_ = 0;  // finished_ at the previous making_progress()
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velmoth::server
