// The polling request cycle: buttons, captions, one-second ticks, outcomes, time-out.
#include "service/request_cycle.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "platform/browser.h"
#include "platform/messages.h"

namespace velmoth {

RequestCycle::RequestCycle(const Widgets &widgets, Texts texts, std::vector<KnownReply> replies,
                           QObject *parent)
    : QObject(parent), w_(widgets), texts_(std::move(texts)), replies_(std::move(replies)) {
  connect(w_.timer, &QTimer::timeout, this, &RequestCycle::tick);
}

void RequestCycle::start_request(const QString &address) {
  w_.action->setEnabled(false);
  w_.other->setEnabled(false);
  w_.action->setText(texts_.busy);
  w_.reply_box->clear();
  *w_.timeout = 0;
  w_.browser->Navigate(address);
  w_.timer->start();
}

void RequestCycle::tick() {
  const QString reply = w_.reply_box->text();
  for (const KnownReply &known : replies_) {
    if (reply == known.code) {
      // Stopped before the outcome: its message box keeps the event loop turning, and a tick
      // delivered meanwhile must not run the same outcome again.
      w_.timer->stop();
      known.outcome();
      return;
    }
  }
  *w_.timeout += 1;
  w_.action->setText(texts_.counting_prefix + QString::number(*w_.timeout) + u')');
  if (*w_.timeout >= kTicksBeforeTimeout) {
    w_.timer->stop();
    messages::warning(w_.action->window(), texts_.timeout_message);
    end_cycle();
    *w_.timeout = 0;
  }
}

void RequestCycle::end_cycle() {
  w_.timer->stop();
  w_.action->setEnabled(true);
  w_.other->setEnabled(true);
  w_.action->setText(texts_.idle);
}

}  // namespace velmoth
