#pragma once

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

namespace velmoth::bench {

// Watches the application's windows and runs an action the first time the top-level widget of a
// given object name is exposed. Exposing a widget's window paints and flushes it before the
// event returns, so an action queued from here (such as quitting) runs after the first frame is
// on the screen.
class FirstExposeWatch : public QObject {
 public:
  FirstExposeWatch() { qApp->installEventFilter(this); }
  ~FirstExposeWatch() override { qApp->removeEventFilter(this); }

  void on_first_expose(const QString &widget_name, std::function<void()> action) {
    actions_[widget_name] = std::move(action);
  }

  // Ends the event loop once the first frame of widget_name is on the screen, and prints the
  // time of that moment on the monotonic clock ("first-frame-ns N"), so that start-up can be
  // told apart from the time the program then takes to end. exit(), not quit(): quit() first
  // offers every window a close event, and the program's windows answer that with the exit
  // question.
  void quit_after_first_frame(const QString &widget_name) {
    on_first_expose(widget_name, [] {
      QTimer::singleShot(0, qApp, [] {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("first-frame-ns %lld\n", now.tv_sec * 1'000'000'000LL + now.tv_nsec);
        std::fflush(stdout);
        QCoreApplication::exit(0);
      });
    });
  }

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    if (event->type() != QEvent::Expose || actions_.empty()) return false;
    const auto *window = qobject_cast<QWindow *>(watched);
    if (!window || !window->isExposed()) return false;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
      if (widget->windowHandle() != window) continue;
      const auto found = actions_.find(widget->objectName());
      if (found == actions_.end()) break;
      const std::function<void()> action = std::move(found->second);
      actions_.erase(found);
      action();
      break;
    }
    return false;
  }

 private:
  std::map<QString, std::function<void()>> actions_;
};

}  // namespace velmoth::bench
