// velmoth-server's exit codes, the same for every command.
#pragma once

namespace velmoth::server {

enum ExitCode : int {
  kExitDone = 0,
  kExitNotFound = 1,     // the account or card named does not exist
  kExitUsage = 2,        // wrong arguments
  kExitUnreachable = 3,  // the database server cannot be reached
  kExitRefused = 4,      // the change is not possible: card already spent, password not acceptable
  kExitFailed = 5,       // anything else: database unusable, address in use
};

}  // namespace velmoth::server
