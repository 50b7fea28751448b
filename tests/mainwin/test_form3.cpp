#include <QCheckBox>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include "mainwin/form3.h"
#include "message_spy.h"
#include "test_server.h"

namespace velmoth {
namespace {

const QStringList kOptions = {QStringLiteral("Option3"), QStringLiteral("Option4"),
                              QStringLiteral("Option5"), QStringLiteral("Option6"),
                              QStringLiteral("Option7"), QStringLiteral("Option8")};

// A context whose service is unreachable: the account page fails at once, which nothing reads.
WindowContext offline_context(QNetworkAccessManager &network) {
  WindowContext context;
  context.service_url = QStringLiteral("http://127.0.0.1:1/service/");
  context.home_url = QStringLiteral("http://127.0.0.1:1/home/");
  context.network = &network;
  return context;
}

}  // namespace

class TestForm3 : public QObject {
  Q_OBJECT

 private slots:
  void control_geometry_data();
  void control_geometry();
  void window_after_load();
  void panel_starts_blank();
  void one_option_at_a_time_data();
  void one_option_at_a_time();
  void load_colours_window_and_opens_account_page();
  void exit_question_data();
  void exit_question();

 private:
  QNetworkAccessManager network_;
};

// Positions are in pixels inside SSTab1 (the window itself for SSTab1).
void TestForm3::control_geometry_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QRect>("rect");

  const auto row = [](const char *name, int x, int y, int w, int h) {
    QTest::newRow(name) << QString::fromLatin1(name) << QRect(x, y, w, h);
  };
  row("SSTab1", 0, 0, 473, 537);
  row("Check1", 8, 52, 177, 17);
  row("Text1", 216, 52, 97, 18);
  row("Check2", 8, 75, 81, 17);
  row("Option3", 88, 75, 65, 17);
  row("Option4", 152, 75, 73, 17);
  row("Text2", 216, 76, 97, 18);
  row("Label1", 328, 80, 81, 17);
  row("Check3", 8, 100, 73, 17);
  row("HScroll1", 88, 100, 313, 17);
  row("Check4", 8, 124, 81, 17);
  row("HScroll2", 88, 124, 313, 17);
  row("Check5", 8, 148, 97, 17);
  row("Option5", 112, 148, 49, 17);
  row("Option6", 168, 148, 49, 17);
  row("Option7", 216, 148, 65, 17);
  row("Option8", 280, 148, 65, 17);
  row("Line1", 0, 180, 464, 1);
  row("Line2", 256, 180, 1, 124);
  row("Check6", 8, 196, 73, 17);
  row("Check7", 8, 220, 65, 17);
  row("Check8", 8, 244, 81, 17);
  row("Check9", 104, 196, 121, 17);
  row("Check10", 104, 220, 105, 17);
  row("Label2", 264, 188, 73, 17);
  row("Check11_0", 264, 212, 73, 17);
  row("Check11_1", 264, 236, 73, 17);
  row("Check11_2", 264, 260, 73, 17);
  row("Check11_3", 352, 212, 73, 17);
  row("Check11_4", 352, 236, 73, 17);
  row("Check11_5", 352, 260, 73, 17);
}

void TestForm3::control_geometry() {
  QFETCH(QString, name);
  QFETCH(QRect, rect);

  Form3 form(offline_context(network_));
  form.load();
  auto *control = form.findChild<QWidget *>(name);
  QVERIFY2(control, qPrintable(name));
  QCOMPARE(control->geometry(), rect);
  QVERIFY(control->isVisible());

  auto *panel = form.findChild<QWidget *>(QStringLiteral("SSTab1"));
  QCOMPARE(control->parentWidget(), name == u"SSTab1" ? &form : panel);

  // Check11_N is element N of the array that code indexes.
  if (name.startsWith(u"Check11_")) {
    const int index = name.mid(8).toInt();
    QCOMPARE(form.Check11.at(index), control);
  }
}

void TestForm3::window_after_load() {
  Form3 form(offline_context(network_));
  form.load();
  QVERIFY(form.isVisible());
  QCOMPARE(form.windowTitle(), QStringLiteral("KorvaneV9.3"));
  QCOMPARE(form.size(), QSize(465, 304));
  QCOMPARE(form.minimumSize(), QSize(465, 304));
  QCOMPARE(form.maximumSize(), QSize(465, 304));
  QCOMPARE(form.WebURL, QStringLiteral("http://127.0.0.1:1/service/"));
  QCOMPARE(form.WebHome, QStringLiteral("http://127.0.0.1:1/home/"));
}

