// Opens an address in the user's own browser.
#include "platform/shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace velmoth {

void open_external(const QString &address) {
  // Handed to the desktop's URL opener (no shell is involved, so no command line is ever built
  // from the address); the opener runs detached and its result is not awaited.
  QDesktopServices::openUrl(QUrl(address, QUrl::StrictMode));
}

}  // namespace velmoth
