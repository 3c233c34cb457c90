// The start-up's system pieces on Windows (see platform/startup.h): the stop
// requests, standard input and the main window. The console's control events (Ctrl+C, Ctrl+Break, its window
// closing, log-off, shut-down) arrive on a thread of the system's, which
// posts WM_SPOOLER_STOP to the main window; the end of the session reaches
// a program with windows through its window instead, and is taken the same
// way. The main window is the spooler window of platform/spooler_window.h.
// The console handler and the session's end: the system's threads; the
// rest as startup.h says.
#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/spooler_window.h"
#include "platform/startup.h"
#include "platform/window_messages.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// What the system's threads need; a console handler carries no pointer of
// its own. Never destroyed: an event may come while the process ends.
struct StopTarget {
  std::mutex mutex;  // protects the fields below
  std::condition_variable over;
  bool started = false;  // Start has named the window
  bool pending = false;  // an event came before that: posted at Start
  bool done = false;     // the joined spooler has stopped (Stop)
  StopSignals::Target target;  // where a stop goes, asked when one comes
};

StopTarget& SharedStopTarget() {
  static StopTarget* target = new StopTarget;
  return *target;
}

// Straight to the window sink: at the session's end the main window's own
// thread is the one waiting for the stop, and would never pass it on.
void PostStop(const StopSignals::Target& target) {
  const HWND window = target ? target() : 0;
  if (window != 0) PostToWindowSink(window, WM_SPOOLER_STOP, 0, 0);
}

// Posts the stop; with `untilOver`, returns only once the spooler has
// stopped: the system ends the process as soon as we return (or after its
// own time-out), and the queue must not be left "Processing".
void StopFromOutside(bool untilOver) {
  StopTarget& target = SharedStopTarget();
  std::unique_lock<std::mutex> lock(target.mutex);
  if (!target.started) {
    target.pending = true;
    return;
  }
  const StopSignals::Target where = target.target;
  lock.unlock();
  PostStop(where);
  if (!untilOver) return;
  lock.lock();
  target.over.wait(lock, [&target] { return target.done; });
}

BOOL WINAPI OnConsoleEvent(W32_DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      StopFromOutside(false);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      StopFromOutside(true);
      return TRUE;
    default:
      return FALSE;
  }
}

class SpoolerWindowTimer final : public MainWindowTimer {
 public:
  bool Set(DWORD intervalMs) override { return SetSpoolerWindowTimer(intervalMs); }
  void Kill() override { KillSpoolerWindowTimer(); }
};

}  // namespace

struct StopSignals::State {
  Life life = Life::kJoined;
  bool took = false;
};

StopSignals::StopSignals() : state_(std::make_unique<State>()) {}

StopSignals::~StopSignals() { Stop(); }

void StopSignals::Take(Life life) {
  state_->life = life;
  if (state_->took) return;
  {
    StopTarget& target = SharedStopTarget();
    std::lock_guard<std::mutex> lock(target.mutex);
    target.started = false;
    target.pending = false;
    target.done = false;
  }
  // From now on the events are ours; until Start names the window they are
  // remembered, as blocked signals wait on POSIX.
  state_->took = ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != FALSE;
}

void StopSignals::Start(Target where) {
  bool pending = false;
  {
    StopTarget& target = SharedStopTarget();
    std::lock_guard<std::mutex> lock(target.mutex);
    target.target = where;
    target.started = true;
    target.done = false;
    pending = target.pending;
    target.pending = false;
  }
  SetSessionEndHandler([] { StopFromOutside(true); });
  if (pending) PostStop(where);
}

void StopSignals::Stop() {
  State* state = state_.get();
  if (!state || !state->took || state->life != Life::kJoined) return;
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  SetSessionEndHandler(nullptr);
  {
    StopTarget& target = SharedStopTarget();
    std::lock_guard<std::mutex> lock(target.mutex);
    target.started = false;
    target.done = true;
  }
  SharedStopTarget().over.notify_all();
  state->took = false;
}

HWND MainWindowHandle() { return OpenSpoolerWindow(); }

MainWindowTimer* SystemTimerOfMainWindow() {
  static SpoolerWindowTimer timer;
  return &timer;
}

// Nothing to do: Windows has no signal for a reader that went away; the
// write fails with an error code, which is all we want.
void IgnoreBrokenPipes() {}

bool StandardInputCanAnswer() {
  W32_HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == w32::InvalidHandle()) return false;
  switch (::GetFileType(in)) {
    case FILE_TYPE_PIPE:
      return true;
    case FILE_TYPE_CHAR: {
      // NUL is a character device as well; only a console has a mode.
      W32_DWORD mode = 0;
      return ::GetConsoleMode(in, &mode) != FALSE;
    }
    default:
      return false;  // a file, or nothing
  }
}

}  // namespace plat
