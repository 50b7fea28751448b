// The PostgreSQL store's schema: created or brought up to date when the store opens.
#pragma once

#include "store/postgres/postgres_link.h"
#include "store/records.h"

namespace velmoth::server {

// Creates the schema in an empty database or migrates an older one of ours, in one transaction;
// throws StoreError for a database of another program or of a newer schema. Several processes
// starting at once migrate one at a time.
void prepare_schema(PgPool &pool, const NameRules &rules);

}  // namespace velmoth::server
