#include "database.h"

#include <string>

namespace velmoth::server {
namespace {

// Marks the file as ours ("VLMT"), so --db pointed at some other SQLite file is refused rather
// than written into.
constexpr std::int64_t kApplicationId = 0x564c4d54;
constexpr int kBusyTimeoutMs = 5000;

[[noreturn]] void fail(sqlite3 *db, int code, const std::string &context) {
  throw DatabaseError(context + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
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

Statement::~Statement() { sqlite3_finalize(stmt_); }

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
  const int rc =
      sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    throw DatabaseError("opening " + path + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
}

Connection::~Connection() { sqlite3_close(db_); }

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
  } catch (const DatabaseError &) {
    // SQLite already rolled back on its own (e.g. after an I/O error); nothing is left to undo.
  }
}

void WriteTransaction::commit() {
  connection_.exec("COMMIT");
  open_ = false;
}

Database::Database(const std::string &path) : connection_(path) { prepare_schema(); }

// Throws unless the file is empty or a database of ours; nothing is written before this check.
// Returns the schema version found.
std::int64_t Database::check_ownership() {
  Connection &db = connection_;
  const std::int64_t application_id = pragma_value(db, "application_id");
  const std::int64_t version = pragma_value(db, "user_version");
  if (application_id != 0 && application_id != kApplicationId)
    throw DatabaseError("the file is a database of another program");
  if (version > kSchemaVersion)
    throw DatabaseError("the database has schema version " + std::to_string(version) +
                        ", newer than this program knows (" + std::to_string(kSchemaVersion) + ")");
  if (version == 0) {
    Statement tables = db.prepare("SELECT count(*) FROM sqlite_schema");
    if (tables.step() && tables.integer(0) != 0)
      throw DatabaseError("the file already holds tables of another program");
  }
  return version;
}

void Database::prepare_schema() {
  Connection &db = connection_;
  check_ownership();
  {
    Statement wal = db.prepare("PRAGMA journal_mode=WAL");
    if (!wal.step() || wal.text(0) != "wal")
      throw DatabaseError("the database cannot use write-ahead logging");
  }
  db.exec("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON");

  WriteTransaction transaction(db);
  // Checked again under the write lock: another process may have created the schema meanwhile.
  if (check_ownership() == kSchemaVersion) return;

  // Times are whole seconds since 1970-01-01 UTC.
  db.exec(R"sql(
    CREATE TABLE accounts (
      id            INTEGER PRIMARY KEY,
      name          TEXT NOT NULL UNIQUE,
      password_hash TEXT NOT NULL,
      qq            TEXT NOT NULL,
      created_at    INTEGER NOT NULL
    );
    CREATE TABLE cards (
      id            INTEGER PRIMARY KEY,
      number        TEXT NOT NULL UNIQUE,
      password_hash TEXT NOT NULL,
      created_at    INTEGER NOT NULL,
      used_by       INTEGER REFERENCES accounts(id),
      used_at       INTEGER
    );
    CREATE TABLE sessions (
      token_hash TEXT PRIMARY KEY,
      account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
      expires_at INTEGER NOT NULL
    );
    CREATE INDEX sessions_by_expiry ON sessions(expires_at);
  )sql");
  db.exec("PRAGMA application_id=" + std::to_string(kApplicationId));
  db.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
  transaction.commit();
}

}  // namespace velmoth::server
