#include <QCheckBox>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "geometry_check.h"
#include "login/form1.h"
#include "message_spy.h"
#include "platform/widgets.h"
#include "test_server.h"

using namespace velmoth;
using namespace velmoth::testing;

namespace {

// A login window against the loopback test server, remembering into a scratch folder, with a
// fast poll timer.
struct LoginRig {
  TestServer server;
  QNetworkAccessManager network;
  QTemporaryDir dir;
  std::unique_ptr<Form1> form;

  LoginRig() { server.listen(); }

  QString credentials() const { return dir.filePath("config.inf"); }

  Form1 &open() {
    WindowContext context;
    context.service_url = server.base_url();
    context.home_url = "http://home.test/";
    context.network = &network;
    context.credentials_path = credentials();
    form = std::make_unique<Form1>(context);
    form->findChild<QTimer *>("Timer1")->setInterval(20);
    form->load();
    form->activateWindow();
    return *form;
  }

  template <class T>
  T *get(const char *name) const {
    return form->findChild<T *>(name);
  }
  QLineEdit *box(const char *name) const { return get<QLineEdit>(name); }
  QPushButton *button(const char *name) const { return get<QPushButton>(name); }

  void type_and_send(const QString &account, const QString &password) {
    box("Text1")->setText(account);
    box("Text2")->setText(password);
    box("Text2")->setFocus();
    QTest::keyClick(box("Text2"), Qt::Key_Return);
  }

  QByteArray file_bytes() const {
    QFile file(credentials());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
};

}  // namespace

class TestForm1 : public QObject {
  Q_OBJECT

 private slots:
  void geometry_data() {
    QTest::addColumn<QString>("container");
    QTest::addColumn<TwipRect>("place");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Frame1") << "Form1" << TwipRect{120, 1560, 4575, 1695} << "请先登录";
    QTest::newRow("Label1") << "Frame1" << TwipRect{360, 330, 615, 255} << "帐号：";
    QTest::newRow("Shape1") << "Frame1" << TwipRect{960, 240, 2175, 375} << "";
    QTest::newRow("Text1") << "Frame1" << TwipRect{1020, 330, 2025, 260} << "";
    QTest::newRow("Label2") << "Frame1" << TwipRect{360, 820, 615, 255} << "密码：";
    QTest::newRow("Shape2") << "Frame1" << TwipRect{960, 720, 2175, 375} << "";
    QTest::newRow("Text2") << "Frame1" << TwipRect{1020, 810, 2055, 260} << "";
    QTest::newRow("Label3") << "Frame1" << TwipRect{3480, 840, 735, 255} << "记住密码";
    QTest::newRow("Label4") << "Frame1" << TwipRect{3240, 1320, 855, 255} << "访问官网";
    QTest::newRow("Command1") << "Form1" << TwipRect{3360, 1800, 1215, 375} << "注册(&R)";
    QTest::newRow("Check1") << "Form1" << TwipRect{3360, 2400, 255, 180} << "";
    QTest::newRow("Command2") << "Form1" << TwipRect{1080, 2760, 2175, 375} << "登录(&L)";
    QTest::newRow("Picture") << "Form1" << TwipRect{0, 0, 4950, 1500} << "";
  }
  void geometry() {
    QFETCH(QString, container);
    QFETCH(TwipRect, place);
    QFETCH(QString, caption);
    LoginRig rig;
    Form1 &form = rig.open();
    const QString name = QTest::currentDataTag();
    check_geometry(form, name, container, place);
    QWidget *control = form.findChild<QWidget *>(name);
    QVERIFY(control->isVisible());
    QString shown;
    if (auto *label = qobject_cast<QLabel *>(control)) shown = label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(control)) shown = button->text();
    if (auto *frame = qobject_cast<QGroupBox *>(control)) shown = frame->title();
    QCOMPARE(shown, caption);
  }

