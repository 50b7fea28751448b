// The timer thread that releases held answers.
#include "http/held_answers.h"

namespace velmoth::server {

HeldAnswers::HeldAnswers() : timer_([this] { watch(); }) {}

HeldAnswers::~HeldAnswers() { close(); }

void HeldAnswers::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  if (timer_.joinable()) timer_.join();
}

void HeldAnswers::at(Clock::time_point when, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_) {
      waiting_.emplace(when, std::move(task));
      changed_.notify_all();
      return;
    }
  }
  task();  // stopping: nothing is held any more
}

void HeldAnswers::watch() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (waiting_.empty()) {
      if (stop_) return;
      changed_.wait(lock);
      continue;
    }
    const auto first = waiting_.begin();
    if (!stop_ && Clock::now() < first->first) {
      changed_.wait_until(lock, first->first);
      continue;
    }
    std::function<void()> task = std::move(first->second);
    waiting_.erase(first);
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace velmoth::server
