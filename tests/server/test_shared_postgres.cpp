// Several services on one PostgreSQL database: racing sign-ups on one card spread over two
// services, lock-out and sessions seen by two velmoth-server processes, a database outage
// while requests flow, and a database that stalls (tables locked, or connections black-holed).

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <set>

#include "base/metrics.h"
#include "postgres_instance.h"
#include "server_harness.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;

namespace {

std::string sign_up(int port, const std::string &account, const std::string &password,
                    const Card &card, const char *from = "127.0.0.1") {
  const Reply reply = get(port,
                          address("/reg.asp", {{"u", account},
                                               {"p", password},
                                               {"q", "12345"},
                                               {"cn", card.number},
                                               {"cc", card.password}}),
                          {}, from);
  return reply.status == 200 ? reply.body : "status " + std::to_string(reply.status);
}

// How many of the service's log lines hold text.
long lines_with(const RunningService &server, const char *text) {
  const std::vector<std::string> lines = server.log_lines();
  return std::count_if(lines.begin(), lines.end(),
                       [text](const std::string &line) { return line.find(text) != line.npos; });
}

// socat forwarding a free loopback port to PostgreSQL's Unix socket at socket_path, in a
// process group of its own. Stopping the group (SIGSTOP) black-holes the path: connections stay
// open and new ones are taken by the kernel, but no byte goes through until SIGCONT.
class Relay {
 public:
  explicit Relay(const QString &socket_path) : port_(free_port()) {
    socat_.setProgram(QStringLiteral("setsid"));
    socat_.setArguments({"socat", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,fork").arg(port_),
                         "UNIX-CONNECT:" + socket_path});
    socat_.start();
    for (int tries = 0; tries < 50 && !listening(); ++tries) QTest::qWait(100);
  }
  ~Relay() {
    set_black_hole(false);
    ::kill(-static_cast<pid_t>(socat_.processId()), SIGTERM);
    socat_.waitForFinished(5000);
  }
  int port() const { return port_; }
  bool set_black_hole(bool on) {
    return ::kill(-static_cast<pid_t>(socat_.processId()), on ? SIGSTOP : SIGCONT) == 0;
  }

 private:
  bool listening() const {
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
    return probe.waitForConnected(1000);
  }
  int port_;
  QProcess socat_;
};

// A velmoth-server process serving uri on a free loopback port.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string &uri) {
    process_.start(QStringLiteral(VELMOTH_SERVER_EXE),
                   {"serve", "--db", QString::fromStdString(uri), "--listen", "127.0.0.1:0"});
    const QRegularExpression listening(
        QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)/"));
    QByteArray err;
    for (int waited = 0; waited < 300 && port_ == 0; ++waited) {
      process_.waitForReadyRead(100);
      err += process_.readAllStandardError();
      const auto match = listening.match(QString::fromUtf8(err));
      if (match.hasMatch()) port_ = match.captured(1).toInt();
    }
  }
  ~ServerProcess() {
    process_.terminate();
    if (!process_.waitForFinished(10000)) process_.kill();
  }
  int port() const { return port_; }

 private:
  QProcess process_;
  int port_ = 0;
};

}  // namespace

class TestSharedPostgres : public QObject {
  Q_OBJECT

  std::unique_ptr<PostgresInstance> postgres_;

  std::string fresh_database() {
    const std::string uri = postgres_->new_database_uri();
    if (uri.empty()) qFatal("cannot make a database: %s", qPrintable(postgres_->why_not()));
    return uri;
  }

 private slots:
  void initTestCase() {
    postgres_ = std::make_unique<PostgresInstance>();
    if (!postgres_->running())
      QSKIP(qPrintable("PostgreSQL cannot run here: " + postgres_->why_not()));
  }

