// Windows as the engine sees them: opaque handles that messages are posted
// to, that can be asked to repaint or be brought to the front. Behind the
// calls sits a replaceable sink: the front end delivers to its windows, tests
// record what was posted. Posting to window 0 reaches no window.
// Any thread.
#pragma once

#include "platform/win_types.h"

namespace plat {

class WindowSink {
 public:
  virtual ~WindowSink() = default;
  virtual bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) = 0;
  // Invalidate the whole client area without erasing.
  virtual void Invalidate(HWND window) = 0;
  virtual void BringToForeground(HWND window) = 0;
};

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InvalidateWindow(HWND window);
void SetForegroundWindow(HWND window);

// nullptr restores the default sink, which drops everything.
void SetWindowSink(WindowSink* sink);

}  // namespace plat
