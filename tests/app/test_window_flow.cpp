#include <QApplication>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "app/start.h"
#include "app/window_flow.h"
#include "login/form1.h"
#include "mainwin/form3.h"
#include "message_spy.h"
#include "signup/form2.h"
#include "test_server.h"

using namespace velmoth;
using namespace velmoth::testing;

namespace {

struct FlowRig {
  TestServer server;
  QNetworkAccessManager network;
  QTemporaryDir dir;
  std::unique_ptr<WindowFlow> flow;

  FlowRig() {
    server.listen();
    WindowContext context;
    context.service_url = server.base_url();
    context.home_url = "http://home.test/";
    context.network = &network;
    context.credentials_path = dir.filePath("config.inf");
    flow = std::make_unique<WindowFlow>(context);
    flow->start();
  }

  QPushButton *button(QWidget *window, const char *name) {
    return window->findChild<QPushButton *>(name);
  }
  QLineEdit *box(QWidget *window, const char *name) { return window->findChild<QLineEdit *>(name); }
  Form2 *open_signup() {
    button(flow->form1(), "Command1")->click();
    return flow->form2();
  }
};

}  // namespace

class TestWindowFlow : public QObject {
  Q_OBJECT

 private slots:
  void start_shows_only_the_login_window() {
    FlowRig rig;
    QVERIFY(rig.flow->form1()->isVisible());
    QVERIFY(!rig.flow->form2());
    QVERIFY(!rig.flow->form3());
  }

  void cancel_keeps_what_was_typed() {
    FlowRig rig;
    Form2 *signup = rig.open_signup();
    QVERIFY(signup && signup->isVisible());
    QVERIFY(!rig.flow->form1()->isVisible());
    rig.box(signup, "Text1")->setText("typed");
    rig.button(signup, "Command1")->click();
    QVERIFY(!signup->isVisible());
    QVERIFY(rig.flow->form1()->isVisible());
    QCOMPARE(rig.open_signup(), signup);
    QCOMPARE(rig.box(signup, "Text1")->text(), QString("typed"));
  }

  void title_bar_close_destroys_and_reopens_afresh() {
    MessageSpy spy;
    FlowRig rig;
    QPointer<Form2> signup = rig.open_signup();
    QTRY_COMPARE(rig.server.requests_for("/").size(), 2);  // Form1's and the first Form2's
    rig.box(signup, "Text1")->setText("typed");
    signup->close();
    QVERIFY(spy.shown().isEmpty());
    QVERIFY(rig.flow->form1()->isVisible());
    QVERIFY(!rig.flow->form2());
    QTRY_VERIFY(signup.isNull());
    Form2 *again = rig.open_signup();
    QVERIFY(again && again->isVisible());
    QCOMPARE(rig.box(again, "Text1")->text(), QString());
    QTRY_COMPARE(rig.server.requests_for("/").size(), 3);  // its load steps ran again
    const auto windows = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(windows.begin(), windows.end(),
                           [](QWidget *w) { return qobject_cast<Form2 *>(w) != nullptr; }),
             1);
  }

  void signed_up_returns_to_the_login_window_as_left() {
    MessageSpy spy;
    FlowRig rig;
    rig.server.on("/reg.asp", TestResponse{200, "3", {}});
    rig.box(rig.flow->form1(), "Text1")->setText("left as is");
    Form2 *signup = rig.open_signup();
    signup->findChild<QTimer *>("Timer1")->setInterval(20);
    for (const char *name : {"Text1", "Text2", "Text3", "Text4", "Text5", "Text6"})
      rig.box(signup, name)->setText("12345");
    rig.button(signup, "Command2")->click();
    QTRY_VERIFY(rig.flow->form1()->isVisible());
    QVERIFY(!signup->isVisible());
    QCOMPARE(spy.texts(), QStringList{"注册成功，点击确认登陆！"});
    QCOMPARE(rig.box(rig.flow->form1(), "Text1")->text(), QString("left as is"));
  }

  void login_opens_the_main_window_with_the_session_cookie() {
    FlowRig rig;
    rig.server.on("/login.asp", TestResponse{200, "1", {{"Set-Cookie", "sid=s3cr3t; Path=/"}}});
    Form1 *login = rig.flow->form1();
    login->findChild<QTimer *>("Timer1")->setInterval(20);
    rig.box(login, "Text1")->setText("alice");
    rig.box(login, "Text2")->setText("pw");
    rig.button(login, "Command2")->click();
    QTRY_VERIFY(rig.flow->form3() && rig.flow->form3()->isVisible());
    QVERIFY(!login->isVisible());
    QTRY_COMPARE(rig.server.requests_for("/account.asp").size(), 1);
    const TestRequest account = rig.server.requests_for("/account.asp").first();
    QCOMPARE(account.target, QByteArray("/account.asp"));
    QCOMPARE(account.header("Cookie"), QByteArray("sid=s3cr3t"));
  }

  void yes_ends_the_program_even_with_sign_up_hidden() {
    FlowRig rig;
    QSignalSpy ended(rig.flow.get(), &WindowFlow::program_ended);
    QPointer<Form2> signup = rig.open_signup();
    rig.button(signup, "Command1")->click();
    QPointer<Form1> login = rig.flow->form1();
    MessageSpy spy(QMessageBox::Yes);
    login->close();
    QCOMPARE(ended.size(), 1);
    QVERIFY(!login->isVisible());
    QTRY_VERIFY(login.isNull() && signup.isNull());
  }

  void no_keeps_the_main_window() {
    FlowRig rig;
    rig.server.on("/login.asp", TestResponse{200, "1", {}});
    Form1 *login = rig.flow->form1();
    login->findChild<QTimer *>("Timer1")->setInterval(20);
    rig.box(login, "Text1")->setText("alice");
    rig.box(login, "Text2")->setText("pw");
    rig.button(login, "Command2")->click();
    QTRY_VERIFY(rig.flow->form3());
    QSignalSpy ended(rig.flow.get(), &WindowFlow::program_ended);
    MessageSpy spy(QMessageBox::No);
    rig.flow->form3()->close();
    QVERIFY(rig.flow->form3()->isVisible());
    QCOMPARE(ended.size(), 0);
    spy.set_answer(QMessageBox::Yes);
    rig.flow->form3()->close();
    QCOMPARE(ended.size(), 1);
  }

  void initialize_replaces_the_classic_style() {
    FlowRig rig;
    QApplication::setStyle(QStyleFactory::create("Windows"));
    initialize(*rig.flow->form1());
    QCOMPARE(QApplication::style()->name().toLower(), QString("fusion"));
  }
};

QTEST_MAIN(TestWindowFlow)
#include "test_window_flow.moc"
