// How the command channel takes the requests that reach the spooler window:
// the window's procedure passes each one through the door the channel's
// server opened for it, on the window's thread, and returns what the door
// says to the sender.
// OpenRequestDoor/CloseRequestDoor: the server's owner (the main thread);
// the door itself: the window's thread.
#pragma once

#include <functional>

#include "platform/win_types.h"

namespace plat::win32 {

// True with `result` set when the request was served; false when it was not
// (the sender then gets 0).
using RequestDoor = std::function<bool(UINT message, WPARAM wParam, LPARAM lParam,
                                       LRESULT& result)>;

// Opens the door of `window`, which must be this process's spooler window;
// false when it is not or a door is open already.
bool OpenRequestDoor(HWND window, RequestDoor door);

// Closes the door and returns once no call through it is in progress, so
// whatever the door refers to may go. A door that is waiting for its answer
// must have been told to give up first.
void CloseRequestDoor(HWND window);

// Whether a message is one of the channel's requests.
bool IsChannelRequest(UINT message);

}  // namespace plat::win32
