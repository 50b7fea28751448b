// The login throttle: back-off per client address, per account and address, and per account.
#pragma once

#include <cstddef>
#include <cstdint>
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
// An IPv6 client counts by its /64 (one host usually holds all of it); an IPv4-mapped IPv6
// address counts as its IPv4 address. A name that belongs to no account is counted under its
// address only, so made-up names cost the store nothing.
// Back-off is one second after the free failures, doubling with each further failure up to
// kMaxBackoff. A key whose back-off has run out and that has had no failure for kForgetAfter
// starts afresh. A successful login clears the account-and-address key.
//
// Each try is counted as a failure before its password is checked, in the same store step as
// the check, so tries sent together cannot all pass one check; a success takes its count back.
// The store, shared by every process, holds the records. The keys this process has counted are
// also listed in memory, most recent first, to bound the store at max_keys: room is made by
// deleting the least recent key that holds no live back-off and is neither an account's key
// nor the account-and-address key of an account under attack (the store keeps it if another
// process has counted a failure on it since). When no key may go, the try that needed room is
// refused and counted under the keys it already has. Thread-safe.
class LoginThrottle {
 public:
  static constexpr std::int64_t kAddressFreeFailures = 20;
  static constexpr std::int64_t kPairFreeFailures = 3;
  static constexpr std::int64_t kAccountFreeFailures = 10;
  static constexpr std::int64_t kMaxBackoff = 3600;
  static constexpr std::int64_t kForgetAfter = 24 * 3600;
  static constexpr std::size_t kMaxKeys = 100'000;

  explicit LoginThrottle(ThrottleStore &store, std::size_t max_keys = kMaxKeys);

  // One try, counted as a failure from the start. before and after hold the records it
  // changed, so a success can take the count back.
  struct Attempt {
    bool allowed = false;
    std::string pair;  // the account-and-address key
    std::vector<ThrottleRecord> before;
    std::vector<ThrottleRecord> after;
  };

  // Checks whether a login for account (its case-folded key) from address may be tried at time
  // now and counts it as a failure. known_account says whether the name belongs to an account.
  Attempt begin_attempt(std::string_view account, std::string_view address, std::int64_t now,
                        bool known_account);
  // The attempt's password was right: its failure is taken back and its account-and-address
  // key cleared.
  void record_success(const Attempt &attempt);

  std::size_t keys_held() const;

  // The text address is counted under: an IPv6 address's /64, an IPv4-mapped address's IPv4
  // address, anything else as it is.
  static std::string address_group(std::string_view address);

 private:
  struct Listed {
    std::list<std::string>::iterator at;
    std::int64_t blocked_until = 0;
    std::int64_t last_failure = 0;
  };

  bool may_forget(const std::string &key, std::int64_t now,
                  const std::vector<std::string> &keep) const;
  // Lists record's key as the most recently failed, making room by dropping a key other than
  // those in keep (it goes to evicted); without room the key stays unlisted.
  void touch(const ThrottleRecord &record, std::int64_t now, const std::vector<std::string> &keep,
             std::vector<ThrottleRecord> &evicted);
  void unlist(const std::string &key);

  ThrottleStore &store_;
  std::size_t max_keys_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Listed> listed_;
  std::list<std::string> recent_;  // most recent first
};

}  // namespace velmoth::server
