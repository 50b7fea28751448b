#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/window_flow.h"
#include "login/form1.h"
#include "mainwin/form3.h"
#include "message_spy.h"
#include "platform/browser.h"
#include "service/protocol.h"
#include "signup/form2.h"
#include "test_certificates.h"

using namespace velmoth;
using velmoth::server::testing::TestCertificates;
using velmoth::testing::MessageSpy;

namespace {

constexpr int kReplyWait = 15000;  // real password hashing on a busy machine

// The real reference service, run as its own process on a free loopback port.
class ReferenceService {
 public:
  explicit ReferenceService(const QString &db) : db_(db) {}
  ~ReferenceService() {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      process_.waitForFinished(5000);
    }
  }

  // Creates count top-up cards and returns them as "NUMBER PASSWORD" lines.
  QStringList add_cards(int count) {
    QProcess tool;
    tool.start(VELMOTH_SERVER_EXE, {"add-cards", "--db", db_, QString::number(count)});
    if (!tool.waitForFinished(30000) || tool.exitCode() != 0) return {};
    return QString::fromUtf8(tool.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  }

  // Starts serving with the options given; returns the base address it listens on, or nothing.
  QString serve(const QStringList &options = {}) {
    process_.setReadChannel(QProcess::StandardError);
    process_.start(VELMOTH_SERVER_EXE,
                   QStringList{"serve", "--db", db_, "--listen", "127.0.0.1:0"} + options);
    static const QRegularExpression listening("listening on (https?://127\\.0\\.0\\.1:\\d+/)");
    QByteArray said;
    while (process_.waitForReadyRead(10000)) {
      said += process_.readAllStandardError();
      const auto match = listening.match(QString::fromUtf8(said));
      if (match.hasMatch()) return match.captured(1);
    }
    return {};
  }

 private:
  QString db_;
  QProcess process_;
};

QLineEdit *box(QWidget *window, const char *name) { return window->findChild<QLineEdit *>(name); }
QPushButton *button(QWidget *window, const char *name) {
  return window->findChild<QPushButton *>(name);
}
// Twenty polls of half a second leave real password hashing ten seconds, even on a loaded machine.
void quicken(QWidget *window) { window->findChild<QTimer *>("Timer1")->setInterval(500); }

}  // namespace

class TestEndToEnd : public QObject {
  Q_OBJECT

  TestCertificates certificates_;

 private slots:
  // The client trusts the certificates' CA, in this test only.
  void initTestCase() {
    QVERIFY(certificates_.ok());
    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.addCaCertificates(certificates_.ca());
    QSslConfiguration::setDefaultConfiguration(trusting);
  }

