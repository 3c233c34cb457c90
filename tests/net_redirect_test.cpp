// The redirection table: adding, looking up and cancelling redirections,
// devices taken by other (living or dead) processes, and concurrent changes
// that must not lose each other. Test thread plus the threads and child
// processes a test starts.
#include "platform/net_redirect.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/home.h"
#include "support/test_support.h"

namespace {

using plat::AddConnection;
using plat::CancelConnection;
using plat::RedirectedShare;

std::string TableFile() { return plat::RunDirectory() + "/netuse"; }

// A process id that no process has any more.
long DeadPid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(NetRedirectTest, AddLookUpAndCancel) {
  kt::TempHome home;
  EXPECT_FALSE(RedirectedShare("LPT1").has_value());
  ASSERT_EQ(AddConnection("LPT1", "\\\\office\\ribbon"), 0u);
  EXPECT_EQ(RedirectedShare("LPT1").value_or(""), "\\\\office\\ribbon");
  EXPECT_EQ(RedirectedShare("lpt1:").value_or(""), "\\\\office\\ribbon");
  EXPECT_FALSE(RedirectedShare("LPT2").has_value());

  EXPECT_EQ(AddConnection("lpt1:", "\\\\office\\other"), static_cast<DWORD>(EBUSY));
  EXPECT_EQ(RedirectedShare("LPT1").value_or(""), "\\\\office\\ribbon");

  EXPECT_EQ(CancelConnection("LPT1:", true), 0u);
  EXPECT_FALSE(RedirectedShare("LPT1").has_value());
  EXPECT_EQ(CancelConnection("LPT1", true), static_cast<DWORD>(ENOENT));
  EXPECT_EQ(AddConnection("LPT1", "\\\\office\\other"), 0u);
}

TEST(NetRedirectTest, RefusesBadDevicesAndShares) {
  kt::TempHome home;
  for (const char* device : {"LPT0", "LPT10", "COM1", "", "PRN"})
    EXPECT_EQ(AddConnection(device, "\\\\h\\s"), static_cast<DWORD>(EINVAL)) << device;
  for (const char* share : {"", "h\\s", "\\\\", "\\\\h\\s\nLPT2\t\\\\x\\y\t1"})
    EXPECT_EQ(AddConnection("LPT1", share), static_cast<DWORD>(EINVAL));
  EXPECT_FALSE(RedirectedShare("LPT1").has_value());
  EXPECT_FALSE(RedirectedShare("LPT2").has_value());
}

TEST(NetRedirectTest, ADeviceOfAnotherLivingProcessIsTaken) {
  kt::TempHome home;
  // Process 1 always lives.
  kt::WriteFileBytes(TableFile(), "LPT2\t\\\\far\\away\t1\n");
  EXPECT_EQ(RedirectedShare("LPT2").value_or(""), "\\\\far\\away");
  EXPECT_EQ(AddConnection("LPT2", "\\\\office\\ribbon"), static_cast<DWORD>(EBUSY));
  EXPECT_EQ(CancelConnection("LPT2", true), static_cast<DWORD>(EACCES));
  EXPECT_EQ(RedirectedShare("LPT2").value_or(""), "\\\\far\\away");
  // Our own change keeps the other process's line.
  ASSERT_EQ(AddConnection("LPT3", "\\\\office\\ribbon"), 0u);
  EXPECT_EQ(RedirectedShare("LPT2").value_or(""), "\\\\far\\away");
}

TEST(NetRedirectTest, ADeviceOfADeadProcessIsFreeAgain) {
  kt::TempHome home;
  kt::WriteFileBytes(TableFile(), "LPT1\t\\\\crashed\\spooler\t" +
                                      std::to_string(DeadPid()) + "\n" +
                                      "garbage line\nLPT4\t\\\\x\\y\tnot-a-pid\n");
  EXPECT_FALSE(RedirectedShare("LPT1").has_value());
  EXPECT_FALSE(RedirectedShare("LPT4").has_value());
  EXPECT_EQ(AddConnection("LPT1", "\\\\office\\ribbon"), 0u);
  EXPECT_EQ(RedirectedShare("LPT1").value_or(""), "\\\\office\\ribbon");
  // The dead line is gone from the file, not only ignored.
  EXPECT_EQ(kt::ReadFileBytes(TableFile()).find("crashed"), std::string::npos);
}

TEST(NetRedirectTest, AnotherProcessSeesOurRedirectionAndWeSeeItsEnd) {
  kt::TempHome home;
  int toParent[2];
  int toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char c = AddConnection("LPT5", "\\\\child\\share") == 0 ? 'y' : 'n';
    [[maybe_unused]] auto w = ::write(toParent[1], &c, 1);
    [[maybe_unused]] auto r = ::read(toChild[0], &c, 1);  // wait for the parent
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(toParent[0], &c, 1), 1);
  EXPECT_EQ(c, 'y');
  EXPECT_EQ(RedirectedShare("LPT5").value_or(""), "\\\\child\\share");
  EXPECT_EQ(AddConnection("LPT5", "\\\\ours\\share"), static_cast<DWORD>(EBUSY));
  ASSERT_EQ(::write(toChild[1], "x", 1), 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_FALSE(RedirectedShare("LPT5").has_value());
  EXPECT_EQ(AddConnection("LPT5", "\\\\ours\\share"), 0u);
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

TEST(NetRedirectTest, ConcurrentChangesAreNotLost) {
  kt::TempHome home;
  std::vector<std::thread> threads;
  std::vector<int> won(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &won] {
      // Each thread grabs what it can, as four print runs capturing shares.
      for (int n = 1; n <= 9; ++n) {
        if (AddConnection("LPT" + std::to_string(n),
                          "\\\\host\\t" + std::to_string(t)) == 0)
          ++won[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  int total = 0;
  for (int w : won) total += w;
  EXPECT_EQ(total, 9);  // each device went to exactly one thread
  // The table says the same as the threads' own account of what they won.
  std::vector<int> inTable(4, 0);
  for (int n = 1; n <= 9; ++n) {
    auto s = RedirectedShare("LPT" + std::to_string(n));
    ASSERT_TRUE(s.has_value()) << n;
    ASSERT_EQ(s->rfind("\\\\host\\t", 0), 0u) << *s;
    ++inTable[std::stoi(s->substr(8))];
  }
  EXPECT_EQ(inTable, won);
}

}  // namespace
