// The control client of a simulated printer served on a Unix socket: one
// command line to PATH.ctl, the answer read until the printer closes the
// connection. Only where the system has "sim:" sockets (plat::kHasSimPorts);
// elsewhere the call is refused. Bodies: platform/posix/sim_control.cpp,
// platform/win32/sim_control.cpp.
// Any thread; each call makes its own connection.
#pragma once

#include <string>

namespace plat {

enum class SimControlResult {
  Answered,    // `answer` holds what the printer said
  BadAddress,  // the control socket cannot be named here (too long, none)
  Failed,      // no connection, or the line could not be sent
};

// Sends `line` (ending in a newline) to the control socket `controlPath`
// and reads the answer; waits at most five seconds for each. `error` says
// why when the result is not Answered.
SimControlResult SendSimControl(const std::string& controlPath, const std::string& line,
                                std::string& answer, std::string& error);

}  // namespace plat
