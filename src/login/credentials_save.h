// Saving the remembered account to config.inf.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace velmoth {

// Replaces the file at path with bytes, readable and writable by its owner only.
//
// The new content goes to a temporary file beside it, named after it with the suffix
// ".velmoth-saving-" and eight random letters, which is flushed to disk and renamed over the file:
// a reader sees the old record or the new one, never a mix. When the folder cannot be written but
// the file exists and can be (a pre-placed file in a shared install), the file is rewritten in
// place instead, in an order that leaves a readable record at every moment. Temporaries left by a
// save that was killed are removed first, so no record the user withdrew stays on disk.
//
// On failure returns the reason; the file is then unchanged.
std::optional<QString> save_private_file(const QString &path, const QByteArray &bytes);

// Removes the temporaries that earlier saves of path left behind. Returns how many it removed.
int remove_stale_saves(const QString &path);

// The name prefix of the temporaries of path ("<path>.velmoth-saving-").
QString saving_prefix(const QString &path);

}  // namespace velmoth
