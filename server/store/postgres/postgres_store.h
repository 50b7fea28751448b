// The store in a PostgreSQL database that several service processes share.
#pragma once

#include <memory>
#include <string>

#include "base/log_sink.h"
#include "store/store.h"

namespace velmoth::server {

class PgPool;

// The store in a PostgreSQL database shared by any number of service processes. Its schema
// version is kept in the table velmoth_schema; processes starting together migrate one at a
// time. Sign-ups and account creation take one advisory lock, so the look-alike check and the
// card spend see every other process's committed accounts; throttle updates lock their keys.
class PostgresStore : public Store {
 public:
  static constexpr std::size_t kConnections = 8;

  // rules give the keys of names stored before them when an old database is migrated.
  PostgresStore(const std::string &uri, const NameRules &rules, LogSink log = standard_error_log());
  ~PostgresStore() override;

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
  std::unique_ptr<PgPool> pool_;
};

}  // namespace velmoth::server
