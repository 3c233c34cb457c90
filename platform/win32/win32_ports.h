// The Windows port devices behind plat::OpenPort: a device the system
// opens by name (LPT1:, COM1, a share), a plain file that receives the
// data, and a raw TCP printer over Winsock. Kept free of the system's
// headers, so only the bodies see <windows.h>.
// Any thread; one thread at a time per device, except Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/port_device.h"

namespace plat {

// Bound on one write when no write time-out is set, as on a network share
// that gets no port settings: the write time-out the engine gives its other
// ports. The engine measures its own transmission time-out across calls, so
// a longer wait per call would only delay Cancel Print.
inline constexpr DWORD kUnsetWriteWaitMs = 110;
inline constexpr DWORD kSocketConnectTimeoutMs = 2000;

// The port settings and raised flags of a device whose time-outs we apply
// ourselves (a file, a socket), where the system has no such settings.
class SelfTimedPort : public PortDevice {
 public:
  bool SetCommMask(DWORD mask) override;
  bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override;
  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  // The cancel code is accepted and does nothing: we buffer nothing.
  bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                       DWORD* returned) override;
  bool ClearCommError(DWORD& errors) override;

 protected:
  // Milliseconds a write of `size` bytes may take (kUnsetWriteWaitMs when
  // no write time-out is set); how long a read waits for data (0: no wait).
  DWORD WriteLimitMs(DWORD size) const;
  DWORD ReadLimitMs() const;
  // Flags that the device raised itself, reported and cleared by the next
  // query.
  void Raise(DWORD flags) { pending_.fetch_or(flags); }
  DWORD TakePending() { return pending_.exchange(0); }

 private:
  std::atomic<DWORD> pending_{0};
  mutable std::mutex mutex_;  // guards mask_ and timeouts_
  DWORD mask_ = 0;
  COMMTIMEOUTS timeouts_;
};

// A device the system opens by name, with no sharing; every port call goes
// to the system. The system's handle is closed when the last user lets go.
std::shared_ptr<PortDevice> OpenDevicePort(const std::string& name, DWORD& error);

// A plain file opened with no sharing that receives the data at its end;
// a missing file is created only when `mayCreate`.
std::shared_ptr<PortDevice> OpenFilePort(const std::string& path, bool mayCreate,
                                         DWORD& error);

// A raw TCP printer. The open fails only when the host does not resolve; a
// printer that refuses or does not answer within `connectTimeoutMs` gives a
// port that reports CE_IOE and connects again at the next write.
std::shared_ptr<PortDevice> OpenSocketPort(const std::string& host, std::uint16_t port,
                                           DWORD& error,
                                           DWORD connectTimeoutMs = kSocketConnectTimeoutMs);

}  // namespace plat
