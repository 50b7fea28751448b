// The main window Form3, reached after a login.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <memory>

#include "app/window_context.h"
#include "platform/browser.h"

class QCheckBox;
class QCloseEvent;

namespace Ui {
class Form3;
}

namespace velmoth {

// The main window, shown once the login has succeeded: a panel of settings that carry no
// behaviour, and a hidden browser that opens the account page. Closing it asks whether to quit.
class Form3 : public QWidget {
  Q_OBJECT

 public:
  explicit Form3(const WindowContext &context, QWidget *parent = nullptr);
  ~Form3() override;

  // Takes the addresses and colour, shows the window and opens the account page.
  void load();

  QString WebURL;
  QString WebHome;
  QString MainColor;
  qint16 Timeout = 0;

  // Opens the account page; nothing is read from what it loads.
  Browser WebBrowser1;

  // The six check boxes of the key panel, in order (left column top to bottom, then right).
  std::array<QCheckBox *, 6> Check11{};

 signals:
  // The user answered Yes to the exit question; the window has accepted its close.
  void exit_confirmed();

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  WindowContext context_;
  std::unique_ptr<Ui::Form3> ui;
};

}  // namespace velmoth
