// The CUPS backend as the print service runs it: a process with the job's
// arguments and DEVICE_URI, reporting on standard error. Its spooler is
// either the real kelvane-headless with the virtual printer, or a small
// stand-in script that plays one way a spooler can end.
// Test thread; real processes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/print_job_runner.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "tests/support/test_support.h"

#if defined(KELVANE_CUPS_BACKEND_PATH) && defined(KELVANE_HEADLESS_PATH) && \
    defined(KELVANE_DRIVER_PATH) && defined(KELVANE_PRINTER_PATH)

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A child with its own environment additions, standard input from a file
// (or /dev/null), and standard output and error collected apart.
class Child {
 public:
  Child(const std::vector<std::string>& argv,
        const std::vector<std::pair<std::string, std::string>>& env,
        const std::string& input = "/dev/null") {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    pid_ = ::fork();
    if (pid_ == 0) {
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      const int in = ::open(input.c_str(), O_RDONLY);
      ::dup2(in, 0);
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    ::fcntl(out_, F_SETFL, O_NONBLOCK);
    ::fcntl(err_, F_SETFL, O_NONBLOCK);
  }
  ~Child() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }
  pid_t pid() const { return pid_; }
  // The exit code (128 + signal when killed), -1 when still running.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!exited_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      Drain();
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(5ms);
    }
    Drain();
    return code_;
  }
  const std::string& out() {
    Drain();
    return outText_;
  }
  const std::string& err() {
    Drain();
    return errText_;
  }

 private:
  void Drain() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out_, buffer, sizeof buffer)) > 0) outText_.append(buffer, n);
    while ((n = ::read(err_, buffer, sizeof buffer)) > 0) errText_.append(buffer, n);
  }
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool exited_ = false;
  int code_ = -1;
  std::string outText_, errText_;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CupsBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Child install({KELVANE_DRIVER_PATH, "install"}, {});
    ASSERT_EQ(install.Wait(20000ms), 0) << install.err();
    // The jobs of LPT1: are printed from that port's own home.
    queue_ = PortHome("LPT1") + "/cups-queue.txt";
    spool_ = PortHome("LPT1") + "/spool";
    ASSERT_TRUE(plat::MakeDirectories(spool_));
    socket_ = home_.File("run/printer.sock");
    printed_ = home_.File("printed.prn");
  }

  // A spooler stand-in: a shell script run as "SCRIPT --on-fault=P -f QUEUE".
  std::string StandIn(const std::string& name, const std::string& body) {
    const std::string path = home_.File(name);
    kt::WriteFileBytes(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0700);
    return path;
  }

  std::unique_ptr<Child> StartBackendBinary(const std::string& uri, const std::string& spooler,
                                            std::vector<std::string> jobArgs,
                                            const std::string& input = "/dev/null",
                                            const std::string& policy = "retry=30") {
    std::vector<std::string> argv = {KELVANE_CUPS_BACKEND_PATH};
    argv.insert(argv.end(), jobArgs.begin(), jobArgs.end());
    return std::make_unique<Child>(
        argv,
        std::vector<std::pair<std::string, std::string>>{{"DEVICE_URI", uri},
                                                         {"KELVANE_HEADLESS", spooler},
                                                         {"KELVANE_ON_FAULT", policy}},
        input);
  }

  void StartPrinter(const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {KELVANE_PRINTER_PATH, "--output", printed_};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(socket_);
    printer_ = std::make_unique<Child>(argv, std::vector<std::pair<std::string, std::string>>{});
    ASSERT_TRUE(WaitFor([&] { return kt::FileExists(socket_); }, 5000ms));
  }
  int PrinterControl(const std::string& command) {
    Child ctl({KELVANE_PRINTER_PATH, "ctl", socket_, command}, {});
    return ctl.Wait(10000ms);
  }

  std::size_t Printed() { return kt::ReadFileBytes(printed_).size(); }
  bool SpoolIsEmpty() { return std::filesystem::is_empty(spool_); }
  std::string PortHome(const std::string& port) { return home_.File("ports/" + port); }
  // Whether a spooler runs on LPT1:'s home.
  bool SpoolerRuns() {
    ::setenv("KELVANE_HOME", PortHome("LPT1").c_str(), 1);
    const bool running = plat::IsSpoolerRunning();
    ::setenv("KELVANE_HOME", home_.path().c_str(), 1);
    return running;
  }

  kt::TempHome home_;
  std::string queue_, spool_, socket_, printed_;
  std::unique_ptr<Child> printer_;
};

