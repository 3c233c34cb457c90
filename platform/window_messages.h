// Windows as the engine sees them: opaque handles that messages are posted
// to, that can be asked to repaint or be brought to the front. Behind the
// calls sits a replaceable sink: the front end delivers to its windows, tests
// record what was posted. Posting to window 0 reaches no window. Where the
// system has windows of its own (Windows), a post to a top-level window of
// this process goes through the system's queue instead; what that window
// receives it hands to the sink (platform/spooler_window.h).
// Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat {

// Why a WM_CLOSE was posted (its wParam). The front end treats a close the
// spooler decided itself differently from one a person or a signal asked
// for: it looks at the queue once more before it goes.
inline constexpr WPARAM kCloseRequested = 0;       // close box, signal, command 0
inline constexpr WPARAM kCloseRunEnded = 1;        // queue run over, or idle too long
inline constexpr WPARAM kCloseFaultUnanswered = 2; // a fault nobody answered: queue kept

class WindowSink {
 public:
  virtual ~WindowSink() = default;
  virtual bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Invalidate the whole client area without erasing.
  virtual void Invalidate(HWND window) = 0;
  virtual void BringToForeground(HWND window) = 0;
};

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Straight to the installed sink, whatever the window: for a window of the
// system's that passes on what reached it.
bool PostToWindowSink(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InvalidateWindow(HWND window);
void SetForegroundWindow(HWND window);

// nullptr restores the default sink, which drops everything.
void SetWindowSink(WindowSink* sink);

}  // namespace plat
