// The start-up both front ends share, free of any toolkit: one spooler per
// user (a second start brings the first to the front and ends), the stop
// signals, the command channel, the published main window and the scheduler
// interval. The desktop program and kelvane-headless differ only in how
// they deliver to their windows and ask their questions; everything that
// decides when the spooler starts, listens and stops lives here.
// Main thread, before the main loop runs, unless a function says otherwise.
#pragma once

#include <functional>
#include <memory>

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

// SIGINT, SIGTERM and SIGHUP (or what the platform has for them) come from a
// service manager, a closing terminal or Ctrl+C: nobody is there to answer
// the quit question, and the jobs still queued belong to the next start. A
// thread of their own takes them and posts WM_SPOOLER_STOP to the main
// window, which stops the spooler with its queue kept.
// Take() must run before any other thread exists, so that every thread
// started afterwards leaves the signals to this one.
class StopSignals {
 public:
  // The window a stop goes to: a fixed handle, or the published main window
  // (g_hMainWnd, read under the lock when the signal comes; a signal before
  // the main window exists or after it has gone reaches nobody).
  static constexpr HWND kPublishedMainWindow = 0;

  enum class Life {
    // Stop() (or the destructor) ends and joins the thread: for a loop that
    // must outlive every post made to it.
    kJoined,
    // The thread waits for the next signal until the process ends.
    kWholeProcess,
  };

  StopSignals();
  ~StopSignals();  // Stop()
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Keeps the stop signals from every thread of the calling one's making.
  void Take(Life life);
  // Starts the thread that turns the signals into posts to `mainWindow`.
  void Start(HWND mainWindow);
  // Ends and joins a kJoined thread; nothing for kWholeProcess.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The desktop's stop signals: Take(kWholeProcess) and Start for the
// published main window, in one call from main before any other thread.
void TakeStopSignalsUntilExit();

// The handle the main window goes by, as the driver and the command channel
// know it: on POSIX the process id; on Windows the spooler window
// (platform/spooler_window.h), made on the first call. Any thread.
HWND MainWindowHandle();

// The main window's own timer, where the system has one: its WM_TIMER
// reaches the window sink as a post. A front end without a window of the
// system's keeps time itself.
class MainWindowTimer {
 public:
  virtual ~MainWindowTimer() = default;
  // From now on a WM_TIMER every `intervalMs`; false when none can be set.
  virtual bool Set(DWORD intervalMs) = 0;
  virtual void Kill() = 0;
};
// The timer of MainWindowHandle(); nullptr where there is none (POSIX).
MainWindowTimer* SystemTimerOfMainWindow();

// A reader of our prompts that goes away must not kill us in the middle of a
// job (the queue would be left "Processing"): a failed write is enough.
void IgnoreBrokenPipes();

// Whether someone may answer on standard input: a terminal, a pipe or a
// socket (a supervising program); not /dev/null (NUL), not a file.
bool StandardInputCanAnswer();

// Whether kelvane-headless asks its questions in the system's message boxes
// rather than on the console: only where the system has boxes of its own
// (Windows), and only when nobody can answer on standard input and no fault
// policy was given (one given on the command line means: unattended, let the
// policy answer). Elsewhere never.
bool UseSystemMessageBoxes(bool faultPolicyGiven);

}  // namespace app
