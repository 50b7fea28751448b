// The window flow: which window shows, created on first use and kept while hidden.
#pragma once

#include <QObject>
#include <QPointer>

#include "app/window_context.h"

namespace velmoth {

class Form1;
class Form2;
class Form3;

// The application's windows: at most one instance of each, created the first time it is shown
// and reused while it exists, and the moves between them. One window is visible at a time.
class WindowFlow : public QObject {
  Q_OBJECT

 public:
  explicit WindowFlow(WindowContext context, QObject *parent = nullptr);
  ~WindowFlow() override;

  // Creates and shows the login window.
  void start();

  Form1 *form1() const;
  Form2 *form2() const;
  Form3 *form3() const;

  // Ends the program at once: no window runs another handler (close, timer or page loaded),
  // every window is destroyed, and program_ended() asks the application to quit.
  void end_program();

 signals:
  void program_ended();

 private:
  Form1 *show_form1();
  Form2 *show_form2();
  Form3 *show_form3();

  WindowContext context_;
  QPointer<Form1> form1_;
  QPointer<Form2> form2_;
  QPointer<Form3> form3_;
  bool ended_ = false;
};

}  // namespace velmoth
