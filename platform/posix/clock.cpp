// The real tick clock on POSIX systems (CLOCK_MONOTONIC). The installed
// source and the fake clock are the portable half's
// (platform/common/clock.cpp).
// Any thread.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

#include "platform/common/clock_shared.h"

namespace plat {

DWORD RealClock::Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  unsigned long long ms = static_cast<unsigned long long>(ts.tv_sec) * 1000ull +
                          static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull;
  return static_cast<DWORD>(ms) + TickOffsetFromEnvironment();
}

void RealClock::Pause() {
  timespec ts{0, 1000000};  // 1 ms: long enough to free the core
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace plat
