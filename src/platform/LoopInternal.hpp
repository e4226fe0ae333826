// Hooks between the socket calls and the calling thread's loop (not public).
#pragma once

namespace platform::detail {

// A receive was made: FD_READ may fire again.
void SocketRead(int fd);
// A send found the buffer full: FD_WRITE fires when there is room again.
void SocketSendBlocked(int fd);
// An accept was made: FD_ACCEPT may fire again.
void SocketAccepted(int fd);
// A connect was started; immediateError (errno, 0 for none/in progress) is a
// failure the system reported at once. True when the loop takes over the
// outcome (it will post FD_CONNECT); false when the socket is not registered.
bool SocketConnectStarted(int fd, int immediateError);
// listen() succeeded.
void SocketListening(int fd);
// The descriptor is about to be closed: forget it, drop queued notifications.
void SocketClosing(int fd);
// Holds (true) or releases a registered socket's notifications; false when
// the socket is not registered.
bool SocketSuspend(int fd, bool suspend);
// Registration (events != 0) or removal.
int SocketSelect(int fd, unsigned hwnd, unsigned msg, long events);

} // namespace platform::detail
