// The online backup of the service's SQLite file, taken while the service goes on writing it.
#pragma once

#include <string>

namespace velmoth::server {

// Copies the SQLite database at source into a new file at target, readable and writable by its
// owner only whatever the umask; an existing target is never overwritten. The copy is one
// consistent snapshot, taken in a single read transaction, so writers in other connections and
// processes are neither blocked nor half copied; it is left in rollback-journal mode, a file
// complete by itself. source is opened read-only: its data is never changed (SQLite may make
// its -wal and -shm files when they are missing, owned as the file is). The copy must pass
// PRAGMA integrity_check. On failure the copy is removed and a StoreError names the file and
// the cause.
void back_up_sqlite_file(const std::string &source, const std::string &target);

}  // namespace velmoth::server
