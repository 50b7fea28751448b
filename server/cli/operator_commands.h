// The operator commands on accounts and cards, as tables or JSON.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "accounts/service.h"
#include "cli/command_line.h"

namespace velmoth::server {

// Reads a new password from the operator, or nothing when none was given.
using PasswordReader = std::function<std::optional<std::string>()>;

// Asks twice without echo on a terminal; otherwise reads the first line of standard input.
PasswordReader standard_input_password();

// Runs one accounts or cards command against service, printing aligned columns (or JSON with
// --json) on standard output and errors on standard error. Returns the exit code. No password or
// card password is ever printed, except those of cards just created.
int run_operator_command(const OperatorCommand &command, Service &service,
                         const PasswordReader &read_password);

}  // namespace velmoth::server
