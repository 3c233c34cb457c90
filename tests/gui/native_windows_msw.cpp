// The GUI harness's questions to the system on Windows (see
// native_windows.h): the Win32 window list, the system's message boxes and
// button sizes. This file sees <windows.h> through the toolkit's prelude:
// the system's handle type is W32_HWND, ours HWND.
// Main thread.
#include "tests/gui/native_windows.h"

#include <wx/dialog.h>
#include <wx/toplevel.h>
#include <wx/utils.h>

#include <algorithm>
#include <string>

namespace kgui::native {
namespace {

// BCM_GETIDEALSIZE of the common controls' header, which the toolkit's
// prelude does not read.
constexpr UINT kButtonGetIdealSize = 0x1600 + 0x0001;

W32_HWND SystemOf(wxWindow* window) {
  return window ? static_cast<W32_HWND>(window->GetHWND()) : nullptr;
}
W32_HWND Box(void* box) { return static_cast<W32_HWND>(box); }

std::string ClassOf(W32_HWND window) {
  char name[64] = {};
  ::GetClassNameA(window, name, sizeof(name));
  return name;
}

std::string TextOf(W32_HWND window) {
  char text[1024] = {};
  ::GetWindowTextA(window, text, sizeof(text));
  return text;
}

bool IsToolkitWindow(W32_HWND window) {
  for (wxWindow* top : wxTopLevelWindows)
    if (SystemOf(top) == window) return true;
  return false;
}

// A message box is a dialog of static texts, an icon and push buttons.
bool HoldsOnlyTextAndButtons(W32_HWND dialog) {
  bool plain = true;
  bool anyButton = false;
  for (W32_HWND child = ::GetWindow(dialog, GW_CHILD); child;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    const std::string kind = ClassOf(child);
    if (kind == "Button") anyButton = true;
    else if (kind != "Static") plain = false;
  }
  return plain && anyButton;
}

struct Found {
  std::vector<W32_HWND> dialogs;
};

BOOL CALLBACK CollectDialog(W32_HWND window, LPARAM data) {
  if (::IsWindowVisible(window) && ClassOf(window) == "#32770" && !IsToolkitWindow(window))
    reinterpret_cast<Found*>(data)->dialogs.push_back(window);
  return TRUE;
}

std::vector<W32_HWND> SystemDialogs() {
  Found found;
  ::EnumThreadWindows(::GetCurrentThreadId(), &CollectDialog, reinterpret_cast<LPARAM>(&found));
  return found.dialogs;
}

// Runs the box's messages for a moment, as its own loop would (keys
// through the dialog manager), then returns to whoever called.
void RunBoxMessages(W32_HWND box, int ms) {
  const W32_DWORD end = ::GetTickCount() + static_cast<W32_DWORD>(ms);
  while (static_cast<int>(end - ::GetTickCount()) > 0) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (::IsWindow(box) && ::IsDialogMessageW(box, &message)) continue;
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
    ::Sleep(10);
  }
}

std::string WithLfLineEnds(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

}  // namespace

bool StackingIsManaged() { return true; }

std::optional<bool> IsStackedAbove(wxWindow* upper, wxWindow* lower) {
  const W32_HWND up = SystemOf(upper);
  const W32_HWND low = SystemOf(lower);
  if (!up || !low || !::IsWindowVisible(up) || !::IsWindowVisible(low)) return std::nullopt;
  // The list of top-level windows, topmost first.
  for (W32_HWND window = ::GetTopWindow(nullptr); window;
       window = ::GetWindow(window, GW_HWNDNEXT)) {
    if (window == up) return true;
    if (window == low) return false;
  }
  return std::nullopt;
}

std::optional<bool> IsOwnedBy(wxWindow* window, wxWindow* owner) {
  const W32_HWND self = SystemOf(window);
  if (!self || !SystemOf(owner)) return std::nullopt;
  const bool popup = (::GetWindowLongW(self, GWL_STYLE) & WS_POPUP) != 0;
  return popup && ::GetWindow(self, GW_OWNER) == SystemOf(owner);
}

std::optional<wxSize> NaturalSize(wxWindow* control) {
  const W32_HWND window = SystemOf(control);
  if (!window) return std::nullopt;
  const std::string kind = ClassOf(window);
  if (kind == "Button") {
    SIZE ideal{};
    // The button's own measure of its label and frame (common controls 6).
    if (::SendMessageW(window, kButtonGetIdealSize, 0, reinterpret_cast<LPARAM>(&ideal)) &&
        ideal.cx > 0)
      return wxSize(ideal.cx, ideal.cy);
  }
  // The label in the control's own font, as the system draws it, and for a
  // button the frame and focus mark it draws inside its edge.
  const std::string label = wxStripMenuCodes(control->GetLabel()).ToStdString();
  HDC dc = ::GetDC(window);
  if (!dc) return std::nullopt;
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(::SendMessageW(window, WM_GETFONT, 0, 0));
  HGDIOBJ old = ::SelectObject(dc, font);
  RECT rect{0, 0, 0, 0};
  ::DrawTextA(dc, label.c_str(), static_cast<int>(label.size()), &rect,
              DT_CALCRECT | DT_SINGLELINE);
  ::SelectObject(dc, old);
  ::ReleaseDC(window, dc);
  int width = rect.right - rect.left;
  if (kind == "Button") width += 4 * ::GetSystemMetrics(SM_CXEDGE) + 2;
  return wxSize(width, rect.bottom - rect.top);
}

std::vector<void*> OpenSystemBoxes() {
  std::vector<void*> boxes;
  for (W32_HWND dialog : SystemDialogs())
    if (HoldsOnlyTextAndButtons(dialog)) boxes.push_back(dialog);
  return boxes;
}

SeenDialog DescribeSystemBox(void* box) {
  SeenDialog seen;
  seen.title = TextOf(Box(box));
  std::vector<std::pair<int, std::string>> buttons;
  for (W32_HWND child = ::GetWindow(Box(box), GW_CHILD); child;
       child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (!::IsWindowVisible(child)) continue;
    const std::string kind = ClassOf(child);
    const bool icon = (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
    if (kind == "Static" && seen.text.empty() && !icon)
      seen.text = WithLfLineEnds(TextOf(child));
    if (kind == "Button") {
      RECT rect;
      ::GetWindowRect(child, &rect);
      buttons.emplace_back(rect.left, TextOf(child));
    }
  }
  std::sort(buttons.begin(), buttons.end());
  for (const auto& button : buttons) seen.buttons.push_back(button.second);
  return seen;
}

void PressSystemBoxButton(void* box, int result) {
  W32_HWND button = ::GetDlgItem(Box(box), result);
  ::PostMessageW(Box(box), WM_COMMAND, MAKEWPARAM(result, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
  RunBoxMessages(Box(box), 100);
}

void PressSystemBoxEscape(void* box) {
  // To the control with the focus, as the keyboard would send it.
  W32_HWND focus = ::GetFocus();
  if (!focus || (focus != Box(box) && !::IsChild(Box(box), focus))) focus = Box(box);
  ::PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
  ::PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  RunBoxMessages(Box(box), 200);
}

void PressSystemBoxCloseBox(void* box) {
  // A greyed close box cannot be clicked.
  HMENU menu = ::GetSystemMenu(Box(box), FALSE);
  const UINT state = menu ? ::GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) : 0;
  if (state != static_cast<UINT>(-1) && (state & (MF_GRAYED | MF_DISABLED))) return;
  ::PostMessageW(Box(box), WM_SYSCOMMAND, SC_CLOSE, 0);
  RunBoxMessages(Box(box), 200);
}

bool SystemBoxWaiting(void* box) {
  return ::IsWindow(Box(box)) && ::IsWindowVisible(Box(box));
}

void CancelSystemDialogs() {
  for (W32_HWND dialog : SystemDialogs())
    if (!HoldsOnlyTextAndButtons(dialog))
      ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDCANCEL)));
}

}  // namespace kgui::native
