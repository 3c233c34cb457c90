// The thread's last error on Windows is the system's own (Win32 codes), so
// a failure our layer reports and one the system reports read alike; and
// the sorting of those codes into the classes the engine and queue know;
// the codes the portable half of the files layer sets
// (platform/common/files_shared.h) are here too.
// Any thread.
#include "platform/errors.h"

#include "platform/common/files_shared.h"
#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace plat {

static_assert(ERROR_SHARING_VIOLATION_CODE == ERROR_SHARING_VIOLATION);

DWORD GetLastError() { return static_cast<DWORD>(::GetLastError()); }
void SetLastError(DWORD error) { ::SetLastError(static_cast<W32_DWORD>(error)); }

const DWORD kErrorNotFound = ERROR_FILE_NOT_FOUND;
const DWORD kErrorInvalidParameter = ERROR_INVALID_PARAMETER;
const DWORD kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;
const DWORD kErrorTimedOut = WAIT_TIMEOUT;
const DWORD kErrorUnsupportedCall = ERROR_INVALID_FUNCTION;
const DWORD kErrorNullArgument = ERROR_INVALID_PARAMETER;
const DWORD kErrorBadHandle = ERROR_INVALID_HANDLE;
const DWORD kErrorBadAddress = ERROR_NOACCESS;
const DWORD kErrorDiskFull = ERROR_DISK_FULL;

ErrorClass ClassifyError(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return ErrorClass::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ErrorClass::NotFound;
    case ERROR_SHARING_VIOLATION:  // another opener's hold
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:               // a device another process has open
      return ErrorClass::SharingViolation;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_OPERATION_ABORTED:  // an I/O cut short by a cancel
      return ErrorClass::Transient;
    case ERROR_NOT_READY:          // printer offline or deselected
    case ERROR_OUT_OF_PAPER:
    case ERROR_WRITE_FAULT:
    case ERROR_SEM_TIMEOUT:        // a port's write time-out ran out
    case WAIT_TIMEOUT:
      return ErrorClass::PrinterState;
    default:
      // ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_DEVICE_NOT_CONNECTED,
      // ERROR_BAD_FILE_TYPE, ...
      return ErrorClass::Fatal;
  }
}

bool IsAccessDenied(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
}

// OpenFile refuses a device or pipe with ERROR_BAD_FILE_TYPE and a folder
// with ERROR_DIRECTORY.
bool IsNotAFile(DWORD error) { return error == ERROR_BAD_FILE_TYPE || error == ERROR_DIRECTORY; }

}  // namespace plat
