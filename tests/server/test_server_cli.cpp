// velmoth-server as a process: arguments, add-cards output, --demo, backups, and a clean stop on
// signals that lets requests under way finish.

#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>

#include "server_harness.h"
#include "test_certificates.h"

using namespace velmoth::server::testing;

namespace {

struct Finished {
  int exit_code = -1;
  QByteArray out;
  QByteArray err;
};

// Runs the service with args. When unprivileged and run as root, it runs as the user nobody:
// root may write where the service could not.
Finished run(const QStringList &args, bool unprivileged = false, const QByteArray &input = {}) {
  QProcess process;
  if (unprivileged && ::geteuid() == 0)
    process.start(QStringLiteral("setpriv"),
                  QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                              QStringLiteral(VELMOTH_SERVER_EXE)} +
                      args);
  else
    process.start(QStringLiteral(VELMOTH_SERVER_EXE), args);
  process.write(input);
  process.closeWriteChannel();
  if (!process.waitForFinished(30000)) process.kill();
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          process.readAllStandardOutput(), process.readAllStandardError()};
}

const QRegularExpression kCardLine(QStringLiteral("^([1-9][0-9]{15}) ([A-Za-z0-9]{8})$"));

// The cards printed in out, one "NUMBER PASSWORD" per matching line.
std::vector<velmoth::server::Card> cards_in(const QByteArray &out) {
  std::vector<velmoth::server::Card> cards;
  for (const QByteArray &line : out.split('\n')) {
    const auto match = kCardLine.match(QString::fromUtf8(line.trimmed()));
    if (match.hasMatch())
      cards.push_back({match.captured(1).toStdString(), match.captured(2).toStdString()});
  }
  return cards;
}

// A datagram socket at path, where a service manager hears from its services.
int notify_listener(const QString &path) {
  const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const QByteArray name = path.toUtf8();
  std::copy_n(name.constData(), std::min<qsizetype>(name.size(), sizeof address.sun_path - 1),
              address.sun_path);
  if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return -1;
  return listener;
}

// The next notification on listener, or nothing after 15 s.
QByteArray next_notification(int listener) {
  pollfd ready{listener, POLLIN, 0};
  if (::poll(&ready, 1, 15000) != 1) return {};
  char message[4096];
  const ssize_t size = ::recv(listener, message, sizeof message, 0);
  return size > 0 ? QByteArray(message, static_cast<qsizetype>(size)) : QByteArray();
}

// Starts `serve --db db` on a free loopback port; the port, or 0 when it did not start.
int start_serving(QProcess &process, const QString &db) {
  process.setReadChannel(QProcess::StandardError);
  process.start(QStringLiteral(VELMOTH_SERVER_EXE),
                {"serve", "--db", db, "--listen", "127.0.0.1:0"});
  const QRegularExpression listening(QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)/"));
  QByteArray err;
  while (process.waitForReadyRead(30000)) {
    err += process.readAllStandardError();
    const QRegularExpressionMatch match = listening.match(QString::fromUtf8(err));
    if (match.hasMatch()) return match.captured(1).toInt();
  }
  return 0;
}

}  // namespace

