// The worker pool: tasks run in order on a fixed set of threads.
#include "http/worker_pool.h"

#include <algorithm>

namespace velmoth::server {

WorkerPool::WorkerPool(unsigned threads, std::size_t max_queued) : max_queued_(max_queued) {
  for (unsigned i = 0; i < std::max(1u, threads); ++i) threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  queued_.notify_all();
  for (std::thread &thread : threads_) thread.join();
}

bool WorkerPool::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || tasks_.size() >= max_queued_) return false;
    tasks_.push_back(std::move(task));
  }
  queued_.notify_one();
  return true;
}

void WorkerPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      queued_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

}  // namespace velmoth::server
