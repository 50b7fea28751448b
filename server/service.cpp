#include "service.h"

#include <sodium.h>

#include <stdexcept>
#include <utility>

#include "account_names.h"
#include "text_rules.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kTokenBytes = 16;  // 128 random bits
constexpr int kCardNumberDigits = 16;
constexpr int kCardPasswordLength = 8;
// Letters and digits without the look-alikes 0/O, 1/l/I, so a card can be typed from paper.
constexpr std::string_view kCardPasswordAlphabet =
    "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";

std::string to_hex(const unsigned char *bytes, std::size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string new_session_token() {
  unsigned char bytes[kTokenBytes];
  randombytes_buf(bytes, sizeof bytes);
  return to_hex(bytes, sizeof bytes);
}

bool is_session_token(std::string_view text) {
  if (text.size() != kTokenBytes * 2) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Only this digest of a session token is stored, so a copy of the database does not hand out
// live sessions.
std::string token_digest(std::string_view token) {
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(token.data()),
                     token.size(), nullptr, 0);
  return to_hex(digest, sizeof digest);
}

Card new_card() {
  Card card;
  card.number += static_cast<char>('1' + randombytes_uniform(9));
  for (int i = 1; i < kCardNumberDigits; ++i)
    card.number += static_cast<char>('0' + randombytes_uniform(10));
  for (int i = 0; i < kCardPasswordLength; ++i)
    card.password += kCardPasswordAlphabet[randombytes_uniform(
        static_cast<std::uint32_t>(kCardPasswordAlphabet.size()))];
  return card;
}

struct StoredAccount {
  std::int64_t id;
  std::string password_hash;
};

// The account a login names: the one stored with exactly that name, else the only one with its
// key. key is the name's key, or the name itself when it breaks today's rules.
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

// Whether a new account name would be taken: the same key, or a look-alike.
bool name_taken(Connection &db, const AccountName &name) {
  Statement find = db.prepare("SELECT 1 FROM accounts WHERE name_key = ? OR skeleton = ? LIMIT 1");
  find.bind(name.key, name.skeleton);
  return find.step();
}

void insert_account(Connection &db, const AccountName &name, std::string_view password_hash,
                    std::string_view qq, std::int64_t now) {
  db.prepare(
        "INSERT INTO accounts (name, name_key, skeleton, password_hash, qq, created_at)"
        " VALUES (?, ?, ?, ?, ?, ?)")
      .bind(name.display, name.key, name.skeleton, password_hash, qq, now)
      .run();
}

struct StoredCard {
  std::int64_t id;
  std::string password_hash;
};

std::optional<StoredCard> find_unused_card(Connection &db, std::string_view number) {
  Statement find =
      db.prepare("SELECT id, password_hash FROM cards WHERE number = ? AND used_by IS NULL");
  find.bind(number);
  if (!find.step()) return std::nullopt;
  return StoredCard{find.integer(0), find.text(1)};
}

}  // namespace

Service::Service(ServiceOptions options)
    : options_(std::move(options)),
      hasher_(options_.hash_cost, options_.max_parallel_hashes),
      db_(options_.database_path),
      throttle_(db_),
      stand_in_hash_(hasher_.hash(new_session_token())) {}

std::int64_t Service::now_seconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(now().time_since_epoch()).count();
}

std::optional<std::string> Service::log_in(std::string_view account, std::string_view password,
                                           std::string_view client_address) {
  // Malformed input is refused before it costs a database lookup or a hash.
  if (!valid_account_name(account) || !valid_password(password)) return std::nullopt;
  const auto name = account_name(account);
  const std::string key = name ? name->key : std::string(account);
  const std::int64_t now = now_seconds();
  const bool allowed = throttle_.allows(key, client_address, now);
  const auto stored = db_.access([&](Connection &db) { return find_account(db, account, key); });
  const bool verified = hasher_.verify(stored ? stored->password_hash : stand_in_hash_, password);
  // A refused try counts as a failure whatever the password, so it costs the same time as a
  // wrong one and tells nothing about the password.
  if (!verified || !allowed) throttle_.record_failure(key, client_address, now);
  if (!stored || !verified || !allowed) return std::nullopt;
  throttle_.record_success(key, client_address);

  std::string token = new_session_token();
  db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    db.prepare("DELETE FROM sessions WHERE expires_at <= ?").bind(now).run();
    db.prepare("INSERT INTO sessions (token_hash, account_id, expires_at) VALUES (?, ?, ?)")
        .bind(token_digest(token), stored->id, now + options_.session_lifetime.count())
        .run();
    transaction.commit();
  });
  return token;
}

