// Writing config.inf atomically with owner-only permissions.
#include "login/credentials_save.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace velmoth {
namespace {

constexpr QFile::Permissions kOwnerOnly = QFile::ReadOwner | QFile::WriteOwner;

// Larger than any record; an old file beyond this is not kept for restoring after a failed write.
constexpr qint64 kMaxRestoreBytes = qint64(64) * 1024;

QString random_letters(int count) {
  QString letters;
  for (int i = 0; i < count; ++i) letters += QChar(u'a' + QRandomGenerator::global()->bounded(26));
  return letters;
}

// Pushes what was written to the disk, so that a rename or a power cut that follows finds it there.
bool sync_to_disk(QFile &file) {
  if (!file.flush()) return false;
#ifdef Q_OS_UNIX
  return ::fsync(file.handle()) == 0;
#else
  return true;
#endif
}

// Writes bytes to a new temporary beside path and renames it over path.
std::optional<QString> save_by_rename(const QString &path, const QByteArray &bytes) {
  QFile temporary;
  for (int attempt = 0; attempt < 8 && !temporary.isOpen(); ++attempt) {
    temporary.setFileName(saving_prefix(path) + random_letters(8));
    // Created owner-only, so the record is never readable by others, not even for a moment.
    if (!temporary.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerOnly) &&
        !temporary.exists())
      break;
  }
  if (!temporary.isOpen()) return temporary.errorString();

  const auto discard = [&temporary](const QString &reason) {
    temporary.close();
    temporary.remove();
    return std::optional<QString>(reason);
  };
  if (temporary.write(bytes) != bytes.size() || !sync_to_disk(temporary))
    return discard(temporary.errorString());
  temporary.close();

  // Unlike QFile::rename(), replaces an existing file, in one step.
  if (std::rename(QFile::encodeName(temporary.fileName()).constData(),
                  QFile::encodeName(path).constData()) != 0)
    return discard(QString::fromLocal8Bit(std::strerror(errno)));
  return std::nullopt;
}

// Rewrites an existing file in place. The new bytes go over the old ones padded with line ends
// up to the old length, in one write, and only then is the file cut to length: at every moment it
// holds the old record or the new one (line ends are dropped when a record is read).
std::optional<QString> save_in_place(const QString &path, const QByteArray &bytes) {
  QFile file(path);
  if (!file.open(QIODevice::ReadWrite)) return file.errorString();
  const qint64 old_size = file.size();
  const QByteArray old_bytes = old_size <= kMaxRestoreBytes ? file.readAll() : QByteArray();
  const bool can_restore = old_bytes.size() == old_size;

  QByteArray padded = bytes;
  if (padded.size() < old_size) padded.append(old_size - padded.size(), '\n');
  const auto write_at_start = [&file](const QByteArray &content, qint64 length) {
    return file.seek(0) && file.write(content) == content.size() && sync_to_disk(file) &&
           file.resize(length) && sync_to_disk(file);
  };
  if (!write_at_start(padded, bytes.size())) {
    const QString reason = file.errorString();
    if (can_restore) write_at_start(old_bytes, old_size);
    return reason;
  }
  // The folder's owner may be someone else; the file's own mode is ours to tighten.
  file.setPermissions(kOwnerOnly);
  return std::nullopt;
}

}  // namespace

QString saving_prefix(const QString &path) { return path + QStringLiteral(".velmoth-saving-"); }

int remove_stale_saves(const QString &path) {
  const QFileInfo target(path);
  QDir folder = target.absoluteDir();
  const QString prefix = target.fileName() + QStringLiteral(".velmoth-saving-");
  int removed = 0;
  // Filtered here rather than by a name pattern, which would bring in the regular expression
  // engine for a prefix test.
  const QStringList names = folder.entryList(QDir::Files | QDir::System | QDir::Hidden);
  for (const QString &name : names) {
    if (name.startsWith(prefix) && folder.remove(name)) ++removed;
  }
  return removed;
}

std::optional<QString> save_private_file(const QString &path, const QByteArray &bytes) {
  if (!QDir().mkpath(QFileInfo(path).absolutePath()))
    return QStringLiteral("cannot create the folder of %1").arg(path);
  remove_stale_saves(path);
  auto by_rename = save_by_rename(path, bytes);
  if (!by_rename) return std::nullopt;
  if (!QFileInfo(path).isFile()) return by_rename;
  // No temporary can be made beside the file (a folder the user cannot write): the file itself
  // may still be writable.
  const auto in_place = save_in_place(path, bytes);
  if (!in_place) return std::nullopt;
  return QStringLiteral("cannot make a temporary file beside it (%1) nor rewrite it in place (%2)")
      .arg(*by_rename, *in_place);
}

}  // namespace velmoth
