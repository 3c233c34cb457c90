// Whether a Windows process runs on a desktop: its window station is the
// visible one. A process moved into a window station of its own, as a
// service's is, has none, whatever its environment says. Test thread only
// (the process's window station is changed for a moment).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/desktop_session.h"
#include "platform/win32/windows_api.h"

namespace {

TEST(DesktopSession, TheVisibleWindowStationIsADesktopAndAnotherIsNot) {
  // The suites run in the user's WinSta0 (Wine's too), as a driver started
  // by a program on the desktop does; a DISPLAY variable changes nothing.
  _putenv_s("DISPLAY", "");
  EXPECT_TRUE(plat::HasInteractiveDesktop());

  const HWINSTA own = ::GetProcessWindowStation();
  const std::string name = "KelvaneTest" + std::to_string(::GetCurrentProcessId());
  const HWINSTA hidden = ::CreateWindowStationA(name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
  ASSERT_NE(hidden, nullptr) << ::GetLastError();
  ASSERT_TRUE(::SetProcessWindowStation(hidden));
  _putenv_s("DISPLAY", ":0");
  const bool inHidden = plat::HasInteractiveDesktop();
  ASSERT_TRUE(::SetProcessWindowStation(own));
  ::CloseWindowStation(hidden);
  _putenv_s("DISPLAY", "");
  EXPECT_FALSE(inHidden);
  EXPECT_TRUE(plat::HasInteractiveDesktop());
}

}  // namespace