TEST_F(CupsBackendTest, WithoutArgumentsItListsThePortsOfItsHomeAndCreatesNothing) {
  kt::WriteFileBytes(home_.File("win.ini"),
                     "[ports]\r\nLPT1:=/dev/usb/lp0\r\nLPT3:=socket://192.0.2.10:9100\r\n"
                     "[devices]\r\nVORNA Cantella=kelvane,LPT3:\r\n");
  Child listing({KELVANE_CUPS_BACKEND_PATH}, {});
  EXPECT_EQ(listing.Wait(10000ms), 0) << listing.err();
  EXPECT_EQ(listing.out(),
            "direct kelvane:/LPT1: \"VORNA printer\" \"Kelvane LPT1: (/dev/usb/lp0)\"\n"
            "direct kelvane:/LPT3: \"VORNA Cantella\" \"Kelvane LPT3: "
            "(socket://192.0.2.10:9100)\"\n");

  // A home that is not there yet: nothing to offer, and nothing made.
  const std::string missing = home_.File("not-yet");
  Child none({KELVANE_CUPS_BACKEND_PATH}, {{"KELVANE_HOME", missing}});
  EXPECT_EQ(none.Wait(10000ms), 0) << none.err();
  EXPECT_EQ(none.out(), "");
  EXPECT_FALSE(kt::FileExists(missing));
}

TEST_F(CupsBackendTest, TheRecordCarriesTheJobAndTheSpoolerReportsReachThePrintService) {
  // The stand-in keeps what it was given, reports as the spooler does, and
  // "prints": it empties the queue file.
  const std::string seen = home_.File("seen-queue.txt");
  const std::string spooler = StandIn(
      "printing.sh",
      "cp \"$3\" '" + seen + "'\n"
      "echo \"$1 $2\"\n"
      "echo 'state: not selected'\n"
      "echo '--- message box ---'\n"
      "echo 'caption: Kelvane Error'\n"
      "echo 'text: The printer is not selected.'\n"
      "echo '      '\n"
      "echo '      Abort cancels all jobs.'\n"
      "echo 'buttons: abort retry ignore'\n"
      "printf 'answer? '\n"
      "echo 'answered by policy: ignore (after 30 s)'\n"
      "echo 'state: printing'\n"
      "for f in $(grep KLV \"$3\" | tr -d '\\r'); do rm \"$f\"; done\n"
      ": > \"$3\"\n");
  const std::string data = home_.File("card.prn");
  kt::WriteFileBytes(data, std::string("card\0data", 9));
  auto backend = StartBackendBinary("kelvane:/LPT2:?printer=VORNA%20Cantella&ribbon=YMCKO",
                                    spooler, {"17", "ann", "Badge for Ann", "3", "", data});
  ASSERT_EQ(backend->Wait(20000ms), 0) << backend->err();

  // name, port, copies, printer, ribbon, the spool file (a copy of the data).
  const std::vector<std::string> record = Lines(kt::ReadFileBytes(seen));
  ASSERT_EQ(record.size(), 6u) << kt::ReadFileBytes(seen);
  EXPECT_EQ(record[0], "Badge for Ann\r");
  EXPECT_EQ(record[1], "LPT2:\r");
  EXPECT_EQ(record[2], "3\r");
  EXPECT_EQ(record[3], "VORNA Cantella\r");
  EXPECT_EQ(record[4], "YMCKO\r");
  EXPECT_EQ(record[5].rfind(PortHome("LPT2") + "/spool/KLV~", 0), 0u) << record[5];

  const std::string err = backend->err();
  const std::vector<std::string> reported = Lines(err);
  auto at = [&](const std::string& line) {
    for (std::size_t i = 0; i < reported.size(); ++i)
      if (reported[i] == line) return static_cast<int>(i);
    return -1;
  };
  EXPECT_GE(at("DEBUG: --on-fault=retry=30 -f"), 0) << err;
  const int offline = at("STATE: +offline-report");
  const int info = at("INFO: The printer is not selected.");
  const int answered = at("DEBUG: answered by policy: ignore (after 30 s)");
  const int cleared = at("STATE: -offline-report");
  EXPECT_TRUE(offline >= 0 && info > offline && answered > info && cleared > answered) << err;
  EXPECT_EQ(at("DEBUG: buttons: abort retry ignore"), -1) << err;
  EXPECT_EQ(kt::ReadFileBytes(PortHome("LPT2") + "/cups-queue.txt"), "");
  EXPECT_TRUE(std::filesystem::is_empty(PortHome("LPT2") + "/spool"));
}

