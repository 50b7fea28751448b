// The SQLite store's statements: sign-up, login, sessions, throttle and operator queries.
#include "store/sqlite/sqlite_store.h"

#include "store/sqlite/sqlite_database.h"

namespace velmoth::server {
namespace {

std::optional<StoredAccount> find_active_account(Connection &db, std::string_view name,
                                                 std::string_view key) {
  Statement find = db.prepare(
      "SELECT id, password_hash, name = ? FROM accounts"
      " WHERE (name = ? OR name_key = ?) AND disabled_at IS NULL");
  find.bind(name, name, key);
  std::optional<StoredAccount> found;
  int matches = 0;
  while (find.step()) {
    if (find.integer(2) == 1) return StoredAccount{find.integer(0), find.text(1)};
    found = StoredAccount{find.integer(0), find.text(1)};
    ++matches;
  }
  return matches == 1 ? found : std::nullopt;
}

bool taken(Connection &db, const AccountName &name) {
  Statement find = db.prepare("SELECT 1 FROM accounts WHERE name_key = ? OR skeleton = ? LIMIT 1");
  find.bind(name.key, name.skeleton);
  return find.step();
}

void insert_account(Connection &db, const NewAccount &account) {
  db.prepare(
        "INSERT INTO accounts (name, name_key, skeleton, password_hash, qq, created_at)"
        " VALUES (?, ?, ?, ?, ?, ?)")
      .bind(account.name.display, account.name.key, account.name.skeleton, account.password_hash,
            account.qq, account.created_at)
      .run();
}

constexpr const char *kAccountColumns =
    "SELECT a.id, a.name, a.qq, a.created_at, a.disabled_at, c.number, a.name = ?"
    " FROM accounts a LEFT JOIN cards c ON c.used_by = a.id";

AccountRecord account_record(const Statement &row) {
  return {row.integer(0), row.text(1), row.text(2), row.integer(3), row.integer(4), row.text(5)};
}

}  // namespace

SqliteStore::SqliteStore(const std::string &path, const NameRules &rules)
    : db_(std::make_unique<Database>(path, rules)) {}

SqliteStore::~SqliteStore() = default;

std::optional<StoredAccount> SqliteStore::find_login_account(std::string_view name,
                                                             std::string_view key) {
  return db_->access([&](Connection &db) { return find_active_account(db, name, key); });
}

bool SqliteStore::name_taken(const AccountName &name) {
  return db_->access([&](Connection &db) { return taken(db, name); });
}

std::optional<StoredCard> SqliteStore::find_unused_card(std::string_view number) {
  return db_->access([&](Connection &db) -> std::optional<StoredCard> {
    Statement find = db.prepare(
        "SELECT id, password_hash FROM cards"
        " WHERE number = ? AND used_by IS NULL AND revoked_at IS NULL");
    find.bind(number);
    if (!find.step()) return std::nullopt;
    return StoredCard{find.integer(0), find.text(1)};
  });
}

// The account row and the card spend commit together or not at all. The write lock is held from
// the start, and the card is spent only if it is still unused at this moment, so of several
// sign-ups that all passed the earlier checks exactly one gets it.
SignupResult SqliteStore::create_account_spending_card(const NewAccount &account,
                                                       std::int64_t card_id) {
  return db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (taken(db, account.name)) return SignupResult::AccountTaken;
    insert_account(db, account);
    db.prepare(
          "UPDATE cards SET used_by = ?, used_at = ?"
          " WHERE id = ? AND used_by IS NULL AND revoked_at IS NULL")
        .bind(db.last_insert_rowid(), account.created_at, card_id)
        .run();
    if (db.changes() != 1) return SignupResult::CardRefused;
    transaction.commit();
    return SignupResult::Created;
  });
}

bool SqliteStore::create_account(const NewAccount &account) {
  return db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (taken(db, account.name)) return false;
    insert_account(db, account);
    transaction.commit();
    return true;
  });
}

