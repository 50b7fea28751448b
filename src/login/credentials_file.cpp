// config.inf's text: formatting and parsing the remembered account, reading the file.
#include "login/credentials_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>

#include "login/credentials_save.h"

namespace velmoth {
namespace {

const QString kRemember = QStringLiteral("[s]");
const QString kAccount = QStringLiteral("[u]");
const QString kPassword = QStringLiteral("[p]");

// A record holds a name and a password typed into two line boxes; anything much larger than that
// is not a record of ours and is ignored rather than read into memory.
constexpr qint64 kMaxFileBytes = 64 * 1024;

// Splits like the classic string split: the empty text has no pieces at all.
QStringList pieces_of(const QString &text, const QString &marker) {
  if (text.isEmpty()) return {};
  return text.split(marker);
}

// Older clients on Chinese systems wrote the file in the GB18030 (GBK) code page. UTF-8 is tried
// first: GB18030 text is almost never valid UTF-8, while UTF-8 text is often valid GB18030.
QString decode_credentials_bytes(const QByteArray &bytes) {
  QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
  const QString as_utf8 = utf8(bytes);
  if (!utf8.hasError()) return as_utf8;
  QStringDecoder gb18030("GB18030", QStringConverter::Flag::Stateless);
  if (!gb18030.isValid()) return as_utf8;
  const QString as_gb18030 = gb18030(bytes);
  return gb18030.hasError() ? as_utf8 : as_gb18030;
}

}  // namespace

QString format_credentials(bool remember, const QString &account, const QString &password) {
  const QString line =
      remember ? kRemember + u'1' + kAccount + account + kPassword + password : kRemember + u'0';
  return line + QStringLiteral("\r\n");
}

StoredCredentials parse_credentials(const QString &text) {
  StoredCredentials result;
  QStringList pieces = pieces_of(text, kRemember);
  if (pieces.size() > 1) pieces = pieces_of(pieces[1], kAccount);
  if (!pieces.isEmpty() && pieces[0] == u"0") return result;

  result.check_remember = true;
  QStringList parts;
  if (pieces.size() > 1) parts = pieces_of(pieces[1], kPassword);
  if (parts.size() > 0) result.account = parts[0];
  if (parts.size() > 1) result.password = parts[1];
  return result;
}

QString credentials_path(const QString &executable_dir, const QString &user_config_dir) {
  const QString beside = QDir(executable_dir).filePath(QStringLiteral("config.inf"));
  if (QFileInfo::exists(beside) || QFileInfo(executable_dir).isWritable()) return beside;
  return QDir(user_config_dir).filePath(QStringLiteral("config.inf"));
}

std::optional<QString> read_credentials_text(const QString &path) {
  const QFileInfo info(path);
  if (!info.isFile() || info.size() > kMaxFileBytes) return std::nullopt;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  return credentials_text_from_bytes(file.read(kMaxFileBytes));
}

QString credentials_text_from_bytes(const QByteArray &bytes) {
  QString text = decode_credentials_bytes(bytes);
  text.remove(u'\r');
  text.remove(u'\n');
  return text;
}

std::optional<QString> write_credentials(const QString &path, const QString &record) {
  return save_private_file(path, record.toUtf8());
}

}  // namespace velmoth
