// The failure codes the in-process port sets, in the platform's own numbers
// (errno values on POSIX, Win32 error codes on Windows), so that the engine
// sorts them with plat::ClassifyError as it sorts a real port's. One body
// per operating system (platform/posix/port_errors.cpp,
// platform/win32/port_errors.cpp). A
// time-out and a name that is not there are the platform's own
// (plat::kErrorTimedOut, plat::kErrorNotFound).
// Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat::port_errors {

extern const DWORD kClosed;        // the handle was closed
extern const DWORD kCancelled;     // closed while the call waited
extern const DWORD kNotSupported;  // an I/O control the port does not know
extern const DWORD kDeviceError;   // an open refused by the test's script
extern const DWORD kBusy;          // the port is open already

}  // namespace plat::port_errors
