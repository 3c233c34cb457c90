// The real tick clock on POSIX systems (CLOCK_MONOTONIC) and the calling
// thread's scheduling priority. The installed source and the fake clock are
// the portable half's (platform/common/clock.cpp).
// Any thread.
#include "platform/clock.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/common/clock_shared.h"
#include "platform/threads.h"

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

// Lowering the nice value needs privileges here; an ordinary user gets the
// thread at normal priority, which is the best the platform allows.
void RaiseCurrentThreadPriority() {
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (errno != 0) return;
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current - 2);
}

}  // namespace plat
