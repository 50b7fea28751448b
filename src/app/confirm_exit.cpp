// The exit question of the login and main windows, and ending the program on Yes.
#include "app/confirm_exit.h"

#include <QCloseEvent>
#include <QWidget>

#include "platform/messages.h"

namespace velmoth {

bool confirm_exit(QWidget &window, QCloseEvent &cancel) {
  if (!messages::ask_exit(&window, QStringLiteral("你确定要退出程序？"))) {
    cancel.ignore();
    return false;
  }
  cancel.accept();
  return true;
}

}  // namespace velmoth
