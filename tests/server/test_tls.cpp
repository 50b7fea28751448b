// HTTPS as a real TLS client sees it: old protocol versions and suites refused, TLS 1.2 and 1.3
// served, a reload that swaps the certificate for new handshakes while open ones go on, and
// handshakes that stall closed by the head deadline while logins go on beside 2,000 idle TLS
// connections. And behind nginx terminating TLS, lock-out counts the real clients, not the proxy.

#include <poll.h>
#include <sys/socket.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QtTest>
#include <algorithm>

#include "http/front_metrics.h"
#include "server_harness.h"
#include "test_certificates.h"

using namespace velmoth::server;
using namespace velmoth::server::testing;

namespace {

constexpr int kIdleTls = 2000;
constexpr int kLogins = 100;
constexpr const char *kRequest = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";
constexpr const char *kLastRequest =
    "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";

// openssl s_client on port with extra arguments, its input request; what it printed.
QByteArray s_client(int port, const QStringList &extra, const QByteArray &request = kLastRequest) {
  QProcess client;
  client.setProcessChannelMode(QProcess::MergedChannels);
  client.start(QStringLiteral("openssl"),
               QStringList{"s_client", "-connect", QStringLiteral("127.0.0.1:%1").arg(port),
                           "-servername", "localhost", "-ign_eof"} +
                   extra);
  client.write(request);
  client.closeWriteChannel();
  if (!client.waitForFinished(15000)) client.kill();
  return client.readAll();
}

// The first certificate in PEM text, without line breaks.
QByteArray first_certificate(const QByteArray &text) {
  const qsizetype begin = text.indexOf("-----BEGIN CERTIFICATE-----");
  const qsizetype end = text.indexOf("-----END CERTIFICATE-----", begin);
  if (begin < 0 || end < 0) return {};
  return text.mid(begin, end - begin).replace('\n', "");
}

QByteArray read(const QString &path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool replace(const QString &to, const QString &from) {
  QFile::remove(to);
  return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner);
}

// nginx terminating TLS on its own port in front of the plain service on service_port.
class TlsProxy {
 public:
  TlsProxy(const TestCertificates &tls, int service_port) : port_(free_port()) {
    QFile config(dir_.filePath("nginx.conf"));
    if (!config.open(QIODevice::WriteOnly)) return;
    config.write(
        QStringLiteral("daemon off; worker_processes 1; pid %1/nginx.pid; error_log %1/error.log;\n"
                       "events { worker_connections 64; }\n"
                       "http { access_log off; client_body_temp_path %1; proxy_temp_path %1;\n"
                       "  server { listen 127.0.0.1:%2 ssl; ssl_certificate %3; "
                       "ssl_certificate_key %4;\n"
                       "    location / { proxy_pass http://127.0.0.1:%5;\n"
                       "      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for; } } }\n")
            .arg(dir_.path())
            .arg(port_)
            .arg(tls.certificate(), tls.key())
            .arg(service_port)
            .toUtf8());
    config.close();
    nginx_.start(QStringLiteral("nginx"), {"-p", dir_.path(), "-c", config.fileName()});
  }
  ~TlsProxy() {
    nginx_.terminate();
    nginx_.waitForFinished(5000);
  }
  int port() const { return port_; }

 private:
  QTemporaryDir dir_;
  int port_;
  QProcess nginx_;
};

// The body curl receives for url from the local address from, with extra headers.
QByteArray curl(const QString &url, const char *from, const QStringList &headers = {}) {
  QProcess client;
  QStringList extra;
  for (const QString &header : headers) extra << "-H" << header;
  client.start(QStringLiteral("curl"), QStringList{"-sk", "--interface", from, url} + extra);
  client.waitForFinished(15000);
  return client.readAllStandardOutput();
}

// Whether the other end has closed socket, once what it sent before (a TLS alert) is read.
bool closed_by_peer(int socket) {
  char buffer[256];
  ssize_t n = 0;
  while ((n = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
  }
  return n == 0;
}

}  // namespace

class TestTls : public QObject {
  Q_OBJECT

  TestCertificates certificates_;
  std::unique_ptr<TlsIdentity> identity_;
  std::unique_ptr<RunningService> server_;

 private slots:
  void initTestCase() {
    // Both ends of every connection are in this process.
    QVERIFY2(raise_open_file_limit() > 2 * (kIdleTls + 256) + 200,
             "the open-file limit is too low");
    QVERIFY(certificates_.ok());
    QVERIFY(replace(certificates_.file("served.pem"), certificates_.certificate()));
    QVERIFY(replace(certificates_.file("served.key"), certificates_.key()));
    identity_ = std::make_unique<TlsIdentity>(certificates_.file("served.pem").toStdString(),
                                              certificates_.file("served.key").toStdString());
    server_ = std::make_unique<RunningService>(QString(), HashCost::minimum(),
                                               FrontTransport{identity_.get(), {}});
  }
  void cleanupTestCase() {
    server_.reset();
    identity_.reset();
  }

