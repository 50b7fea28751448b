// The service over HTTP, in-process on a loopback port: every route and answer code, field
// rules, hostile input, sessions, concurrency and what ends up in the database and the log.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QRegularExpression>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <regex>

#include "http/routes.h"
#include "http/worker_pool.h"
#include "server_harness.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;
using Query = std::vector<std::pair<std::string, std::string>>;

Q_DECLARE_METATYPE(std::string)

namespace {

const std::string kHtml = "text/html; charset=utf-8";
const std::string kFresh = "<fresh card>";
const std::string kMissing = "<missing>";
// Sent right behind another request on one connection; a body of kSecondLength bytes is
// exactly this request.
const std::string kSecondRequest = "GET /buy.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
const std::string kSecondLength = std::to_string(kSecondRequest.size());

std::string repeat(const std::string &unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

// "velmoth_session=TOKEN" from a reply's Set-Cookie, or nothing.
std::string session_cookie(const Reply &reply) {
  std::smatch match;
  if (!std::regex_search(reply.set_cookie, match, std::regex("^velmoth_session=[0-9a-f]{32};")))
    return {};
  return match.str().substr(0, match.length() - 1);
}

}  // namespace

class TestServerRoutes : public QObject {
  Q_OBJECT

  std::unique_ptr<RunningService> server_;
  // Clear passwords and session tokens sent during the run; none may appear in the database or
  // the log.
  std::vector<std::string> secrets_;

  std::string sign_up(std::string u, std::string p, std::string q, std::string cn, std::string cc) {
    const Card card = server_->card();
    if (cn == kFresh) cn = card.number;
    if (cc == kFresh) cc = card.password;
    Query query;
    for (auto [key, value] : Query{{"u", u}, {"p", p}, {"q", q}, {"cn", cn}, {"cc", cc}})
      if (value != kMissing) query.emplace_back(key, value);
    query.emplace_back("t", "2024/5/1 8:00:00");
    return server_->get(address("/reg.asp", query)).body;
  }
  Reply log_in(const std::string &u, const std::string &p) {
    return server_->get(address("/login.asp", {{"u", u}, {"p", p}, {"t", "2024/5/1 8:00:00"}}));
  }

