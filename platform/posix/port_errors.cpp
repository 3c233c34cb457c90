// The in-process port's failure codes on POSIX systems: errno values.
// Any thread.
#include "platform/port_errors.h"

#include <cerrno>

namespace plat::port_errors {

const DWORD kClosed = EBADF;
const DWORD kCancelled = ECANCELED;
const DWORD kNotSupported = ENOTTY;
const DWORD kDeviceError = EIO;
const DWORD kBusy = EBUSY;

}  // namespace plat::port_errors
