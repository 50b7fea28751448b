#include "message_spy.h"

#include <QTest>

namespace velmoth::testing {

MessageSpy::MessageSpy(QMessageBox::StandardButton answer, int spin_ms)
    : answer_(answer), spin_ms_(spin_ms) {
  messages::set_answerer([this](const messages::Shown &box) {
    shown_.append(box);
    if (spin_ms_ > 0) QTest::qWait(spin_ms_);
    return answer_;
  });
}

MessageSpy::~MessageSpy() { messages::set_answerer({}); }

QStringList MessageSpy::texts() const {
  QStringList result;
  for (const auto &box : shown_) result << box.text;
  return result;
}

}  // namespace velmoth::testing