 private slots:
  void initTestCase();
  void static_pages_and_unknown_addresses();
  void sign_up_fields_data();
  void sign_up_fields();
  void repeated_field_is_refused();
  void log_in_answers();
  void hostile_characters_in_every_field_are_harmless();
  void account_page_needs_a_live_session();
  void racing_sign_ups_data();
  void racing_sign_ups();
  void oversized_requests_are_refused_and_service_goes_on();
  void log_has_routes_and_statuses_only();
  void kept_alive_connection_answers_without_delay();
  void trickling_head_is_dropped_and_others_are_served();
  void nothing_is_smuggled_behind_a_request_data();
  void nothing_is_smuggled_behind_a_request();
  void database_holds_only_hashes();
  void stop_drains_requests_under_way_data();
  void stop_drains_requests_under_way();
  void watchdog_check_fails_on_a_stuck_front();
};

void TestServerRoutes::initTestCase() {
  server_ = std::make_unique<RunningService>();
  const Card card = server_->card();
  QCOMPARE(sign_up("taken", "taken-secret-1", "12345", card.number, card.password),
           std::string("3"));
  secrets_ = {"taken-secret-1", card.password};
}

void TestServerRoutes::static_pages_and_unknown_addresses() {
  for (const auto &[target, status, text] :
       std::vector<std::tuple<std::string, int, std::string>>{{"/", 200, "buy.html"},
                                                              {"/buy.html", 200, "add-cards"},
                                                              {"/healthz", 200, "ok"},
                                                              {"/readyz", 200, "ok"},
                                                              {"/nope", 404, "404"},
                                                              {"/login.aspx", 404, ""},
                                                              {"/LOGIN.ASP", 404, ""},
                                                              {"/login.asp/x", 404, ""},
                                                              {"/../etc/passwd", 404, ""}}) {
    const Reply reply = server_->get(target);
    QVERIFY2(reply.status == status, target.c_str());
    QCOMPARE(reply.content_type, kHtml);
    QVERIFY2(reply.body.find(text) != std::string::npos, target.c_str());
    if (target == "/healthz" || target == "/readyz")  // probes must never see an old answer
      QCOMPARE(reply.cache_control, std::string("no-store"));
  }
  // A front that is stopping is no longer ready, whatever the store says.
  const RouteRequest stopping{{}, {}, "127.0.0.1", true};
  QCOMPARE(find_route("/readyz")(server_->service(), stopping).reply.status, 503);
  QCOMPARE(ClientConnection(server_->port())
               .request("POST", "/login.asp?u=taken&p=taken-secret-1")
               .status,
           405);
}

void TestServerRoutes::sign_up_fields_data() {
  QTest::addColumn<std::string>("u");
  QTest::addColumn<std::string>("p");
  QTest::addColumn<std::string>("q");
  QTest::addColumn<std::string>("cn");
  QTest::addColumn<std::string>("cc");
  QTest::addColumn<std::string>("code");
  const std::string ok = "secret-1";
  const auto row = [&](const char *name, const std::string &u, const std::string &p,
                       const std::string &q, const std::string &cn, const std::string &cc,
                       const char *code) {
    QTest::newRow(name) << u << p << q << cn << cc << std::string(code);
  };
  row("account 0 chars", "", ok, "12345", kFresh, kFresh, "0");
  row("account 1 char", "x", ok, "12345", kFresh, kFresh, "3");
  row("account 32 chars", repeat("a", 32), ok, "12345", kFresh, kFresh, "3");
  row("account 33 chars", repeat("b", 33), ok, "12345", kFresh, kFresh, "0");
  row("account 32 Chinese", repeat("汉", 32), ok, "12345", kFresh, kFresh, "3");
  row("account 33 Chinese", repeat("字", 33), ok, "12345", kFresh, kFresh, "0");
  row("account with blank", "a b", ok, "12345", kFresh, kFresh, "3");
  for (const auto &[name, bad] :
       std::vector<std::pair<const char *, std::string>>{{"account tab", "a\tb"},
                                                         {"account newline", "a\nb"},
                                                         {"account NUL", {"a\0b", 3}},
                                                         {"account DEL", "a\x7f"},
                                                         {"account C1 NEL", "a\xc2\x85"},
                                                         {"account bad UTF-8", "a\xff"},
                                                         {"account overlong", "\xc0\xaf"},
                                                         {"account surrogate", "\xed\xa0\x80"},
                                                         {"account cut short", "\xe6\xb1"}})
    row(name, bad, ok, "12345", kFresh, kFresh, "0");
  row("password 0 chars", "p0", "", "12345", kFresh, kFresh, "0");
  row("password 7 chars", "p7", "1234567", "12345", kFresh, kFresh, "0");
  row("password 8 chars", "p8", "12345678", "12345", kFresh, kFresh, "3");
  row("password blanks only", "pb", "        ", "12345", kFresh, kFresh, "0");
  row("password 8 Chinese", "p8c", repeat("密", 8), "12345", kFresh, kFresh, "3");
  row("password 64 chars", "p64", repeat("p", 64), "12345", kFresh, kFresh, "3");
  row("password 64 Chinese", "p64c", repeat("密", 64), "12345", kFresh, kFresh, "3");
  row("password 65 chars", "p65", repeat("p", 65), "12345", kFresh, kFresh, "0");
  row("password bad UTF-8", "pbad", "\xfe", "12345", kFresh, kFresh, "0");
  row("qq 4 digits", "q4", ok, "1234", kFresh, kFresh, "0");
  row("qq 5 digits", "q5", ok, "12345", kFresh, kFresh, "3");
  row("qq 12 digits", "q12", ok, "123456789012", kFresh, kFresh, "3");
  row("qq 13 digits", "q13", ok, "1234567890123", kFresh, kFresh, "0");
  for (const char *bad : {"12a45", "-12345", " 12345", "１２３４５"})
    row(("qq " + std::string(bad)).c_str(), "qbad", ok, bad, kFresh, kFresh, "0");
  row("card number empty", "c1", ok, "12345", "", kFresh, "0");
  row("card number 65", "c2", ok, "12345", repeat("1", 65), kFresh, "0");
  row("card password empty", "c3", ok, "12345", kFresh, "", "0");
  row("card password 65", "c4", ok, "12345", kFresh, repeat("x", 65), "0");
  row("card unknown", "c5", ok, "12345", "1234567812345678", "abcdefgh", "2");
  row("card password wrong", "c6", ok, "12345", kFresh, "wrong", "2");
  row("account taken", "taken", ok, "12345", kFresh, kFresh, "1");
  row("missing u", kMissing, ok, "12345", kFresh, kFresh, "0");
  row("missing p", "m2", kMissing, "12345", kFresh, kFresh, "0");
  row("missing q", "m3", ok, kMissing, kFresh, kFresh, "0");
  row("missing cn", "m4", ok, "12345", kMissing, kFresh, "0");
  row("missing cc", "m5", ok, "12345", kFresh, kMissing, "0");
}

void TestServerRoutes::sign_up_fields() {
  QFETCH(std::string, u);
  QFETCH(std::string, p);
  QFETCH(std::string, q);
  QFETCH(std::string, cn);
  QFETCH(std::string, cc);
  QFETCH(std::string, code);
  QCOMPARE(sign_up(u, p, q, cn, cc), code);
  // A created account is stored exactly as sent.
  if (code == "3") QCOMPARE(log_in(u, p).body, std::string("1"));
}

void TestServerRoutes::repeated_field_is_refused() {
  const Card card = server_->card();
  const Query query{{"u", "dup1"},  {"u", "dup2"},       {"p", "pw-secret"},
                    {"q", "12345"}, {"cn", card.number}, {"cc", card.password}};
  QCOMPARE(server_->get(address("/reg.asp", query)).body, std::string("0"));
}

void TestServerRoutes::log_in_answers() {
  for (const auto &[u, p, code] : std::vector<std::tuple<std::string, std::string, char>>{
           {"taken", "taken-secret-1", '1'},
           {"taken", "taken-secret-2", '0'},
           {"Taken", "taken-secret-1", '1'},
           {"ＴＡＫＥＮ", "taken-secret-1", '1'},
           {"taken", "taken-secret-1 ", '0'},
           {"nobody", "taken-secret-1", '0'},
           {"taken", "", '0'},
           {"", "x", '0'},
           {"taken", kMissing, '0'},
           {kMissing, "taken-secret-1", '0'},
           {"taken", "' OR '1'='1", '0'},
           {"taken' --", "x", '0'}}) {
    Query query;
    if (u != kMissing) query.emplace_back("u", u);
    if (p != kMissing) query.emplace_back("p", p);
    const Reply reply = server_->get(address("/login.asp", query));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.content_type, kHtml);
    QCOMPARE(reply.body, std::string(1, code));
    QCOMPARE(session_cookie(reply).empty(), code == '0');
  }
  QVERIFY(log_in("taken", "taken-secret-1").set_cookie.find("; HttpOnly; Path=/; SameSite=Lax") !=
          std::string::npos);
}