  // Two services, each with its own connections, as two processes would have: of 50 sign-ups
  // racing for one card, half through each, exactly one gets "3", and only its account exists.
  void racing_sign_ups_over_two_services() {
    constexpr int kRounds = 20;
    constexpr int kRacers = 50;
    const std::string uri = fresh_database();
    RunningService first(QString::fromStdString(uri));
    RunningService second(QString::fromStdString(uri));
    for (int round = 0; round < kRounds; ++round) {
      const Card card = first.card();
      std::vector<std::future<std::string>> replies;
      for (int racer = 0; racer < kRacers; ++racer) {
        const int port = racer % 2 ? second.port() : first.port();
        const std::string name = "r" + std::to_string(round) + "n" + std::to_string(racer);
        replies.push_back(
            std::async(std::launch::async, [=] { return sign_up(port, name, "pw-secret", card); }));
      }
      int created = 0;
      for (auto &reply : replies) {
        const std::string body = reply.get();
        QVERIFY2(body == "3" || body == "2", body.c_str());
        created += body == "3";
      }
      QCOMPARE(created, 1);
    }
    int accounts = 0;
    for (int round = 0; round < kRounds; ++round)
      for (int racer = 0; racer < kRacers; ++racer)
        // From an address of its own each, so the throttle counts no failure twice.
        accounts +=
            second.service()
                .log_in("r" + std::to_string(round) + "n" + std::to_string(racer), "pw-secret",
                        "127.1." + std::to_string(round) + "." + std::to_string(racer))
                .has_value();
    QCOMPARE(accounts, kRounds);
  }

  // Two velmoth-server processes: a session made through one is honoured by the other, and
  // guessing through one is refused at the other while the owner still gets in.
  void lock_out_and_sessions_hold_across_processes() {
    const std::string uri = fresh_database();
    const Card card = RunningService(QString::fromStdString(uri)).card();
    ServerProcess one(uri);
    ServerProcess other(uri);
    QVERIFY(one.port() != 0 && other.port() != 0);
    QCOMPARE(sign_up(one.port(), "owner", "owner-secret", card), std::string("3"));

    const Reply login = get(one.port(), "/login.asp?u=owner&p=owner-secret");
    QCOMPARE(login.body, std::string("1"));
    const std::string cookie = login.set_cookie.substr(0, login.set_cookie.find(';'));
    QVERIFY(get(other.port(), "/account.asp", cookie).body.find("owner") != std::string::npos);

    for (int i = 0; i < 8; ++i)
      QCOMPARE(
          get(one.port(), "/login.asp?u=owner&p=guess" + std::to_string(i), {}, "127.0.0.2").body,
          std::string("0"));
    QCOMPARE(get(other.port(), "/login.asp?u=owner&p=owner-secret", {}, "127.0.0.2").body,
             std::string("0"));
    QCOMPARE(get(other.port(), "/login.asp?u=owner&p=owner-secret", {}, "127.0.0.3").body,
             std::string("1"));
  }

  // Card fields no card can hold are answered "2" (card refused) by both stores, without an
  // error: their characters are checked before any store sees them.
  void impossible_card_fields_answer_alike() {
    RunningService on_postgres(QString::fromStdString(fresh_database()));
    RunningService on_sqlite;
    const std::string nul(1, '\0');
    for (const auto &[cn, cc] : {std::pair<std::string, std::string>{"12" + nul, "abcdefgh"},
                                 {"\xff", "abcdefgh"},
                                 {"\x1b[0m", "ab"},
                                 {"12", "ab" + nul}})
      for (RunningService *server : {&on_postgres, &on_sqlite}) {
        const Reply reply = server->get(address(
            "/reg.asp",
            {{"u", "someone"}, {"p", "some-secret"}, {"q", "12345"}, {"cn", cn}, {"cc", cc}}));
        QCOMPARE(QString("%1 %2").arg(reply.status).arg(reply.body.c_str()), QString("200 2"));
      }
  }

