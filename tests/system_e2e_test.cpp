// The whole system as real processes: kelvane-driver queues jobs,
// kelvane-headless prints them to kelvane-printer, and the bytes that arrive
// are compared with what was submitted. The spooler's timer runs at
// KELVANE_TIMER_MS=200 so that a test does not wait for 5-second ticks.
// Test thread; the programs run as child processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/print_job_runner.h"
#include "tests/support/test_support.h"

#if defined(KELVANE_HEADLESS_PATH) && defined(KELVANE_DRIVER_PATH) && \
    defined(KELVANE_PRINTER_PATH)

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A child process with optional pipes to its standard input and output.
class Process {
 public:
  Process(const std::vector<std::string>& argv, bool pipeIn, bool pipeOut) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (pipeIn) {
      EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    }
    if (pipeOut) {
      EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(pipeIn ? in[0] : devnull, 0);
      ::dup2(pipeOut ? out[1] : devnull, 1);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (pipeIn) {
      ::close(in[0]);
      in_ = in[1];
    }
    if (pipeOut) {
      ::close(out[1]);
      out_ = out[0];
      ::fcntl(out_, F_SETFL, O_NONBLOCK);
    }
  }
  ~Process() {
    if (in_ >= 0) ::close(in_);
    if (out_ >= 0) ::close(out_);
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

  // The exit code, or -1 when it has not ended within `limit`.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!exited_) {
      int status = 0;
      pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > deadline) return -1;
      Drain();
      std::this_thread::sleep_for(5ms);
    }
    Drain();
    return code_;
  }
  bool Running() { return Wait(0ms) == -1; }
  void Kill() {
    ::kill(pid_, SIGKILL);
    Wait(5000ms);
  }
  void Send(const std::string& text) {
    ASSERT_EQ(::write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void CloseInput() {
    ::close(in_);
    in_ = -1;
  }
  // Collects standard output until `text` has appeared or the limit passes.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
      if (Clock::now() > deadline) return false;
      Drain();
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  const std::string& output() {
    Drain();
    return output_;
  }

 private:
  void Drain() {
    if (out_ < 0) return;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out_, buffer, sizeof buffer)) > 0) output_.append(buffer, n);
  }
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool exited_ = false;
  int code_ = -1;
  std::string output_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::string Bytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  unsigned x = seed * 2654435761u + 7;
  for (std::size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 16);
  }
  return s;
}

std::string Prefix() {
  return std::string(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX);
}

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KELVANE_TIMER_MS", "200", 1);
    ASSERT_EQ(Run({KELVANE_DRIVER_PATH, "install"}), 0);
    socket_ = home_.File("run/printer.sock");
    output_ = home_.File("printed.prn");
  }
  void TearDown() override {
    printer_.reset();
    unsetenv("KELVANE_TIMER_MS");
  }

  static int Run(const std::vector<std::string>& argv) {
    Process p(argv, false, false);
    return p.Wait(20000ms);
  }

  void StartPrinter(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {KELVANE_PRINTER_PATH, "--output", output_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(socket_);
    printer_ = std::make_unique<Process>(argv, false, false);
    ASSERT_TRUE(WaitFor([&] { return kt::FileExists(socket_); }, 5000ms));
  }

  int PrinterControl(const std::vector<std::string>& command) {
    std::vector<std::string> argv = {KELVANE_PRINTER_PATH, "ctl", socket_};
    argv.insert(argv.end(), command.begin(), command.end());
    return Run(argv);
  }

  std::string Data(const std::string& name, std::size_t size, unsigned seed) {
    const std::string path = home_.File(name);
    kt::WriteFileBytes(path, Bytes(size, seed));
    return path;
  }

  // Queues a job without starting a spooler; returns what the printer must
  // receive for it.
  std::string Submit(const std::vector<std::string>& files, int copies = 1,
                     const std::string& printer = "VORNA Tamrel") {
    std::vector<std::string> argv = {KELVANE_DRIVER_PATH, "submit", "--no-start",
                                     "--copies", std::to_string(copies),
                                     "--printer", printer};
    argv.insert(argv.end(), files.begin(), files.end());
    EXPECT_EQ(Run(argv), 0);
    std::string one = Prefix();
    for (const std::string& f : files) one += kt::ReadFileBytes(f);
    std::string all;
    for (int i = 0; i < copies; ++i) all += one;
    return all;
  }

  std::unique_ptr<Process> StartSpooler(bool pipes = false,
                                        const std::string& flag = "-f") {
    return std::make_unique<Process>(
        std::vector<std::string>{KELVANE_HEADLESS_PATH, flag, home_.File("queue.txt")},
        pipes, pipes);
  }

  std::size_t Printed() { return kt::ReadFileBytes(output_).size(); }

  kt::TempHome home_;
  std::string socket_;
  std::string output_;
  std::unique_ptr<Process> printer_;
};

