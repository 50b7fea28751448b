#include "login_throttle.h"

namespace velmoth::server {
namespace {

constexpr std::size_t kSweepAbove = 10'000;

}  // namespace

bool LoginThrottle::locked(std::string_view account, TimePoint now) const {
  std::lock_guard lock(mutex_);
  const auto found = records_.find(std::string(account));
  return found != records_.end() && found->second.locked_until > now;
}

void LoginThrottle::record_failure(std::string_view account, TimePoint now) {
  std::lock_guard lock(mutex_);
  if (records_.size() > kSweepAbove) sweep(now);
  Record &record = records_[std::string(account)];
  while (!record.failures.empty() && record.failures.front() <= now - kWindow)
    record.failures.pop_front();
  record.failures.push_back(now);
  if (static_cast<int>(record.failures.size()) >= kMaxFailures) {
    record.locked_until = now + kLockout;
    record.failures.clear();
  }
}

void LoginThrottle::record_success(std::string_view account) {
  std::lock_guard lock(mutex_);
  records_.erase(std::string(account));
}

void LoginThrottle::sweep(TimePoint now) {
  for (auto it = records_.begin(); it != records_.end();) {
    const Record &record = it->second;
    const bool recent = !record.failures.empty() && record.failures.back() > now - kWindow;
    if (!recent && record.locked_until <= now)
      it = records_.erase(it);
    else
      ++it;
  }
}

}  // namespace velmoth::server
