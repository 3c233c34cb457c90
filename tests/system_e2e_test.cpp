// The whole system as real processes: kelvane-driver queues jobs,
// kelvane-headless prints them to kelvane-printer, and the bytes that arrive
// are compared with what was submitted. The spooler's timer runs at
// KELVANE_TIMER_MS=200 so that a test does not wait for 5-second ticks.
// Test thread; the programs run as child processes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/print_job_runner.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"

#if defined(KELVANE_HEADLESS_PATH) && defined(KELVANE_DRIVER_PATH) && \
    defined(KELVANE_PRINTER_PATH)

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A child process with optional pipes to its standard input and output
// (with `withErrors`, standard error goes into the same pipe).
class Process {
 public:
  Process(const std::vector<std::string>& argv, bool pipeIn, bool pipeOut,
          bool withErrors = false) {
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
      if (pipeOut && withErrors) ::dup2(out[1], 2);
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

  // Sends printer command `n` until the spooler takes it: a command is
  // refused (result 0) while a print run is still alive, and the run lives
  // on for a moment after its last byte reached the printer.
  static std::string SendCommandWhenIdle(const char* n) {
    std::string result;
    for (int attempt = 0; attempt < 40; ++attempt) {
      Process command({KELVANE_DRIVER_PATH, "command", n}, false, true);
      if (command.Wait(10000ms) != 0) return "driver failed";
      result = command.output();
      if (result != "0\n") break;
      std::this_thread::sleep_for(250ms);
    }
    return result;
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

  EXPECT_EQ(SendCommandWhenIdle("0"), "1\n");
  EXPECT_EQ(spooler->Wait(10000ms), 0);
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);

  // Nobody answers now.
  EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "command", "1", "--timeout", "500"}), 1);
}

TEST_F(SystemTest, APrinterReplyCannotDriveTheTerminalOrPassForAPrompt) {
  StartPrinter();
  const std::string expected = Submit({Data("a.bin", 1000, 9)}, 1, "VORNA Cantella");
  auto spooler = StartSpooler(true);
  ASSERT_TRUE(WaitFor([&] { return Printed() == expected.size(); }, 10000ms));
  // The idle poll reads what the printer says between jobs: a status that
  // clears the screen and imitates our prompt lines.
  const std::string reply = "S\x1b[2Jready\nbuttons: fake\nanswer? ";
  std::string hex;
  for (unsigned char c : reply) {
    char byte[3];
    std::snprintf(byte, sizeof byte, "%02x", c);
    hex += byte;
  }
  ASSERT_EQ(PrinterControl({"raw", hex}), 0);
  const std::string shown =
      "text: \\e[2Jready\n"
      "      buttons: fake\n"
      "      answer? \n"
      "buttons: ok\n";
  ASSERT_TRUE(spooler->WaitForOutput(shown, 10000ms)) << spooler->output();
  EXPECT_EQ(spooler->output().find('\x1b'), std::string::npos);
  spooler->Send("ok\n");
  EXPECT_EQ(SendCommandWhenIdle("0"), "1\n");
  EXPECT_EQ(spooler->Wait(10000ms), 0);
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
  EXPECT_EQ(SendCommandWhenIdle("0"), "1\n");
  EXPECT_EQ(first->Wait(10000ms), 0);
}

TEST_F(SystemTest, KilledSpoolerIsRecoveredByTheNextStart) {
  StartPrinter({"--rate", "4000"});
  Submit({Data("big.bin", 60000, 8)});
  const std::string queued = Submit({Data("queued.bin", 2000, 10)});
  auto first = StartSpooler();
  // Past the first block: the job has begun (a kill before it keeps it).
  ASSERT_TRUE(WaitFor([&] { return Printed() > 4096; }, 10000ms));
  first->Kill();
  ASSERT_EQ(PrinterControl({"rate", "0"}), 0);

  const std::size_t before = Printed();
  const std::string next = Submit({Data("next.bin", 3000, 9)});
  auto second = StartSpooler(true);
  // The marker of the killed run is still "Processing": the job it was
  // printing is dropped with a message; the jobs that never began print.
  ASSERT_TRUE(second->WaitForOutput("answer? ", 10000ms)) << second->output();
  EXPECT_NE(second->output().find("Configuration/Queue File Error."), std::string::npos);
  second->Send("\n");
  EXPECT_EQ(second->Wait(15000ms), 0) << second->output();
  const std::string printed = kt::ReadFileBytes(output_);
  ASSERT_EQ(printed.size(), before + queued.size() + next.size());
  EXPECT_TRUE(printed.substr(before) == queued + next);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}

// A driver stopped while it copies a job leaves no spool file that no record
// names: SIGINT, SIGTERM and SIGHUP remove what it wrote, and what a SIGKILL
// leaves is removed by the next spooler's start.
TEST_F(SystemTest, AnInterruptedSubmitLeavesNoSpoolFileBehind) {
  const std::string big = Data("big.bin", 48u << 20, 21);
  const std::string queue = home_.File("queue.txt");
  auto spoolFiles = [&] {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(home_.File("spool")))
      names.push_back(entry.path().filename().string());
    return names;
  };
  int stoppedMidway = 0;
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  for (int round = 0; round < 12; ++round) {
    Process driver({KELVANE_DRIVER_PATH, "submit", "--no-start", big}, false, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + 9 * round));
    ::kill(driver.pid(), signals[round % 3]);
    const int code = driver.Wait(20000ms);
    const std::string records = kt::ReadFileBytes(queue);
    const std::vector<std::string> names = spoolFiles();
    // A signal that comes while the record is appended waits until it is
    // (then ends the driver as usual): the job is queued all the same.
    if (code == 0 || !records.empty()) {
      // It finished first: its record names its one file, which is whole.
      ASSERT_EQ(names.size(), 1u) << round;
      EXPECT_NE(records.find(names[0]), std::string::npos) << round;
      EXPECT_EQ(std::filesystem::file_size(home_.File("spool/" + names[0])), 48u << 20);
      ::unlink(home_.File("spool/" + names[0]).c_str());
      ::unlink(queue.c_str());
    } else {
      ++stoppedMidway;
      EXPECT_EQ(code, 128 + signals[round % 3]) << round;
      EXPECT_TRUE(names.empty()) << round << ": " << names[0];
      EXPECT_EQ(records, "") << round;
    }
  }
  EXPECT_GT(stoppedMidway, 0) << "no signal arrived while the driver copied";

  // SIGKILL cannot be caught: the unfinished file stays, under a name that
  // says whose it is, until a spooler starts and finds its writer gone.
  bool leftOne = false;
  for (int round = 0; round < 10 && !leftOne; ++round) {
    Process driver({KELVANE_DRIVER_PATH, "submit", "--no-start", big}, false, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + 5 * round));
    ::kill(driver.pid(), SIGKILL);
    driver.Wait(20000ms);
    for (const std::string& name : spoolFiles()) {
      if (name.find(".part") != std::string::npos) leftOne = true;
    }
    if (kt::ReadFileBytes(queue) != "") {
      for (const std::string& name : spoolFiles()) ::unlink(home_.File("spool/" + name).c_str());
      ::unlink(queue.c_str());
    }
  }
  ASSERT_TRUE(leftOne) << "no SIGKILL arrived while the driver copied";
  kt::WriteFileBytes(queue, "");
  auto spooler = StartSpooler();
  EXPECT_EQ(spooler->Wait(20000ms), 0);
  EXPECT_TRUE(spoolFiles().empty());
}

