#pragma once

#include <QRect>
#include <QString>
#include <QTest>
#include <QWidget>

#include "app/look.h"

namespace velmoth::testing {

// A control's place as the layout tables give it: container and twips.
struct TwipRect {
  int left, top, width, height;
  QRect pixels() const { return {twips(left), twips(top), twips(width), twips(height)}; }
};

// Finds the named control of window and compares its container and pixel geometry.
inline void check_geometry(QWidget &window, const QString &name, const QString &container,
                           const TwipRect &place) {
  auto *control = window.findChild<QWidget *>(name);
  QVERIFY2(control, qPrintable(name + " is missing"));
  QCOMPARE(control->parentWidget()->objectName(), container);
  QCOMPARE(control->geometry(), place.pixels());
}

}  // namespace velmoth::testing

Q_DECLARE_METATYPE(velmoth::testing::TwipRect)
