// Password hashes with libsodium's Argon2id, at most max_parallel at a time.
#include "accounts/passwords.h"

#include <sodium.h>

#include <algorithm>
#include <stdexcept>

namespace velmoth::server {

HashCost HashCost::interactive() {
  return {crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE, crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE};
}

HashCost HashCost::minimum() {
  return {crypto_pwhash_argon2id_OPSLIMIT_MIN, crypto_pwhash_argon2id_MEMLIMIT_MIN};
}

// Holds one of the hasher's parallel slots for its lifetime.
class PasswordHasher::Slot {
 public:
  explicit Slot(const PasswordHasher &hasher) : hasher_(hasher) {
    std::unique_lock<std::mutex> lock(hasher_.mutex_);
    hasher_.released_.wait(lock, [&] { return hasher_.running_ < hasher_.max_parallel_; });
    ++hasher_.running_;
  }
  ~Slot() {
    {
      std::lock_guard<std::mutex> lock(hasher_.mutex_);
      --hasher_.running_;
    }
    hasher_.released_.notify_one();
  }
  Slot(const Slot &) = delete;
  Slot &operator=(const Slot &) = delete;

 private:
  const PasswordHasher &hasher_;
};

PasswordHasher::PasswordHasher(HashCost cost, unsigned max_parallel)
    : cost_(cost), max_parallel_(std::max(1u, max_parallel)) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
}

std::string PasswordHasher::hash(std::string_view password) const {
  char encoded[crypto_pwhash_STRBYTES];
  Slot slot(*this);
  const auto started = std::chrono::steady_clock::now();
  if (crypto_pwhash_str_alg(encoded, password.data(), password.size(), cost_.ops_limit,
                            cost_.mem_limit, crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("password hashing ran out of memory");
  record(std::chrono::steady_clock::now() - started);
  return encoded;
}

bool PasswordHasher::verify(const std::string &encoded, std::string_view password) const {
  Slot slot(*this);
  const auto started = std::chrono::steady_clock::now();
  const bool right =
      crypto_pwhash_str_verify(encoded.c_str(), password.data(), password.size()) == 0;
  record(std::chrono::steady_clock::now() - started);
  return right;
}

void PasswordHasher::record(std::chrono::nanoseconds took) const {
  std::lock_guard<std::mutex> lock(mutex_);
  recent_[recorded_++ % recent_.size()] = took;
}

std::chrono::nanoseconds PasswordHasher::typical_time() const {
  std::array<std::chrono::nanoseconds, std::tuple_size_v<decltype(recent_)>> times{};
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = std::min(recorded_, recent_.size());
    std::copy_n(recent_.begin(), count, times.begin());
  }
  if (count == 0) return {};
  const auto middle = times.begin() + static_cast<std::ptrdiff_t>(count / 2);
  std::nth_element(times.begin(), middle, times.begin() + static_cast<std::ptrdiff_t>(count));
  return *middle;
}

}  // namespace velmoth::server
