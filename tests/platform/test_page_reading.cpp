// Hostile pages through the real browser: each must end as a failed page within the page
// helper's limits while the window goes on handling events, and the next page must read as
// usual. The HTML parser runs only in the helper, never in this process.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "app/window_context.h"
#include "platform/browser.h"
#include "test_server.h"

using velmoth::Browser;
using velmoth::installed_page_helper;
using velmoth::testing::TestResponse;
using velmoth::testing::TestServer;

namespace {

const QString kOnePage = QStringLiteral("<HTML><HEAD></HEAD>\r\n<BODY>1</BODY></HTML>");
// The helper is stopped after 2 s; the rest is the transfer and the start of the helper.
constexpr qint64 kWithinMs = 3000;

TestResponse page(const QByteArray &body) {
  TestResponse response;
  response.body = body;
  response.headers = {{"Content-Type", "text/html"}};
  return response;
}

// Formatting elements that the parser reopens for every piece of text after the division that
// closed them: 64 KiB that build millions of elements, far past the helper's address space.
QByteArray reopened_formatting() {
  QByteArray body = "<div>";
  for (int i = 0; i < 1000; ++i) body += "<b id=" + QByteArray::number(i) + ">";
  body += "</div>";
  while (body.size() + 12 <= 64 * 1024) body += "<div>x</div>";
  return body;
}

bool is_error_page(const QString &document) {
  static const QRegularExpression shape(QStringLiteral(
      "^<HTML><HEAD><TITLE>[^<>]+</TITLE></HEAD>\r\n<BODY>[^<>]{2,}</BODY></HTML>$"));
  return shape.match(document).hasMatch();
}

// The names of this process's child processes.
QStringList child_names() {
  QStringList names;
  for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs)) {
    QFile children(QStringLiteral("/proc/self/task/%1/children").arg(task));
    if (!children.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray &pid : children.readAll().split(' ')) {
      QFile comm(QStringLiteral("/proc/%1/comm").arg(QString::fromLatin1(pid.trimmed())));
      if (!pid.trimmed().isEmpty() && comm.open(QIODevice::ReadOnly))
        names << QString::fromUtf8(comm.readAll().trimmed());
    }
  }
  return names;
}

}  // namespace

class TestPageReading : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  // A browser ends its helpers when it goes, without Qt's warning of a running process.
  void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral("^QProcess: Destroyed"))); }
  void hostile_page_fails_and_the_next_page_reads_data();
  void hostile_page_fails_and_the_next_page_reads();
  void navigate_during_a_read_cancels_it();
  void browser_destroyed_during_a_read_ends_its_helper();
  void parser_is_not_in_this_process();

 private:
  QString fake_helper(const QString &name, const QByteArray &script);
  // Starts loading the nested page, whose reading keeps a helper busy for a while.
  void read_nested_page(Browser &browser) {
    Browser::Limits limits;
    limits.max_body_bytes = 4 * 1024 * 1024;
    browser.set_limits(limits);
    browser.Navigate(server_.url("/nested"));
  }

  TestServer server_;
  QNetworkAccessManager network_;
  QTemporaryDir scripts_;
};

