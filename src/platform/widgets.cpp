// Small widgets the windows need: a focus rectangle and a clickable link label.
#include "platform/widgets.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>
#include <limits>

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

void ClickableLabel::keyPressEvent(QKeyEvent *event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
    // A key held down clicks once.
    if (!event->isAutoRepeat()) emit clicked();
    return;
  }
  QLabel::keyPressEvent(event);
}

void ClickableLabel::paintEvent(QPaintEvent *event) {
  QLabel::paintEvent(event);
  if (!hasFocus()) return;
  QStyleOptionFocusRect mark;
  mark.initFrom(this);
  const QRect words = style()->itemTextRect(
      fontMetrics(), contentsRect(), static_cast<int>(alignment().toInt()), isEnabled(), text());
  mark.rect = words.adjusted(-1, -1, 1, 1) & rect();
  QPainter painter(this);
  style()->drawPrimitive(QStyle::PE_FrameFocusRect, &mark, &painter, this);
}

void make_password_box(QLineEdit &box) {
  box.setEchoMode(QLineEdit::Password);
  // The style decides the echo character; a per-box style sheet fixes it to "*".
  box.setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
  box.setAttribute(Qt::WA_InputMethodEnabled, false);
  box.setInputMethodHints(Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
}

void keep_any_length(QLineEdit &box) { box.setMaxLength(std::numeric_limits<int>::max()); }

namespace {

// The song-style family the links are drawn in: the first of these that is installed. Naming
// only that one family matters for the first frame: for every family named, found or not, the
// font system searches all installed fonts for stand-ins (about half a millisecond each, once
// per writing system on the label). With none installed, all are named and the font system
// picks its closest song-style font.
QStringList song_families() {
  static const QStringList preferred{QStringLiteral("SimSun"), QStringLiteral("宋体"),
                                     QStringLiteral("AR PL UMing CN"),
                                     QStringLiteral("Noto Serif CJK SC")};
  const QStringList installed = QFontDatabase::families();
  for (const QString &family : preferred)
    if (installed.contains(family, Qt::CaseInsensitive)) return {family};
  return preferred;
}

}  // namespace

void make_link_label(QLabel &label, const QColor &color) {
  QFont font = label.font();
  font.setFamilies(song_families());
  // Unhinted, the link texts look the same at this size, and the first frame is drawn without
  // the automatic hinter first studying dozens of characters spread over the whole font: with
  // AR PL UMing that took some 2 ms and brought 3 MB of its 20 MB file into memory.
  font.setHintingPreference(QFont::PreferNoHinting);
  font.setPointSize(9);
  font.setUnderline(true);
  label.setFont(font);
  QPalette palette = label.palette();
  palette.setColor(QPalette::WindowText, color);
  label.setPalette(palette);
  label.setCursor(Qt::PointingHandCursor);
}

}  // namespace velmoth