std::optional<AccountView> Service::account_for_session(std::string_view token) {
  if (!is_session_token(token)) return std::nullopt;
  const std::string digest = token_digest(token);
  const std::int64_t now = now_seconds();
  return db_.access([&](Connection &db) -> std::optional<AccountView> {
    Statement find = db.prepare(
        "SELECT a.name, a.qq, a.created_at FROM sessions s JOIN accounts a ON a.id = s.account_id"
        " WHERE s.token_hash = ? AND s.expires_at > ?");
    find.bind(digest, now);
    if (!find.step()) return std::nullopt;
    return AccountView{
        find.text(0), find.text(1),
        std::chrono::system_clock::time_point(std::chrono::seconds(find.integer(2)))};
  });
}

SignupResult Service::sign_up(const SignupForm &form) {
  const auto name = account_name(form.account);
  if (!name || !acceptable_new_password(form.password) || !valid_qq(form.qq) ||
      !valid_card_field(form.card_number) || !valid_card_field(form.card_password))
    return SignupResult::Invalid;

  // Cheap checks first, then the slow hashing without holding the database.
  struct Precheck {
    bool account_taken = false;
    std::optional<StoredCard> card;
  };
  const Precheck precheck = db_.access([&](Connection &db) {
    Precheck result;
    result.account_taken = name_taken(db, *name);
    if (!result.account_taken) result.card = find_unused_card(db, form.card_number);
    return result;
  });
  if (precheck.account_taken) return SignupResult::AccountTaken;
  if (!precheck.card || !hasher_.verify(precheck.card->password_hash, form.card_password))
    return SignupResult::CardRefused;
  const std::string password_hash = hasher_.hash(form.password);

  // The decisive step: the account row and the card spend commit together or not at all. The
  // card is spent only if it is still unused at this moment, so of several sign-ups that all
  // passed the checks above exactly one gets it.
  const std::int64_t now = now_seconds();
  return db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (name_taken(db, *name)) return SignupResult::AccountTaken;
    insert_account(db, *name, password_hash, form.qq, now);
    const std::int64_t account_id = db.last_insert_rowid();
    db.prepare("UPDATE cards SET used_by = ?, used_at = ? WHERE id = ? AND used_by IS NULL")
        .bind(account_id, now, precheck.card->id)
        .run();
    if (db.changes() != 1) return SignupResult::CardRefused;
    transaction.commit();
    return SignupResult::Created;
  });
}

std::vector<Card> Service::add_cards(int count) {
  if (count < 1) throw std::invalid_argument("the number of cards must be at least 1");
  std::vector<Card> cards;
  std::vector<std::string> hashes;
  for (int i = 0; i < count; ++i) {
    cards.push_back(new_card());
    hashes.push_back(hasher_.hash(cards.back().password));
  }
  const std::int64_t now = now_seconds();
  db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    for (std::size_t i = 0; i < cards.size(); ++i) {
      // A number that is already taken (about one chance in 10^15 per card) is drawn again.
      for (;;) {
        db.prepare(
              "INSERT INTO cards (number, password_hash, created_at) VALUES (?, ?, ?)"
              " ON CONFLICT (number) DO NOTHING")
            .bind(cards[i].number, hashes[i], now)
            .run();
        if (db.changes() == 1) break;
        cards[i].number = new_card().number;
      }
    }
    transaction.commit();
  });
  return cards;
}

bool Service::ensure_demo_account() {
  const auto name = account_name(kDemoAccount);
  const auto demo_works = [&] {
    const auto existing =
        db_.access([&](Connection &db) { return find_account(db, kDemoAccount, name->key); });
    return existing && hasher_.verify(existing->password_hash, kDemoPassword);
  };
  if (demo_works()) return true;

  const std::string password_hash = hasher_.hash(kDemoPassword);
  const std::int64_t now = now_seconds();
  const bool created = db_.access([&](Connection &db) {
    WriteTransaction transaction(db);
    if (name_taken(db, *name)) return false;
    insert_account(db, *name, password_hash, kDemoQq, now);
    transaction.commit();
    return true;
  });
  // Not created: the name (or a look-alike) was there already, or has just been taken.
  return created || demo_works();
}

}  // namespace velmoth::server
