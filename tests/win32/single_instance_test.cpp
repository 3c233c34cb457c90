// The single-instance marker on Windows: the named semaphore "VORNA
// KELVANE", one holder at a time, free again once released.
// Test thread.
#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include "platform/win32/windows_api.h"

namespace {

bool SemaphoreExists() {
  W32_HANDLE semaphore = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, "VORNA KELVANE");
  if (!semaphore) return false;
  ::CloseHandle(semaphore);
  return true;
}

TEST(SingleInstance, OnlyOneHolderAtATimeAndFreeAfterTheRelease) {
  ASSERT_FALSE(plat::IsSpoolerRunning()) << "another spooler runs in this session";
  plat::SingleInstance first;
  ASSERT_TRUE(first.Acquire());
  EXPECT_TRUE(first.held());
  EXPECT_TRUE(first.Acquire());  // held already: still ours
  EXPECT_TRUE(SemaphoreExists());
  EXPECT_TRUE(plat::IsSpoolerRunning());

  plat::SingleInstance second;
  EXPECT_FALSE(second.Acquire());
  EXPECT_FALSE(second.held());
  // The refused claim left the first one's marker alone.
  EXPECT_TRUE(plat::IsSpoolerRunning());

  first.Release();
  EXPECT_FALSE(first.held());
  EXPECT_FALSE(SemaphoreExists());
  EXPECT_FALSE(plat::IsSpoolerRunning());
  EXPECT_TRUE(second.Acquire());
  EXPECT_TRUE(plat::IsSpoolerRunning());
}

TEST(SingleInstance, TheHolderGoingAwayFreesTheMarker) {
  {
    plat::SingleInstance held;
    ASSERT_TRUE(held.Acquire());
    EXPECT_TRUE(plat::IsSpoolerRunning());
  }
  EXPECT_FALSE(plat::IsSpoolerRunning());
}

}  // namespace
