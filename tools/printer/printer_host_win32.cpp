// kelvane-printer's system calls on Windows: no Unix sockets (the printer
// is served on TCP), the console's events as the stop request.
// Main thread; OnControl runs on the thread the system starts for a console
// event and only calls `stop`.
#include "tools/printer/printer_host.h"

#include <cstdio>

#include "platform/win32/windows_api.h"

namespace printer_host {
namespace {

void (*g_stop)() = nullptr;

BOOL WINAPI OnControl(W32_DWORD) {
  if (!g_stop) return FALSE;
  g_stop();
  // Handled: Run() returns and main ends the program in order.
  return TRUE;
}

}  // namespace

bool HasSimSockets() { return false; }

void RestrictNewFiles() {}

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

int RunControl(const std::string&, const std::vector<std::string>&) {
  std::fputs("kelvane-printer: Windows has no sim: sockets; a --tcp printer takes commands "
             "on its --control-port: ctl tcp:127.0.0.1:PORT COMMAND\n",
             stderr);
  return 2;
}

int ServeSimSocket(vprinter::VirtualPrinter&, const std::string&, const std::string&,
                   const vprinter::VirtualPrinter::LogSink&) {
  std::fputs("kelvane-printer: Windows has no sim: sockets; serve on --tcp PORT\n", stderr);
  return 2;
}

}  // namespace printer_host
