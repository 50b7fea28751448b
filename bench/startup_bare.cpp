// The yardstick for the program's start-up: the least a Qt Widgets program does to put a small
// fixed-size window with Chinese text on the screen. Quits once that window's first frame is
// painted.

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include "first_expose.h"

int main(int, char *argv[]) {
  int qt_argc = 1;
  char *qt_argv[] = {argv[0], nullptr};
  velmoth::bench::FirstExposeApplication app(qt_argc, qt_argv);
  app.quit_after_first_frame(QStringLiteral("bare"));

  QWidget window;
  window.setObjectName(QStringLiteral("bare"));
  window.setFixedSize(321, 224);
  QLabel label(QStringLiteral("请输入帐号和密码后登录"), &window);
  label.move(24, 24);
  window.show();
  return app.exec();
}
