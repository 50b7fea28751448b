#include "platform/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGroupBox>
#include <QLabel>
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

}  // namespace

// Qt asks the factories for each class of an object, most derived first, the factory installed
// last first. Ours answers only for the marked links and for the containers of marked widgets.
void install() {
  static const bool installed = [] {
    QAccessible::installFactory(interface_for);
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
