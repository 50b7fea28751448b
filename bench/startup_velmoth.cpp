// Start-up and memory of the real program. Builds the application object the way main() does,
// runs the program's own start path (velmoth::Program, what velmoth::start() runs before the
// event loop) against the service at SERVICE_URL, and quits:
//
//   startup_velmoth SERVICE_URL                once the login window's first frame is painted;
//   startup_velmoth SERVICE_URL --main-window  after logging in as the demo account, once the
//                                              main window's first frame is painted (the login
//                                              reply is read on the request cycle's first
//                                              one-second tick).
//
// The service runs in a process of its own, as it does for users, so that serving the
// program's requests is not counted as the program's work.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/start.h"
#include "app/window_flow.h"
#include "first_expose.h"
#include "login/form1.h"
#include "platform/font_preload.h"

int main(int argc, char *argv[]) {
  if (argc < 2 || (argc > 2 && std::strcmp(argv[2], "--main-window") != 0)) {
    std::fprintf(stderr, "usage: startup_velmoth SERVICE_URL [--main-window]\n");
    return 2;
  }
  const QString service_url = QString::fromLocal8Bit(argv[1]);
  const bool main_window = argc > 2;

  // As main() does: Qt sees only the program's own name, and the font configuration loads while
  // the application object connects to the window system.
  int qt_argc = 1;
  char *qt_argv[] = {argv[0], nullptr};
  std::future<void> fonts = velmoth::preload_font_configuration();
  velmoth::bench::FirstExposeApplication app(qt_argc, qt_argv);
  fonts.wait();

  // Every action is in place before the program shows its first window.
  std::unique_ptr<velmoth::Program> program;
  if (!main_window) {
    app.quit_after_first_frame(QStringLiteral("Form1"));
  } else {
    app.on_first_expose(QStringLiteral("Form1"), [&program] {
      velmoth::Form1 &login = *program->flow().form1();
      login.findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(QStringLiteral("demo"));
      login.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("demo1234"));
      login.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    });
    app.quit_after_first_frame(QStringLiteral("Form3"));
  }
  program = std::make_unique<velmoth::Program>(app, service_url);
  return app.exec();
}
