// Tick clock: the fake clock's arithmetic across the 32-bit wrap, its pause
// step, installing and removing it, and the real clock's plausibility.
// Test thread, plus one helper thread in the sharing case.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "platform/clock.h"

namespace {

TEST(FakeClock, SetAndAdvanceWrapLikeTheTickCount) {
  plat::FakeClock c(0xFFFFFF00u, 1);
  EXPECT_EQ(c.Now(), 0xFFFFFF00u);
  c.Advance(0x200);
  EXPECT_EQ(c.Now(), 0x100u);
  // Elapsed time is unsigned subtraction, valid across the wrap.
  EXPECT_EQ(c.Now() - 0xFFFFFF00u, 0x200u);
  c.Set(0xFFFFFFFFu);
  c.Advance(1);
  EXPECT_EQ(c.Now(), 0u);
}

TEST(FakeClock, PauseMovesByTheStepAndZeroStandsStill) {
  plat::FakeClock c(5000, 7);
  c.Pause();
  c.Pause();
  EXPECT_EQ(c.Now(), 5014u);
  c.SetPauseStep(0);
  c.Pause();
  EXPECT_EQ(c.Now(), 5014u);
  c.SetPauseStep(250);
  c.Pause();
  EXPECT_EQ(c.Now(), 5264u);
}

TEST(ScopedFakeClock, InstallsAndRestoresTheRealClock) {
  {
    plat::ScopedFakeClock fake(123456, 10);
    EXPECT_EQ(plat::GetTickCount(), 123456u);
    plat::PausePolling();
    EXPECT_EQ(plat::GetTickCount(), 123466u);
    fake.clock().Advance(34);
    EXPECT_EQ(plat::GetTickCount(), 123500u);
  }
  // Back on the real clock: it moves on by itself over a few pauses.
  const DWORD start = plat::GetTickCount();
  DWORD now = start;
  for (int i = 0; i < 200 && now == start; ++i) {
    plat::PausePolling();
    now = plat::GetTickCount();
  }
  EXPECT_NE(now, start);
  EXPECT_LT(now - start, 5000u);
}

TEST(ScopedFakeClock, APollingLoopTimesOutWithoutWaiting) {
  plat::ScopedFakeClock fake(0xFFFFF000u, 1);
  // The shape of every time-out loop in the spooler, run across the wrap.
  const DWORD start = plat::GetTickCount();
  int polls = 0;
  while (plat::GetTickCount() - start < 10000) {
    plat::PausePolling();
    ++polls;
  }
  EXPECT_EQ(polls, 10000);
  EXPECT_EQ(plat::GetTickCount(), 0xFFFFF000u + 10000u);
}

TEST(FakeClock, AnotherThreadCanMoveAStandingClock) {
  plat::ScopedFakeClock fake(1000, 0);
  // The start is taken before the mover exists: a loaded machine may run
  // the mover first, and a start taken after its move would then wait for
  // a second move that never comes.
  const DWORD start = plat::GetTickCount();
  std::thread mover([&] { fake.clock().Advance(600); });
  while (plat::GetTickCount() - start < 500) plat::PausePolling();
  mover.join();
  EXPECT_EQ(plat::GetTickCount(), 1600u);
}

TEST(RealClock, StaysWithinAFewMillisecondsOfItselfAcrossAPause) {
  plat::RealClock real;
  const DWORD a = real.Now();
  real.Pause();
  const DWORD b = real.Now();
  EXPECT_LT(b - a, 1000u);  // monotonic: never a huge (negative) step
}

// The offset is read once per process, so it is checked in a fresh copy of
// this program started with the variable set.
TEST(RealClock, OffsetFromTheEnvironmentPutsTheStartBeforeTheWrap) {
  if (std::getenv("KELVANE_CLOCK_CHILD")) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const DWORD raw = static_cast<DWORD>(
        static_cast<unsigned long long>(ts.tv_sec) * 1000ull +
        static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull);
    const DWORD shifted = plat::RealClock().Now();
    // -5000 wraps to 0xFFFFEC78: the clock reads 5 s behind the raw value.
    EXPECT_LT((raw - 5000u) - shifted + 50u, 100u);
    return;
  }
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("KELVANE_CLOCK_CHILD", "1", 1);
    setenv("KELVANE_TICK_OFFSET", "-5000", 1);
    execl("/proc/self/exe", "clock_test",
          "--gtest_filter=RealClock.OffsetFromTheEnvironmentPutsTheStartBeforeTheWrap",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
