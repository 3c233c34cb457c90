// The thread's last error on POSIX systems, in errno numbers, and the
// sorting of those numbers into the classes the engine and the queue know
// (platform/errors.h); the codes the portable half of the files layer sets
// (platform/common/files_shared.h) are here too.
// Any thread; the last error is the calling thread's own.
#include "platform/errors.h"

#include <cerrno>

#include "platform/common/files_shared.h"
#include "platform/files.h"

namespace plat {
namespace {

thread_local DWORD t_lastError = 0;

}  // namespace

static_assert(ERROR_SHARING_VIOLATION_CODE == EBUSY);

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

const DWORD kErrorNotFound = ENOENT;
const DWORD kErrorInvalidParameter = EINVAL;
const DWORD kErrorInsufficientBuffer = ENOBUFS;
const DWORD kErrorTimedOut = ETIMEDOUT;
const DWORD kErrorUnsupportedCall = ENOTTY;
const DWORD kErrorNullArgument = EFAULT;
const DWORD kErrorBadHandle = EBADF;
const DWORD kErrorBadAddress = EFAULT;
const DWORD kErrorDiskFull = ENOSPC;

ErrorClass ClassifyError(DWORD error) {
  switch (error) {
    case 0:
      return ErrorClass::None;
    case ENOENT:
      return ErrorClass::NotFound;
    case EBUSY:  // a refused flock, or a device another process has open
      return ErrorClass::SharingViolation;
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return ErrorClass::Transient;
    case ENOSPC:     // the printer drivers' "out of paper"
    case EIO:        // a status line says no; the status query tells which
    case ETIMEDOUT:  // the printer did not take data within the time-out
      return ErrorClass::PrinterState;
    default:
      // ENODEV, ENXIO (unplugged), EPIPE, ECONNRESET, EBADF, EACCES, ...
      return ErrorClass::Fatal;
  }
}

bool IsAccessDenied(DWORD error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// What OpenFile sets when it refuses something that is not a regular file.
bool IsNotAFile(DWORD error) { return error == EISDIR || error == ENODEV; }

}  // namespace plat
