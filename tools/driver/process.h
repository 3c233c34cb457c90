// What the driver needs of the operating system's processes: where its own
// program lives, whether a file is a program, and the start of a spooler
// that outlives us. One body per operating system (process_posix.cpp,
// process_win32.cpp).
// Driver process, main thread.
#pragma once

#include <string>
#include <vector>

#include "platform/win_types.h"

namespace driver {

// The folder of the running program; "" when the system does not say.
std::string ProgramDirectory();

// Whether `path` names a file we may start.
bool IsExecutable(const std::string& path);

// The file name of program `base` on this system ("kelvane-headless" or
// "kelvane-headless.exe").
std::string ExecutableName(const std::string& base);

// The separator of the PATH list (':' or ';').
char PathListSeparator();

// Starts `program` with `args` (the program's name not included), detached
// from us: its own session or process group, no console of ours, none of
// our handles, standard input empty, standard output and error appended to
// `logPath`. We do not wait for it. False when it could not be started.
bool StartDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& logPath);

// Whether this system has the simulated printer's "sim:" sockets, which a
// fresh install maps LPT1: to (elsewhere LPT1: stays the system's device).
bool HasSimPorts();

// The calling process's id (names the unfinished spool files).
unsigned long CurrentProcessId();

// Text for an error of the platform's files layer (plat::GetLastError()).
std::string DescribeError(DWORD error);

}  // namespace driver
