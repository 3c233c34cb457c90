// The start-up both front ends share, free of any toolkit: one spooler per
// user (a second start brings the first to the front and ends), the stop
// signals, the command channel, the published main window and the scheduler
// interval. The desktop program and kelvane-headless differ only in how
// they deliver to their windows and ask their questions; everything that
// decides when the spooler starts, listens and stops lives here.
// Main thread, before the main loop runs, unless a function says otherwise.
#pragma once

#include <functional>

#include "platform/command_channel.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"
#include "platform/win_types.h"

class ShellFrontEnd;

namespace app {

// How long a second start waits for the first to come to the front.
inline constexpr DWORD kBringToFrontWaitMs = 2000;

// Claims the one spooler of this user with `instance`. When another spooler
// already runs, asks it to come to the front and returns false: the caller
// ends normally, and the running spooler's scheduler picks up whatever the
// driver queued for us.
bool ClaimSingleInstance(plat::SingleInstance& instance);

// The front-end contract: the window sink, the message box sink and the
// shell's front end are installed together for the object's lifetime and
// removed together (in the reverse order) when it goes. A front end never
// leaves one of the three pointing at something already destroyed.
class FrontEndBinding {
 public:
  FrontEndBinding(plat::WindowSink* windows, plat::MessageBoxSink* boxes,
                  ShellFrontEnd* frontEnd);
  ~FrontEndBinding();
  FrontEndBinding(const FrontEndBinding&) = delete;
  FrontEndBinding& operator=(const FrontEndBinding&) = delete;
};

// Starts the command channel for `mainWindow` (requests go to
// DispatchChannelRequest; `wake` is called on the listener thread when a
// request waits to be served), then publishes the main window as
// "SpoolerHwnd": whoever reads the handle finds someone to talk to. False
// when the channel could not be opened; printing goes on and the handle is
// published all the same, only the driver's commands cannot reach us.
bool OpenToDriver(plat::CommandServer& server, HWND mainWindow, std::function<void()> wake);

// The scheduler interval a front end sets: `requested`, or KELVANE_TIMER_MS
// when it holds a whole number of milliseconds from 1 to 3600000 (tests
// that must not wait for real 5-second ticks); anything else is ignored.
// Any thread.
DWORD SchedulerIntervalFromEnvironment(DWORD requested);

// The desktop's stop signals (platform/startup.h): taken for the whole
// process and posted to the published main window, in one call from main
// before any other thread.
void TakeStopSignalsUntilExit();

// The published main window (g_hMainWnd, read under the lock): where a stop
// from outside goes when it comes; 0 before the main window exists and
// after it has gone. Any thread.
HWND PublishedMainWindow();

// Whether kelvane-headless asks its questions in the system's message boxes
// rather than on the console: only where the system has boxes of its own
// (Windows), and only when nobody can answer on standard input and no fault
// policy was given (one given on the command line means: unattended, let the
// policy answer). Elsewhere never.
bool UseSystemMessageBoxes(bool faultPolicyGiven);

}  // namespace app
