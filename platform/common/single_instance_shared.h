// What the single-instance bodies of each system share with the portable
// half (platform/common/single_instance.cpp): the published window number
// and the one call of the second start's retry loop that differs per
// system. Private to the platform layer. Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat {

// The number published as "SpoolerHwnd", 0 when there is none or it is
// not a number.
HWND PublishedSpoolerWindow();

// Each system: asks `window` once, waiting up to `waitMs`, to come to the
// front; true when the running spooler took the request.
bool AskToComeToFront(HWND window, DWORD waitMs);

}  // namespace plat
