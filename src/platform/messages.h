// The program's message boxes, captioned "velmoth".
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace velmoth::messages {

// Modal warning: exclamation icon, OK button, captioned with the application title "velmoth".
void warning(QWidget *parent, const QString &text);

// Modal exit question: question icon, Yes and No. Returns true when the answer is Yes.
bool ask_exit(QWidget *parent, const QString &text);

// What a box would have shown; handed to the answerer below.
struct Shown {
  QString title;
  QString text;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
};

// Test seam: while an answerer is set, no box is shown; the answerer is called instead and its
// result is taken as the user's answer. An empty function restores the real boxes.
using Answerer = std::function<QMessageBox::StandardButton(const Shown &)>;
void set_answerer(Answerer answerer);

}  // namespace velmoth::messages
