// What the front reads of a connection: its socket, the bytes it brought, where it comes from.
#pragma once

#include <microhttpd.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>

namespace velmoth::server {

// The connection's socket, or -1.
int socket_of(MHD_Connection *connection);
// Bytes the client has sent on socket so far, as the kernel counts them.
std::uint64_t bytes_received(int socket);
// The peer's address on connection as inet_ntop writes it; empty when it is not known.
std::string peer_address(MHD_Connection *connection);
// The address a proxy appended to X-Forwarded-For (the last in the last such header), written as
// inet_ntop writes it; nothing when there is none or it is no address.
std::optional<std::string> forwarded_client(MHD_Connection *connection);
// Whether address (IPv4 or IPv6) reaches this machine only.
bool is_loopback(const sockaddr_storage &address);

}  // namespace velmoth::server
