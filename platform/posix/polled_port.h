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
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/port_device.h"

namespace plat {

// Bound on one write when no write time-out is set, as on a network share,
// which gets no port settings: the write time-out the engine gives its other
// ports. The engine tests its stop request after every write call and
// measures its own transmission time-out across calls, so a longer wait per
// call only delays Cancel Print and the close; the printer loses nothing,
// since the unsent rest is written again.
inline constexpr DWORD kUnsetWriteWaitMs = 110;

// Milliseconds since `start` on the monotonic clock, for the devices that
// bound their own calls.
inline DWORD ElapsedSince(std::chrono::steady_clock::time_point start) {
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count());
}

// The errno classes every device sorts its failures into.
enum class ErrnoClass {
  Retry,         // EINTR, EAGAIN: try again (within the time-out)
  PrinterState,  // the printer refuses for now (paper, offline, error line)
  Fatal,         // the device is gone or the connection broken
};
ErrnoClass ClassifyErrno(int error);

class PolledPort : public PortDevice {
 public:
  ~PolledPort() override;

  bool SetCommMask(DWORD mask) override;
  bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override;
  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  // Code 7 is accepted and does nothing; the engine ignores its outcome.
  bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                       DWORD* returned) override;
  void Close() override;
  bool closed() const { return closed_.load(); }

 protected:
  PolledPort();
  bool Ready() const { return wake_ >= 0; }

  // Milliseconds a write of `size` bytes may take; a read's limit (0: do
  // not wait for data that is not there yet).
  DWORD WriteLimitMs(DWORD size) const;
  DWORD ReadLimitMs() const;

  // Waits until `fd` reports one of `events` or `ms` pass. 1 ready (revents
  // in *revents), 0 time-out, -1 closed (errno EBADF) or poll failed.
  int WaitFor(int fd, short events, DWORD ms, short* revents = nullptr);
  // Waits `ms` unless Close() comes first; false when closed.
  bool Sleep(DWORD ms);
  // Flags that the device raised itself, reported by the next query.
  void Raise(DWORD flags) { pending_.fetch_or(flags); }
  DWORD TakePending() { return pending_.exchange(0); }
  // Extra work when the handle is closed (sockets shut down).
  virtual void OnClose() {}

 private:
  int wake_ = -1;  // eventfd signalled by Close()
  std::atomic<bool> closed_{false};
  std::atomic<DWORD> pending_{0};
  mutable std::mutex mutex_;  // guards mask_ and timeouts_
  DWORD mask_ = 0;
  COMMTIMEOUTS timeouts_;
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