TEST_F(SystemTest, ABadCommandLineIsSaidOnStandardError) {
  // Both streams of the spooler through one pipe.
  auto run = [](const std::string& arguments) {
    Process p({"/bin/sh", "-c", std::string("exec ") + KELVANE_HEADLESS_PATH + " " + arguments +
                                    " 2>&1 </dev/null"},
              false, true);
    EXPECT_EQ(p.Wait(10000ms), 2) << arguments;
    return p.output();
  };
  const std::string usage =
      "usage: kelvane-headless [--on-fault ask|retry[=SECONDS]|keep] [-f QUEUE_FILE | -i PORT]\n";
  EXPECT_EQ(run("-F x"), "kelvane-headless: unknown argument: -F\n" + usage);
  EXPECT_EQ(run("-f"), "kelvane-headless: -f needs the queue file's path\n" + usage);
  EXPECT_EQ(run("-i ''"), "kelvane-headless: -i needs a port name\n" + usage);
  EXPECT_EQ(run("-f /tmp/" + std::string(120, 'q')),
            "kelvane-headless: the queue file's path is longer than 99 characters\n" + usage);
  const std::string badPolicy = run("--on-fault sometimes -f q");
  EXPECT_EQ(badPolicy.rfind("kelvane-headless: ", 0), 0u) << badPolicy;
  EXPECT_NE(badPolicy.find(usage), std::string::npos) << badPolicy;
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

// A queue path that names something else (a text file, a pipe, a folder)
// ends the start with a word that names it and exit 2; the file keeps
// every byte, even when the one who started it answers OK to everything.
TEST_F(SystemTest, AFileThatIsNoQueueIsRefusedAtStartAndKeepsItsBytes) {
  const std::string text = home_.File("notes.txt");
  std::string services;
  for (int i = 0; i < 400; ++i) services += "service" + std::to_string(i) + "\t" + std::to_string(i) + "/tcp\n";
  kt::WriteFileBytes(text, services);
  const std::string fifo = home_.File("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {text, fifo, home_.File("spool")}) {
    Process spooler({"/bin/sh", "-c",
                     std::string("yes ok | exec ") + KELVANE_HEADLESS_PATH + " -f " + path},
                    false, true);
    EXPECT_EQ(spooler.Wait(10000ms), 2) << path << "\n" << spooler.output();
    EXPECT_NE(spooler.output().find("will not use " + path + " as its queue file"),
              std::string::npos)
        << spooler.output();
  }
  EXPECT_EQ(kt::ReadFileBytes(text), services);
}

// The box the print thread shows for an out-of-paper printer, as the
// console prints it.
constexpr const char* kPaperOutBox =
    "--- message box ---\n"
    "caption: Kelvane Error\n"
    "text: The printer is reporting out of paper.  Check paper supply.\n"
    "buttons: retry cancel\n"
    "answer? ";

TEST_F(SystemTest, FaultPromptIsAnsweredOnStandardInput) {
  StartPrinter();
  ASSERT_EQ(PrinterControl({"paperout"}), 0);
  const std::string expected = Submit({Data("a.bin", 6000, 10)});
  auto spooler = StartSpooler(true);
  ASSERT_TRUE(spooler->WaitForOutput("answer? ", 15000ms)) << spooler->output();
  EXPECT_NE(spooler->output().find(kPaperOutBox), std::string::npos) << spooler->output();

  // While the print thread waits for the answer, the main thread still
  // serves the driver: a command is refused because the job holds the port.
  Process command({KELVANE_DRIVER_PATH, "command", "1", "--timeout", "5000"}, false, true);
  EXPECT_EQ(command.Wait(10000ms), 0);
  EXPECT_EQ(command.output(), "0\n");

  ASSERT_EQ(PrinterControl({"ready"}), 0);
  // Not a button of this box: asked again, nothing happens meanwhile.
  spooler->Send("ignore\n");
  ASSERT_TRUE(spooler->WaitForOutput("not a button of this box: ignore\n", 5000ms))
      << spooler->output();
  spooler->Send("RETRY\n");
  EXPECT_EQ(spooler->Wait(15000ms), 0) << spooler->output();
  EXPECT_NE(spooler->output().find("answered: retry"), std::string::npos);
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

TEST_F(SystemTest, FaultPromptCancelledOnStandardInputAbandonsTheQueue) {
  StartPrinter();
  ASSERT_EQ(PrinterControl({"paperout"}), 0);
  Submit({Data("a.bin", 6000, 11)});
  Submit({Data("b.bin", 3000, 12)});
  auto spooler = StartSpooler(true);
  ASSERT_TRUE(spooler->WaitForOutput("answer? ", 15000ms)) << spooler->output();
  EXPECT_NE(spooler->output().find(kPaperOutBox), std::string::npos) << spooler->output();
  ASSERT_EQ(PrinterControl({"ready"}), 0);
  // The answer, not the printer's recovery, decides: Cancel gives the
  // queue up although the printer is ready again.
  spooler->Send("Cancel\n");
  EXPECT_EQ(spooler->Wait(15000ms), 0) << spooler->output();
  EXPECT_NE(spooler->output().find("answered: cancel"), std::string::npos);
  EXPECT_LT(Printed(), 6u + 6000u);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}

TEST_F(SystemTest, InkStartPublishesTheLevelsAndStaysInManualMode) {
  StartPrinter({"--first-reply-length", "20", "--levels", "40,71,55,23"});
  auto ink = std::make_unique<Process>(
      std::vector<std::string>{KELVANE_HEADLESS_PATH, "-i", "LPT1:"}, true, true);
  auto report = [] {
    Process p({KELVANE_DRIVER_PATH, "ink"}, false, true);
    p.Wait(10000ms);
    return p.output();
  };
  ASSERT_TRUE(WaitFor([&] { return report().find("InkType=1\n") != std::string::npos; },
                      10000ms))
      << report();
  EXPECT_NE(report().find("BlackLevel=40\n"), std::string::npos) << report();
  const std::size_t queried = Printed();
  EXPECT_GT(queried, 0u);
  std::this_thread::sleep_for(600ms);  // a few ticks: manual mode does nothing
  EXPECT_TRUE(ink->Running());
  EXPECT_EQ(Printed(), queried);

  // A second ink start while one runs queries nothing and ends at once.
  Process second({KELVANE_HEADLESS_PATH, "-i", "LPT1:"}, false, false);
  EXPECT_EQ(second.Wait(5000ms), 0);
  EXPECT_EQ(Printed(), queried);

  Process close({KELVANE_DRIVER_PATH, "command", "0"}, false, true);
  EXPECT_EQ(close.Wait(10000ms), 0);
  EXPECT_EQ(close.output(), "1\n");
  EXPECT_EQ(ink->Wait(10000ms), 0);
  EXPECT_EQ(ink->output(), "");  // nothing was asked
}

// Splits a queue file into its CR LF lines (the empty record separator
// included as ""); a tail without CR LF is returned as a last line.
std::vector<std::string> QueueLines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The spool files the queue file names, in queue order.
std::vector<std::string> QueuedSpoolFiles(const std::string& queue, const std::string& spoolDir) {
  std::vector<std::string> files;
  for (const std::string& line : QueueLines(queue))
    if (line.rfind(spoolDir, 0) == 0) files.push_back(line);
  return files;
}

TEST_F(SystemTest, SignalsStopTheSpoolerWithoutAQuestionAndKeepTheQueueForTheNextStart) {
  StartPrinter({"--rate", "6000"});
  const std::string big = Bytes(30000, 20);
  Submit({Data("big.bin", big.size(), 20)});
  std::vector<std::string> small;
  for (unsigned i = 0; i < 4; ++i) {
    small.push_back(Bytes(5000, 21 + i));
    Submit({Data("small" + std::to_string(i) + ".bin", 5000, 21 + i)});
  }
  const std::string queue = kt::ReadFileBytes(home_.File("queue.txt"));
  const std::vector<std::string> spools = QueuedSpoolFiles(queue, home_.File("spool/"));
  ASSERT_EQ(spools.size(), 5u) << queue;

  // A service manager's SIGTERM, Ctrl+C and a closing terminal, one start
  // each: the big job stops within a block, nothing is asked, and the next
  // start finds every record and spool file where the driver left them.
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::size_t before = Printed();
    auto spooler = StartSpooler(true);
    ASSERT_TRUE(WaitFor([&] { return Printed() > before; }, 10000ms));
    ASSERT_EQ(::kill(spooler->pid(), signal), 0);
    EXPECT_EQ(spooler->Wait(15000ms), 0) << spooler->output();
    EXPECT_EQ(spooler->output(), "");  // no question, no recovery message
    const std::string printed = kt::ReadFileBytes(output_).substr(before);
    // Only the big job's first bytes behind one job start, nothing of the
    // next job; its spool file is as the driver wrote it, however often it
    // was started.
    EXPECT_TRUE(kt::ReadFileBytes(spools[0]) == big);
    EXPECT_LT(printed.size(), Prefix().size() + big.size());
    EXPECT_TRUE(printed == (Prefix() + big).substr(0, printed.size()));
    EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queue);
    for (unsigned i = 0; i < 4; ++i)  // not even a prefix for the others
      EXPECT_EQ(kt::ReadFileBytes(spools[i + 1]), small[i]) << i;
    EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  }

  // The next start prints them all, the interrupted one whole.
  ASSERT_EQ(PrinterControl({"rate", "0"}), 0);
  const std::size_t before = Printed();
  auto spooler = StartSpooler(true);
  EXPECT_EQ(spooler->Wait(30000ms), 0) << spooler->output();
  EXPECT_EQ(spooler->output(), "");
  std::string expected = Prefix() + big;
  for (const std::string& s : small) expected += Prefix() + s;
  EXPECT_TRUE(kt::ReadFileBytes(output_).substr(before) == expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}


TEST_F(SystemTest, DriverInstallKeepsValuesAndSubmitWritesTheQueueFormat) {
  // A second install changes nothing that is already there.
  ASSERT_TRUE(WriteRegString("Port", "LPT2:"));
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT1:", "file:/tmp/elsewhere"));
  ASSERT_TRUE(plat::WriteProfileString("devices", "Tovrel", "other,LPT2:"));
  ASSERT_TRUE(plat::WriteProfileString("Tovrel", "InkType", "2"));
  const std::string registry = kt::ReadFileBytes(plat::RegistryPath());
  const std::string profile = kt::ReadFileBytes(plat::ProfilePath());
  ASSERT_EQ(Run({KELVANE_DRIVER_PATH, "install"}), 0);
  EXPECT_EQ(kt::ReadFileBytes(plat::RegistryPath()), registry);
  EXPECT_EQ(kt::ReadFileBytes(plat::ProfilePath()), profile);

  const std::string a = Data("a.bin", 100, 14);
  const std::string b = Data("b.bin", 200, 15);
  ASSERT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--name", "Two sides",
                 "--port", "LPT3:", "--copies", "2", "--printer", "VORNA Cantella",
                 "--ribbon", "YMCKO", a, b}),
            0);
  const std::string queue = home_.File("queue.txt");
  const std::string first = kt::ReadFileBytes(queue);
  std::vector<std::string> lines = QueueLines(first);
  ASSERT_EQ(lines.size(), 7u) << first;
  // The newest record ends with its last line's CR LF, no empty line.
  EXPECT_EQ(first, "Two sides\r\nLPT3:\r\n2\r\nVORNA Cantella\r\nYMCKO\r\n" + lines[5] +
                       "\r\n" + lines[6] + "\r\n");
  EXPECT_EQ(kt::ReadFileBytes(lines[5]), kt::ReadFileBytes(a));
  EXPECT_EQ(kt::ReadFileBytes(lines[6]), kt::ReadFileBytes(b));
  EXPECT_EQ(lines[5].rfind(home_.File("spool/"), 0), 0u) << lines[5];

  // The next append first ends the previous record with the empty line.
  ASSERT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--old-form", "--name",
                 "old", a}),
            0);
  const std::string second = kt::ReadFileBytes(queue);
  ASSERT_EQ(second.compare(0, first.size(), first), 0);
  lines = QueueLines(second.substr(first.size()));
  ASSERT_EQ(lines.size(), 5u) << second;
  EXPECT_EQ(second.substr(first.size()), "\r\nold\r\nLPT1:\r\n1\r\n" + lines[4] + "\r\n");
  EXPECT_NE(lines[4].find('~'), std::string::npos);  // what marks the old form

  // A queue that already ends with the empty line gets no second one.
  kt::WriteFileBytes(queue, second + "\r\n");
  ASSERT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--name", "third", a}), 0);
  const std::string third = kt::ReadFileBytes(queue);
  EXPECT_EQ(third.compare(0, second.size() + 2, second + "\r\n"), 0);
  EXPECT_EQ(third.substr(second.size() + 2, 7), "third\r\n");

  // Refused records leave the queue and the spool directory as they were.
  const auto spoolCount = [&] {
    return std::distance(std::filesystem::directory_iterator(home_.File("spool")),
                         std::filesystem::directory_iterator{});
  };
  const auto spools = spoolCount();
  EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--printer", "A~B", a}), 1);
  EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--port", "", a}), 1);
  EXPECT_EQ(kt::ReadFileBytes(queue), third);
  EXPECT_EQ(spoolCount(), spools);
}

