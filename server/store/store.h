// The store interface: where the service keeps accounts, cards, sessions and lock-out state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/records.h"
#include "store/store_error.h"

namespace velmoth::server {

// Where the login throttle keeps its records. The store, not any one process's memory, is their
// truth, so several processes sharing a store refuse the same logins.
class ThrottleStore {
 public:
  virtual ~ThrottleStore() = default;
  // The most recently failed records, at most limit of them.
  virtual std::vector<ThrottleRecord> load_throttle(std::size_t limit) = 0;
  // The stored records among keys (a key without a record is left out).
  virtual std::vector<ThrottleRecord> read_throttle(const std::vector<std::string> &keys) = 0;
  // Reads the stored records among keys, passes them to change and writes what it returns, as
  // one unit: no other process changes those keys in between.
  virtual void change_throttle(
      const std::vector<std::string> &keys,
      const std::function<ThrottleChange(const std::vector<ThrottleRecord> &stored)> &change) = 0;
};

// Where the service keeps accounts, cards, sessions and the login throttle's state. One
// interface for every kind of store; each keeps one schema with versioned migrations and makes
// the steps below race-free across processes that share it. All members may be called from
// many threads at once. Failures throw StoreError, or StoreUnavailable while the store cannot
// be reached.
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
  // Stores a session (only the token's digest) when the account is enabled and its password
  // hash is still password_hash, checked in the same unit as the insert; whether it did. Drops
  // the expired sessions, and the account's oldest beyond kMaxSessionsPerAccount.
  static constexpr std::int64_t kMaxSessionsPerAccount = 16;
  virtual bool add_session(std::string_view token_digest, std::int64_t account_id,
                           std::string_view password_hash, std::int64_t expires_at,
                           std::int64_t now) = 0;
  // The account of a live session; nothing once the account is disabled.
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

  // Runs a trivial query that reads the database, for readiness checks; throws as any other
  // call when the store cannot be used or reached.
  virtual void ping() = 0;
};

}  // namespace velmoth::server
