// The command line of velmoth-server: serve, add-cards, accounts and cards, backup, help.
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace velmoth::server {

struct HelpCommand {};

struct ServeCommand {
  std::string database;
  std::string host = "127.0.0.1";  // loopback unless told otherwise
  int port = 8931;                 // 0 picks a free port
  bool demo = false;
  std::string tls_certificate;  // PEM files; HTTPS when both are given, plain HTTP when neither
  std::string tls_key;
  // TLS-terminating proxies in front of a plain listener that is not loopback, as addresses
  // written the canonical way; plain HTTP elsewhere than loopback is refused without them.
  std::vector<std::string> tls_proxies;
  // Where the metrics listener serves /metrics; no listener while the host is empty.
  std::string metrics_host;
  int metrics_port = 0;
};

struct AddCardsCommand {
  std::string database;
  int count = 0;
};

// velmoth-server accounts|cards ACTION [OPERAND] --db LOCATION [--json] [--unused|--spent]
struct OperatorCommand {
  std::string database;
  std::string subject;  // "accounts" or "cards"
  std::string action;   // list, show, disable, enable, set-password; list, add, revoke
  std::string operand;  // account name, card number or count, empty for list
  std::string filter;   // "unused", "spent" or empty, for cards list
  int count = 0;        // for cards add
  bool json = false;
};

// velmoth-server backup --db FILE --to FILE
struct BackupCommand {
  std::string database;
  std::string target;  // a file that does not exist yet
};

using Command =
    std::variant<HelpCommand, ServeCommand, AddCardsCommand, OperatorCommand, BackupCommand>;

// Parses the arguments after the program name. Throws std::invalid_argument with a message for
// the user when they are wrong.
Command parse_command_line(const std::vector<std::string> &args);

std::string usage_text();

}  // namespace velmoth::server
