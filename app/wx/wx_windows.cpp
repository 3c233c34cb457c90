// Window handles, posted-message delivery and the modal count (see
// wx_windows.h).
#include "app/wx/wx_windows.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/toplevel.h>

#include <atomic>
#include <cstdint>

#include "platform/startup.h"

namespace kwx {

namespace {

WxWindowSink* g_sink = nullptr;  // main thread sets it before any post
int g_modalDepth = 0;            // main thread only
std::function<void()> g_modalEnded;  // main thread only

// Process ids stay below 2^22 on Linux; our other windows start above.
std::atomic<HWND> g_nextHandle{0x40000000};

// The windows that float on `owner` (the sheet) come to the front with it:
// a window that is raised alone would cover them where the system or the
// window manager does not keep owned windows above their owner.
void RaiseFloatingWindows(wxWindow* owner) {
  for (wxWindow* window : wxTopLevelWindows)
    if (window != owner && window->GetParent() == owner && window->IsShown()) window->Raise();
}

}  // namespace

HWND MainWindowHandle() { return plat::MainWindowHandle(); }

HWND NextWindowHandle() { return g_nextHandle.fetch_add(1); }

HWND SystemHandleOf(wxWindow* window) {
#ifdef __WXMSW__
  if (window) return reinterpret_cast<std::intptr_t>(window->GetHWND());
#else
  (void)window;
#endif
  return 0;
}

WxWindowSink::WxWindowSink() { g_sink = this; }

WxWindowSink::~WxWindowSink() { g_sink = nullptr; }

WxWindowSink* WxWindowSink::Instance() { return g_sink; }

void WxWindowSink::Register(HWND handle, wxWindow* window, MessageTarget* target) {
  std::lock_guard<std::mutex> guard(mutex_);
  windows_[handle] = {window, target};
}

void WxWindowSink::Unregister(HWND handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  windows_.erase(handle);
}

wxWindow* WxWindowSink::Lookup(HWND handle) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = windows_.find(handle);
  return it == windows_.end() ? nullptr : it->second.window;
}

void WxWindowSink::OnMainThread(HWND handle,
                                std::function<void(const Entry&)> action) {
  if (handle == 0 || wxTheApp == nullptr) return;
  // Looked up again on the main thread: the window may be gone by then.
  auto deliver = [this, handle, action] {
    Entry entry{};
    {
      std::lock_guard<std::mutex> guard(mutex_);
      auto it = windows_.find(handle);
      if (it == windows_.end()) return;
      entry = it->second;
    }
    action(entry);
  };
  // CallAfter queues an event, which is safe from any thread and wakes the
  // main loop; even on the main thread the delivery waits for the loop, as
  // a posted message does.
  wxTheApp->CallAfter(deliver);
}

bool WxWindowSink::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (window == 0) return false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (windows_.find(window) == windows_.end()) return false;
  }
  OnMainThread(window, [message, wParam, lParam](const Entry& entry) {
    if (entry.target) entry.target->OnPostedMessage(message, wParam, lParam);
  });
  return true;
}

void WxWindowSink::Invalidate(HWND window) {
  OnMainThread(window, [](const Entry& entry) { entry.window->Refresh(false); });
}

void WxWindowSink::BringToForeground(HWND window) {
  OnMainThread(window, [](const Entry& entry) {
    wxWindow* top = wxGetTopLevelParent(entry.window);
    if (auto* frame = dynamic_cast<wxTopLevelWindow*>(top)) {
      if (frame->IsIconized()) frame->Iconize(false);
      frame->Raise();
      RaiseFloatingWindows(frame);
    }
  });
}

int ModalDepth() { return g_modalDepth; }

ModalGuard::ModalGuard() { ++g_modalDepth; }

ModalGuard::~ModalGuard() {
  if (--g_modalDepth == 0 && g_modalEnded) {
    // After the dialog's own loop has unwound.
    auto callback = g_modalEnded;
    if (wxTheApp) wxTheApp->CallAfter(callback);
  }
}

void SetModalEndedCallback(std::function<void()> callback) {
  g_modalEnded = std::move(callback);
}

}  // namespace kwx
