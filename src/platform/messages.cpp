// Warning and exit-question message boxes with Chinese button texts.
#include "platform/messages.h"

#include <QAbstractButton>
#include <QWidget>
#include <utility>

namespace velmoth::messages {
namespace {

Answerer &answerer() {
  static Answerer instance;
  return instance;
}

void name_buttons(QMessageBox &box) {
  const std::pair<QMessageBox::StandardButton, QString> names[] = {
      {QMessageBox::Ok, QStringLiteral("确定")},
      {QMessageBox::Yes, QStringLiteral("是(&Y)")},
      {QMessageBox::No, QStringLiteral("否(&N)")},
  };
  for (const auto &[which, name] : names) {
    if (QAbstractButton *button = box.button(which)) button->setText(name);
  }
}

QMessageBox::StandardButton show(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                 QMessageBox::StandardButtons buttons) {
  const QString title = QStringLiteral("velmoth");
  if (answerer()) return answerer()(Shown{title, text, icon, buttons});

  QMessageBox box(icon, title, text, buttons, parent);
  box.setWindowModality(Qt::ApplicationModal);
  // The window is Chinese whatever the system's language, and Qt's own translation of its
  // buttons is an optional package.
  name_buttons(box);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace

void warning(QWidget *parent, const QString &text) {
  show(parent, text, QMessageBox::Warning, QMessageBox::Ok);
}

bool ask_exit(QWidget *parent, const QString &text) {
  return show(parent, text, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

void set_answerer(Answerer a) { answerer() = std::move(a); }

}  // namespace velmoth::messages
