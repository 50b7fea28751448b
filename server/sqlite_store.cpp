#include "sqlite_store.h"

namespace velmoth::server {
namespace {

std::optional<StoredAccount> find_account(Connection &db, std::string_view name,
                                          std::string_view key) {
  Statement find =
      db.prepare("SELECT id, password_hash, name = ? FROM accounts WHERE name = ? OR name_key = ?");
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

}  // namespace

std::unique_ptr<Store> open_store(const std::string &location) {
  return std::make_unique<SqliteStore>(location);
}

std::optional<StoredAccount> SqliteStore::find_login_account(std::string_view name,
                                                             std::string_view key) {
  return db_.access([&](Connection &db) { return find_account(db, name, key); });
}

bool SqliteStore::name_taken(const AccountName &name) {
  return db_.access([&](Connection &db) { return taken(db, name); });
}

std::optional<StoredCard> SqliteStore::find_unused_card(std::string_view number) {
  return db_.access([&](Connection &db) -> std::optional<StoredCard> {
    Statement find =
        db.prepare("SELECT id, password_hash FROM cards WHERE number = ? AND used_by IS NULL");
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
  return db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (taken(db, account.name)) return SignupResult::AccountTaken;
    insert_account(db, account);
    db.prepare("UPDATE cards SET used_by = ?, used_at = ? WHERE id = ? AND used_by IS NULL")
        .bind(db.last_insert_rowid(), account.created_at, card_id)
        .run();
    if (db.changes() != 1) return SignupResult::CardRefused;
    transaction.commit();
    return SignupResult::Created;
  });
}

bool SqliteStore::create_account(const NewAccount &account) {
  return db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (taken(db, account.name)) return false;
    insert_account(db, account);
    transaction.commit();
    return true;
  });
}

void SqliteStore::add_cards(std::vector<Card> &cards, const std::vector<std::string> &hashes,
                            std::int64_t now, const std::function<std::string()> &new_number) {
  db_.access([&](Connection &db) {
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

void SqliteStore::add_session(std::string_view token_digest, std::int64_t account_id,
                              std::int64_t expires_at, std::int64_t now) {
  db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    db.prepare("DELETE FROM sessions WHERE expires_at <= ?").bind(now).run();
    db.prepare("INSERT INTO sessions (token_hash, account_id, expires_at) VALUES (?, ?, ?)")
        .bind(token_digest, account_id, expires_at)
        .run();
    transaction.commit();
  });
}

std::optional<AccountView> SqliteStore::session_account(std::string_view token_digest,
                                                        std::int64_t now) {
  return db_.access([&](Connection &db) -> std::optional<AccountView> {
    Statement find = db.prepare(
        "SELECT a.name, a.qq, a.created_at FROM sessions s JOIN accounts a ON a.id = s.account_id"
        " WHERE s.token_hash = ? AND s.expires_at > ?");
    find.bind(token_digest, now);
    if (!find.step()) return std::nullopt;
    return AccountView{
        find.text(0), find.text(1),
        std::chrono::system_clock::time_point(std::chrono::seconds(find.integer(2)))};
  });
}

std::vector<ThrottleRecord> SqliteStore::load_throttle(std::size_t limit) {
  return db_.access([&](Connection &db) {
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

void SqliteStore::save_throttle(const std::vector<ThrottleRecord> &records,
                                const std::vector<std::string> &forgotten) {
  db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    for (const ThrottleRecord &record : records)
      db.prepare(
            "INSERT INTO login_throttle (key, failures, blocked_until, last_failure)"
            " VALUES (?, ?, ?, ?) ON CONFLICT (key) DO UPDATE SET failures = excluded.failures,"
            " blocked_until = excluded.blocked_until, last_failure = excluded.last_failure")
          .bind(record.key, record.failures, record.blocked_until, record.last_failure)
          .run();
    for (const std::string &key : forgotten)
      db.prepare("DELETE FROM login_throttle WHERE key = ?").bind(key).run();
    transaction.commit();
  });
}

}  // namespace velmoth::server
