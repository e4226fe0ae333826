// WindowLifecycle: how far the main window is on its way out. Closing: the
// close was accepted (FormClose ran), so only what ends things still runs and
// the timers are not started again. CloseWhenIdle: a save uploaded on the way
// out runs; the window closes when it ends. Destroyed: FormDestroy ran. Owned by the
// main window; lives on the GUI thread.
#pragma once

namespace app {

struct WindowLifecycle {
    bool Closing = false;
    bool CloseWhenIdle = false;
    bool Destroyed = false;
};

} // namespace app
