// Runs at QT_SCALE_FACTOR=2 and 1.5: the pictures must come from the double-size images, not be
// blown up, and the banner must fill its place exactly at any density.
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QTest>

#include "image_compare.h"
#include "login/form1.h"

using namespace velmoth;

namespace {

// The pixels alone, whatever density the image claims.
QImage pixels(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  image.setDevicePixelRatio(1);
  return image;
}

QImage drawn(const QPixmap &pixmap) { return pixels(pixmap.toImage()); }

QImage resource(const QString &name) { return pixels(QImage(QStringLiteral(":/velmoth/") + name)); }

WindowContext context(QNetworkAccessManager &network) {
  WindowContext context;
  context.service_url = QStringLiteral("http://127.0.0.1:9/");
  context.home_url = context.service_url;
  context.network = &network;
  return context;
}

}  // namespace

class TestHiDpi : public QObject {
  Q_OBJECT

 private slots:
  void banner_fills_its_place() {
    QNetworkAccessManager network;
    Form1 form(context(network));
    const qreal density = form.devicePixelRatio();
    QVERIFY(density > 1);

    const QPixmap banner = form.findChild<QLabel *>(QStringLiteral("Picture"))->pixmap();
    QCOMPARE(banner.devicePixelRatio(), density);
    QCOMPARE(banner.size(), (QSizeF(330, 100) * density).toSize());
  }

  void pictures_are_sharp_at_double_density() {
    QNetworkAccessManager network;
    Form1 form(context(network));
    if (form.devicePixelRatio() != 2.0) QSKIP("compares pixels at double density only");

    // The window is narrower than the banner: compare the part that shows.
    const QPixmap window = form.grab();
    QCOMPARE(window.size(), 2 * form.size());
    const QRect banner(0, 0, window.width(), 200);
    VELMOTH_COMPARE_IMAGES(drawn(window).copy(banner),
                           resource(QStringLiteral("banner@2x.png")).copy(banner));

    // A 32-point title bar icon is drawn from the 64-pixel picture.
    VELMOTH_COMPARE_IMAGES(drawn(form.windowIcon().pixmap(QSize(32, 32), 2.0)),
                           resource(QStringLiteral("icon-64.png")));
    VELMOTH_COMPARE_IMAGES(drawn(form.windowIcon().pixmap(QSize(16, 16), 2.0)),
                           resource(QStringLiteral("icon-32.png")));
  }
};

QTEST_MAIN(TestHiDpi)
#include "test_hidpi.moc"
