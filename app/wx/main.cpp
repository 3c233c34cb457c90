// kelvane: the desktop spooler. Exit codes: 0 after a normal close or when
// another instance runs (it was brought to the front), 2 when the start
// fails (a command line the spooler does not know).
// Main thread; one helper thread turns SIGINT and SIGTERM into a close.
#include <signal.h>

#include <wx/init.h>

#include <thread>

#include "app/spooler_state.h"
#include "app/wx/vorn95_app.h"
#include "platform/window_messages.h"

namespace {

// SIGINT and SIGTERM close the spooler as the window's close box would:
// through the quit question and the document close. Blocked in every
// thread (the mask is set before the toolkit starts its own threads); this
// one takes them with sigwait and posts WM_CLOSE to the main window.
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
      plat::PostMessage(mainWnd, WM_CLOSE, 0, 0);
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  StartSignalThread(signals);

  CVorn95App::SetRawArguments(argc, argv);
  wxApp::SetInstance(new CVorn95App);
  const int loopCode = wxEntry(argc, argv);
  const int startCode = CVorn95App::StartExitCode();
  return startCode >= 0 ? startCode : loopCode;
}
