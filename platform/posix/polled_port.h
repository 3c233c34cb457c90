// The port devices behind plat::OpenPort: a plain file that receives the
// data, a Linux printer character device, and a raw TCP printer. Each opens
// with no sharing (a second open of the same device fails with EBUSY, in
// this process or another).
//
// Descriptor-based devices share PolledPort: every wait is a poll(2) on the
// descriptor and on an eventfd that Close() signals, so a write that waits
// for a printer ends as soon as another thread closes the handle. The
// descriptor itself is closed only when the last user lets go of the object
// (the handle table keeps it alive while a call runs).
// Any thread; one thread at a time per device, except Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/common/port_dispatch.h"
#include "platform/port_device.h"

namespace plat {

// The errno classes every device sorts its failures into.
enum class ErrnoClass {
  Retry,         // EINTR, EAGAIN: try again (within the time-out)
  PrinterState,  // the printer refuses for now (paper, offline, error line)
  Fatal,         // the device is gone or the connection broken
};
ErrnoClass ClassifyErrno(int error);

class PolledPort : public SettingsPort {
 public:
  ~PolledPort() override;

  void Close() override;
  bool closed() const { return closed_.load(); }

 protected:
  PolledPort();
  bool Ready() const { return wake_ >= 0; }

  // Waits until `fd` reports one of `events` or `ms` pass. 1 ready (revents
  // in *revents), 0 time-out, -1 closed (errno EBADF) or poll failed.
  int WaitFor(int fd, short events, DWORD ms, short* revents = nullptr);
  // Waits `ms` unless Close() comes first; false when closed.
  bool Sleep(DWORD ms);
  // Extra work when the handle is closed (sockets shut down).
  virtual void OnClose() {}

 private:
  int wake_ = -1;  // eventfd signalled by Close()
  std::atomic<bool> closed_{false};
};

// `path` is a printer character device (lp_port.h) or a plain file
// (file_port.h);
// a missing plain file is created only when `mayCreate`.
std::shared_ptr<PortDevice> OpenPathPort(const std::string& path,
                                         bool mayCreate, DWORD& error);

// Takes an exclusive non-blocking flock on `fd`: false with `error` EBUSY
// when someone else holds the device.
bool ClaimDescriptor(int fd, DWORD& error);

}  // namespace plat
