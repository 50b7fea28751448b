#pragma once

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts/service.h"
#include "http/web_front.h"

// Lets QCOMPARE show std::string values when they differ.
namespace QTest {
template <>
inline char *toString(const std::string &value) {
  return toPrettyCString(value.data(), static_cast<qsizetype>(value.size()));
}
}  // namespace QTest

namespace velmoth::server::testing {

// Every byte but the unreserved ones as %XX, as the client sends query values.
std::string percent_encode(const std::string &value);

// "path?k1=v1&k2=v2" with the values percent-encoded.
std::string address(const std::string &path,
                    const std::vector<std::pair<std::string, std::string>> &query);

struct Reply {
  int status = 0;  // 0 when the request failed
  std::string body;
  std::string content_type;
  std::string set_cookie;
  std::string cache_control;
};

// A client connection to the service on loopback, from the local address given (any 127.x.y.z
// works on Linux). Requests are sent byte for byte; each reply is read to the end of its body.
class ClientConnection {
 public:
  explicit ClientConnection(int port, const char *from = "127.0.0.1");
  ~ClientConnection();
  ClientConnection(const ClientConnection &) = delete;
  ClientConnection &operator=(const ClientConnection &) = delete;

  bool connected() const { return connected_; }
  // A reply with status 0 when the connection failed or closed first.
  Reply request(const std::string &method, const std::string &target,
                const std::string &cookie = {}, bool close = false);
  int socket() const { return socket_; }

 private:
  int socket_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

// One GET on a fresh connection from 127.0.0.1 or the local address given; target is sent byte
// for byte.
Reply get(int port, const std::string &target, const std::string &cookie = {},
          const char *from = "127.0.0.1");

// The samples of a scrape in the Prometheus text format, by name and labels as written
// (velmoth_logins_total{outcome="wrong"}); a sample missing from the scrape reads as 0.
std::map<std::string, double> metric_values(const std::string &scrape);

// A free loopback port, for a program that cannot report the one it picks.
int free_port();

// Raises this process's open-file limit to its hard limit, for tests that hold both ends of
// many connections; the limit now in force.
unsigned long raise_open_file_limit();

// Sends bytes over a raw connection as they are, then returns whatever the service answers
// until it closes the connection or stays silent for silence_seconds.
std::string send_raw(int port, const std::string &bytes, int silence_seconds = 3);

// Of what send_raw() got for one request: the body of a whole answer, "" when the connection
// closed without a byte, nothing when the answer was cut off.
std::optional<std::string> whole_body(const std::string &raw);

// The service with a movable clock and a captured access log, served on a free loopback port
// from a database in a temporary folder unless database_path is given. Hashing is as cheap as
// Argon2id allows unless hash_cost says otherwise; plain HTTP unless transport says otherwise;
// under the front's usual limits unless limits says otherwise.
class RunningService {
 public:
  explicit RunningService(const QString &database_path = {},
                          HashCost hash_cost = HashCost::minimum(), FrontTransport transport = {},
                          FrontLimits limits = {});
  ~RunningService();

  int port() const { return port_; }
  Service &service() { return *service_; }
  WebFront &front() { return *front_; }
  std::string database_path() const { return database_path_; }
  std::vector<std::string> log_lines() const;
  void advance_clock(std::chrono::seconds by) { clock_offset_ += by.count(); }

  Reply get(const std::string &target, const std::string &cookie = {}) const {
    return testing::get(port_, target, cookie);
  }
  // The answer of /login.asp to u and p sent from the local address given.
  std::string log_in_from(const char *from, const std::string &u, const std::string &p) const {
    return testing::get(port_, address("/login.asp", {{"u", u}, {"p", p}}), {}, from).body;
  }
  // A fresh card from the service.
  Card card() { return service_->add_cards(1).front(); }
  // Signs name up with password on a fresh card; whether the account was created.
  bool add_account(const std::string &name, const std::string &password) {
    const Card paid = card();
    return service_->sign_up({name, password, "12345", paid.number, paid.password}) ==
           SignupResult::Created;
  }

 private:
  QTemporaryDir dir_;
  std::string database_path_;
  std::atomic<long long> clock_offset_{0};
  mutable std::mutex log_mutex_;
  std::vector<std::string> log_;
  std::unique_ptr<Service> service_;
  std::unique_ptr<WebFront> front_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace velmoth::server::testing
