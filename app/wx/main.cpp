// kelvane: the desktop spooler. Exit codes: 0 after a normal close or when
// another instance runs (it was brought to the front), 2 when the start
// fails (a command line the spooler does not know).
// Main thread.
#include <wx/init.h>

#include "app/wx/vorn95_app.h"

int main(int argc, char** argv) {
  CVorn95App::SetRawArguments(argc, argv);
  wxApp::SetInstance(new CVorn95App);
  const int loopCode = wxEntry(argc, argv);
  const int startCode = CVorn95App::StartExitCode();
  return startCode >= 0 ? startCode : loopCode;
}
