// config.inf when the program is killed while writing it, and when what lies at its path is not a
// file the program can use.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "login/credentials_save.h"
#include "login/form1.h"
#include "test_server.h"

using namespace velmoth;
using namespace velmoth::testing;

namespace {

// Given as the first argument, makes this executable the writer that the kill test kills.
constexpr char kWriterArgument[] = "--write-credentials-until-killed";

// Given as the first argument with a folder, makes this executable a user who cannot write that
// folder, saving the "forget" record where the program would.
constexpr char kSaverArgument[] = "--save-credentials-in";

// Who the saver runs as when the suite runs as root: nobody.
constexpr uid_t kUnprivilegedId = 65534;

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

// The saver: exit code 0 when saved, 3 when the folder could be written after all (then nothing
// would be tested), 1 when the save failed.
int save_in(const QString &folder) {
  QFile probe(QDir(folder).filePath(QStringLiteral("probe")));
  if (probe.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return 3;
  const QString path = credentials_path(folder, QStringLiteral("/nonexistent/user-config"));
  if (const auto failure = write_credentials(path, record_b())) {
    std::fprintf(stderr, "%s\n", qUtf8Printable(*failure));
    return 1;
  }
  return 0;
}

// The names in a folder, hidden ones included.
QStringList names_in(const QString &folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                QDir::NoDotAndDotDot);
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
  void read_only_folder_data();
  void read_only_folder();
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

  // A new record is written to a temporary beside config.inf, created owner-only, and then
  // renamed over it. A kill before the rename leaves the temporary behind, holding as much of a
  // record as was written by then (nothing, when the kill came right after it was created); it
  // is as private as config.inf itself and is never read as the record.
  QStringList strays =
      QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
  strays.removeOne(QStringLiteral("config.inf"));
  for (const QString &name : strays) {
    QFile stray(dir.filePath(name));
    QVERIFY(stray.open(QIODevice::ReadOnly));
    const QByteArray bytes = stray.readAll();
    QVERIFY2(a.startsWith(bytes) || b.startsWith(bytes), qPrintable(name));
    QCOMPARE(mode_of(stray.fileName()), 0600);
  }
  for (const QString &name : strays)
    QVERIFY2(name.startsWith(QStringLiteral("config.inf.velmoth-saving-")), qPrintable(name));
  // The next save, or the next start of the login window, removes what the kills left.
  QCOMPARE(remove_stale_saves(path), 0 + strays.size());
  QCOMPARE(write_credentials(path, record_b()), std::nullopt);
  QCOMPARE(names_in(dir.path()), QStringList{QStringLiteral("config.inf")});
  qInfo("%d rounds in %lld ms: %d found A, %d found B, %d before the first write; left behind: %s",
        kKillRounds, elapsed.elapsed(), found_a, found_b, not_yet_written,
        strays.isEmpty() ? "nothing" : qPrintable(strays.join(u' ')));
  // Both records were seen, so the kills landed at different points of the cycle.
  QVERIFY(found_a > 0);
  QVERIFY(found_b > 0);
}

// A shared install: config.inf placed beside the program in a folder the user cannot write.
void TestCredentialsCrash::read_only_folder_data() {
  QTest::addColumn<bool>("file_is_the_users");
  QTest::addColumn<bool>("saved");
  QTest::newRow("the user's file") << true << true;
  QTest::newRow("someone else's file") << false << false;
}

void TestCredentialsCrash::read_only_folder() {
  QFETCH(bool, file_is_the_users);
  QFETCH(bool, saved);
  const bool as_root = ::geteuid() == 0;
  if (!as_root && !file_is_the_users) QSKIP("needs root to place a file the user cannot write");
  QTemporaryDir dir;
  const QString folder = dir.filePath(QStringLiteral("install"));
  const QString path = folder + QStringLiteral("/config.inf");
  QVERIFY(QDir().mkdir(folder));
  const QByteArray old_record = record_a().toUtf8();
  {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(old_record), old_record.size());
  }
  QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
  if (as_root && file_is_the_users)
    QVERIFY(::chown(QFile::encodeName(path).constData(), kUnprivilegedId, kUnprivilegedId) == 0);
  QVERIFY(::chmod(QFile::encodeName(path).constData(), 0644) == 0);
  QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);

  QProcess saver;
  saver.setProcessChannelMode(QProcess::ForwardedChannels);
  if (as_root) {
    saver.setChildProcessModifier([] {
      // Runs between fork and exec: only async-signal-safe calls. A saver that could not drop
      // its privileges ends at once, with the code that says nothing was tested.
      if (::setgroups(0, nullptr) != 0 ||
          ::setresgid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0 ||
          ::setresuid(kUnprivilegedId, kUnprivilegedId, kUnprivilegedId) != 0)
        ::_exit(3);
    });
  }
  // A copy of this program that the unprivileged user can run wherever the build lies.
  const QString program = dir.filePath(QStringLiteral("saver"));
  QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), program));
  QVERIFY(::chmod(QFile::encodeName(program).constData(), 0755) == 0);
  saver.start(program, {kSaverArgument, folder});
  QVERIFY(saver.waitForFinished(30'000));
  QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0755) == 0);
  QCOMPARE(saver.exitStatus(), QProcess::NormalExit);
  QVERIFY2(saver.exitCode() != 3,
           "the saver ran privileged or could write the folder: nothing was tested");
  QCOMPARE(saver.exitCode(), saved ? 0 : 1);

  QFile file(path);
  QVERIFY(file.open(QIODevice::ReadOnly));
  QCOMPARE(file.readAll(), saved ? record_b().toUtf8() : old_record);
  QCOMPARE(names_in(folder), QStringList{QStringLiteral("config.inf")});
  if (saved) QCOMPARE(mode_of(path), 0600);
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
  if (argc == 3 && std::strcmp(argv[1], kSaverArgument) == 0) {
    return save_in(QFile::decodeName(argv[2]));
  }
  QApplication app(argc, argv);
  TestCredentialsCrash test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "test_credentials_crash.moc"
