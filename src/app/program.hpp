// Pieces of the program's start shared by the executable, its tests and the
// screenshot tool.
#pragma once

class QWidget;

namespace app {

// Application-wide settings: names, the icon theme fallback, the hint window.
// Call once after the QApplication exists.
void SetUpApplication();

// SIGTERM and SIGINT close window exactly as its close box does. The signal
// handler only writes to a pipe; the window is closed from the event loop.
// Returns false when the pipe or the handlers cannot be installed.
bool CloseOnSignals(QWidget* window);

} // namespace app