TEST_F(CupsBackendTest, JobsFromStandardInputCarryOneCopyAndTheirData) {
  const std::string seen = home_.File("seen-spool.bin");
  const std::string spooler = StandIn(
      "stdin.sh",
      "cp \"$3\" '" + seen + ".queue'\n"
      "f=$(grep KLV \"$3\" | tr -d '\\r')\n"
      "cp \"$f\" '" + seen + "'\n"
      "rm \"$f\"\n"
      ": > \"$3\"\n");
  const std::string data = home_.File("stdin.prn");
  kt::WriteFileBytes(data, std::string(100000, 'x') + "end");
  auto backend = StartBackendBinary("kelvane:/LPT1:", spooler, {"5", "bob", "", "4", ""}, data);
  ASSERT_EQ(backend->Wait(20000ms), 0) << backend->err();
  EXPECT_EQ(kt::ReadFileBytes(seen), kt::ReadFileBytes(data));
  const std::vector<std::string> record = Lines(kt::ReadFileBytes(seen + ".queue"));
  ASSERT_EQ(record.size(), 6u);
  EXPECT_EQ(record[0], "job 5\r");  // no title
  EXPECT_EQ(record[2], "1\r");      // the filters made the copies already
  EXPECT_EQ(record[3], "VORNA Tamrel\r");
  EXPECT_EQ(record[4], "Standard\r");
}

TEST_F(CupsBackendTest, AJobTheSpoolerDidNotPrintEndsWithItsCodeAndLeavesNothingQueued) {
  const std::string data = home_.File("job.prn");
  kt::WriteFileBytes(data, "data");
  struct Case {
    const char* script;
    int code;
  } cases[] = {{"exit 2\n", 4},                 // refused its start: stop the queue
               {"exit 0\n", 6},                 // ended without the job: later
               {"kill -9 $$\n", 1}};            // died: the queue's error policy
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    const std::string spooler = StandIn("end" + std::to_string(n++) + ".sh", c.script);
    auto backend = StartBackendBinary("kelvane:/LPT1:", spooler, {"9", "u", "t", "1", "", data});
    EXPECT_EQ(backend->Wait(20000ms), c.code) << backend->err();
    EXPECT_EQ(kt::ReadFileBytes(queue_), "");
    EXPECT_TRUE(SpoolIsEmpty());
  }
  // A PDF sent to the raw queue: cancelled with a word, never started.
  const std::string pdf = home_.File("letter.pdf");
  kt::WriteFileBytes(pdf, "%PDF-1.2\n1 0 obj\n");
  const std::string started = home_.File("started");
  auto document = StartBackendBinary("kelvane:/LPT1:", StandIn("pdf.sh", ": > " + started + "\n"),
                                     {"9", "u", "letter", "1", "", pdf});
  EXPECT_EQ(document->Wait(20000ms), 5) << document->err();
  EXPECT_TRUE(Contains(document->err(), "ERROR: the job is a PDF document;")) << document->err();
  EXPECT_FALSE(kt::FileExists(started));
  EXPECT_TRUE(SpoolIsEmpty());
  // A URI that is no kelvane: device: the queue is wrongly set up.
  auto wrong = StartBackendBinary("kelvane:/LPT1:?colour=red", "/bin/false",
                                  {"9", "u", "t", "1", "", data});
  EXPECT_EQ(wrong->Wait(20000ms), 4);
  EXPECT_TRUE(Contains(wrong->err(), "ERROR: unknown parameter 'colour'")) << wrong->err();
}

