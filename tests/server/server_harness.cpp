#include "server_harness.h"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <stdexcept>

namespace velmoth::server::testing {

std::string percent_encode(const std::string &value) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0f];
    }
  }
  return out;
}

std::string address(const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &query) {
  std::string out = path;
  char separator = '?';
  for (const auto &[key, value] : query) {
    out += separator + key + "=" + percent_encode(value);
    separator = '&';
  }
  return out;
}

Reply get(int port, const std::string &target, const std::string &cookie) {
  httplib::Client client("127.0.0.1", port);
  client.set_url_encode(false);
  client.set_read_timeout(30);
  httplib::Headers headers;
  if (!cookie.empty()) headers.emplace("Cookie", cookie);
  const auto result = client.Get(target.c_str(), headers);
  if (!result) return {};
  return {result->status, result->body, result->get_header_value("Content-Type"),
          result->get_header_value("Set-Cookie")};
}

std::string send_raw(int port, const std::string &bytes) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval timeout{3, 0};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::string answer;
  if (::connect(sock, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(sock, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buffer[4096];
    for (ssize_t n; (n = ::recv(sock, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  }
  ::close(sock);
  return answer;
}

RunningService::RunningService(const QString &database_path, HashCost hash_cost) {
  database_path_ =
      (database_path.isEmpty() ? dir_.filePath("service.db") : database_path).toStdString();
  ServiceOptions options{database_path_, hash_cost};
  options.clock = [this] {
    return std::chrono::system_clock::now() + std::chrono::seconds(clock_offset_.load());
  };
  service_ = std::make_unique<Service>(options);
  front_ = std::make_unique<WebFront>(*service_, [this](const std::string &line) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_.push_back(line);
  });
  const auto port = front_->bind("127.0.0.1", 0);
  if (!port) throw std::runtime_error("no free loopback port");
  port_ = *port;
  thread_ = std::thread([this] { front_->run(); });
}

RunningService::~RunningService() {
  front_->stop();
  thread_.join();
}

std::vector<std::string> RunningService::log_lines() const {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return log_;
}

}  // namespace velmoth::server::testing