class TestServerCli : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  TestCertificates certificates_;
  QString path(const char *name) const { return dir_.filePath(QString::fromLatin1(name)); }

 private slots:
  void wrong_arguments_are_usage_errors_data() {
    QTest::addColumn<QStringList>("args");
    const QString db = path("unused.db");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"start", "--db", db};
    QTest::newRow("serve without db") << QStringList{"serve"};
    QTest::newRow("db without value") << QStringList{"serve", "--db"};
    QTest::newRow("listen without port")
        << QStringList{"serve", "--db", db, "--listen", "localhost"};
    QTest::newRow("listen port too big") << QStringList{"serve", "--db", db, "--listen", "h:65536"};
    QTest::newRow("serve operand") << QStringList{"serve", "--db", db, "extra"};
    QTest::newRow("add-cards without count") << QStringList{"add-cards", "--db", db};
    QTest::newRow("add-cards zero") << QStringList{"add-cards", "--db", db, "0"};
    QTest::newRow("add-cards too many") << QStringList{"add-cards", "--db", db, "10001"};
    QTest::newRow("add-cards not a number") << QStringList{"add-cards", "--db", db, "3x"};
    QTest::newRow("add-cards with --demo") << QStringList{"add-cards", "--db", db, "--demo", "1"};
    QTest::newRow("accounts without action") << QStringList{"accounts", "--db", db};
    QTest::newRow("accounts unknown action") << QStringList{"accounts", "drop", "x", "--db", db};
    QTest::newRow("accounts show without name") << QStringList{"accounts", "show", "--db", db};
    QTest::newRow("accounts list with name") << QStringList{"accounts", "list", "x", "--db", db};
    QTest::newRow("cards list both filters")
        << QStringList{"cards", "list", "--unused", "--spent", "--db", db};
    QTest::newRow("cards add zero") << QStringList{"cards", "add", "0", "--db", db};
    QTest::newRow("cards revoke without db") << QStringList{"cards", "revoke", "1"};
    QTest::newRow("certificate without key")
        << QStringList{"serve", "--db", db, "--tls-cert", "cert.pem"};
    QTest::newRow("proxy that is no address")
        << QStringList{"serve", "--db", db, "--plain-behind-tls-proxy", "10.0.0.1,proxy"};
    QTest::newRow("password in arguments")
        << QStringList{"accounts", "set-password", "x", "secret123", "--db", db};
    QTest::newRow("backup without --to") << QStringList{"backup", "--db", db};
    QFile taken(path("taken.bak"));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    QTest::newRow("backup over an existing file")
        << QStringList{"backup", "--db", db, "--to", taken.fileName()};
  }
  void wrong_arguments_are_usage_errors() {
    QFETCH(QStringList, args);
    const Finished result = run(args);
    QCOMPARE(result.exit_code, 2);
    QVERIFY(result.out.isEmpty());
    QVERIFY(result.err.contains("Usage:"));
    QVERIFY(!QFile::exists(path("unused.db")));
  }

  void help_goes_to_standard_output() {
    const Finished result = run({"--help"});
    QCOMPARE(result.exit_code, 0);
    QVERIFY(result.out.contains("add-cards --db LOCATION COUNT"));
  }

  void add_cards_prints_each_card_once_and_they_work() {
    const QString db = path("cards.db");
    const Finished result = run({"add-cards", "--db", db, "3"});
    QCOMPARE(result.exit_code, 0);
    const auto cards = cards_in(result.out);
    QCOMPARE(cards.size(), std::size_t(3));
    QCOMPARE(result.out.count('\n'), 3);  // nothing else on standard output
    QVERIFY(cards[0].number != cards[1].number && cards[1].number != cards[2].number);

    RunningService server(db);
    for (std::size_t i = 0; i < cards.size(); ++i) {
      const auto sign_up = [&](const std::string &account) {
        return server
            .get(address("/reg.asp", {{"u", account},
                                      {"p", "pw-secret"},
                                      {"q", "12345"},
                                      {"cn", cards[i].number},
                                      {"cc", cards[i].password}}))
            .body;
      };
      QCOMPARE(sign_up("first" + std::to_string(i)), std::string("3"));
      QCOMPARE(sign_up("second" + std::to_string(i)), std::string("2"));
    }
  }

  void files_of_other_programs_are_left_alone() {
    QFile text(path("notes.txt"));
    QVERIFY(text.open(QIODevice::WriteOnly));
    text.write(QByteArray(4096, 'x'));
    text.close();
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(path("other.db").toUtf8().constData(), &db), SQLITE_OK);
    QCOMPARE(sqlite3_exec(db, "CREATE TABLE notes(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    for (const char *name : {"notes.txt", "other.db"}) {
      QFile file(path(name));
      QVERIFY(file.open(QIODevice::ReadOnly));
      const QByteArray before = file.readAll();
      file.close();
      const Finished result = run({"add-cards", "--db", path(name), "1"});
      QCOMPARE(result.exit_code, 5);
      QVERIFY(result.out.isEmpty());
      QVERIFY(file.open(QIODevice::ReadOnly));
      QCOMPARE(file.readAll(), before);
    }
  }

  void demo_serves_until_a_signal_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM, new database") << SIGTERM;
    QTest::newRow("SIGINT, same database again") << SIGINT;
  }
  // Also what systemd hears (Type=notify): ready once the port is reported and served, reloading
  // around SIGHUP, stopping on the signal.
  void demo_serves_until_a_signal() {
    QFETCH(int, signal);
    const QString socket_path = path("notify") + QString::number(signal);
    const int manager = notify_listener(socket_path);
    QVERIFY(manager >= 0);
    const auto close_manager = qScopeGuard([&] { ::close(manager); });
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NOTIFY_SOCKET", socket_path);
    process.setProcessEnvironment(environment);
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral(VELMOTH_SERVER_EXE),
                  {"serve", "--db", path("demo.db"), "--listen", "127.0.0.1:0", "--demo"});
    QCOMPARE(next_notification(manager), QByteArray("READY=1"));
    const QRegularExpression listening(
        QStringLiteral("listening on http://127\\.0\\.0\\.1:(\\d+)/"));
    QVERIFY(process.waitForReadyRead(1000));  // the line is written before READY=1 is sent
    QByteArray err = process.readAllStandardError();
    const QRegularExpressionMatch match = listening.match(QString::fromUtf8(err));
    QVERIFY2(match.hasMatch(), err.constData());
    const int port = match.captured(1).toInt();
    QCOMPARE(get(port, "/healthz").status, 200);
    const QByteArray out = process.readAllStandardOutput();
    QVERIFY(out.contains("demo1234"));
    const auto cards = cards_in(out);
    QCOMPARE(cards.size(), std::size_t(5));

    QCOMPARE(get(port, "/login.asp?u=demo&p=demo1234").body, std::string("1"));
    QCOMPARE(get(port, address("/reg.asp", {{"u", "fromdemo" + std::to_string(signal)},
                                            {"p", "pw-secret"},
                                            {"q", "12345"},
                                            {"cn", cards[0].number},
                                            {"cc", cards[0].password}}))
                 .body,
             std::string("3"));

    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGHUP), 0);
    QVERIFY(QRegularExpression("^RELOADING=1\\nMONOTONIC_USEC=[1-9][0-9]*$")
                .match(QString::fromUtf8(next_notification(manager)))
                .hasMatch());
    QCOMPARE(next_notification(manager), QByteArray("READY=1"));
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), signal), 0);
    QCOMPARE(next_notification(manager), QByteArray("STOPPING=1"));
    QVERIFY(process.waitForFinished(15000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    err += process.readAllStandardError();
    QVERIFY(err.contains("] \"GET /login.asp HTTP/1.1\" 200 1 \"-\" \"-\"\n"));
    QVERIFY(err.contains("] \"GET /reg.asp HTTP/1.1\" 200 1 \"-\" \"-\"\n"));
    QVERIFY(!err.contains("demo1234"));
    QVERIFY(!err.contains(QByteArray::fromStdString(cards[0].password)));
  }

  // SIGTERM during a burst of sign-ups: every client gets a whole answer or a closed connection,
  // the process ends 0 within the drain time, every acknowledged account logs in after a restart,
  // no sign-up is done without its answer and no card is spent without its account.
  void stop_during_sign_ups_loses_nothing() {
    const QString db = path("drain.db");
    const auto cards = cards_in(run({"cards", "add", "50", "--db", db}).out);
    QCOMPARE(cards.size(), std::size_t(50));
    QProcess process;
    const int port = start_serving(process, db);
    QVERIFY(port > 0);
    std::vector<std::string> raw(cards.size());
    std::atomic<int> finished{0};
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < cards.size(); ++i)
      clients.emplace_back([&, i] {
        const std::string target = address("/reg.asp", {{"u", "drain" + std::to_string(i)},
                                                        {"p", "pw-secret"},
                                                        {"q", "12345"},
                                                        {"cn", cards[i].number},
                                                        {"cc", cards[i].password}});
        raw[i] = send_raw(
            port, "GET " + target + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n", 30);
        ++finished;
      });
    auto join = qScopeGuard([&] {
      for (std::thread &client : clients) client.join();
    });
    QTRY_VERIFY_WITH_TIMEOUT(finished > 0, 30000);
    QElapsedTimer stopping;
    stopping.start();
    const std::size_t answered_before = finished;
    QCOMPARE(::kill(static_cast<pid_t>(process.processId()), SIGTERM), 0);
    QVERIFY(process.waitForFinished(20000));
    const qint64 took = stopping.elapsed();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(took < 12000, qPrintable(QString::number(took)));
    join.dismiss();
    for (std::thread &client : clients) client.join();

    std::vector<std::string> acknowledged;
    int closed = 0;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      const auto body = whole_body(raw[i]);
      QVERIFY2(body, raw[i].c_str());  // no answer is cut off
      if (body->empty()) ++closed;
      if (*body == "3") acknowledged.push_back("drain" + std::to_string(i));
    }
    qInfo("stopped after %lld ms: %zu acknowledged, %d closed, %zu other answers", took,
          acknowledged.size(), closed, raw.size() - acknowledged.size() - closed);
    QVERIFY(acknowledged.size() > answered_before);  // sign-ups under way went on to their end

    QProcess again;
    const int restarted = start_serving(again, db);
    QVERIFY(restarted > 0);
    for (const std::string &name : acknowledged)
      QCOMPARE(get(restarted, address("/login.asp", {{"u", name}, {"p", "pw-secret"}})).body,
               std::string("1"));
    again.terminate();
    QVERIFY(again.waitForFinished(15000));
    // Spent cards without an account, accounts, spent cards: none done but unanswered.
    sqlite3 *file = nullptr;
    QCOMPARE(sqlite3_open(db.toUtf8().constData(), &file), SQLITE_OK);
    std::string counts;
    sqlite3_exec(
        file,
        "SELECT (SELECT count(*) FROM cards WHERE used_by NOT IN (SELECT id FROM accounts)),"
        " (SELECT count(*) FROM accounts), (SELECT count(*) FROM cards WHERE used_by IS NOT NULL)",
        [](void *out, int, char **values, char **) {
          *static_cast<std::string *>(out) =
              std::string(values[0]) + ' ' + values[1] + ' ' + values[2];
          return 0;
        },
        &counts, nullptr);
    sqlite3_close(file);
    const std::string acknowledged_count = std::to_string(acknowledged.size());
    QCOMPARE(counts, "0 " + acknowledged_count + " " + acknowledged_count);
  }

  void files_are_private_whatever_the_umask_data() {
    QTest::addColumn<int>("mask");
    QTest::newRow("umask 022") << 022;
    QTest::newRow("umask 000") << 0;
  }
  void files_are_private_whatever_the_umask() {
    QFETCH(int, mask);
    const QString db = path("private") + QString::number(mask) + ".db";
    const mode_t before = ::umask(static_cast<mode_t>(mask));
    QProcess process;
    process.start(QStringLiteral(VELMOTH_SERVER_EXE),
                  {"serve", "--db", db, "--listen", "127.0.0.1:0"});
    ::umask(before);
    QByteArray err;
    QTRY_VERIFY_WITH_TIMEOUT((err += process.readAllStandardError()).contains("listening on"),
                             30000);
    for (const char *suffix : {"", "-wal", "-shm"}) {
      struct stat status {};
      QVERIFY2(::stat((db + suffix).toUtf8().constData(), &status) == 0, suffix);
      QCOMPARE(status.st_mode & 0777, mode_t(0600));
    }
    process.terminate();
    QVERIFY(process.waitForFinished(15000));
  }

  // Each start-up failure is one line naming the file and the cause, and a failed exit.
  void start_up_failures_name_the_file_and_cause_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("cause");
    QTest::newRow("read-only file") << "read-only"
                                    << "read-only";
    QTest::newRow("unwritable folder") << "unwritable"
                                       << "is not writable";
    QTest::newRow("new file in unwritable folder") << "unwritable-new"
                                                   << "cannot create it";
    QTest::newRow("corrupt file") << "corrupt"
                                  << "not a database";
  }
  void start_up_failures_name_the_file_and_cause() {
    QFETCH(QString, setup);
    QFETCH(QString, cause);
    QVERIFY(QFile::setPermissions(dir_.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ExeGroup |
                                                   QFile::ExeOther));
    const QString folder = path(setup.toUtf8().constData());
    QVERIFY(QDir().mkdir(folder));
    if (::geteuid() == 0) QVERIFY(::chown(folder.toUtf8().constData(), 65534, 65534) == 0);
    const QString db = folder + "/velmoth.db";
    if (setup == "corrupt") {
      QFile file(db);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(QByteArray("SQLite format 3", 16) + QByteArray(4080, '\x5a'));
      file.close();
      if (::geteuid() == 0) QVERIFY(::chown(db.toUtf8().constData(), 65534, 65534) == 0);
    } else if (setup != "unwritable-new") {
      QCOMPARE(run({"add-cards", "--db", db, "1"}, true).exit_code, 0);
    }
    if (setup == "read-only") QVERIFY(::chmod(db.toUtf8().constData(), 0400) == 0);
    if (setup.startsWith("unwritable")) QVERIFY(::chmod(folder.toUtf8().constData(), 0500) == 0);

    const Finished result = run({"serve", "--db", db, "--listen", "127.0.0.1:0"}, true);
    QCOMPARE(result.exit_code, 5);
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY2(result.err.contains(db.toUtf8()) && result.err.contains(cause.toUtf8()),
             result.err.constData());
  }

  // Listeners that would expose passwords, and certificates that cannot be served, stop the start
  // with one line naming the cause (and the file).
  void unsafe_listeners_are_refused_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("cause");
    const TestCertificates &tls = certificates_;
    const auto pair = [](const QString &certificate, const QString &key) {
      return QStringList{"--tls-cert", certificate, "--tls-key", key};
    };
    QTest::newRow("plain HTTP on every address")
        << QStringList{"--listen", "0.0.0.0:0"} << 2 << "0.0.0.0, which is not loopback";
    QTest::newRow("key readable by others")
        << pair(tls.certificate(), tls.file("open.key")) << 5 << "open.key is readable by group";
    QTest::newRow("missing certificate")
        << pair(tls.file("missing.pem"), tls.key()) << 5 << "missing.pem: No such file";
    QTest::newRow("key of another certificate")
        << pair(tls.certificate(), tls.renewed_key()) << 5 << "renewed.key does not belong";
    QTest::newRow("expired certificate")
        << pair(tls.expired_certificate(), tls.expired_key()) << 5 << "expired.pem expired on";
  }
  void unsafe_listeners_are_refused() {
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(QString, cause);
    QVERIFY(certificates_.ok());
    QVERIFY(QFile::copy(certificates_.key(), certificates_.file("open.key")) ||
            QFile::exists(certificates_.file("open.key")));
    QVERIFY(::chmod(certificates_.file("open.key").toUtf8().constData(), 0644) == 0);
    const Finished result =
        run(QStringList{"serve", "--db", path("tls.db"), "--listen", "127.0.0.1:0"} + options);
    QCOMPARE(result.exit_code, code);
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY2(result.err.contains(cause.toUtf8()), result.err.constData());
  }

  // The operator commands in order on one database: each step's exit code and output, and no
  // password or card password in any output but that of the cards just made.
  void operator_commands() {
    const QString db = path("operator.db");
    const Finished made = run({"cards", "add", "2", "--db", db});
    QCOMPARE(made.exit_code, 0);
    const auto cards = cards_in(made.out);
    QCOMPARE(cards.size(), std::size_t(2));
    const QString spent = QString::fromStdString(cards[0].number);
    const QString unused = QString::fromStdString(cards[1].number);
    RunningService server(db);
    QCOMPARE(server.service().sign_up(
                 {"Alice", "first-secret", "12345", cards[0].number, cards[0].password}),
             velmoth::server::SignupResult::Created);

    struct Step {
      QStringList args;
      QByteArray input;
      int exit_code;
      QString output;  // a pattern standard output must match
    };
    const QString unreachable = "postgresql://velmoth@/velmoth?host=" + path("no-server");
    const std::vector<Step> steps = {
        {{"accounts", "list"},
         {},
         0,
         "^NAME   QQ     CREATED              STATUS  CARD\\nAlice  12345  \\d{4}-\\d\\d-\\d\\d "
         "\\d\\d:\\d\\d:\\d\\d  active  " +
             spent + "\\n$"},
        {{"accounts", "list", "--json"},
         {},
         0,
         "^\\[\\{\"name\":\"Alice\",\"qq\":\"12345\",\"created\":\"[0-9T:Z-]+\","
         "\"disabled\":null,\"card\":\"" +
             spent + "\"\\}\\]\\n$"},
        {{"accounts", "show", "ALICE"}, {}, 0, "Alice"},
        {{"accounts", "show", "nobody"}, {}, 1, "^$"},
        {{"accounts", "disable", "alice"}, {}, 0, "disabled"},
        {{"accounts", "show", "alice", "--json"}, {}, 0, "\"disabled\":\"\\d{4}"},
        {{"cards", "list", "--unused"},
         {},
         0,
         "^NUMBER +CREATED +STATUS +ACCOUNT +SINCE\\n" + unused + " .* unused +- +-\\n$"},
        {{"cards", "list", "--spent", "--json"},
         {},
         0,
         "^\\[\\{\"number\":\"" + spent + "\".*\"status\":\"spent\",\"account\":\"Alice\""},
        {{"cards", "revoke", unused}, {}, 0, "revoked"},
        {{"cards", "revoke", unused}, {}, 0, "already revoked"},
        {{"cards", "revoke", spent}, {}, 4, "^$"},
        {{"cards", "revoke", "1234"}, {}, 1, "^$"},
        {{"cards", "list"}, {}, 0, unused + " .* revoked +- +\\d{4}"},
        {{"accounts", "set-password", "nobody"}, "new-secret-1\n", 1, "^$"},
        {{"accounts", "set-password", "alice"}, "short\n", 4, "^$"},
        {{"accounts", "set-password", "alice"}, "new-secret-1\n", 0, "new password set"},
        {{"cards", "list", "--db", unreachable}, {}, 3, "^$"},
        {{"backup", "--to", path("pg.bak"), "--db", unreachable}, {}, 2, "^$"},
    };
    for (const Step &step : steps) {
      const QStringList args =
          step.args.contains("--db") ? step.args : step.args + QStringList{"--db", db};
      const Finished result = run(args, false, step.input);
      const QString where = step.args.join(' ');
      QVERIFY2(result.exit_code == step.exit_code, qPrintable(where + ": " + result.err));
      QVERIFY2(QRegularExpression(step.output).match(QString::fromUtf8(result.out)).hasMatch(),
               qPrintable(where + ": " + result.out));
      for (const std::string &secret : {cards[0].password, cards[1].password,
                                        std::string("first-secret"), std::string("new-secret-1")})
        QVERIFY2(!(result.out + result.err).contains(QByteArray::fromStdString(secret)),
                 qPrintable(where));
    }
    // A QQ written straight into the file with control bytes still lists as valid JSON.
    sqlite3 *file = nullptr;
    QCOMPARE(sqlite3_open(db.toUtf8().constData(), &file), SQLITE_OK);
    QCOMPARE(sqlite3_exec(file, "UPDATE accounts SET qq = '1' || char(10, 31) || '2'", nullptr,
                          nullptr, nullptr),
             SQLITE_OK);
    sqlite3_close(file);
    const QByteArray listed = run({"accounts", "list", "--json", "--db", db}).out.trimmed();
    QVERIFY2(std::none_of(listed.begin(), listed.end(), [](char c) { return uchar(c) < 0x20; }),
             listed.constData());
    QCOMPARE(QJsonDocument::fromJson(listed)[0]["qq"].toString(), QStringLiteral("1\n\u001F2"));
    // An unreachable database server is one line naming it.
    const QByteArray unreachable_err = run({"cards", "list", "--db", unreachable}).err;
    QCOMPARE(unreachable_err.count('\n'), 1);
    QVERIFY(unreachable_err.contains("cannot reach the database"));
    // Disabled: the right password is answered as a wrong one; a revoked card pays for nothing.
    QCOMPARE(server.log_in_from("127.0.0.1", "alice", "new-secret-1"), std::string("0"));
    QCOMPARE(run({"accounts", "enable", "alice", "--db", db}).exit_code, 0);
    QCOMPARE(server.log_in_from("127.0.0.1", "alice", "new-secret-1"), std::string("1"));
    QCOMPARE(server
                 .get(address("/reg.asp", {{"u", "bob"},
                                           {"p", "bob-secret"},
                                           {"q", "12345"},
                                           {"cn", cards[1].number},
                                           {"cc", cards[1].password}}))
                 .body,
             std::string("2"));
  }

  // Names stored before the name rules may hold bytes that are not UTF-8 or C1 controls: the
  // table shows them escaped, and the JSON still decodes.
  void stored_names_that_break_the_rules_are_escaped() {
    const QString db = path("legacy.db");
    QCOMPARE(run({"cards", "add", "1", "--db", db}).exit_code, 0);
    sqlite3 *handle = nullptr;
    sqlite3_open(db.toUtf8().constData(), &handle);
    QCOMPARE(sqlite3_exec(handle,
                          "INSERT INTO accounts (name, name_key, password_hash, qq, created_at)"
                          " VALUES (X'626164FF', 'a', 'h', '12345', 1), (X'6331C285', 'b', 'h',"
                          " '12345', 1)",
                          nullptr, nullptr, nullptr),
             SQLITE_OK);
    sqlite3_close(handle);
    const QByteArray table = run({"accounts", "list", "--db", db}).out;
    QVERIFY2(table.contains("bad\\xff  ") && table.contains("c1\\x85  "), table.constData());
    const QJsonDocument json =
        QJsonDocument::fromJson(run({"accounts", "list", "--json", "--db", db}).out);
    QCOMPARE(json[0]["name"].toString() + json[1]["name"].toString(), QString("bad\uFFFDc1\u0085"));
  }

  // A backup taken during a burst of sign-ups holds every account acknowledged before it began,
  // passes SQLite's own check and is private whatever the umask.
  void backup_while_signing_up() {
    const QString db = path("burst.db");
    RunningService server(db);
    const auto cards = server.service().add_cards(1500);
    // A reader that stays in one transaction keeps checkpoints from moving the burst's writes
    // into the main file: they stay in the write-ahead log, which the copy must include.
    sqlite3 *reader = nullptr;
    QCOMPARE(sqlite3_open(db.toUtf8().constData(), &reader), SQLITE_OK);
    const auto close_reader = qScopeGuard([&] { sqlite3_close(reader); });
    QCOMPARE(
        sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM accounts", nullptr, nullptr, nullptr),
        SQLITE_OK);
    std::mutex mutex;
    std::vector<std::string> acknowledged;
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> burst;
    burst.reserve(4);
    for (int t = 0; t < 4; ++t)
      burst.emplace_back([&] {
        for (std::size_t i = 0; (i = next++) < cards.size();) {
          const std::string name = "burst" + std::to_string(i);
          const Reply reply = server.get(address("/reg.asp", {{"u", name},
                                                              {"p", "pw-secret"},
                                                              {"q", "12345"},
                                                              {"cn", cards[i].number},
                                                              {"cc", cards[i].password}}));
          const std::lock_guard<std::mutex> lock(mutex);
          if (reply.body == "3") acknowledged.push_back(name);
        }
      });
    const auto finish = qScopeGuard([&] {
      next = cards.size();
      for (std::thread &thread : burst) thread.join();
    });
    const auto acknowledged_now = [&] {
      const std::lock_guard<std::mutex> lock(mutex);
      return acknowledged;
    };
    QTRY_VERIFY(acknowledged_now().size() >= 50);
    const std::vector<std::string> before = acknowledged_now();
    const QString copy = path("burst.bak");
    const mode_t mask = ::umask(0);
    const Finished result = run({"backup", "--db", db, "--to", copy});
    ::umask(mask);
    QVERIFY2(next < cards.size(), "the burst ended before the backup did");
    QVERIFY2(result.exit_code == 0, result.err.constData());
    QVERIFY(result.out.contains("integrity check"));

    struct stat status {};
    QCOMPARE(::stat(copy.toUtf8().constData(), &status), 0);
    QCOMPARE(status.st_mode & 0777, mode_t(0600));
    sqlite3 *file = nullptr;
    QCOMPARE(sqlite3_open_v2(copy.toUtf8().constData(), &file, SQLITE_OPEN_READONLY, nullptr),
             SQLITE_OK);
    std::set<std::string> copied;
    sqlite3_exec(
        file, "PRAGMA integrity_check; SELECT name FROM accounts",
        [](void *names, int, char **values, char **) {
          static_cast<std::set<std::string> *>(names)->insert(values[0]);
          return 0;
        },
        &copied, nullptr);
    sqlite3_close(file);
    QVERIFY(copied.count("ok"));
    for (const std::string &name : before) QVERIFY2(copied.count(name), name.c_str());
    qInfo("%zu accounts acknowledged before the backup, %zu in it", before.size(),
          copied.size() - 1);
  }

  void busy_port_is_reported() {
    RunningService holder;
    const Finished result = run({"serve", "--db", path("busy.db"), "--listen",
                                 "127.0.0.1:" + QString::number(holder.port())});
    QCOMPARE(result.exit_code, 5);
    QVERIFY(result.err.contains("cannot listen"));
  }
};

QTEST_GUILESS_MAIN(TestServerCli)
#include "test_server_cli.moc"
