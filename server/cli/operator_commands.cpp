// Accounts and cards commands: listing, showing, disabling, new passwords, adding, revoking.
#include "cli/operator_commands.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "base/text_rules.h"
#include "cli/exit_codes.h"

namespace velmoth::server {
namespace {

using Row = std::vector<std::string>;

// Text safe for a terminal: control characters (C0, DEL, C1), backslashes and bytes that are
// not UTF-8 are written as \xNN (of the code point or of the byte).
std::string printable(const std::string &text) {
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t at = pos;
    const auto code = next_code_point(text, pos);
    const std::uint32_t shown = code ? *code : static_cast<unsigned char>(text[pos++]);
    if (!code || shown < 0x20 || (shown >= 0x7f && shown <= 0x9f) || shown == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(shown));
      out += escaped;
    } else {
      out.append(text, at, pos - at);
    }
  }
  return out;
}

// Columns a UTF-8 text takes on a terminal: East Asian wide characters take two.
std::size_t columns(const std::string &text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    char32_t code = length == 1 ? lead : lead & (0x3f >> (length - 1));
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    const bool wide = (code >= 0x1100 && code <= 0x115f) || (code >= 0x2e80 && code <= 0xa4cf) ||
                      (code >= 0xac00 && code <= 0xd7a3) || (code >= 0xf900 && code <= 0xfaff) ||
                      (code >= 0xfe30 && code <= 0xfe4f) || (code >= 0xff00 && code <= 0xff60) ||
                      (code >= 0xffe0 && code <= 0xffe6) || code >= 0x20000;
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

void print_table(const Row &header, const std::vector<Row> &rows) {
  std::vector<std::size_t> widths(header.size());
  for (std::size_t c = 0; c < header.size(); ++c) widths[c] = columns(header[c]);
  for (const Row &row : rows)
    for (std::size_t c = 0; c < row.size(); ++c)
      widths[c] = std::max(widths[c], columns(printable(row[c])));
  const auto print_row = [&](const Row &row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string cell = printable(row[c]);
      line += cell;
      if (c + 1 < row.size()) line += std::string(widths[c] - columns(cell) + 2, ' ');
    }
    std::cout << line << '\n';
  };
  print_row(header);
  for (const Row &row : rows) print_row(row);
}

// A JSON string of text; bytes that are not UTF-8 (only names stored before the name rules can
// hold them) become U+FFFD, so the output always decodes. Controls (C0, DEL, C1) are escaped.
std::string json_string(const std::string &text) {
  std::string out = "\"";
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t at = pos;
    const auto code = next_code_point(text, pos);
    if (!code) {
      out += "\\ufffd";
      ++pos;
    } else if (*code == '"' || *code == '\\') {
      out += '\\';
      out += static_cast<char>(*code);
    } else if (*code < 0x20 || (*code >= 0x7f && *code <= 0x9f)) {
      char escaped[7];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(*code));
      out += escaped;
    } else {
      out.append(text, at, pos - at);
    }
  }
  return out + "\"";
}

std::string time_text(std::int64_t seconds, const char *format) {
  return utc_text(std::chrono::system_clock::time_point(std::chrono::seconds(seconds)), format);
}

// For people: "2026-12-08 06:00:00", "-" for never.
std::string shown_time(std::int64_t seconds) {
  return seconds ? time_text(seconds, "%Y-%m-%d %H:%M:%S") : "-";
}

// For scripts: "2026-12-08T06:00:00Z", null for never.
std::string json_time(std::int64_t seconds) {
  return seconds ? "\"" + time_text(seconds, "%Y-%m-%dT%H:%M:%SZ") + "\"" : "null";
}

std::string json_or_null(const std::string &text) {
  return text.empty() ? "null" : json_string(text);
}

std::string account_json(const AccountRecord &account) {
  return "{\"name\":" + json_string(account.name) + ",\"qq\":" + json_string(account.qq) +
         ",\"created\":" + json_time(account.created_at) +
         ",\"disabled\":" + json_time(account.disabled_at) +
         ",\"card\":" + json_or_null(account.card) + "}";
}

std::string card_status(const CardRecord &card) {
  if (!card.spent_by.empty()) return "spent";
  return card.revoked_at ? "revoked" : "unused";
}

std::string card_json(const CardRecord &card) {
  return "{\"number\":" + json_string(card.number) + ",\"created\":" + json_time(card.created_at) +
         ",\"status\":\"" + card_status(card) + "\",\"account\":" + json_or_null(card.spent_by) +
         ",\"spent\":" + json_time(card.spent_at) + ",\"revoked\":" + json_time(card.revoked_at) +
         "}";
}

template <typename Item, typename ToJson>
void print_json_list(const std::vector<Item> &items, ToJson to_json) {
  std::cout << '[';
  for (std::size_t i = 0; i < items.size(); ++i) std::cout << (i ? "," : "") << to_json(items[i]);
  std::cout << "]\n";
}

int fail(int code, const std::string &message) {
  std::cerr << "velmoth-server: " << message << '\n';
  return code;
}