TEST_F(CupsBackendTest, WhatAKilledBackendLeftIsRemovedNotPrinted) {
  const std::string old = spool_ + "/KLV~oldjob";
  kt::WriteFileBytes(old, "OLD");
  kt::WriteFileBytes(queue_, "old\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" + old + "\r\n");
  const std::string seen = home_.File("seen.txt");
  const std::string spooler = StandIn(
      "seen.sh", "cp \"$3\" '" + seen + "'\nrm $(grep KLV \"$3\" | tr -d '\\r')\n: > \"$3\"\n");
  const std::string data = home_.File("new.prn");
  kt::WriteFileBytes(data, "NEW");
  auto backend = StartBackendBinary("kelvane:/LPT1:", spooler, {"3", "u", "new", "1", "", data});
  ASSERT_EQ(backend->Wait(20000ms), 0) << backend->err();
  const std::string queued = kt::ReadFileBytes(seen);
  EXPECT_EQ(queued.rfind("new\r\n", 0), 0u) << queued;
  EXPECT_FALSE(Contains(queued, old)) << queued;
  EXPECT_FALSE(kt::FileExists(old));
}

TEST_F(CupsBackendTest, BackendsOfTwoQueuesOnOneHomeTakeTurns) {
  // Each spooler run notes its start and end and the job it was given; it
  // takes a while, so a second one started meanwhile would overlap it.
  const std::string log = home_.File("turns.log");
  const std::string spooler = StandIn(
      "turns.sh",
      "echo \"start $(head -n 1 \"$3\" | tr -d '\\r')\" >> '" + log + "'\n"
      "sleep 1\n"
      "echo \"end $(head -n 1 \"$3\" | tr -d '\\r')\" >> '" + log + "'\n"
      "rm $(grep KLV \"$3\" | tr -d '\\r')\n"
      ": > \"$3\"\n");
  const std::string data = home_.File("turn.prn");
  kt::WriteFileBytes(data, "turn");
  auto card = StartBackendBinary("kelvane:/LPT1:", spooler, {"1", "u", "card", "1", "", data});
  auto badge = StartBackendBinary("kelvane:/LPT1:?ribbon=YMCKO", spooler,
                                  {"2", "u", "badge", "1", "", data});
  EXPECT_EQ(card->Wait(20000ms), 0) << card->err();
  EXPECT_EQ(badge->Wait(20000ms), 0) << badge->err();
  const std::string turns = kt::ReadFileBytes(log);
  EXPECT_TRUE(turns == "start card\nend card\nstart badge\nend badge\n" ||
              turns == "start badge\nend badge\nstart card\nend card\n")
      << turns;
  EXPECT_TRUE(Contains(card->err() + badge->err(), "INFO: Waiting for the job before it on LPT1: to end"))
      << card->err() << badge->err();
  EXPECT_TRUE(SpoolIsEmpty());
}

class CupsBackendPrintingTest : public CupsBackendTest {};

// More copies than a record holds: every one is printed, each with its
// job start, and nothing is left behind. Before, 300 printed 255.
TEST_F(CupsBackendPrintingTest, ThreeHundredCopiesAreThreeHundredCards) {
  StartPrinter({});
  const std::string data = home_.File("card.prn");
  kt::WriteFileBytes(data, "card");
  auto backend = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                    {"31", "u", "cards", "300", "", data});
  ASSERT_EQ(backend->Wait(60000ms), 0) << backend->err();
  std::string card(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX);
  card += "card";
  std::string expected;
  for (int i = 0; i < 300; ++i) expected += card;
  EXPECT_TRUE(kt::ReadFileBytes(printed_) == expected) << Printed() << " of " << expected.size();
  EXPECT_TRUE(SpoolIsEmpty());
  // Counted for the page log and quotas: one card a copy.
  EXPECT_TRUE(Contains(backend->err(), "\nPAGE: 1 300\n")) << backend->err();
}

