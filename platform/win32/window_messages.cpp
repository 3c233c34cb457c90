// Posts to the system's own windows on Windows: the spooler window and any
// other top-level window of this process. Messages the print thread posts
// to the main window thus arrive through the window's queue, in order with
// what the driver and the system send it.
// Any thread.
#include "platform/common/system_windows.h"
#include "platform/win32/windows_api.h"

namespace plat {

bool IsOwnSystemWindow(HWND window) {
  W32_HWND system = w32::ToSystem(window);
  if (window == 0 || !::IsWindow(system)) return false;
  W32_DWORD process = 0;
  if (::GetWindowThreadProcessId(system, &process) == 0 || process != ::GetCurrentProcessId())
    return false;
  // The system hands back a top-level window's whole handle; a low word
  // that only stands for it comes back different.
  return ::GetAncestor(system, GA_ROOT) == system;
}

bool PostToSystemWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(w32::ToSystem(window), message, wParam, lParam) != FALSE;
}

}  // namespace plat