void TestServerRoutes::hostile_characters_in_every_field_are_harmless() {
  const std::vector<std::string> hostile{
      "'", "\";--", "%", "100%_", "' OR '1'='1", "x'); DROP TABLE accounts; --", {"n\0ul", 4}};
  int n = 0;
  for (const std::string &value : hostile) {
    const bool has_nul = value.find('\0') != std::string::npos;
    const std::string name = "acct" + value;
    // As account name (NUL is a control character) and as password: stored verbatim.
    QCOMPARE(sign_up(name, "pw-secret", "12345", kFresh, kFresh), std::string(has_nul ? "0" : "3"));
    if (!has_nul) QCOMPARE(log_in(name, "pw-secret").body, std::string("1"));
    const std::string owner = "owner" + std::to_string(n++);
    const std::string password = value + "-secret";
    QCOMPARE(sign_up(owner, password, "12345", kFresh, kFresh), std::string("3"));
    QCOMPARE(log_in(owner, password).body, std::string("1"));
    QCOMPARE(log_in(owner, password + "x").body, std::string("0"));
    // In QQ and card fields nothing matches.
    QCOMPARE(sign_up(owner + "q", "pw-secret", value, kFresh, kFresh), std::string("0"));
    QCOMPARE(sign_up(owner + "c", "pw-secret", "12345", value, kFresh), std::string("2"));
    QCOMPARE(sign_up(owner + "c", "pw-secret", "12345", kFresh, value), std::string("2"));
  }
  QCOMPARE(log_in("taken", "taken-secret-1").body, std::string("1"));
}

