#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "geometry_check.h"
#include "message_spy.h"
#include "signup/form2.h"
#include "test_server.h"

using namespace velmoth;
using namespace velmoth::testing;

namespace {

const char *const kBoxes[] = {"Text1", "Text2", "Text3", "Text4", "Text5", "Text6"};

// A sign-up window against the loopback test server, with a fast poll timer.
struct SignupRig {
  TestServer server;
  QNetworkAccessManager network;
  QPointer<Form2> form;

  SignupRig() { server.listen(); }
  ~SignupRig() { delete form; }

  Form2 &open() {
    WindowContext context;
    context.service_url = server.base_url();
    context.home_url = "http://home.test/";
    context.network = &network;
    form = new Form2(context);
    form->findChild<QTimer *>("Timer1")->setInterval(20);
    form->load();
    form->activateWindow();
    return *form;
  }

  QLineEdit *box(const char *name) const { return form->findChild<QLineEdit *>(name); }
  QPushButton *button(const char *name) const { return form->findChild<QPushButton *>(name); }

  void fill(const QStringList &texts) {
    for (int i = 0; i < 6; ++i) box(kBoxes[i])->setText(texts[i]);
  }
  QStringList texts() const {
    QStringList result;
    for (const char *name : kBoxes) result << box(name)->text();
    return result;
  }
};

const QStringList kComplete{"新用户", "Pw&1", "Pw&1", "123456", "card#1", "c+c"};

}  // namespace

class TestForm2 : public QObject {
  Q_OBJECT

