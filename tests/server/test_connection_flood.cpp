// Idle and slowly dripping connections cost the service memory, not workers: logins go on
// while hundreds of them are held open from other addresses, one address cannot hold more than
// its share, and a flood of failing logins cannot starve the owner's login of hashing time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtTest>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "server_harness.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;

namespace {

constexpr int kIdle = 500;
constexpr int kSlow = 50;
constexpr int kPerAddress = 125;  // of the idle ones; below the service's limit per address

std::string from_address(int n) { return "127.0.0." + std::to_string(2 + n); }

}  // namespace

class TestConnectionFlood : public QObject {
  Q_OBJECT

 private slots:
  // Both ends of every connection are in this process.
  void initTestCase() {
    if (raise_open_file_limit() < 2 * (kIdle + kSlow) + 200)
      QSKIP("the open-file limit is too low for the connections held here");
  }
  void logins_go_on_while_connections_are_held();
  void one_address_holds_no_more_than_its_share();
  void failing_logins_leave_hash_time_for_others();
  void descriptors_are_kept_back_at_the_cap();
};

void TestConnectionFlood::logins_go_on_while_connections_are_held() {
  RunningService server({}, HashCost::interactive());
  QVERIFY(server.add_account("flooded", "flood-password"));

  std::vector<std::unique_ptr<ClientConnection>> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(
        std::make_unique<ClientConnection>(server.port(), from_address(i / kPerAddress).c_str()));
    QVERIFY(idle.back()->connected());
  }
  // Slow clients send a request head a byte at a time, never finishing it, until the test ends.
  std::vector<std::unique_ptr<ClientConnection>> slow;
  slow.reserve(kSlow);
  for (int i = 0; i < kSlow; ++i)
    slow.push_back(std::make_unique<ClientConnection>(server.port(),
                                                      from_address(kIdle / kPerAddress).c_str()));
  std::atomic<bool> done{false};
  std::thread drip([&] {
    const std::string head = "GET / HTTP/1.1\r\nX-Slow: " + std::string(4000, 'a');
    for (std::size_t at = 0; !done && at < head.size(); ++at) {
      for (const auto &connection : slow)
        ::send(connection->socket(), &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  for (int n = 0; n < 10; ++n) {
    const auto start = std::chrono::steady_clock::now();
    QCOMPARE(server.log_in_from("127.0.0.1", "flooded", "flood-password"), std::string("1"));
    const auto took = std::chrono::steady_clock::now() - start;
    QVERIFY2(
        took < std::chrono::seconds(2),
        qPrintable(QString("login %1 took %2 ms")
                       .arg(n)
                       .arg(std::chrono::duration_cast<std::chrono::milliseconds>(took).count())));
  }
  // The held connections were still open while the logins ran.
  int open = 0;
  for (const auto &connection : idle) {
    pollfd closed{connection->socket(), POLLIN, 0};
    open += ::poll(&closed, 1, 0) == 0;
  }
  QVERIFY2(open == kIdle,
           qPrintable(QString("%1 of %2 idle connections open").arg(open).arg(kIdle)));
  done = true;
  drip.join();
}

// Connections beyond the limit per address are closed at once; other addresses are served.
void TestConnectionFlood::one_address_holds_no_more_than_its_share() {
  RunningService server;
  std::vector<std::unique_ptr<ClientConnection>> held;
  held.reserve(300);
  for (int i = 0; i < 300; ++i)
    held.push_back(std::make_unique<ClientConnection>(server.port(), "127.0.0.9"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int closed = 0;
  for (const auto &connection : held) {
    pollfd ended{connection->socket(), POLLIN, 0};
    closed += ::poll(&ended, 1, 0) == 1;
  }
  QVERIFY2(closed >= 300 - 256, qPrintable(QString("%1 of 300 closed").arg(closed)));
  QCOMPARE(server.get("/").status, 200);
}

// 300 wrong passwords sent at once from two addresses: the owner, from a third, is answered
// within about one hash time, not after the flood has been hashed.
void TestConnectionFlood::failing_logins_leave_hash_time_for_others() {
  RunningService server({}, HashCost::interactive());
  QVERIFY(server.add_account("owner", "owner-password"));
  std::vector<std::unique_ptr<ClientConnection>> flood;
  for (int i = 0; i < 300; ++i) {
    flood.push_back(
        std::make_unique<ClientConnection>(server.port(), i % 2 ? "127.0.0.20" : "127.0.0.21"));
    const std::string head =
        "GET /login.asp?u=owner&p=wrong-" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    QCOMPARE(::send(flood.back()->socket(), head.data(), head.size(), MSG_NOSIGNAL),
             static_cast<ssize_t>(head.size()));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  QCOMPARE(server.log_in_from("127.0.0.1", "owner", "owner-password"), std::string("1"));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  QVERIFY2(took < std::chrono::seconds(2), qPrintable(QString("took %1 ms").arg(took.count())));
}

// Under a low open-file limit the connections stop short of it: a flood from elsewhere leaves
// descriptors for the database and the log, and a login already connected is answered.
void TestConnectionFlood::descriptors_are_kept_back_at_the_cap() {
  rlimit files{};
  QCOMPARE(::getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit high = files;
  files.rlim_cur = 256;
  QCOMPARE(::setrlimit(RLIMIT_NOFILE, &files), 0);
  RunningService server;
  ClientConnection early(server.port());
  QCOMPARE(early.request("GET", "/").status, 200);
  int ready[2];
  QCOMPARE(::pipe(ready), 0);
  const pid_t flood = ::fork();
  if (flood == 0) {  // more connections than the cap, from another process
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    ::setrlimit(RLIMIT_NOFILE, &high);
    for (int i = 0; i < 400; ++i)
      new ClientConnection(server.port(), from_address(i / 200).c_str());
    if (::write(ready[1], "x", 1) == 1) ::pause();
    ::_exit(1);
  }
  ::close(ready[1]);  // so that the read below ends if the flood never starts
  char byte = 0;
  const bool flooded = ::read(ready[0], &byte, 1) == 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // all the service will accept
  const int spare = ::dup(STDERR_FILENO);
  const Reply login = early.request("GET", address("/login.asp", {{"u", "nobody"}, {"p", "x"}}));
  if (flood > 0 && ::kill(flood, SIGKILL) == 0) ::waitpid(flood, nullptr, 0);
  for (const int descriptor : {spare, ready[0]}) ::close(descriptor);
  ::setrlimit(RLIMIT_NOFILE, &high);
  QVERIFY(flooded);
  QVERIFY2(spare >= 0, "no descriptor left at the connection cap");
  QCOMPARE(login.body, std::string("0"));
}

QTEST_GUILESS_MAIN(TestConnectionFlood)
#include "test_connection_flood.moc"
