// A Qt generic plugin that stands in for the user of an installed client. Loaded through
//   QT_PLUGIN_PATH=<folder holding generic/> QT_QPA_GENERIC_PLUGINS=velmoth-login-clicker
// it waits for the login window, types an account and password, ticks 记住密码, clicks 登录 and
// ends the program a moment later, so that a run of the unmodified program can be checked from
// outside (exit status, where config.inf was written).
#include <QApplication>
#include <QCheckBox>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdio>

namespace {

constexpr int kGaveUp = 3;
constexpr int kFormChanged = 4;

class LoginClicker : public QObject {
 public:
  LoginClicker() {
    std::fprintf(stderr, "login-clicker: loaded\n");
    connect(&poll_, &QTimer::timeout, this, &LoginClicker::look_for_login_window);
    poll_.start(50);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [] {
      std::fprintf(stderr, "login-clicker: no login window appeared\n");
      QCoreApplication::exit(kGaveUp);
    });
    deadline_.start(20000);
  }

 private:
  void look_for_login_window() {
    for (QWidget *window : QApplication::topLevelWidgets()) {
      if (window->objectName() == QLatin1String("Form1") && window->isVisible()) {
        poll_.stop();
        deadline_.stop();
        log_in(*window);
        return;
      }
    }
  }

  static void log_in(QWidget &form) {
    auto *account = form.findChild<QLineEdit *>(QStringLiteral("Text1"));
    auto *password = form.findChild<QLineEdit *>(QStringLiteral("Text2"));
    auto *remember = form.findChild<QCheckBox *>(QStringLiteral("Check1"));
    auto *login = form.findChild<QPushButton *>(QStringLiteral("Command2"));
    if (!account || !password || !remember || !login) {
      std::fprintf(stderr,
                   "login-clicker: the login window lacks Text1, Text2, Check1 or Command2\n");
      QCoreApplication::exit(kFormChanged);
      return;
    }
    account->setText(QStringLiteral("installed-user"));
    password->setText(QStringLiteral("secret"));
    remember->setChecked(true);
    login->click();
    std::fprintf(stderr, "login-clicker: clicked 登录\n");
    // The program keeps running with its request under way; it has to stay up until it is ended.
    QTimer::singleShot(1500, [] { QCoreApplication::exit(0); });
  }

  QTimer poll_;
  QTimer deadline_;
};

}  // namespace

class LoginClickerPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "login_clicker.json")

 public:
  QObject *create(const QString &key, const QString &) override {
    return key == QLatin1String("velmoth-login-clicker") ? new LoginClicker : nullptr;
  }
};

#include "login_clicker.moc"
