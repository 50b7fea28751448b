// The page helper's restrictions, applied in a forked child that then tries what a parser taken
// over by a hostile page might try. The kernel must stop each attempt: the child is killed for a
// forbidden system call, or the call fails.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QTest>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "app/window_context.h"
#include "page/helper_limits.h"
#include "page/sandbox.h"

namespace {

// What the child does once restricted; true when the attempt succeeded.
using Attempt = bool (*)();

bool open_a_file() { return open("/etc/hostname", O_RDONLY) >= 0; }
bool make_a_socket() { return socket(AF_INET, SOCK_STREAM, 0) >= 0; }
bool signal_another_process() { return kill(getppid(), 0) == 0; }
bool start_a_program() {
  char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
  execv("/bin/true", argv);
  return false;
}
bool map_code() {
  return mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) !=
         MAP_FAILED;
}
// More address space than the helper may have, which a hostile page could fill.
bool map_past_the_limit() {
  return mmap(nullptr, velmoth::page_helper::kAddressSpaceBytes, PROT_READ | PROT_WRITE,
              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED;
}
// What the helper needs: memory, and writing its output.
bool use_memory_and_write() {
  void *memory = std::malloc(64 << 20);
  if (!memory) return false;
  std::memset(memory, 1, 64 << 20);
  std::free(memory);
  return write(STDOUT_FILENO, "", 0) == 0;
}

enum ChildStatus { kSucceeded = 10, kFailed = 11, kNotRestricted = 12 };

// Runs attempt in a restricted child; returns its wait status.
int run_restricted(Attempt attempt) {
  const pid_t child = fork();
  if (child == 0) {
    if (velmoth::restrict_to_page_reading()) _exit(kNotRestricted);
    _exit(attempt() ? kSucceeded : kFailed);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

}  // namespace

Q_DECLARE_METATYPE(Attempt)

class TestSandbox : public QObject {
  Q_OBJECT

 private slots:
  void forbidden_calls_are_stopped_data();
  void forbidden_calls_are_stopped();
  void what_the_helper_needs_works();
  void helper_decodes_legacy_charsets_with_icu_data_set();
};

void TestSandbox::forbidden_calls_are_stopped_data() {
  QTest::addColumn<Attempt>("attempt");
  QTest::newRow("open a file") << &open_a_file;
  QTest::newRow("make a socket") << &make_a_socket;
  QTest::newRow("signal another process") << &signal_another_process;
  QTest::newRow("start a program") << &start_a_program;
  QTest::newRow("map memory as code") << &map_code;
#ifndef __SANITIZE_ADDRESS__  // whose shadow memory needs more address space than that
  QTest::newRow("map more than the address-space limit") << &map_past_the_limit;
#endif
}

void TestSandbox::forbidden_calls_are_stopped() {
  QFETCH(Attempt, attempt);
  const int status = run_restricted(attempt);
  const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS;
  const bool refused = WIFEXITED(status) && WEXITSTATUS(status) == kFailed;
  QVERIFY2(killed || refused, qPrintable(QStringLiteral("wait status %1").arg(status)));
}

void TestSandbox::what_the_helper_needs_works() {
  const int status = run_restricted(&use_memory_and_write);
  QVERIFY2(WIFEXITED(status), qPrintable(QStringLiteral("wait status %1").arg(status)));
  QCOMPARE(WEXITSTATUS(status), int(kSucceeded));
}

void TestSandbox::helper_decodes_legacy_charsets_with_icu_data_set() {
  // ICU looks for charset data in files under $ICU_DATA unless the helper tells it not to, and
  // the filter ends the process at the first look.
  QProcess helper;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("ICU_DATA"), QDir::tempPath());
  helper.setProcessEnvironment(environment);
  helper.start(velmoth::installed_page_helper(), {});
  helper.write("text/html; charset=gbk\n<p>\xC4\xE3");
  helper.closeWriteChannel();
  QVERIFY(helper.waitForFinished(10000));
  QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
  QCOMPARE(helper.exitCode(), 0);
  QVERIFY(helper.readAllStandardOutput().contains("<P>\xE4\xBD\xA0</P>"));
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "test_sandbox.moc"
