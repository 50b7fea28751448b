// Names, roles and descriptions for screen readers; password boxes never tell their text.
#include "platform/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QWidget>

#include "platform/widgets.h"

namespace velmoth::accessibility {
namespace {

// Dynamic properties that mark widgets for the interfaces below.
constexpr char kHidden[] = "velmoth_accessibility_hidden";
constexpr char kLink[] = "velmoth_accessibility_link";

// The interfaces of ours, told apart from Qt's.
class OwnInterface : public QAccessibleWidget {
 public:
  using QAccessibleWidget::QAccessibleWidget;
};

// A container whose interface leaves out the children marked hidden. Qt's own interfaces list
// every child widget, shown or not.
class ContainerInterface : public OwnInterface {
 public:
  explicit ContainerInterface(QWidget *widget)
      : OwnInterface(widget, qobject_cast<QGroupBox *>(widget) ? QAccessible::Grouping
                                                               : QAccessible::Client) {}

  int childCount() const override { return int(exposed_children().size()); }

  QAccessibleInterface *child(int index) const override {
    const QList<QWidget *> children = exposed_children();
    if (index < 0 || index >= children.size()) return nullptr;
    return QAccessible::queryAccessibleInterface(children.at(index));
  }

  int indexOfChild(const QAccessibleInterface *child) const override {
    if (!child) return -1;
    return int(exposed_children().indexOf(qobject_cast<QWidget *>(child->object())));
  }

  QString text(QAccessible::Text t) const override {
    const auto *group = qobject_cast<QGroupBox *>(widget());
    if (t == QAccessible::Name && group && group->accessibleName().isEmpty()) return group->title();
    return QAccessibleWidget::text(t);
  }

 private:
  QList<QWidget *> exposed_children() const {
    QList<QWidget *> children;
    for (QObject *object : widget()->children()) {
      auto *child = qobject_cast<QWidget *>(object);
      if (child && !child->isWindow() && !child->property(kHidden).toBool()) children << child;
    }
    return children;
  }
};

// A clickable label seen as a link: named by its text, activated by its press action.
class LinkInterface : public OwnInterface {
 public:
  explicit LinkInterface(ClickableLabel *label) : OwnInterface(label, QAccessible::Link) {}

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
      return static_cast<ClickableLabel *>(widget())->text();
    return QAccessibleWidget::text(t);
  }

  QStringList actionNames() const override { return {pressAction()}; }

  void doAction(const QString &action) override {
    if (action == pressAction()) emit static_cast<ClickableLabel *>(widget())->clicked();
  }

  QStringList keyBindingsForAction(const QString &) const override { return {}; }
};

QAccessibleInterface *interface_for(const QString &, QObject *object) {
  auto *widget = qobject_cast<QWidget *>(object);
  if (!widget) return nullptr;
  if (auto *label = qobject_cast<ClickableLabel *>(widget);
      label && label->property(kLink).toBool())
    return new LinkInterface(label);
  for (QObject *child : widget->children()) {
    if (child->isWidgetType() && child->property(kHidden).toBool())
      return new ContainerInterface(widget);
  }
  return nullptr;
}

// Qt keeps the first interface made for a widget, and a widget's texts may have asked for one
// while the form was being built, before the widget was marked. A kept interface of Qt's own is
// dropped, so that the next request makes ours.
void renew(QWidget &widget) {
  QAccessibleInterface *kept = QAccessible::queryAccessibleInterface(&widget);
  if (kept && !dynamic_cast<OwnInterface *>(kept))
    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(kept));
}

// The update handler installed before ours, if any: it takes the events on towards assistive
// technology.
QAccessible::UpdateHandler next_handler = nullptr;

void tell_without_hidden_text(QAccessibleEvent *event);

void pass_on(QAccessibleEvent *event) {
  if (next_handler) {
    next_handler(event);
    return;
  }
  // With no handler installed Qt hands an event to the platform's bridge to assistive
  // technology; that is the only public way there.
  QAccessible::installUpdateHandler(nullptr);
  QAccessible::updateAccessibility(event);
  QAccessible::installUpdateHandler(tell_without_hidden_text);
}

// What a box that hides its text shows for text: an echo character for each character typed, or
// nothing at all.
QString as_shown(const QLineEdit &box, const QString &text) {
  if (box.echoMode() == QLineEdit::NoEcho) return {};
  const int echo = box.style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, &box);
  return QString(text.size(), QChar(echo));
}

// Qt puts the very text typed into or deleted from a box into its text change events, even for
// a password box, and screen readers speak it. Such a box's events carry what it shows instead.
void tell_without_hidden_text(QAccessibleEvent *event) {
  const auto *box = qobject_cast<QLineEdit *>(event->object());
  if (!box || box->echoMode() == QLineEdit::Normal) return pass_on(event);
  switch (event->type()) {
    case QAccessible::TextInserted: {
      const auto *typed = static_cast<QAccessibleTextInsertEvent *>(event);
      QAccessibleTextInsertEvent shown(event->object(), typed->changePosition(),
                                       as_shown(*box, typed->textInserted()));
      shown.setCursorPosition(typed->cursorPosition());
      return pass_on(&shown);
    }
    case QAccessible::TextRemoved: {
      const auto *deleted = static_cast<QAccessibleTextRemoveEvent *>(event);
      QAccessibleTextRemoveEvent shown(event->object(), deleted->changePosition(),
                                       as_shown(*box, deleted->textRemoved()));
      shown.setCursorPosition(deleted->cursorPosition());
      return pass_on(&shown);
    }
    case QAccessible::TextUpdated: {
      const auto *replaced = static_cast<QAccessibleTextUpdateEvent *>(event);
      QAccessibleTextUpdateEvent shown(event->object(), replaced->changePosition(),
                                       as_shown(*box, replaced->textRemoved()),
                                       as_shown(*box, replaced->textInserted()));
      shown.setCursorPosition(replaced->cursorPosition());
      return pass_on(&shown);
    }
    default:
      return pass_on(event);
  }
}

}  // namespace

// Qt asks the factories for each class of an object, most derived first, the factory installed
// last first. Ours answers only for the marked links and for the containers of marked widgets.
void install() {
  static const bool installed = [] {
    QAccessible::installFactory(interface_for);
    next_handler = QAccessible::installUpdateHandler(tell_without_hidden_text);
    return true;
  }();
  Q_UNUSED(installed);
}

void caption(QLabel &label, QWidget &control) {
  label.setBuddy(&control);
  QString words = label.text();
  while (words.endsWith(u'：') || words.endsWith(u':')) words.chop(1);
  control.setAccessibleName(words);
}

void name(QWidget &control, const QString &name) { control.setAccessibleName(name); }

void hide(QWidget &widget) {
  install();
  widget.setProperty(kHidden, true);
  if (QWidget *container = widget.parentWidget()) renew(*container);
}

void expose_as_link(ClickableLabel &label) {
  install();
  label.setProperty(kLink, true);
  renew(label);
}

}  // namespace velmoth::accessibility
