// The login window Form1.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/window_context.h"
#include "platform/browser.h"
#include "service/request_cycle.h"

namespace Ui {
class Form1;
}

namespace velmoth {

// The login window: takes an account name and password, sends the login request and, when the
// service accepts it, hands over to the main window. Also leads to the sign-up window, opens the
// home page and remembers the account in config.inf.
class Form1 : public QWidget {
  Q_OBJECT

 public:
  explicit Form1(const WindowContext &context, QWidget *parent = nullptr);
  ~Form1() override;

  // The load steps: addresses and colour, title, show, focus, backgrounds, first page, counter,
  // remembered account.
  void load();

  // Checks the two boxes and sends the login request.
  void login();

  void save_credentials();
  void load_credentials();

  // Window variables.
  QString WebURL;
  QString WebHome;
  QString MainColor;
  qint16 Timeout = 0;

 signals:
  void signup_requested();
  void logged_in();
  void exit_confirmed();

 protected:
  void closeEvent(QCloseEvent *event) override;
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  void login_refused();

  WindowContext context_;
  std::unique_ptr<Ui::Form1> ui;
  QTimer Timer1{this};
  Browser WebBrowser1;
  std::unique_ptr<RequestCycle> cycle_;
};

}  // namespace velmoth
