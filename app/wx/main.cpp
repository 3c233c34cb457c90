// kelvane: the desktop spooler. Exit codes: 0 after a normal close or when
// another instance runs (it was brought to the front), 2 when the start
// fails (a command line the spooler does not know).
// Main thread; one helper thread turns SIGINT, SIGTERM and SIGHUP into a
// stop that keeps the queue.
#include <wx/init.h>

#include "app/shell/startup.h"
#include "app/wx/vorn95_app.h"

int main(int argc, char** argv) {
  // Before the toolkit starts its own threads, so that they inherit the
  // blocked signals.
  app::TakeStopSignalsUntilExit();

  CVorn95App::SetRawArguments(argc, argv);
  wxApp::SetInstance(new CVorn95App);
  const int loopCode = wxEntry(argc, argv);
  const int startCode = CVorn95App::StartExitCode();
  return startCode >= 0 ? startCode : loopCode;
}
