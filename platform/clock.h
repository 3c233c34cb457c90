// Tick clock: unsigned 32-bit milliseconds since an arbitrary start, wrapping
// like the original tick count. All time arithmetic in the spooler is
// unsigned 32-bit subtraction of two ticks.
//
// Polling loops call PausePolling() between polls: the real clock sleeps a
// little so that a waiting spooler does not burn a core; a fake clock
// instead advances itself, so that tests of time-outs run in microseconds.
// Any thread.
#pragma once

#include <atomic>

#include "platform/win_types.h"

namespace plat {

class TickSource {
 public:
  virtual ~TickSource() = default;
  virtual DWORD Now() = 0;
  // Called between two polls of the tick count.
  virtual void Pause() = 0;
};

// The current tick count of the installed source (the real clock unless a
// test installed another).
DWORD GetTickCount();

// Yield the processor between two polls of the tick count.
void PausePolling();

// True while ticks come from the real clock (no source installed, or a
// RealClock installed). Waiters that can sleep on a wake-up signal do so
// only then: under a fake clock time moves only through PausePolling.
bool IsRealClockInstalled();

// Installs a source; nullptr restores the real clock. Not thread-safe with
// respect to concurrent GetTickCount calls: install before threads start.
void SetTickSource(TickSource* source);

// The real clock: CLOCK_MONOTONIC milliseconds, truncated to 32 bits, with
// an offset so that a process can be made to start just before the wrap
// (KELVANE_TICK_OFFSET, for tests of the wrap in real processes).
class RealClock final : public TickSource {
 public:
  DWORD Now() override;
  void Pause() override;  // sleeps about 1 ms
};

// A clock for tests: it stands still until set or advanced; each Pause()
// moves it on by the pause step (1 ms by default, 0 to stand still).
class FakeClock final : public TickSource {
 public:
  explicit FakeClock(DWORD start = 1000, DWORD pauseStep = 1);
  DWORD Now() override;
  void Pause() override;
  void Set(DWORD tick);
  void Advance(DWORD ms);
  void SetPauseStep(DWORD ms);

 private:
  std::atomic<DWORD> now_;
  std::atomic<DWORD> pauseStep_;
};

// Installs a fake clock for the lifetime of the guard.
class ScopedFakeClock {
 public:
  explicit ScopedFakeClock(DWORD start = 1000, DWORD pauseStep = 1);
  ~ScopedFakeClock();
  ScopedFakeClock(const ScopedFakeClock&) = delete;
  ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
  FakeClock& clock() { return clock_; }

 private:
  FakeClock clock_;
};

}  // namespace plat