TEST_F(SystemTest, ADriverStartedSpoolerPrintsAndLeavesOnlyPrivateFiles) {
  const mode_t oldMask = ::umask(0);
  StartPrinter();
  const std::string expected = Submit({Data("a.bin", 3000, 16)});
  const std::string b = Data("b.bin", 2500, 17);
  // Not --no-start: the driver starts the spooler itself, detached.
  Process driver({KELVANE_DRIVER_PATH, "submit", "--spooler", KELVANE_HEADLESS_PATH, b},
                 false, true);
  EXPECT_EQ(driver.Wait(20000ms), 0);
  EXPECT_EQ(driver.output(), "queued; spooler started\n");
  const std::string all = expected + Prefix() + kt::ReadFileBytes(b);
  EXPECT_TRUE(WaitFor([&] { return Printed() == all.size(); }, 20000ms));
  EXPECT_TRUE(WaitFor([] { return !plat::IsSpoolerRunning(); }, 20000ms));
  ::umask(oldMask);
  EXPECT_EQ(kt::ReadFileBytes(output_), all);

  // Everything the driver and the spooler made is private to the user.
  const std::vector<std::string> ours = {output_, socket_, socket_ + ".ctl",
                                         home_.File("a.bin"), home_.File("b.bin")};
  std::string open;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
    const std::string path = entry.path().string();
    if (std::find(ours.begin(), ours.end(), path) != ours.end()) continue;
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
    const mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((st.st_mode & 0777) != want) open += path + "\n";
  }
  EXPECT_EQ(open, "");
  EXPECT_TRUE(kt::FileExists(home_.File("run/spooler.log")));
}