void TestServerRoutes::account_page_needs_a_live_session() {
  QCOMPARE(sign_up("<b>&\"x'", "page-secret", "987654", kFresh, kFresh), std::string("3"));
  secrets_.emplace_back("page-secret");
  const std::string cookie = session_cookie(log_in("<b>&\"x'", "page-secret"));
  QVERIFY(!cookie.empty());
  secrets_.push_back(cookie.substr(cookie.find('=') + 1));

  const Reply page = server_->get("/account.asp", "a=b; " + cookie + "; c=d");
  QCOMPARE(page.status, 200);
  QCOMPARE(page.content_type, kHtml);
  QVERIFY(page.body.find("&lt;b&gt;&amp;&quot;x&#39;") != std::string::npos);
  QVERIFY(page.body.find("<b>") == std::string::npos);
  QVERIFY(page.body.find("987654") != std::string::npos);

  for (const std::string &bad :
       {std::string(), std::string("velmoth_session=") + repeat("0", 32),
        std::string("velmoth_session=' OR 1=1 --"), "other_" + cookie.substr(8)}) {
    const Reply anonymous = server_->get("/account.asp", bad);
    QCOMPARE(anonymous.status, 200);
    QVERIFY(anonymous.body.find("未登录") != std::string::npos);
    QVERIFY(anonymous.body.find("987654") == std::string::npos);
  }
  server_->advance_clock(std::chrono::hours(12) + std::chrono::seconds(1));
  QVERIFY(server_->get("/account.asp", cookie).body.find("未登录") != std::string::npos);
}

// Sign-ups racing for one card, or for one account name. Hashing costs several milliseconds
// here, as it does in production, so all racers pass the early checks before the first one
// commits and only the final, atomic step can tell them apart.
void TestServerRoutes::racing_sign_ups_data() {
  QTest::addColumn<bool>("same_card");
  QTest::newRow("16 names, one card") << true;
  QTest::newRow("one name, 16 cards") << false;
}
void TestServerRoutes::racing_sign_ups() {
  QFETCH(bool, same_card);
  constexpr int kRacers = 16;
  RunningService racing({}, HashCost{2, 16u << 20});
  std::vector<Card> cards = racing.service().add_cards(same_card ? 1 : kRacers);
  const auto sign_up = [&](const std::string &account, const Card &card) {
    return racing
        .get(address("/reg.asp", {{"u", account},
                                  {"p", "pw-secret"},
                                  {"q", "12345"},
                                  {"cn", card.number},
                                  {"cc", card.password}}))
        .body;
  };
  std::promise<void> start;
  std::shared_future<void> go = start.get_future().share();
  std::vector<std::future<std::string>> answers;
  answers.reserve(kRacers);
  for (int i = 0; i < kRacers; ++i)
    answers.push_back(std::async(std::launch::async, [&, i] {
      go.wait();
      return same_card ? sign_up("racer" + std::to_string(i), cards[0])
                       : sign_up("samename", cards[i]);
    }));
  start.set_value();
  std::map<std::string, int> counts;
  for (auto &answer : answers) ++counts[answer.get()];
  QCOMPARE(counts["3"], 1);
  QCOMPARE(counts[same_card ? "2" : "1"], kRacers - 1);

  if (same_card) {
    int accounts = 0;
    for (int i = 0; i < kRacers; ++i)
      accounts +=
          racing
              .get(address("/login.asp", {{"u", "racer" + std::to_string(i)}, {"p", "pw-secret"}}))
              .body == "1";
    QCOMPARE(accounts, 1);
  } else {
    // The losers' cards were not spent.
    int reusable = 0;
    for (int i = 0; i < kRacers; ++i)
      reusable += sign_up("reuse" + std::to_string(i), cards[i]) == "3";
    QCOMPARE(reusable, kRacers - 1);
  }
}

