// What the front reads of a connection: its socket, the bytes it brought, where it comes from.
#include "http/client_address.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <string_view>

#include "base/text_rules.h"

namespace velmoth::server {
namespace {

MHD_Result collect_forwarded_for(void *last, MHD_ValueKind, const char *key, std::size_t key_size,
                                 const char *value, std::size_t value_size) {
  static constexpr std::string_view kName = "X-Forwarded-For";
  if (value && key_size == kName.size() && ::strncasecmp(key, kName.data(), kName.size()) == 0)
    *static_cast<std::string *>(last) = std::string(value, value_size);
  return MHD_YES;
}

}  // namespace

int socket_of(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  return info ? info->connect_fd : -1;
}

std::uint64_t bytes_received(int socket) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (socket < 0 || ::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return 0;
  return info.tcpi_bytes_received;
}

std::string peer_address(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (!info || !info->client_addr) return {};
  char text[INET6_ADDRSTRLEN] = {};
  const sockaddr *address = info->client_addr;
  if (address->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, text,
              sizeof text);
  else if (address->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, text,
              sizeof text);
  return text;
}

std::optional<std::string> forwarded_client(MHD_Connection *connection) {
  std::string header;
  MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &collect_forwarded_for, &header);
  const std::size_t comma = header.rfind(',');
  std::string last = header.substr(comma == std::string::npos ? 0 : comma + 1);
  last.erase(0, last.find_first_not_of(" \t"));
  last.erase(last.find_last_not_of(" \t") + 1);
  return canonical_address(last);
}

bool is_loopback(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET)
    return (ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr) >> 24) == 127;
  if (address.ss_family != AF_INET6) return false;
  const in6_addr &ip6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&ip6) || (IN6_IS_ADDR_V4MAPPED(&ip6) && ip6.s6_addr[12] == 127);
}

}  // namespace velmoth::server
