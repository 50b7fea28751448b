// Picks the store a location names (an SQLite file or a PostgreSQL URI) and opens it.
#pragma once

#include <memory>
#include <string>

#include "base/log_sink.h"
#include "store/store.h"

namespace velmoth::server {

// The store at location: a postgresql:// (or postgres://) URI names a PostgreSQL database, any
// other text is the path of an SQLite file, created when missing. Either gets its schema created
// or brought up to date, old names keyed by today's account-name rules. Throws StoreUnavailable
// when the database server cannot be reached (outage_log hears of later outages), and
// StoreError naming the location and the cause when the store cannot be used.
std::unique_ptr<Store> open_store(const std::string &location, LogSink outage_log);
// Whether location names a PostgreSQL database rather than an SQLite file.
bool names_postgres(const std::string &location);

}  // namespace velmoth::server