// The home is open to the group, so the spooler the driver starts refuses
// its queue file and ends at once. Before, the driver said "spooler
// started" and the reason stood only in the spooler's log.
TEST_F(SystemTest, ASpoolerThatRefusesToStartFailsTheSubmitWithItsReason) {
  StartPrinter();
  ASSERT_EQ(::chmod(home_.path().c_str(), 0770), 0);
  const std::string a = Data("a.bin", 1500, 18);
  Process driver({KELVANE_DRIVER_PATH, "submit", "--spooler", KELVANE_HEADLESS_PATH, a},
                 false, true, true);
  EXPECT_EQ(driver.Wait(30000ms), 1) << driver.output();
  EXPECT_EQ(driver.output().find("spooler started"), std::string::npos) << driver.output();
  EXPECT_NE(driver.output().find("the spooler did not start: it ended with exit code 2"),
            std::string::npos)
      << driver.output();
  EXPECT_NE(driver.output().find("the folder " + home_.path() +
                                 " can be written by other users (mode 0770)"),
            std::string::npos)
      << driver.output();

  // The job waits in the queue; once the home is mended, a start prints it.
  ASSERT_EQ(::chmod(home_.path().c_str(), 0700), 0);
  EXPECT_NE(kt::ReadFileBytes(home_.File("queue.txt")).find("a.bin\r\n"), std::string::npos);
  auto spooler = StartSpooler();
  EXPECT_EQ(spooler->Wait(20000ms), 0);
  EXPECT_EQ(kt::ReadFileBytes(output_), Prefix() + kt::ReadFileBytes(a));
}

// --- A queue file that cannot be replaced -----------------------------------

// A 64 KiB file system under the home for the queue file; needs root.
class SmallQueueFolder {
 public:
  explicit SmallQueueFolder(std::string dir) : dir_(std::move(dir)) {
    if (::mkdir(dir_.c_str(), 0700) != 0) return;
    mounted_ = std::system(("mount -t tmpfs -o size=64k tmpfs '" + dir_ + "'").c_str()) == 0;
  }
  ~SmallQueueFolder() {
    if (mounted_) (void)std::system(("umount '" + dir_ + "'").c_str());
  }
  bool mounted() const { return mounted_; }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  bool MakeReadOnly() const {
    return std::system(("mount -o remount,ro '" + dir_ + "'").c_str()) == 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

class FullDiskTest : public SystemTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    SystemTest::SetUp();
    folder_ = std::make_unique<SmallQueueFolder>(home_.File("small"));
    ASSERT_TRUE(folder_->mounted());
    queue_ = folder_->File("queue.txt");
    StartPrinter();
    a_ = Queue("a.bin", 5000, 31, "A");
    b_ = Queue("b.bin", 3000, 32, "B");
  }
  void TearDown() override {
    SystemTest::TearDown();
    folder_.reset();
  }
  // Queues one file as a job in the small folder's queue file.
  std::string Queue(const std::string& name, std::size_t size, unsigned seed,
                    const std::string& job) {
    const std::string file = Data(name, size, seed);
    EXPECT_EQ(Run({KELVANE_DRIVER_PATH, "submit", "--no-start", "--queue", queue_, "--name",
                   job, file}),
              0);
    return Prefix() + kt::ReadFileBytes(file);
  }
  std::unique_ptr<Process> StartSpoolerOnTheQueue() {
    return std::make_unique<Process>(
        std::vector<std::string>{KELVANE_HEADLESS_PATH, "-f", queue_}, false, true);
  }
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::unique_ptr<SmallQueueFolder> folder_;
  std::string queue_, a_, b_;
};

