// What the port bodies of each system share with the portable half of the
// port layer (platform/common/port_device.cpp): the settings every device
// that times itself keeps, the wrapper that holds a device together with
// its no-sharing claim, and the one call each system supplies to open a
// resolved name. Private to the platform layer.
// Any thread; SettingsPort guards its settings with its own mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/port_device.h"
#include "platform/port_names.h"

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

// The time a call may still take: the limit it started with, less what
// has passed since. Zero once it is spent, so a wait for what is left never
// wraps around.
class CallDeadline {
 public:
  explicit CallDeadline(DWORD limitMs)
      : start_(std::chrono::steady_clock::now()), limitMs_(limitMs) {}
  DWORD LeftMs() const {
    const DWORD used = ElapsedSince(start_);
    return used >= limitMs_ ? 0 : limitMs_ - used;
  }

 private:
  std::chrono::steady_clock::time_point start_;
  DWORD limitMs_;
};

// Each system's body: the device `target` leads to, or nullptr with `error`
// set in the system's numbers.
std::shared_ptr<PortDevice> OpenTargetDevice(const PortTarget& target, DWORD& error);

// A stable 64-bit name (FNV-1a) for a port's key whatever it contains, for
// the lock file or named object that claims the port.
std::uint64_t HashPortKey(const std::string& key);

// `inner` held together with the claim that keeps other spoolers off it;
// `release` lets the claim go when the last user lets go of the device.
std::shared_ptr<PortDevice> MakeClaimedPort(std::shared_ptr<PortDevice> inner,
                                            std::function<void()> release);

// The port settings and self-raised flags of a device whose time-outs we
// apply ourselves, where the system has no such settings for it.
class SettingsPort : public PortDevice {
 public:
  bool SetCommMask(DWORD mask) override;
  bool GetCommTimeouts(COMMTIMEOUTS& timeouts) override;
  bool SetCommTimeouts(const COMMTIMEOUTS& timeouts) override;
  // The cancel code is accepted and does nothing: we buffer nothing.
  bool DeviceIoControl(DWORD code, void* out, DWORD outSize,
                       DWORD* returned) override;

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

}  // namespace plat
