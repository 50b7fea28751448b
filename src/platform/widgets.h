// The focus rectangle and the link label.
#pragma once

#include <QColor>
#include <QLabel>
#include <QWidget>

class QLineEdit;

namespace velmoth {

// A white rectangle with a one-pixel border drawn around a borderless text box; the border's
// colour can show whether the box has the focus.
class FocusRect : public QWidget {
  Q_OBJECT

 public:
  explicit FocusRect(QWidget *parent = nullptr);

  void set_border_color(const QColor &color);
  QColor border_color() const { return border_; }

 protected:
  void paintEvent(QPaintEvent *event) override;

 private:
  QColor border_;
};

// A label that reports clicks with the left mouse button. Given a focus policy, it also takes
// the focus, shows it with the style's focus mark around its text, and Enter or Space click it.
class ClickableLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ClickableLabel(QWidget *parent = nullptr);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;
  void paintEvent(QPaintEvent *event) override;
};

// The grey and black borders of a FocusRect.
inline const QColor kFocusGrey(128, 128, 128);
inline const QColor kFocusBlack(0, 0, 0);

// Shows "*" for every typed character and keeps input methods away from the box.
void make_password_box(QLineEdit &box);

// Lifts a box's length limit (32767 characters by default), so that it keeps a text as long as
// any it is given, unchanged.
void keep_any_length(QLineEdit &box);

// Dresses a label as a link: 9-point song-style font, underlined, in the given colour, with a
// pointing-hand cursor.
void make_link_label(QLabel &label, const QColor &color);

}  // namespace velmoth