// As a user met it: the disk that holds the queue file is full, so no
// second copy of it can be written. Each job still prints exactly once.
TEST_F(FullDiskTest, FullFileSystemStillPrintsEachJobOnce) {
  // Fill every block that is left.
  {
    const std::string filler = folder_->File("filler");
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
  }
  auto spooler = StartSpoolerOnTheQueue();
  EXPECT_EQ(spooler->Wait(20000ms), 0) << spooler->output();
  EXPECT_EQ(Printed(), a_.size() + b_.size());
  EXPECT_TRUE(kt::ReadFileBytes(output_) == a_ + b_);
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_EQ(Count(spooler->output(), "message box"), 0u) << spooler->output();
}

// A queue file that cannot be written at all: nothing is sent, the user is
// told once, the spooler ends, and every job waits for the next start.
TEST_F(FullDiskTest, ReadOnlyQueueFileIsRefusedBeforeAnythingIsSent) {
  const std::string before = kt::ReadFileBytes(queue_);
  ASSERT_TRUE(folder_->MakeReadOnly());
  auto spooler = StartSpoolerOnTheQueue();
  EXPECT_EQ(spooler->Wait(20000ms), 0) << spooler->output();
  EXPECT_EQ(Printed(), 0u);
  EXPECT_EQ(Count(spooler->output(), "Could not save configuration file."), 1u)
      << spooler->output();
  EXPECT_EQ(kt::ReadFileBytes(queue_), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.File("spool")),
                          std::filesystem::directory_iterator()),
            2);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
}

// Spool files in a folder the spooler may not write (read-only here): the
// job still gets its job start. Before, the start was put into the file by
// a new file beside it; where none could be made, the job went out without
// it and nobody was told.
TEST_F(FullDiskTest, SpoolFilesInAFolderThatCannotBeWrittenStillGetTheirJobStart) {
  SmallQueueFolder spool(home_.File("ro-spool"));
  ASSERT_TRUE(spool.mounted());
  const std::string data = Bytes(4000, 33);
  kt::WriteFileBytes(spool.File("card.prn"), data);
  ASSERT_TRUE(spool.MakeReadOnly());
  kt::WriteFileBytes(home_.File("queue.txt"), "Card\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" +
                                                  spool.File("card.prn") + "\r\n");
  const std::size_t before = Printed();
  auto spooler = StartSpooler(true);
  EXPECT_EQ(spooler->Wait(20000ms), 0) << spooler->output();
  EXPECT_TRUE(kt::ReadFileBytes(output_).substr(before) == Prefix() + data);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

// --- Nobody to answer, and jobs queued while a spooler goes away ----------------

// The number of lines of `text` that contain `what`.
std::size_t CountLines(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (text.compare(start, end - start, what) == 0 ||
        text.substr(start, end - start).find(what) != std::string::npos) {
      ++count;
    }
    start = end + 1;
  }
  return count;
}

// No printer listens, so the port cannot be opened ("Spooler Error # 2",
// OK only). The driver's spooler has standard input at its end: before, the
// box took OK and the whole queue was deleted without anyone seeing it.
TEST_F(SystemTest, PortThatCannotBeOpenedKeepsEveryJobUnderTheDriversPolicy) {
  Submit({Data("a.bin", 3000, 30)});
  Submit({Data("b.bin", 2000, 31)});
  const std::string c = Data("c.bin", 1000, 32);
  Process driver({KELVANE_DRIVER_PATH, "submit", "--spooler", KELVANE_HEADLESS_PATH, c},
                 false, true);
  ASSERT_EQ(driver.Wait(20000ms), 0);
  EXPECT_EQ(driver.output(), "queued; spooler started\n");
  const std::string queueBefore = kt::ReadFileBytes(home_.File("queue.txt"));
  const std::string log = home_.File("run/spooler.log");
  ASSERT_TRUE(WaitFor([&] {
    return kt::ReadFileBytes(log).find("the queue is kept") != std::string::npos;
  }, 20000ms)) << kt::ReadFileBytes(log);
  EXPECT_NE(kt::ReadFileBytes(log).find("Could not get handle to port."), std::string::npos);
  EXPECT_NE(kt::ReadFileBytes(log).find("answered by policy: none"), std::string::npos);

  // Every record and spool file is still there, the run is not marked as
  // processing, and the spooler stays to try again.
  auto countSpool = [&] {
    return std::distance(std::filesystem::directory_iterator(home_.File("spool")),
                         std::filesystem::directory_iterator());
  };
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queueBefore);
  EXPECT_EQ(countSpool(), 3);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_TRUE(plat::IsSpoolerRunning());

  // Closing it now loses nothing either.
  const HWND window = plat::FindSpoolerWindow();
  ASSERT_NE(window, 0);
  ASSERT_EQ(::kill(static_cast<pid_t>(window), SIGTERM), 0);
  ASSERT_TRUE(WaitFor([] { return !plat::IsSpoolerRunning(); }, 20000ms));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queueBefore);
  EXPECT_EQ(countSpool(), 3);
  EXPECT_NE(ReadRegString("Config File").value_or(""), "Processing");
}