  // The database stops for a few seconds while sign-ups and logins flow: nothing is answered as
  // a success that did not happen, every acknowledged account is there afterwards, service
  // returns within seconds of the database, and the outage is logged once.
  void database_outage_while_requests_flow() {
    const std::string uri = fresh_database();
    RunningService server(QString::fromStdString(uri));
    QVERIFY(server.service().ensure_demo_account());
    const std::vector<Card> cards = server.service().add_cards(400);
    const std::uint64_t outages_before = store_counters().outages.value();
    const std::uint64_t reconnects_before = store_counters().reconnects.value();

    std::atomic<bool> done{false};
    std::atomic<bool> restarted{false};
    std::atomic<long long> back_at_ms{0};
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed_ms = [&] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(
                 std::chrono::steady_clock::now() - started)
          .count();
    };
    std::vector<std::pair<std::string, std::string>> sign_ups;  // account, reply
    std::set<std::string> login_replies;
    std::thread traffic([&] {
      for (std::size_t i = 0; !done; ++i) {
        const std::string name = "flow" + std::to_string(i);
        if (i < cards.size())
          sign_ups.emplace_back(name, sign_up(server.port(), name, "pw-secret", cards[i]));
        const Reply login = server.get("/login.asp?u=demo&p=demo1234");
        login_replies.insert(login.status == 200 ? login.body : std::to_string(login.status));
        // Paced, so that the cards last through the outage and beyond.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (restarted && !back_at_ms && login.body == "1") back_at_ms = elapsed_ms();
      }
    });
    // Ends the traffic however this test ends.
    const auto finish = qScopeGuard([&] {
      done = true;
      if (traffic.joinable()) traffic.join();
    });
    QTest::qWait(1000);
    QVERIFY(postgres_->stop());
    const long long stopped_ms = elapsed_ms();
    // Not ready without the database, yet alive.
    QTRY_COMPARE_WITH_TIMEOUT(server.get("/readyz").status, 503, 1500);
    QCOMPARE(server.get("/healthz").status, 200);
    QTest::qWait(2000 - static_cast<int>(elapsed_ms() - stopped_ms));
    QVERIFY(postgres_->start());
    const long long restarted_ms = elapsed_ms();
    restarted = true;
    QTRY_VERIFY_WITH_TIMEOUT(back_at_ms != 0, 10000);
    QCOMPARE(server.get("/readyz").status, 200);
    done = true;
    traffic.join();

