// The tick clock's portable half: the process-wide pointer to the installed
// source, the fake clock for tests and the reading of the tick offset. The
// real clock's two system calls live in each system's body.
// Any thread. The installed source is read with an atomic load, so a print
// thread may poll while a test thread advances a fake clock.
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "platform/clock.h"
#include "platform/common/clock_shared.h"

namespace plat {
namespace {

RealClock& TheRealClock() {
  static RealClock clock;
  return clock;
}

std::atomic<TickSource*> g_source{nullptr};

TickSource& CurrentSource() {
  TickSource* s = g_source.load(std::memory_order_acquire);
  return s ? *s : TheRealClock();
}

DWORD ParseTickOffset() {
  const char* text = std::getenv("KELVANE_TICK_OFFSET");
  if (!text || !*text) return 0;
  char* end = nullptr;
  errno = 0;
  // Accept decimal or 0x-prefixed hex; a negative number wraps, which is
  // exactly what "start N ms before the wrap" wants (-5000).
  long long value = std::strtoll(text, &end, 0);
  if (errno != 0 || end == text) return 0;
  return static_cast<DWORD>(static_cast<unsigned long long>(value));
}

}  // namespace

// Parsed once: the offset must not change under a running process, or two
// ticks taken around the change would subtract to nonsense.
DWORD TickOffsetFromEnvironment() {
  static const DWORD offset = ParseTickOffset();
  return offset;
}

DWORD GetTickCount() { return CurrentSource().Now(); }

void PausePolling() { CurrentSource().Pause(); }

bool IsRealClockInstalled() {
  TickSource* s = g_source.load(std::memory_order_acquire);
  return s == nullptr || dynamic_cast<RealClock*>(s) != nullptr;
}

void SetTickSource(TickSource* source) {
  g_source.store(source, std::memory_order_release);
}

FakeClock::FakeClock(DWORD start, DWORD pauseStep)
    : now_(start), pauseStep_(pauseStep) {}

DWORD FakeClock::Now() { return now_.load(std::memory_order_acquire); }

void FakeClock::Pause() {
  DWORD step = pauseStep_.load(std::memory_order_relaxed);
  if (step == 0) {
    // A clock that stands still waits for another thread to move it; give
    // that thread the processor instead of spinning against it.
    std::this_thread::yield();
    return;
  }
  now_.fetch_add(step, std::memory_order_acq_rel);
}

void FakeClock::Set(DWORD tick) { now_.store(tick, std::memory_order_release); }

void FakeClock::Advance(DWORD ms) {
  now_.fetch_add(ms, std::memory_order_acq_rel);
}

void FakeClock::SetPauseStep(DWORD ms) {
  pauseStep_.store(ms, std::memory_order_relaxed);
}

ScopedFakeClock::ScopedFakeClock(DWORD start, DWORD pauseStep)
    : clock_(start, pauseStep) {
  SetTickSource(&clock_);
}

ScopedFakeClock::~ScopedFakeClock() { SetTickSource(nullptr); }

}  // namespace plat
