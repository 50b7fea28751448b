#include "platform/messages.h"

#include <QWidget>

namespace velmoth::messages {
namespace {

Answerer &answerer() {
  static Answerer instance;
  return instance;
}

QMessageBox::StandardButton show(QWidget *parent, const QString &text, QMessageBox::Icon icon,
                                 QMessageBox::StandardButtons buttons) {
  const QString title = QStringLiteral("velmoth");
  if (answerer()) return answerer()(Shown{title, text, icon, buttons});

  QMessageBox box(icon, title, text, buttons, parent);
  box.setWindowModality(Qt::ApplicationModal);
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