  // Old versions are offered with every suite allowed, so only the service can refuse them.
  void versions_and_suites_data() {
    QTest::addColumn<QStringList>("offer");
    QTest::addColumn<bool>("served");
    const QString any = QStringLiteral("ALL:@SECLEVEL=0");
    QTest::newRow("TLS 1.0") << QStringList{"-tls1", "-cipher", any} << false;
    QTest::newRow("TLS 1.1") << QStringList{"-tls1_1", "-cipher", any} << false;
    QTest::newRow("TLS 1.2 without forward secrecy")
        << QStringList{"-tls1_2", "-cipher", "AES128-GCM-SHA256:AES256-GCM-SHA384"} << false;
    QTest::newRow("TLS 1.2 with CBC")
        << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384"}
        << false;
    QTest::newRow("TLS 1.2, ECDHE and AES-GCM")
        << QStringList{"-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"} << true;
    QTest::newRow("TLS 1.3") << QStringList{"-tls1_3"} << true;
  }
  void versions_and_suites() {
    QFETCH(QStringList, offer);
    QFETCH(bool, served);
    const Counter &counted = served ? front_metrics().tls_completed : front_metrics().tls_failed;
    const Counter &other = served ? front_metrics().tls_failed : front_metrics().tls_completed;
    const std::uint64_t counted_before = counted.value();
    const std::uint64_t other_before = other.value();
    const QByteArray said = s_client(server_->port(), offer);
    QVERIFY2(said.contains("HTTP/1.1 200 OK") == served, said.constData());
    // The metrics judge each handshake once, as its connection closes.
    QTRY_COMPARE(counted.value() - counted_before, std::uint64_t(1));
    QCOMPARE(other.value() - other_before, std::uint64_t(0));
  }