int accounts_command(const OperatorCommand &command, Service &service,
                     const PasswordReader &read_password) {
  const std::string name = printable(command.operand);
  if (command.action == "list") {
    const std::vector<AccountRecord> accounts = service.accounts();
    if (command.json) {
      print_json_list(accounts, account_json);
      return kExitDone;
    }
    std::vector<Row> rows;
    rows.reserve(accounts.size());
    for (const AccountRecord &account : accounts)
      rows.push_back({account.name, account.qq, shown_time(account.created_at),
                      account.disabled_at ? "disabled" : "active",
                      account.card.empty() ? "-" : account.card});
    print_table({"NAME", "QQ", "CREATED", "STATUS", "CARD"}, rows);
    return kExitDone;
  }
  if (command.action == "show") {
    const auto account = service.find_account(command.operand);
    if (!account) return fail(kExitNotFound, "no account " + name);
    if (command.json) {
      std::cout << account_json(*account) << '\n';
      return kExitDone;
    }
    print_table({"NAME", "QQ", "CREATED", "DISABLED", "CARD"},
                {{account->name, account->qq, shown_time(account->created_at),
                  shown_time(account->disabled_at), account->card.empty() ? "-" : account->card}});
    return kExitDone;
  }
  if (command.action == "disable" || command.action == "enable") {
    const bool disable = command.action == "disable";
    if (!service.set_account_disabled(command.operand, disable))
      return fail(kExitNotFound, "no account " + name);
    std::cout << "account " << name << (disable ? " disabled" : " enabled") << '\n';
    return kExitDone;
  }
  if (!service.find_account(command.operand)) return fail(kExitNotFound, "no account " + name);
  const auto password = read_password();
  if (!password) return fail(kExitRefused, "no new password given, or the two did not match");
  switch (service.set_password(command.operand, *password)) {
    case Service::PasswordChange::NoSuchAccount:
      return fail(kExitNotFound, "no account " + name);
    case Service::PasswordChange::Unacceptable:
      return fail(kExitRefused,
                  "the password is not acceptable (8 to 64 characters of UTF-8, not all blanks); "
                  "nothing changed");
    case Service::PasswordChange::Changed:
      break;
  }
  std::cout << "new password set for account " << name << "; its sessions have ended\n";
  return kExitDone;
}

int cards_command(const OperatorCommand &command, Service &service) {
  const std::string number = printable(command.operand);
  if (command.action == "list") {
    const CardFilter filter = command.filter == "unused"  ? CardFilter::Unused
                              : command.filter == "spent" ? CardFilter::Spent
                                                          : CardFilter::All;
    const std::vector<CardRecord> cards = service.cards(filter);
    if (command.json) {
      print_json_list(cards, card_json);
      return kExitDone;
    }
    std::vector<Row> rows;
    rows.reserve(cards.size());
    for (const CardRecord &card : cards)
      rows.push_back({card.number, shown_time(card.created_at), card_status(card),
                      card.spent_by.empty() ? "-" : card.spent_by,
                      shown_time(card.spent_at ? card.spent_at : card.revoked_at)});
    print_table({"NUMBER", "CREATED", "STATUS", "ACCOUNT", "SINCE"}, rows);
    return kExitDone;
  }
  if (command.action == "add") {
    const std::vector<Card> cards = service.add_cards(command.count);
    if (command.json) {
      print_json_list(cards, [](const Card &card) {
        return "{\"number\":" + json_string(card.number) +
               ",\"password\":" + json_string(card.password) + "}";
      });
    } else {
      for (const Card &card : cards) std::cout << card.number << ' ' << card.password << '\n';
    }
    return kExitDone;
  }
  switch (service.revoke_card(command.operand)) {
    case RevokeResult::NotFound:
      return fail(kExitNotFound, "no card " + number);
    case RevokeResult::AlreadySpent:
      return fail(kExitRefused, "card " + number + " is already spent; it cannot be revoked");
    case RevokeResult::AlreadyRevoked:
      std::cout << "card " << number << " was already revoked\n";
      return kExitDone;
    case RevokeResult::Revoked:
      break;
  }
  std::cout << "card " << number << " revoked\n";
  return kExitDone;
}

// One line of standard input without its line break, with echo off on a terminal.
std::optional<std::string> read_line(bool terminal, const char *prompt) {
  termios saved{};
  if (terminal) {
    std::cerr << prompt << std::flush;
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << '\n';
  }
  if (!read) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

PasswordReader standard_input_password() {
  return []() -> std::optional<std::string> {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    const auto password = read_line(terminal, "New password: ");
    if (!password || !terminal) return password;
    const auto again = read_line(terminal, "The same again: ");
    if (!again || *again != *password) return std::nullopt;
    return password;
  };
}

int run_operator_command(const OperatorCommand &command, Service &service,
                         const PasswordReader &read_password) {
  const int code = command.subject == "accounts" ? accounts_command(command, service, read_password)
                                                 : cards_command(command, service);
  std::cout.flush();
  return code;
}

}  // namespace velmoth::server
