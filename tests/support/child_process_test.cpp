// ChildProcess, the child-process runner of the benchmarks and the soak
// programs: exit codes, where the standard streams go, the bounded wait,
// kills of the child and of its group, and its processor time. The
// children are /bin/sh one-liners. Test thread only.
#include "tests/support/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using namespace std::chrono_literals;
using kt::ChildErrors;
using kt::ChildInput;
using kt::ChildOptions;
using kt::ChildOutput;
using kt::ChildProcess;

TEST(ChildProcess, ExitCodes) {
  const struct {
    std::vector<std::string> argv;
    bool starts;
    int code;
  } cases[] = {
      {{"true"}, true, 0},
      {{"sh", "-c", "exit 3"}, true, 3},
      {{"sh", "-c", "kill -TERM $$"}, true, 128 + SIGTERM},
      {{"/nonexistent/kelvane-no-such-program"}, false, ChildProcess::kCannotStart},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.front());
    ChildProcess child;
    EXPECT_EQ(child.Start(c.argv), c.starts);
    EXPECT_EQ(child.Wait(10s), c.code);
    EXPECT_FALSE(child.Running());
  }
}

TEST(ChildProcess, Streams) {
  kt::TempHome home;
  const std::string file = home.File("out.txt");
  const std::string writeBoth = "echo out; echo err >&2";
  const struct {
    const char* what;
    ChildOutput output;
    ChildErrors errors;
    const char* before;  // the file's content before the start
    const char* input;   // written to an input pipe when not null
    std::string script;
    const char* after;
  } cases[] = {
      {"output emptied first", ChildOutput::File, ChildErrors::Null, "old\n", nullptr,
       writeBoth, "out\n"},
      {"errors with the output", ChildOutput::File, ChildErrors::WithOutput, "", nullptr,
       writeBoth, "out\nerr\n"},
      {"output appended", ChildOutput::AppendToFile, ChildErrors::WithOutput, "old\n",
       nullptr, writeBoth, "old\nout\nerr\n"},
      {"output to nowhere", ChildOutput::Null, ChildErrors::Null, "old\n", nullptr,
       writeBoth, "old\n"},
      {"input through the pipe", ChildOutput::File, ChildErrors::Null, "", "hello\n",
       "read line; echo \"[$line]\"", "[hello]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    kt::WriteFileBytes(file, c.before);
    ChildOptions options;
    options.input = c.input ? ChildInput::Pipe : ChildInput::Null;
    options.output = c.output;
    options.outputFile = file;
    options.errors = c.errors;
    ChildProcess child;
    ASSERT_TRUE(child.Start({"sh", "-c", c.script}, options));
    if (c.input) {
      EXPECT_TRUE(child.WriteInput(c.input));
    }
    EXPECT_EQ(child.Wait(10s), 0);
    EXPECT_EQ(kt::ReadFileBytes(file), c.after);
  }
}

TEST(ChildProcess, BoundedWaitThenKill) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({"sleep", "30"}));
  EXPECT_EQ(child.Wait(50ms), ChildProcess::kNotEnded);
  EXPECT_TRUE(child.Running());
  child.Kill();
  EXPECT_FALSE(child.Running());
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
}

TEST(ChildProcess, StopReachesTheWholeGroup) {
  kt::TempHome home;
  const std::string file = home.File("pid.txt");
  ChildOptions options;
  options.output = ChildOutput::File;
  options.outputFile = file;
  options.ownGroup = true;
  ChildProcess child;
  ASSERT_TRUE(child.Start({"sh", "-c", "sleep 30 & echo $!; wait"}, options));
  std::string text;
  for (int i = 0; i < 1000 && (text = kt::ReadFileBytes(file)).find('\n') == std::string::npos;
       ++i)
    std::this_thread::sleep_for(5ms);
  const pid_t grandchild = std::stoi(text);
  child.Stop(5s);
  EXPECT_NE(child.Wait(0ms), ChildProcess::kNotEnded);
  // The sleep went with its parent's group (reaped by whoever inherited it).
  bool gone = false;
  for (int i = 0; i < 400 && !gone; ++i) {
    gone = ::kill(grandchild, 0) != 0 && errno == ESRCH;
    if (!gone) std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(gone);
}

TEST(ChildProcess, ProcessorTimeOfTheChild) {
  ChildProcess child;
  ASSERT_TRUE(child.Start(
      {"sh", "-c", "i=0; while [ $i -lt 100000 ]; do i=$((i+1)); done"}));
  EXPECT_EQ(child.CpuTime().count(), 0);
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_GT(child.CpuTime().count(), 0);
}

TEST(ChildProcess, ForkedCopyRunsTheFunction) {
  ChildProcess child;
  ASSERT_TRUE(child.StartCopy([] { return 7; }));
  EXPECT_EQ(child.Wait(10s), 7);
}

TEST(ChildProcess, RunProgramKillsOneThatOverstays) {
  EXPECT_EQ(kt::RunProgram({"sh", "-c", "exit 5"}, 10s), 5);
  EXPECT_EQ(kt::RunProgram({"sleep", "30"}, 50ms), ChildProcess::kNotEnded);
}

}  // namespace
