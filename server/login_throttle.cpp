#include "login_throttle.h"

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

}  // namespace

LoginThrottle::LoginThrottle(ThrottleStore &store, std::size_t max_keys)
    : store_(store), max_keys_(std::max<std::size_t>(3, max_keys)) {
  // Loaded most recent first, so the oldest end up at the back of recent_.
  for (ThrottleRecord &record : store_.load_throttle(max_keys_)) {
    const std::string key = record.key;
    recent_.push_back(key);
    entries_[key] = Entry{std::move(record), std::prev(recent_.end())};
  }
}

ThrottleRecord LoginThrottle::current(const std::string &key, std::int64_t now) const {
  const auto found = entries_.find(key);
  if (found == entries_.end()) return ThrottleRecord{key};
  const ThrottleRecord &record = found->second.record;
  if (record.blocked_until <= now && now - record.last_failure >= kForgetAfter)
    return ThrottleRecord{key};
  return record;
}

bool LoginThrottle::allows(std::string_view account, std::string_view address, std::int64_t now) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current(address_key(address), now).blocked_until > now) return false;
  const ThrottleRecord pair = current(pair_key(account, address), now);
  if (pair.blocked_until > now) return false;
  return !(current(account_key(account), now).blocked_until > now &&
           pair.failures >= kPairFreeFailures);
}

ThrottleRecord &LoginThrottle::count_failure(const std::string &key, std::int64_t free_failures,
                                             std::int64_t now,
                                             std::vector<std::string> &forgotten) {
  ThrottleRecord record = current(key, now);
  ++record.failures;
  record.last_failure = now;
  if (record.failures > free_failures)
    record.blocked_until =
        std::max(record.blocked_until, now + backoff(record.failures - free_failures));

  auto found = entries_.find(key);
  if (found == entries_.end()) {
    if (entries_.size() >= max_keys_) {
      forgotten.push_back(recent_.back());
      entries_.erase(recent_.back());
      recent_.pop_back();
    }
    recent_.push_front(key);
    found = entries_.emplace(key, Entry{ThrottleRecord{}, recent_.begin()}).first;
  } else {
    recent_.splice(recent_.begin(), recent_, found->second.age);
  }
  found->second.record = std::move(record);
  return found->second.record;
}

void LoginThrottle::record_failure(std::string_view account, std::string_view address,
                                   std::int64_t now) {
  std::vector<ThrottleRecord> changed;
  std::vector<std::string> forgotten;
  // The store is written under the lock, so it sees the changes in the order they were made.
  std::lock_guard<std::mutex> lock(mutex_);
  changed.push_back(count_failure(address_key(address), kAddressFreeFailures, now, forgotten));
  changed.push_back(count_failure(pair_key(account, address), kPairFreeFailures, now, forgotten));
  changed.push_back(count_failure(account_key(account), kAccountFreeFailures, now, forgotten));
  // A key dropped while this failure was counted may be one of the three just written.
  forgotten.erase(std::remove_if(forgotten.begin(), forgotten.end(),
                                 [&](const std::string &key) {
                                   return std::any_of(changed.begin(), changed.end(),
                                                      [&](const ThrottleRecord &record) {
                                                        return record.key == key;
                                                      });
                                 }),
                  forgotten.end());
  store_.save_throttle(changed, forgotten);
}

void LoginThrottle::record_success(std::string_view account, std::string_view address) {
  const std::string key = pair_key(account, address);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(key);
  if (found == entries_.end()) return;
  recent_.erase(found->second.age);
  entries_.erase(found);
  store_.save_throttle({}, {key});
}

std::size_t LoginThrottle::keys_held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace velmoth::server
