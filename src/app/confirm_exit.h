// The exit question asked when the login or main window is closed.
#pragma once

class QCloseEvent;
class QWidget;

namespace velmoth {

// Asks whether to end the program; on No the close is cancelled and the window stays as it was.
// Returns true when the user answered Yes.
bool confirm_exit(QWidget &window, QCloseEvent &cancel);

}  // namespace velmoth
