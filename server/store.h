#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Where the service keeps accounts, cards, sessions and the login throttle's state. One
// interface for every kind of store; each keeps one schema with versioned migrations and makes
// the steps below race-free across processes that share it. All members may be called from
// many threads at once.
class Store : public ThrottleStore {
 public:
  // The account a login names: the one stored with exactly that name, else the only one with
  // its key. key is the name's key, or the name itself when it breaks today's rules.
  virtual std::optional<StoredAccount> find_login_account(std::string_view name,
                                                          std::string_view key) = 0;
  // Whether a new account name would be taken: the same key, or a look-alike.
  virtual bool name_taken(const AccountName &name) = 0;
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
};

// The store at location: for now a path to an SQLite file, created when missing. Throws
// std::runtime_error naming the location and the cause when it cannot be used.
std::unique_ptr<Store> open_store(const std::string &location);

}  // namespace velmoth::server