void TestForm3::panel_starts_blank() {
  Form3 form(offline_context(network_));
  form.load();
  const auto boxes = form.findChildren<QCheckBox *>();
  QCOMPARE(boxes.size(), 16);
  for (const QCheckBox *box : boxes) QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));
  for (const QString &name : kOptions) {
    auto *option = form.findChild<QRadioButton *>(name);
    QVERIFY2(option && !option->isChecked(), qPrintable(name));
  }
  for (const QScrollBar *bar : form.findChildren<QScrollBar *>())
    QCOMPARE(bar->value(), bar->minimum());
  QCOMPARE(form.findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QString());
  QCOMPARE(form.findChild<QLineEdit *>(QStringLiteral("Text2"))->text(), QStringLiteral(" "));
}

void TestForm3::one_option_at_a_time_data() {
  QTest::addColumn<int>("chosen");
  for (int i = 0; i < kOptions.size(); ++i) QTest::newRow(qPrintable(kOptions[i])) << i;
}

void TestForm3::one_option_at_a_time() {
  QFETCH(int, chosen);

  Form3 form(offline_context(network_));
  form.load();
  // Select every other option first, so that the chosen one has something to clear whichever
  // group it might wrongly belong to.
  for (int i = 0; i < kOptions.size(); ++i)
    if (i != chosen) QTest::mouseClick(form.findChild<QRadioButton *>(kOptions[i]), Qt::LeftButton);
  QTest::mouseClick(form.findChild<QRadioButton *>(kOptions[chosen]), Qt::LeftButton);

  for (int i = 0; i < kOptions.size(); ++i)
    QCOMPARE(form.findChild<QRadioButton *>(kOptions[i])->isChecked(), i == chosen);
}

void TestForm3::load_colours_window_and_opens_account_page() {
  testing::TestServer server;
  QVERIFY(server.listen());
  WindowContext context = offline_context(network_);
  context.service_url = server.base_url();

  Form3 form(context);
  form.load();
  QCOMPARE(form.MainColor, QStringLiteral("15660020"));
  const QColor expected(244, 243, 238);
  auto *panel = form.findChild<QWidget *>(QStringLiteral("SSTab1"));
  for (QWidget *widget : {static_cast<QWidget *>(&form), panel}) {
    QCOMPARE(widget->palette().color(QPalette::Window), expected);
    QVERIFY(widget->autoFillBackground());
  }

  QTRY_COMPARE(server.requests_for(QStringLiteral("/account.asp")).size(), 1);
  QTest::qWait(100);
  QCOMPARE(server.requests().size(), 1);
  QCOMPARE(server.requests().first().target, QByteArray("/account.asp"));
}

void TestForm3::exit_question_data() {
  QTest::addColumn<QMessageBox::StandardButton>("answer");
  QTest::addColumn<bool>("stays_open");
  QTest::newRow("No keeps the window as it was") << QMessageBox::No << true;
  QTest::newRow("Yes ends the program") << QMessageBox::Yes << false;
}

void TestForm3::exit_question() {
  QFETCH(QMessageBox::StandardButton, answer);
  QFETCH(bool, stays_open);

  Form3 form(offline_context(network_));
  form.load();
  form.Check11[4]->setChecked(true);
  QSignalSpy confirmed(&form, &Form3::exit_confirmed);

  testing::MessageSpy spy(answer);
  QCOMPARE(form.close(), !stays_open);

  QCOMPARE(spy.shown().size(), 1);
  QCOMPARE(spy.shown().first().text, QStringLiteral("你确定要退出程序？"));
  QCOMPARE(spy.shown().first().icon, QMessageBox::Question);
  QCOMPARE(spy.shown().first().buttons, QMessageBox::Yes | QMessageBox::No);
  QCOMPARE(form.isVisible(), stays_open);
  QCOMPARE(confirmed.size(), stays_open ? 0 : 1);
  QVERIFY(form.Check11[4]->isChecked());
}

}  // namespace velmoth

QTEST_MAIN(velmoth::TestForm3)
#include "test_form3.moc"