void TestServerRoutes::oversized_requests_are_refused_and_service_goes_on() {
  const Reply long_uri = server_->get("/login.asp?u=" + repeat("a", 9000) + "&p=x");
  QVERIFY(long_uri.status >= 400 && long_uri.status < 500);
  const Reply long_header = server_->get("/account.asp", "velmoth_session=" + repeat("a", 9000));
  QVERIFY(long_header.status >= 400 && long_header.status < 500);
  // A request line or header block that never ends (no end of line, no empty line) is cut off,
  // not buffered without bound.
  const std::string endless_line = "GET /login.asp?u=" + repeat("a", 512 * 1024);
  QVERIFY(send_raw(server_->port(), endless_line).rfind("HTTP/1.1 414 ", 0) == 0);
  const std::string endless_headers =
      "GET / HTTP/1.1\r\nHost: x\r\n" + repeat("X-Pad: " + repeat("a", 100) + "\r\n", 5000);
  QVERIFY(send_raw(server_->port(), endless_headers).rfind("HTTP/1.1 431 ", 0) == 0);
  QCOMPARE(log_in("taken", "taken-secret-1").body, std::string("1"));
}

void TestServerRoutes::log_has_routes_and_statuses_only() {
  // A client that ends its kept-alive connection has sent no further request.
  const std::size_t logged_before = server_->log_lines().size();
  QCOMPARE(ClientConnection(server_->port()).request("GET", "/").status, 200);
  QTest::qWait(200);
  QCOMPARE(server_->log_lines().size(), logged_before + 1);
  QCOMPARE(server_->get("/x%0d%0a2024-01-01T00:00:00Z%20GET%20/forged%20200").status, 404);
  QCOMPARE(server_->get("/x%22%20200%201%20%22-%22%20%22-%22").status, 404);
  QVERIFY(ClientConnection(server_->port()).request("error:", "/x").status != 0);
  // The combined log format, with the query, referrer and user agent left out.
  const QRegularExpression line_form(
      R"re(^127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d \+0000\] )re"
      R"re("[A-Z-]+ [^" ]+ (HTTP/1\.[01]|-)" \d{3} (\d+|-) "-" "-"$)re");
  const auto lines = server_->log_lines();
  QVERIFY(lines.size() > 100);
  for (const std::string &line : lines) {
    QVERIFY2(line_form.match(QString::fromStdString(line)).hasMatch(), line.c_str());
    for (const std::string &secret : secrets_)
      QVERIFY2(line.find(secret) == std::string::npos, line.c_str());
    QVERIFY2(line.find('?') == std::string::npos, line.c_str());
  }
}

void TestServerRoutes::database_holds_only_hashes() {
  sqlite3 *db = nullptr;
  QCOMPARE(sqlite3_open_v2(server_->database_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
           SQLITE_OK);
  for (const char *sql :
       {"SELECT password_hash FROM accounts", "SELECT password_hash FROM cards"}) {
    sqlite3_stmt *statement = nullptr;
    QCOMPARE(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK);
    int rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW && ++rows)
      QVERIFY(std::string(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)))
                  .rfind("$argon2id$", 0) == 0);
    sqlite3_finalize(statement);
    QVERIFY2(rows > 20, (std::string(sql) + ": " + std::to_string(rows)).c_str());
  }
  sqlite3_close(db);
  QByteArray bytes;
  for (const char *suffix : {"", "-wal"}) {
    QFile file(QString::fromStdString(server_->database_path() + suffix));
    if (file.open(QIODevice::ReadOnly)) bytes += file.readAll();
  }
  QVERIFY(bytes.size() > 10000);
  for (const std::string &secret : secrets_)
    QVERIFY2(!bytes.contains(QByteArray::fromStdString(secret)), secret.c_str());
}

