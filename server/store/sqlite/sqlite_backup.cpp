// Copying the service's SQLite file with SQLite's online backup, then checking the copy.
#include "store/sqlite/sqlite_backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "store/store_error.h"

namespace velmoth::server {
namespace {

constexpr int kBusyTimeoutMs = 5000;
// A writer holding the file past the busy timeout (a checkpoint, a migration) is waited for
// this many times more before the backup gives up.
constexpr int kBusyRetries = 10;

struct CloseDatabase {
  void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Handle = std::unique_ptr<sqlite3, CloseDatabase>;

Handle open_database(const std::string &path, int flags) {
  sqlite3 *db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  Handle handle(db);
  if (rc != SQLITE_OK)
    throw StoreError("cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return handle;
}

// Makes the empty file the copy goes into; throws when it exists or cannot be made private.
void create_target(const std::string &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) {
    if (errno == EEXIST)
      throw StoreError("cannot back up to " + path + ": the file exists, and a backup never " +
                       "overwrites one");
    throw StoreError("cannot create " + path + ": " + std::strerror(errno));
  }
  const int mode_set = ::fchmod(fd, S_IRUSR | S_IWUSR);
  const int saved = errno;
  ::close(fd);
  if (mode_set != 0) {
    ::unlink(path.c_str());
    throw StoreError("cannot make " + path + " private: " + std::strerror(saved));
  }
}

void copy(sqlite3 *source, sqlite3 *target, const std::string &source_path) {
  sqlite3_backup *backup = sqlite3_backup_init(target, "main", source, "main");
  if (!backup) throw StoreError("cannot start the backup: " + std::string(sqlite3_errmsg(target)));
  // All pages in one step: one read transaction, hence one snapshot. Copying in slices would
  // start over after every write the service makes meanwhile.
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt <= kBusyRetries; ++attempt) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE)
    throw StoreError("cannot copy " + source_path + ": " +
                     (rc == SQLITE_BUSY || rc == SQLITE_LOCKED ? std::string(sqlite3_errstr(rc))
                                                               : sqlite3_errmsg(target)));
}

// The first line of integrity_check's report: "ok" for a sound file.
std::string integrity(sqlite3 *db) {
  sqlite3_stmt *statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) != SQLITE_OK)
    return sqlite3_errmsg(db);
  std::string report;
  if (sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char *text = sqlite3_column_text(statement, 0);
    report = text ? reinterpret_cast<const char *>(text) : "";
  } else {
    report = sqlite3_errmsg(db);
  }
  sqlite3_finalize(statement);
  return report;
}

void run(sqlite3 *db, const char *sql, const std::string &path) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw StoreError("cannot finish " + path + ": " + sqlite3_errmsg(db));
}

}  // namespace

void back_up_sqlite_file(const std::string &source, const std::string &target) {
  struct stat status {};
  if (::stat(source.c_str(), &status) != 0)
    throw StoreError("cannot back up " + source + ": " + std::strerror(errno));
  if (!S_ISREG(status.st_mode)) throw StoreError("cannot back up " + source + ": not a file");
  const Handle from = open_database(source, SQLITE_OPEN_READONLY);
  create_target(target);
  try {
    const Handle to = open_database(target, SQLITE_OPEN_READWRITE);
    copy(from.get(), to.get(), source);
    run(to.get(), "PRAGMA journal_mode=DELETE", target);
    const std::string report = integrity(to.get());
    if (report != "ok") throw StoreError("the copy " + target + " fails its check: " + report);
  } catch (const StoreError &) {
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) ::unlink((target + suffix).c_str());
    throw;
  }
}

}  // namespace velmoth::server
