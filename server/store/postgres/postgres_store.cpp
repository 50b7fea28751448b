// The PostgreSQL store's statements: sign-up, login, sessions, throttle and operator queries.
#include "store/postgres/postgres_store.h"

#include <algorithm>

#include "store/postgres/postgres_link.h"
#include "store/postgres/postgres_schema.h"

namespace velmoth::server {
namespace {

// Advisory lock numbers, the same in every process sharing the database.
constexpr std::int64_t kAccountNamesLock = 0x564c4d5400000002;

bool taken(PgConnection &db, const AccountName &name) {
  return db.query("SELECT 1 FROM accounts WHERE name_key = $1 OR skeleton = $2 LIMIT 1", name.key,
                  name.skeleton)
             .count() > 0;
}

std::int64_t insert_account(PgConnection &db, const NewAccount &account) {
  return db
      .query(
          "INSERT INTO accounts (name, name_key, skeleton, password_hash, qq, created_at)"
          " VALUES ($1, $2, $3, $4, $5, $6) RETURNING id",
          account.name.display, account.name.key, account.name.skeleton, account.password_hash,
          account.qq, account.created_at)
      .integer(0, 0);
}

std::vector<ThrottleRecord> stored_throttle(PgConnection &db,
                                            const std::vector<std::string> &keys) {
  std::vector<ThrottleRecord> records;
  for (const std::string &key : keys) {
    const PgRows found = db.query(
        "SELECT failures, blocked_until, last_failure FROM login_throttle WHERE key = $1", key);
    if (found.count() == 1)
      records.push_back({key, found.integer(0, 0), found.integer(0, 1), found.integer(0, 2)});
  }
  return records;
}

constexpr const char *kAccountColumns =
    "SELECT a.id, a.name, a.qq, a.created_at, a.disabled_at, c.number, a.name = $1"
    " FROM accounts a LEFT JOIN cards c ON c.used_by = a.id";

AccountRecord account_record(const PgRows &rows, int row) {
  return {rows.integer(row, 0), rows.text(row, 1),    rows.text(row, 2),
          rows.integer(row, 3), rows.integer(row, 4), rows.text(row, 5)};
}

}  // namespace

PostgresStore::PostgresStore(const std::string &uri, const NameRules &rules, LogSink log)
    : pool_(std::make_unique<PgPool>(uri, kConnections, std::move(log))) {
  try {
    prepare_schema(*pool_, rules);
  } catch (const StoreError &error) {
    throw StoreError("cannot use the database " + PgPool::redacted(uri) + ": " + error.what());
  } catch (const StoreUnavailable &error) {
    throw StoreUnavailable("cannot reach the database " + PgPool::redacted(uri) + ": " +
                           error.what());
  }
}

PostgresStore::~PostgresStore() = default;

std::optional<StoredAccount> PostgresStore::find_login_account(std::string_view name,
                                                               std::string_view key) {
  return pool_->access([&](PgConnection &db) -> std::optional<StoredAccount> {
    const PgRows found = db.query(
        "SELECT id, password_hash, name = $1 FROM accounts"
        " WHERE (name = $1 OR name_key = $2) AND disabled_at IS NULL",
        name, key);
    for (int row = 0; row < found.count(); ++row)
      if (found.flag(row, 2)) return StoredAccount{found.integer(row, 0), found.text(row, 1)};
    if (found.count() != 1) return std::nullopt;
    return StoredAccount{found.integer(0, 0), found.text(0, 1)};
  });
}

bool PostgresStore::name_taken(const AccountName &name) {
  return pool_->access([&](PgConnection &db) { return taken(db, name); });
}

std::optional<StoredCard> PostgresStore::find_unused_card(std::string_view number) {
  return pool_->access([&](PgConnection &db) -> std::optional<StoredCard> {
    const PgRows found = db.query(
        "SELECT id, password_hash FROM cards"
        " WHERE number = $1 AND used_by IS NULL AND revoked_at IS NULL",
        number);
    if (found.count() != 1) return std::nullopt;
    return StoredCard{found.integer(0, 0), found.text(0, 1)};
  });
}

// Under the account-names lock no other process checks or creates a name; the card is spent only
// while it is still unused, so of several sign-ups for one card exactly one commits.
SignupResult PostgresStore::create_account_spending_card(const NewAccount &account,
                                                         std::int64_t card_id) {
  return pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    db.query("SELECT pg_advisory_xact_lock($1)", kAccountNamesLock);
    if (taken(db, account.name)) return SignupResult::AccountTaken;
    const std::int64_t account_id = insert_account(db, account);
    const PgRows spent = db.query(
        "UPDATE cards SET used_by = $1, used_at = $2"
        " WHERE id = $3 AND used_by IS NULL AND revoked_at IS NULL RETURNING id",
        account_id, account.created_at, card_id);
    if (spent.count() != 1) return SignupResult::CardRefused;
    transaction.commit();
    return SignupResult::Created;
  });
}

