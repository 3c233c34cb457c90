// The calling thread's scheduling priority on POSIX systems.
// Any thread; acts on the calling thread only.
#include "platform/threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace plat {

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
