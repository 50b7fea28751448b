// The reference service as a client on the network meets it: each input is sent as raw bytes
// over a fresh loopback connection to the whole service (libmicrohttpd's parsing and limits, our
// own head checks, the routes, the worker pool that hashes passwords, query and cookie
// handling, account names and field rules, the login throttle, the database and the access
// log), then the answer is read to the end. The request head, query string and cookies are
// split and percent-decoded by the HTTP library; everything after that is ours.
//
// Checked on every request: each access-log line is printable ASCII (request text is escaped
// before it is logged), whatever comes back starts with an HTTP status line, no request ends
// in an internal error (500), and a plain GET head holding a folded header line or a blank
// before a colon is refused with 400.
//
// Two words in the input stand for what a short input cannot hold: "@session@" becomes a live
// session token of the demo account, so the logged-in account page is reachable, and "@filler@"
// becomes 4 KiB of letters, so a few of them make a line too long for the library or a head past
// the service's cap.
//
// The same bytes also go straight through the field rules and the HTML escaping: the UTF-8
// reading must agree with Qt's decoder, and escaped text must hold no markup characters and
// unescape to the original.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "accounts/account_names.h"
#include "accounts/service.h"
#include "base/text_rules.h"
#include "cli/store_location.h"
#include "http/web_front.h"

