// What kelvane-printer needs of the operating system around the printer:
// the "sim:" server on a Unix socket and its control client (POSIX only;
// the TCP printer and its control port are in tools/vprinter/tcp_server.h),
// the stop request (signals, or the console's events on Windows), and the
// mode of the files it creates. One body per operating system
// (printer_host_posix.cpp, printer_host_win32.cpp).
// The program's main thread; the stop handler runs where the system calls it.
#pragma once

#include <string>
#include <vector>

#include "tools/vprinter/virtual_printer.h"

namespace printer_host {

// Whether this system has "sim:" sockets (and ctl SOCKET).
bool HasSimSockets();

// Makes the files we create our user's alone, where modes exist.
void RestrictNewFiles();

// Calls `stop` on Ctrl+C and a termination request. `stop` must only set a
// flag or write to a pipe.
void OnStopRequest(void (*stop)());

// Sends one control line to SOCKET.ctl and prints the answer; the exit code.
int RunControl(const std::string& socketPath, const std::vector<std::string>& words);

// Serves `printer` on the Unix socket `socketPath` (with `script` loaded)
// until a stop request; the exit code.
int ServeSimSocket(vprinter::VirtualPrinter& printer, const std::string& socketPath,
                   const std::string& script, const vprinter::VirtualPrinter::LogSink& log);

}  // namespace printer_host
