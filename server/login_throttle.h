#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velmoth::server {

// Slows password guessing: after kMaxFailures failed logins for one account name within
// kWindow, further logins for that name are refused without looking at the password for
// kLockout. Other accounts are unaffected. Thread-safe; held in memory only.
class LoginThrottle {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  static constexpr int kMaxFailures = 5;
  static constexpr std::chrono::minutes kWindow{5};
  static constexpr std::chrono::minutes kLockout{5};

  bool locked(std::string_view account, TimePoint now) const;
  void record_failure(std::string_view account, TimePoint now);
  void record_success(std::string_view account);

 private:
  struct Record {
    std::deque<TimePoint> failures;  // within the window, oldest first
    TimePoint locked_until{};
  };

  // Drops records that no longer lock anything, so guessing at many names cannot grow memory
  // without bound.
  void sweep(TimePoint now);

  mutable std::mutex mutex_;
  std::unordered_map<std::string, Record> records_;
};

}  // namespace velmoth::server
