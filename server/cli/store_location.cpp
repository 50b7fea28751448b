// Opens the SQLite or PostgreSQL store a --db location names, with the account-name rules.
#include "cli/store_location.h"

#include "accounts/account_names.h"
#include "store/postgres/postgres_store.h"
#include "store/sqlite/sqlite_store.h"

namespace velmoth::server {

bool names_postgres(const std::string &location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> open_store(const std::string &location, LogSink outage_log) {
  if (names_postgres(location))
    return std::make_unique<PostgresStore>(location, account_name, std::move(outage_log));
  return std::make_unique<SqliteStore>(location, account_name);
}

}  // namespace velmoth::server
