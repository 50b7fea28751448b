// The plain records that pass through the store interface: accounts, cards, sessions, throttle.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmoth::server {

// An account name as the service keeps it.
struct AccountName {
  std::string display;   // as shown and stored: widths mapped, NFC
  std::string key;       // for uniqueness and login: display, case-folded (full folding), NFC
  std::string skeleton;  // ICU's confusable skeleton of key: names that look alike share it
};

// The name rules the store applies when a migration fills in the keys of names stored before
// them: the name under today's rules, or nothing when it breaks them. The store itself knows no
// rules; the accounts layer hands them in.
using NameRules = std::function<std::optional<AccountName>(std::string_view name)>;

// Outcomes of a sign-up.
enum class SignupResult {
  Invalid,       // a field is missing or breaks its rule
  AccountTaken,  // the account name (or a look-alike) is already registered
  CardRefused,   // unknown card, wrong card password, or card already spent
  Created,
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

// Failed logins counted under one key, with the time (seconds since 1970) until which the key
// refuses logins.
struct ThrottleRecord {
  std::string key;
  std::int64_t failures = 0;
  std::int64_t blocked_until = 0;
  std::int64_t last_failure = 0;
};

// What one failure changes: the records to write, the keys to delete, and the keys to delete
// only while their last failure is no later than the one given (another process may have
// counted a failure since this one last saw the key).
struct ThrottleChange {
  std::vector<ThrottleRecord> records;
  std::vector<std::string> forgotten;
  std::vector<ThrottleRecord> evicted = {};  // left out where a change evicts nothing
};

}  // namespace velmoth::server
