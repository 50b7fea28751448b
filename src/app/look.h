// The look every window shares: twips, the 0x00BBGGRR background colour, fixed size, icon.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>

class QWidget;

namespace velmoth {

inline constexpr char kWindowTitle[] = "KorvaneV9.3";

// The window background, RGB(244, 243, 238), as the decimal text of its 0x00BBGGRR value.
QString main_color_text();

// Converts the decimal text of a 0x00BBGGRR value into a colour.
QColor color_from_text(const QString &bgr_decimal);

// Twips to pixels at 96 dots per inch (15 twips a pixel), rounded to nearest.
int twips(int value);

// One of the program's own PNG pictures (a resource path such as ":/velmoth/banner.png"), read
// with Qt's built-in PNG reader. Left to find a reader itself, Qt would first load every image
// format plugin installed to ask whether it wants to read PNG files. Safe on any thread.
QImage program_image(const QString &resource);

// The common look of every window: fixed client size, no minimize or maximize button, the
// program icon. Call before the window is first shown.
void apply_common_look(QWidget &window, int width_twips, int height_twips);

// Places the window in the middle of the screen it is on.
void centre_on_screen(QWidget &window);

// Paints widget's background with the colour held in main_color.
void apply_background(QWidget &widget, const QString &main_color);

}  // namespace velmoth
