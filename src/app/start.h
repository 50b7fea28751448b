#pragma once

class QApplication;

namespace velmoth {

class Form1;

// Runs once when the login window is first created, before its load steps: makes sure every
// control is drawn with a current visual style rather than Qt's bare classic one.
void initialize(Form1 &window);

// The program: creates and shows the login window and runs until the user ends it.
int start(QApplication &app);

}  // namespace velmoth
