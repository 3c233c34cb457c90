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
//   - Close from another thread while a write waits ends the write;
//   - Drain and QueryDelivery: what the printer has taken of what was
//     written (see DrainPort); a device that buffers (a socket, a USB
//     printer driver) must not call bytes delivered that it only holds;
//   - DeviceIoControl(kCancelJobIoControl): drop what the device still
//     holds of the job (a socket's close then resets the connection rather
//     than let the kernel send the rest after the job was given up).
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

// What became of the bytes written to a port, as far as the device can
// tell. A write that returns has only handed its bytes on: a socket or a
// USB printer driver may still hold them, and a printer that drops the
// connection loses what it had not taken.
enum class DeliveryState {
  // Some of the bytes are still on their way (or the device cannot tell
  // yet whether the printer took them).
  Sending,
  // The printer has acknowledged every byte but has not ended its side of
  // the connection: it took them, but may still be working on them.
  Acknowledged,
  // The printer has every byte: it acknowledged them all and closed its
  // side, or the device hands each byte to the printer before the write
  // returns (a parallel port, a file).
  Delivered,
  // The connection that carried bytes of this stream broke (a reset, a
  // printer that went away): what the printer had not taken is gone, and
  // a new connection would be a new job to the printer. Stays so until the
  // port is closed.
  Lost,
};

struct PortDelivery {
  DeliveryState state = DeliveryState::Delivered;
  // Whether `unconfirmed` is known. Where the system cannot tell (no such
  // count for the device), progress counts what the writes moved.
  bool counted = false;
  // Bytes written that the printer has not acknowledged yet; at most that
  // many where the device only knows which write is still on its way (a
  // USB printer: part of the last write).
  DWORD unconfirmed = 0;
};

class PortDevice : public HandleObject {
 public:
  virtual bool SetCommMask(DWORD mask) = 0;
  virtual bool GetCommTimeouts(COMMTIMEOUTS& timeouts) = 0;
  virtual bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  virtual bool ClearCommError(DWORD& errors) = 0;
  virtual bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                               DWORD* returned) = 0;
  // See QueryPortDelivery and DrainPort. A device whose writes reach the
  // printer before they return keeps these: Delivered, nothing unconfirmed.
  virtual bool QueryDelivery(PortDelivery& delivery);
  virtual bool Drain(DWORD waitMs, PortDelivery& delivery);
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

// How far the printer has taken what was written, without ending anything:
// the progress a page shows, and after a failed write whether the stream
// can go on (Lost: it cannot). Returns at once. False (with the last error)
// only for a handle that is no port.
bool QueryPortDelivery(HANDLE port, PortDelivery* delivery);

// The job's bytes are all written: the first call ends the stream where the
// device has one to end (a TCP half-close: the printer reads to the end and
// closes its side), and every call waits at most `waitMs` for the printer
// to take what is still on its way, then says how far it got (a file's
// sync to disk is the exception: it takes as long as the disk does). The
// caller loops, applying its own time-outs and stop request between calls:
//   Delivered     the printer has every byte; the job is printed;
//   Acknowledged  every byte acknowledged, the printer keeps its side open
//                 (the caller decides how long that may last); a device
//                 that cannot count acknowledgements (Winsock before
//                 Windows 10 1703, Wine) says Sending until the close;
//   Sending       not yet (the count, where known, says how much is left);
//   Lost          the printer dropped the connection first (CE_IOE raised,
//                 the last error says why).
// Reads what the printer says meanwhile and drops it. No write may follow
// on the handle. False only for a handle that is no port.
bool DrainPort(HANDLE port, DWORD waitMs, PortDelivery* delivery);

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
