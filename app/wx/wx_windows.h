// Window handles for the desktop program: every window that the engine or
// the shell may address (main frame, view, Current Job page) is registered
// under an HWND number, and posts to those numbers are carried to the main
// thread and delivered there. Also the count of modal dialogs that our code
// has open, so that a close request never tears the frame down under one.
// WxWindowSink::Post/Invalidate/BringToForeground: any thread. Register,
// Unregister, Lookup, ModalGuard: main thread.
#pragma once

#include <wx/window.h>

#include <functional>
#include <map>
#include <mutex>

#include "platform/window_messages.h"
#include "platform/win_types.h"

namespace kwx {

// The toolkit takes menu ids below 0x7FFF only; the framework's command
// numbers (0xE000 and up) are moved down into a block of their own.
constexpr int MenuId(int command) { return command >= 0xE000 ? command - 0xE000 + 20000 : command; }

// Something that receives posted messages on the main thread.
class MessageTarget {
 public:
  virtual ~MessageTarget() = default;
  virtual void OnPostedMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

// The handle the main frame goes by: the process id, as the driver and the
// command channel know it. Other windows get numbers above any process id.
HWND MainWindowHandle();
HWND NextWindowHandle();
// The system's own handle of a toolkit window, as our handle type, where
// the system's windows are what the toolkit draws with (Windows); 0
// elsewhere.
HWND SystemHandleOf(wxWindow* window);

class WxWindowSink final : public plat::WindowSink {
 public:
  // Installed by the application's front-end binding; Instance() finds it
  // while it lives.
  WxWindowSink();
  ~WxWindowSink() override;

  void Register(HWND handle, wxWindow* window, MessageTarget* target);
  void Unregister(HWND handle);
  wxWindow* Lookup(HWND handle) const;

  bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
  void Invalidate(HWND window) override;
  void BringToForeground(HWND window) override;

  static WxWindowSink* Instance();

 private:
  struct Entry {
    wxWindow* window;
    MessageTarget* target;
  };
  // Runs `action` on the main thread if `handle` still names a window then.
  void OnMainThread(HWND handle, std::function<void(const Entry&)> action);

  mutable std::mutex mutex_;  // protects windows_
  std::map<HWND, Entry> windows_;
};

// Modal dialogs opened by our code (boxes, copies dialog, file dialog).
int ModalDepth();
class ModalGuard {
 public:
  ModalGuard();
  ~ModalGuard();
  ModalGuard(const ModalGuard&) = delete;
  ModalGuard& operator=(const ModalGuard&) = delete;
};
// Called when the outermost modal dialog has closed.
void SetModalEndedCallback(std::function<void()> callback);

}  // namespace kwx