  void window_after_load() {
    LoginRig rig;
    Form1 &form = rig.open();
    QCOMPARE(form.windowTitle(), QString("KorvaneV9.3"));
    QCOMPARE(form.size(), QSize(321, 224));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!form.windowIcon().isNull());
    QCOMPARE(form.MainColor, QString("15660020"));
    for (const char *name : {"Form1", "Frame1", "Check1"}) {
      QWidget *widget = name == QByteArray("Form1") ? &form : rig.get<QWidget>(name);
      QCOMPARE(widget->palette().color(QPalette::Window), QColor(244, 243, 238));
      QVERIFY(widget->autoFillBackground());
    }
    QVERIFY(!rig.box("Text3")->isVisible());
    QVERIFY(!rig.box("Text4")->isVisible());
    QCOMPARE(rig.box("Text2")->echoMode(), QLineEdit::Password);
    QVERIFY(!rig.box("Text2")->testAttribute(Qt::WA_InputMethodEnabled));
    QVERIFY(rig.button("Command2")->isDefault());
    QCOMPARE(rig.get<QLabel>("Label4")->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    QVERIFY(rig.get<QLabel>("Label4")->font().underline());
    QCOMPARE(rig.get<QLabel>("Label4")->cursor().shape(), Qt::PointingHandCursor);
    // The link names one installed song-style family alone, so drawing it never searches the
    // fonts for stand-ins, and that family is the one drawn.
    const QFont link_font = rig.get<QLabel>("Label4")->font();
    QCOMPARE(link_font.families().size(), 1);
    QVERIFY(QFontDatabase::families().contains(link_font.families().first()));
    QCOMPARE(QFontInfo(link_font).family(), link_font.families().first());
    QCOMPARE(link_font.pointSize(), 9);
    // The first page is the service's base address.
    QTRY_COMPARE(rig.server.requests_for("/").size(), 1);
  }

