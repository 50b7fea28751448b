// open_external: an address in the user's browser.
#pragma once

#include <QString>

namespace velmoth {

// Opens address in the user's own web browser and returns at once, without waiting for it.
void open_external(const QString &address);

}  // namespace velmoth
