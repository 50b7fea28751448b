// The worker pool: clients' tasks served in turn on a fixed set of threads.
#include "http/worker_pool.h"

#include <algorithm>

namespace velmoth::server {

WorkerPool::WorkerPool(unsigned threads, std::size_t max_queued, unsigned per_key)
    : max_queued_(max_queued), per_key_(std::max(1u, per_key)) {
  for (unsigned i = 0; i < std::max(1u, threads); ++i) threads_.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool() { close(); }

void WorkerPool::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  for (std::thread &thread : threads_)
    if (thread.joinable()) thread.join();
}

bool WorkerPool::post(const std::string &key, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || queued_ >= max_queued_) return false;
    Client &client = clients_[key];
    if (client.waiting.empty()) turns_.push_back(key);
    client.waiting.push_back(std::move(task));
    ++queued_;
  }
  changed_.notify_one();
  return true;
}

bool WorkerPool::making_progress() {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool progressed = queued_ == 0 || finished_ != finished_seen_;
  finished_seen_ = finished_;
  return progressed;
}

std::deque<std::string>::iterator WorkerPool::next_turn() {
  return std::find_if(turns_.begin(), turns_.end(),
                      [this](const std::string &key) { return clients_[key].running < per_key_; });
}

void WorkerPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock,
                  [this] { return (closing_ && queued_ == 0) || next_turn() != turns_.end(); });
    const auto turn = next_turn();
    if (turn == turns_.end()) return;  // closing, and nothing is left to run
    const std::string key = *turn;
    turns_.erase(turn);
    Client &client = clients_[key];
    std::function<void()> task = std::move(client.waiting.front());
    client.waiting.pop_front();
    --queued_;
    ++client.running;
    if (!client.waiting.empty()) turns_.push_back(key);  // its next task waits for its next turn

    lock.unlock();
    task();
    lock.lock();
    ++finished_;

    Client &done = clients_[key];
    if (--done.running == 0 && done.waiting.empty()) clients_.erase(key);
    // The client may start another task now, and a closing pool may have run its last.
    changed_.notify_all();
  }
}

}  // namespace velmoth::server
