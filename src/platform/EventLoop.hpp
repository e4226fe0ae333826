// The per-thread event loop: hidden windows (message targets), posted
// messages, socket notifications (see Sockets.hpp), the tick counter and the
// application pump. One loop per thread, created on first use.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using HWND = std::uint32_t;     // 0 = none
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using UINT = std::uint32_t;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;

struct MSG {
    HWND hwnd = 0;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};

// Window procedure of a hidden window; runs on the window's thread.
using WindowProc = std::function<void(UINT msg, WPARAM wParam, LPARAM lParam)>;

// Creates a hidden window on the calling thread's loop. Returns 0 when no
// window could be made. Handles are never reused within a process run.
HWND AllocateHWnd(WindowProc proc);
// Destroys it: messages still queued for it are dropped, never delivered.
// Safe to call from inside its own window procedure.
void DeallocateHWnd(HWND hwnd);
// True while the handle names a living window.
bool IsWindow(HWND hwnd);
// Number of living hidden windows of the process (for tests).
int HiddenWindowCount();

// Queues a message for the window's thread; callable from any thread.
// False (and nothing queued) when the handle is not a living window.
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Queues WM_QUIT on the calling thread's loop.
void PostQuitMessage(int exitCode);

// Takes (or only looks at) the next pending message of the calling thread,
// socket notifications included. Never blocks.
bool PeekMessage(MSG& msg, bool remove);
// Runs the target window's procedure for the message (a message for a
// destroyed window is dropped). WM_QUIT is not dispatched.
void DispatchMessage(const MSG& msg);
// Waits until a message is pending or timeoutMs passes (-1 = no limit).
// True when a message is pending.
bool WaitMessage(int timeoutMs);
// Dispatches the pending messages of the calling thread for at most about
// one slice of time, so a toolkit sharing the thread gets its turn; what is
// left stays pending (the loop descriptor stays readable). A WM_QUIT seen on
// the way sets the thread's terminated flag and stops. Returns the count.
int ProcessMessages();
// The slice of ProcessMessages and of a socket's receive loop, in ms.
constexpr std::uint32_t kDispatchSliceMs = 10;
// Set once WM_QUIT was taken by ProcessMessages on this thread.
bool QuitSeen();
void ClearQuitSeen();

// The calling thread's pollable descriptor: readable whenever a message or a
// socket notification may be pending. A toolkit watches it to drive the loop.
int LoopDescriptor();

// Timers: WM_TIMER (wParam = id) is posted to the window every ms
// milliseconds until KillTimer; setting an id again restarts it. Call on the
// window's thread. A pending tick is never doubled; a destroyed window's
// timers go with it. False when the window is not a living one of this thread.
constexpr UINT WM_TIMER = 0x0113;
bool SetTimer(HWND hwnd, std::uintptr_t id, std::uint32_t ms);
void KillTimer(HWND hwnd, std::uintptr_t id);

// Milliseconds since an arbitrary start, wrapping at 2^32.
std::uint32_t GetTickCount();
void Sleep(std::uint32_t ms);

// How waiting code lets "the application" run: process pending messages,
// wait for the next one, ask whether the application is terminating.
// Headless the loop itself is the pump; a toolkit installs its own.
class IApplicationPump {
public:
    virtual ~IApplicationPump() = default;
    virtual void ProcessMessages() = 0;
    virtual void WaitMessage(int timeoutMs) = 0;
    virtual bool Terminated() = 0;
};

// The installed pump, or the headless one when none is installed.
IApplicationPump& ApplicationPump();
// Installs a pump (nullptr restores the headless one). Not owned.
void SetApplicationPump(IApplicationPump* pump);

} // namespace platform
