// Parsing velmoth-server's arguments, and its usage text.
#include "cli/command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "base/text_rules.h"

namespace velmoth::server {
namespace {

constexpr int kMaxCardsPerRun = 10000;

// A decimal number from min to max written with digits only.
std::optional<int> bounded_number(const std::string &text, int min, int max) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

// HOST:PORT given to option, with an IPv6 host in brackets: [::1]:8931.
std::pair<std::string, int> parse_listen(const std::string &text, const std::string &option,
                                         const char *example) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw std::invalid_argument(option + " needs HOST:PORT, e.g. " + example);
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const auto port = bounded_number(text.substr(colon + 1), 0, 65535);
  if (host.empty() || !port)
    throw std::invalid_argument(option + " needs HOST:PORT with a port from 0 to 65535");
  return {host, *port};
}

[[noreturn]] void refuse_address(const std::string &option, const std::string &item) {
  throw std::invalid_argument(option + " takes IP addresses separated by commas, not '" + item +
                              "'");
}

// A comma-separated list of IPv4 or IPv6 addresses, each written the canonical way.
std::vector<std::string> parse_addresses(const std::string &text, const std::string &option) {
  std::vector<std::string> addresses;
  for (std::size_t start = 0; !text.empty() && start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const auto address = canonical_address(item);
    if (!address) refuse_address(option, item);
    addresses.push_back(*address);
    start = comma + 1;
  }
  return addresses;
}

// The value of an option written as "--name VALUE" or "--name=VALUE"; advances i past it.
std::optional<std::string> option_value(const std::vector<std::string> &args, std::size_t &i,
                                        const std::string &name) {
  const std::string &arg = args[i];
  if (arg == name) {
    if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
    return args[++i];
  }
  if (arg.compare(0, name.size() + 1, name + "=") == 0) return arg.substr(name.size() + 1);
  return std::nullopt;
}

// The actions of each subject and whether each takes one operand.
bool takes_operand(const std::string &subject, const std::string &action) {
  if (subject == "accounts") {
    if (action == "list") return false;
    if (action == "show" || action == "disable" || action == "enable" || action == "set-password")
      return true;
  } else {
    if (action == "list") return false;
    if (action == "add" || action == "revoke") return true;
  }
  throw std::invalid_argument("unknown action '" + action + "' for " + subject);
}

OperatorCommand parse_operator_command(const std::vector<std::string> &args) {
  OperatorCommand command;
  command.subject = args[0];
  if (args.size() < 2) throw std::invalid_argument(command.subject + " needs an action");
  command.action = args[1];
  const bool wants_operand = takes_operand(command.subject, command.action);
  std::vector<std::string> operands;
  for (std::size_t i = 2; i < args.size(); ++i) {
    if (auto db = option_value(args, i, "--db")) {
      command.database = *db;
    } else if (args[i] == "--json") {
      command.json = true;
    } else if ((args[i] == "--unused" || args[i] == "--spent") && command.subject == "cards" &&
               command.action == "list" && command.filter.empty()) {
      command.filter = args[i].substr(2);
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      throw std::invalid_argument("unknown option '" + args[i] + "' for " + command.subject + " " +
                                  command.action);
    } else {
      operands.push_back(args[i]);
    }
  }
  const std::string name = command.subject + " " + command.action;
  if (command.database.empty()) throw std::invalid_argument(name + " needs --db LOCATION");
  if (operands.size() != (wants_operand ? 1u : 0u))
    throw std::invalid_argument(wants_operand ? name + " needs exactly one argument"
                                              : name + " takes no argument");
  if (wants_operand) command.operand = operands[0];
  if (command.action == "add") {
    const auto count = bounded_number(command.operand, 1, kMaxCardsPerRun);
    if (!count)
      throw std::invalid_argument("COUNT must be a number from 1 to " +
                                  std::to_string(kMaxCardsPerRun));
    command.count = *count;
  }
  return command;
}

BackupCommand parse_backup_command(const std::vector<std::string> &args) {
  BackupCommand command;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (auto db = option_value(args, i, "--db")) {
      command.database = *db;
    } else if (auto to = option_value(args, i, "--to")) {
      command.target = *to;
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      throw std::invalid_argument("unknown option '" + args[i] + "' for backup");
    } else {
      throw std::invalid_argument("unexpected argument '" + args[i] + "'");
    }
  }
  if (command.database.empty()) throw std::invalid_argument("backup needs --db LOCATION");
  if (command.target.empty()) throw std::invalid_argument("backup needs --to FILE");
  // Checked again when the copy is made, which never replaces a file.
  struct stat existing {};
  if (::lstat(command.target.c_str(), &existing) == 0)
    throw std::invalid_argument(command.target + " exists; backup writes a new file only");
  return command;
}

}  // namespace

