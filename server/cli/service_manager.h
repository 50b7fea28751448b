// Tells the service manager (systemd, Type=notify) when the service is ready, reloads or stops.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace velmoth::server {

// Each does nothing unless the process was started with NOTIFY_SOCKET in its environment.
// Listening, with the store open.
void notify_ready();
// A reload (SIGHUP) begins; notify_ready() follows when it is done.
void notify_reloading();
// A stop signal arrived; the service is shutting down.
void notify_stopping();

// Keeps the service manager's watchdog (WatchdogSec=) fed: every half of its interval, asks
// healthy() and sends WATCHDOG=1 only when it says yes, so a service whose threads hang is
// killed and restarted. Does nothing when the service manager set no watchdog for this process.
class Watchdog {
 public:
  explicit Watchdog(std::function<bool()> healthy);
  ~Watchdog();  // ends the checks
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velmoth::server
