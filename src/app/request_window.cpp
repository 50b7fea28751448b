// The start that the windows sending requests share.
#include "app/request_window.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "app/look.h"
#include "platform/accessibility.h"
#include "platform/browser.h"
#include "platform/shell.h"
#include "platform/widgets.h"
#include "service/protocol.h"

namespace velmoth {

std::unique_ptr<RequestCycle> set_up_request_window(const RequestWindow &parts,
                                                    RequestCycle::Texts texts,
                                                    std::vector<RequestCycle::KnownReply> replies) {
  QWidget &window = *parts.window;
  const RequestCycle::Widgets &cycle = parts.cycle;
  apply_common_look(window, parts.width_twips, parts.height_twips);
  for (QLineEdit *box : parts.password_boxes) make_password_box(*box);
  // The hidden reply box holds a whole page body, not what a user types.
  keep_any_length(*cycle.reply_box);
  make_link_label(*parts.link, parts.link_color);

  for (const auto &[label, control] : parts.captions) accessibility::caption(*label, *control);
  accessibility::expose_as_link(*parts.link);
  for (QWidget *unseen : parts.unseen) accessibility::hide(*unseen);
  accessibility::hide(*cycle.reply_box);
  window.setAccessibleDescription(parts.description);
  // A box's first caret position would be reported when it first takes the focus, ahead of the
  // focus itself, and a screen reader would then move there without saying which box it is.
  for (QLineEdit *box : window.findChildren<QLineEdit *>())
    box->setCursorPosition(box->cursorPosition());

  cycle.timer->setObjectName(QStringLiteral("Timer1"));
  cycle.timer->setInterval(1000);
  cycle.browser->setObjectName(QStringLiteral("WebBrowser1"));
  QObject::connect(
      cycle.browser, &Browser::DocumentComplete, &window,
      [&browser = *cycle.browser, &box = *cycle.reply_box] { on_page_loaded(browser, box); });
  QObject::connect(parts.link, &ClickableLabel::clicked, &window,
                   [address = parts.link_address] { open_external(*address); });
  // Enter in any box clicks the default button.
  for (const auto &[label, control] : parts.captions) {
    if (auto *box = qobject_cast<QLineEdit *>(control))
      QObject::connect(box, &QLineEdit::returnPressed, cycle.action, &QPushButton::click);
  }
  return std::make_unique<RequestCycle>(cycle, std::move(texts), std::move(replies), &window);
}

}  // namespace velmoth
