// The shared bodies' way to the system's own windows and boxes, where the
// system has them (Windows: platform/win32/window_messages.cpp and
// message_box.cpp). Elsewhere there are none: no number names a window of
// the system's and no box of the system's is there.
// Any thread.
#pragma once

#include "platform/message_box.h"
#include "platform/win_types.h"

namespace plat {

#ifdef _WIN32
// Whether `window` is a top-level window of this process named by its whole
// handle. The system also takes a handle's low word alone, so a made-up
// number may well name some window; such numbers do not count.
bool IsOwnSystemWindow(HWND window);
// Posts through the system's queue of that window; false when it refused.
bool PostToSystemWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The system's message boxes: the default when no sink is installed.
MessageBoxSink* SystemMessageBoxes();
// Ends the system boxes that are up (see EndSystemMessageBoxes).
void EndOpenSystemBoxes();
#else
inline bool IsOwnSystemWindow(HWND) { return false; }
inline bool PostToSystemWindow(HWND, UINT, WPARAM, LPARAM) { return false; }
inline MessageBoxSink* SystemMessageBoxes() { return nullptr; }
inline void EndOpenSystemBoxes() {}
#endif

}  // namespace plat
