// The store in one SQLite file, for a service that runs as one process.
#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace velmoth::server {

class Database;

// The store in one SQLite file (see Database for the file itself).
class SqliteStore : public Store {
 public:
  // rules give the keys of names stored before them when an old file is migrated.
  SqliteStore(const std::string &path, const NameRules &rules);
  ~SqliteStore() override;

  std::optional<StoredAccount> find_login_account(std::string_view name,
                                                  std::string_view key) override;
  bool name_taken(const AccountName &name) override;
  std::optional<StoredCard> find_unused_card(std::string_view number) override;
  SignupResult create_account_spending_card(const NewAccount &account,
                                            std::int64_t card_id) override;
  bool create_account(const NewAccount &account) override;
  void add_cards(std::vector<Card> &cards, const std::vector<std::string> &hashes, std::int64_t now,
                 const std::function<std::string()> &new_number) override;
  bool add_session(std::string_view token_digest, std::int64_t account_id,
                   std::string_view password_hash, std::int64_t expires_at,
                   std::int64_t now) override;
  std::optional<AccountView> session_account(std::string_view token_digest,
                                             std::int64_t now) override;
  std::vector<ThrottleRecord> load_throttle(std::size_t limit) override;
  std::vector<ThrottleRecord> read_throttle(const std::vector<std::string> &keys) override;
  void change_throttle(
      const std::vector<std::string> &keys,
      const std::function<ThrottleChange(const std::vector<ThrottleRecord> &)> &change) override;
  std::vector<AccountRecord> list_accounts() override;
  std::optional<AccountRecord> find_account(std::string_view name, std::string_view key) override;
  void set_account_disabled(std::int64_t account_id, std::int64_t disabled_at) override;
  void set_password_hash(std::int64_t account_id, std::string_view password_hash) override;
  std::vector<CardRecord> list_cards(CardFilter filter) override;
  RevokeResult revoke_card(std::string_view number, std::int64_t now) override;
  void ping() override;

 private:
  std::unique_ptr<Database> db_;
};

}  // namespace velmoth::server
