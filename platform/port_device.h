// Printer ports. A port is opened by name with no sharing and then used
// through the handle table like a file (plat::ReadFile / plat::WriteFile)
// plus the communications calls below.
//
// What a port device must give the engine:
//   - Write: a write the printer does not take within the write total
//     time-out returns false with *written = the bytes it did move; with no
//     time-out set (a network share) the device bounds the call itself
//     (kUnsetWriteWaitMs), so that no write waits for long;
//   - Read: with the read total time-out set, a read that finds nothing
//     returns true with *read = 0;
//   - ClearCommError: the error flags (CE_BREAK, CE_IOE, CE_DNS, CE_OOP)
//     raised since the last query, cleared by the query;
//   - Close from another thread while a write waits ends the write.
//
// Port names: "LPT1:", "LPT1", a share "\\host\name", or a path; resolved
// through the [ports] section of win.ini (see port_names.h).
// Any thread; one thread at a time per handle, except Close.
#pragma once

#include <memory>
#include <string>

#include "platform/files.h"
#include "platform/win_types.h"

namespace plat {

// The device I/O control the runner issues on a cancelled job: it asks the
// port driver to drop what it still buffers for the job. Its outcome is
// never looked at; a device with nothing to drop answers success.
inline constexpr DWORD kCancelJobIoControl = 7;

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

class PortDevice : public HandleObject {
 public:
  virtual bool SetCommMask(DWORD mask) = 0;
  virtual bool GetCommTimeouts(COMMTIMEOUTS& timeouts) = 0;
  virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  virtual bool ClearCommError(DWORD& errors) = 0;
  virtual bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                               DWORD* returned) = 0;
};

// Opens the port `name` with no sharing. INVALID_HANDLE_VALUE with the last
// error set when it cannot be opened.
HANDLE OpenPort(const std::string& name);

bool SetCommMask(HANDLE port, DWORD mask);
bool GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
bool SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
bool ClearCommError(HANDLE port, DWORD* errors);
bool DeviceIoControl(HANDLE port, DWORD code, void* out, DWORD outSize,
                     DWORD* returned);

// Tests replace how names become devices (e.g. an in-process printer).
class PortOpener {
 public:
  virtual ~PortOpener() = default;
  // nullptr with `error` set when the name does not open.
  virtual std::shared_ptr<PortDevice> Open(const std::string& name,
                                           DWORD& error) = 0;
};
// nullptr restores the real resolution.
void SetPortOpener(PortOpener* opener);

}  // namespace plat
