// Start-up of the client: what runs before the event loop.
#pragma once

#include <QString>
#include <memory>

class QApplication;

namespace velmoth {

class Form1;
class WindowFlow;

// Runs once when the login window is first created, before its load steps: makes sure every
// control is drawn with a current visual style rather than Qt's bare classic one.
void initialize(Form1 &window);

// The running program: Qt's own Chinese texts, the one network manager and the windows.
// Creating it shows the login window; when the user ends the program it asks the application's
// event loop to quit.
class Program {
 public:
  // service_url is the base of the request addresses; empty means the configured one.
  explicit Program(QApplication &app, const QString &service_url = {});
  ~Program();
  Program(const Program &) = delete;
  Program &operator=(const Program &) = delete;

  WindowFlow &flow();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The program: creates and shows the login window and runs until the user ends it.
int start(QApplication &app);

}  // namespace velmoth
