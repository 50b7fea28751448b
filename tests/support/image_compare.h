#pragma once
// Compares pictures pixel by pixel allowing one unit per channel: drawing semi-transparent
// pixels round-trips through premultiplied alpha, and how that rounds depends on the CPU's
// vector instructions, so an exact comparison holds only on the machine it was written on.
#include <QImage>
#include <QString>
#include <cstdlib>

namespace velmoth::test {

// Empty when the pictures agree; otherwise where and how they first differ.
inline QString image_difference(const QImage &actual, const QImage &expected) {
  if (actual.size() != expected.size())
    return QStringLiteral("sizes differ: %1x%2 against %3x%4")
        .arg(actual.width())
        .arg(actual.height())
        .arg(expected.width())
        .arg(expected.height());
  const QImage a = actual.convertToFormat(QImage::Format_ARGB32);
  const QImage e = expected.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const QRgb p = a.pixel(x, y);
      const QRgb q = e.pixel(x, y);
      if (std::abs(qRed(p) - qRed(q)) > 1 || std::abs(qGreen(p) - qGreen(q)) > 1 ||
          std::abs(qBlue(p) - qBlue(q)) > 1 || std::abs(qAlpha(p) - qAlpha(q)) > 1)
        return QStringLiteral("pixel (%1, %2) is %3, expected %4")
            .arg(x)
            .arg(y)
            .arg(p, 8, 16, QLatin1Char('0'))
            .arg(q, 8, 16, QLatin1Char('0'));
    }
  }
  return {};
}

}  // namespace velmoth::test

// Fails the test with the first differing pixel when two pictures differ by more than one unit.
#define VELMOTH_COMPARE_IMAGES(actual, expected)                                          \
  do {                                                                                    \
    const QString velmoth_difference = velmoth::test::image_difference(actual, expected); \
    QVERIFY2(velmoth_difference.isEmpty(), qPrintable(velmoth_difference));               \
  } while (false)