Command parse_command_line(const std::vector<std::string> &args) {
  if (args.empty()) throw std::invalid_argument("no command given");
  for (const std::string &arg : args) {
    if (arg == "--help" || arg == "-h") return HelpCommand{};
  }

  const std::string &verb = args[0];
  if (verb == "accounts" || verb == "cards") return parse_operator_command(args);
  if (verb == "backup") return parse_backup_command(args);
  if (verb != "serve" && verb != "add-cards")
    throw std::invalid_argument("unknown command '" + verb + "'");

  ServeCommand serve;
  std::vector<std::string> operands;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (auto db = option_value(args, i, "--db")) {
      serve.database = *db;
    } else if (auto listen = option_value(args, i, "--listen"); listen && verb == "serve") {
      std::tie(serve.host, serve.port) = parse_listen(*listen, "--listen", "127.0.0.1:8931");
    } else if (auto metrics = option_value(args, i, "--metrics-listen");
               metrics && verb == "serve") {
      // Empty (as the system service passes an unset setting) leaves the listener off.
      if (!metrics->empty())
        std::tie(serve.metrics_host, serve.metrics_port) =
            parse_listen(*metrics, "--metrics-listen", "127.0.0.1:9100");
    } else if (args[i] == "--demo" && verb == "serve") {
      serve.demo = true;
    } else if (auto cert = option_value(args, i, "--tls-cert"); cert && verb == "serve") {
      serve.tls_certificate = *cert;
    } else if (auto key = option_value(args, i, "--tls-key"); key && verb == "serve") {
      serve.tls_key = *key;
    } else if (auto proxies = option_value(args, i, "--plain-behind-tls-proxy");
               proxies && verb == "serve") {
      serve.tls_proxies = parse_addresses(*proxies, "--plain-behind-tls-proxy");
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      throw std::invalid_argument("unknown option '" + args[i] + "' for " + verb);
    } else {
      operands.push_back(args[i]);
    }
  }
  if (serve.database.empty()) throw std::invalid_argument(verb + " needs --db LOCATION");

  if (verb == "serve") {
    if (!operands.empty()) throw std::invalid_argument("unexpected argument '" + operands[0] + "'");
    if (serve.tls_certificate.empty() != serve.tls_key.empty())
      throw std::invalid_argument("--tls-cert and --tls-key go together: give both, or neither");
    if (!serve.tls_certificate.empty() && !serve.tls_proxies.empty())
      throw std::invalid_argument(
          "--plain-behind-tls-proxy is for a plain listener; with --tls-cert the service speaks "
          "HTTPS itself");
    return serve;
  }
  if (operands.size() != 1) throw std::invalid_argument("add-cards needs exactly one COUNT");
  const auto count = bounded_number(operands[0], 1, kMaxCardsPerRun);
  if (!count)
    throw std::invalid_argument("COUNT must be a number from 1 to " +
                                std::to_string(kMaxCardsPerRun));
  return AddCardsCommand{serve.database, *count};
}

std::string usage_text() {
  return "Usage:\n"
         "  velmoth-server serve --db LOCATION [--listen HOST:PORT] [--demo]\n"
         "                       [--tls-cert FILE --tls-key FILE]\n"
         "                       [--plain-behind-tls-proxy ADDRESS[,ADDRESS...]]\n"
         "                       [--metrics-listen HOST:PORT]\n"
         "      Serves the velmoth web service. LOCATION is the path of an SQLite file\n"
         "      (created if missing) or a postgresql://USER@HOST/DATABASE address of a\n"
         "      PostgreSQL database shared by several service processes.\n"
         "      HOST:PORT defaults to 127.0.0.1:8931; port 0 picks a free port.\n"
         "      --demo makes sure the account demo (password demo1234) exists and prints it\n"
         "      together with 5 new top-up cards. SIGINT or SIGTERM stops the service.\n"
         "      --tls-cert and --tls-key serve HTTPS with a PEM certificate chain and key (the\n"
         "      key readable by its owner only); SIGHUP reads them again. Plain HTTP is served\n"
         "      on loopback only, since passwords travel in the query, unless the listener\n"
         "      sits behind TLS-terminating proxies named with --plain-behind-tls-proxy, whose\n"
         "      X-Forwarded-For then names the client.\n"
         "      --metrics-listen serves Prometheus metrics (counts of requests, logins,\n"
         "      sign-ups, connections; nothing secret) over plain HTTP at /metrics on a\n"
         "      second address; keep it on loopback or a private network. Off when empty.\n"
         "  velmoth-server add-cards --db LOCATION COUNT\n"
         "      Creates COUNT (1-" +
         std::to_string(kMaxCardsPerRun) +
         ") new top-up cards and prints "
         "each once as \"NUMBER PASSWORD\".\n"
         "      Card passwords are stored only as hashes: keep the printed list.\n"
         "  velmoth-server accounts list|show NAME|disable NAME|enable NAME --db LOCATION "
         "[--json]\n"
         "  velmoth-server accounts set-password NAME --db LOCATION\n"
         "      Lists, shows, disables or enables accounts, or sets a new password, read from\n"
         "      standard input (asked twice without echo on a terminal).\n"
         "  velmoth-server cards list [--unused|--spent]|add COUNT|revoke NUMBER --db LOCATION\n"
         "                [--json]\n"
         "      Lists cards (never their passwords), adds COUNT cards and prints them once\n"
         "      with their passwords, or revokes an unused card.\n"
         "  velmoth-server backup --db FILE --to FILE\n"
         "      Copies the SQLite database FILE, also while the service runs, to a new file\n"
         "      readable by its owner only, and checks the copy. For PostgreSQL use pg_dump.\n"
         "  velmoth-server --help\n"
         "Exit codes: 0 done, 1 no such account or card, 2 wrong arguments, 3 the database\n"
         "cannot be reached, 4 refused (card already spent, password not acceptable),\n"
         "5 other failure (database unusable, address in use).\n";
}

}  // namespace velmoth::server