void TestPageReading::initTestCase() {
  QVERIFY(server_.listen());
  QVERIFY(scripts_.isValid());
  server_.on("/one", page("1"));
  server_.on("/nested", page(QByteArray("<div>").repeated(300'000) + "x"));
  server_.on("/reopened", page(reopened_formatting()));
  // Each of these makes the parser fail one of its assertions, which aborts its process.
  const char *const aborting[] = {
      "<table><svg><td><desc><select></table>x",
      "<table><svg><title><![CDATA[a<b&c]]>t",
      "<table><math><mi><![CDATA[x]]>t",
      "<table><svg><select><foreignObject><select><td>",
      "<template><td><caption><svg><foreignObject><colgroup><![CDATA[x]]>t",
      "<table><desc><math><annotation-xml></desc><mi><![CDATA[x]]>t",
      "<table><math><svg><mi></svg><select><mi><select><td>",
      "<table><select><svg><title><table><style><tr></style><math></tbody><td><mi><select></table>",
      "<template><table><select></template><style><select></style><svg></table><tr><foreignObject "
      "encoding=text/html><table></table><th></th><svg><title><select><th></body>",
      "<table><td><svg><title encoding=text/html/><caption><svg></td><select><foreignObject>"
      "<table><table encoding=text/html>",
      "<table><th><select><th><colgroup></select><svg><foreignObject></th><![CDATA[x]]>t",
      "<table><select><th><select><title><th><colgroup><svg><foreignObject><![CDATA[x]]>t",
      "<table><td><svg></tbody><math><foreignObject><td><mi><select></table>",
      "<b><math></b><title><mi><style></title><table><svg><select><foreignObject><template>"
      "</template><table>",
  };
  for (std::size_t i = 0; i < std::size(aborting); ++i)
    server_.on(QStringLiteral("/aborting/%1").arg(i), page(aborting[i]));
}

QString TestPageReading::fake_helper(const QString &name, const QByteArray &script) {
  const QString path = scripts_.filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\n" + script + "\n") < 0) return {};
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return path;
}

void TestPageReading::hostile_page_fails_and_the_next_page_reads_data() {
  QTest::addColumn<QString>("path");
  QTest::addColumn<QString>("helper");  // empty: the real one

  for (int i = 0; i < 14; ++i)
    QTest::addRow("aborting page %d", i) << QStringLiteral("/aborting/%1").arg(i) << QString();
  // Over the default body limit, which bounds the helper's work on ordinary 64 KiB pages.
  QTest::newRow("300,000 nested elements: the parser spins") << "/nested" << QString();
  QTest::newRow("reopened formatting: the parser allocates") << "/reopened" << QString();
  QTest::newRow("helper spins") << "/one"
                                << fake_helper("spin", "cat >/dev/null; while :; do :; done");
  QTest::newRow("output not UTF-8")
      << "/one" << fake_helper("latin1", "cat >/dev/null; printf '<HTML>\\351</HTML>'");
  QTest::newRow("output over the cap")
      << "/one" << fake_helper("flood", "cat >/dev/null; head -c 9000000 /dev/zero | tr '\\0' x");
  QTest::newRow("ends with an error")
      << "/one" << fake_helper("fails", "cat >/dev/null; printf '<HTML>1</HTML>'; exit 1");
  QTest::newRow("cannot be started") << "/one" << scripts_.filePath("missing");
}

void TestPageReading::hostile_page_fails_and_the_next_page_reads() {
  QFETCH(QString, path);
  QFETCH(QString, helper);

  Browser browser(network_, installed_page_helper());
  Browser::Limits limits;
  limits.max_body_bytes = 4 * 1024 * 1024;
  browser.set_limits(limits);
  if (!helper.isEmpty()) browser.set_page_helper(helper);
  QSignalSpy done(&browser, &Browser::DocumentComplete);

  // How long the event loop could not run a 10 ms timer: the window's responsiveness.
  QElapsedTimer since_tick;
  qint64 longest_gap = 0;
  QTimer ticker;
  connect(&ticker, &QTimer::timeout, this,
          [&] { longest_gap = std::max(longest_gap, since_tick.restart()); });
  since_tick.start();
  ticker.start(10);

  QElapsedTimer elapsed;
  elapsed.start();
  browser.Navigate(server_.url(path));
  QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 5000);
  QVERIFY2(elapsed.elapsed() < kWithinMs, qPrintable(QString::number(elapsed.elapsed())));
  QVERIFY2(is_error_page(browser.outerHTML()), qPrintable(browser.outerHTML().left(200)));
  QVERIFY(!browser.busy());
  QVERIFY2(longest_gap < 200, qPrintable(QStringLiteral("%1 ms").arg(longest_gap)));

  browser.set_page_helper(installed_page_helper());
  browser.Navigate(server_.url("/one"));
  QTRY_COMPARE(done.count(), 2);
  QCOMPARE(browser.outerHTML(), kOnePage);
  QTest::qWait(300);
  QCOMPARE(done.count(), 2);
}

void TestPageReading::navigate_during_a_read_cancels_it() {
  Browser browser(network_, installed_page_helper());
  QSignalSpy done(&browser, &Browser::DocumentComplete);
  read_nested_page(browser);
  QTRY_VERIFY(child_names().contains(QStringLiteral("velmoth-page")));
  browser.Navigate(server_.url("/one"));
  QTRY_COMPARE(done.count(), 1);
  QCOMPARE(browser.outerHTML(), kOnePage);
  // The helper still reading the nested page was stopped, not left to run out its time.
  QTRY_COMPARE_WITH_TIMEOUT(child_names(), QStringList(), 1000);
  QTest::qWait(2500);
  QCOMPARE(done.count(), 1);
}

void TestPageReading::browser_destroyed_during_a_read_ends_its_helper() {
  {
    Browser browser(network_, installed_page_helper());
    read_nested_page(browser);
    QTRY_VERIFY(child_names().contains(QStringLiteral("velmoth-page")));
  }
  QCOMPARE(child_names(), QStringList());
}

void TestPageReading::parser_is_not_in_this_process() {
  Browser browser(network_, installed_page_helper());
  QSignalSpy done(&browser, &Browser::DocumentComplete);
  browser.Navigate(server_.url("/one"));
  QTRY_COMPARE(done.count(), 1);
  QCOMPARE(browser.outerHTML(), kOnePage);
  QFile maps(QStringLiteral("/proc/self/maps"));
  QVERIFY(maps.open(QIODevice::ReadOnly));
  QVERIFY(!maps.readAll().contains("libgumbo"));
}

QTEST_MAIN(TestPageReading)
#include "test_page_reading.moc"
