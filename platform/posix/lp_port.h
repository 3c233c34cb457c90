// The Linux printer device (/dev/usb/lp0, /dev/lp0) as a port: a
// non-blocking descriptor whose writes are bounded by the write time-out,
// whose flags come from the LPGETSTATUS ioctl, and whose reads come from the
// back channel where the device has one.
//
// What a returned write means differs by driver. The parallel port driver
// (lp) hands every byte over the cable's handshake before write(2)
// returns, and has no poll method, so poll always says writable. The USB
// printer driver (usblp) returns from a non-blocking write as soon as the
// transfer of its last part (at most 8 KiB) is under way, keeps one such
// transfer in flight, reports POLLOUT once it has ended, and kills a
// transfer still in flight when the descriptor is closed: the end of a
// job could be cut off by the close. So the drain waits for POLLOUT, which
// costs nothing on lp. Neither driver tells a non-blocking writer how the
// last transfer ended; a printer unplugged meanwhile shows as POLLHUP.
// Any thread; one thread at a time per port, except Close.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/polled_port.h"

namespace plat {

// Status bits of LPGETSTATUS (the parallel port's status lines).
inline constexpr int kLpStatusError = 0x08;     // LP_PERRORP: high = no error
inline constexpr int kLpStatusSelected = 0x10;  // LP_PSELECD
inline constexpr int kLpStatusPaperOut = 0x20;  // LP_POUTPA

// The error flags a status byte stands for. A printer out of paper or
// offline also pulls its error line, so one cause is reported: paper out
// before not selected before the bare error line.
DWORD LpStatusToCommErrors(int status);

class LpPort final : public PolledPort {
 public:
  // Takes ownership of `fd` (made non-blocking here).
  explicit LpPort(int fd);
  ~LpPort() override;

  bool Write(const void* data, DWORD size, DWORD* written) override;
  bool Read(void* buffer, DWORD size, DWORD* read) override;
  bool ClearCommError(DWORD& errors) override;
  // Sending while the last write's transfer is in flight, `unconfirmed`
  // then counting at most that write's bytes; Lost when the device went
  // away after it was given bytes.
  bool QueryDelivery(PortDelivery& delivery) override;
  // Waits up to `waitMs` for the last transfer to end (POLLOUT).
  bool Drain(DWORD waitMs, PortDelivery& delivery) override;

 private:
  // Raises the flags for a failed write; true when the device is gone.
  void RaiseForError(int error);

  // What poll says of the device within `ms`, as a delivery state.
  PortDelivery Look(DWORD ms);

  const int fd_;
  // Bytes the last write(2) took, and whether any did: the thread that
  // uses the port only.
  DWORD lastWrite_ = 0;
  bool wrote_ = false;
  std::atomic<bool> gone_{false};
  std::atomic<bool> noBackChannel_{false};
};

// Opens a printer character device with no sharing.
std::shared_ptr<PortDevice> OpenLpPort(const std::string& path, DWORD& error);

}  // namespace plat
