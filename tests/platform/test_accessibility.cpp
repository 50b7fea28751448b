// What a screen reader finds in each window, read through Qt's accessibility interfaces.

#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QDesktopServices>
#include <QLineEdit>
#include <QMap>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>

#include "app/window_context.h"
#include "login/form1.h"
#include "mainwin/form3.h"
#include "platform/accessibility.h"
#include "platform/widgets.h"
#include "signup/form2.h"

using namespace velmoth;

namespace {

struct Node {
  QAccessible::Role role;
  QString name;
  QAccessibleInterface *iface;
};

// Every object of the tree under root, by object name, checking that each child names its parent.
void walk(QAccessibleInterface *root, QMap<QString, Node> &nodes) {
  for (int i = 0; i < root->childCount(); ++i) {
    QAccessibleInterface *child = root->child(i);
    QVERIFY(child);
    QCOMPARE(root->indexOfChild(child), i);
    nodes.insert(child->object()->objectName(),
                 Node{child->role(), child->text(QAccessible::Name), child});
    walk(child, nodes);
  }
}

using Make = std::function<std::unique_ptr<QWidget>(const WindowContext &)>;

const Make kLogin = [](const WindowContext &c) { return std::unique_ptr<QWidget>(new Form1(c)); };
const Make kSignup = [](const WindowContext &c) { return std::unique_ptr<QWidget>(new Form2(c)); };

// A window against an address nothing answers, remembering nothing.
struct Opened {
  QNetworkAccessManager network;
  std::unique_ptr<QWidget> window;
  explicit Opened(const Make &make) {
    WindowContext context;
    context.service_url = QStringLiteral("http://127.0.0.1:9/");
    context.home_url = QStringLiteral("http://home.test/");
    context.network = &network;
    context.credentials_path = QStringLiteral("/nonexistent/config.inf");
    window = make(context);
  }
};

// What assistive technology is told, as the program's handler passes it on: each event, and the
// text that text changes carry.
QList<std::pair<QObject *, QAccessible::Event>> told;
QString told_text;

void record(QAccessibleEvent *event) {
  told.append({event->object(), event->type()});
  if (auto *typed = dynamic_cast<QAccessibleTextInsertEvent *>(event))
    told_text += typed->textInserted();
  if (auto *deleted = dynamic_cast<QAccessibleTextRemoveEvent *>(event))
    told_text += deleted->textRemoved();
  if (auto *set = dynamic_cast<QAccessibleTextUpdateEvent *>(event))
    told_text += set->textRemoved() + set->textInserted();
}

// (object name, role, name) of the controls a user reaches, and of the links.
struct Expected {
  QString object;
  QAccessible::Role role;
  QString name;
};

}  // namespace

Q_DECLARE_METATYPE(Make)
Q_DECLARE_METATYPE(QList<Expected>)