 private slots:
  void geometry_data() {
    QTest::addColumn<QString>("container");
    QTest::addColumn<TwipRect>("place");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Frame1") << "Form2" << TwipRect{120, 120, 3975, 3855} << "请先登录";
    QTest::newRow("Label1") << "Frame1" << TwipRect{720, 450, 615, 255} << "帐号：";
    QTest::newRow("Shape1") << "Frame1" << TwipRect{1320, 360, 2175, 375} << "";
    QTest::newRow("Text1") << "Frame1" << TwipRect{1380, 450, 2025, 260} << "";
    QTest::newRow("Label2") << "Frame1" << TwipRect{720, 945, 615, 255} << "密码：";
    QTest::newRow("Shape2") << "Frame1" << TwipRect{1320, 840, 2175, 375} << "";
    QTest::newRow("Text2") << "Frame1" << TwipRect{1380, 930, 2055, 260} << "";
    QTest::newRow("Label3") << "Frame1" << TwipRect{360, 1410, 975, 255} << "确认密码：";
    QTest::newRow("Shape3") << "Frame1" << TwipRect{1320, 1320, 2175, 375} << "";
    QTest::newRow("Text3") << "Frame1" << TwipRect{1380, 1410, 2025, 260} << "";
    QTest::newRow("Label4") << "Frame1" << TwipRect{360, 1890, 975, 255} << "绑定QQ：";
    QTest::newRow("Shape4") << "Frame1" << TwipRect{1320, 1800, 1335, 375} << "";
    QTest::newRow("Text4") << "Frame1" << TwipRect{1380, 1890, 1185, 260} << "";
    QTest::newRow("Label5") << "Frame1" << TwipRect{360, 2370, 975, 255} << "充值卡号：";
    QTest::newRow("Shape5") << "Frame1" << TwipRect{1320, 2280, 2175, 375} << "";
    QTest::newRow("Text5") << "Frame1" << TwipRect{1380, 2370, 2025, 260} << "";
    QTest::newRow("Label6") << "Frame1" << TwipRect{360, 2850, 975, 255} << "充值密码：";
    QTest::newRow("Shape6") << "Frame1" << TwipRect{1320, 2760, 2175, 375} << "";
    QTest::newRow("Text6") << "Frame1" << TwipRect{1380, 2850, 2025, 260} << "";
    QTest::newRow("Label7") << "Frame1" << TwipRect{360, 3360, 3375, 375}
                            << "注册需要充值卡，如没有请点击这里购买";
    QTest::newRow("Command2") << "Form2" << TwipRect{120, 4080, 1695, 375} << "注册(&R)";
    QTest::newRow("Command1") << "Form2" << TwipRect{3120, 4080, 975, 375} << "取消(&C)";
  }
  void geometry() {
    QFETCH(QString, container);
    QFETCH(TwipRect, place);
    QFETCH(QString, caption);
    SignupRig rig;
    Form2 &form = rig.open();
    const QString name = QTest::currentDataTag();
    check_geometry(form, name, container, place);
    QWidget *control = form.findChild<QWidget *>(name);
    QVERIFY(control->isVisible());
    QString shown;
    if (auto *label = qobject_cast<QLabel *>(control)) shown = label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(control)) shown = button->text();
    if (auto *frame = qobject_cast<QGroupBox *>(control)) shown = frame->title();
    QCOMPARE(shown, caption);
    if (auto *label = qobject_cast<QLabel *>(control); label && name != "Label7")
      QVERIFY(label->alignment() & Qt::AlignRight);
  }

  void window_after_load() {
    SignupRig rig;
    Form2 &form = rig.open();
    QCOMPARE(form.windowTitle(), QString("KorvaneV9.3"));
    QCOMPARE(form.size(), QSize(281, 304));
    QCOMPARE(form.WebHome, QString("http://home.test/buy.html"));
    QCOMPARE(form.palette().color(QPalette::Window), QColor(244, 243, 238));
    QCOMPARE(form.findChild<QWidget *>("Frame1")->palette().color(QPalette::Window),
             QColor(244, 243, 238));
    for (const char *name : {"Text2", "Text3"}) {
      QCOMPARE(rig.box(name)->echoMode(), QLineEdit::Password);
      QVERIFY(!rig.box(name)->testAttribute(Qt::WA_InputMethodEnabled));
    }
    QVERIFY(!rig.box("Text7")->isVisible());
    QVERIFY(rig.button("Command2")->isDefault());
    auto *link = form.findChild<QLabel *>("Label7");
    QCOMPARE(link->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QVERIFY(link->font().underline());
    QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
    QTRY_COMPARE(rig.server.requests_for("/").size(), 1);
  }

  void focus_order() {
    SignupRig rig;
    Form2 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(QApplication::focusWidget(), rig.box("Text1"));
    for (const char *name :
         {"Text2", "Text3", "Text4", "Text5", "Text6", "Command2", "Command1", "Label7", "Text1"}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString(name));
    }
  }

  void checks_data() {
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("all empty") << QStringList{"", "", "", "", "", ""} << "请输入帐号名"
                               << "Text1";
    QTest::newRow("no password") << QStringList{"a", "", "x", "1", "2", "3"} << "请输入密码。"
                                 << "Text2";
    QTest::newRow("no confirmation")
        << QStringList{"a", "p", "", "1", "2", "3"} << "请输入确认密码。"
        << "Text3";
    QTest::newRow("no QQ") << QStringList{"a", "p", "p", "", "2", "3"} << "请输入绑定QQ。"
                           << "Text4";
    QTest::newRow("no card") << QStringList{"a", "p", "p", "1", "", "3"} << "请输入充值卡号。"
                             << "Text5";
    QTest::newRow("no card password")
        << QStringList{"a", "p", "p", "1", "2", ""} << "请输入充值密码。"
        << "Text6";
    QTest::newRow("passwords differ")
        << QStringList{"a", "p1", "p2", "1", "2", "3"} << "两次密码输入不一致，请重新输入。"
        << "Text2";
    QTest::newRow("passwords differ in case")
        << QStringList{"a", "Secret", "secret", "1", "2", "3"} << "两次密码输入不一致，请重新输入。"
        << "Text2";
    // Several problems at once: the first check in order speaks.
    QTest::newRow("no QQ and no card") << QStringList{"a", "p", "p", "", "", ""} << "请输入绑定QQ。"
                                       << "Text4";
    QTest::newRow("passwords differ and no QQ")
        << QStringList{"a", "p1", "p2", "", "2", "3"} << "请输入绑定QQ。"
        << "Text4";
    QTest::newRow("no confirmation and no card password")
        << QStringList{"a", "p", "", "1", "2", ""} << "请输入确认密码。"
        << "Text3";
    QTest::newRow("passwords differ and no card password")
        << QStringList{"a", "p1", "p2", "1", "2", ""} << "请输入充值密码。"
        << "Text6";
    QTest::newRow("blanks are not empty")
        << QStringList{" ", " ", "  ", "1", "2", "3"} << "两次密码输入不一致，请重新输入。"
        << "Text2";
  }
  void checks() {
    QFETCH(QStringList, texts);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    MessageSpy spy;
    SignupRig rig;
    Form2 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    rig.fill(texts);
    rig.button("Command2")->click();
    QCOMPARE(spy.texts(), QStringList{message});
    QCOMPARE(spy.shown().first().icon, QMessageBox::Warning);
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QCOMPARE(rig.texts(), texts);
    QVERIFY(rig.button("Command1")->isEnabled());
    QTest::qWait(50);
    QVERIFY(rig.server.requests_for("/reg.asp").isEmpty());
  }

  void enter_in_any_box_sends() {
    for (const char *name : kBoxes) {
      MessageSpy spy;
      SignupRig rig;
      rig.open();
      QTest::keyClick(rig.box(name), Qt::Key_Return);
      QCOMPARE(spy.texts(), QStringList{"请输入帐号名"});
    }
  }

  void escape_does_nothing() {
    MessageSpy spy;
    SignupRig rig;
    Form2 &form = rig.open();
    QSignalSpy back(&form, &Form2::back_to_login);
    QTest::keyClick(rig.box("Text1"), Qt::Key_Escape);
    QTest::qWait(50);
    QVERIFY(form.isVisible());
    QCOMPARE(back.size(), 0);
    QVERIFY(spy.shown().isEmpty());
  }

  void replies_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("texts_after");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<bool>("back");
    QStringList cleared = kComplete;
    cleared[0].clear();
    QTest::newRow("0") << QByteArray("0") << "注册失败，请确认所有信息填写正确！" << kComplete << ""
                       << false;
    QTest::newRow("1") << QByteArray("1") << "注册失败，用户名已存在！" << cleared << "Text1"
                       << false;
    QTest::newRow("2") << QByteArray("2") << "冲值卡信息错误或已失效！" << kComplete << "Text5"
                       << false;
    QTest::newRow("3") << QByteArray("3") << "注册成功，点击确认登陆！" << kComplete << "" << true;
    QTest::newRow("time-out") << QByteArray("4") << "注册超时，请检查网络！" << kComplete << ""
                              << false;
  }
  void replies() {
    QFETCH(QByteArray, reply);
    QFETCH(QString, message);
    QFETCH(QStringList, texts_after);
    QFETCH(QString, focus);
    QFETCH(bool, back);
    MessageSpy spy(QMessageBox::Ok, 100);
    SignupRig rig;
    rig.server.on("/reg.asp", TestResponse{200, reply, {}});
    Form2 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QSignalSpy went_back(&form, &Form2::back_to_login);
    rig.fill(kComplete);
    rig.box("Text4")->setFocus();
    QTest::keyClick(rig.box("Text4"), Qt::Key_Return);
    QCOMPARE(rig.button("Command2")->text(), QString("注册中..."));
    QVERIFY(!rig.button("Command1")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(spy.texts(), QStringList{message}, 5000);
    QTRY_VERIFY(rig.button("Command2")->isEnabled());
    QTest::qWait(100);
    QCOMPARE(spy.texts(), QStringList{message});
    QCOMPARE(rig.texts(), texts_after);
    QCOMPARE(rig.button("Command2")->text(), QString("注册(&R)"));
    QVERIFY(rig.button("Command1")->isEnabled());
    if (!focus.isEmpty()) QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QCOMPARE(went_back.size(), back ? 1 : 0);

    const auto sent = rig.server.requests_for("/reg.asp");
    QCOMPARE(sent.size(), 1);
    QStringList keys, values;
    for (const auto &[key, value] : sent.first().query()) {
      keys << key;
      values << value;
    }
    QCOMPARE(keys, (QStringList{"u", "p", "q", "cn", "cc", "t"}));
    QCOMPARE(values.mid(0, 5), (QStringList{"新用户", "Pw&1", "123456", "card#1", "c+c"}));
  }

  void closing_while_waiting_never_acts_on_the_reply() {
    MessageSpy spy;
    SignupRig rig;
    TestResponse late{200, "3", {}};
    late.delay_ms = 200;
    rig.server.on("/reg.asp", late);
    Form2 &form = rig.open();
    QSignalSpy closed(&form, &Form2::closed);
    rig.fill(kComplete);
    rig.button("Command2")->click();
    QTRY_COMPARE(rig.server.requests_for("/reg.asp").size(), 1);
    form.close();
    QCOMPARE(closed.size(), 1);
    QTRY_VERIFY(rig.form.isNull());
    QTest::qWait(400);
    QVERIFY(spy.shown().isEmpty());
  }
};

QTEST_MAIN(TestForm2)
#include "test_form2.moc"