TEST_F(SystemTest, QueuedJobsArePrintedByteExactAndTheSpoolerEndsByItself) {
  StartPrinter();
  std::string expected;
  expected += Submit({Data("a.bin", 5000, 1)});
  expected += Submit({Data("b.bin", 4096, 2), Data("c.bin", 2049, 3)}, 2);
  expected += Submit({Data("d.bin", 1, 4)}, 3);
  auto spooler = StartSpooler();
  EXPECT_EQ(spooler->Wait(20000ms), 0);
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}

TEST_F(SystemTest, CantellaQueueKeepsTheSpoolerUntilCommandZero) {
  StartPrinter();
  const std::string expected = Submit({Data("a.bin", 3000, 5)}, 1, "VORNA Cantella");
  auto spooler = StartSpooler();
  ASSERT_TRUE(WaitFor([&] { return Printed() == expected.size(); }, 10000ms));
  std::this_thread::sleep_for(1000ms);  // several ticks of idleness
  EXPECT_TRUE(spooler->Running());

  Process command({KELVANE_DRIVER_PATH, "command", "0"}, false, true);
  EXPECT_EQ(command.Wait(10000ms), 0);
  EXPECT_EQ(command.output(), "1\n");
  EXPECT_EQ(spooler->Wait(10000ms), 0);
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);

  // Nobody answers now.
  EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "command", "1", "--timeout", "500"}), 1);
}

TEST_F(SystemTest, SecondStartEndsAtOnceAndItsJobGoesToTheFirst) {
  StartPrinter();
  std::string expected = Submit({Data("a.bin", 2000, 6)}, 1, "VORNA Cantella");
  auto first = StartSpooler();
  ASSERT_TRUE(WaitFor([&] { return Printed() == expected.size(); }, 10000ms));

  expected += Submit({Data("b.bin", 2500, 7)}, 1, "VORNA Cantella");
  const auto started = Clock::now();
  auto second = StartSpooler();
  EXPECT_EQ(second->Wait(5000ms), 0);
  EXPECT_LT(Clock::now() - started, 3000ms);

  // The first spooler's scheduler takes the job the second one left.
  EXPECT_TRUE(WaitFor([&] { return Printed() == expected.size(); }, 10000ms));
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
  EXPECT_TRUE(first->Running());
  EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "command", "0"}), 0);
  EXPECT_EQ(first->Wait(10000ms), 0);
}

TEST_F(SystemTest, KilledSpoolerIsRecoveredByTheNextStart) {
  StartPrinter({"--rate", "4000"});
  Submit({Data("big.bin", 60000, 8)});
  auto first = StartSpooler();
  ASSERT_TRUE(WaitFor([&] { return Printed() > 0; }, 10000ms));
  first->Kill();
  ASSERT_EQ(PrinterControl({"rate", "0"}), 0);

  const std::size_t before = Printed();
  const std::string next = Submit({Data("next.bin", 3000, 9)});
  auto second = StartSpooler(true);
  // The marker of the killed run is still "Processing": the old job is
  // dropped with a message, the newest one prints.
  ASSERT_TRUE(second->WaitForOutput("answer? ", 10000ms)) << second->output();
  EXPECT_NE(second->output().find("Configuration/Queue File Error."), std::string::npos);
  second->Send("\n");
  EXPECT_EQ(second->Wait(15000ms), 0) << second->output();
  const std::string printed = kt::ReadFileBytes(output_);
  ASSERT_GE(printed.size(), before + next.size());
  EXPECT_EQ(printed.substr(printed.size() - next.size()), next);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

TEST_F(SystemTest, UnknownFlagFailsTheStartWithoutAMessage) {
  auto spooler = StartSpooler(true, "-F");
  spooler->CloseInput();
  EXPECT_EQ(spooler->Wait(10000ms), 2);
  EXPECT_EQ(spooler->output(), "");
  // It did not stay as the running instance.
  auto again = StartSpooler(true, "-x");
  again->CloseInput();
  EXPECT_EQ(again->Wait(10000ms), 2);
}

TEST_F(SystemTest, FaultPromptIsAnsweredOnStandardInput) {
  StartPrinter();
  ASSERT_EQ(PrinterControl({"paperout"}), 0);
  const std::string expected = Submit({Data("a.bin", 6000, 10)});
  auto spooler = StartSpooler(true);
  ASSERT_TRUE(spooler->WaitForOutput("answer? ", 15000ms)) << spooler->output();
  EXPECT_NE(spooler->output().find("caption: Kelvane Error\n"), std::string::npos)
      << spooler->output();
  ASSERT_EQ(PrinterControl({"ready"}), 0);
  spooler->Send("RETRY\n");
  EXPECT_EQ(spooler->Wait(15000ms), 0) << spooler->output();
  EXPECT_NE(spooler->output().find("answered: retry"), std::string::npos);
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
}

}  // namespace

#else
TEST(SystemTest, ProgramsNotBuilt) { GTEST_SKIP() << "driver, spooler or printer missing"; }
#endif
