// The system's message box on Windows: the default when no front end has
// installed boxes of its own, and the boxes the desktop program shows.
// Shown with the style as given (icon, MB_SETFOREGROUND ...) and owned by
// the window named, when that is a window of this process. While a box is
// up it is known by its window, so that a stop from outside can answer it,
// and its keys are held to the rules of every box of ours: Escape and the
// close box mean Cancel on a box that has it, OK on a box with OK alone, and
// nothing otherwise (some systems' boxes return Cancel from any box).
// Show: any thread; the call blocks until someone answers.
// EndOpenSystemBoxes: any thread.
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/common/system_windows.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// The dialog class every message box is made of.
constexpr const char* kDialogClass = "#32770";
constexpr const char* kBoxProperty = "Kelvane.MessageBox";

// One box while it is up: its window, its style and the window procedure
// it had before ours.
struct OpenBox {
  W32_HWND window = nullptr;
  UINT style = 0;
  WNDPROC previous = nullptr;
};

std::mutex g_openMutex;             // protects g_open
std::vector<OpenBox*> g_open;       // boxes up, in any thread

// The box that the current thread's MessageBoxA call is about to make.
struct Awaited {
  UINT style = 0;
  HHOOK hook = nullptr;
  OpenBox* box = nullptr;
};
thread_local std::vector<Awaited*> t_awaited;  // innermost call last

// Escape and the close box reach a box as Cancel (IDCANCEL); what they
// answer is ours to decide, as the box's own buttons are.
LRESULT CALLBACK KeepBoxRules(W32_HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* box = static_cast<OpenBox*>(::GetPropA(window, kBoxProperty));
  if (box == nullptr) return ::DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The window's last message: it goes back to its own procedure, and
    // the box is forgotten by its caller once MessageBoxA returns.
    ::RemovePropA(window, kBoxProperty);
    ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(box->previous));
    return ::CallWindowProcW(box->previous, window, message, wParam, lParam);
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL &&
      ::GetDlgItem(window, IDCANCEL) == nullptr) {
    const int count = ButtonCount(box->style);
    if (count != 1) return 0;  // no answer for Escape: the box stays
    const int only = ButtonAt(box->style, 0);
    wParam = MAKEWPARAM(only, BN_CLICKED);
    lParam = reinterpret_cast<LPARAM>(::GetDlgItem(window, only));
  }
  return ::CallWindowProcW(box->previous, window, message, wParam, lParam);
}

bool IsDialogWindow(W32_HWND window) {
  char name[16] = {};
  return ::GetClassNameA(window, name, sizeof(name)) > 0 && lstrcmpA(name, kDialogClass) == 0;
}

// Catches the box's window as it is made, before it has handled a key.
LRESULT CALLBACK WatchForBox(int code, WPARAM wParam, LPARAM lParam) {
  Awaited* awaited = t_awaited.empty() ? nullptr : t_awaited.back();
  if (code == HCBT_CREATEWND && awaited && awaited->box == nullptr) {
    auto* window = reinterpret_cast<W32_HWND>(wParam);
    if (IsDialogWindow(window)) {
      auto* box = new OpenBox;
      box->window = window;
      box->style = awaited->style;
      ::SetPropA(window, kBoxProperty, box);
      box->previous = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
          window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&KeepBoxRules)));
      awaited->box = box;
      std::lock_guard<std::mutex> guard(g_openMutex);
      g_open.push_back(box);
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// The answer that gives up, from the buttons the box shows.
int RefusingAnswer(const OpenBox& box) {
  for (int wanted : {IDCANCEL, IDABORT, IDNO})
    for (int i = 0; i < ButtonCount(box.style); ++i)
      if (ButtonAt(box.style, i) == wanted) return wanted;
  return DefaultButton(box.style);
}

class SystemBoxes final : public MessageBoxSink {
 public:
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override {
    // An owner that is not ours (a made-up number, a window gone) would
    // tie the box to some stranger's window.
    W32_HWND system = IsOwnSystemWindow(owner) ? w32::ToSystem(owner) : nullptr;
    Awaited awaited;
    awaited.style = style;
    awaited.hook = ::SetWindowsHookExA(WH_CBT, &WatchForBox, nullptr, ::GetCurrentThreadId());
    t_awaited.push_back(&awaited);
    const int answer = ::MessageBoxA(system, text.c_str(), caption.c_str(), style);
    t_awaited.pop_back();
    if (awaited.hook) ::UnhookWindowsHookEx(awaited.hook);
    if (OpenBox* box = awaited.box) {
      {
        std::lock_guard<std::mutex> guard(g_openMutex);
        g_open.erase(std::remove(g_open.begin(), g_open.end(), box), g_open.end());
      }
      // The window is gone by now; nothing calls through the box any more.
      delete box;
    }
    return answer;
  }
};

}  // namespace

MessageBoxSink* SystemMessageBoxes() {
  static SystemBoxes boxes;
  return &boxes;
}

void EndOpenSystemBoxes() {
  std::lock_guard<std::mutex> guard(g_openMutex);
  for (OpenBox* box : g_open) {
    const int answer = RefusingAnswer(*box);
    // Posted, as a click on the button would arrive: the box's own thread
    // ends it and returns the answer.
    ::PostMessageW(box->window, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(box->window, answer)));
  }
}

}  // namespace plat
