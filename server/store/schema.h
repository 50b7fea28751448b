// The schema's versions, shared by every kind of store, and the check that a store has them all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "store/records.h"

namespace velmoth::server {

// The schema's migrations in order: migration n brings a database of schema version n to n + 1.
// Every kind of store carries each of them, checked where it lists its own with
// carries_every_migration().
enum class Migration {
  FirstSchema,          // accounts, cards, sessions
  NameKeysAndThrottle,  // name keys and skeletons, the login throttle's table
  DisabledAndRevoked,   // accounts an operator disabled, cards an operator revoked
  SessionsByAccount,    // an account's sessions found without reading them all
  Count
};

inline constexpr int kSchemaVersion = static_cast<int>(Migration::Count);

// Whether steps names every migration once and in order (steps[n].migration is migration n).
template <typename Step, std::size_t N>
constexpr bool carries_every_migration(const Step (&steps)[N]) {
  if (N != static_cast<std::size_t>(kSchemaVersion)) return false;
  for (std::size_t n = 0; n < N; ++n)
    if (static_cast<std::size_t>(steps[n].migration) != n) return false;
  return true;
}

// Throws StoreError when a database's schema version is newer than this program knows.
void check_known_version(std::int64_t version);

// The key and skeleton a name stored before the name rules gets when its database is migrated:
// those of the rules, or, for a name that breaks them, its exact spelling as key and no skeleton
// (it logs in as stored and blocks nobody else's name).
struct NameKeys {
  std::string key;
  std::optional<std::string> skeleton;
};
NameKeys keys_of_stored_name(const NameRules &rules, const std::string &name);

}  // namespace velmoth::server
