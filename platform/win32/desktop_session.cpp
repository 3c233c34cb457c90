// A desktop session on Windows is a process whose window station is the
// visible one (WSF_VISIBLE: WinSta0 of a logged-on user). Services and
// other non-interactive sessions run in window stations nobody sees, where
// a message box would wait for ever. Windows has no DISPLAY variable, and
// one inherited from elsewhere (Wine passes the Unix one on) says nothing.
// Any thread: each call asks the system afresh.
#include "platform/desktop_session.h"
#include "platform/win32/windows_api.h"

namespace plat {

bool HasInteractiveDesktop() {
  // The station's handle is the process's own and must not be closed.
  const HWINSTA station = ::GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags{};
  W32_DWORD needed = 0;
  if (!::GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed))
    return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace plat
