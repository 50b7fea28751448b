#include <QApplication>

#include "app/start.h"

int main(int, char *argv[]) {
  // The program takes no command line: Qt sees only the program's own name.
  int qt_argc = 1;
  char *qt_argv[] = {argv[0], nullptr};
  QApplication app(qt_argc, qt_argv);
  return velmoth::start(app);
}
