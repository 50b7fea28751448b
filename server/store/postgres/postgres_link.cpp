// The PostgreSQL connection pool: outages logged once, lost connections replaced, conflicts
// retried.
#include "store/postgres/postgres_link.h"

#include <poll.h>

#include <cstdlib>
#include <regex>
#include <string>

#include "base/metrics.h"

namespace velmoth::server {
namespace {

// Seconds a new connection may take before the server counts as unreachable.
constexpr const char *kConnectTimeout = "3";
// A connection that has gone silent (a peer gone without a word, a cut cable) is noticed within
// about ten seconds even when idle, and a statement runs at most PgPool::kAnswerTime.
constexpr const char *kKeepaliveIdle = "5";
constexpr const char *kKeepaliveInterval = "2";
constexpr const char *kKeepaliveCount = "2";
constexpr const char *kUserTimeout = "9000";
const std::string kStatementTimeout =
    "-c statement_timeout=" + std::to_string(PgPool::kAnswerTime.count());

// libpq's message on one line: its line breaks and tabs become single blanks.
std::string trimmed(const char *message) {
  std::string text;
  for (const char *c = message ? message : ""; *c; ++c) {
    const bool blank = *c == '\n' || *c == '\t' || *c == ' ';
    if (!blank)
      text += *c;
    else if (!text.empty() && text.back() != ' ')
      text += ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool connection_state(const char *sqlstate) {
  const std::string code = sqlstate ? sqlstate : "";
  // Class 08 is a connection exception; 57P01 to 57P03 mean the server is shutting down or
  // starting up.
  return code.rfind("08", 0) == 0 || code.rfind("57P0", 0) == 0;
}

bool timeout_state(const char *sqlstate) {
  // 57014: the statement was cancelled, here by statement_timeout.
  return sqlstate && std::string(sqlstate) == "57014";
}

bool conflict_state(const char *sqlstate) {
  const std::string code = sqlstate ? sqlstate : "";
  return code == "40001" || code == "40P01";
}

}  // namespace

std::string PgRows::text(int row, int column) const {
  const char *value = PQgetvalue(result_.get(), row, column);
  return value
             ? std::string(value, static_cast<std::size_t>(PQgetlength(result_.get(), row, column)))
             : std::string();
}

std::int64_t PgRows::integer(int row, int column) const {
  if (PQgetisnull(result_.get(), row, column)) return 0;
  return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
}

namespace {

// rows when they hold a result; else the failure thrown as what it is.
PgRows checked(PgRows rows, PGresult *result, PGconn *connection) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return rows;
  const char *sqlstate = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string message =
      trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(connection));
  if (PQstatus(connection) != CONNECTION_OK || connection_state(sqlstate))
    throw PgConnectionLost(message.empty() ? "the connection was lost" : message);
  if (timeout_state(sqlstate)) throw PgTimedOut(message);
  if (conflict_state(sqlstate)) throw PgConflict(message);
  throw StoreError(message);
}

}  // namespace

void PgConnection::without_time_limit() {
  query("SET LOCAL statement_timeout = 0");
  time_limited_ = false;
}

PGresult *PgConnection::answer() {
  const auto deadline =
      std::chrono::steady_clock::now() + PgPool::kAnswerTime + PgPool::kAnswerGrace;
  PGresult *last = nullptr;
  for (;;) {
    while (!PQisBusy(connection_)) {
      PGresult *next = PQgetResult(connection_);
      if (!next) return last;
      // Of several results the first failure counts, else the last result.
      const bool failed = last && PQresultStatus(last) == PGRES_FATAL_ERROR;
      PQclear(failed ? next : last);
      if (!failed) last = next;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (time_limited_ && left.count() <= 0) {
      PQclear(last);
      throw PgTimedOut("the database gave no answer within " +
                       std::to_string((PgPool::kAnswerTime + PgPool::kAnswerGrace).count()) +
                       " ms");
    }
    pollfd ready{PQsocket(connection_), POLLIN, 0};
    ::poll(&ready, 1, time_limited_ ? static_cast<int>(left.count()) : -1);
    if (!PQconsumeInput(connection_)) {
      PQclear(last);
      return nullptr;  // the connection is gone: checked() reads why from it
    }
  }
}

const std::string &PgConnection::prepared(const std::string &sql, int values) {
  const auto found = prepared_.find(sql);
  if (found != prepared_.end()) return found->second;
  const std::string name = "velmoth_" + std::to_string(prepared_.size());
  PGresult *result =
      PQsendPrepare(connection_, name.c_str(), sql.c_str(), values, nullptr) ? answer() : nullptr;
  checked(PgRows(result), result, connection_);
  return prepared_.emplace(sql, name).first->second;
}

PgRows PgConnection::query(std::string_view sql, const std::vector<std::string> &values) {
  std::vector<const char *> pointers;
  for (const std::string &value : values) {
    // Text travels as C strings; a NUL byte would cut it short, so it is refused instead.
    if (value.find('\0') != std::string::npos)
      throw StoreError("a text with a NUL byte cannot be stored");
    pointers.push_back(value.c_str());
  }
  const std::string text(sql);
  // Without values the text may hold several statements (a migration), which only PQexec runs.
  if (values.empty()) {
    PGresult *result = PQsendQuery(connection_, text.c_str()) ? answer() : nullptr;
    return checked(PgRows(result), result, connection_);
  }
  const int count = static_cast<int>(values.size());
  const std::string &name = prepared(text, count);
  PGresult *result =
      PQsendQueryPrepared(connection_, name.c_str(), count, pointers.data(), nullptr, nullptr, 0)
          ? answer()
          : nullptr;
  return checked(PgRows(result), result, connection_);
}

PgTransaction::PgTransaction(PgConnection &connection) : connection_(connection) {
  connection_.query("BEGIN");
}

PgTransaction::~PgTransaction() {
  if (!open_) return;
  try {
    connection_.query("ROLLBACK");
  } catch (const std::exception &) {
    // The connection is gone, and the transaction with it: nothing is left to undo.
  }
}

void PgTransaction::commit() {
  connection_.query("COMMIT");
  open_ = false;
}

PgPool::PgPool(std::string uri, std::size_t size, LogSink log)
    : uri_(std::move(uri)), size_(size == 0 ? 1 : size), log_(std::move(log)) {}

PgPool::~PgPool() {
  for (PGconn *connection : idle_) PQfinish(connection);
}

std::string PgPool::redacted(const std::string &uri) {
  static const std::regex user_password(R"(^(postgres(ql)?://[^:@/?]*):[^@/?]*@)");
  static const std::regex query_password(R"(([?&]password=)[^&]*)");
  return std::regex_replace(std::regex_replace(uri, user_password, "$1:***@"), query_password,
                            "$1***");
}

PGconn *PgPool::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  returned_.wait(lock, [this] { return !idle_.empty() || lent_ < size_; });
  ++lent_;
  if (idle_.empty()) return nullptr;
  PGconn *connection = idle_.back();
  idle_.pop_back();
  return connection;
}

void PgPool::give_back(PGconn *connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --lent_;
    if (connection) idle_.push_back(connection);
  }
  returned_.notify_one();
}

