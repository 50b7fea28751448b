// The service manager's notifications, through libsystemd's sd_notify.
#include "cli/service_manager.h"

#include <systemd/sd-daemon.h>

#include <ctime>

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

}  // namespace velmoth::server
