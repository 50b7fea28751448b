// Connections to PostgreSQL: a pool that reconnects, prepared statements, transactions.
#pragma once

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/log_sink.h"
#include "store/store_error.h"

namespace velmoth::server {

// The rows of one query's answer, read as text or integers (NULL reads as "" or 0).
class PgRows {
 public:
  explicit PgRows(PGresult *result) : result_(result, &PQclear) {}

  int count() const { return PQntuples(result_.get()); }
  std::string text(int row, int column) const;
  std::int64_t integer(int row, int column) const;
  bool flag(int row, int column) const { return text(row, column) == "t"; }

 private:
  std::unique_ptr<PGresult, decltype(&PQclear)> result_;
};

// Names of the statements prepared on one connection, by their SQL text.
using PreparedNames = std::unordered_map<std::string, std::string>;

// One open connection lent out by PgPool. Values are always sent as parameters ($1, $2, ...),
// never pasted into SQL text. A statement with values is prepared on the connection the first
// time its text is run and reused after, since parsing and planning cost more than running the
// service's short statements.
class PgConnection {
 public:
  PgConnection(PGconn *connection, PreparedNames &prepared)
      : connection_(connection), prepared_(prepared) {}

  // Lifts the time limit on answers for the rest of the transaction (a migration may lock and
  // rewrite whole tables); call it right after BEGIN.
  void without_time_limit();

  PgRows query(std::string_view sql, const std::vector<std::string> &values);
  template <typename... Values>
  PgRows query(std::string_view sql, const Values &...values) {
    return query(sql, std::vector<std::string>{as_text(values)...});
  }

 private:
  static std::string as_text(std::string_view text) { return std::string(text); }
  static std::string as_text(const char *text) { return text; }
  static std::string as_text(const std::string &text) { return text; }
  static std::string as_text(std::int64_t value) { return std::to_string(value); }

  // The name of sql's statement on this connection, prepared when new.
  const std::string &prepared(const std::string &sql, int values);

  // The result of what was just sent; throws PgTimedOut when it takes longer than allowed.
  PGresult *answer();

  PGconn *connection_;
  PreparedNames &prepared_;
  bool time_limited_ = true;
};

// A transaction on one connection; rolls back unless commit() was called.
class PgTransaction {
 public:
  explicit PgTransaction(PgConnection &connection);
  ~PgTransaction();
  PgTransaction(const PgTransaction &) = delete;
  PgTransaction &operator=(const PgTransaction &) = delete;

  void commit();

 private:
  PgConnection &connection_;
  bool open_ = true;
};

// Thrown inside PgPool::access when the connection broke; the pool reconnects and tries again.
class PgConnectionLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown inside PgPool::access when the server gives no answer in time: it is overloaded, a
// lock is held for long, or the network between has died without saying so.
class PgTimedOut : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown inside PgPool::access when the server asks for the transaction to be tried again
// (serialization failure, deadlock).
class PgConflict : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connections to one PostgreSQL database, opened as needed up to a limit and shared by the
// service's threads. A broken connection is replaced on its next use, and the work it was doing
// is run once more on the new one (it was a transaction that had not committed, or whose commit
// the server had not confirmed: running it again cannot do it twice, only refuse it). When the
// server cannot be reached or gives no answer within kAnswerTime, requests fail with
// StoreUnavailable, the outage is logged once when it starts and once when it ends, and while it
// lasts one request at a time tries the server again (at most every kRetryInterval) while the
// others fail at once.
class PgPool {
 public:
  static constexpr std::chrono::milliseconds kRetryInterval{250};
  static constexpr int kConflictRetries = 5;
  // The longest a statement may take: the server cancels it then, and a server that does not
  // answer at all is given up kAnswerGrace later.
  static constexpr std::chrono::milliseconds kAnswerTime{3000};
  static constexpr std::chrono::milliseconds kAnswerGrace{1000};

  PgPool(std::string uri, std::size_t size, LogSink log);
  ~PgPool();
  PgPool(const PgPool &) = delete;
  PgPool &operator=(const PgPool &) = delete;

  template <typename Fn>
  auto access(Fn &&fn) {
    Lease lease(*this);
    if (!may_try()) throw StoreUnavailable(outage_cause());
    for (int attempt = 0;; ++attempt) {
      try {
        if (!lease.connected()) lease.connect();
        PgConnection connection(lease.get(), lease.prepared());
        auto result = fn(connection);
        note_reachable();
        return result;
      } catch (const PgConnectionLost &lost) {
        lease.drop();
        if (attempt >= 1) {
          note_unreachable(lost.what());
          throw StoreUnavailable(lost.what());
        }
      } catch (const PgTimedOut &timed_out) {
        // Not tried again: a second wait would only double the client's.
        lease.drop();
        note_unreachable(timed_out.what());
        throw StoreUnavailable(timed_out.what());
      } catch (const PgConflict &conflict) {
        if (attempt >= kConflictRetries) throw StoreError(conflict.what());
      }
    }
  }

  // The URI with any password in it replaced by "***", for messages.
  static std::string redacted(const std::string &uri);

 private:
  // One connection taken from the pool for the duration of a call.
  class Lease {
   public:
    explicit Lease(PgPool &pool);
    ~Lease();
    bool connected() const;
    // Opens a new connection; throws StoreUnavailable when the server cannot be reached.
    void connect();
    void drop();
    PGconn *get() const { return connection_; }
    PreparedNames &prepared();

   private:
    PgPool &pool_;
    PGconn *connection_ = nullptr;
  };

  PGconn *take();
  void give_back(PGconn *connection);
  // false while an outage lasts and another request is trying the server.
  bool may_try();
  std::string outage_cause();
  void note_unreachable(const std::string &cause);
  void note_reachable();

  std::string uri_;
  std::size_t size_;
  LogSink log_;

  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<PGconn *> idle_;
  std::size_t lent_ = 0;
  std::unordered_map<PGconn *, PreparedNames> prepared_;

  std::mutex outage_mutex_;
  std::atomic<bool> unreachable_{false};
  std::chrono::steady_clock::time_point unreachable_since_;
  std::chrono::steady_clock::time_point next_try_;
  std::string last_cause_;
};

}  // namespace velmoth::server
