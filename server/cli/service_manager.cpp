// The service manager's notifications, through libsystemd's sd_notify.
#include "cli/service_manager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <ctime>
#include <utility>

namespace velmoth::server {

void notify_ready() { sd_notify(0, "READY=1"); }

void notify_reloading() {
  // systemd matches the reload to this message by the monotonic time it was sent.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                    static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
  sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

void notify_stopping() { sd_notify(0, "STOPPING=1"); }

Watchdog::Watchdog(std::function<bool()> healthy) {
  // WATCHDOG_USEC (and WATCHDOG_PID, when set, naming this process) give the interval.
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return;
  const auto period = std::chrono::microseconds(usec / 2);
  thread_ = std::thread([this, period, healthy = std::move(healthy)] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopped_.wait_for(lock, period, [this] { return stop_; })) {
      lock.unlock();
      if (healthy()) sd_notify(0, "WATCHDOG=1");
      lock.lock();
    }
  });
}

Watchdog::~Watchdog() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopped_.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace velmoth::server
