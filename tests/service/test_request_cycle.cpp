#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "app/window_context.h"
#include "message_spy.h"
#include "platform/browser.h"
#include "platform/messages.h"
#include "service/request_cycle.h"

using namespace velmoth;
using velmoth::testing::MessageSpy;

namespace {

// A window's worth of widgets driven by one cycle; the known replies count their outcomes, and
// "0" shows a message first, as the windows' outcomes do.
struct Rig {
  QNetworkAccessManager network;
  QWidget window;
  QPushButton *action = new QPushButton("idle", &window);
  QPushButton *other = new QPushButton("other", &window);
  QLineEdit *reply_box = new QLineEdit(&window);
  QTimer timer;
  Browser browser{network, installed_page_helper()};
  qint16 timeout = 0;
  int refused = 0;
  int accepted = 0;
  RequestCycle cycle{{action, other, reply_box, &timer, &browser, &timeout},
                     {"idle", "busy", "busy(", "timed out"},
                     {{"0",
                       [this] {
                         ++refused;
                         messages::warning(&window, "refused");
                         cycle.end_cycle();
                       }},
                      {"1", [this] {
                         ++accepted;
                         cycle.end_cycle();
                       }}}};

  Rig() { timer.setInterval(1000); }
  void start() { cycle.start_request("http://127.0.0.1:1/never"); }
  bool idle() const {
    return action->isEnabled() && other->isEnabled() && action->text() == "idle" &&
           !timer.isActive();
  }
};

}  // namespace

class TestRequestCycle : public QObject {
  Q_OBJECT

 private slots:
  void start_locks_both_buttons_and_shows_busy_caption() {
    Rig rig;
    rig.start();
    QVERIFY(!rig.action->isEnabled());
    QVERIFY(!rig.other->isEnabled());
    QCOMPARE(rig.action->text(), QString("busy"));
    QVERIFY(rig.timer.isActive());
  }

  void reply_at_first_tick_is_acted_on_without_a_count() {
    Rig rig;
    rig.start();
    rig.reply_box->setText("1");
    rig.cycle.tick();
    QCOMPARE(rig.accepted, 1);
    QVERIFY(rig.idle());
    QCOMPARE(rig.timeout, qint16(0));
  }

  void unknown_replies_count_to_twenty_then_time_out() {
    MessageSpy spy;
    Rig rig;
    rig.start();
    rig.reply_box->setText("1 ");
    for (int n = 1; n < RequestCycle::kTicksBeforeTimeout; ++n) {
      rig.cycle.tick();
      QCOMPARE(rig.action->text(), QString("busy(%1)").arg(n));
      QVERIFY(!rig.action->isEnabled());
      QVERIFY(spy.shown().isEmpty());
    }
    rig.cycle.tick();
    QCOMPARE(spy.texts(), QStringList{"timed out"});
    QCOMPARE(spy.shown().first().icon, QMessageBox::Warning);
    QVERIFY(rig.idle());
    QCOMPARE(rig.timeout, qint16(0));
    QCOMPARE(rig.accepted, 0);
  }

  void stale_reply_of_the_previous_request_is_never_acted_on() {
    Rig rig;
    rig.start();
    rig.reply_box->setText("1");
    rig.cycle.tick();
    QCOMPARE(rig.accepted, 1);
    rig.start();
    rig.cycle.tick();
    QCOMPARE(rig.accepted, 1);
    QCOMPARE(rig.action->text(), QString("busy(1)"));
  }

  void every_request_gets_its_full_twenty_ticks() {
    MessageSpy spy;
    Rig rig;
    rig.start();
    for (int n = 0; n < 7; ++n) rig.cycle.tick();
    rig.reply_box->setText("1");
    rig.cycle.tick();
    rig.start();
    for (int n = 1; n < RequestCycle::kTicksBeforeTimeout; ++n) rig.cycle.tick();
    QVERIFY(spy.shown().isEmpty());
    rig.cycle.tick();
    QCOMPARE(spy.texts(), QStringList{"timed out"});
  }

  void outcome_runs_once_while_its_message_is_open() {
    // The box keeps the event loop turning for 300 ms while the timer would tick every 10 ms.
    MessageSpy spy(QMessageBox::Ok, 300);
    Rig rig;
    rig.timer.setInterval(10);
    rig.start();
    rig.reply_box->setText("0");
    QTRY_COMPARE(rig.refused, 1);
    QTest::qWait(100);
    QCOMPARE(rig.refused, 1);
    QCOMPARE(spy.texts(), QStringList{"refused"});
    QVERIFY(rig.idle());
  }

  void time_out_message_is_shown_once_while_open() {
    MessageSpy spy(QMessageBox::Ok, 300);
    Rig rig;
    rig.timer.setInterval(5);
    rig.start();
    QTRY_VERIFY(!spy.shown().isEmpty());
    QTest::qWait(100);
    QCOMPARE(spy.texts(), QStringList{"timed out"});
    QVERIFY(rig.idle());
    QCOMPARE(rig.timeout, qint16(0));
  }
};

QTEST_MAIN(TestRequestCycle)
#include "test_request_cycle.moc"
