// The SQLite store's schema: one migration per schema version.
#pragma once

#include <cstdint>

#include "store/records.h"
#include "store/sqlite/sqlite_database.h"

namespace velmoth::server {

// Brings db from schema version `from` to the current one, inside the caller's transaction.
void migrate(Connection &db, std::int64_t from, const NameRules &rules);

}  // namespace velmoth::server
