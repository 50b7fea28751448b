// The shared start of the login and sign-up windows' constructors.
#pragma once

#include <QColor>
#include <QString>
#include <memory>
#include <utility>
#include <vector>

#include "service/request_cycle.h"

class QLabel;
class QLineEdit;
class QWidget;

namespace velmoth {

class ClickableLabel;

// The parts of a window that sends its requests through a RequestCycle and offers a link, as its
// constructor hands them over once its form is set up.
struct RequestWindow {
  QWidget *window;
  int width_twips;
  int height_twips;
  // Which window this is, for assistive technology: the windows share their title and caption.
  QString description;
  // Its buttons, hidden reply box, poll timer, browser and counter.
  RequestCycle::Widgets cycle;
  // Each label and the control it names; Enter in a captioned text box clicks the action button.
  std::vector<std::pair<QLabel *, QWidget *>> captions;
  std::vector<QLineEdit *> password_boxes;
  // Decoration and boxes never shown, kept from assistive technology (the reply box is as well).
  std::vector<QWidget *> unseen;
  ClickableLabel *link;
  QColor link_color;
  const QString *link_address;  // opened in the user's browser when the link is clicked
};

// What the login and sign-up windows' constructors share: the common look, the password boxes,
// the link, what assistive technology is told, the poll timer and browser, the reply reader and
// the Enter key. Returns the window's request cycle, with the given texts and known replies.
std::unique_ptr<RequestCycle> set_up_request_window(const RequestWindow &parts,
                                                    RequestCycle::Texts texts,
                                                    std::vector<RequestCycle::KnownReply> replies);

}  // namespace velmoth