bool PostgresStore::create_account(const NewAccount &account) {
  return pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    db.query("SELECT pg_advisory_xact_lock($1)", kAccountNamesLock);
    if (taken(db, account.name)) return false;
    insert_account(db, account);
    transaction.commit();
    return true;
  });
}

void PostgresStore::add_cards(std::vector<Card> &cards, const std::vector<std::string> &hashes,
                              std::int64_t now, const std::function<std::string()> &new_number) {
  pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    for (std::size_t i = 0; i < cards.size(); ++i) {
      while (db.query("INSERT INTO cards (number, password_hash, created_at) VALUES ($1, $2, $3)"
                      " ON CONFLICT (number) DO NOTHING RETURNING id",
                      cards[i].number, hashes[i], now)
                 .count() != 1)
        cards[i].number = new_number();
    }
    transaction.commit();
    return true;
  });
}

// The account's row is locked while the session is made, so a disable or a new password
// either comes first and is seen here, or comes after and ends the new session too.
bool PostgresStore::add_session(std::string_view token_digest, std::int64_t account_id,
                                std::string_view password_hash, std::int64_t expires_at,
                                std::int64_t now) {
  return pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    if (db.query("SELECT 1 FROM accounts WHERE id = $1 AND password_hash = $2"
                 " AND disabled_at IS NULL FOR UPDATE",
                 account_id, password_hash)
            .count() != 1)
      return false;
    db.query("DELETE FROM sessions WHERE expires_at <= $1", now);
    db.query("INSERT INTO sessions (token_hash, account_id, expires_at) VALUES ($1, $2, $3)",
             token_digest, account_id, expires_at);
    // The new session stays; of the others, those expiring last.
    db.query(
        "DELETE FROM sessions WHERE account_id = $1 AND token_hash NOT IN (SELECT token_hash"
        " FROM sessions WHERE account_id = $1"
        " ORDER BY token_hash = $2 DESC, expires_at DESC, token_hash LIMIT $3)",
        account_id, token_digest, kMaxSessionsPerAccount);
    transaction.commit();
    return true;
  });
}

std::optional<AccountView> PostgresStore::session_account(std::string_view token_digest,
                                                          std::int64_t now) {
  return pool_->access([&](PgConnection &db) -> std::optional<AccountView> {
    const PgRows found = db.query(
        "SELECT a.name, a.qq, a.created_at FROM sessions s JOIN accounts a ON a.id = s.account_id"
        " WHERE s.token_hash = $1 AND s.expires_at > $2 AND a.disabled_at IS NULL",
        token_digest, now);
    if (found.count() != 1) return std::nullopt;
    return AccountView{
        found.text(0, 0), found.text(0, 1),
        std::chrono::system_clock::time_point(std::chrono::seconds(found.integer(0, 2)))};
  });
}

std::vector<ThrottleRecord> PostgresStore::load_throttle(std::size_t limit) {
  return pool_->access([&](PgConnection &db) {
    const PgRows recent = db.query(
        "SELECT key, failures, blocked_until, last_failure FROM login_throttle"
        " ORDER BY last_failure DESC LIMIT $1",
        static_cast<std::int64_t>(limit));
    std::vector<ThrottleRecord> records;
    records.reserve(static_cast<std::size_t>(recent.count()));
    for (int row = 0; row < recent.count(); ++row)
      records.push_back({recent.text(row, 0), recent.integer(row, 1), recent.integer(row, 2),
                         recent.integer(row, 3)});
    return records;
  });
}

std::vector<ThrottleRecord> PostgresStore::read_throttle(const std::vector<std::string> &keys) {
  return pool_->access([&](PgConnection &db) { return stored_throttle(db, keys); });
}