// A reply leaves in more than one send; if those waited for the client's delayed
// acknowledgement, each request on a kept-alive connection would take some 40 ms.
void TestServerRoutes::kept_alive_connection_answers_without_delay() {
  RunningService running;
  ClientConnection connection(running.port());
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; n < 25; ++n) QCOMPARE(connection.request("GET", "/").status, 200);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  QVERIFY2(
      elapsed < std::chrono::milliseconds(500),
      qPrintable(QString("25 requests took %1 ms")
                     .arg(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count())));
}

// A client that sends its request head a byte at a time, never finishing it, is dropped once
// the head's time is up; meanwhile other clients are answered as usual.
void TestServerRoutes::trickling_head_is_dropped_and_others_are_served() {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  QCOMPARE(::connect(sock, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
  const std::size_t logged_before = server_->log_lines().size();
  const auto start = std::chrono::steady_clock::now();
  auto dropped_after = std::async(std::launch::async, [sock, start] {
    const std::string head = "GET / HTTP/1.1\r\nX-Slow: " + std::string(1000, 'a');
    for (char byte : head) {
      if (::send(sock, &byte, 1, MSG_NOSIGNAL) != 1) break;
      pollfd poll_fd{sock, POLLIN, 0};
      if (::poll(&poll_fd, 1, 250) > 0) break;  // the service answered or closed
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(30)) break;
    }
    return std::chrono::steady_clock::now() - start;
  });
  QTest::qWait(500);
  const auto asked = std::chrono::steady_clock::now();
  QCOMPARE(server_->get("/").status, 200);
  QVERIFY(std::chrono::steady_clock::now() - asked < std::chrono::seconds(2));
  const auto lasted = dropped_after.get();
  ::close(sock);
  QVERIFY2(
      lasted >= std::chrono::seconds(9) && lasted < std::chrono::seconds(20),
      qPrintable(QString("the trickling client lasted %1 ms")
                     .arg(std::chrono::duration_cast<std::chrono::milliseconds>(lasted).count())));
  // The other client's request, and the head that was cut off.
  QTRY_COMPARE_WITH_TIMEOUT(server_->log_lines().size(), logged_before + 2, 2000);
}

// Bytes that follow a request on its connection are a second request only when the first one's
// end is beyond doubt. A body the service does not read (it reads none), or the rest of a
// refused head, would otherwise be taken as a request that a proxy in front of the service
// never saw.
void TestServerRoutes::nothing_is_smuggled_behind_a_request_data() {
  QTest::addColumn<std::string>("first");
  QTest::addColumn<QList<int>>("statuses");
  const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n";
  QTest::newRow("pipelined, no body") << get + "\r\n" << QList<int>{200, 200};
  QTest::newRow("Content-Length 0") << get + "Content-Length: 0\r\n\r\n" << QList<int>{200, 200};
  QTest::newRow("Content-Length body") << get + "Content-Length: " + kSecondLength + "\r\n\r\n"
                                       << QList<int>{400};
  QTest::newRow("chunked body") << get + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
                                << QList<int>{400};
  QTest::newRow("Content-Length and chunked")
      << get + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
      << QList<int>{400};
  QTest::newRow("two Content-Lengths")
      << get + "Content-Length: 0\r\nContent-Length: " + kSecondLength + "\r\n\r\n"
      << QList<int>{400};
  // Malformed header lines: the connection ends with the refusal.
  QTest::newRow("blank before colon") << get + "Transfer-Encoding : chunked\r\n\r\n0\r\n\r\n"
                                      << QList<int>{400};
  QTest::newRow("folded line") << get + "X-A: a\r\n b\r\n\r\n" << QList<int>{400};
  QTest::newRow("folded with tab") << get + "Content-Length: 0\r\n\t5\r\n\r\n" << QList<int>{400};
  QTest::newRow("line without colon") << get + "NoColon\r\n\r\n" << QList<int>{400};
  QTest::newRow("POST with body") << "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                         kSecondLength + "\r\n\r\n"
                                  << QList<int>{405};
  QTest::newRow("request line too long")
      << "GET /" + repeat("a", 9000) + " HTTP/1.1\r\nHost: x\r\n\r\n"
      << QList<int>{414};
  QTest::newRow("header line too long") << get + "X-Pad: " + repeat("a", 9000) + "\r\n\r\n"
                                        << QList<int>{431};
  // Bytes a header value or the request line may not hold, and Host missing or twice.
  const std::string nul(1, '\0');
  QTest::newRow("NUL in target") << "GET /" + nul + "x HTTP/1.1\r\nHost: x\r\n\r\n"
                                 << QList<int>{400};
  QTest::newRow("NUL in value") << get + "X-A: a" + nul + "b\r\n\r\n" << QList<int>{400};
  QTest::newRow("bare CR in value") << get + "X-A: a\rb\r\n\r\n" << QList<int>{400};
  QTest::newRow("no Host") << std::string("GET / HTTP/1.1\r\n\r\n") << QList<int>{400};
  QTest::newRow("two Hosts") << get + "Host: y\r\n\r\n" << QList<int>{400};
  QTest::newRow("escaped NUL in query")
      << std::string("GET /buy.html?a=%00&b&c=%2500 HTTP/1.1\r\nHost: x\r\n\r\n")
      << QList<int>{200, 200};
  QTest::newRow("HTTP/1.0 without Host")
      << std::string("GET / HTTP/1.0\r\n\r\n") << QList<int>{200};
  // Heads the library refuses by itself, before the service sees them.
  QTest::newRow("bare CR line end") << get + "\r" << QList<int>{400};
  QTest::newRow("NUL in header name") << get + "X-" + nul + "A: b\r\n\r\n" << QList<int>{400};
  QTest::newRow("HTTP/0.9") << std::string("GET /\r\n") << QList<int>{400};
  QTest::newRow("unknown version")
      << std::string("GET / HTTP/7.1\r\nHost: x\r\n\r\n") << QList<int>{505};
  QTest::newRow("TLS hello") << std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) +
                                    repeat("Z", 32) + "\n"
                             << QList<int>{};
}