  void sign_up_then_log_in_against_the_reference_service_data() {
    QTest::addColumn<bool>("https");
    QTest::newRow("plain HTTP on loopback") << false;
    QTest::newRow("HTTPS") << true;
  }
  void sign_up_then_log_in_against_the_reference_service() {
    QFETCH(bool, https);
    QTemporaryDir dir;
    ReferenceService service(dir.filePath("velmoth.db"));
    const QStringList cards = service.add_cards(1);
    QCOMPARE(cards.size(), 1);
    const QStringList card = cards.first().split(' ');
    QCOMPARE(card.size(), 2);
    QString base = https ? service.serve({"--tls-cert", certificates_.certificate(), "--tls-key",
                                          certificates_.key()})
                         : service.serve();
    QVERIFY2(!base.isEmpty(), "the reference service did not start");
    // The certificate names the host "localhost".
    if (https) base.replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));

    QNetworkAccessManager network;
    WindowContext context{base, base, &network, dir.filePath("config.inf")};
    WindowFlow flow(context);
    flow.start();
    MessageSpy spy;
    Form1 *login = flow.form1();
    quicken(login);

    // A fresh card pays for a new account and leads back to the login window.
    button(login, "Command1")->click();
    Form2 *signup = flow.form2();
    quicken(signup);
    const QStringList typed{"新用户 e2e", "Pw&#1 %x", "Pw&#1 %x", "123456", card[0], card[1]};
    const char *boxes[] = {"Text1", "Text2", "Text3", "Text4", "Text5", "Text6"};
    for (int i = 0; i < 6; ++i) box(signup, boxes[i])->setText(typed[i]);
    button(signup, "Command2")->click();
    QTRY_COMPARE_WITH_TIMEOUT(spy.texts(), QStringList{"注册成功，点击确认登陆！"}, kReplyWait);
    QTRY_VERIFY(login->isVisible());
    QVERIFY(!signup->isVisible());

    // The same card cannot pay twice.
    spy.clear();
    button(login, "Command1")->click();
    QCOMPARE(flow.form2(), signup);
    box(signup, "Text1")->setText("another e2e");
    button(signup, "Command2")->click();
    QTRY_COMPARE_WITH_TIMEOUT(spy.texts(), QStringList{"冲值卡信息错误或已失效！"}, kReplyWait);
    QTRY_VERIFY(button(signup, "Command1")->isEnabled());
    button(signup, "Command1")->click();
    QVERIFY(login->isVisible());

    // A wrong password is refused and both boxes are cleared.
    spy.clear();
    box(login, "Text1")->setText(typed[0]);
    box(login, "Text2")->setText("wrong");
    button(login, "Command2")->click();
    QTRY_COMPARE_WITH_TIMEOUT(spy.texts(), QStringList{"登录失败，请确认帐号及密码正确！"},
                              kReplyWait);
    QCOMPARE(box(login, "Text1")->text(), QString());

    // The right one opens the main window, whose account page the service answers for the
    // session the login started.
    spy.clear();
    box(login, "Text1")->setText(typed[0]);
    box(login, "Text2")->setText(typed[1]);
    button(login, "Command2")->click();
    QTRY_VERIFY_WITH_TIMEOUT(flow.form3() && flow.form3()->isVisible(), kReplyWait);
    QVERIFY(!login->isVisible());
    QVERIFY(spy.shown().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(flow.form3()->WebBrowser1.outerHTML().contains(typed[0]), kReplyWait);
    QVERIFY(flow.form3()->WebBrowser1.outerHTML().contains("123456"));
  }

  // A certificate the client cannot trust ends the load as a failed page, never as a reply.
  void untrusted_certificates_are_failed_pages_data() {
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("host");
    QTest::newRow("wrong host name")
        << certificates_.certificate() << certificates_.key() << "127.0.0.1";
    QTest::newRow("expired certificate")
        << certificates_.expired_certificate() << certificates_.expired_key() << "localhost";
    QTest::newRow("unknown CA") << certificates_.stranger_certificate()
                                << certificates_.stranger_key() << "localhost";
  }
  void untrusted_certificates_are_failed_pages() {
    QFETCH(QString, certificate);
    QFETCH(QString, key);
    QFETCH(QString, host);
    QProcess peer;
    peer.start(QStringLiteral("openssl"),
               {"s_server", "-accept", "127.0.0.1:0", "-cert", certificate, "-key", key, "-www"});
    static const QRegularExpression accepting("ACCEPT 127\\.0\\.0\\.1:(\\d+)");
    QByteArray said;
    QRegularExpressionMatch port;
    while (!(port = accepting.match(QString::fromUtf8(said))).hasMatch() &&
           peer.waitForReadyRead(10000))
      said += peer.readAllStandardOutput();
    QVERIFY2(port.hasMatch(), said.constData());

    QNetworkAccessManager network;
    Browser browser(network, installed_page_helper());
    QSignalSpy complete(&browser, &Browser::DocumentComplete);
    browser.Navigate(
        QStringLiteral("https://%1:%2/login.asp?u=demo&p=demo1234").arg(host, port.captured(1)));
    QVERIFY(complete.wait(kReplyWait));
    QVERIFY2(browser.outerHTML().contains(QStringLiteral("无法建立安全连接")),
             qPrintable(browser.outerHTML()));
    QCOMPARE(read_reply(browser.outerHTML()).value_or(QString()).size() == 1, false);
    peer.kill();
    peer.waitForFinished();
  }
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
