// config.inf when the program is killed while writing it, and when what lies at its path is not a
// file the program can use.

#include <sys/stat.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <functional>

#include "login/credentials_file.h"
#include "login/form1.h"
#include "test_server.h"

using namespace velmoth;
using namespace velmoth::testing;

namespace {

// Given as the first argument, makes this executable the writer that the kill test kills.
constexpr char kWriterArgument[] = "--write-credentials-until-killed";

constexpr int kKillRounds = 200;
constexpr int kMaxKillDelayUs = 20'000;

// Two records of very different lengths, so that a torn write cannot pass for either.
QString record_a() {
  return format_credentials(true, QStringLiteral("alice"), QString(4000, u'p'));
}
QString record_b() { return format_credentials(false, {}, {}); }

// The writer: says it has started, then writes the two records in turn until it is killed.
int write_until_killed(const QString &path) {
  const QString records[] = {record_a(), record_b()};
  std::fputs("writing\n", stdout);
  std::fflush(stdout);
  for (unsigned n = 0;; ++n) {
    if (const auto failure = write_credentials(path, records[n % 2])) {
      std::fprintf(stderr, "%s\n", qUtf8Printable(*failure));
      return 1;
    }
  }
}

// The permission bits of path, or -1 when it cannot be examined.
int mode_of(const QString &path) {
  struct stat info {};
  if (::stat(QFile::encodeName(path).constData(), &info) != 0) return -1;
  return int(info.st_mode & 07777);
}

// Makes what lies at a path; returns whether it could.
using Maker = std::function<bool(const QString &)>;

}  // namespace

Q_DECLARE_METATYPE(Maker)

class TestCredentialsCrash : public QObject {
  Q_OBJECT

 private slots:
  void killed_writer_leaves_a_whole_record();
  void odd_file_does_not_stop_the_window_data();
  void odd_file_does_not_stop_the_window();
};

void TestCredentialsCrash::killed_writer_leaves_a_whole_record() {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("config.inf"));
  const QByteArray a = record_a().toUtf8();
  const QByteArray b = record_b().toUtf8();
  int found_a = 0;
  int found_b = 0;
  int not_yet_written = 0;
  QElapsedTimer elapsed;
  elapsed.start();

  for (int round = 0; round < kKillRounds; ++round) {
    QProcess writer;
    writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    writer.start(QCoreApplication::applicationFilePath(), {kWriterArgument, path});
    QVERIFY2(writer.waitForReadyRead(30'000), "the writer did not start");
    QThread::usleep(QRandomGenerator::global()->bounded(kMaxKillDelayUs + 1));
    writer.kill();
    QVERIFY(writer.waitForFinished(30'000));
    // Killed while still writing: a writer that stopped by itself had a write fail.
    QCOMPARE(writer.exitStatus(), QProcess::CrashExit);

    QFile file(path);
    if (!file.exists()) {
      // Only before the first write has completed.
      QCOMPARE(found_a + found_b, 0);
      ++not_yet_written;
      continue;
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY2(bytes == a || bytes == b,
             qPrintable(QStringLiteral("round %1: %2 bytes").arg(round).arg(bytes.size())));
    ++(bytes == a ? found_a : found_b);
    QCOMPARE(mode_of(path), 0600);
  }

  // A new record is written to an unnamed file, which is given a temporary name beside
  // config.inf and then renamed over it. A kill between those two steps leaves the temporary
  // name behind; it must hold a whole record, as private as config.inf itself.
  QStringList strays =
      QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  strays.removeOne(QStringLiteral("config.inf"));
  for (const QString &name : strays) {
    QFile stray(dir.filePath(name));
    QVERIFY(stray.open(QIODevice::ReadOnly));
    const QByteArray bytes = stray.readAll();
    QVERIFY2(bytes == a || bytes == b, qPrintable(name));
    QCOMPARE(mode_of(stray.fileName()), 0600);
  }
  qInfo("%d rounds in %lld ms: %d found A, %d found B, %d before the first write; left behind: %s",
        kKillRounds, elapsed.elapsed(), found_a, found_b, not_yet_written,
        strays.isEmpty() ? "nothing" : qPrintable(strays.join(u' ')));
  // Both records were seen, so the kills landed at different points of the cycle.
  QVERIFY(found_a > 0);
  QVERIFY(found_b > 0);
}

void TestCredentialsCrash::odd_file_does_not_stop_the_window_data() {
  QTest::addColumn<Maker>("make");
  QTest::newRow("a directory") << Maker([](const QString &path) { return QDir().mkdir(path); });
  QTest::newRow("a 1 GiB sparse file") << Maker([](const QString &path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30);
  });
  // Opening a FIFO for reading waits for a writer that never comes.
  QTest::newRow("a FIFO") << Maker(
      [](const QString &path) { return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0; });
  // Run as root, the file stays readable whatever its mode says; run as anyone else, reading
  // it fails. Either way the window must come up and log in.
  QTest::newRow("no permissions") << Maker([](const QString &path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("[s]1[u]alice[p]secret\r\n") > 0 &&
           file.setPermissions({});
  });
  // Unreadable even for root: opening it fails with ELOOP.
  QTest::newRow("a symbolic link to itself")
      << Maker([](const QString &path) { return QFile::link(QStringLiteral("config.inf"), path); });
}

void TestCredentialsCrash::odd_file_does_not_stop_the_window() {
  QFETCH(Maker, make);
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("config.inf"));
  QVERIFY(make(path));

  TestServer server;
  QVERIFY(server.listen());
  server.on("/login.asp", TestResponse{200, "1", {}});
  QNetworkAccessManager network;
  WindowContext context;
  context.service_url = server.base_url();
  context.home_url = QStringLiteral("http://home.test/");
  context.network = &network;
  context.credentials_path = path;
  Form1 form(context);
  form.findChild<QTimer *>(QStringLiteral("Timer1"))->setInterval(20);
  QSignalSpy logged_in(&form, &Form1::logged_in);

  QElapsedTimer loading;
  loading.start();
  form.load();
  QVERIFY2(loading.elapsed() < 1000, qPrintable(QString::number(loading.elapsed())));

  form.findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("alice"));
  form.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("secret"));
  QElapsedTimer sending;
  sending.start();
  // Sends the request and remembers the account.
  form.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
  QVERIFY2(sending.elapsed() < 1000, qPrintable(QString::number(sending.elapsed())));
  QTRY_COMPARE(logged_in.size(), 1);
}

int main(int argc, char **argv) {
  if (argc == 3 && std::strcmp(argv[1], kWriterArgument) == 0) {
    return write_until_killed(QFile::decodeName(argv[2]));
  }
  QApplication app(argc, argv);
  TestCredentialsCrash test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "test_credentials_crash.moc"