void TestServerRoutes::nothing_is_smuggled_behind_a_request() {
  QFETCH(std::string, first);
  QFETCH(QList<int>, statuses);

  const std::size_t logged_before = server_->log_lines().size();
  const auto start = std::chrono::steady_clock::now();
  const std::string answer = send_raw(server_->port(), first + kSecondRequest);
  // The connection was closed, not left waiting for more.
  QVERIFY(std::chrono::steady_clock::now() - start < std::chrono::seconds(2));

  QList<int> seen;
  const std::regex status_line("HTTP/1\\.1 (\\d{3}) ");
  for (auto it = std::sregex_iterator(answer.begin(), answer.end(), status_line);
       it != std::sregex_iterator(); ++it)
    seen.push_back(std::stoi((*it)[1]));
  QCOMPARE(seen, statuses);
  // One log line for each request, answered or refused, and one for bytes refused unanswered.
  const auto logged = static_cast<std::size_t>(std::max<qsizetype>(1, statuses.size()));
  QTRY_COMPARE_WITH_TIMEOUT(server_->log_lines().size() - logged_before, logged, 2000);
  const auto lines = server_->log_lines();
  const bool second_served =
      std::any_of(lines.begin() + static_cast<std::ptrdiff_t>(logged_before), lines.end(),
                  [](const std::string &line) { return line.find(" /buy.html ") != line.npos; });
  QCOMPARE(second_served, statuses.size() == 2);
}

QTEST_GUILESS_MAIN(TestServerRoutes)
#include "test_server_routes.moc"

