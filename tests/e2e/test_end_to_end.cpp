#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "app/window_flow.h"
#include "login/form1.h"
#include "mainwin/form3.h"
#include "message_spy.h"
#include "signup/form2.h"

using namespace velmoth;
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

  // Starts serving; returns the base address it listens on, or nothing.
  QString serve() {
    process_.setReadChannel(QProcess::StandardError);
    process_.start(VELMOTH_SERVER_EXE, {"serve", "--db", db_, "--listen", "127.0.0.1:0"});
    static const QRegularExpression listening("listening on (http://127\\.0\\.0\\.1:\\d+/)");
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

 private slots:
  void sign_up_then_log_in_against_the_reference_service() {
    QTemporaryDir dir;
    ReferenceService service(dir.filePath("velmoth.db"));
    const QStringList cards = service.add_cards(1);
    QCOMPARE(cards.size(), 1);
    const QStringList card = cards.first().split(' ');
    QCOMPARE(card.size(), 2);
    const QString base = service.serve();
    QVERIFY2(!base.isEmpty(), "the reference service did not start");

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
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
