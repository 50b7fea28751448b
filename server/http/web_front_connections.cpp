// The front's connection notifications: deadlines, metrics, log lines for library refusals.
#include <sys/socket.h>

#include "http/access_log.h"
#include "http/client_address.h"
#include "http/front_metrics.h"
#include "http/web_front.h"

namespace velmoth::server {

WebFront::Peer *WebFront::peer_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<Peer *>(info->socket_context) : nullptr;
}

void *WebFront::on_request_line(void *, const char *, MHD_Connection *connection) {
  if (Peer *peer = peer_of(connection)) peer->line_unanswered = true;
  return nullptr;  // the request's state starts empty, as the first on_request() call expects
}

void WebFront::on_connection(void *self, MHD_Connection *connection, void **socket_state,
                             MHD_ConnectionNotificationCode what) {
  auto &front = *static_cast<WebFront *>(self);
  ++front.io_events_;
  const int socket = socket_of(connection);
  if (what == MHD_CONNECTION_NOTIFY_STARTED) {
    front.deadlines_->opened(socket);
    front_metrics().opened(connection, front.transport_.tls != nullptr);
    *socket_state = new Peer{};
    return;
  }
  front.deadlines_->closed(socket);
  front_metrics().closed(connection, front.transport_.tls != nullptr);
  auto *peer = static_cast<Peer *>(*socket_state);
  *socket_state = nullptr;
  // Over TLS the handshake's bytes count too, so a TLS connection is judged by a request line
  // left without its request instead. The kernel counts the client's closing of its side (FIN)
  // as one byte.
  if (peer && !peer->ended_by_us &&
      (front.transport_.tls ? peer->line_unanswered : bytes_received(socket) > peer->accounted + 1))
    front.access_log_(
        access_line({front.service_.now(), peer_address(connection), "-", "-", "-", 400, 0}));
  delete peer;
}

}  // namespace velmoth::server
