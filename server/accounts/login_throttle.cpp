// Counting failed logins in the store and deciding which logins may be tried.
#include "accounts/login_throttle.h"

#include <algorithm>

namespace velmoth::server {
namespace {

constexpr char kSeparator = '\x1f';  // cannot occur in an account name or an address

std::string address_key(std::string_view address) {
  return "address" + std::string(1, kSeparator) + std::string(address);
}

std::string pair_key(std::string_view account, std::string_view address) {
  return "pair" + std::string(1, kSeparator) + std::string(account) + kSeparator +
         std::string(address);
}

std::string account_key(std::string_view account) {
  return "account" + std::string(1, kSeparator) + std::string(account);
}

std::int64_t backoff(std::int64_t failures_over_free) {
  if (failures_over_free <= 0) return 0;
  if (failures_over_free > 12) return LoginThrottle::kMaxBackoff;  // 2^12 s > one hour
  return std::min<std::int64_t>(std::int64_t{1} << (failures_over_free - 1),
                                LoginThrottle::kMaxBackoff);
}

// The record for key among stored, zero when there is none or it is old enough to forget.
ThrottleRecord current(const std::vector<ThrottleRecord> &stored, const std::string &key,
                       std::int64_t now) {
  for (const ThrottleRecord &record : stored) {
    if (record.key != key) continue;
    if (record.blocked_until <= now && now - record.last_failure >= LoginThrottle::kForgetAfter)
      break;
    return record;
  }
  return ThrottleRecord{key};
}

ThrottleRecord counted(ThrottleRecord record, std::int64_t free_failures, std::int64_t now) {
  ++record.failures;
  record.last_failure = now;
  if (record.failures > free_failures)
    record.blocked_until =
        std::max(record.blocked_until, now + backoff(record.failures - free_failures));
  return record;
}

}  // namespace

LoginThrottle::LoginThrottle(ThrottleStore &store, std::size_t max_keys)
    : store_(store), max_keys_(std::max<std::size_t>(3, max_keys)) {
  // Loaded most recent first, so the oldest end up at the back of recent_.
  for (ThrottleRecord &record : store_.load_throttle(max_keys_)) {
    recent_.push_back(record.key);
    listed_[record.key] = std::prev(recent_.end());
  }
}

bool LoginThrottle::allows(std::string_view account, std::string_view address, std::int64_t now) {
  const std::string by_address = address_key(address);
  const std::string by_pair = pair_key(account, address);
  const std::string by_account = account_key(account);
  const std::vector<ThrottleRecord> stored =
      store_.read_throttle({by_address, by_pair, by_account});
  if (current(stored, by_address, now).blocked_until > now) return false;
  const ThrottleRecord pair = current(stored, by_pair, now);
  if (pair.blocked_until > now) return false;
  return !(current(stored, by_account, now).blocked_until > now &&
           pair.failures >= kPairFreeFailures);
}

void LoginThrottle::touch(const std::string &key, std::vector<std::string> &forgotten) {
  const auto found = listed_.find(key);
  if (found != listed_.end()) {
    recent_.splice(recent_.begin(), recent_, found->second);
    return;
  }
  if (listed_.size() >= max_keys_) {
    forgotten.push_back(recent_.back());
    listed_.erase(recent_.back());
    recent_.pop_back();
  }
  recent_.push_front(key);
  listed_.emplace(key, recent_.begin());
}

void LoginThrottle::record_failure(std::string_view account, std::string_view address,
                                   std::int64_t now) {
  const std::vector<std::pair<std::string, std::int64_t>> keys = {
      {address_key(address), kAddressFreeFailures},
      {pair_key(account, address), kPairFreeFailures},
      {account_key(account), kAccountFreeFailures}};
  std::lock_guard<std::mutex> lock(mutex_);
  store_.change_throttle(
      {keys[0].first, keys[1].first, keys[2].first},
      [&](const std::vector<ThrottleRecord> &stored) {
        ThrottleChange change;
        for (const auto &[key, free_failures] : keys) {
          change.records.push_back(counted(current(stored, key, now), free_failures, now));
          touch(key, change.forgotten);
        }
        // A key dropped while this failure was counted may be one of the three just written.
        change.forgotten.erase(std::remove_if(change.forgotten.begin(), change.forgotten.end(),
                                              [&](const std::string &key) {
                                                return std::any_of(
                                                    keys.begin(), keys.end(),
                                                    [&](const auto &k) { return k.first == key; });
                                              }),
                               change.forgotten.end());
        return change;
      });
}

void LoginThrottle::record_success(std::string_view account, std::string_view address) {
  const std::string key = pair_key(account, address);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = listed_.find(key);
  if (found != listed_.end()) {
    recent_.erase(found->second);
    listed_.erase(found);
  }
  // Deleted even when not listed here: another process may have counted it.
  store_.change_throttle({key}, [&](const std::vector<ThrottleRecord> &stored) {
    return stored.empty() ? ThrottleChange{} : ThrottleChange{{}, {key}};
  });
}

std::size_t LoginThrottle::keys_held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listed_.size();
}

}  // namespace velmoth::server
