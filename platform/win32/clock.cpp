// The real tick clock on Windows: the system's own tick count, which wraps
// every 49.7 days exactly as the engine's arithmetic expects. The installed
// source and the fake clock are the portable half's
// (platform/common/clock.cpp).
// Any thread.
#include "platform/clock.h"
#include "platform/common/clock_shared.h"
#include "platform/win32/windows_api.h"

namespace plat {

DWORD RealClock::Now() {
  return static_cast<DWORD>(::GetTickCount()) + TickOffsetFromEnvironment();
}

// Sleep(1) gives up the rest of the time slice and at least a millisecond;
// the wait may be longer where the timer runs coarse, which a poll
// tolerates since it reads the tick count again.
void RealClock::Pause() { ::Sleep(1); }

}  // namespace plat