// Each key is locked (in one order in every process, so two updates cannot deadlock) before it
// is read, so failures counted at the same time by several processes all count.
void PostgresStore::change_throttle(
    const std::vector<std::string> &keys,
    const std::function<ThrottleChange(const std::vector<ThrottleRecord> &)> &change) {
  std::vector<std::string> ordered = keys;
  std::sort(ordered.begin(), ordered.end());
  pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    for (const std::string &key : ordered)
      db.query("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", key);
    const ThrottleChange changed = change(stored_throttle(db, keys));
    for (const ThrottleRecord &record : changed.records)
      db.query(
          "INSERT INTO login_throttle (key, failures, blocked_until, last_failure)"
          " VALUES ($1, $2, $3, $4) ON CONFLICT (key) DO UPDATE SET failures = excluded.failures,"
          " blocked_until = excluded.blocked_until, last_failure = excluded.last_failure",
          record.key, record.failures, record.blocked_until, record.last_failure);
    for (const std::string &key : changed.forgotten)
      db.query("DELETE FROM login_throttle WHERE key = $1", key);
    for (const ThrottleRecord &record : changed.evicted)
      db.query("DELETE FROM login_throttle WHERE key = $1 AND last_failure <= $2", record.key,
               record.last_failure);
    transaction.commit();
    return true;
  });
}

std::vector<AccountRecord> PostgresStore::list_accounts() {
  return pool_->access([&](PgConnection &db) {
    const PgRows all = db.query(std::string(kAccountColumns) + " ORDER BY a.name_key, a.id", "");
    std::vector<AccountRecord> accounts;
    accounts.reserve(static_cast<std::size_t>(all.count()));
    for (int row = 0; row < all.count(); ++row) accounts.push_back(account_record(all, row));
    return accounts;
  });
}

std::optional<AccountRecord> PostgresStore::find_account(std::string_view name,
                                                         std::string_view key) {
  return pool_->access([&](PgConnection &db) -> std::optional<AccountRecord> {
    const PgRows found =
        db.query(std::string(kAccountColumns) + " WHERE a.name = $1 OR a.name_key = $2", name, key);
    for (int row = 0; row < found.count(); ++row)
      if (found.flag(row, 6)) return account_record(found, row);
    if (found.count() != 1) return std::nullopt;
    return account_record(found, 0);
  });
}

void PostgresStore::set_account_disabled(std::int64_t account_id, std::int64_t disabled_at) {
  pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    if (disabled_at == 0) {
      db.query("UPDATE accounts SET disabled_at = NULL WHERE id = $1", account_id);
    } else {
      db.query("UPDATE accounts SET disabled_at = $1 WHERE id = $2", disabled_at, account_id);
      db.query("DELETE FROM sessions WHERE account_id = $1", account_id);
    }
    transaction.commit();
    return true;
  });
}

void PostgresStore::set_password_hash(std::int64_t account_id, std::string_view password_hash) {
  pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    db.query("UPDATE accounts SET password_hash = $1 WHERE id = $2", password_hash, account_id);
    db.query("DELETE FROM sessions WHERE account_id = $1", account_id);
    transaction.commit();
    return true;
  });
}

std::vector<CardRecord> PostgresStore::list_cards(CardFilter filter) {
  return pool_->access([&](PgConnection &db) {
    std::string sql =
        "SELECT c.number, c.created_at, a.name, c.used_at, c.revoked_at"
        " FROM cards c LEFT JOIN accounts a ON a.id = c.used_by";
    if (filter == CardFilter::Unused) sql += " WHERE c.used_by IS NULL AND c.revoked_at IS NULL";
    if (filter == CardFilter::Spent) sql += " WHERE c.used_by IS NOT NULL";
    const PgRows all = db.query(sql + " ORDER BY c.created_at, c.id", std::vector<std::string>{});
    std::vector<CardRecord> cards;
    cards.reserve(static_cast<std::size_t>(all.count()));
    for (int row = 0; row < all.count(); ++row)
      cards.push_back({all.text(row, 0), all.integer(row, 1), all.text(row, 2), all.integer(row, 3),
                       all.integer(row, 4)});
    return cards;
  });
}

RevokeResult PostgresStore::revoke_card(std::string_view number, std::int64_t now) {
  return pool_->access([&](PgConnection &db) {
    PgTransaction transaction(db);
    const PgRows found = db.query(
        "SELECT used_by IS NOT NULL, revoked_at IS NOT NULL FROM cards WHERE number = $1"
        " FOR UPDATE",
        number);
    if (found.count() != 1) return RevokeResult::NotFound;
    if (found.flag(0, 0)) return RevokeResult::AlreadySpent;
    if (found.flag(0, 1)) return RevokeResult::AlreadyRevoked;
    db.query("UPDATE cards SET revoked_at = $1 WHERE number = $2", now, number);
    transaction.commit();
    return RevokeResult::Revoked;
  });
}

void PostgresStore::ping() {
  pool_->access([](PgConnection &db) { return db.query("SELECT 1", std::vector<std::string>{}); });
}

}  // namespace velmoth::server
