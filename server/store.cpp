#include "store.h"

#include "postgres_store.h"
#include "sqlite_store.h"

namespace velmoth::server {

bool names_postgres(const std::string &location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> open_store(const std::string &location, LogSink outage_log) {
  if (names_postgres(location))
    return std::make_unique<PostgresStore>(location, std::move(outage_log));
  return std::make_unique<SqliteStore>(location);
}

}  // namespace velmoth::server
