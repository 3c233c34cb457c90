// The start-up both front ends share: the three sinks installed and removed
// together, the main window published only once the channel listens (the
// process's own main window: a number on POSIX, the spooler window on
// Windows), and the scheduler interval from the environment.
// Test thread.
#include "app/shell/startup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/shell/shell.h"
#include "app/state/spooler_state.h"
#include "platform/command_channel.h"
#include "platform/profile.h"
#include "platform/startup.h"
#include "tests/support/test_support.h"

namespace {

constexpr HWND kMainWnd = 0x5150;

// Sinks that do not install themselves, so that only the binding does.
class CountingWindows : public plat::WindowSink {
 public:
  bool Post(HWND, UINT, WPARAM, LPARAM) override {
    ++posts;
    return true;
  }
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}
  int posts = 0;
};

class CountingBoxes : public plat::MessageBoxSink {
 public:
  int Show(HWND, const std::string&, const std::string&, UINT) override {
    ++shown;
    return IDCANCEL;
  }
  int shown = 0;
};

class CountingFrontEnd : public ShellFrontEnd {
 public:
  DWORD SetTimer(DWORD intervalMs) override {
    timerSets.push_back(intervalMs);
    return 7;
  }
  void KillTimer(DWORD) override {}
  bool GetPlacement(WINDOWPLACEMENT&) override { return false; }
  std::vector<DWORD> timerSets;
};

const char* const kManualStart[] = {"kelvane", nullptr};

TEST(FrontEndBinding, TheThreeSinksComeAndGoTogether) {
  kt::TempHome home;
  home.InstallKey();
  CountingWindows windows;
  CountingBoxes boxes;
  CountingFrontEnd frontEnd;
  {
    app::FrontEndBinding binding(&windows, &boxes, &frontEnd);
    EXPECT_TRUE(plat::PostMessage(kMainWnd, WM_SPOOLER_STOP, 0, 0));
    EXPECT_EQ(plat::MessageBox(kMainWnd, "text", "caption", MB_OKCANCEL), IDCANCEL);
    ASSERT_TRUE(DocumentStart(1, kManualStart));
    EXPECT_EQ(frontEnd.timerSets, std::vector<DWORD>{kSchedulerIntervalMs});
  }
  EXPECT_EQ(windows.posts, 1);
  EXPECT_EQ(boxes.shown, 1);

  // Gone together: the default window sink drops the post, the default box
  // is back, and the shell sets no timer.
  EXPECT_FALSE(plat::PostMessage(kMainWnd, WM_SPOOLER_STOP, 0, 0));
  EXPECT_EQ(plat::SetMessageBoxSink(nullptr), nullptr);
#ifndef _WIN32
  // Windows' default is the system's box, which would wait for a person.
  EXPECT_EQ(plat::MessageBox(kMainWnd, "text", "caption", MB_OKCANCEL), IDOK);
#endif
  ASSERT_TRUE(DocumentStart(1, kManualStart));
  EXPECT_EQ(windows.posts, 1);
  EXPECT_EQ(boxes.shown, 1);
  EXPECT_EQ(frontEnd.timerSets.size(), 1u);
  ResetShell();
}

TEST(OpenToDriver, PublishesTheWindowOnceTheChannelListens) {
  kt::TempHome home;
  const HWND mainWindow = plat::MainWindowHandle();
  ASSERT_NE(mainWindow, 0);
  plat::CommandServer server;
  ASSERT_TRUE(app::OpenToDriver(server, mainWindow, [] {}));
  EXPECT_EQ(plat::FindSpoolerWindow(), mainWindow);
  EXPECT_EQ(g_hMainWnd, mainWindow);
  // Signed decimal, as the driver reads it.
  EXPECT_EQ(plat::GetProfileString("Tovrel", "SpoolerHwnd", ""),
            std::to_string(static_cast<long long>(mainWindow)));
  server.Stop();
}

class SchedulerInterval : public ::testing::Test {
 protected:
  void TearDown() override { ::unsetenv("KELVANE_TIMER_MS"); }
  static DWORD With(const char* text) {
    ::setenv("KELVANE_TIMER_MS", text, 1);
    return app::SchedulerIntervalFromEnvironment(kSchedulerIntervalMs);
  }
};

TEST_F(SchedulerInterval, AWholeNumberOfMillisecondsInRangeReplacesTheRequest) {
  ::unsetenv("KELVANE_TIMER_MS");
  EXPECT_EQ(app::SchedulerIntervalFromEnvironment(kSchedulerIntervalMs), kSchedulerIntervalMs);
  EXPECT_EQ(With("200"), 200u);
  EXPECT_EQ(With("1"), 1u);
  EXPECT_EQ(With("3600000"), 3600000u);
}

TEST_F(SchedulerInterval, AnythingElseLeavesTheRequest) {
  for (const char* text : {"", "0", "3600001", "abc", "12x", "-5", " "})
    EXPECT_EQ(With(text), kSchedulerIntervalMs) << '"' << text << '"';
}

}  // namespace
