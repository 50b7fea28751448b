// A fixed set of threads with a bounded queue, for password hashing off the I/O threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace velmoth::server {

// A fixed set of threads that run queued tasks in order. The queue is bounded: post() refuses a
// task rather than let a burst of slow work (password hashing) pile up without limit.
class WorkerPool {
 public:
  WorkerPool(unsigned threads, std::size_t max_queued);
  ~WorkerPool();  // runs the tasks already queued, then joins the threads
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;

  // false when the queue is full or the pool is shutting down; the task is then not run.
  bool post(std::function<void()> task);

 private:
  void work();

  std::size_t max_queued_;
  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::function<void()>> tasks_;
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velmoth::server
