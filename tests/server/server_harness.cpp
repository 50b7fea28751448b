#include "server_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpServer>
#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include "cli/store_location.h"

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

std::map<std::string, double> metric_values(const std::string &scrape) {
  std::map<std::string, double> values;
  std::istringstream lines(scrape);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    values[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return values;
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

ClientConnection::ClientConnection(int port, const char *from) {
  socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const timeval timeout{30, 0};
  ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from, &local.sin_addr);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connected_ = ::bind(socket_, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
               ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

ClientConnection::~ClientConnection() { ::close(socket_); }

namespace {

// The value of header name (matched without regard to case) in a reply head, or "".
std::string header_value(const std::string &head, const std::string &name) {
  std::size_t at = head.find("\r\n");
  while (at != std::string::npos && at + 2 < head.size()) {
    const std::size_t end = head.find("\r\n", at + 2);
    const std::string line = head.substr(at + 2, end - at - 2);
    const std::size_t colon = line.find(':');
    if (colon == name.size() &&
        std::equal(name.begin(), name.end(), line.begin(),
                   [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
      const std::size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    at = end;
  }
  return {};
}

}  // namespace

Reply ClientConnection::request(const std::string &method, const std::string &target,
                                const std::string &cookie, bool close) {
  if (!connected_) return {};
  std::string head = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!cookie.empty()) head += "Cookie: " + cookie + "\r\n";
  if (close) head += "Connection: close\r\n";
  head += "\r\n";
  if (::send(socket_, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size()))
    return {};
  const auto fill = [this] {
    char chunk[16384];
    const ssize_t n = ::recv(socket_, chunk, sizeof chunk, 0);
    if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
    return n > 0;
  };
  std::size_t head_end;
  while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return {};
  const std::string reply_head = buffer_.substr(0, head_end);
  const std::size_t length =
      method == "HEAD" ? 0 : std::stoul("0" + header_value(reply_head, "Content-Length"));
  while (buffer_.size() < head_end + 4 + length)
    if (!fill()) return {};
  Reply reply;
  if (reply_head.rfind("HTTP/1.1 ", 0) == 0) reply.status = std::stoi(reply_head.substr(9, 3));
  reply.body = buffer_.substr(head_end + 4, length);
  reply.content_type = header_value(reply_head, "Content-Type");
  reply.set_cookie = header_value(reply_head, "Set-Cookie");
  reply.cache_control = header_value(reply_head, "Cache-Control");
  buffer_.erase(0, head_end + 4 + length);
  return reply;
}

Reply get(int port, const std::string &target, const std::string &cookie, const char *from) {
  return ClientConnection(port, from).request("GET", target, cookie, true);
}

int free_port() {
  QTcpServer probe;
  return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

unsigned long raise_open_file_limit() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  ::getrlimit(RLIMIT_NOFILE, &files);
  return files.rlim_cur;
}

std::string send_raw(int port, const std::string &bytes, int silence_seconds) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval timeout{silence_seconds, 0};
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

std::optional<std::string> whole_body(const std::string &raw) {
  if (raw.empty()) return std::string();
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.1 ", 0) != 0 || head_end == std::string::npos) return std::nullopt;
  const std::string length = header_value(raw.substr(0, head_end), "Content-Length");
  if (length.empty() || raw.size() != head_end + 4 + std::stoul(length)) return std::nullopt;
  return raw.substr(head_end + 4);
}

RunningService::RunningService(const QString &database_path, HashCost hash_cost,
                               FrontTransport transport, FrontLimits limits) {
  database_path_ =
      (database_path.isEmpty() ? dir_.filePath("service.db") : database_path).toStdString();
  const LogSink to_log = [this](const std::string &line) {
    std::lock_guard<std::mutex> lock(log_mutex_);
    log_.push_back(line);
  };
  ServiceOptions options{hash_cost};
  options.clock = [this] {
    return std::chrono::system_clock::now() + std::chrono::seconds(clock_offset_.load());
  };
  service_ = std::make_unique<Service>(open_store(database_path_, to_log), options);
  front_ = std::make_unique<WebFront>(*service_, to_log, limits, std::move(transport));
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
