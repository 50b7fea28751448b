// Saves pictures of the three windows and of a message box, as the README shows them:
//   velmoth-screenshots OUTPUT_FOLDER
// Run it offscreen (QT_QPA_PLATFORM=offscreen); QT_SCALE_FACTOR=2 gives high-density pictures.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

#include "login/form1.h"
#include "mainwin/form3.h"
#include "signup/form2.h"

using namespace velmoth;

namespace {

bool save(QWidget &window, const QDir &folder, const QString &name) {
  const QString path = folder.filePath(name);
  if (window.grab().save(path)) return true;
  std::fprintf(stderr, "velmoth-screenshots: could not write %s\n", qUtf8Printable(path));
  return false;
}

// Lets the window settle (layout, focus, palette) before it is pictured.
void settle(QWidget &window) {
  window.activateWindow();
  QApplication::processEvents();
}

}  // namespace

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("velmoth"));
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmoth-screenshots OUTPUT_FOLDER\n");
    return 2;
  }
  const QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "velmoth-screenshots: cannot create %s\n", argv[1]);
    return 1;
  }

  QTranslator qt_texts;
  if (qt_texts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qt_texts);

  // Nothing listens on the discard port: the hidden browsers fail at once and show nothing.
  QNetworkAccessManager network;
  QTemporaryDir scratch;
  WindowContext context;
  context.service_url = QStringLiteral("http://127.0.0.1:9/");
  context.home_url = QStringLiteral("http://127.0.0.1:9/");
  context.network = &network;
  context.credentials_path = scratch.filePath(QStringLiteral("config.inf"));

  bool saved = true;

  Form1 login(context);
  login.load();
  login.findChild<QCheckBox *>(QStringLiteral("Check1"))->setChecked(true);
  login.findChild<QLineEdit *>(QStringLiteral("Text1"))->setFocus();
  settle(login);
  saved &= save(login, folder, QStringLiteral("login.png"));

  // Logging in with an empty account brings up the warning; it is pictured and dismissed as soon
  // as it is on screen.
  QTimer poll;
  poll.setInterval(20);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget *box = QApplication::activeModalWidget();
    if (!box || !box->isVisible()) return;
    poll.stop();
    saved &= save(*box, folder, QStringLiteral("message.png"));
    box->close();
  });
  poll.start();
  login.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
  login.hide();

  Form2 signup(context);
  signup.load();
  settle(signup);
  saved &= save(signup, folder, QStringLiteral("signup.png"));
  signup.hide();

  Form3 main_window(context);
  main_window.load();
  settle(main_window);
  saved &= save(main_window, folder, QStringLiteral("main.png"));
  main_window.hide();

  return saved ? 0 : 1;
}
