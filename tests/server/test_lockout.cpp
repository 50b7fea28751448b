// The login throttle over HTTP: guessing is slowed per address and per account, the owner is
// never locked out by someone else's guessing, refusals take as long as real checks, and the
// state outlives a restart.

#include <QtTest>
#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

#include "server_harness.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;

namespace {

const std::string kRight = "right-password";

void add_account(RunningService &server, const std::string &name) {
  QVERIFY(server.add_account(name, kRight));
}

// Wrong guesses from one address until one more is a failure over the account's free ones.
void guess(RunningService &server, const char *from, const std::string &account, int times) {
  for (int i = 0; i < times; ++i)
    QCOMPARE(server.log_in_from(from, account, "guess-" + std::to_string(i)), std::string("0"));
}

// The throttle's records as a store would hold them.
class MemoryStore : public ThrottleStore {
 public:
  std::map<std::string, ThrottleRecord> rows;

  std::vector<ThrottleRecord> load_throttle(std::size_t) override { return {}; }
  std::vector<ThrottleRecord> read_throttle(const std::vector<std::string> &keys) override {
    std::vector<ThrottleRecord> found;
    for (const std::string &key : keys)
      if (rows.count(key)) found.push_back(rows[key]);
    return found;
  }
  void change_throttle(
      const std::vector<std::string> &keys,
      const std::function<ThrottleChange(const std::vector<ThrottleRecord> &)> &change) override {
    const ThrottleChange changed = change(read_throttle(keys));
    for (const ThrottleRecord &record : changed.records) rows[record.key] = record;
    for (const std::string &key : changed.forgotten) rows.erase(key);
    for (const ThrottleRecord &record : changed.evicted)
      if (rows.count(record.key) && rows[record.key].last_failure <= record.last_failure)
        rows.erase(record.key);
  }
};

}  // namespace

class TestLockout : public QObject {
  Q_OBJECT

 private slots:
  void one_address_across_accounts_is_slowed();
  void owner_gets_in_while_an_attacker_guesses();
  void refusals_take_as_long_as_checks();
  void tracking_is_bounded_and_keeps_the_recent();
  void floods_and_races_keep_lock_outs();
};

void TestLockout::one_address_across_accounts_is_slowed() {
  RunningService server;
  for (int i = 0; i < 8; ++i) add_account(server, "user" + std::to_string(i));
  // Three guesses at each of seven accounts: no account's own limit is reached, but the
  // address's is (twenty free failures).
  for (int i = 0; i < 7; ++i) guess(server, "127.0.0.2", "user" + std::to_string(i), 3);
  QCOMPARE(server.log_in_from("127.0.0.2", "user7", kRight), std::string("0"));
  QCOMPARE(server.log_in_from("127.0.0.3", "user7", kRight), std::string("1"));
  // Tries while blocked count as failures. The back-off doubles: one second after the first
  // failure over the limit, then two, four, eight…
  server.advance_clock(std::chrono::seconds(3));
  QCOMPARE(server.log_in_from("127.0.0.2", "user7", kRight), std::string("1"));
  guess(server, "127.0.0.2", "user7", 2);  // failures 23 and 24: blocked for eight seconds
  server.advance_clock(std::chrono::seconds(6));
  QCOMPARE(server.log_in_from("127.0.0.2", "user7", kRight), std::string("0"));  // 16 s now
  server.advance_clock(std::chrono::seconds(15));
  QCOMPARE(server.log_in_from("127.0.0.2", "user7", kRight), std::string("0"));  // 32 s now
  server.advance_clock(std::chrono::seconds(33));
  QCOMPARE(server.log_in_from("127.0.0.2", "user7", kRight), std::string("1"));
}

void TestLockout::owner_gets_in_while_an_attacker_guesses() {
  QTemporaryDir folder;
  const QString path = folder.filePath("service.db");
  {
    RunningService server(path);
    add_account(server, "victim");
    guess(server, "127.0.0.2", "victim", 30);
    // Even the right password from the guessing address is refused; the owner elsewhere, and
    // the case-variant of the name, get in.
    QCOMPARE(server.log_in_from("127.0.0.2", "victim", kRight), std::string("0"));
    QCOMPARE(server.log_in_from("127.0.0.3", "Victim", kRight), std::string("1"));
    // Guesses spread over several addresses put the account under attack: addresses that
    // failed three times stay refused for as long, even when their own back-off is over.
    for (const char *from : {"127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"})
      guess(server, from, "victim", 4);
    server.advance_clock(std::chrono::seconds(20));
    QCOMPARE(server.log_in_from("127.0.0.4", "victim", kRight), std::string("0"));
    QCOMPARE(server.log_in_from("127.0.0.8", "victim", kRight), std::string("1"));
  }
  // A restart keeps the state.
  RunningService restarted(path);
  QCOMPARE(restarted.log_in_from("127.0.0.2", "victim", kRight), std::string("0"));
  QCOMPARE(restarted.log_in_from("127.0.0.3", "victim", kRight), std::string("1"));
}

