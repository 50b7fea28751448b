// The login throttle: back-off per client address, per account and address, and per account.
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

#include "store/store.h"

namespace velmoth::server {

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
// Every check reads the three keys' records from the store and every failure is counted in the
// store, so processes sharing one store see each other's failures. The keys this process has
// counted are also listed in memory, most recent first, to bound the store: once kMaxKeys are
// listed, the least recently failed one is deleted. Thread-safe.
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
  // Lists key as the most recently failed; the key dropped to make room, if any, goes to
  // forgotten.
  void touch(const std::string &key, std::vector<std::string> &forgotten);

  ThrottleStore &store_;
  std::size_t max_keys_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::list<std::string>::iterator> listed_;
  std::list<std::string> recent_;  // most recent first
};

}  // namespace velmoth::server
