// An SQLite database file of the service's: connection, statements, write transactions, opening.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "store/records.h"
#include "store/store_error.h"

namespace velmoth::server {

// One prepared statement. Values are always bound, never pasted into SQL text, so quotes, "--",
// "%" or NUL bytes in user input are stored as data.
class Statement {
 public:
  // A statement of its own, finalized at the end.
  Statement(sqlite3 *db, std::string_view sql);
  // A statement kept prepared by its connection: reset at the end and *in_use cleared.
  Statement(sqlite3 *db, sqlite3_stmt *kept, bool *in_use);
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  // Binds the arguments to parameters 1, 2, ... in order.
  template <typename... Values>
  Statement &bind(const Values &...values) {
    int index = 0;
    (bind_one(++index, values), ...);
    return *this;
  }

  // Advances to the next row; false when there is none (the statement is done).
  bool step();
  // Runs a statement that returns no rows.
  void run();

  std::string text(int column) const;
  std::int64_t integer(int column) const;

 private:
  void bind_one(int index, std::string_view text);
  void bind_one(int index, std::int64_t value);

  sqlite3 *db_;
  sqlite3_stmt *stmt_ = nullptr;
  bool *in_use_ = nullptr;
};

// An open SQLite connection. Not thread-safe by itself: Database hands it out under a lock.
class Connection {
 public:
  explicit Connection(const std::string &path);
  ~Connection();
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;

  // The statement for sql. Each SQL text is prepared once and kept for reuse, since preparing
  // costs more than running the service's short statements.
  Statement prepare(std::string_view sql);
  // Runs one or more statements that take no parameters.
  void exec(const std::string &sql);
  int changes() const { return sqlite3_changes(db_); }
  std::int64_t last_insert_rowid() const { return sqlite3_last_insert_rowid(db_); }

 private:
  struct Kept {
    sqlite3_stmt *statement = nullptr;
    bool in_use = false;
  };
  sqlite3 *db_ = nullptr;
  std::unordered_map<std::string, Kept> kept_;
};

// A write transaction taken with BEGIN IMMEDIATE, so the write lock is held from the start and
// another connection (or process) cannot slip a write between our reads and writes. Rolls back
// unless commit() was called.
class WriteTransaction {
 public:
  explicit WriteTransaction(Connection &connection);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction &) = delete;
  WriteTransaction &operator=(const WriteTransaction &) = delete;

  void commit();

 private:
  Connection &connection_;
  bool open_ = true;
};

// The service's database file: opened in WAL mode with a busy timeout, its schema created or
// brought up to date on open (names stored before the name rules get their keys from rules). The
// file and its -wal and -shm files are readable by their owner only, whatever the umask.
// Requests from the HTTP worker threads share the one connection through access(), which holds
// a mutex for the duration of the call.
//
// Every failure to open or prepare the file is thrown as one StoreError that names the file and
// the cause.
class Database {
 public:
  Database(const std::string &path, const NameRules &rules);

  template <typename Fn>
  auto access(Fn &&fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::forward<Fn>(fn)(*connection_);
  }

 private:
  std::int64_t check_ownership();
  void prepare_schema(const NameRules &rules);

  std::string path_;
  std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace velmoth::server
