#include "postgres_instance.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QVersionNumber>

namespace velmoth::server::testing {
namespace {

constexpr int kPort = 5432;  // names the socket file only; the folder is ours alone

// The newest installed PostgreSQL's program folder, or empty.
QString newest_program_folder() {
  const QDir versions(QStringLiteral("/usr/lib/postgresql"));
  QString best;
  QVersionNumber best_version;
  for (const QString &name : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    const QString folder = versions.filePath(name) + QStringLiteral("/bin");
    const QVersionNumber version = QVersionNumber::fromString(name);
    if (QFile::exists(folder + QStringLiteral("/initdb")) && version > best_version) {
      best = folder;
      best_version = version;
    }
  }
  return best;
}

}  // namespace

PostgresInstance::PostgresInstance() {
  bin_ = newest_program_folder();
  if (bin_.isEmpty()) {
    why_not_ =
        QStringLiteral("PostgreSQL's server programs are not installed (package postgresql)");
    return;
  }
  if (!dir_.isValid()) {
    why_not_ = QStringLiteral("cannot make a temporary folder");
    return;
  }
  owner_ = getuid();
  group_ = getgid();
  if (geteuid() == 0) {
    const passwd *user = getpwnam("postgres");
    if (user == nullptr) user = getpwnam("nobody");
    if (user == nullptr) {
      why_not_ = QStringLiteral("running as root and no unprivileged user to run PostgreSQL as");
      return;
    }
    owner_ = user->pw_uid;
    group_ = user->pw_gid;
    if (chown(QFile::encodeName(dir_.path()).constData(), owner_, group_) != 0) {
      why_not_ = QStringLiteral("cannot hand the temporary folder to the PostgreSQL user");
      return;
    }
  }
  data_ = dir_.filePath(QStringLiteral("data"));
  if (!run(bin_ + QStringLiteral("/initdb"),
           {QStringLiteral("-D"), data_, QStringLiteral("-U"), QStringLiteral("velmoth"),
            QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-E"),
            QStringLiteral("UTF8"), QStringLiteral("--locale=C"), QStringLiteral("--no-sync")})) {
    why_not_ = QStringLiteral("initdb failed: ") + why_not_;
    return;
  }
  if (!start()) return;
  if (!run(bin_ + QStringLiteral("/createdb"),
           {QStringLiteral("-h"), dir_.path(), QStringLiteral("-p"), QString::number(kPort),
            QStringLiteral("-U"), QStringLiteral("velmoth"), QStringLiteral("velmoth")})) {
    why_not_ = QStringLiteral("createdb failed: ") + why_not_;
    stop();
  }
}

PostgresInstance::~PostgresInstance() {
  if (running_) stop();
}

std::string PostgresInstance::uri() const {
  return "postgresql://velmoth@/velmoth?host=" + dir_.path().toStdString() +
         "&port=" + std::to_string(kPort);
}

std::string PostgresInstance::new_database_uri() {
  const QString name = QStringLiteral("velmoth_%1").arg(++databases_made_);
  if (!run(bin_ + QStringLiteral("/createdb"),
           {QStringLiteral("-h"), dir_.path(), QStringLiteral("-p"), QString::number(kPort),
            QStringLiteral("-U"), QStringLiteral("velmoth"), name}))
    return {};
  return "postgresql://velmoth@/" + name.toStdString() + "?host=" + dir_.path().toStdString() +
         "&port=" + std::to_string(kPort);
}

bool PostgresInstance::start() {
  const QString options =
      QStringLiteral("-k %1 -p %2 -c listen_addresses='' -c fsync=off").arg(dir_.path()).arg(kPort);
  running_ = run(bin_ + QStringLiteral("/pg_ctl"),
                 {QStringLiteral("-D"), data_, QStringLiteral("-w"), QStringLiteral("-l"),
                  dir_.filePath(QStringLiteral("server.log")), QStringLiteral("-o"), options,
                  QStringLiteral("start")});
  if (!running_) why_not_ = QStringLiteral("the server did not start: ") + why_not_;
  return running_;
}

bool PostgresInstance::stop() {
  const bool stopped = run(bin_ + QStringLiteral("/pg_ctl"),
                           {QStringLiteral("-D"), data_, QStringLiteral("-w"), QStringLiteral("-m"),
                            QStringLiteral("fast"), QStringLiteral("stop")});
  if (stopped) running_ = false;
  return stopped;
}

// Runs one PostgreSQL program as the cluster's owner; on failure why_not_ holds its output.
bool PostgresInstance::run(const QString &program, const QStringList &arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.setWorkingDirectory(dir_.path());
  const uid_t owner = owner_;
  const gid_t group = group_;
  process.setChildProcessModifier([owner, group] {
    if (geteuid() != 0) return;
    if (setgroups(0, nullptr) != 0 || setgid(group) != 0 || setuid(owner) != 0) _exit(126);
  });
  process.start(program, arguments);
  if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
      process.exitCode() != 0) {
    why_not_ = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (why_not_.isEmpty()) why_not_ = process.errorString();
    return false;
  }
  return true;
}

}  // namespace velmoth::server::testing
