// Start-up: the application's network manager, accessibility, the first window.
#include "app/start.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QStyle>
#include <QTranslator>
#include <optional>

#include "app/settings.h"
#include "app/window_flow.h"
#include "login/credentials_file.h"
#include "platform/accessibility.h"

namespace velmoth {

void initialize(Form1 &) {
  if (QApplication::style()->name().compare(QStringLiteral("windows"), Qt::CaseInsensitive) == 0)
    QApplication::setStyle(QStringLiteral("Fusion"));
}

// Members in the order they are needed; the windows go first when the program ends.
struct Program::State {
  QTranslator qt_texts;
  QNetworkAccessManager network;
  std::optional<WindowFlow> flow;
};

Program::Program(QApplication &app, const QString &service_url)
    : state_(std::make_unique<State>()) {
  QApplication::setApplicationName(QStringLiteral("velmoth"));
  // Windows are hidden and shown as the user moves between them; only the exit question ends
  // the program.
  QApplication::setQuitOnLastWindowClosed(false);

  // Qt's own Chinese texts (the boxes' context menus, for one); without the translation
  // installed the program runs with Qt's built-in texts. The message boxes name their buttons
  // themselves.
  if (state_->qt_texts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                            QStringLiteral("_"),
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&state_->qt_texts);

  accessibility::install();

  WindowContext context;
  context.service_url =
      service_url.isEmpty() ? QString::fromUtf8(configured::kServiceUrl) : service_url;
  context.home_url = QString::fromUtf8(configured::kHomeUrl);
  context.network = &state_->network;
  context.credentials_path =
      credentials_path(QApplication::applicationDirPath(),
                       QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));

  WindowFlow &flow = state_->flow.emplace(std::move(context));
  QObject::connect(&flow, &WindowFlow::program_ended, &app, &QApplication::quit);
  flow.start();
}

Program::~Program() = default;

WindowFlow &Program::flow() { return *state_->flow; }

int start(QApplication &app) {
  Program program(app);
  return app.exec();
}

}  // namespace velmoth
