// Accessibility: what a screen reader is told about the windows.
#pragma once

#include <QString>

class QLabel;
class QWidget;

namespace velmoth {

class ClickableLabel;

// What assistive technology (a screen reader) is told about the windows' controls. The windows'
// look and focus order stay as they are.
namespace accessibility {

// Lets the interfaces below replace Qt's own, and keeps the text typed into password boxes from
// what assistive technology is told; done at start, before any window exists, and by the
// functions below.
void install();

// Makes label the caption of control: the label becomes its buddy and the control is named by
// the label's words, without a trailing colon ("帐号：" names the box "帐号").
void caption(QLabel &label, QWidget &control);

// Names a control that has no caption of its own.
void name(QWidget &control, const QString &name);

// Keeps a widget out of what assistive technology sees: decoration such as the focus
// rectangles, and boxes that are never shown.
void hide(QWidget &widget);

// Exposes a clickable label as a link named by its text, which assistive technology can
// activate (its "press" action clicks it).
void expose_as_link(ClickableLabel &label);

}  // namespace accessibility
}  // namespace velmoth
