// The subscription service: logins, sign-ups, sessions and cards over a store it is handed.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/passwords.h"
#include "store/store.h"

namespace velmoth::server {

// Where the service reads the current time. Tests replace it to move time forward without
// waiting (session expiry, per-account lockouts).
using Clock = std::function<std::chrono::system_clock::time_point()>;

struct ServiceOptions {
  HashCost hash_cost = HashCost::interactive();
  // Argon2 hashes allowed to run at the same time (each holds hash_cost.mem_limit bytes).
  unsigned max_parallel_hashes = 4;
  Clock clock = [] { return std::chrono::system_clock::now(); };
  std::chrono::seconds session_lifetime = std::chrono::hours(12);
};

struct SignupForm {
  std::string account;
  std::string password;
  std::string qq;
  std::string card_number;
  std::string card_password;
};

// The subscription service: accounts, top-up cards and login sessions, kept in the store it is
// given. All members may be called from many threads at once.
class Service {
 public:
  explicit Service(std::unique_ptr<Store> store, ServiceOptions options = {});

  // How a login try ended, for the operator's metrics (the client is told only yes or no):
  // a session, a wrong password, refused by the login throttle, or refused because the request
  // was invalid or names no account that may log in (unknown or disabled).
  enum class LoginResult { Accepted, Wrong, Throttled, Refused };

  // What a login try came to: a session token, or nothing; and how long to hold the answer back
  // so that it takes as long as a password verification would have.
  struct LoginOutcome {
    std::optional<std::string> token;
    std::chrono::nanoseconds hold{};
    LoginResult result = LoginResult::Refused;
  };

  // A new session token when the account exists, the password matches and the login throttle
  // lets client_address try; nothing otherwise. The account name is matched as at sign-up
  // (width, normalization and case do not matter); a name stored before those rules that
  // breaks them matches only as stored. A try refused by the throttle or for a name without an
  // account spends no hash: its outcome says to hold the answer for the typical hash time, so
  // refused, missing and wrong take the same time without costing the hashing threads.
  LoginOutcome try_log_in(std::string_view account, std::string_view password,
                          std::string_view client_address = {});
  // try_log_in, waiting out the hold itself.
  std::optional<std::string> log_in(std::string_view account, std::string_view password,
                                    std::string_view client_address = {});
  std::optional<AccountView> account_for_session(std::string_view token);

  // Creates the account and spends the card as one unit: a card pays for one account only,
  // however many sign-ups race for it.
  SignupResult sign_up(const SignupForm &form);

  // Makes count fresh cards and returns them with their clear passwords, which are not kept.
  std::vector<Card> add_cards(int count);

  // Creates the demo account when it does not exist; true when the account (new or old) logs in
  // with the demo password.
  bool ensure_demo_account();
  static constexpr std::string_view kDemoAccount = "demo";
  static constexpr std::string_view kDemoPassword = "demo1234";
  static constexpr std::string_view kDemoQq = "10000";

  std::chrono::system_clock::time_point now() const { return options_.clock(); }
  // Whether the store answers a trivial query now.
  bool ready();

  // For the operator commands. An account is named as at login, disabled or not.
  std::vector<AccountRecord> accounts() { return store_->list_accounts(); }
  std::optional<AccountRecord> find_account(std::string_view name);
  std::vector<CardRecord> cards(CardFilter filter) { return store_->list_cards(filter); }
  RevokeResult revoke_card(std::string_view number);
  // Whether the account exists. A disabled account cannot log in and its sessions end.
  bool set_account_disabled(std::string_view name, bool disabled);
  enum class PasswordChange { Changed, NoSuchAccount, Unacceptable };
  // Sets a new password, ending the account's sessions.
  PasswordChange set_password(std::string_view name, std::string_view password);

 private:
  std::int64_t now_seconds() const;

  ServiceOptions options_;
  PasswordHasher hasher_;
  std::unique_ptr<Store> store_;
  LoginThrottle throttle_;
};

}  // namespace velmoth::server