// Standard input at its end and no policy given ("ask"): a port fault in
// the middle of a job is answered as "keep" would. Before, Abort (the first
// button) purged the queue. The spooler closes, every job stays, and the
// next start prints them all: the run was not left "Processing", so its
// recovery deletes nothing.
TEST_F(SystemTest, PortFaultWithNobodyToAskKeepsTheQueueForTheNextStart) {
  const std::string script = home_.File("ioerror.txt");
  kt::WriteFileBytes(script, "after-bytes 3000 ioerror\n");
  StartPrinter({"--script", script});
  std::string expected = Submit({Data("a.bin", 6000, 40)});
  expected += Submit({Data("b.bin", 2000, 41)});
  const std::string queueBefore = kt::ReadFileBytes(home_.File("queue.txt"));
  Process first({KELVANE_HEADLESS_PATH, "-f", home_.File("queue.txt")}, false, true);
  EXPECT_EQ(first.Wait(30000ms), 0) << first.output();
  EXPECT_NE(first.output().find("buttons: abort retry ignore\n"), std::string::npos)
      << first.output();
  EXPECT_NE(first.output().find("answered by policy: none\n"), std::string::npos);
  EXPECT_NE(first.output().find("no answer: the queue is kept; closing\n"), std::string::npos);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queueBefore);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  const std::size_t sentBefore = Printed();
  EXPECT_GE(sentBefore, 3000u);

  ASSERT_EQ(PrinterControl({"ready"}), 0);
  Process second({KELVANE_HEADLESS_PATH, "-f", home_.File("queue.txt")}, false, true);
  EXPECT_EQ(second.Wait(30000ms), 0) << second.output();
  EXPECT_EQ(second.output().find("Configuration/Queue File Error."), std::string::npos);
  // The job is taken again from its first byte, with one job start of its
  // own: the printer had part of it already.
  const std::string printed = kt::ReadFileBytes(output_);
  ASSERT_EQ(printed.size(), sentBefore + expected.size());
  EXPECT_TRUE(printed.substr(sentBefore) == expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}

// Under retry the spooler stays after a port that cannot be opened and takes
// the job again, no sooner than the time-out; once the printer is there,
// every job prints whole, each with one job start.
TEST_F(SystemTest, PortThatCannotBeOpenedIsTriedAgainUnderRetryUntilItPrints) {
  std::string expected = Submit({Data("a.bin", 3000, 38)});
  expected += Submit({Data("b.bin", 2000, 39)});
  Process spooler({KELVANE_HEADLESS_PATH, "--on-fault=retry=1", "-f", home_.File("queue.txt")},
                  false, true);
  ASSERT_TRUE(spooler.WaitForOutput("trying again in 1 s\n", 15000ms)) << spooler.output();
  EXPECT_TRUE(spooler.Running());
  StartPrinter();
  EXPECT_EQ(spooler.Wait(30000ms), 0) << spooler.output();
  EXPECT_TRUE(kt::ReadFileBytes(output_) == expected) << Printed() << " of " << expected.size();
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  // A line per try, no more.
  EXPECT_EQ(CountLines(spooler.output(), "--- message box ---"), 1u) << spooler.output();
  EXPECT_EQ(CountLines(spooler.output(), "trying again"), 1u) << spooler.output();
}

// Unattended, a job that can never print (its spool file is gone) no longer
// holds the queue for ever: it is set aside, said so, and the job behind it
// prints; the exit code tells whoever started the spooler.
TEST_F(SystemTest, AJobThatCanNeverPrintIsSetAsideAndTheNextOnePrints) {
  StartPrinter();
  const std::string gone = Data("gone.bin", 3000, 36);
  Submit({gone});
  const std::string expected = Submit({Data("next.bin", 2000, 37)});
  const std::vector<std::string> spools =
      QueuedSpoolFiles(kt::ReadFileBytes(home_.File("queue.txt")), home_.File("spool/"));
  ASSERT_EQ(spools.size(), 2u);
  ASSERT_EQ(::unlink(spools[0].c_str()), 0);
  Process spooler({KELVANE_HEADLESS_PATH, "--on-fault=retry=1", "-f", home_.File("queue.txt")},
                  false, true);
  EXPECT_EQ(spooler.Wait(30000ms), 3) << spooler.output();
  EXPECT_NE(spooler.output().find("cannot be printed"), std::string::npos) << spooler.output();
  EXPECT_TRUE(kt::ReadFileBytes(output_) == expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
}

// --- A TCP printer that has the job, or not ----------------------------------

// A raw TCP printer in the test process, on the loopback: one connection at
// a time, each played by the next behaviour of its list (the last repeats).
// It keeps what each connection brought.
struct PrinterBehaviour {
  std::size_t resetAfter = 0;  // reset once it has read this many bytes (0: never)
  bool resetAtEnd = false;     // at the sender's end: reset, the job lost
  bool keepOpen = false;       // at the sender's end: keep its side open
  std::size_t bytesPerSecond = 0;  // 0: as fast as it can
};

class TestTcpPrinter {
 public:
  explicit TestTcpPrinter(std::vector<PrinterBehaviour> behaviours)
      : behaviours_(std::move(behaviours)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A small window, so that what the printer has not read stays with the
    // sender, as with a card printer's own small buffer.
    int window = 64 * 1024;
    ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listen_, 4), 0);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestTcpPrinter() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  std::string Uri() const { return "socket://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Connections() {
    std::lock_guard<std::mutex> g(mutex_);
    return connections_;
  }
  std::size_t Received() {
    std::lock_guard<std::mutex> g(mutex_);
    std::size_t n = 0;
    for (const std::string& c : connections_) n += c.size();
    return n;
  }

 private:
  // Waits for `fd` to be readable; false when the test ends first.
  bool WaitReadable(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }
  static void Reset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
  }
  void Run() {
    for (std::size_t n = 0; WaitReadable(listen_); ++n) {
      const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      const PrinterBehaviour& b = behaviours_[std::min(n, behaviours_.size() - 1)];
      {
        std::lock_guard<std::mutex> g(mutex_);
        connections_.emplace_back();
      }
      std::size_t got = 0;
      bool ended = false;
      char buffer[16384];
      while (!ended && WaitReadable(fd)) {
        std::size_t want = sizeof buffer;
        if (b.bytesPerSecond) want = std::max<std::size_t>(b.bytesPerSecond / 100, 1);
        if (b.resetAfter) want = std::min(want, b.resetAfter - got);
        const ssize_t r = ::recv(fd, buffer, std::min(want, sizeof buffer), 0);
        if (r <= 0) {
          ended = true;
          break;
        }
        got += static_cast<std::size_t>(r);
        {
          std::lock_guard<std::mutex> g(mutex_);
          connections_.back().append(buffer, static_cast<std::size_t>(r));
        }
        if (b.resetAfter && got >= b.resetAfter) break;
        if (b.bytesPerSecond) std::this_thread::sleep_for(10ms);
      }
      if (!ended || b.resetAtEnd) {
        Reset(fd);
        continue;
      }
      if (b.keepOpen) WaitReadable(-1);
      ::close(fd);
    }
  }

  const std::vector<PrinterBehaviour> behaviours_;
  int listen_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;  // guards connections_
  std::vector<std::string> connections_;
};

