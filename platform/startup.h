// What a spooler's start-up needs of the system: the stop requests that
// come from outside (signals on POSIX; the console's control events and the
// session's end on Windows), the handle the main window goes by and its
// timer, broken pipes, and whether someone may answer on standard input.
// Main thread, before the main loop runs, unless a function says otherwise.
#pragma once

#include <functional>
#include <memory>

#include "platform/win_types.h"

namespace plat {

// SIGINT, SIGTERM and SIGHUP (or what the system has for them) come from a
// service manager, a closing terminal or Ctrl+C: nobody is there to answer
// the quit question, and the jobs still queued belong to the next start. A
// thread of their own takes them and posts WM_SPOOLER_STOP to the main
// window, which stops the spooler with its queue kept.
// Take() must run before any other thread exists, so that every thread
// started afterwards leaves the signals to this one.
class StopSignals {
 public:
  // The window a stop goes to, asked each time one comes (on the signals'
  // thread, or a thread of the system's); a window of 0 reaches nobody.
  using Target = std::function<HWND()>;

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
  // Starts the thread that turns the signals into posts to `target`'s window.
  void Start(Target target);
  // Ends and joins a kJoined thread; nothing for kWholeProcess.
  void Stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

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

}  // namespace plat
