#pragma once

#include <QApplication>
#include <QEvent>
#include <QString>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>

namespace velmoth::bench {

// The application object of both start-up programs: a QApplication that runs an action right
// after the first expose event of a given top-level widget's window has been handled. Handling
// an expose event paints the window and flushes the frame to the window system before it
// returns, so the action runs the moment the first frame is on the screen, before any other
// event waiting in the queue (such as a network reply that arrived meanwhile).
class FirstExposeApplication : public QApplication {
 public:
  using QApplication::QApplication;

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
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      std::printf("first-frame-ns %lld\n", now.tv_sec * 1'000'000'000LL + now.tv_nsec);
      std::fflush(stdout);
      QCoreApplication::exit(0);
    });
  }

  bool notify(QObject *receiver, QEvent *event) override {
    const bool handled = QApplication::notify(receiver, event);
    if (event->type() == QEvent::Expose && !actions_.empty()) run_action_for(receiver);
    return handled;
  }

 private:
  void run_action_for(QObject *receiver) {
    const auto *window = qobject_cast<QWindow *>(receiver);
    if (!window || !window->isExposed()) return;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
      if (widget->windowHandle() != window) continue;
      const auto found = actions_.find(widget->objectName());
      if (found == actions_.end()) return;
      const std::function<void()> action = std::move(found->second);
      actions_.erase(found);
      action();
      return;
    }
  }

  std::map<QString, std::function<void()>> actions_;
};

}  // namespace velmoth::bench
