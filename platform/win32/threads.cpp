// The calling thread's scheduling priority on Windows.
// Any thread; acts on the calling thread only.
#include "platform/threads.h"
#include "platform/win32/windows_api.h"

namespace plat {

// One step above the process's other threads, so the print thread keeps the
// printer fed while the window repaints; any user may ask for that much. A
// refusal leaves the thread at normal priority, which is still correct.
void RaiseCurrentThreadPriority() {
  (void)::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace plat
