// The shared start-up's threads: the stop signals taken on a thread of their
// own and turned into WM_SPOOLER_STOP posts, and a second start that asks
// the running spooler, through its command channel, to come to the front.
// Test thread, the stop signals' thread and the channel's listener. The
// signals stay blocked in the test thread once a case has taken them.
#include "app/shell/startup.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

#include "app/shell/shell.h"
#include "app/state/spooler_state.h"
#include "platform/command_channel.h"
#include "platform/single_instance.h"
#include "platform/startup.h"
#include "tests/support/test_support.h"

namespace {

constexpr HWND kMainWnd = 0x6160;
constexpr HWND kPublishedWnd = 0x6161;
// Generous: a loaded machine may be slow to run the signal thread.
constexpr auto kPatience = std::chrono::seconds(20);

// Records the stop posts and lets the test wait for them.
class StopPosts : public plat::WindowSink {
 public:
  StopPosts() { plat::SetWindowSink(this); }
  ~StopPosts() override { plat::SetWindowSink(nullptr); }
  bool Post(HWND window, UINT message, WPARAM, LPARAM) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (message == WM_SPOOLER_STOP) ++stops_[window == kMainWnd ? 0 : window == kPublishedWnd ? 1 : 2];
    }
    changed_.notify_all();
    return true;
  }
  void Invalidate(HWND) override {}
  void BringToForeground(HWND) override {}
  // Waits until `window` has had `count` stops; false when they never come.
  bool WaitForStops(HWND window, int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return Stops(window) >= count; });
  }
  int StopsTo(HWND window) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Stops(window);
  }

 private:
  int Stops(HWND window) const {
    return stops_[window == kMainWnd ? 0 : window == kPublishedWnd ? 1 : 2];
  }
  std::mutex mutex_;  // protects stops_
  std::condition_variable changed_;
  int stops_[3] = {0, 0, 0};
};

TEST(StopSignals, IntTermAndHupEachPostOneStopToTheMainWindow) {
  StopPosts posts;
  plat::StopSignals signals;
  signals.Take(plat::StopSignals::Life::kJoined);
  signals.Start([] { return kMainWnd; });
  int expected = 0;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ASSERT_EQ(::kill(::getpid(), signal), 0);
    ++expected;
    ASSERT_TRUE(posts.WaitForStops(kMainWnd, expected)) << "signal " << signal;
  }
  signals.Stop();
  EXPECT_EQ(posts.StopsTo(kMainWnd), 3);
  EXPECT_EQ(posts.StopsTo(kPublishedWnd), 0);
}

TEST(StopSignals, SomeoneElsesWakeSignalDoesNotEndTheThread) {
  StopPosts posts;
  plat::StopSignals signals;
  signals.Take(plat::StopSignals::Life::kJoined);
  signals.Start([] { return kMainWnd; });
  ASSERT_EQ(::kill(::getpid(), SIGUSR2), 0);
  // Still there: the next stop signal is still turned into a post.
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  EXPECT_TRUE(posts.WaitForStops(kMainWnd, 1));
  signals.Stop();
  EXPECT_EQ(posts.StopsTo(kMainWnd), 1);
}

TEST(StopSignals, ThePublishedMainWindowIsReadWhenTheSignalComes) {
  kt::TempHome home;
  StopPosts posts;
  plat::StopSignals signals;
  signals.Take(plat::StopSignals::Life::kJoined);
  signals.Start(app::PublishedMainWindow);
  // Published after the thread started, as the desktop's frame is.
  ASSERT_TRUE(PublishMainWindow(kPublishedWnd));
  ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
  EXPECT_TRUE(posts.WaitForStops(kPublishedWnd, 1));
  signals.Stop();
  EXPECT_EQ(posts.StopsTo(kMainWnd), 0);
}

TEST(ClaimSingleInstance, ASecondStartBringsTheRunningSpoolerToTheFront) {
  kt::TempHome home;
  kt::RecordingWindows windows;
  plat::SingleInstance first;
  ASSERT_TRUE(app::ClaimSingleInstance(first));
  plat::CommandServer server;
  ASSERT_TRUE(app::OpenToDriver(server, kMainWnd, [] {}));

  auto second = std::async(std::launch::async, [] {
    plat::SingleInstance instance;
    return app::ClaimSingleInstance(instance);
  });
  // The running spooler's main thread serves the request.
  while (second.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
    server.ServePending();
  EXPECT_FALSE(second.get());
  EXPECT_EQ(windows.foregrounds(), 1);
  EXPECT_TRUE(first.held());
  server.Stop();
}

}  // namespace
