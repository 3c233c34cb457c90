// Thread scheduling the engine asks of the platform.
// Any thread; each call acts on the calling thread only.
#pragma once

namespace plat {

// Raises the calling thread's scheduling priority a little above the
// process's other threads, where the platform lets this user do so; where it
// does not, the thread goes on at normal priority and nothing is reported.
void RaiseCurrentThreadPriority();

}  // namespace plat
