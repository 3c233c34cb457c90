// The single-instance marker: one holder at a time, released when its
// process dies however it dies, and the second start's bring-to-front
// request through the published window.
// Test thread (and a forked child).
#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "platform/command_channel.h"
#include "platform/profile.h"
#include "tests/support/test_support.h"

namespace {

TEST(SingleInstance, OnlyOneHolderAtATime) {
  kt::TempHome home;
  EXPECT_FALSE(plat::IsSpoolerRunning());
  plat::SingleInstance first;
  ASSERT_TRUE(first.Acquire());
  EXPECT_TRUE(first.held());
  EXPECT_TRUE(plat::IsSpoolerRunning());
  EXPECT_EQ(plat::SingleInstanceMarkerPath(), home.path() + "/run/VORNA KELVANE");
  EXPECT_TRUE(kt::FileExists(plat::SingleInstanceMarkerPath()));

  plat::SingleInstance second;
  EXPECT_FALSE(second.Acquire());
  EXPECT_FALSE(second.held());

  first.Release();
  EXPECT_FALSE(plat::IsSpoolerRunning());
  EXPECT_TRUE(second.Acquire());
}

TEST(SingleInstance, AKilledHolderDoesNotBlockTheNextStart) {
  kt::TempHome home;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    plat::SingleInstance held;
    char ok = held.Acquire() ? 'y' : 'n';
    (void)!::write(ready[1], &ok, 1);
    for (;;) ::pause();
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  EXPECT_TRUE(plat::IsSpoolerRunning());
  plat::SingleInstance mine;
  EXPECT_FALSE(mine.Acquire());

  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_FALSE(plat::IsSpoolerRunning());
  EXPECT_TRUE(mine.Acquire());
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(SingleInstance, PublishedWindowIsReadBackOnlyWhenItIsANumber) {
  kt::TempHome home;
  EXPECT_EQ(plat::FindSpoolerWindow(), 0);
  plat::WriteProfileString("Tovrel", "SpoolerHwnd", "4242");
  EXPECT_EQ(plat::FindSpoolerWindow(), 4242);
  plat::WriteProfileString("Tovrel", "SpoolerHwnd", "42x");
  EXPECT_EQ(plat::FindSpoolerWindow(), 0);
}

TEST(SingleInstance, SecondStartBringsTheRunningWindowToTheFront) {
  kt::TempHome home;
  int fronts = 0;
  plat::CommandServer server;
  ASSERT_TRUE(server.Start(
      777,
      [&fronts](UINT message, WPARAM, LPARAM) -> LRESULT {
        if (message == plat::kBringToFrontRequest) ++fronts;
        return 1;
      },
      nullptr));
  plat::WriteProfileString("Tovrel", "SpoolerHwnd", "777");
  auto asked = std::async(std::launch::async,
                          [] { return plat::BringRunningInstanceToFront(5000); });
  while (asked.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
    server.ServePending();
  EXPECT_TRUE(asked.get());
  EXPECT_EQ(fronts, 1);
}

TEST(SingleInstance, NoWindowToBringToTheFrontGivesUp) {
  kt::TempHome home;
  plat::WriteProfileString("Tovrel", "SpoolerHwnd", "778");  // nobody listens
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(plat::BringRunningInstanceToFront(100));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}  // namespace
