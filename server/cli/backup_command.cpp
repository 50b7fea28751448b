// The backup command: refuses PostgreSQL, copies the SQLite file, reports in one line.
#include "cli/backup_command.h"

#include <cstdio>

#include "cli/exit_codes.h"
#include "cli/store_location.h"
#include "store/sqlite/sqlite_backup.h"
#include "store/store_error.h"

namespace velmoth::server {

int run_backup(const BackupCommand &command) {
  if (names_postgres(command.database)) {
    std::fprintf(stderr,
                 "velmoth-server: backup copies an SQLite file; back up a PostgreSQL database "
                 "with pg_dump (pg_dump --format=custom --file=FILE DATABASE)\n");
    return kExitUsage;
  }
  try {
    back_up_sqlite_file(command.database, command.target);
  } catch (const StoreError &error) {
    std::fprintf(stderr, "velmoth-server: %s\n", error.what());
    return kExitFailed;
  }
  std::printf("%s backed up to %s; the copy passed its integrity check\n", command.database.c_str(),
              command.target.c_str());
  return kExitDone;
}

}  // namespace velmoth::server