class TestAccessibility : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    // Stands where the bridge to assistive technology stands, behind the program's handler.
    QAccessible::installUpdateHandler(record);
    accessibility::install();
    // Qt tells of changes only while assistive technology listens, as Qt's own tests make it.
    QPlatformAccessibility *platform =
        QGuiApplicationPrivate::platformIntegration()->accessibility();
    if (!platform) QSKIP("this platform has no accessibility");
    platform->setActive(true);
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "open_url");
  }

  void windows_data() {
    QTest::addColumn<Make>("make");
    QTest::addColumn<QList<Expected>>("expected");
    QTest::addColumn<QStringList>("absent");
    const auto edit = QAccessible::EditableText;
    QTest::newRow("login") << Make([](const WindowContext &c) {
      return std::unique_ptr<QWidget>(new Form1(c));
    })
                           << QList<Expected>{{"Frame1", QAccessible::Grouping, "请先登录"},
                                              {"Text1", edit, "帐号"},
                                              {"Text2", edit, "密码"},
                                              {"Check1", QAccessible::CheckBox, "记住密码"},
                                              {"Command1", QAccessible::Button, "注册(R)"},
                                              {"Command2", QAccessible::Button, "登录(L)"},
                                              {"Label4", QAccessible::Link, "访问官网"}}
                           << QStringList{"Shape1", "Shape2", "Text3", "Text4", "Picture"};
    QTest::newRow("sign-up")
        << Make([](const WindowContext &c) { return std::unique_ptr<QWidget>(new Form2(c)); })
        << QList<Expected>{{"Frame1", QAccessible::Grouping, "请先登录"},
                           {"Text1", edit, "帐号"},
                           {"Text2", edit, "密码"},
                           {"Text3", edit, "确认密码"},
                           {"Text4", edit, "绑定QQ"},
                           {"Text5", edit, "充值卡号"},
                           {"Text6", edit, "充值密码"},
                           {"Command1", QAccessible::Button, "取消(C)"},
                           {"Command2", QAccessible::Button, "注册(R)"},
                           {"Label7", QAccessible::Link, "注册需要充值卡，如没有请点击这里购买"}}
        << QStringList{"Shape1", "Shape2", "Shape3", "Shape4", "Shape5", "Shape6", "Text7"};
    QTest::newRow("main") << Make([](const WindowContext &c) {
      return std::unique_ptr<QWidget>(new Form3(c));
    })
                          << QList<Expected>{{"Text1", edit, "启动时自动登录"},
                                             {"Text2", edit, "秒后关闭"},
                                             {"HScroll1", QAccessible::ScrollBar, "速度"},
                                             {"HScroll2", QAccessible::ScrollBar, "音量"},
                                             {"Option5", QAccessible::RadioButton, "高"}}
                          << QStringList{};
  }

  void windows() {
    QFETCH(Make, make);
    QFETCH(QList<Expected>, expected);
    QFETCH(QStringList, absent);
    Opened opened(make);
    const std::unique_ptr<QWidget> &window = opened.window;
    window->show();

    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(window.get());
    QVERIFY(root);
    QMap<QString, Node> nodes;
    walk(root, nodes);

    for (const Expected &e : expected) {
      QVERIFY2(nodes.contains(e.object), qPrintable(e.object));
      QCOMPARE(nodes[e.object].role, e.role);
      QCOMPARE(nodes[e.object].name, e.name);
    }
    // Every control the keyboard reaches is there, named.
    for (QWidget *control : window->findChildren<QWidget *>()) {
      if (!(control->focusPolicy() & Qt::TabFocus) || !control->isVisibleTo(window.get())) continue;
      QVERIFY2(nodes.contains(control->objectName()), qPrintable(control->objectName()));
      QVERIFY2(!nodes[control->objectName()].name.isEmpty(), qPrintable(control->objectName()));
    }
    for (const QString &object : absent) QVERIFY2(!nodes.contains(object), qPrintable(object));

    // A link is activated through its press action, as a screen reader does it.
    for (const Expected &e : expected) {
      if (e.role != QAccessible::Link) continue;
      auto *label = qobject_cast<ClickableLabel *>(nodes[e.object].iface->object());
      QVERIFY(label);
      QSignalSpy clicked(label, &ClickableLabel::clicked);
      QAccessibleActionInterface *actions = nodes[e.object].iface->actionInterface();
      QVERIFY(actions);
      QVERIFY(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
      actions->doAction(QAccessibleActionInterface::pressAction());
      QCOMPARE(clicked.size(), 1);
    }
  }

  void typed_text_data() {
    QTest::addColumn<Make>("make");
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("login password") << kLogin << "Text2" << true;
    QTest::newRow("sign-up password") << kSignup << "Text2" << true;
    QTest::newRow("sign-up confirmation") << kSignup << "Text3" << true;
    QTest::newRow("card password, shown as typed") << kSignup << "Text6" << false;
  }

  // Typed, deleted, set and cleared: a box that shows echo characters tells only those.
  void typed_text() {
    QFETCH(Make, make);
    QFETCH(QString, box);
    QFETCH(bool, hidden);
    Opened opened(make);
    auto *edit = opened.window->findChild<QLineEdit *>(box);
    opened.window->show();
    told_text.clear();
    QTest::keyClicks(edit, QStringLiteral("pw12"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    edit->setText(QStringLiteral("xy9"));
    edit->clear();
    for (const QChar c : QStringLiteral("pw12xy9")) QCOMPARE(told_text.contains(c), !hidden);
    QCOMPARE(told_text.contains(u'*'), hidden);
  }

  void keyboard_walk_data() {
    QTest::addColumn<Make>("make");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("link_opens");
    QTest::newRow("login") << kLogin << "登录窗口"
                           << "http://home.test/";
    QTest::newRow("sign-up") << kSignup << "注册窗口"
                             << "http://home.test/buy.html";
  }

  // Tab from the first box round to it: each stop is named, and its focus is the first thing
  // told of it; the last stop is the link, which shows the focus and opens its page on Enter.
  void keyboard_walk() {
    QFETCH(Make, make);
    QFETCH(QString, description);
    QFETCH(QString, link_opens);
    Opened opened(make);
    QWidget *window = opened.window.get();
    QCOMPARE(QAccessible::queryAccessibleInterface(window)->text(QAccessible::Description),
             description);
    told.clear();
    if (auto *login = qobject_cast<Form1 *>(window)) login->load();
    if (auto *signup = qobject_cast<Form2 *>(window)) signup->load();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QWidget *const first = QApplication::focusWidget();
    QWidget *stop = first, *last = nullptr;
    for (int stops = 0; stop != first || !last; stop = QApplication::focusWidget()) {
      QVERIFY(++stops < 20);
      QVERIFY(!QAccessible::queryAccessibleInterface(stop)->text(QAccessible::Name).isEmpty());
      const auto heard = std::find_if(told.cbegin(), told.cend(), [stop](const auto &t) {
        return t.first == stop &&
               (t.second == QAccessible::Focus || t.second == QAccessible::TextCaretMoved);
      });
      QVERIFY2(heard != told.cend() && heard->second == QAccessible::Focus,
               qPrintable(stop->objectName()));
      QTest::keyClick(last = stop, Qt::Key_Tab);
    }
    QCOMPARE(QAccessible::queryAccessibleInterface(last)->role(), QAccessible::Link);
    const QImage unfocused = last->grab().toImage();
    last->setFocus(Qt::TabFocusReason);
    QVERIFY(last->grab().toImage() != unfocused);
    opened_urls_.clear();
    QTest::keyClick(last, Qt::Key_Return);
    QCOMPARE(opened_urls_, QStringList{link_opens});
  }

 public slots:
  // Stands in for the user's browser.
  void open_url(const QUrl &url) { opened_urls_ << url.toString(); }

 private:
  QStringList opened_urls_;
};

QTEST_MAIN(TestAccessibility)
#include "test_accessibility.moc"