namespace {

using namespace velmoth::server;

constexpr std::string_view kSessionWord = "@session@";
constexpr std::string_view kFillerWord = "@filler@";
constexpr std::size_t kFillerBytes = 4096;

[[noreturn]] void fail(const char *what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_request: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void check_log_line(const std::string &line) {
  for (const char c : line) {
    if (c < 0x20 || c > 0x7e) fail("unescaped byte in an access-log line", line);
  }
}

// Connects sock to address; a connect() interrupted by a signal goes on in the background and is
// waited for.
void connect_to(int sock, const sockaddr_in &address) {
  if (::connect(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) return;
  if (errno != EINTR) fail("cannot connect to the service", std::strerror(errno));
  pollfd ready{sock, POLLOUT, 0};
  while (::poll(&ready, 1, -1) < 0) {
    if (errno != EINTR) fail("cannot wait for the connection", std::strerror(errno));
  }
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
    fail("cannot connect to the service", std::strerror(error));
}

// The service with its demo account, served on a free loopback port from a database in a
// fresh temporary folder for as long as the process runs.
class LoopbackService {
 public:
  LoopbackService() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmoth-fuzz-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) fail("cannot make a temporary folder", pattern);
    folder_ = pattern;
    service_ = std::make_unique<Service>(
        open_store((folder_ / "service.db").string(), standard_error_log()),
        ServiceOptions{HashCost::minimum()});
    if (!service_->ensure_demo_account()) fail("demo account cannot log in", "");
    const auto token = service_->log_in(Service::kDemoAccount, Service::kDemoPassword);
    if (!token) fail("demo account cannot log in", "");
    session_token_ = *token;
    front_ = std::make_unique<WebFront>(*service_, check_log_line);
    const auto port = front_->bind("127.0.0.1", 0);
    if (!port) fail("no free loopback port", "");
    port_ = *port;
    // libFuzzer's time-out alarm and stop signals go to the fuzzing thread only, as the real
    // program keeps its signals away from the serving threads, so none of them interrupts a
    // system call of the service. The worker threads inherit the mask.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int number : {SIGALRM, SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
      sigaddset(&blocked, number);
    thread_ = std::thread([this, blocked] {
      pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
      front_->run();
    });
  }

  ~LoopbackService() {
    front_->stop();
    thread_.join();
    front_.reset();
    service_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  LoopbackService(const LoopbackService &) = delete;
  LoopbackService &operator=(const LoopbackService &) = delete;

  const std::string &session_token() const { return session_token_; }

  // Sends request on a new connection, ends the sending side and returns all that comes back.
  std::string exchange(const std::string &request) const {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0) fail("cannot make a socket", std::strerror(errno));
    // Closing with a reset leaves no TIME_WAIT behind, so millions of connections do not run
    // out of local ports.
    const linger reset{1, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect_to(sock, address);
    for (std::size_t sent = 0; sent < request.size();) {
      const ssize_t n = ::send(sock, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the service may close as soon as it has refused the request
      sent += static_cast<std::size_t>(n);
    }
    ::shutdown(sock, SHUT_WR);
    std::string answer;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(sock);
    return answer;
  }

 private:
  std::filesystem::path folder_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<WebFront> front_;
  std::string session_token_;
  int port_ = 0;
  std::thread thread_;
};

void replace_all(std::string &text, std::string_view word, const std::string &replacement) {
  for (std::size_t at = text.find(word); at != std::string::npos;
       at = text.find(word, at + replacement.size()))
    text.replace(at, word.size(), replacement);
}

// html_escape's output read back; nothing when it holds anything html_escape does not write.
std::optional<std::string> html_unescape(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kReferences[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '<' || c == '>' || c == '"' || c == '\'') return std::nullopt;
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    bool known = false;
    for (const auto &[reference, character] : kReferences) {
      if (text.substr(i, reference.size()) == reference) {
        out += character;
        i += reference.size();
        known = true;
        break;
      }
    }
    if (!known) return std::nullopt;
  }
  return out;
}

// Whether request is a short, plain GET head (CR LF line ends, no NUL) one of whose header lines
// is folded or has a blank before its colon: one the service must refuse with 400.
bool plainly_malformed_head(std::string_view request) {
  const std::size_t end = request.find("\r\n\r\n");
  if (end == std::string_view::npos || end > 4096 ||
      request.compare(0, 16, "GET / HTTP/1.1\r\n") != 0)
    return false;
  const std::string_view head = request.substr(0, end + 2);
  if (head.find('\0') != std::string_view::npos) return false;
  bool malformed = false;
  for (std::size_t at = head.find("\r\n") + 2; at < head.size();) {
    const std::size_t line_end = head.find("\r\n", at);
    const std::string_view line = head.substr(at, line_end - at);
    if (line.find('\r') != std::string_view::npos || line.find('\n') != std::string_view::npos)
      return false;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    if (line[0] == ' ' || line[0] == '\t' || line[colon - 1] == ' ' || line[colon - 1] == '\t')
      malformed = true;
    at = line_end + 2;
  }
  return malformed;
}

void check_text_rules(std::string_view text) {
  const QByteArrayView bytes(text.data(), static_cast<qsizetype>(text.size()));
  const auto length = utf8_length(text);
  if (length.has_value() != bytes.isValidUtf8())
    fail("UTF-8 validity differs from Qt's decoder", text);
  if (length && static_cast<qsizetype>(*length) != QString::fromUtf8(bytes).toUcs4().size())
    fail("code point count differs from Qt's decoder", text);
  if ((valid_account_name(text) || valid_password(text)) && !length)
    fail("a field rule lets malformed UTF-8 through", text);
  // An accepted name is stable: checked again, it is the same account.
  if (const auto name = account_name(text)) {
    const auto again = account_name(name->display);
    if (!again || again->key != name->key || again->display != name->display)
      fail("an account name changes when checked again", text);
  }

  const std::string escaped = html_escape(text);
  const auto unescaped = html_unescape(escaped);
  if (!unescaped || *unescaped != text) fail("HTML escaping is not reversible", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const LoopbackService service;
  const std::string_view input(reinterpret_cast<const char *>(data), size);

  check_text_rules(input);

  std::string request(input);
  replace_all(request, kSessionWord, service.session_token());
  replace_all(request, kFillerWord, std::string(kFillerBytes, 'a'));
  const std::string answer = service.exchange(request);
  if (!answer.empty() && answer.compare(0, 9, "HTTP/1.1 ") != 0)
    fail("answer does not start with a status line", answer);
  if (answer.find("HTTP/1.1 500 ") != std::string::npos)
    fail("request ended in an internal error", answer);
  if (plainly_malformed_head(request) && answer.compare(0, 13, "HTTP/1.1 400 ") != 0)
    fail("a malformed header line was not refused with 400", request);
  return 0;
}
