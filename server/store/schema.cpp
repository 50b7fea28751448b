// Schema checks and name keys for old names, the same in every kind of store.
#include "store/schema.h"

#include "store/store_error.h"

namespace velmoth::server {

void check_known_version(std::int64_t version) {
  if (version > kSchemaVersion)
    throw StoreError("the database has schema version " + std::to_string(version) +
                     ", newer than this program knows (" + std::to_string(kSchemaVersion) +
                     "); use a newer velmoth-server with it");
}

NameKeys keys_of_stored_name(const NameRules &rules, const std::string &name) {
  if (const auto checked = rules(name)) return {checked->key, checked->skeleton};
  return {name, std::nullopt};
}

}  // namespace velmoth::server
