// The desktop spooler's stop signals (see stop_signals.h).
#include "app/wx/stop_signals.h"

#include <signal.h>

#include <thread>

#include "app/shell.h"
#include "app/spooler_state.h"
#include "platform/window_messages.h"

namespace kwx {

void TakeStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  // Without it a closing terminal would kill us without any close and leave
  // the queue marked "Processing": the next start's recovery would then
  // delete the jobs still queued.
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Detached: it waits for the next signal until the process ends. A signal
  // before the main window exists, or after it has gone, reaches nobody.
  std::thread([signals] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0) return;
      HWND mainWnd;
      {
        SpoolerLock lock;
        mainWnd = g_hMainWnd;
      }
      plat::PostMessage(mainWnd, WM_SPOOLER_STOP, 0, 0);
    }
  }).detach();
}

}  // namespace kwx
