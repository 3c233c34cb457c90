// What each system's real clock takes from the portable half of the clock
// (platform/common/clock.cpp). Private to the platform layer. Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat {

// KELVANE_TICK_OFFSET, read once per process: the real clock adds it to the
// system's milliseconds so that tests can start a process just before the
// wrap. 0 when unset or unreadable.
DWORD TickOffsetFromEnvironment();

}  // namespace plat
