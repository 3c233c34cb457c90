// The Linux printer device (/dev/usb/lp0, /dev/lp0) as a port: a
// non-blocking descriptor whose writes are bounded by the write time-out,
// whose flags come from the LPGETSTATUS ioctl, and whose reads come from the
// back channel where the device has one.
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

 private:
  // Raises the flags for a failed write; true when the device is gone.
  void RaiseForError(int error);

  const int fd_;
  std::atomic<bool> gone_{false};
  std::atomic<bool> noBackChannel_{false};
};

// Opens a printer character device with no sharing.
std::shared_ptr<PortDevice> OpenLpPort(const std::string& path, DWORD& error);

}  // namespace plat
