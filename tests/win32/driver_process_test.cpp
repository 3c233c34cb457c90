// The driver's Windows process calls on the real system: the spooler's
// detached start with its output in a log, and the system's error texts.
// Test thread only.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/support/test_support.h"
#include "platform/process.h"

namespace {

// Waits (bounded) until `path` holds `text`; the started program runs on
// its own, so its output comes when it comes.
bool WaitForText(const std::string& path, const std::string& text) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (kt::ReadFileBytes(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(DriverStartDetached, TheProgramRunsWithItsOutputAppendedToTheLog) {
  kt::TempHome home;
  const std::string log = home.File("spooler.log");
  kt::WriteFileBytes(log, "earlier run\r\n");
  plat::StartedProgram program = plat::StartDetached(
      "C:\\windows\\system32\\cmd.exe", {"/c", "echo", "started alone"}, log);
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(WaitForText(log, "started alone")) << kt::ReadFileBytes(log);
  EXPECT_EQ(kt::ReadFileBytes(log).rfind("earlier run\r\n", 0), 0u);
}

// The driver tells a refused start (a spooler that ends at once with an
// exit code of its own) from one that took the queue.
TEST(DriverStartDetached, TheEndOfTheProgramAndItsExitCodeAreLearnt) {
  kt::TempHome home;
  plat::StartedProgram program = plat::StartDetached(
      "C:\\windows\\system32\\cmd.exe", {"/c", "exit", "2"}, home.File("spooler.log"));
  ASSERT_TRUE(program.started());
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (program.Poll().state == plat::ProgramState::Running &&
         std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(program.Poll().state, plat::ProgramState::Exited);
  EXPECT_EQ(program.Poll().code, 2u);
}

TEST(DriverStartDetached, AProgramThatIsNotThereIsNotStarted) {
  kt::TempHome home;
  EXPECT_FALSE(plat::StartDetached(home.File("no-such-spooler.exe"), {"-f", "q"},
                                     home.File("spooler.log"))
                   .started());
  EXPECT_FALSE(plat::IsExecutable(home.File("no-such-spooler.exe")));
  EXPECT_TRUE(plat::IsExecutable("C:\\windows\\system32\\cmd.exe"));
}

TEST(DriverErrors, SystemCodesReadAsTheSystemsText) {
  // ERROR_FILE_NOT_FOUND and ERROR_SHARING_VIOLATION.
  const std::string notFound = plat::DescribeError(2);
  const std::string sharing = plat::DescribeError(32);
  EXPECT_FALSE(notFound.empty());
  EXPECT_NE(notFound, sharing);
  EXPECT_NE(notFound.back(), '\n');
  EXPECT_EQ(plat::DescribeError(0xDEADBEEF), "error " + std::to_string(0xDEADBEEFu));
}

}  // namespace
