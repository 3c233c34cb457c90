// kelvane: the desktop spooler. Exit codes: 0 after a normal close or when
// another instance runs (it was brought to the front), 2 when the start
// fails (a command line the spooler does not know).
// Main thread; one helper thread turns SIGINT, SIGTERM and SIGHUP into a
// stop that keeps the queue.
#include <signal.h>

#include <wx/init.h>

#include <thread>

#include "app/shell.h"
#include "app/spooler_state.h"
#include "app/wx/vorn95_app.h"
#include "platform/window_messages.h"

namespace {

// SIGINT, SIGTERM and SIGHUP come from a service manager, a closing
// terminal or Ctrl+C: nobody is there to answer the quit question, and the
// jobs still queued belong to the next start. They stop the spooler with its
// queue kept (WM_SPOOLER_STOP); without SIGHUP here a closing terminal would
// kill us without any close and leave the queue "Processing". Blocked in
// every thread (the mask is set before the toolkit starts its own threads);
// this one takes them with sigwait.
void StartSignalThread(sigset_t signals) {
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

}  // namespace

int main(int argc, char** argv) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  StartSignalThread(signals);

  CVorn95App::SetRawArguments(argc, argv);
  wxApp::SetInstance(new CVorn95App);
  const int loopCode = wxEntry(argc, argv);
  const int startCode = CVorn95App::StartExitCode();
  return startCode >= 0 ? startCode : loopCode;
}
