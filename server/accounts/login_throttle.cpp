// Counting failed logins in the store and deciding which logins may be tried.
#include "accounts/login_throttle.h"

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

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
    listed_[record.key] = {std::prev(recent_.end()), record.blocked_until, record.last_failure};
  }
}

std::string LoginThrottle::address_group(std::string_view address) {
  const std::string text(address);
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) != 1) return text;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    char v4[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &v6.s6_addr[12], v4, sizeof v4);
    return v4;
  }
  std::fill(std::begin(v6.s6_addr) + 8, std::end(v6.s6_addr), 0);
  char prefix[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, &v6, prefix, sizeof prefix);
  return std::string(prefix) + "/64";
}

// A key may go when it is not one of keep and is old enough to forget, or holds no live
// back-off and is neither an account's key nor an account-and-address key of an account under
// attack.
bool LoginThrottle::may_forget(const std::string &key, std::int64_t now,
                               const std::vector<std::string> &keep) const {
  if (std::find(keep.begin(), keep.end(), key) != keep.end()) return false;
  const Listed &listed = listed_.at(key);
  if (listed.blocked_until <= now && now - listed.last_failure >= kForgetAfter) return true;
  static const std::string account_prefix = account_key("");
  static const std::string pair_prefix = pair_key("", "").substr(0, 5);  // "pair", separator
  if (listed.blocked_until > now || key.rfind(account_prefix, 0) == 0) return false;
  if (key.rfind(pair_prefix, 0) != 0) return true;
  const std::size_t end = key.find(kSeparator, pair_prefix.size());
  const auto account =
      listed_.find(account_key(key.substr(pair_prefix.size(), end - pair_prefix.size())));
  return account == listed_.end() || account->second.blocked_until <= now;
}

void LoginThrottle::touch(const ThrottleRecord &record, std::int64_t now,
                          const std::vector<std::string> &keep,
                          std::vector<ThrottleRecord> &evicted) {
  const auto found = listed_.find(record.key);
  if (found != listed_.end()) {
    recent_.splice(recent_.begin(), recent_, found->second.at);
    found->second.blocked_until = record.blocked_until;
    found->second.last_failure = record.last_failure;
    return;
  }
  if (listed_.size() >= max_keys_) {
    const auto victim = std::find_if(recent_.rbegin(), recent_.rend(), [&](const std::string &key) {
      return may_forget(key, now, keep);
    });
    if (victim == recent_.rend()) return;  // stays unlisted: it is in the store already
    evicted.push_back({*victim, 0, 0, listed_.at(*victim).last_failure});
    unlist(*victim);
  }
  recent_.push_front(record.key);
  listed_[record.key] = {recent_.begin(), record.blocked_until, record.last_failure};
}

void LoginThrottle::unlist(const std::string &key) {
  const auto found = listed_.find(key);
  if (found == listed_.end()) return;
  recent_.erase(found->second.at);
  listed_.erase(found);
}

LoginThrottle::Attempt LoginThrottle::begin_attempt(std::string_view account,
                                                    std::string_view address, std::int64_t now,
                                                    bool known_account) {
  const std::string group = address_group(address);
  Attempt attempt;
  attempt.pair = pair_key(account, group);
  const std::string by_address = address_key(group);
  const std::string by_account = account_key(account);
  std::vector<std::pair<std::string, std::int64_t>> keys = {{by_address, kAddressFreeFailures}};
  if (known_account) {
    keys.emplace_back(attempt.pair, kPairFreeFailures);
    keys.emplace_back(by_account, kAccountFreeFailures);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  store_.change_throttle(
      {by_address, attempt.pair, by_account}, [&](const std::vector<ThrottleRecord> &stored) {
        const ThrottleRecord pair = current(stored, attempt.pair, now);
        attempt.allowed = current(stored, by_address, now).blocked_until <= now &&
                          pair.blocked_until <= now &&
                          !(current(stored, by_account, now).blocked_until > now &&
                            pair.failures >= kPairFreeFailures);
        // An allowed try needs a place for each of its keys; a refused one, or one without
        // room, counts only under the keys that already hold failures.
        std::vector<std::string> keep;
        std::size_t new_keys = 0;
        for (const auto &key : keys) {
          keep.push_back(key.first);
          new_keys += listed_.count(key.first) == 0 ? 1 : 0;
        }
        std::size_t room = max_keys_ - std::min(max_keys_, listed_.size());
        for (auto it = recent_.rbegin(); attempt.allowed && room < new_keys && it != recent_.rend();
             ++it)
          if (may_forget(*it, now, keep)) ++room;
        if (room < new_keys) attempt.allowed = false;
        ThrottleChange change;
        attempt.before.clear();
        attempt.after.clear();
        for (const auto &[key, free_failures] : keys) {
          const ThrottleRecord before = current(stored, key, now);
          if (!attempt.allowed && before.failures == 0) continue;
          attempt.before.push_back(before);
          attempt.after.push_back(counted(before, free_failures, now));
          change.records.push_back(attempt.after.back());
          touch(attempt.after.back(), now, keep, change.evicted);
        }
        return change;
      });
  return attempt;
}

void LoginThrottle::record_success(const Attempt &attempt) {
  std::vector<std::string> keys = {attempt.pair};
  for (const ThrottleRecord &record : attempt.after) keys.push_back(record.key);
  std::lock_guard<std::mutex> lock(mutex_);
  store_.change_throttle(keys, [&](const std::vector<ThrottleRecord> &stored) {
    // Deleted even when not stored by this attempt: another process may have counted it.
    ThrottleChange change{{}, {attempt.pair}};
    unlist(attempt.pair);
    for (std::size_t i = 0; i < attempt.after.size(); ++i) {
      const ThrottleRecord &after = attempt.after[i];
      const auto found = std::find_if(stored.begin(), stored.end(),
                                      [&](const ThrottleRecord &r) { return r.key == after.key; });
      if (after.key == attempt.pair || found == stored.end()) continue;
      // Unchanged since the attempt: back to what it was. Otherwise one failure fewer.
      ThrottleRecord restored = *found;
      if (found->failures == after.failures && found->blocked_until == after.blocked_until &&
          found->last_failure == after.last_failure)
        restored = attempt.before[i];
      else
        restored.failures = std::max<std::int64_t>(0, restored.failures - 1);
      if (restored.failures == 0) {
        change.forgotten.push_back(after.key);
        unlist(after.key);
        continue;
      }
      change.records.push_back(restored);
      const auto listed = listed_.find(after.key);
      if (listed != listed_.end()) {
        listed->second.blocked_until = restored.blocked_until;
        listed->second.last_failure = restored.last_failure;
      }
    }
    return change;
  });
}

std::size_t LoginThrottle::keys_held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listed_.size();
}

}  // namespace velmoth::server
