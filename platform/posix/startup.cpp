// The start-up's system pieces on POSIX (see platform/startup.h): the stop
// signals are blocked in every thread and one thread takes them with
// sigwait; the main window is the process id.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <utility>

#include "platform/startup.h"
#include "platform/window_messages.h"

namespace plat {
namespace {

// Wakes a joined thread for its end; told from someone else's SIGUSR2 by
// the stopping flag.
constexpr int kWakeSignal = SIGUSR2;

}  // namespace

struct StopSignals::State {
  sigset_t signals;
  Life life = Life::kJoined;
  std::thread thread;
  std::atomic<bool> stopping{false};
};

StopSignals::StopSignals() : state_(std::make_unique<State>()) {
  sigemptyset(&state_->signals);
}

StopSignals::~StopSignals() { Stop(); }

void StopSignals::Take(Life life) {
  state_->life = life;
  sigset_t& signals = state_->signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Without it a closing terminal would kill us without any close and leave
  // the queue marked "Processing": the next start's recovery would then
  // delete the jobs still queued.
  sigaddset(&signals, SIGHUP);
  // Only a thread that is joined needs to be woken; the desktop leaves
  // SIGUSR2 as it finds it.
  if (life == Life::kJoined) sigaddset(&signals, kWakeSignal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void StopSignals::Start(Target target) {
  State* state = state_.get();
  const sigset_t signals = state->signals;
  // A thread for the whole process may outlive this object, so it keeps no
  // pointer into it; it never sees the wake signal, which is not in its set.
  std::atomic<bool>* stopping = state->life == Life::kJoined ? &state->stopping : nullptr;
  std::thread thread([stopping, signals, target = std::move(target)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) return;
      if (signal == kWakeSignal) {
        if (stopping && stopping->load()) return;
        continue;  // someone else's SIGUSR2 means nothing to us
      }
      const HWND window = target();
      if (window != 0) PostMessage(window, WM_SPOOLER_STOP, 0, 0);
    }
  });
  if (state->life == Life::kWholeProcess) {
    thread.detach();
    return;
  }
  state->thread = std::move(thread);
}

void StopSignals::Stop() {
  State* state = state_.get();
  if (!state || !state->thread.joinable()) return;
  state->stopping.store(true);
  pthread_kill(state->thread.native_handle(), kWakeSignal);
  state->thread.join();
}

HWND MainWindowHandle() { return static_cast<HWND>(::getpid()); }

MainWindowTimer* SystemTimerOfMainWindow() { return nullptr; }

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

bool StandardInputCanAnswer() {
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) != 0) return false;
  if (::isatty(STDIN_FILENO)) return true;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

}  // namespace plat
