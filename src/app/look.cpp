// The common window look: twips to pixels, background colour, fixed border, centring, icon.
#include "app/look.h"

#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <cmath>

namespace velmoth {
namespace {

// The program icon drawn for each common size, so that title bars and task bars on
// high-density screens get a sharp one. The pictures are added as pixmaps: adding them as
// files would first load Qt's icon engine plugins to ask whether one of them reads PNG files.
QIcon program_icon() {
  QIcon icon;
  for (const int size : {16, 32, 64})
    icon.addPixmap(
        QPixmap::fromImage(program_image(QStringLiteral(":/velmoth/icon-%1.png").arg(size))));
  return icon;
}

}  // namespace

QImage program_image(const QString &resource) {
  QImageReader reader(resource, "png");
  reader.setAutoDetectImageFormat(false);
  return reader.read();
}

QString main_color_text() {
  constexpr unsigned red = 244, green = 243, blue = 238;
  return QString::number(red | (green << 8) | (blue << 16));
}

QColor color_from_text(const QString &bgr_decimal) {
  const unsigned value = bgr_decimal.toUInt();
  return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

int twips(int value) { return static_cast<int>(std::lround(value / 15.0)); }

void apply_common_look(QWidget &window, int width_twips, int height_twips) {
  window.setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                        Qt::MSWindowsFixedSizeDialogHint);
  window.setFixedSize(twips(width_twips), twips(height_twips));
  window.setWindowIcon(program_icon());
}

void centre_on_screen(QWidget &window) {
  const QScreen *screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  window.setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window.size(),
                                         screen->availableGeometry()));
}

void apply_background(QWidget &widget, const QString &main_color) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, color_from_text(main_color));
  widget.setPalette(palette);
  widget.setAutoFillBackground(true);
}

}  // namespace velmoth
