// The client's entry: builds the application and starts at the login window.
#include <QApplication>
#include <future>

#include "app/start.h"
#include "platform/font_preload.h"

int main(int, char *argv[]) {
  // The program takes no command line: Qt sees only the program's own name.
  int qt_argc = 1;
  char *qt_argv[] = {argv[0], nullptr};
  std::future<void> fonts = velmoth::preload_font_configuration();
  QApplication app(qt_argc, qt_argv);
  fonts.wait();
  return velmoth::start(app);
}
