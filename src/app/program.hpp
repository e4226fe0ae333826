// Pieces of the program's start shared by the executable, its tests and the
// screenshot tool.
#pragma once

class QWidget;

namespace app {

// Application-wide settings: names, the icon theme fallback, the hint window.
// Call once after the QApplication exists.
void SetUpApplication();

// Catches SIGTERM and SIGINT from now on. The handler only writes to a pipe,
// so a signal that arrives during start-up waits there for CloseOnSignals.
// Returns false when the pipe or the handlers cannot be installed.
bool CatchCloseSignals();

// Every caught SIGTERM or SIGINT closes window from the event loop, exactly
// as its close box does.
void CloseOnSignals(QWidget* window);

} // namespace app
