// The moves between the three windows, one instance of each.
#include "app/window_flow.h"

#include <QWidget>

#include "app/start.h"
#include "login/form1.h"
#include "mainwin/form3.h"
#include "signup/form2.h"

namespace velmoth {
namespace {

void bring_back(QWidget &window) {
  window.show();
  window.raise();
  window.activateWindow();
}

}  // namespace

WindowFlow::WindowFlow(WindowContext context, QObject *parent)
    : QObject(parent), context_(std::move(context)) {}

WindowFlow::~WindowFlow() {
  delete form2_;
  delete form3_;
  delete form1_;
}

void WindowFlow::start() { show_form1(); }

Form1 *WindowFlow::form1() const { return form1_; }
Form2 *WindowFlow::form2() const { return form2_; }
Form3 *WindowFlow::form3() const { return form3_; }

Form1 *WindowFlow::show_form1() {
  if (form1_) {
    bring_back(*form1_);
    return form1_;
  }
  form1_ = new Form1(context_);
  connect(form1_, &Form1::signup_requested, this, [this] {
    form1_->hide();
    show_form2();
  });
  connect(form1_, &Form1::logged_in, this, [this] {
    form1_->hide();
    show_form3();
  });
  connect(form1_, &Form1::exit_confirmed, this, &WindowFlow::end_program);
  initialize(*form1_);
  form1_->load();
  return form1_;
}

Form2 *WindowFlow::show_form2() {
  if (form2_) {
    bring_back(*form2_);
    return form2_;
  }
  form2_ = new Form2(context_);
  connect(form2_, &Form2::back_to_login, this, [this] {
    form2_->hide();
    show_form1();
  });
  // Closed from its title bar: the window is destroyed (it deletes itself) and the login
  // window comes back; nothing is asked.
  connect(form2_, &Form2::closed, this, [this] {
    form2_ = nullptr;
    show_form1();
  });
  form2_->load();
  return form2_;
}

Form3 *WindowFlow::show_form3() {
  if (form3_) {
    bring_back(*form3_);
    return form3_;
  }
  form3_ = new Form3(context_);
  connect(form3_, &Form3::exit_confirmed, this, &WindowFlow::end_program);
  form3_->load();
  return form3_;
}

void WindowFlow::end_program() {
  if (ended_) return;
  ended_ = true;
  for (QWidget *window : {static_cast<QWidget *>(form1_), static_cast<QWidget *>(form2_),
                          static_cast<QWidget *>(form3_)}) {
    if (!window) continue;
    // Silence every timer, browser and control first, so that nothing pending runs a handler.
    window->blockSignals(true);
    for (QObject *child : window->findChildren<QObject *>()) child->blockSignals(true);
    window->hide();
    window->deleteLater();
  }
  emit program_ended();
}

}  // namespace velmoth
