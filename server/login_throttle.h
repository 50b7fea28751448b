#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmoth::server {

// Failed logins counted under one key, with the time (seconds since 1970) until which the key
// refuses logins.
struct ThrottleRecord {
  std::string key;
  std::int64_t failures = 0;
  std::int64_t blocked_until = 0;
  std::int64_t last_failure = 0;
};

// Where the throttle keeps its records so that a restart does not forget them.
class ThrottleStore {
 public:
  virtual ~ThrottleStore() = default;
  // The most recently failed records, at most limit of them.
  virtual std::vector<ThrottleRecord> load_throttle(std::size_t limit) = 0;
  // Writes the records and deletes the keys given, as one unit.
  virtual void save_throttle(const std::vector<ThrottleRecord> &records,
                             const std::vector<std::string> &forgotten) = 0;
};

// Slows password guessing without letting anyone lock a user out. Failed logins are counted
// under three keys:
// - the client address, across all accounts: kAddressFreeFailures free, then back-off;
// - the account from that address: kPairFreeFailures free, then back-off;
// - the account from anywhere: kAccountFreeFailures free, then the account is "under attack"
//   for its back-off time, during which only addresses that failed on it kPairFreeFailures
//   times or more are refused. Its owner, logging in from an address that has not been
//   guessing, is never refused.
// Back-off is one second after the free failures, doubling with each further failure up to
// kMaxBackoff. A key whose back-off has run out and that has had no failure for kForgetAfter
// starts afresh. A successful login clears the account-and-address key.
//
// Each check or update is O(1): keys are in a hash map, the least recently failed one is
// dropped once kMaxKeys are held. Every change is written through to the store. Thread-safe.
class LoginThrottle {
 public:
  static constexpr std::int64_t kAddressFreeFailures = 20;
  static constexpr std::int64_t kPairFreeFailures = 3;
  static constexpr std::int64_t kAccountFreeFailures = 10;
  static constexpr std::int64_t kMaxBackoff = 3600;
  static constexpr std::int64_t kForgetAfter = 24 * 3600;
  static constexpr std::size_t kMaxKeys = 100'000;

  explicit LoginThrottle(ThrottleStore &store, std::size_t max_keys = kMaxKeys);

  // Whether a login for account (its case-folded key) from address may be tried at time now.
  bool allows(std::string_view account, std::string_view address, std::int64_t now);
  void record_failure(std::string_view account, std::string_view address, std::int64_t now);
  void record_success(std::string_view account, std::string_view address);

  std::size_t keys_held() const;

 private:
  struct Entry {
    ThrottleRecord record;
    std::list<std::string>::iterator age;  // place in recent_, most recent first
  };

  // The current record for key (zero when unknown or forgotten); does not create it.
  ThrottleRecord current(const std::string &key, std::int64_t now) const;
  // Counts a failure under key; the key dropped to make room, if any, goes to forgotten.
  ThrottleRecord &count_failure(const std::string &key, std::int64_t free_failures,
                                std::int64_t now, std::vector<std::string> &forgotten);

  ThrottleStore &store_;
  std::size_t max_keys_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> recent_;
};

}  // namespace velmoth::server