void TestServerRoutes::stop_drains_requests_under_way_data() {
  QTest::addColumn<int>("drain_ms");
  QTest::addColumn<bool>("all_answered");
  QTest::newRow("time enough: all answered") << 10000 << true;
  QTest::newRow("time runs out: the rest dropped") << 150 << false;
}
// Sign-ups under way when stop() begins are answered in full (or, past the drain time, refused or
// dropped, never half done); a kept-alive connection is told the front is not ready, then closed;
// a new connection is refused.
void TestServerRoutes::stop_drains_requests_under_way() {
  QFETCH(int, drain_ms);
  QFETCH(bool, all_answered);
  FrontLimits limits;
  limits.drain_time = std::chrono::milliseconds(drain_ms);
  RunningService running({}, HashCost::interactive(), {}, limits);
  const auto logged = [&running](const char *text) {
    const auto lines = running.log_lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &line) { return line.find(text) != line.npos; });
  };
  ClientConnection kept(running.port());
  QCOMPARE(kept.request("GET", "/healthz").status, 200);
  std::vector<Card> cards = running.service().add_cards(8);
  std::vector<std::future<std::string>> sign_ups;
  for (std::size_t i = 0; i < cards.size(); ++i)
    sign_ups.push_back(std::async(std::launch::async, [&, i] {
      return send_raw(running.port(),
                      "GET " +
                          address("/reg.asp", {{"u", "late" + std::to_string(i)},
                                               {"p", "late-secret"},
                                               {"q", "12345"},
                                               {"cn", cards[i].number},
                                               {"cc", cards[i].password}}) +
                          " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                      30);
    }));
  QTRY_VERIFY_WITH_TIMEOUT(logged("GET /reg.asp"), 30000);  // one answered, the rest under way
  auto stopped = std::async(std::launch::async, [&] { running.front().stop(); });
  QTRY_VERIFY(logged("stopping: no new connections"));
  if (all_answered) {
    QCOMPARE(kept.request("GET", "/readyz").status, 503);
    QCOMPARE(kept.request("GET", "/healthz").status, 0);  // closed after the 503
    QCOMPARE(get(running.port(), "/healthz").status, 0);
  }
  stopped.wait();
  int done = 0;
  for (std::size_t i = 0; i < sign_ups.size(); ++i) {
    const std::string answer = sign_ups[i].get();
    const auto body = whole_body(answer);
    QVERIFY2(body, answer.c_str());  // never cut off
    if (*body != "3") continue;
    ++done;  // acknowledged, so committed: the name is taken
    QCOMPARE(running.service().sign_up({"late" + std::to_string(i), "late-secret", "12345",
                                        cards[i].number, cards[i].password}),
             SignupResult::AccountTaken);
  }
  QCOMPARE(done == static_cast<int>(cards.size()), all_answered);
  QVERIFY(logged(all_answered ? "every request answered" : "drain time over with"));
}

// The watchdog's check: a serving front passes it and its probe leaves no log line; a front that
// does not serve fails it; a pool whose threads are all held while a task waits fails until one
// finishes, and an idle one passes.
void TestServerRoutes::watchdog_check_fails_on_a_stuck_front() {
  const std::size_t lines = server_->log_lines().size();
  const auto asked = std::chrono::steady_clock::now();
  QVERIFY(server_->front().responsive(std::chrono::seconds(10)));
  // Passed on the probe itself, not on other connections once the time was up.
  QVERIFY(std::chrono::steady_clock::now() - asked < std::chrono::seconds(5));
  QCOMPARE(server_->log_lines().size(), lines);
  WebFront idle(server_->service(), [](const std::string &) {});
  QVERIFY(idle.bind("127.0.0.1", 0));
  QVERIFY(!idle.responsive(std::chrono::milliseconds(300)));

  WorkerPool pool(2, 8);
  QVERIFY(pool.making_progress());
  std::promise<void> release;
  const std::shared_future<void> held = release.get_future().share();
  for (const char *client : {"a", "b", "c"}) QVERIFY(pool.post(client, [held] { held.wait(); }));
  QVERIFY(!pool.making_progress());
  QVERIFY(!pool.making_progress());
  release.set_value();
  QTRY_VERIFY(pool.making_progress());
}
