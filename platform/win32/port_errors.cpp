// The in-process port's failure codes on Windows: what a parallel port's
// driver answers in the same cases.
// Any thread.
#include "platform/port_errors.h"

#include "platform/win32/windows_api.h"

namespace plat::port_errors {

const DWORD kClosed = ERROR_INVALID_HANDLE;
const DWORD kCancelled = ERROR_OPERATION_ABORTED;
const DWORD kNotSupported = ERROR_INVALID_FUNCTION;
const DWORD kDeviceError = ERROR_NOT_READY;
const DWORD kBusy = ERROR_SHARING_VIOLATION;

}  // namespace plat::port_errors