// A printer out of paper holds up the jobs of its own port only, and each
// job's reasons and message follow it. Before, every queue of the server
// waited for the one spooler of the home: the card for LPT2: printed only
// once LPT1: had paper again.
TEST_F(CupsBackendPrintingTest, APrinterOutOfPaperHoldsUpOnlyItsOwnPort) {
  StartPrinter({});
  ASSERT_EQ(PrinterControl("paperout"), 0);
  const std::string socket2 = home_.File("run/printer2.sock");
  const std::string printed2 = home_.File("printed2.prn");
  // Slow enough for the job's progress to be seen: two seconds.
  Child printer2({KELVANE_PRINTER_PATH, "--rate", "30000", "--output", printed2, socket2}, {});
  ASSERT_TRUE(WaitFor([&] { return kt::FileExists(socket2); }, 5000ms));
  ASSERT_TRUE(plat::WriteProfileString("ports", "LPT2:", "sim:" + socket2));
  const std::string data = home_.File("card.prn");
  kt::WriteFileBytes(data, "card");
  auto stuck = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                  {"41", "u", "first", "1", "", data}, "/dev/null", "retry=1");
  ASSERT_TRUE(WaitFor([&] { return Contains(stuck->err(), "STATE: +media-empty"); }, 20000ms))
      << stuck->err();
  const std::string data2 = home_.File("badge.prn");
  kt::WriteFileBytes(data2, std::string(60000, 'b'));
  auto other = StartBackendBinary("kelvane:/LPT2:", KELVANE_HEADLESS_PATH,
                                  {"42", "u", "second", "1", "", data2});
  ASSERT_EQ(other->Wait(20000ms), 0) << other->err();
  const std::string prefix(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX);
  const std::string card = prefix + "card";
  EXPECT_TRUE(kt::ReadFileBytes(printed2) == prefix + std::string(60000, 'b'));
  EXPECT_EQ(Printed(), 0u);
  // Connecting until the port took the first block, then printing; nothing
  // set is left standing.
  const std::string said = other->err();
  const std::size_t connecting = said.find("STATE: +connecting-to-device\n");
  const std::size_t connected = said.find("STATE: -connecting-to-device\n");
  const std::size_t printing = said.find("INFO: Printing on LPT2:\n");
  EXPECT_TRUE(connecting < connected && connected < printing && printing != std::string::npos)
      << said;
  EXPECT_FALSE(Contains(said, "Waiting for")) << said;

  ASSERT_EQ(PrinterControl("ready"), 0);
  ASSERT_EQ(stuck->Wait(30000ms), 0) << stuck->err();
  EXPECT_EQ(kt::ReadFileBytes(printed_), card);
  EXPECT_TRUE(Contains(stuck->err(), "STATE: -media-empty\nINFO: Printing on LPT1:\n"))
      << stuck->err();
}

// A "VORNA Cantella" spooler stays for more jobs once the queue is empty;
// the print service's job ends when its card is printed all the same. And
// each job passes on the levels the port's spooler last published, as the
// ribbon's for a ribbon printer. Before, the job stayed "processing" for the
// spooler's ten idle minutes, and levels came only with an ink job.
TEST_F(CupsBackendPrintingTest, AJobEndsWithItsCardAndRefreshesTheSupplies) {
  StartPrinter({});
  const std::string portProfile = PortHome("LPT1") + "/win.ini";
  kt::WriteFileBytes(portProfile,
                     "[Tovrel]\r\nInkType=2\r\nCyanLevel=8\r\nMagentaLevel=50\r\n"
                     "YellowLevel=90\r\n");
  const std::string data = home_.File("card.prn");
  kt::WriteFileBytes(data, "card");
  auto backend = StartBackendBinary("kelvane:/LPT1:?printer=VORNA%20Cantella",
                                    KELVANE_HEADLESS_PATH, {"43", "u", "card", "1", "", data});
  ASSERT_EQ(backend->Wait(20000ms), 0) << backend->err();
  EXPECT_EQ(kt::ReadFileBytes(printed_),
            std::string(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX) + "card");
  EXPECT_TRUE(Contains(backend->err(), " marker-levels=8,50,90 ")) << backend->err();
  EXPECT_TRUE(Contains(backend->err(),
                       " marker-types=ink-ribbon,ink-ribbon,ink-ribbon "
                       "marker-message='Cyan ribbon low'\n"))
      << backend->err();
  EXPECT_TRUE(WaitFor([&] { return !SpoolerRuns(); }, 5000ms));
}

