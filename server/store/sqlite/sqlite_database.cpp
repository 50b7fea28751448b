// Opening the service's SQLite file: private modes, ownership and version checks, WAL, migration.
#include "store/sqlite/sqlite_database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "store/schema.h"
#include "store/sqlite/sqlite_schema.h"

namespace velmoth::server {
namespace {

// Marks the file as ours ("VLMT"), so --db pointed at some other SQLite file is refused rather
// than written into.
constexpr std::int64_t kApplicationId = 0x564c4d54;
constexpr int kBusyTimeoutMs = 5000;
constexpr mode_t kOwnerOnly = S_IRUSR | S_IWUSR;

std::string folder_of(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a missing database file, readable and writable by its owner only whatever the umask;
// SQLite gives the -wal and -shm files it creates later the same mode as the database.
void create_private_file(const std::string &path) {
  struct stat existing {};
  if (::stat(path.c_str(), &existing) == 0) return;
  if (errno != ENOENT) throw StoreError(std::strerror(errno));
  const std::string folder = folder_of(path);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerOnly);
  if (fd < 0) {
    if (errno == EEXIST) return;
    throw StoreError("cannot create it in the folder " + folder + ": " + std::strerror(errno));
  }
  const int mode_set = ::fchmod(fd, kOwnerOnly);
  ::close(fd);
  if (mode_set != 0)
    throw StoreError(std::string("cannot make it private: ") + std::strerror(errno));
}

// Takes group and other permissions away from the file when it exists.
void keep_private(const std::string &path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return;
  if ((status.st_mode & 0777) & ~kOwnerOnly) ::chmod(path.c_str(), status.st_mode & kOwnerOnly);
}

void check_writable(sqlite3 *db, const std::string &path) {
  if (sqlite3_db_readonly(db, "main") == 1)
    throw StoreError("the file is read-only; the service must be able to write it (check " + path +
                     "'s permissions and owner)");
  const std::string folder = folder_of(path);
  if (::access(folder.c_str(), W_OK) != 0)
    throw StoreError("the folder " + folder +
                     " is not writable; the database's -wal and -shm files are kept beside it (" +
                     std::strerror(errno) + ")");
}

[[noreturn]] void fail(sqlite3 *db, int code, const std::string &context) {
  throw StoreError(context + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
}

std::int64_t pragma_value(Connection &connection, const char *name) {
  Statement statement = connection.prepare(std::string("PRAGMA ") + name);
  return statement.step() ? statement.integer(0) : 0;
}

}  // namespace

Statement::Statement(sqlite3 *db, std::string_view sql) : db_(db) {
  const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) fail(db, rc, "preparing a statement");
}

Statement::Statement(sqlite3 *db, sqlite3_stmt *kept, bool *in_use)
    : db_(db), stmt_(kept), in_use_(in_use) {
  *in_use_ = true;
}

Statement::~Statement() {
  if (!in_use_) {
    sqlite3_finalize(stmt_);
    return;
  }
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  *in_use_ = false;
}

void Statement::bind_one(int index, std::string_view text) {
  const int rc =
      sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) fail(db_, rc, "binding a value");
}

void Statement::bind_one(int index, std::int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) fail(db_, rc, "binding a value");
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, sqlite3_extended_errcode(db_), "running a statement");
}

void Statement::run() {
  while (step()) {
  }
}

std::string Statement::text(int column) const {
  const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }

Connection::Connection(const std::string &path) {
  create_private_file(path);
  const int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    throw StoreError(message);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    check_writable(db_, path);
  } catch (...) {
    sqlite3_close(db_);
    throw;
  }
}

Connection::~Connection() {
  for (auto &[sql, kept] : kept_) sqlite3_finalize(kept.statement);
  sqlite3_close(db_);
}

Statement Connection::prepare(std::string_view sql) {
  auto found = kept_.find(std::string(sql));
  if (found == kept_.end()) {
    sqlite3_stmt *statement = nullptr;
    const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (rc != SQLITE_OK) fail(db_, rc, "preparing a statement");
    found = kept_.emplace(std::string(sql), Kept{statement, false}).first;
  }
  // The same text still running further up (a nested use) gets a statement of its own.
  if (found->second.in_use) return Statement(db_, sql);
  return Statement(db_, found->second.statement, &found->second.in_use);
}

void Connection::exec(const std::string &sql) {
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) fail(db_, sqlite3_extended_errcode(db_), "running SQL");
}

WriteTransaction::WriteTransaction(Connection &connection) : connection_(connection) {
  connection_.exec("BEGIN IMMEDIATE");
}

WriteTransaction::~WriteTransaction() {
  if (!open_) return;
  try {
    connection_.exec("ROLLBACK");
  } catch (const StoreError &) {
    // SQLite already rolled back on its own (e.g. after an I/O error); nothing is left to undo.
  }
}

void WriteTransaction::commit() {
  connection_.exec("COMMIT");
  open_ = false;
}

Database::Database(const std::string &path, const NameRules &rules) : path_(path) {
  try {
    connection_ = std::make_unique<Connection>(path);
    prepare_schema(rules);
  } catch (const StoreError &error) {
    throw StoreError("cannot use the database " + path + ": " + error.what());
  }
}

// Throws unless the file is empty or a database of ours; nothing is written before this check.
// Returns the schema version found.
std::int64_t Database::check_ownership() {
  Connection &db = *connection_;
  const std::int64_t application_id = pragma_value(db, "application_id");
  const std::int64_t version = pragma_value(db, "user_version");
  if (application_id != 0 && application_id != kApplicationId)
    throw StoreError("the file is a database of another program");
  check_known_version(version);
  if (version == 0) {
    Statement tables = db.prepare("SELECT count(*) FROM sqlite_schema");
    if (tables.step() && tables.integer(0) != 0)
      throw StoreError("the file already holds tables of another program");
  }
  return version;
}

void Database::prepare_schema(const NameRules &rules) {
  Connection &db = *connection_;
  check_ownership();
  {
    Statement wal = db.prepare("PRAGMA journal_mode=WAL");
    if (!wal.step() || wal.text(0) != "wal")
      throw StoreError("the database cannot use write-ahead logging");
  }
  db.exec("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");
  for (const char *suffix : {"", "-wal", "-shm"}) keep_private(path_ + suffix);

  WriteTransaction transaction(db);
  // Checked again under the write lock: another process may have migrated meanwhile.
  const std::int64_t version = check_ownership();
  if (version == kSchemaVersion) return;
  migrate(db, version, rules);
  db.exec("PRAGMA application_id=" + std::to_string(kApplicationId));
  db.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
  transaction.commit();
}

}  // namespace velmoth::server