void SqliteStore::add_cards(std::vector<Card> &cards, const std::vector<std::string> &hashes,
                            std::int64_t now, const std::function<std::string()> &new_number) {
  db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    for (std::size_t i = 0; i < cards.size(); ++i) {
      for (;;) {
        db.prepare(
              "INSERT INTO cards (number, password_hash, created_at) VALUES (?, ?, ?)"
              " ON CONFLICT (number) DO NOTHING")
            .bind(cards[i].number, hashes[i], now)
            .run();
        if (db.changes() == 1) break;
        cards[i].number = new_number();
      }
    }
    transaction.commit();
  });
}

bool SqliteStore::add_session(std::string_view token_digest, std::int64_t account_id,
                              std::string_view password_hash, std::int64_t expires_at,
                              std::int64_t now) {
  return db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    {
      Statement check = db.prepare(
          "SELECT 1 FROM accounts WHERE id = ? AND password_hash = ? AND disabled_at IS NULL");
      check.bind(account_id, password_hash);
      if (!check.step()) return false;
    }
    db.prepare("DELETE FROM sessions WHERE expires_at <= ?").bind(now).run();
    db.prepare("INSERT INTO sessions (token_hash, account_id, expires_at) VALUES (?, ?, ?)")
        .bind(token_digest, account_id, expires_at)
        .run();
    // The new session stays; of the others, those expiring last.
    db.prepare(
          "DELETE FROM sessions WHERE account_id = ? AND token_hash NOT IN (SELECT token_hash"
          " FROM sessions WHERE account_id = ?"
          " ORDER BY token_hash = ? DESC, expires_at DESC, token_hash LIMIT ?)")
        .bind(account_id, account_id, token_digest, kMaxSessionsPerAccount)
        .run();
    transaction.commit();
    return true;
  });
}

std::optional<AccountView> SqliteStore::session_account(std::string_view token_digest,
                                                        std::int64_t now) {
  return db_->access([&](Connection &db) -> std::optional<AccountView> {
    Statement find = db.prepare(
        "SELECT a.name, a.qq, a.created_at FROM sessions s JOIN accounts a ON a.id = s.account_id"
        " WHERE s.token_hash = ? AND s.expires_at > ? AND a.disabled_at IS NULL");
    find.bind(token_digest, now);
    if (!find.step()) return std::nullopt;
    return AccountView{
        find.text(0), find.text(1),
        std::chrono::system_clock::time_point(std::chrono::seconds(find.integer(2)))};
  });
}

std::vector<ThrottleRecord> SqliteStore::load_throttle(std::size_t limit) {
  return db_->access([&](Connection &db) {
    std::vector<ThrottleRecord> records;
    Statement recent = db.prepare(
        "SELECT key, failures, blocked_until, last_failure FROM login_throttle"
        " ORDER BY last_failure DESC LIMIT ?");
    recent.bind(static_cast<std::int64_t>(limit));
    while (recent.step())
      records.push_back({recent.text(0), recent.integer(1), recent.integer(2), recent.integer(3)});
    return records;
  });
}

namespace {

std::vector<ThrottleRecord> stored_throttle(Connection &db, const std::vector<std::string> &keys) {
  std::vector<ThrottleRecord> records;
  for (const std::string &key : keys) {
    Statement find = db.prepare(
        "SELECT failures, blocked_until, last_failure FROM login_throttle WHERE key = ?");
    find.bind(key);
    if (find.step()) records.push_back({key, find.integer(0), find.integer(1), find.integer(2)});
  }
  return records;
}

}  // namespace

std::vector<ThrottleRecord> SqliteStore::read_throttle(const std::vector<std::string> &keys) {
  return db_->access([&](Connection &db) { return stored_throttle(db, keys); });
}

void SqliteStore::change_throttle(
    const std::vector<std::string> &keys,
    const std::function<ThrottleChange(const std::vector<ThrottleRecord> &)> &change) {
  db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    const ThrottleChange changed = change(stored_throttle(db, keys));
    for (const ThrottleRecord &record : changed.records)
      db.prepare(
            "INSERT INTO login_throttle (key, failures, blocked_until, last_failure)"
            " VALUES (?, ?, ?, ?) ON CONFLICT (key) DO UPDATE SET failures = excluded.failures,"
            " blocked_until = excluded.blocked_until, last_failure = excluded.last_failure")
          .bind(record.key, record.failures, record.blocked_until, record.last_failure)
          .run();
    for (const std::string &key : changed.forgotten)
      db.prepare("DELETE FROM login_throttle WHERE key = ?").bind(key).run();
    for (const ThrottleRecord &record : changed.evicted)
      db.prepare("DELETE FROM login_throttle WHERE key = ? AND last_failure <= ?")
          .bind(record.key, record.last_failure)
          .run();
    transaction.commit();
  });
}