bool PgPool::may_try() {
  if (!unreachable_) return true;
  std::lock_guard<std::mutex> lock(outage_mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!unreachable_) return true;
  if (now < next_try_) return false;
  // This request tries the server; the others fail at once until it knows.
  next_try_ = now + kAnswerTime + kAnswerGrace;
  return true;
}

std::string PgPool::outage_cause() {
  std::lock_guard<std::mutex> lock(outage_mutex_);
  return last_cause_;
}

void PgPool::note_unreachable(const std::string &cause) {
  std::lock_guard<std::mutex> lock(outage_mutex_);
  const auto now = std::chrono::steady_clock::now();
  next_try_ = now + kRetryInterval;
  last_cause_ = cause;
  if (unreachable_) return;
  unreachable_ = true;
  unreachable_since_ = now;
  store_counters().outages.add();
  log_(log_time(std::chrono::system_clock::now()) + " error: the database " + redacted(uri_) +
       " cannot be reached (" + cause + "); requests fail until it is back");
}

void PgPool::note_reachable() {
  if (!unreachable_) return;
  std::lock_guard<std::mutex> lock(outage_mutex_);
  if (!unreachable_) return;
  unreachable_ = false;
  store_counters().reconnects.add();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now() - unreachable_since_);
  log_(log_time(std::chrono::system_clock::now()) + " the database " + redacted(uri_) +
       " is reachable again after " + std::to_string(seconds.count()) + " s");
}

PgPool::Lease::Lease(PgPool &pool) : pool_(pool), connection_(pool.take()) {}

PgPool::Lease::~Lease() {
  // A connection in a failed state is not kept.
  if (connection_ && PQstatus(connection_) != CONNECTION_OK) drop();
  pool_.give_back(connection_);
}

bool PgPool::Lease::connected() const {
  return connection_ && PQstatus(connection_) == CONNECTION_OK;
}

void PgPool::Lease::connect() {
  drop();
  // Keywords later in the list win, so the URI's own settings override ours.
  const char *const keywords[] = {"connect_timeout",
                                  "keepalives",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  "tcp_user_timeout",
                                  "options",
                                  "dbname",
                                  nullptr};
  const char *const values[] = {kConnectTimeout,
                                "1",
                                kKeepaliveIdle,
                                kKeepaliveInterval,
                                kKeepaliveCount,
                                kUserTimeout,
                                kStatementTimeout.c_str(),
                                pool_.uri_.c_str(),
                                nullptr};
  connection_ = PQconnectdbParams(keywords, values, 1);
  if (connection_ && PQstatus(connection_) == CONNECTION_OK) return;
  const std::string cause = connection_ ? trimmed(PQerrorMessage(connection_)) : "out of memory";
  drop();
  pool_.note_unreachable(cause);
  throw StoreUnavailable(cause);
}

PreparedNames &PgPool::Lease::prepared() {
  std::lock_guard<std::mutex> lock(pool_.mutex_);
  return pool_.prepared_[connection_];
}

void PgPool::Lease::drop() {
  if (!connection_) return;
  {
    std::lock_guard<std::mutex> lock(pool_.mutex_);
    pool_.prepared_.erase(connection_);
  }
  PQfinish(connection_);
  connection_ = nullptr;
}

}  // namespace velmoth::server
