#include "app/start.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QStyle>
#include <QTranslator>

#include "app/settings.h"
#include "app/window_flow.h"
#include "login/credentials_file.h"

namespace velmoth {

void initialize(Form1 &) {
  if (QApplication::style()->name().compare(QStringLiteral("windows"), Qt::CaseInsensitive) == 0)
    QApplication::setStyle(QStringLiteral("Fusion"));
}

int start(QApplication &app) {
  QApplication::setApplicationName(QStringLiteral("velmoth"));
  // Windows are hidden and shown as the user moves between them; only the exit question ends
  // the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // Qt's own Chinese texts for the standard buttons (确定, 是(Y), 否(N)); without the
  // translation installed the program runs with Qt's built-in texts.
  QTranslator qt_texts;
  if (qt_texts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                    QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qt_texts);

  QNetworkAccessManager network;
  WindowContext context;
  context.service_url = QString::fromUtf8(configured::kServiceUrl);
  context.home_url = QString::fromUtf8(configured::kHomeUrl);
  context.network = &network;
  context.credentials_path =
      credentials_path(QApplication::applicationDirPath(),
                       QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));

  WindowFlow flow(context);
  QObject::connect(&flow, &WindowFlow::program_ended, &app, &QApplication::quit);
  flow.start();
  return app.exec();
}

}  // namespace velmoth