std::vector<AccountRecord> SqliteStore::list_accounts() {
  return db_->access([&](Connection &db) {
    std::vector<AccountRecord> accounts;
    Statement all = db.prepare(std::string(kAccountColumns) + " ORDER BY a.name_key, a.id");
    all.bind("");
    while (all.step()) accounts.push_back(account_record(all));
    return accounts;
  });
}

std::optional<AccountRecord> SqliteStore::find_account(std::string_view name,
                                                       std::string_view key) {
  return db_->access([&](Connection &db) -> std::optional<AccountRecord> {
    Statement find =
        db.prepare(std::string(kAccountColumns) + " WHERE a.name = ? OR a.name_key = ?");
    find.bind(name, name, key);
    std::optional<AccountRecord> found;
    int matches = 0;
    while (find.step()) {
      if (find.integer(6) == 1) return account_record(find);
      found = account_record(find);
      ++matches;
    }
    return matches == 1 ? found : std::nullopt;
  });
}

void SqliteStore::set_account_disabled(std::int64_t account_id, std::int64_t disabled_at) {
  db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (disabled_at == 0) {
      db.prepare("UPDATE accounts SET disabled_at = NULL WHERE id = ?").bind(account_id).run();
    } else {
      db.prepare("UPDATE accounts SET disabled_at = ? WHERE id = ?")
          .bind(disabled_at, account_id)
          .run();
      db.prepare("DELETE FROM sessions WHERE account_id = ?").bind(account_id).run();
    }
    transaction.commit();
  });
}

void SqliteStore::set_password_hash(std::int64_t account_id, std::string_view password_hash) {
  db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    db.prepare("UPDATE accounts SET password_hash = ? WHERE id = ?")
        .bind(password_hash, account_id)
        .run();
    db.prepare("DELETE FROM sessions WHERE account_id = ?").bind(account_id).run();
    transaction.commit();
  });
}

std::vector<CardRecord> SqliteStore::list_cards(CardFilter filter) {
  return db_->access([&](Connection &db) {
    std::string sql =
        "SELECT c.number, c.created_at, a.name, c.used_at, c.revoked_at"
        " FROM cards c LEFT JOIN accounts a ON a.id = c.used_by";
    if (filter == CardFilter::Unused) sql += " WHERE c.used_by IS NULL AND c.revoked_at IS NULL";
    if (filter == CardFilter::Spent) sql += " WHERE c.used_by IS NOT NULL";
    Statement all = db.prepare(sql + " ORDER BY c.created_at, c.id");
    std::vector<CardRecord> cards;
    while (all.step())
      cards.push_back({all.text(0), all.integer(1), all.text(2), all.integer(3), all.integer(4)});
    return cards;
  });
}

RevokeResult SqliteStore::revoke_card(std::string_view number, std::int64_t now) {
  return db_->access([&](Connection &db) {
    WriteTransaction transaction(db);
    Statement find = db.prepare(
        "SELECT used_by IS NOT NULL, revoked_at IS NOT NULL FROM cards"
        " WHERE number = ?");
    find.bind(number);
    if (!find.step()) return RevokeResult::NotFound;
    if (find.integer(0) == 1) return RevokeResult::AlreadySpent;
    if (find.integer(1) == 1) return RevokeResult::AlreadyRevoked;
    db.prepare("UPDATE cards SET revoked_at = ? WHERE number = ?").bind(now, number).run();
    transaction.commit();
    return RevokeResult::Revoked;
  });
}

// Reads the schema, so the file itself must answer, not only the library.
void SqliteStore::ping() {
  db_->access([](Connection &db) { db.prepare("SELECT count(*) FROM sqlite_schema").run(); });
}

}  // namespace velmoth::server
