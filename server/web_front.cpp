#include "web_front.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "pages.h"
#include "text_rules.h"

namespace velmoth::server {
namespace {

constexpr const char *kHtml = "text/html; charset=utf-8";
constexpr const char *kSessionCookie = "velmoth_session";

// Request limits. The request line (method, address, version) is capped at 8 KiB and each header
// line at 8 KiB by the HTTP library itself (CPPHTTPLIB_REQUEST_URI_MAX_LENGTH and
// CPPHTTPLIB_HEADER_MAX_LENGTH, fixed when libcpp-httplib was built); longer ones get 414 / 400.
// The line and all headers together may not exceed kMaxHeadBytes (414 or 400, see BoundedServer).
constexpr std::size_t kMaxHeadBytes = 32 * 1024;
// Requests with a body are refused before any body is read; should a route ever read one, it
// is capped all the same (413).
constexpr std::size_t kMaxBodyBytes = 8 * 1024;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
constexpr time_t kKeepAliveSeconds = 5;
constexpr std::size_t kKeepAliveRequests = 50;
constexpr std::size_t kWorkerThreads = 16;
constexpr std::size_t kMaxLoggedBytes = 200;
constexpr const char *kLogTime = "%Y-%m-%dT%H:%M:%SZ";

// Whether the query holds key exactly once; a repeated key is ambiguous and counts as invalid.
std::optional<std::string> single_param(const httplib::Request &request, const char *key) {
  if (request.get_param_value_count(key) != 1) return std::nullopt;
  return request.get_param_value(key);
}

void reply_code(httplib::Response &response, char code) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(std::string(1, code), kHtml);
}

// The value of the first session cookie in the request's Cookie headers.
std::string session_token(const httplib::Request &request) {
  const std::string prefix = std::string(kSessionCookie) + "=";
  const std::size_t headers = request.get_header_value_count("Cookie");
  for (std::size_t h = 0; h < headers; ++h) {
    const std::string line = request.get_header_value("Cookie", h);
    std::size_t start = 0;
    while (start <= line.size()) {
      std::size_t end = line.find(';', start);
      if (end == std::string::npos) end = line.size();
      std::size_t first = start;
      while (first < end && line[first] == ' ') ++first;
      if (line.compare(first, prefix.size(), prefix) == 0)
        return line.substr(first + prefix.size(), end - first - prefix.size());
      start = end + 1;
    }
  }
  return {};
}

// Text from the request as a log-safe token: bytes outside printable ASCII (blanks, line
// breaks, escape sequences, raw UTF-8) are written as \xNN, so a crafted request cannot forge
// or garble log lines.
std::string loggable(const std::string &text) {
  if (text.empty()) return "-";
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxLoggedBytes; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte > 0x20 && byte < 0x7f && byte != '\\') {
      out += static_cast<char>(byte);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    }
  }
  if (text.size() > kMaxLoggedBytes) out += "...";
  return out;
}

}  // namespace

LogSink standard_error_log() {
  return [](const std::string &line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  };
}

WebFront::WebFront(Service &service, LogSink access_log)
    : service_(service), access_log_(std::move(access_log)), http_(kMaxHeadBytes) {
  http_.refusal_page = error_page;
  http_.on_refused = [this](int status) {
    access_log_(utc_text(service_.now(), kLogTime) + " - - " + std::to_string(status));
  };
  // The library's default socket options set SO_REUSEPORT, which lets a second server bind a
  // port that is already in use and silently take part of its connections. Only SO_REUSEADDR
  // is wanted: a restart can bind again while old connections linger in TIME_WAIT.
  http_.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  http_.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  http_.set_read_timeout(kReadTimeoutSeconds);
  http_.set_write_timeout(kWriteTimeoutSeconds);
  http_.set_keep_alive_timeout(kKeepAliveSeconds);
  http_.set_keep_alive_max_count(kKeepAliveRequests);
  http_.set_payload_max_length(kMaxBodyBytes);
  install_routes();
}

