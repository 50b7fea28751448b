// The real message boxes, shown and answered as a user would; no translation is loaded, as on an
// install without Qt's translation package.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>

#include "platform/messages.h"

using namespace velmoth;

namespace {

// What the open box showed, read when it appears.
struct Seen {
  QString title;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;  // in the order of the box's button list
  bool modal = false;
};

// Waits for the modal box, records it and clicks the button whose text is answer.
void answer_next_box(Seen &seen, const QString &answer) {
  auto *poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, &seen, answer] {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    poll->deleteLater();
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.modal = box->isModal();
    QAbstractButton *to_click = box->buttons().value(0);  // ends the box when none matches
    for (QAbstractButton *button : box->buttons()) {
      seen.buttons << button->text();
      if (button->text() == answer) to_click = button;
    }
    QTimer::singleShot(0, to_click, &QAbstractButton::click);
  });
  poll->start(10);
}

using Show = std::function<bool()>;  // shows a box; true when the answer was Yes

}  // namespace

Q_DECLARE_METATYPE(Show)

class TestMessages : public QObject {
  Q_OBJECT

 private slots:
  void real_boxes_read_chinese_data() {
    QTest::addColumn<Show>("show");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("yes");
    const Show warning = [] {
      messages::warning(nullptr, QStringLiteral("请输入帐号"));
      return false;
    };
    const Show question = [] { return messages::ask_exit(nullptr, QStringLiteral("请输入帐号")); };
    QTest::newRow("warning") << warning << QMessageBox::Warning << QStringList{"确定"} << "确定"
                             << false;
    QTest::newRow("exit question, yes")
        << question << QMessageBox::Question << QStringList{"是(&Y)", "否(&N)"} << "是(&Y)" << true;
    QTest::newRow("exit question, no") << question << QMessageBox::Question
                                       << QStringList{"是(&Y)", "否(&N)"} << "否(&N)" << false;
  }
  void real_boxes_read_chinese() {
    QFETCH(Show, show);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QStringList, buttons);
    QFETCH(QString, answer);
    QFETCH(bool, yes);
    Seen seen;
    answer_next_box(seen, answer);
    QCOMPARE(show(), yes);
    QCOMPARE(seen.title, QString("velmoth"));
    QCOMPARE(seen.text, QString("请输入帐号"));
    QCOMPARE(seen.icon, icon);
    QVERIFY(seen.modal);
    QStringList sorted = seen.buttons;
    sorted.sort();
    buttons.sort();
    QCOMPARE(sorted, buttons);
  }
};

QTEST_MAIN(TestMessages)
#include "test_messages.moc"
