// Argon2id hashing and verification of passwords, with a bound on hashes running at once.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace velmoth::server {

// Argon2id work factors for new hashes. Existing hashes carry their own factors, so verification
// works whatever the factors were when a hash was made.
struct HashCost {
  unsigned long long ops_limit;
  std::size_t mem_limit;

  // libsodium's "interactive" level (64 MiB, a few passes; about a tenth of a second per hash):
  // the service hashes on every login and sign-up while the user waits, and it is the level
  // libsodium recommends for online logins.
  static HashCost interactive();
  // The cheapest factors Argon2id accepts; only for tests, which hash hundreds of times.
  static HashCost minimum();
};

// Hashes and verifies account and card passwords with Argon2id (libsodium's crypto_pwhash_str).
// Each hash needs mem_limit bytes while it runs, so at most max_parallel hashes run at once and
// further callers wait; a burst of requests cannot exhaust memory.
class PasswordHasher {
 public:
  PasswordHasher(HashCost cost, unsigned max_parallel);

  // An encoded "$argon2id$..." string with a fresh random salt.
  std::string hash(std::string_view password) const;
  bool verify(const std::string &encoded, std::string_view password) const;
  // The median time of the latest hashes and verifications (without waiting for a slot); zero
  // before the first.
  std::chrono::nanoseconds typical_time() const;

 private:
  class Slot;
  void record(std::chrono::nanoseconds took) const;

  HashCost cost_;
  unsigned max_parallel_;
  mutable unsigned running_ = 0;
  mutable std::mutex mutex_;
  mutable std::condition_variable released_;
  mutable std::array<std::chrono::nanoseconds, 15> recent_{};
  mutable std::size_t recorded_ = 0;
};

}  // namespace velmoth::server
