#pragma once

#include <QList>
#include <QMessageBox>

#include "platform/messages.h"

namespace velmoth::testing {

// Answers every message box while it lives, instead of showing it, and records what each box
// said. It can keep the event loop turning for a while inside each box, as a real modal box does,
// so that tests see what timers and network replies do meanwhile.
class MessageSpy {
 public:
  explicit MessageSpy(QMessageBox::StandardButton answer = QMessageBox::Ok, int spin_ms = 0);
  ~MessageSpy();
  MessageSpy(const MessageSpy &) = delete;
  MessageSpy &operator=(const MessageSpy &) = delete;

  void set_answer(QMessageBox::StandardButton answer) { answer_ = answer; }
  const QList<messages::Shown> &shown() const { return shown_; }
  QStringList texts() const;
  void clear() { shown_.clear(); }

 private:
  QMessageBox::StandardButton answer_;
  int spin_ms_;
  QList<messages::Shown> shown_;
};

}  // namespace velmoth::testing
