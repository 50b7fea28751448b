// The SQLite store's schema, written as one migration per schema version, applied in order.
#include "store/sqlite/sqlite_schema.h"

#include <string>
#include <utility>
#include <vector>

#include "store/schema.h"

namespace velmoth::server {
namespace {

// Times are whole seconds since 1970-01-01 UTC.
void create_first_schema(Connection &db, const NameRules &) {
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
}

// Account names compared without regard to case, width or normalization form, and look-alikes
// found by their confusable skeleton; the login throttle's state.
void add_name_keys_and_throttle(Connection &db, const NameRules &rules) {
  db.exec(R"sql(
    ALTER TABLE accounts ADD COLUMN name_key TEXT;
    ALTER TABLE accounts ADD COLUMN skeleton TEXT;
    CREATE TABLE login_throttle (
      key           TEXT PRIMARY KEY,
      failures      INTEGER NOT NULL,
      blocked_until INTEGER NOT NULL,
      last_failure  INTEGER NOT NULL
    );
    CREATE INDEX login_throttle_by_age ON login_throttle(last_failure);
  )sql");
  std::vector<std::pair<std::int64_t, std::string>> names;
  {
    Statement all = db.prepare("SELECT id, name FROM accounts");
    while (all.step()) names.emplace_back(all.integer(0), all.text(1));
  }
  for (const auto &[id, name] : names) {
    const NameKeys keys = keys_of_stored_name(rules, name);
    if (keys.skeleton)
      db.prepare("UPDATE accounts SET name_key = ?, skeleton = ? WHERE id = ?")
          .bind(keys.key, *keys.skeleton, id)
          .run();
    else
      db.prepare("UPDATE accounts SET name_key = ? WHERE id = ?").bind(keys.key, id).run();
  }
  db.exec(R"sql(
    CREATE INDEX accounts_by_key ON accounts(name_key);
    CREATE INDEX accounts_by_skeleton ON accounts(skeleton);
  )sql");
}

// Accounts the operator has disabled and cards the operator has revoked (seconds since 1970).
void add_disabled_and_revoked(Connection &db, const NameRules &) {
  db.exec(R"sql(
    ALTER TABLE accounts ADD COLUMN disabled_at INTEGER;
    ALTER TABLE cards ADD COLUMN revoked_at INTEGER;
  )sql");
}

// An account's sessions, looked up at every login to keep their number bounded.
void add_sessions_by_account(Connection &db, const NameRules &) {
  db.exec("CREATE INDEX sessions_by_account ON sessions(account_id, expires_at)");
}

struct Step {
  Migration migration;
  void (*apply)(Connection &, const NameRules &);
};

constexpr Step kSteps[] = {
    {Migration::FirstSchema, create_first_schema},
    {Migration::NameKeysAndThrottle, add_name_keys_and_throttle},
    {Migration::DisabledAndRevoked, add_disabled_and_revoked},
    {Migration::SessionsByAccount, add_sessions_by_account},
};
static_assert(carries_every_migration(kSteps), "the SQLite store lacks a migration");

}  // namespace

void migrate(Connection &db, std::int64_t from, const NameRules &rules) {
  for (std::int64_t version = from; version < kSchemaVersion; ++version)
    kSteps[version].apply(db, rules);
}

}  // namespace velmoth::server
