#include "platform/widgets.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>

namespace velmoth {

FocusRect::FocusRect(QWidget *parent) : QWidget(parent), border_(kFocusGrey) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
}

void FocusRect::set_border_color(const QColor &color) {
  if (color == border_) return;
  border_ = color;
  update();
}

void FocusRect::paintEvent(QPaintEvent *) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.setPen(border_);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

ClickableLabel::ClickableLabel(QWidget *parent) : QLabel(parent) {}

void ClickableLabel::mouseReleaseEvent(QMouseEvent *event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
    emit clicked();
  QLabel::mouseReleaseEvent(event);
}

void make_password_box(QLineEdit &box) {
  box.setEchoMode(QLineEdit::Password);
  // The style decides the echo character; a per-box style sheet fixes it to "*".
  box.setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
  box.setAttribute(Qt::WA_InputMethodEnabled, false);
  box.setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
}

void make_link_label(QLabel &label, const QColor &color) {
  QFont font = label.font();
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"),
                    QStringLiteral("AR PL UMing CN"), QStringLiteral("Noto Serif CJK SC")});
  font.setPointSize(9);
  font.setUnderline(true);
  label.setFont(font);
  QPalette palette = label.palette();
  palette.setColor(QPalette::WindowText, color);
  label.setPalette(palette);
  label.setCursor(Qt::PointingHandCursor);
}

}  // namespace velmoth
