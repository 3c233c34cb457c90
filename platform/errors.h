// One vocabulary for failures, shared by files, ports and the queue.
//
// The thread's last error (GetLastError) is the platform's own number; the
// layers above never compare it with a platform constant. They ask which
// class a failure belongs to, or compare it with the few named codes below,
// so that a second platform only has to supply these numbers and the sorting.
// Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat {

enum class ErrorClass {
  None,              // no failure (0)
  NotFound,          // the file or folder does not exist
  SharingViolation,  // someone else holds it, or the device is busy
  Transient,         // cut short or short of resources: trying again may work
  PrinterState,      // the printer refuses for now (paper, offline, time-out)
  Fatal,             // will not get better by trying again
};

ErrorClass ClassifyError(DWORD error);

// Refused for lack of rights: the file, its folder or the disk is not ours
// to write (read-only media included).
bool IsAccessDenied(DWORD error);

// Refused because the name is not a plain file: a folder, a pipe, a device.
bool IsNotAFile(DWORD error);

// Named codes for the failures the engine and the queue set or single out.
extern const DWORD kErrorNotFound;
extern const DWORD kErrorInvalidParameter;
extern const DWORD kErrorInsufficientBuffer;
extern const DWORD kErrorTimedOut;
// A call the object does not take (not a port, a control code it does not
// know); and a call given no place for what it reads or fills.
extern const DWORD kErrorUnsupportedCall;
extern const DWORD kErrorNullArgument;

}  // namespace plat
