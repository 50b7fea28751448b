// The sign-up window Form2.
#pragma once

#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/window_context.h"
#include "platform/browser.h"
#include "service/request_cycle.h"

namespace Ui {
class Form2;
}

namespace velmoth {

// The sign-up window: creates an account paid for with a top-up card. It always leads back to
// the login window.
class Form2 : public QWidget {
  Q_OBJECT

 public:
  explicit Form2(const WindowContext &context, QWidget *parent = nullptr);
  ~Form2() override;

  // The load steps: addresses and colour, title, show, focus, backgrounds, first page.
  void load();

  // Checks the six boxes and sends the sign-up request.
  void reg();

  // Window variables; WebHome is the buy page here.
  QString WebURL;
  QString WebHome;
  QString MainColor;
  qint16 Timeout = 0;

 signals:
  // Cancelled, or signed up: the window is hidden and the login window shown.
  void back_to_login();
  // Closed from its title bar: the window is being destroyed.
  void closed();

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  void refuse(const QString &message, QWidget *focus);

  WindowContext context_;
  std::unique_ptr<Ui::Form2> ui;
  QTimer Timer1{this};
  Browser WebBrowser1;
  std::unique_ptr<RequestCycle> cycle_;
};

}  // namespace velmoth
