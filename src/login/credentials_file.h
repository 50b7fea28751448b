// The remembered-credentials file config.inf: its format, place and reading.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace velmoth {

// The remembered-credentials record of config.inf: one line, "[s]1[u]<account>[p]<password>" when
// remembering, "[s]0" when not, ended by CR LF. Markers are literal and nothing is escaped.
QString format_credentials(bool remember, const QString &account, const QString &password);

// What a stored record asks the login window to do. The reading is lenient in a precise way:
// every step that needs a piece the text does not have is skipped, so damaged files still give a
// definite result (usually: box checked, nothing filled, focus on the password).
struct StoredCredentials {
  bool check_remember = false;  // false: leave the window as it is
  std::optional<QString> account;
  std::optional<QString> password;
};
StoredCredentials parse_credentials(const QString &text);

// Where config.inf lives: beside the executable, unless that directory cannot be written and
// holds no config.inf yet (an installed program), then in the per-user configuration directory.
QString credentials_path(const QString &executable_dir, const QString &user_config_dir);

// Reads the file's text with its line ends dropped (lines joined with nothing between them).
// Nothing when the file does not exist, cannot be read, is not a regular file or is larger than
// any record could be.
std::optional<QString> read_credentials_text(const QString &path);

// The text of a file holding bytes, as read_credentials_text gives it: decoded as UTF-8, or as
// GB18030 when the bytes are not UTF-8 but are GB18030 (files of older clients on Chinese
// systems), else as UTF-8 with invalid sequences as U+FFFD; every CR and LF dropped.
QString credentials_text_from_bytes(const QByteArray &bytes);

// Writes the record as UTF-8 with owner-only permissions (see save_private_file). On failure
// returns the reason.
std::optional<QString> write_credentials(const QString &path, const QString &record);

}  // namespace velmoth
