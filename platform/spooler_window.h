// The spooler's main window where the system has windows of its own
// (Windows): a hidden top-level window of class kMainWindowClass, the one a
// driver finds and sends its requests to. It lives on a thread of its own
// that runs its message loop for the rest of the process, so the main
// thread may block in a question while the driver still gets its answers.
// What reaches it goes on as follows:
//  - the channel's requests (WM_SPOOLER_COMMAND and the private requests of
//    platform/command_channel.h) to the CommandServer started for it, whose
//    handler runs on the thread that calls ServePending;
//  - WM_CLOSE, its own timer's WM_TIMER and the private messages posted to
//    it (WM_USER to 0x7EFF) to the installed window sink, on the window's
//    thread (the sink is callable from any thread).
// Systems whose main window is a number (POSIX: the process id) have no
// body for these functions and never call them.
// Any thread.
#pragma once

#include <functional>

#include "platform/win_types.h"

namespace plat {

// The window, made on the first call; 0 when it could not be made (then
// every later call tries again).
HWND OpenSpoolerWindow();

// Whether `window` is the spooler window of this process (0 before one is
// made). Handles are compared whole: a number that only happens to name
// some window does not count.
bool IsSpoolerWindow(HWND window);

// The window's one timer: a WM_TIMER to the window sink every `intervalMs`
// from now on, or none after the kill. The window's own thread sets it;
// these only ask it to, so they never wait for a thread that may be busy.
// False when there is no window.
bool SetSpoolerWindowTimer(DWORD intervalMs);
bool KillSpoolerWindowTimer();

// Called on the window's thread when the session ends (log-off, shut-down):
// a program with windows is told so through them, not through its console.
// The window's thread returns to the system, which may then end the process,
// once the call returns. Empty: nothing is done.
void SetSessionEndHandler(std::function<void()> handler);

}  // namespace plat
