// velmoth-server backup: a copy of the service's SQLite file, taken while the service runs.
#pragma once

#include "cli/command_line.h"

namespace velmoth::server {

// Copies the SQLite file command.database to command.target (see back_up_sqlite_file), saying
// so in one line on standard output, or why not on standard error. A PostgreSQL database is
// refused with a pointer to pg_dump. Returns the exit code.
int run_backup(const BackupCommand &command);

}  // namespace velmoth::server