class TcpDeliveryTest : public SystemTest {
 protected:
  void UsePrinter(TestTcpPrinter& printer) {
    ASSERT_TRUE(plat::WriteProfileString("ports", "LPT1:", printer.Uri()));
  }
};

// The printer lost the job: it read every byte and reset the connection
// instead of closing it, or it reset it after 16 KiB. Every write had
// succeeded (the sockets held the job), so before, the job was removed as
// printed, or went on on a new connection without its start. Now the job
// is kept, the fault put to the policy, and the job starts over whole.
TEST_F(TcpDeliveryTest, APrinterThatDropsTheConnectionGetsTheJobAgainWhole) {
  for (const PrinterBehaviour lost : {PrinterBehaviour{0, true}, PrinterBehaviour{16384}}) {
    SCOPED_TRACE(lost.resetAfter);
    TestTcpPrinter printer({lost, PrinterBehaviour{}});
    UsePrinter(printer);
    const std::string expected = Submit({Data("job.bin", 512 * 1024, 50)});
    Process spooler({KELVANE_HEADLESS_PATH, "--on-fault=retry=1", "-f", home_.File("queue.txt")},
                    false, true);
    EXPECT_EQ(spooler.Wait(30000ms), 0) << spooler.output();
    EXPECT_NE(spooler.output().find("A device I/O error has occurred."), std::string::npos);
    const std::vector<std::string> connections = printer.Connections();
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_TRUE(connections[1] == expected) << connections[1].size() << " of " << expected.size();
    EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
    EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
  }
}

// While a slow printer reads, what the driver's status calls sent is what
// the printer acknowledged, not what the sockets took; the job is finished
// only once it has read it all.
TEST_F(TcpDeliveryTest, ProgressCountsWhatTheSlowPrinterTook) {
  TestTcpPrinter printer({PrinterBehaviour{0, false, false, 1 << 20}});
  UsePrinter(printer);
  const std::string expected = Submit({Data("job.bin", 4 << 20, 51)});
  Process spooler({KELVANE_HEADLESS_PATH, "-f", home_.File("queue.txt")}, false, true);
  ASSERT_TRUE(WaitFor([&] { return printer.Received() >= (1u << 20); }, 20000ms));
  Process status({KELVANE_DRIVER_PATH, "status"}, false, true);
  ASSERT_EQ(status.Wait(10000ms), 0);
  const std::size_t read = printer.Received();
  const std::string text = status.output();
  const std::size_t at = text.find("sent: ");
  ASSERT_NE(at, std::string::npos) << text;
  const std::size_t sent = std::stoul(text.substr(at + 6));
  // Acknowledged is at most what the printer read plus its small window.
  EXPECT_LE(sent, read + 512 * 1024) << text;
  EXPECT_FALSE(kt::ReadFileBytes(home_.File("queue.txt")).empty());
  EXPECT_EQ(spooler.Wait(30000ms), 0) << spooler.output();
  ASSERT_EQ(printer.Connections().size(), 1u);
  EXPECT_TRUE(printer.Connections()[0] == expected);
}

// The printer has every byte but keeps its side open (it closes when the
// card is out). A stop now finishes the job: kept, it would print again at
// the next start.
TEST_F(TcpDeliveryTest, AStopOnceThePrinterHasEveryByteFinishesTheJob) {
  TestTcpPrinter printer({PrinterBehaviour{0, false, true}});
  UsePrinter(printer);
  const std::string expected = Submit({Data("job.bin", 64 * 1024, 52)});
  auto spooler = StartSpooler(true);
  ASSERT_TRUE(WaitFor([&] { return printer.Received() == expected.size(); }, 20000ms));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::kill(spooler->pid(), SIGTERM), 0);
  EXPECT_EQ(spooler->Wait(15000ms), 0) << spooler->output();
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_TRUE(std::filesystem::is_empty(home_.File("spool")));
  auto again = StartSpooler(true);
  EXPECT_EQ(again->Wait(15000ms), 0) << again->output();
  EXPECT_EQ(printer.Connections().size(), 1u);
}

