#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "access_log.h"
#include "account_names.h"
#include "login_throttle.h"

namespace velmoth::server {

// Answer codes of the sign-up page.
enum class SignupResult : char {
  Invalid = '0',       // a field is missing or breaks its rule
  AccountTaken = '1',  // the account name (or a look-alike) is already registered
  CardRefused = '2',   // unknown card, wrong card password, or card already spent
  Created = '3',
};

// The store cannot be reached just now (its server is down or the connection was lost). The
// request fails without changing anything; the store logs the outage once and reconnects by
// itself.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AccountView {
  std::string name;
  std::string qq;
  std::chrono::system_clock::time_point created;
};

struct Card {
  std::string number;
  std::string password;
};

struct StoredAccount {
  std::int64_t id;
  std::string password_hash;
};

struct StoredCard {
  std::int64_t id;
  std::string password_hash;
};

struct NewAccount {
  AccountName name;
  std::string password_hash;
  std::string qq;
  std::int64_t created_at;  // seconds since 1970-01-01 UTC, as every time in the store
};

// One account as the operator commands show it. Times are seconds since 1970 UTC, 0 for never.
struct AccountRecord {
  std::int64_t id = 0;
  std::string name;
  std::string qq;
  std::int64_t created_at = 0;
  std::int64_t disabled_at = 0;
  std::string card;  // the number of the card that paid for it, empty for none
};

// One card as the operator commands show it (never its password).
struct CardRecord {
  std::string number;
  std::int64_t created_at = 0;
  std::string spent_by;  // the account it paid for, empty while unused
  std::int64_t spent_at = 0;
  std::int64_t revoked_at = 0;
};

enum class CardFilter { All, Unused, Spent };

enum class RevokeResult { Revoked, AlreadyRevoked, AlreadySpent, NotFound };

// Where the service keeps accounts, cards, sessions and the login throttle's state. One
// interface for every kind of store; each keeps one schema with versioned migrations and makes
// the steps below race-free across processes that share it. All members may be called from
// many threads at once.
class Store : public ThrottleStore {
 public:
  // The account a login names: the one stored with exactly that name, else the only one with
  // its key. key is the name's key, or the name itself when it breaks today's rules. A disabled
  // account is not found.
  virtual std::optional<StoredAccount> find_login_account(std::string_view name,
                                                          std::string_view key) = 0;
  // Whether a new account name would be taken: the same key, or a look-alike.
  virtual bool name_taken(const AccountName &name) = 0;
  // An unused card that has not been revoked.
  virtual std::optional<StoredCard> find_unused_card(std::string_view number) = 0;
  // Creates the account and spends the card as one unit: of several calls for one card or one
  // name, one creates its account and the others change nothing.
  virtual SignupResult create_account_spending_card(const NewAccount &account,
                                                    std::int64_t card_id) = 0;
  // Creates the account unless its name is taken; whether it was created.
  virtual bool create_account(const NewAccount &account) = 0;
  // Stores the cards with their password hashes; a number already taken is replaced by
  // new_number() until it is free, and cards[i].number tells the number stored.
  virtual void add_cards(std::vector<Card> &cards, const std::vector<std::string> &hashes,
                         std::int64_t now, const std::function<std::string()> &new_number) = 0;
  // Stores a session (only the token's digest) and drops the expired ones.
  virtual void add_session(std::string_view token_digest, std::int64_t account_id,
                           std::int64_t expires_at, std::int64_t now) = 0;
  virtual std::optional<AccountView> session_account(std::string_view token_digest,
                                                     std::int64_t now) = 0;

  // For the operator commands. name is matched as a login matches it, disabled or not.
  virtual std::vector<AccountRecord> list_accounts() = 0;
  virtual std::optional<AccountRecord> find_account(std::string_view name,
                                                    std::string_view key) = 0;
  // disabled_at 0 enables the account; disabling also ends its sessions.
  virtual void set_account_disabled(std::int64_t account_id, std::int64_t disabled_at) = 0;
  // A new password also ends the account's sessions.
  virtual void set_password_hash(std::int64_t account_id, std::string_view password_hash) = 0;
  virtual std::vector<CardRecord> list_cards(CardFilter filter) = 0;
  virtual RevokeResult revoke_card(std::string_view number, std::int64_t now) = 0;
};

// The store at location: a postgresql:// (or postgres://) URI names a PostgreSQL database, any
// other text is the path of an SQLite file, created when missing. Either gets its schema created
// or brought up to date. Throws StoreUnavailable when the database server cannot be reached, and
// std::runtime_error naming the location and the cause when the store cannot be used.
std::unique_ptr<Store> open_store(const std::string &location, LogSink outage_log);
// Whether location names a PostgreSQL database rather than an SQLite file.
bool names_postgres(const std::string &location);

}  // namespace velmoth::server