  // Heads the library refuses by itself are logged over TLS as they are over plain HTTP, and an
  // answered request only with its own line.
  void refused_heads_are_logged_data() {
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("refused");
    QTest::newRow("answered") << QByteArray(kLastRequest) << 0;
    QTest::newRow("bare CR line end") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r") << 1;
    QTest::newRow("NUL in header name")
        << QByteArray("GET / HTTP/1.1\r\nX-") + '\0' + "A: b\r\n\r\n"
        << 1;
  }
  void refused_heads_are_logged() {
    QFETCH(QByteArray, head);
    QFETCH(int, refused);
    const auto refusals = [this] {
      const auto lines = server_->log_lines();
      return std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
        return line.find("\"- - -\" 400") != std::string::npos;
      });
    };
    const auto before = refusals();
    s_client(server_->port(), {}, head);
    QTest::qWait(300);  // the connection is closed; its last line, if any, follows at once
    QTRY_COMPARE_WITH_TIMEOUT(refusals(), before + refused, 5000);
  }

  void reload_swaps_the_certificate_for_new_handshakes_only() {
    QProcess before;
    before.setProcessChannelMode(QProcess::MergedChannels);
    before.start(QStringLiteral("openssl"),
                 {"s_client", "-connect", QStringLiteral("127.0.0.1:%1").arg(server_->port()),
                  "-servername", "localhost", "-ign_eof"});
    QByteArray answers;
    before.write(kRequest);
    QTRY_VERIFY_WITH_TIMEOUT((answers += before.readAll()).contains("</html>"), 5000);

    QVERIFY(replace(certificates_.file("served.pem"), certificates_.renewed_certificate()));
    QVERIFY(replace(certificates_.file("served.key"), certificates_.renewed_key()));
    identity_->reload();
    const QByteArray after = s_client(server_->port(), {"-showcerts"});
    QCOMPARE(first_certificate(after),
             first_certificate(read(certificates_.renewed_certificate())));

    // A bad pair is refused and the renewed one stays.
    QVERIFY(replace(certificates_.file("served.key"), certificates_.key()));
    QVERIFY_THROWS_EXCEPTION(TlsError, identity_->reload());
    QCOMPARE(first_certificate(s_client(server_->port(), {"-showcerts"})),
             first_certificate(read(certificates_.renewed_certificate())));

    // The connection opened before the reload still answers.
    answers.clear();
    before.write(kRequest);
    QTRY_VERIFY_WITH_TIMEOUT((answers += before.readAll()).contains("</html>"), 5000);
    before.kill();
    before.waitForFinished();
  }

  // 2,000 idle TLS connections and 256 clients that send the start of a ClientHello and then
  // nothing hold no worker: logins over TLS stay quick, and the stalled handshakes are closed when
  // the head deadline (which covers the handshake) runs out.
  void idle_and_stalled_connections_leave_logins_quick() {
    // Opening 2,000 TLS connections from one test process takes seconds; the deadlines are long
    // enough for all of them to be open at once while the logins run.
    FrontLimits limits;
    limits.head_time = std::chrono::seconds(30);
    limits.idle_timeout = std::chrono::seconds(60);
    RunningService server({}, HashCost::minimum(), FrontTransport{identity_.get(), {}}, limits);
    QVERIFY(server.service().ensure_demo_account());
    std::vector<std::unique_ptr<QSslSocket>> idle;
    for (int i = 0; i < kIdleTls; ++i) {
      idle.push_back(std::make_unique<QSslSocket>());
      idle.back()->setPeerVerifyMode(QSslSocket::VerifyNone);
      idle.back()->bind(QHostAddress(QStringLiteral("127.0.1.%1").arg(1 + i / 250)));
      idle.back()->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    }
    const auto encrypted = [&] {
      return std::count_if(idle.begin(), idle.end(),
                           [](const auto &s) { return s->isEncrypted(); });
    };
    QTRY_COMPARE_WITH_TIMEOUT(encrypted(), kIdleTls, 25000);

    const std::string partial_hello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);
    std::vector<std::unique_ptr<ClientConnection>> stalled;
    for (int i = 0; i < 256; ++i) {
      stalled.push_back(
          std::make_unique<ClientConnection>(server.port(), i % 2 ? "127.0.0.2" : "127.0.0.3"));
      QVERIFY(stalled.back()->connected());
      ::send(stalled.back()->socket(), partial_hello.data(), partial_hello.size(), MSG_NOSIGNAL);
    }
    QElapsedTimer since_stalled;
    since_stalled.start();

    // One curl, a new connection and handshake per login; each login's body, then its time.
    const QString login =
        QStringLiteral("https://localhost:%1/login.asp?u=demo&p=demo1234").arg(server.port());
    QProcess client;
    client.start(QStringLiteral("curl"),
                 QStringList{"-sk", "-H", "Connection: close", "-w", "\n%{time_total}\n"} +
                     QStringList(kLogins, login));
    QVERIFY(client.waitForFinished(60000));
    const QList<QByteArray> said = client.readAllStandardOutput().split('\n');
    QCOMPARE(said.size(), 2 * kLogins + 1);
    std::vector<double> seconds;
    for (int n = 0; n < kLogins; ++n) {
      QCOMPARE(said[2 * n], QByteArray("1"));
      seconds.push_back(said[2 * n + 1].toDouble());
    }
    std::sort(seconds.begin(), seconds.end());
    const double p99 = seconds[kLogins * 99 / 100 - 1];
    QVERIFY2(p99 <= 1.0, qPrintable(QString("p99 of %1 logins: %2 s").arg(kLogins).arg(p99)));
    // The idle connections were still open meanwhile.
    QCOMPARE(std::count_if(idle.begin(), idle.end(),
                           [](const auto &s) {
                             pollfd end{static_cast<int>(s->socketDescriptor()), POLLRDHUP, 0};
                             return ::poll(&end, 1, 0) == 0;
                           }),
             kIdleTls);

    int open = 256;
    while (open > 0 && since_stalled.elapsed() < limits.head_time.count() + 2000) {
      open = 0;
      for (const auto &connection : stalled) open += !closed_by_peer(connection->socket());
      QTest::qWait(100);
    }
    QCOMPARE(open, 0);
  }

  // Guesses through the proxy lock out the guessing client only, and a client that reaches the
  // service directly cannot pass off its guesses as someone else's with the header.
  void lock_out_counts_clients_behind_a_proxy() {
    RunningService plain({}, HashCost::minimum(), FrontTransport{nullptr, {"127.0.0.1"}});
    QVERIFY(plain.service().ensure_demo_account());
    TlsProxy proxy(certificates_, plain.port());
    const QString through =
        QStringLiteral("https://127.0.0.1:%1/login.asp?u=demo&p=").arg(proxy.port());
    QTRY_COMPARE_WITH_TIMEOUT(curl(through + "demo1234", "127.0.0.5"), QByteArray("1"), 5000);
    for (int i = 0; i < 30; ++i) curl(through + "wrong", "127.0.0.2");
    QCOMPARE(curl(through + "demo1234", "127.0.0.2"), QByteArray("0"));
    const QString direct =
        QStringLiteral("http://127.0.0.1:%1/login.asp?u=demo&p=wrong").arg(plain.port());
    for (int i = 0; i < 30; ++i) curl(direct, "127.0.0.3", {"X-Forwarded-For: 127.0.0.4"});
    QCOMPARE(curl(through + "demo1234", "127.0.0.4"), QByteArray("1"));
  }
};

QTEST_GUILESS_MAIN(TestTls)
#include "test_tls.moc"
