// The request cycle shared by the login and sign-up windows.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QLineEdit;
class QPushButton;
class QTimer;

namespace velmoth {

class Browser;

// The polling cycle shared by the windows that send requests: lock the buttons, load the request,
// poll the reply box once a tick until a known reply appears or twenty ticks have passed.
// It owns no widget; it drives those of its window.
class RequestCycle : public QObject {
  Q_OBJECT

 public:
  struct Widgets {
    QPushButton *action;  // Command2: sends, shows the busy and counting captions
    QPushButton *other;   // Command1
    QLineEdit *reply_box;
    QTimer *timer;  // Timer1
    Browser *browser;
    qint16 *timeout;  // the window's Timeout counter
  };

  struct Texts {
    QString idle;
    QString busy;
    QString counting_prefix;
    QString timeout_message;
  };

  struct KnownReply {
    QString code;
    std::function<void()> outcome;  // runs with the timer already stopped; calls end_cycle()
  };

  RequestCycle(const Widgets &widgets, Texts texts, std::vector<KnownReply> replies,
               QObject *parent = nullptr);

  // Locks the buttons, shows the busy caption, starts loading address and starts the timer.
  // The reply box is cleared and the counter reset, so every request is judged on its own reply
  // and gets its full twenty ticks.
  void start_request(const QString &address);

  // One poll of the reply box (the timer's handler).
  void tick();

  // Stops the timer and puts the buttons back to idle.
  void end_cycle();

  static constexpr int kTicksBeforeTimeout = 20;

 private:
  Widgets w_;
  Texts texts_;
  std::vector<KnownReply> replies_;
};

}  // namespace velmoth