  void focus_order_and_outlines() {
    LoginRig rig;
    Form1 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTRY_COMPARE(QApplication::focusWidget(), rig.box("Text1"));
    auto *shape1 = rig.get<FocusRect>("Shape1");
    auto *shape2 = rig.get<FocusRect>("Shape2");
    QCOMPARE(shape1->border_color(), QColor(0, 0, 0));
    QCOMPARE(shape2->border_color(), QColor(128, 128, 128));
    const char *order[] = {"Text2", "Command2", "Command1", "Check1", "Label4", "Text1"};
    for (const char *name : order) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget()->objectName(), QString(name));
      if (QByteArray(name) == "Text2") {
        QCOMPARE(shape1->border_color(), QColor(128, 128, 128));
        QCOMPARE(shape2->border_color(), QColor(0, 0, 0));
      }
    }
  }

  void remember_label_toggles_the_box() {
    LoginRig rig;
    rig.open();
    auto *label = rig.get<QLabel>("Label3");
    auto *check = rig.get<QCheckBox>("Check1");
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(check->checkState(), Qt::Checked);
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(check->checkState(), Qt::Unchecked);
    check->setCheckState(Qt::PartiallyChecked);
    QTest::mouseClick(label, Qt::LeftButton);
    QCOMPARE(check->checkState(), Qt::Unchecked);
  }

  void input_checks_data() {
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("focus");
    QTest::newRow("empty account") << ""
                                   << "pw"
                                   << "请输入帐号"
                                   << "Text1";
    QTest::newRow("both empty") << ""
                                << ""
                                << "请输入帐号"
                                << "Text1";
    QTest::newRow("empty password") << "alice"
                                    << ""
                                    << "请输入密码"
                                    << "Text2";
  }
  void input_checks() {
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, message);
    QFETCH(QString, focus);
    MessageSpy spy;
    LoginRig rig;
    Form1 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    rig.box("Text1")->setText(account);
    rig.box("Text2")->setText(password);
    rig.button("Command2")->click();
    QCOMPARE(spy.texts(), QStringList{message});
    QCOMPARE(spy.shown().first().icon, QMessageBox::Warning);
    QCOMPARE(spy.shown().first().title, QString("velmoth"));
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
    QVERIFY(rig.button("Command1")->isEnabled());
    QVERIFY(rig.button("Command2")->isEnabled());
    QCOMPARE(rig.box("Text1")->text(), account);
    QCOMPARE(rig.box("Text2")->text(), password);
    // The file is written at every click, whether or not a request went out.
    QCOMPARE(rig.file_bytes(), QByteArray("[s]0\r\n"));
    QVERIFY(rig.server.requests_for("/login.asp").isEmpty());
  }

  void accepted_login_sends_typed_values_and_hands_over() {
    LoginRig rig;
    rig.server.on("/login.asp", TestResponse{200, "1", {{"Set-Cookie", "sid=abc; Path=/"}}});
    Form1 &form = rig.open();
    QSignalSpy logged_in(&form, &Form1::logged_in);
    rig.get<QCheckBox>("Check1")->setCheckState(Qt::Checked);
    rig.type_and_send("张 三&p=x", "p#w+%");
    QCOMPARE(rig.button("Command2")->text(), QString("正在登录..."));
    QVERIFY(!rig.button("Command1")->isEnabled());
    QCOMPARE(rig.file_bytes(), QString("[s]1[u]张 三&p=x[p]p#w+%\r\n").toUtf8());
    QTRY_COMPARE(logged_in.size(), 1);
    const auto sent = rig.server.requests_for("/login.asp");
    QCOMPARE(sent.size(), 1);
    const auto query = sent.first().query();
    QCOMPARE(query.size(), 3);
    QCOMPARE(query[0], (QPair<QString, QString>("u", "张 三&p=x")));
    QCOMPARE(query[1], (QPair<QString, QString>("p", "p#w+%")));
    QCOMPARE(query[2].first, QString("t"));
    QVERIFY(rig.button("Command2")->isEnabled());
    QCOMPARE(rig.button("Command2")->text(), QString("登录(&L)"));
    QTest::qWait(100);
    QCOMPARE(logged_in.size(), 1);
  }

  void refused_login_clears_both_boxes() {
    MessageSpy spy;
    LoginRig rig;
    rig.server.on("/login.asp", TestResponse{200, "0", {}});
    Form1 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QSignalSpy logged_in(&form, &Form1::logged_in);
    rig.type_and_send("alice", "wrong");
    QTRY_COMPARE(spy.texts(), QStringList{"登录失败，请确认帐号及密码正确！"});
    QCOMPARE(rig.box("Text1")->text(), QString());
    QCOMPARE(rig.box("Text2")->text(), QString());
    QCOMPARE(QApplication::focusWidget(), rig.box("Text1"));
    QVERIFY(rig.button("Command1")->isEnabled());
    QCOMPARE(logged_in.size(), 0);
  }

  void error_page_reading_1_times_out() {
    MessageSpy spy;
    LoginRig rig;
    rig.server.on("/login.asp", TestResponse{500, "1", {}});
    Form1 &form = rig.open();
    QSignalSpy logged_in(&form, &Form1::logged_in);
    rig.type_and_send("alice", "pw");
    QTRY_COMPARE_WITH_TIMEOUT(spy.texts(), QStringList{"登录超时，请检查网络！"}, 5000);
    QCOMPARE(logged_in.size(), 0);
    QCOMPARE(form.Timeout, qint16(0));
  }

  void keyboard_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("logs_in");
    QTest::newRow("Enter in Text1") << "Text1" << int(Qt::Key_Return) << 0 << true;
    QTest::newRow("keypad Enter in Text2") << "Text2" << int(Qt::Key_Enter) << 0 << true;
    QTest::newRow("Enter on Check1") << "Check1" << int(Qt::Key_Return) << 0 << true;
    QTest::newRow("Space on Command2") << "Command2" << int(Qt::Key_Space) << 0 << true;
    QTest::newRow("Alt+L") << "Text1" << int(Qt::Key_L) << int(Qt::AltModifier) << true;
    QTest::newRow("Escape") << "Text1" << int(Qt::Key_Escape) << 0 << false;
  }
  void keyboard() {
    QFETCH(QString, target);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, logs_in);
    MessageSpy spy;
    LoginRig rig;
    Form1 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    auto *widget = rig.get<QWidget>(qPrintable(target));
    widget->setFocus();
    QTest::keyClick(widget, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    // An empty account proves that the login ran: it asks for the account.
    const QStringList expected = logs_in ? QStringList{"请输入帐号"} : QStringList{};
    QTRY_COMPARE(spy.texts(), expected);
    QTest::qWait(150);
    QCOMPARE(spy.texts(), expected);
    QVERIFY(form.isVisible());
  }

  void remembered_account_fills_the_window_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<QString>("account");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("focus");
    QTest::newRow("remembered") << QByteArray("[s]1[u]alice[p]pw\r\n") << true << "alice"
                                << "pw"
                                << "Text1";
    QTest::newRow("not remembered") << QByteArray("[s]0\r\n") << false << ""
                                    << ""
                                    << "Text1";
    QTest::newRow("no password") << QByteArray("[s]1[u]abc[p]\r\n") << true << "abc"
                                 << ""
                                 << "Text2";
    QTest::newRow("empty file") << QByteArray() << true << ""
                                << ""
                                << "Text2";
    // Longer than a text box holds by default (32767 characters).
    QTest::newRow("long record") << "[s]1[u]" + QByteArray(20000, 'a') + "[p]" +
                                        QByteArray(20000, 'p') + "\r\n"
                                 << true << QString(20000, u'a') << QString(20000, u'p') << "Text1";
    QTest::newRow("written by an older client in GBK")
        << QByteArray("[s]1[u]\xd5\xc5\xc8\xfd[p]pw\r\n") << true << "张三"
        << "pw"
        << "Text1";
    QTest::newRow("line break in account")
        << QByteArray("[s]1[u]al\r\nice[p]pw\r\n") << true << "alice"
        << "pw"
        << "Text1";
  }
  void remembered_account_fills_the_window() {
    QFETCH(QByteArray, file);
    QFETCH(bool, checked);
    QFETCH(QString, account);
    QFETCH(QString, password);
    QFETCH(QString, focus);
    LoginRig rig;
    {
      QFile out(rig.credentials());
      QVERIFY(out.open(QIODevice::WriteOnly));
      out.write(file);
    }
    Form1 &form = rig.open();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(rig.get<QCheckBox>("Check1")->isChecked(), checked);
    QCOMPARE(rig.box("Text1")->text(), account);
    QCOMPARE(rig.box("Text2")->text(), password);
    QCOMPARE(QApplication::focusWidget()->objectName(), focus);
  }

  void unwritable_file_does_not_stop_the_login() {
    LoginRig rig;
    QVERIFY(QDir(rig.dir.path()).mkdir("config.inf"));
    rig.server.on("/login.asp", TestResponse{200, "1", {}});
    Form1 &form = rig.open();
    QSignalSpy logged_in(&form, &Form1::logged_in);
    rig.type_and_send("alice", "pw");
    QTRY_COMPARE(logged_in.size(), 1);
  }

  void exit_question() {
    LoginRig rig;
    Form1 &form = rig.open();
    QSignalSpy exit_confirmed(&form, &Form1::exit_confirmed);
    rig.box("Text1")->setText("kept");
    {
      MessageSpy spy(QMessageBox::No);
      form.close();
      QCOMPARE(spy.texts(), QStringList{"你确定要退出程序？"});
      QCOMPARE(spy.shown().first().icon, QMessageBox::Question);
      QCOMPARE(spy.shown().first().buttons, QMessageBox::Yes | QMessageBox::No);
    }
    QVERIFY(form.isVisible());
    QCOMPARE(rig.box("Text1")->text(), QString("kept"));
    QCOMPARE(exit_confirmed.size(), 0);
    MessageSpy spy(QMessageBox::Yes);
    form.close();
    QCOMPARE(exit_confirmed.size(), 1);
  }
};

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
