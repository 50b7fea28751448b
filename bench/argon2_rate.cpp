// The raw Argon2id verification rate of this machine, as the service verifies: libsodium's
// interactive factors through the service's own PasswordHasher, one verifying thread per core,
// for the given number of seconds. Prints "verifications/s N".

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "accounts/passwords.h"

int main(int argc, char **argv) {
  using namespace velmoth::server;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  const PasswordHasher hasher(HashCost::interactive(), threads);
  const std::string hash = hasher.hash("bench-password");
  std::atomic<long> verified{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (unsigned i = 0; i < threads; ++i)
    workers.emplace_back([&] {
      while (!stop) verified += hasher.verify(hash, "bench-password") ? 1 : 0;
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (std::thread &worker : workers) worker.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("verifications/s %.2f\n", verified / elapsed);
  return 0;
}
