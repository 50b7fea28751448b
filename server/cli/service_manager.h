// Tells the service manager (systemd, Type=notify) when the service is ready, reloads or stops.
#pragma once

namespace velmoth::server {

// Each does nothing unless the process was started with NOTIFY_SOCKET in its environment.
// Listening, with the store open.
void notify_ready();
// A reload (SIGHUP) begins; notify_ready() follows when it is done.
void notify_reloading();
// A stop signal arrived; the service is shutting down.
void notify_stopping();

}  // namespace velmoth::server