// Out of paper with retry=1: before, Retry came back without a pause and
// the whole box went to the log each time (56 MB in 10 s).
TEST_F(SystemTest, PaperOutUnderRetryKeepsTheLogSmallAndPrintsOncePaperIsBack) {
  StartPrinter();
  ASSERT_EQ(PrinterControl({"paperout"}), 0);
  const std::string expected = Submit({Data("a.bin", 6000, 33)});
  Process spooler({KELVANE_HEADLESS_PATH, "--on-fault", "retry=1", "-f",
                   home_.File("queue.txt")},
                  false, true);
  ASSERT_TRUE(spooler.WaitForOutput("answered by policy: retry (after 1 s)\n", 15000ms))
      << spooler.output();
  const auto start = Clock::now();
  std::this_thread::sleep_for(4000ms);
  const std::string waiting = spooler.output();
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count() + 2;
  // One short line per answer, and no answer faster than the time-out.
  EXPECT_LE(CountLines(waiting, "answered by policy"), static_cast<std::size_t>(seconds))
      << waiting;
  EXPECT_EQ(CountLines(waiting, "--- message box ---"), 1u) << waiting;
  EXPECT_LT(waiting.size(), 2000u) << waiting;

  ASSERT_EQ(PrinterControl({"ready"}), 0);
  EXPECT_EQ(spooler.Wait(20000ms), 0) << spooler.output();
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

// A printer that runs out of paper, and later goes offline, in the middle
// of a block. Before, the spooler said nothing while it waited: a reader of
// its output, or a user asking the driver, could not tell a stuck printer
// from a slow one.
TEST_F(SystemTest, PrinterWaitsAreSaidOnceEachAndTheDriverStatusShowsThem) {
  const std::string script = home_.File("script.txt");
  kt::WriteFileBytes(script, "after-bytes 3000 paperout\nafter-bytes 9000 offline\n");
  StartPrinter({"--script", script});
  const std::string expected = Submit({Data("photo.bin", 12000, 41)});
  Process spooler({KELVANE_HEADLESS_PATH, "-f", home_.File("queue.txt")}, false, true);

  ASSERT_TRUE(spooler.WaitForOutput("state: out of paper\n", 15000ms)) << spooler.output();
  {
    Process status({KELVANE_DRIVER_PATH, "status"}, false, true);
    ASSERT_EQ(status.Wait(15000ms), 0);
    const std::string out = status.output();
    EXPECT_NE(out.find("job: photo.bin\n"), std::string::npos) << out;
    EXPECT_NE(out.find("copy: 1 of 1\n"), std::string::npos) << out;
    // The first block went out whole and the second block's part is counted
    // too; the total is the job's size as the driver queued it.
    EXPECT_NE(out.find("sent: 3000 of 12000 bytes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("printer: out of paper (since "), std::string::npos) << out;
  }
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(PrinterControl({"ready"}), 0);

  ASSERT_TRUE(spooler.WaitForOutput("state: not selected\n", 15000ms)) << spooler.output();
  {
    Process status({KELVANE_DRIVER_PATH, "status"}, false, true);
    ASSERT_EQ(status.Wait(15000ms), 0);
    const std::string out = status.output();
    // The not-selected time-out of the settings (500 s by default) is what
    // ends this wait, unless the printer comes back.
    EXPECT_NE(out.find("printer: not selected ("), std::string::npos) << out;
    EXPECT_NE(out.find(" left)\n"), std::string::npos) << out;
  }
  ASSERT_EQ(PrinterControl({"ready"}), 0);

  EXPECT_EQ(spooler.Wait(20000ms), 0) << spooler.output();
  EXPECT_EQ(kt::ReadFileBytes(output_), expected);
  const std::string out = spooler.output();
  const std::size_t paper = out.find("state: out of paper\n");
  const std::size_t offline = out.find("state: not selected\n");
  ASSERT_NE(paper, std::string::npos);
  ASSERT_NE(offline, std::string::npos);
  // Each change once, in order, and "printing" after each wait.
  EXPECT_EQ(CountLines(out, "state: "), 4u) << out;
  EXPECT_NE(out.find("state: printing\n", paper), std::string::npos) << out;
  EXPECT_LT(out.find("state: printing\n", paper), offline) << out;
  EXPECT_NE(out.find("state: printing\n", offline), std::string::npos) << out;
  EXPECT_EQ(out.find("--- message box ---"), std::string::npos) << out;

  // With nothing printing, the driver says so; with no spooler, it fails.
  Process idle({KELVANE_DRIVER_PATH, "status"}, false, true);
  EXPECT_EQ(idle.Wait(15000ms), 1);
}

TEST_F(SystemTest, DriverStatusOfAnIdleSpoolerSaysNoJobIsPrinting) {
  Process spooler({KELVANE_HEADLESS_PATH}, false, true);  // manual mode: stays
  std::string out;
  ASSERT_TRUE(WaitFor(
      [&] {
        Process status({KELVANE_DRIVER_PATH, "status", "--timeout", "2000"}, false, true);
        if (status.Wait(15000ms) != 0) return false;
        out = status.output();
        return true;
      },
      10000ms));
  EXPECT_EQ(out, "no job is printing\n");
  ::kill(spooler.pid(), SIGTERM);
  EXPECT_EQ(spooler.Wait(15000ms), 0);
}

// The spooler printed its last job and is closing (the document close
// alone takes two seconds) while it still holds the single-instance marker.
// Before, the driver said "queued for the running spooler" and the job
// stayed in the queue file until some later submit.
TEST_F(SystemTest, AJobQueuedWhileTheSpoolerClosesIsPrintedWithoutAnotherSubmit) {
  StartPrinter();
  const std::string first = Submit({Data("a.bin", 3000, 34)});
  auto spooler = StartSpooler();
  ASSERT_TRUE(WaitFor([&] { return Printed() == first.size(); }, 15000ms));
  std::this_thread::sleep_for(400ms);  // the run is over; the close has begun
  const std::string b = Data("b.bin", 2500, 35);
  Process driver({KELVANE_DRIVER_PATH, "submit", "--spooler", KELVANE_HEADLESS_PATH, b},
                 false, true);
  EXPECT_EQ(driver.Wait(30000ms), 0) << driver.output();
  const std::string all = first + Prefix() + kt::ReadFileBytes(b);
  EXPECT_TRUE(WaitFor([&] { return Printed() == all.size(); }, 20000ms))
      << driver.output();
  EXPECT_EQ(kt::ReadFileBytes(output_), all);
  EXPECT_EQ(spooler->Wait(20000ms), 0);
  EXPECT_TRUE(WaitFor([] { return !plat::IsSpoolerRunning(); }, 20000ms));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

// A spooler runs on the default queue file (a Cantella job keeps it up);
// a job for another queue file is not its business. The driver must not
// report it queued for that spooler: it waits for it to end and starts one
// for its own queue file.
TEST_F(SystemTest, AJobForAnotherQueueFileIsNotLeftToTheRunningSpooler) {
  StartPrinter();
  const std::string first = Submit({Data("a.bin", 2000, 36)}, 1, "VORNA Cantella");
  auto spooler = StartSpooler();
  ASSERT_TRUE(WaitFor([&] { return Printed() == first.size(); }, 15000ms));

  const std::string other = home_.File("other.txt");
  const std::string b = Data("b.bin", 1500, 37);
  Process driver({KELVANE_DRIVER_PATH, "submit", "--queue", other, "--spooler",
                  KELVANE_HEADLESS_PATH, b},
                 false, true);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(driver.Running()) << driver.output();
  EXPECT_EQ(driver.output().find("queued for the running spooler"), std::string::npos);

  EXPECT_EQ(SendCommandWhenIdle("0"), "1\n");
  EXPECT_EQ(spooler->Wait(10000ms), 0);
  EXPECT_EQ(driver.Wait(30000ms), 0);
  EXPECT_EQ(driver.output(), "queued; spooler started\n");
  const std::string all = first + Prefix() + kt::ReadFileBytes(b);
  EXPECT_TRUE(WaitFor([&] { return Printed() == all.size(); }, 20000ms));
  EXPECT_EQ(kt::ReadFileBytes(output_), all);
  EXPECT_TRUE(WaitFor([&] { return kt::ReadFileBytes(other).empty(); }, 20000ms));
}

}  // namespace

#else
TEST(SystemTest, ProgramsNotBuilt) {
  // CI builds every program; there a missing one is a fault, not a skip.
  const char* ci = std::getenv("CI");
  if (ci && std::string(ci) == "true") FAIL() << "driver, spooler or printer missing";
  GTEST_SKIP() << "driver, spooler or printer missing";
}
#endif