// Locked, missing and wrong each cost one real Argon2id verification, so their times are
// within 10 % of each other; a quick refusal would tell an attacker which case it is. The three
// are timed one after the other in each of 21 rounds, so other load on the machine weighs on
// them alike, and their medians are compared. A burst of load can still tip one comparison, so
// up to three are made: a real difference fails all three.
void TestLockout::refusals_take_as_long_as_checks() {
  RunningService server({}, HashCost::interactive());
  add_account(server, "timed");
  guess(server, "127.0.0.2", "timed", 25);
  QCOMPARE(server.log_in_from("127.0.0.2", "timed", kRight), std::string("0"));

  using Milliseconds = std::chrono::duration<double, std::milli>;
  const auto timed = [&](std::vector<double> &into, const char *from, const std::string &account,
                         const std::string &password) {
    const auto start = std::chrono::steady_clock::now();
    QCOMPARE(server.log_in_from(from, account, password), std::string("0"));
    into.push_back(Milliseconds(std::chrono::steady_clock::now() - start).count());
  };
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  QString medians;
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::vector<double> locked, missing, wrong;
    for (int round = 0; round < 21; ++round) {
      timed(locked, "127.0.0.2", "timed", kRight);
      // Each from an address of its own, so neither is ever blocked.
      const std::string from =
          "127." + std::to_string(attempt + 1) + ".1." + std::to_string(round + 1);
      timed(missing, from.c_str(), "nobody" + std::to_string(round), kRight);
      const std::string other =
          "127." + std::to_string(attempt + 1) + ".2." + std::to_string(round + 1);
      timed(wrong, other.c_str(), "timed", "wrong-password");
    }
    const double times[] = {median(locked), median(missing), median(wrong)};
    const auto [fastest, slowest] = std::minmax({times[0], times[1], times[2]});
    if (slowest <= fastest * 1.10) return;
    medians += QString("\nmedians: locked %1 ms, missing %2 ms, wrong %3 ms")
                   .arg(times[0])
                   .arg(times[1])
                   .arg(times[2]);
  }
  QFAIL(qPrintable(medians));
}

// Guessing with a fresh name each time cannot grow the throttle past its cap, in memory and
// in the store alike, and the guessing address's own key, failing all along, stays blocked.
void TestLockout::tracking_is_bounded_and_keeps_the_recent() {
  MemoryStore store;
  LoginThrottle throttle(store, 50);
  for (int i = 0; i < 1000; ++i)
    throttle.begin_attempt("fresh" + std::to_string(i), "192.0.2.1", 1000, true);
  QVERIFY(throttle.keys_held() <= std::size_t(50));
  QCOMPARE(store.rows.size(), throttle.keys_held());
  // Far past its free failures, the address is blocked for the one-hour cap, no longer.
  QCOMPARE(store.rows[std::string("address\x1f") + "192.0.2.1"].blocked_until,
           std::int64_t{1000 + 3600});
  QVERIFY(!throttle.begin_attempt("fresh999", "192.0.2.1", 1001, true).allowed);
  QVERIFY(throttle.begin_attempt("fresh999", "192.0.2.2", 1001, true).allowed);
}

// On a throttle of 100 keys, 10.0.0.1 is locked out of "victim", which is under attack. No
// flood of other keys, address of the same host or tries sent together may let it, a fresh
// address that failed three times, or the row's address try again.
void TestLockout::floods_and_races_keep_lock_outs() {
  constexpr std::int64_t kNow = 5000;
  struct Row {
    const char *name;
    int tries;
    const char *account;  // a '#' here or in from is the try's number
    const char *from;
    bool known;
    const char *refused;
  };
  const Row rows[] = {
      {"made-up names, one address", 1000, "made-up#", "192.0.2.9", false, "192.0.2.9"},
      {"made-up names, many addresses", 1000, "made-up#", "198.51.100.#", false, "10.0.0.1"},
      {"other accounts, many hosts", 1000, "other#", "2001:db8:#::1", true, "10.0.0.1"},
      {"one /64", 10, "victim", "2001:db8:1:2::#", true, "2001:db8:1:2:ff::1"},
      {"IPv4 as IPv6", 3, "victim", "::ffff:10.0.0.4", true, "10.0.0.4"},
      {"tries sent together", 3, "victim", "10.0.0.5", true, "10.0.0.5"},
  };
  const auto numbered = [](std::string text, int i) {
    const auto at = text.find('#');
    return at == std::string::npos ? text : text.replace(at, 1, std::to_string(i));
  };
  QStringList failures;
  for (const Row &row : rows) {
    MemoryStore store;
    LoginThrottle throttle(store, 100);
    for (int i = 0; i < 20; ++i) throttle.begin_attempt("victim", "10.0.0.1", kNow, true);
    for (int i = 0; i < row.tries; ++i)
      throttle.begin_attempt(numbered(row.account, i), numbered(row.from, i), kNow + i / 10,
                             row.known);
    for (int i = 0; i < 3; ++i) throttle.begin_attempt("victim", "10.0.0.2", kNow + 100, true);
    for (const char *from : {"10.0.0.1", "10.0.0.2", row.refused})
      if (throttle.begin_attempt("victim", from, kNow + 100, true).allowed)
        failures << QString("%1: %2 let in").arg(row.name, from);
    if (store.rows.size() > 100) failures << QString("%1: store grew").arg(row.name);
  }
  QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));
  // A process whose view of the victim is a day old floods; another has counted on it since.
  MemoryStore shared;
  LoginThrottle stale(shared, 100), other(shared, 100);
  stale.begin_attempt("victim", "10.0.0.1", 0, true);
  for (int i = 0; i < 20; ++i) other.begin_attempt("victim", "10.0.0.1", 90000, true);
  for (int i = 0; i < 1000; ++i)
    stale.begin_attempt("x" + std::to_string(i), "2001:db8:" + std::to_string(i) + "::1", 90001,
                        true);
  for (int i = 0; i < 3; ++i) other.begin_attempt("victim", "10.0.0.2", 90002, true);
  QVERIFY(!other.begin_attempt("victim", "10.0.0.2", 90002, true).allowed);
}

QTEST_GUILESS_MAIN(TestLockout)
#include "test_lockout.moc"