TEST_F(CupsBackendPrintingTest, ABackendKilledOutrightTakesItsSpoolerWithIt) {
  StartPrinter({"--rate", "4000"});
  const std::string data = home_.File("big.prn");
  kt::WriteFileBytes(data, std::string(200000, 'k'));
  auto backend = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                    {"23", "u", "big", "1", "", data});
  ASSERT_TRUE(WaitFor([&] { return Printed() > 2048; }, 20000ms)) << backend->err();
  ASSERT_EQ(::kill(backend->pid(), SIGKILL), 0);
  EXPECT_EQ(backend->Wait(15000ms), 128 + SIGKILL);
  // Before, the spooler went on and printed the whole job.
  EXPECT_TRUE(WaitFor([&] { return !SpoolerRuns(); }, 15000ms));
  const std::size_t stopped = Printed();
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Printed(), stopped);
  EXPECT_LT(stopped, 200000u);
}

TEST_F(CupsBackendPrintingTest, ACancelStopsThePrintingJobAtOnceAndNothingOfItPrintsLater) {
  StartPrinter({"--rate", "4000"});
  const std::string data = home_.File("big.prn");
  kt::WriteFileBytes(data, std::string(200000, 'b'));
  auto backend = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                    {"21", "u", "big", "1", "", data});
  ASSERT_TRUE(WaitFor([&] { return Printed() > 2048; }, 20000ms)) << backend->err();
  ASSERT_EQ(::kill(backend->pid(), SIGTERM), 0);
  EXPECT_EQ(backend->Wait(15000ms), 0) << backend->err();
  // The spooler is gone with it, and said nothing of giving the job up.
  EXPECT_FALSE(SpoolerRuns());
  EXPECT_FALSE(Contains(backend->err(), "ERROR:")) << backend->err();
  EXPECT_FALSE(Contains(backend->err(), "tried again")) << backend->err();
  const std::size_t stopped = Printed();
  EXPECT_LT(stopped, 200000u);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(Printed(), stopped);
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_TRUE(SpoolIsEmpty());
}

// A cancel at any instant of the start: while the job is spooled and
// synced, while the spooler is started, as it begins. The job never prints
// whole, and nothing of it comes once the backend has ended. Before, a
// cancel that came while the spooler was being started reached the
// backend's own handler in the child, which only noted it: the job printed
// in full.
TEST_F(CupsBackendPrintingTest, ACancelAtAnyInstantOfTheStartNeverPrintsTheJobWhole) {
  StartPrinter({"--rate", "2000000"});  // 8 MiB take four seconds
  const std::size_t size = 8u << 20;
  const std::string data = home_.File("big.prn");
  kt::WriteFileBytes(data, std::string(size, 'c'));
  std::mt19937 random(20261208);
  for (int trial = 0; trial < 25; ++trial) {
    const std::size_t before = Printed();
    auto backend = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                      {"30", "u", "big", "1", "", data});
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
    ASSERT_EQ(::kill(backend->pid(), SIGTERM), 0);
    // Before its handler is in place the signal's default action ends it.
    const int code = backend->Wait(15000ms);
    ASSERT_TRUE(code == 0 || code == 128 + SIGTERM) << trial << ": " << code << backend->err();
    ASSERT_TRUE(WaitFor([&] { return !SpoolerRuns(); }, 15000ms)) << trial;
    const std::size_t stopped = Printed();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Printed(), stopped) << trial;
    EXPECT_LT(stopped - before, size) << "trial " << trial << " printed the cancelled job whole";
  }
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_TRUE(SpoolIsEmpty());
}