void WebFront::install_routes() {
  http_.set_pre_routing_handler([](const httplib::Request &request, httplib::Response &response) {
    if (request.method != "GET" && request.method != "HEAD") {
      response.status = 405;
      response.set_header("Allow", "GET, HEAD");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Every query travels in the address and no body is ever read, so a request announcing one
    // is refused rather than answered as if the body were not there.
    if (frames_body(request)) {
      response.status = 400;
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  http_.Get("/", [](const httplib::Request &, httplib::Response &response) {
    response.set_content(home_page(), kHtml);
  });
  http_.Get("/buy\\.html", [](const httplib::Request &, httplib::Response &response) {
    response.set_content(buy_page(), kHtml);
  });

  http_.Get("/login\\.asp", [this](const httplib::Request &request, httplib::Response &response) {
    const auto account = single_param(request, "u");
    const auto password = single_param(request, "p");
    const auto token = account && password ? service_.log_in(*account, *password) : std::nullopt;
    if (token)
      response.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + *token +
                                            "; HttpOnly; Path=/; SameSite=Lax");
    reply_code(response, token ? '1' : '0');
  });

  http_.Get("/reg\\.asp", [this](const httplib::Request &request, httplib::Response &response) {
    const auto account = single_param(request, "u");
    const auto password = single_param(request, "p");
    const auto qq = single_param(request, "q");
    const auto card_number = single_param(request, "cn");
    const auto card_password = single_param(request, "cc");
    SignupResult result = SignupResult::Invalid;
    if (account && password && qq && card_number && card_password)
      result = service_.sign_up({*account, *password, *qq, *card_number, *card_password});
    reply_code(response, static_cast<char>(result));
  });

  http_.Get("/account\\.asp", [this](const httplib::Request &request, httplib::Response &response) {
    const auto account = service_.account_for_session(session_token(request));
    response.set_header("Cache-Control", "no-store");
    response.set_content(account ? account_page(*account) : not_logged_in_page(), kHtml);
  });

  http_.set_error_handler([](const httplib::Request &, httplib::Response &response) {
    if (response.body.empty()) response.set_content(error_page(response.status), kHtml);
  });

  http_.set_exception_handler([this](const httplib::Request &, httplib::Response &response,
                                     const std::exception_ptr &error) {
    std::string what = "unknown error";
    try {
      std::rethrow_exception(error);
    } catch (const std::exception &e) {
      what = e.what();
    } catch (...) {
    }
    access_log_(utc_text(service_.now(), kLogTime) + " error: " + what);
    response.status = 500;
    response.set_content(error_page(500), kHtml);
  });

  http_.set_logger([this](const httplib::Request &request, const httplib::Response &response) {
    log_request(request, response);
  });
}

namespace {

// Only standard method names are logged as sent, so that a made-up method such as "error:"
// cannot pass for one of the service's own lines.
std::string loggable_method(const std::string &method) {
  static const char *const known[] = {"GET",     "HEAD",  "POST",  "PUT",    "DELETE",
                                      "OPTIONS", "PATCH", "TRACE", "CONNECT"};
  for (const char *name : known)
    if (method == name) return method;
  return "-";
}

}  // namespace

void WebFront::log_request(const httplib::Request &request,
                           const httplib::Response &response) const {
  access_log_(utc_text(service_.now(), kLogTime) + " " + loggable_method(request.method) + " " +
              loggable(request.path) + " " + std::to_string(response.status));
}

std::optional<int> WebFront::bind(const std::string &host, int port) {
  if (port == 0) {
    const int bound = http_.bind_to_any_port(host);
    return bound > 0 ? std::optional<int>(bound) : std::nullopt;
  }
  return http_.bind_to_port(host, port) ? std::optional<int>(port) : std::nullopt;
}

bool WebFront::run() {
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (stop_requested_) return true;
    started_ = true;
  }
  const bool ok = http_.listen_after_bind();
  {
    std::lock_guard<std::mutex> lock(state_mutex_);
    finished_ = true;
  }
  finished_changed_.notify_all();
  return ok;
}

void WebFront::stop() {
  std::unique_lock<std::mutex> lock(state_mutex_);
  stop_requested_ = true;
  if (!started_) return;
  // The library ignores stop() until its accept loop has begun, so keep asking until it has.
  bool stop_sent = false;
  while (!finished_) {
    if (!stop_sent && http_.is_running()) {
      http_.stop();
      stop_sent = true;
    }
    finished_changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

}  // namespace velmoth::server
