// Finds the page helper the windows' browsers read pages with.
#include "app/window_context.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "app/settings.h"
#include "page/helper_limits.h"

namespace velmoth {

QString installed_page_helper() {
  const QDir client_dir(QCoreApplication::applicationDirPath());
  const QString beside = client_dir.filePath(QString::fromLatin1(page_helper::kProgramName));
  if (QFileInfo(beside).isExecutable()) return beside;
  return QDir::cleanPath(client_dir.filePath(QString::fromUtf8(configured::kPageHelperFromClient)));
}

}  // namespace velmoth