    QVERIFY2(back_at_ms - restarted_ms < 5000, qPrintable(QString::number(back_at_ms)));
    QVERIFY(stopped_ms < restarted_ms);
    // Logins are only ever right ("1") or refused for the outage (503).
    QCOMPARE(login_replies, (std::set<std::string>{"1", "503"}));
    int acknowledged = 0;
    for (const auto &[name, reply] : sign_ups) {
      QVERIFY2(reply == "3" || reply == "status 503", reply.c_str());
      if (reply != "3") continue;
      ++acknowledged;
      QVERIFY2(server.service().log_in(name, "pw-secret", "127.0.0.9"), name.c_str());
    }
    QVERIFY(acknowledged > 0);
    qInfo(
        "database stopped at %lld ms, started at %lld ms, first login after it at %lld ms; "
        "%d of %zu sign-ups acknowledged",
        stopped_ms, restarted_ms, static_cast<long long>(back_at_ms), acknowledged,
        sign_ups.size());
    QCOMPARE(lines_with(server, "cannot be reached"), 1);
    QCOMPARE(lines_with(server, "reachable again"), 1);
    // The metrics count them as the log tells them.
    QCOMPARE(store_counters().outages.value() - outages_before, std::uint64_t(1));
    QCOMPARE(store_counters().reconnects.value() - reconnects_before, std::uint64_t(1));
  }

  // The store stalls, its tables locked by another session for 15 s, or its connections
  // black-holed for 6 s: the pages that need no store keep answering at once, those that need it
  // are told to come back within seconds, and the stall is logged once as an outage and once as
  // its end.
  void stalled_database_leaves_the_front_answering_data() {
    QTest::addColumn<bool>("black_hole");
    QTest::addColumn<int>("seconds");
    QTest::newRow("tables locked") << false << 15;
    QTest::newRow("connections black-holed") << true << 6;
  }
  void stalled_database_leaves_the_front_answering() {
    QFETCH(bool, black_hole);
    QFETCH(int, seconds);
    // postgresql://velmoth@/NAME?host=FOLDER&port=PORT, the server's Unix socket.
    const std::string uri = fresh_database();
    const auto parts = QRegularExpression(QStringLiteral("@/(\\w+)\\?host=(.+)&port=(\\d+)"))
                           .match(QString::fromStdString(uri));
    Relay relay(QStringLiteral("%1/.s.PGSQL.%2").arg(parts.captured(2), parts.captured(3)));
    const QString through_relay = QStringLiteral("postgresql://velmoth@127.0.0.1:%1/%2")
                                      .arg(relay.port())
                                      .arg(parts.captured(1));
    RunningService server(black_hole ? through_relay : QString::fromStdString(uri));
    QVERIFY(server.service().ensure_demo_account());
    QProcess locker;
    if (black_hole) {
      QVERIFY(relay.set_black_hole(true));
      QTimer::singleShot(seconds * 1000, [&relay] { relay.set_black_hole(false); });
    } else {
      locker.start(
          QStringLiteral("psql"),
          {QString::fromStdString(uri), QStringLiteral("-c"),
           QStringLiteral("BEGIN; LOCK TABLE accounts; SELECT pg_sleep(%1); COMMIT").arg(seconds)});
      QVERIFY(locker.waitForStarted());
    }
    QTest::qWait(500);
    const std::string made_up = "velmoth_session=" + std::string(32, 'a');
    const struct {
      std::string target;
      std::string cookie;
    } stalled[] = {
        {"/account.asp", made_up},
        {"/account.asp", made_up},
        {"/account.asp", made_up},
        {"/account.asp", made_up},
        {"/login.asp?u=demo&p=demo1234", {}},
        {"/login.asp?u=demo&p=demo1234", {}},
    };
    std::vector<std::future<std::pair<int, long long>>> answers;
    // Sent one by one, so that the library hands them to different I/O threads.
    for (const auto &request : stalled) {
      QTest::qWait(50);
      answers.push_back(std::async(std::launch::async, [&server, request] {
        const auto start = std::chrono::steady_clock::now();
        const int status = server.get(request.target, request.cookie).status;
        return std::make_pair(
            status, static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count()));
      }));
    }
    std::chrono::steady_clock::duration slowest{};
    for (int i = 0; i < seconds * 1000 / 110; ++i) {
      for (const char *page : {"/", "/buy.html"}) {
        const auto start = std::chrono::steady_clock::now();
        QCOMPARE(server.get(page).status, 200);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
      }
      QTest::qWait(100);
    }
    qInfo("slowest page while the store stalled: %lld us",
          static_cast<long long>(
              std::chrono::duration_cast<std::chrono::microseconds>(slowest).count()));
    QVERIFY(slowest < std::chrono::milliseconds(50));
    for (std::size_t i = 0; i < answers.size(); ++i) {
      const auto [status, ms] = answers[i].get();
      QVERIFY2(
          status == 503 && ms < 5000,
          qPrintable(
              QString("%1: %2 after %3 ms").arg(stalled[i].target.c_str()).arg(status).arg(ms)));
    }
    if (!black_hole) QVERIFY(locker.waitForFinished(20000));
    QTRY_COMPARE_WITH_TIMEOUT(server.get("/login.asp?u=demo&p=demo1234").body, std::string("1"),
                              10000);
    QCOMPARE(lines_with(server, "cannot be reached"), 1);
    QCOMPARE(lines_with(server, "reachable again"), 1);
  }
};

QTEST_GUILESS_MAIN(TestSharedPostgres)
#include "test_shared_postgres.moc"
