// Posting to windows through the installed sink. Without a front end there
// are no windows, so the default sink drops everything and reports posts as
// undelivered. A window of the system's own goes through the system, so its
// messages keep their order with everything else the window receives.
// Any thread; the sink pointer is atomic, the sink itself must be callable
// from any thread.
#include "platform/window_messages.h"

#include <atomic>

#include "platform/common/system_windows.h"

namespace plat {
namespace {

class DroppingSink final : public WindowSink {
 public:
  bool Post(HWND, UINT, WPARAM, LPARAM) override { return false; }
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}
};

DroppingSink g_dropping;
std::atomic<WindowSink*> g_sink{nullptr};

WindowSink& Sink() {
  WindowSink* s = g_sink.load(std::memory_order_acquire);
  return s ? *s : g_dropping;
}

}  // namespace

bool PostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window != 0 && IsOwnSystemWindow(window))
    return PostToSystemWindow(window, message, wParam, lParam);
  return Sink().Post(window, message, wParam, lParam);
}

bool PostToWindowSink(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Sink().Post(window, message, wParam, lParam);
}

void InvalidateWindow(HWND window) { Sink().Invalidate(window); }

void SetForegroundWindow(HWND window) { Sink().BringToForeground(window); }

void SetWindowSink(WindowSink* sink) {
  g_sink.store(sink, std::memory_order_release);
}

}  // namespace plat