TEST_F(CupsBackendPrintingTest, ACancelWhileTheFaultPolicyWaitsEndsAtOnce) {
  StartPrinter({});
  ASSERT_EQ(PrinterControl("offline"), 0);
  const std::string data = home_.File("card.prn");
  kt::WriteFileBytes(data, "card");
  // The policy would wait an hour before it tries again.
  auto backend = StartBackendBinary("kelvane:/LPT1:", KELVANE_HEADLESS_PATH,
                                    {"22", "u", "card", "1", "", data}, "/dev/null",
                                    "retry=3600");
  ASSERT_TRUE(WaitFor(
      [&] { return Contains(backend->err(), "INFO: The printer is not selected."); },
      20000ms))
      << backend->err();
  // Well before the policy's hour.
  ASSERT_EQ(::kill(backend->pid(), SIGTERM), 0);
  EXPECT_EQ(backend->Wait(15000ms), 0) << backend->err();
  // The reason it set does not outlive the cancelled job.
  const std::string said = backend->err();
  const std::size_t set = said.rfind("STATE: +");
  ASSERT_NE(set, std::string::npos) << said;
  const std::string reason = said.substr(set + 8, said.find('\n', set) - set - 8);
  EXPECT_NE(said.find("STATE: -" + reason + "\n", set), std::string::npos) << said;
  EXPECT_FALSE(SpoolerRuns());
  EXPECT_EQ(kt::ReadFileBytes(queue_), "");
  EXPECT_TRUE(SpoolIsEmpty());
  // The printer is back: nothing of the cancelled job comes.
  ASSERT_EQ(PrinterControl("ready"), 0);
  std::this_thread::sleep_for(1000ms);
  EXPECT_FALSE(Contains(kt::ReadFileBytes(printed_), "card"));
}

// The print service's side channel, asked through libcups as a filter asks
// it: each question is answered at once while the job's data is still
// coming in, and a drain only once the printer has all of the job. Before,
// the backend never read its fd 4: every request timed out.
TEST_F(CupsBackendPrintingTest, TheSideChannelAnswersWhileTheJobComesAndDrainsWhenItPrinted) {
#ifndef KELVANE_SIDE_CHANNEL_HARNESS_PATH
  GTEST_SKIP() << "built without libcups's development files";
#else
  // About a second of printing: a drain answered before the end would
  // find the printer short of the job.
  StartPrinter({"--rate", "32768"});
  std::string job;
  for (int i = 0; i < 32768; ++i) job += static_cast<char>('A' + i % 23);
  const std::string data = home_.File("side.prn");
  kt::WriteFileBytes(data, job);
  Child harness({KELVANE_SIDE_CHANNEL_HARNESS_PATH, data, printed_, KELVANE_CUPS_BACKEND_PATH,
                 "41", "u", "side", "1", ""},
                {{"DEVICE_URI", "kelvane:/LPT1:"}, {"KELVANE_HEADLESS", KELVANE_HEADLESS_PATH}});
  ASSERT_EQ(harness.Wait(180000ms), 0) << harness.out() << harness.err();

  // The times are for whoever reads a failure; the bound is libcups's
  // own two seconds, past which a request reads "timed out" (status 3).
  std::vector<std::string> answers;
  for (std::string line : Lines(harness.out())) {
    const std::size_t time = line.find(" ms=");
    answers.push_back(time == std::string::npos ? line : line.substr(0, time));
  }
  const std::string prefix(reinterpret_cast<const char*>(JOB_PREFIX), sizeof JOB_PREFIX);
  const std::vector<std::string> expected = {
      "GET_CONNECTED status=1 data=01",  // OK, connected
      "GET_BIDI status=1 data=00",       // OK, no back channel
      "GET_DEVICE_ID status=1 data=",    // OK, no ID
      "GET_STATE status=1 data=01",      // OK, online
      "input closed",
      "DRAIN_OUTPUT status=1 printed=" + std::to_string(prefix.size() + job.size()),
      "exit=0"};
  EXPECT_EQ(answers, expected) << harness.out() << harness.err();
  EXPECT_TRUE(kt::ReadFileBytes(printed_) == prefix + job) << Printed();
#endif
}

}  // namespace

#endif
