// Shell logic on the fake clock: command line, File/Open, the scheduler's
// idle countdown and its boundaries, the quit question and the document
// close, with recorded windows, scripted boxes and an in-process printer.
// Test thread (the print threads it starts run against the same fakes).
#include "app/shell/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "app/state/spooler_state_test_support.h"
#include "engine/print_thread.h"
#include "platform/clock.h"
#include "platform/command_channel.h"
#include "platform/profile.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

constexpr HWND kMainWnd = 0x4711;
constexpr HWND kPageWnd = 0x4712;
constexpr DWORD kTimerId = 42;

class FakeFrontEnd : public ShellFrontEnd {
 public:
  FakeFrontEnd() { SetShellFrontEnd(this); }
  ~FakeFrontEnd() override { SetShellFrontEnd(nullptr); }
  DWORD SetTimer(DWORD intervalMs) override {
    timerSets.push_back(intervalMs);
    return kTimerId;
  }
  void KillTimer(DWORD timerId) override { timerKills.push_back(timerId); }
  bool GetPlacement(WINDOWPLACEMENT& placement) override {
    if (!hasPlacement) return false;
    placement = stored;
    return true;
  }
  std::vector<DWORD> timerSets;
  std::vector<DWORD> timerKills;
  bool hasPlacement = false;
  WINDOWPLACEMENT stored{};
};

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_.InstallKey();
    opener_.Attach("LPT1", printer_);
    SpoolerLock lock;
    g_hMainWnd = kMainWnd;
    g_hJobPageWnd = kPageWnd;
  }
  void TearDown() override {
    ShutdownPrintThread();
    ResetShell();
  }

  std::string QueuePath() const { return home_.File("queue.txt"); }

  // Queue mode as the document start leaves it, without starting a thread.
  void EnterQueueMode(const std::string& contents) {
    kt::WriteFileBytes(QueuePath(), contents);
    SpoolerLock lock;
    g_bQueueMode = 1;
    CopyField(g_szQueueFile, QueuePath().c_str());
  }

  std::string OneJobRecord(const std::string& name = "job one") {
    const std::string spool = home_.File("KLV~1.spl");
    kt::WriteFileBytes(spool, std::string(300, 'x'));
    return name + "\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" + spool + "\r\n";
  }

  int ClosePosts() const { return windows_.CountPosts(kMainWnd, WM_CLOSE); }

  // Queues a 400000-byte job ('z') and behind it a small one (all 'x'),
  // starts the run and returns once the big job is printing and held at its
  // pause point after two blocks, so the program can end while it prints;
  // the big job's spool path.
  std::string StartBigJobFollowedByAnother(const std::string& bigRecordHead) {
    printer_.SetOutputFile(home_.File("printed.bin"));
    const std::string spool = home_.File("KLV~big.spl");
    kt::WriteFileBytes(spool, std::string(400000, 'z'));
    EnterQueueMode(bigRecordHead + spool + "\r\n\r\n" + OneJobRecord("next"));
    printer_.AtTotalBytes(4096, [](vprinter::VirtualPrinter&) {
      SpoolerLock lock;
      g_bPaused = 1;
    });
    EXPECT_TRUE(StartPrintThread(ThreadPriority::Highest));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!IsPrintThreadPaused()) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the big job never reached its pause point";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return spool;
  }

  static bool WaitForRunEnd() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (IsPrintRunAlive()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  kt::TempHome home_;
  plat::ScopedFakeClock clock_{100000};
  kt::ScriptedMessageBoxes boxes_;
  kt::RecordingWindows windows_;
  vprinter::VirtualPrinter printer_;
  vprinter::InProcessPortOpener opener_;
  vprinter::ScopedPortOpener portGuard_{opener_};
  FakeFrontEnd frontEnd_;
};

// --- command line -----------------------------------------------------------

TEST_F(ShellTest, NoArgumentsIsManualModeNamedNone) {
  const char* argv[] = {"kelvane"};
  g_bJobDone = 1;
  ASSERT_TRUE(DocumentStart(1, argv));
  EXPECT_EQ(g_strFileName, "none");
  EXPECT_EQ(g_bQueueMode, 0);
  EXPECT_EQ(g_bJobDone, 0);
  EXPECT_EQ(frontEnd_.timerSets, std::vector<DWORD>{5000});
  EXPECT_EQ(g_nTimerId, kTimerId);
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_FALSE(StartedWithArguments());
}

TEST_F(ShellTest, QueueArgumentStartsTheFirstRunAtHighestPriority) {
  kt::WriteFileBytes(QueuePath(), "");
  const std::string queue = QueuePath();
  const char* argv[] = {"kelvane", "-f", queue.c_str()};
  g_jobRowState[0] = 2;
  ASSERT_TRUE(DocumentStart(3, argv));
  EXPECT_EQ(g_bQueueMode, 1);
  EXPECT_STREQ(g_szQueueFile, queue.c_str());
  EXPECT_EQ(g_jobRowState[0], 0);
  EXPECT_NE(g_hPrintThread, 0u);
  EXPECT_EQ(LastRequestedPriority(), ThreadPriority::Highest);
  EXPECT_TRUE(StartedWithArguments());
  EXPECT_TRUE(WaitForRunEnd());
}

TEST_F(ShellTest, InkArgumentSetsThePortAndQueriesOnceInManualMode) {
  const char* argv[] = {"kelvane", "-i", "LPT1:"};
  ASSERT_TRUE(DocumentStart(3, argv));
  EXPECT_STREQ(g_szPortName, "LPT1:");
  EXPECT_EQ(g_bQueueMode, 0);
  EXPECT_EQ(g_strFileName, "");  // not "none"
  EXPECT_EQ(opener_.opens("LPT1"), 1);
  EXPECT_FALSE(opener_.IsOpen("LPT1"));
  EXPECT_FALSE(IsPrintRunAlive());
}

TEST_F(ShellTest, RefusedCommandLinesFailButHaveSetTheTimer) {
  const std::string tooLong(100, 'q');
  const std::string longest(99, 'p');
  struct Case {
    std::vector<const char*> argv;
  };
  const std::vector<Case> refused = {
      {{"kelvane", "-F", "queue.txt"}},
      {{"kelvane", "-I", "LPT1:"}},
      {{"kelvane", "-f"}},
      {{"kelvane", "-i"}},
      {{"kelvane", "-f", ""}},
      {{"kelvane", "-f", tooLong.c_str()}},
      {{"kelvane", "-i", tooLong.c_str()}},
      {{"kelvane", "queue.txt"}},
  };
  for (const Case& c : refused) {
    ResetSpoolerState();
    frontEnd_.timerSets.clear();
    SpoolerLock lock;
    g_hMainWnd = kMainWnd;
    EXPECT_FALSE(DocumentStart(static_cast<int>(c.argv.size()), c.argv.data()))
        << c.argv[1];
    EXPECT_EQ(frontEnd_.timerSets.size(), 1u) << c.argv[1];
    EXPECT_EQ(g_bQueueMode, 0) << c.argv[1];
    EXPECT_STREQ(g_szQueueFile, "") << c.argv[1];
    EXPECT_STREQ(g_szPortName, "") << c.argv[1];
    EXPECT_FALSE(IsPrintRunAlive()) << c.argv[1];
  }
  // The longest argument that fits its field is taken whole.
  ResetSpoolerState();
  const char* argv[] = {"kelvane", "-i", longest.c_str()};
  EXPECT_TRUE(DocumentStart(3, argv));
  EXPECT_EQ(std::string(g_szPortName), longest);
}

// A run killed while it printed "old": the next start tells the user,
// removes that job unprinted (the printer may have had part of it) before
// its first run, and prints the job that never began.
TEST_F(ShellTest, AfterACrashOnlyTheJobThatWasPrintingIsRemoved) {
  printer_.SetOutputFile(home_.File("printed.bin"));
  const std::string oldSpool = home_.File("KLV~old.spl");
  kt::WriteFileBytes(oldSpool, std::string(300, 'o'));
  EnterQueueMode("old\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" + oldSpool + "\r\n\r\n" +
                 OneJobRecord("next"));
  {
    JobRecord begun;
    ASSERT_TRUE(TakeNextJob(begun));
    NoteJobInProgress(begun);
    SpoolerLock lock;
    g_bQueueMode = 0;
  }
  ASSERT_EQ(ReadRegString("Config File").value_or(""), "Processing");
  const std::string queue = QueuePath();
  const char* argv[] = {"kelvane", "-f", queue.c_str()};
  ASSERT_TRUE(DocumentStart(3, argv));
  EXPECT_TRUE(WaitForRunEnd());
  ASSERT_GE(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text,
            "Configuration/Queue File Error.\r\nPrevious jobs will be deleted.\r\n"
            "Current job will print in a few moments.");
  const std::string printed = kt::ReadFileBytes(home_.File("printed.bin"));
  EXPECT_EQ(printed.find('o'), std::string::npos);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), 'x'), 300);
  EXPECT_FALSE(kt::FileExists(oldSpool));
  EXPECT_EQ(kt::ReadFileBytes(queue), "");
}

// Whatever the name given with -f stands for, if it is no queue it is
// refused at start with a box that names it, and keeps every byte.
TEST_F(ShellTest, AQueuePathThatIsNoQueueIsRefusedAndLeftWhole) {
  const std::string text = home_.File("notes.txt");
  kt::WriteFileBytes(text, "Notes\r\nfor\r\nMonday\r\n\r\nand more\r\n");
  const std::string folder = home_.File("folder");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  std::vector<std::string> paths{text, folder};
#ifndef _WIN32
  paths.push_back(home_.File("fifo"));
  ASSERT_EQ(::mkfifo(paths.back().c_str(), 0600), 0);
#endif
  for (const std::string& path : paths) {
    const char* argv[] = {"kelvane", "-f", path.c_str()};
    const std::size_t shown = boxes_.count();
    EXPECT_FALSE(DocumentStart(3, argv)) << path;
    DocumentClose();
    ASSERT_EQ(boxes_.count(), shown + 1) << path;
    EXPECT_NE(boxes_.boxes().back().text.find("will not use " + path + " as its queue file"),
              std::string::npos)
        << boxes_.boxes().back().text;
    EXPECT_FALSE(IsPrintRunAlive());
    ResetShell();
  }
  EXPECT_EQ(kt::ReadFileBytes(text), "Notes\r\nfor\r\nMonday\r\n\r\nand more\r\n");
}

// --- File/Open --------------------------------------------------------------

TEST_F(ShellTest, FileOpenLoadsTheFileAsTheCurrentJob) {
  const std::string path = home_.File("letter.prn");
  kt::WriteFileBytes(path, std::string(1234, 'a'));
  g_nCopy = 3;
  g_nBytesSent = 99;
  g_bAbortJob = 1;
  g_bJobDone = 1;
  ASSERT_TRUE(FileOpen(path));
  EXPECT_EQ(g_nFileSize, 1234);
  EXPECT_EQ(g_strFileName, path);
  EXPECT_STREQ(g_szSpoolFiles[0], path.c_str());
  EXPECT_EQ(g_nCopies, 1);
  EXPECT_EQ(g_nFileCount, 1);
  EXPECT_EQ(g_nBytesSent, 0u);
  EXPECT_EQ(g_nCopy, 1);
  EXPECT_EQ(g_bAbortJob, 0);
  EXPECT_EQ(g_bJobDone, 0);
  EXPECT_EQ(g_bFileLoaded, 1);
  EXPECT_EQ(windows_.CountPosts(kPageWnd, WM_TIMER), 1);
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ShellTest, FileOpenOfAnEmptyFileIsRefusedAndChangesNothing) {
  const std::string path = home_.File("empty.prn");
  kt::WriteFileBytes(path, "");
  ASSERT_FALSE(FileOpen(path));
  ASSERT_EQ(boxes_.count(), 1u);
  const kt::RecordedBox box = boxes_.boxes()[0];
  EXPECT_EQ(box.text, "Error accessing file.");
  EXPECT_EQ(box.caption, "Kelvane Error.");
  EXPECT_EQ(box.owner, kMainWnd);
  EXPECT_NE(box.style & MB_SETFOREGROUND, 0u);
  EXPECT_EQ(windows_.foregrounds(), 1);
  EXPECT_EQ(g_bFileLoaded, 0);
  EXPECT_EQ(g_strFileName, "");
  EXPECT_STREQ(g_szSpoolFiles[0], "");
  EXPECT_EQ(windows_.CountPosts(kPageWnd, WM_TIMER), 0);
}

TEST_F(ShellTest, FileOpenOfAMissingFileOrDirectoryReportsTheFrameworkError) {
  for (const std::string& path : {home_.File("missing.prn"), home_.path()}) {
    ASSERT_FALSE(FileOpen(path));
  }
  ASSERT_EQ(boxes_.count(), 2u);
  for (const kt::RecordedBox& box : boxes_.boxes()) {
    EXPECT_EQ(box.text, "Failed to open document.");
    EXPECT_NE(box.style & MB_SETFOREGROUND, 0u);
  }
  EXPECT_EQ(g_bFileLoaded, 0);
}

TEST_F(ShellTest, FileOpenIsEnabledOnlyInManualModeWhileNothingPrints) {
  EXPECT_TRUE(IsFileOpenEnabled());
  g_bPrinting = 1;
  EXPECT_FALSE(IsFileOpenEnabled());
  g_bPrinting = 0;
  g_bQueueMode = 1;
  EXPECT_FALSE(IsFileOpenEnabled());
}

// --- scheduler --------------------------------------------------------------

TEST_F(ShellTest, IdleCloseNeedsStrictlyMoreThanTenMinutes) {
  EnterQueueMode("");
  clock_.clock().Set(5000000);
  SchedulerTick();
  EXPECT_EQ(g_dwIdleSince, 5000000u);
  clock_.clock().Advance(600000);
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), 0);
  clock_.clock().Advance(1);
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), 1);
  // Not reset: every later tick asks again.
  clock_.clock().Advance(5000);
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), 2);
  EXPECT_EQ(g_dwIdleSince, 5000000u);
  // Marked as the spooler's own close, which looks at the queue once more.
  for (const kt::RecordedPost& post : windows_.posts()) {
    if (post.message == WM_CLOSE) {
      EXPECT_EQ(post.wParam, plat::kCloseRunEnded);
      EXPECT_EQ(post.lParam, 0);
    }
  }
}

TEST_F(ShellTest, IdleCountdownSurvivesTheTickWrap) {
  EnterQueueMode("");
  clock_.clock().Set(0xFFFFFFFFu - 1000);
  SchedulerTick();
  clock_.clock().Advance(600000);  // wraps past zero
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), 0);
  clock_.clock().Advance(1);
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), 1);
}

TEST_F(ShellTest, ManualModeNeverClosesItself) {
  for (int i = 0; i < 10; ++i) {
    SchedulerTick();
    clock_.clock().Advance(1000000);
  }
  EXPECT_EQ(ClosePosts(), 0);
  EXPECT_EQ(g_dwIdleSince, 0u);
  EXPECT_EQ(opener_.opens("LPT1"), 0);
  EXPECT_TRUE(windows_.posts().empty());
}

TEST_F(ShellTest, TickWhilePrintingOnlyRepaintsTheJobPage) {
  const std::string queue = OneJobRecord();
  EnterQueueMode(queue);
  CopyField(g_szPortName, "LPT1:");
  g_bPrinting = 1;
  const std::uintptr_t threadBefore = g_hPrintThread;
  SchedulerTick();
  EXPECT_EQ(windows_.CountPosts(kPageWnd, WM_TIMER), 1);
  EXPECT_EQ(windows_.posts().size(), 1u);
  EXPECT_EQ(opener_.opens("LPT1"), 0);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queue);
  EXPECT_FALSE(ReadRegString("Config File").has_value());
  EXPECT_EQ(g_hPrintThread, threadBefore);
  EXPECT_EQ(g_dwIdleSince, 0u);
}

TEST_F(ShellTest, IdlePollReportsAPrinterMessageAndClosesThePort) {
  EnterQueueMode("");
  CopyField(g_szPortName, "LPT1:");
  printer_.QueueMessage("Ribbon low");
  SchedulerTick();
  EXPECT_EQ(opener_.opens("LPT1"), 1);
  EXPECT_FALSE(opener_.IsOpen("LPT1"));
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_NE(boxes_.boxes()[0].text.find("Ribbon low"), std::string::npos);
}

TEST_F(ShellTest, IdlePollWithoutAPortOpensNothing) {
  EnterQueueMode("");
  SchedulerTick();
  SchedulerTick();
  EXPECT_EQ(opener_.opens("LPT1"), 0);
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ShellTest, AJobArrivingDuringTheCountdownRestartsIt) {
  EnterQueueMode("");
  printer_.SetOutputFile(home_.File("printed.bin"));
  clock_.clock().Set(2000000);
  SchedulerTick();
  clock_.clock().Advance(400000);
  SchedulerTick();
  ASSERT_EQ(g_dwIdleSince, 2000000u);

  kt::WriteFileBytes(QueuePath(), OneJobRecord());
  const std::uintptr_t threadBefore = g_hPrintThread;
  SchedulerTick();
  EXPECT_EQ(g_dwIdleSince, 0u);
  EXPECT_NE(g_hPrintThread, threadBefore);
  EXPECT_EQ(LastRequestedPriority(), ThreadPriority::Normal);
  ASSERT_TRUE(WaitForRunEnd());

  // After the job, the countdown starts over from the next idle tick: the
  // old start would have closed at once.
  const int closesAfterRun = ClosePosts();
  clock_.clock().Set(3000000);
  SchedulerTick();
  EXPECT_EQ(g_dwIdleSince, 3000000u);
  // The idle poll's 500 ms read moved the fake clock on; go back to the
  // boundary itself.
  clock_.clock().Set(3000000 + 600000);
  SchedulerTick();
  EXPECT_EQ(ClosePosts(), closesAfterRun);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("printed.bin")).size() > 300, true);
}

TEST_F(ShellTest, NoSecondThreadWhileARunIsAliveBeforeItPrints) {
  // A run that waits at its pause point is alive but has not opened the
  // port (g_bPrinting 0): the tick must not start another one.
  EnterQueueMode(OneJobRecord());
  {
    SpoolerLock lock;
    g_bPaused = 1;
  }
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  const std::uintptr_t first = g_hPrintThread;
  SchedulerTick();
  SchedulerTick();
  EXPECT_EQ(g_hPrintThread, first);
  EXPECT_EQ(LastRequestedPriority(), ThreadPriority::Highest);
  {
    SpoolerLock lock;
    g_bPaused = 0;
    g_bAbortJob = 1;
  }
  NotifyPauseChanged();
  EXPECT_TRUE(WaitForRunEnd());
}

TEST_F(ShellTest, DriverCommandsWaitUntilAStartedRunHasEnded) {
  // The run owns the port from its start, before it has opened it: a
  // command then must neither open the port nor claim to have been done.
  EnterQueueMode(OneJobRecord());
  CopyField(g_szPortName, "LPT1:");
  {
    SpoolerLock lock;
    g_bPaused = 1;
  }
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  ASSERT_EQ(g_bPrinting, 0);
  for (WPARAM command : {1u, 3u, 5u}) {
    EXPECT_EQ(DispatchChannelRequest(WM_SPOOLER_COMMAND, command, 0), 0) << command;
  }
  EXPECT_EQ(opener_.opens("LPT1"), 0);
  {
    SpoolerLock lock;
    g_bPaused = 0;
    g_bAbortJob = 1;
  }
  NotifyPauseChanged();
  ASSERT_TRUE(WaitForRunEnd());
  const int opensBefore = opener_.opens("LPT1");
  CopyField(g_szPortName, "LPT1:");
  EXPECT_EQ(DispatchChannelRequest(WM_SPOOLER_COMMAND, 1, 0), 1);
  EXPECT_EQ(opener_.opens("LPT1"), opensBefore + 1);
  EXPECT_FALSE(opener_.IsOpen("LPT1"));
}

TEST_F(ShellTest, TickTakesTheHeadJobIntoTheCurrentJobRecord) {
  const std::string spool = home_.File("KLV~2.spl");
  kt::WriteFileBytes(spool, std::string(700, 'y'));
  EnterQueueMode("card run\r\nLPT1:\r\n3\r\nVORNA Cantella\r\nYMCKO\r\n" + spool +
                 "\r\n");
  printer_.SetOutputFile(home_.File("printed.bin"));
  SchedulerTick();
  {
    // Read before the run can end: the tick wrote the record itself.
    SpoolerLock lock;
    EXPECT_STREQ(g_szPortName, "LPT1:");
    EXPECT_STREQ(g_szPrinterName, "VORNA Cantella");
    EXPECT_STREQ(g_szRibbonType, "YMCKO");
    EXPECT_STREQ(g_szSpoolFiles[0], spool.c_str());
    EXPECT_STREQ(g_szQueueFile, QueuePath().c_str());
  }
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Processing");
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(kt::ReadFileBytes(home_.File("printed.bin")).size(), 3u * (6 + 700));
}

// A box sink that looks, while its box is up, whether another thread could
// take the spooler lock.
class LockProbingBoxes : public plat::MessageBoxSink {
 public:
  LockProbingBoxes() { plat::SetMessageBoxSink(this); }
  ~LockProbingBoxes() override { plat::SetMessageBoxSink(nullptr); }
  int Show(HWND, const std::string& text, const std::string&, UINT style) override {
    texts.push_back(text);
    auto other = std::async(std::launch::async, [] { SpoolerLock lock; });
    lockFreeDuringBox.push_back(other.wait_for(std::chrono::milliseconds(50)) ==
                                std::future_status::ready);
    pending.push_back(std::move(other));
    return plat::DefaultButton(style);
  }
  std::vector<std::string> texts;
  std::vector<bool> lockFreeDuringBox;
  std::vector<std::future<void>> pending;
};

TEST_F(ShellTest, TheIdlePollShowsItsBoxWithTheTickHoldingTheLock) {
  EnterQueueMode("");
  CopyField(g_szPortName, "LPT1:");
  printer_.QueueMessage("Ribbon low");
  LockProbingBoxes probe;
  SchedulerTick();
  ASSERT_EQ(probe.texts.size(), 1u);
  EXPECT_EQ(probe.texts[0], "Ribbon low");
  EXPECT_FALSE(probe.lockFreeDuringBox[0]);
  // Once the tick is over the other thread gets the lock.
  for (auto& other : probe.pending) {
    EXPECT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }
}

TEST_F(ShellTest, QuitWhileARunIsAliveButNotPrintingAsksNothing) {
  // The question guards a job that would be lost; before the port is open
  // (g_bPrinting 0) nothing is asked, as for an idle spooler.
  EnterQueueMode(OneJobRecord());
  {
    SpoolerLock lock;
    g_bPaused = 1;
  }
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  EXPECT_TRUE(ConfirmQuit());
  EXPECT_EQ(boxes_.count(), 0u);
  {
    SpoolerLock lock;
    g_bPaused = 0;
    g_bAbortJob = 1;
  }
  NotifyPauseChanged();
  EXPECT_TRUE(WaitForRunEnd());
}

// --- quit question and close ---------------------------------------------

TEST_F(ShellTest, QuitIsAskedOnlyWhilePrinting) {
  EXPECT_TRUE(ConfirmQuit());
  EXPECT_EQ(boxes_.count(), 0u);

  g_bPrinting = 1;
  boxes_.Answer(IDCANCEL);
  EXPECT_FALSE(ConfirmQuit());
  boxes_.Answer(IDOK);
  EXPECT_TRUE(ConfirmQuit());
  ASSERT_EQ(boxes_.count(), 2u);
  const kt::RecordedBox box = boxes_.boxes()[0];
  EXPECT_EQ(box.text,
            "Do you really want to quit?\r\nAll print jobs will stop and will be lost.");
  EXPECT_EQ(box.caption, "WARNING");
  EXPECT_EQ(box.owner, kMainWnd);
  EXPECT_EQ(box.style, MB_OKCANCEL | MB_SETFOREGROUND);
  EXPECT_EQ(g_bPrinting, 1);  // cancel left the job alone
}

TEST_F(ShellTest, CloseWithNoRunStoresPlacementTidiesNothingAndDoesNotWait) {
  EnterQueueMode(OneJobRecord());
  const std::string queueBefore = kt::ReadFileBytes(QueuePath());
  g_nTimerId = kTimerId;
  g_nCopy = 4;
  g_nBytesSent = 777;
  frontEnd_.hasPlacement = true;
  frontEnd_.stored.length = 0;
  frontEnd_.stored.showCmd = SW_SHOWMAXIMIZED;
  frontEnd_.stored.rcNormalLeft = 10;
  frontEnd_.stored.rcNormalTop = 20;
  frontEnd_.stored.rcNormalRight = 610;
  frontEnd_.stored.rcNormalBottom = 520;

  // No run is alive: the close has nobody to wait for.
  const DWORD start = plat::GetTickCount();
  DocumentClose();
  EXPECT_LT(plat::GetTickCount() - start, 2000u);

  WINDOWPLACEMENT placement{};
  DWORD size = sizeof placement;
  ASSERT_TRUE(ReadRegBinary("Window Placement", &placement, &size));
  EXPECT_EQ(size, 44u);
  EXPECT_EQ(placement.length, 44u);
  EXPECT_EQ(placement.showCmd, SW_SHOWNORMAL);
  EXPECT_EQ(placement.rcNormalRight, 610);
  EXPECT_EQ(frontEnd_.timerKills, std::vector<DWORD>{kTimerId});
  EXPECT_EQ(g_bAbortJob, 1);
  // Neither EndJobCleanup (counters) nor PurgeQueue (file, marker) ran.
  EXPECT_EQ(g_nCopy, 4);
  EXPECT_EQ(g_nBytesSent, 777u);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queueBefore);
  EXPECT_FALSE(ReadRegString("Config File").has_value());

  // The next start takes its geometry from the stored record.
  const FrameGeometry geometry = PrepareFrameGeometry();
  EXPECT_EQ(geometry.x, 10);
  EXPECT_EQ(geometry.y, 20);
  EXPECT_EQ(geometry.width, 600);
  EXPECT_EQ(geometry.height, 500);
}

TEST_F(ShellTest, CloseWithAnOpenQueueRunCleansUpAndPurges) {
  EnterQueueMode(OneJobRecord() + "\r\n" + OneJobRecord("job two"));
  g_bQueuePurged = 0;
  g_nCopy = 2;
  DocumentClose();
  EXPECT_EQ(g_nCopy, 1);
  EXPECT_EQ(g_bQueuePurged, 1);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), "");
}

TEST_F(ShellTest, CloseInManualModeCleansUpButNeverPurges) {
  // A manual run has no queue of its own: even with a queue file named and
  // a run left open, the close must not touch it or the marker.
  const std::string queue = OneJobRecord() + "\r\n" + OneJobRecord("job two");
  kt::WriteFileBytes(QueuePath(), queue);
  CopyField(g_szQueueFile, QueuePath().c_str());
  ASSERT_TRUE(WriteRegString("Config File", "Processing"));
  g_bQueuePurged = 0;
  g_bPrinting = 1;
  g_nCopy = 3;
  g_nBytesSent = 55;
  DocumentClose();
  EXPECT_EQ(g_nCopy, 1);
  EXPECT_EQ(g_nBytesSent, 0u);
  EXPECT_EQ(g_bPrinting, 0);
  EXPECT_EQ(g_bQueuePurged, 0);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queue);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Processing");
  EXPECT_EQ(windows_.CountPosts(kPageWnd, WM_TIMER), 1);  // EndJobCleanup's repaint
}

TEST_F(ShellTest, CloseStopsARunningJobAndNoRunOutlivesIt) {
  // A slow printer keeps the job printing; the close's stop request must
  // end it, and the queue is purged behind it.
  printer_.SetOutputFile(home_.File("printed.bin"));
  printer_.SetRate(20000);
  const std::string spool = home_.File("KLV~big.spl");
  kt::WriteFileBytes(spool, std::string(400000, 'z'));
  EnterQueueMode("big\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" + spool +
                 "\r\n\r\n" + OneJobRecord("next"));
  // With the clock standing still the rate-limited printer takes nothing:
  // the job holds the port and cannot finish before the close.
  clock_.clock().SetPauseStep(0);
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    {
      SpoolerLock lock;
      if (g_bPrinting) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the job never started";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  clock_.clock().SetPauseStep(1);
  DocumentClose();
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_EQ(g_bPrinting, 0);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), "");
  EXPECT_FALSE(kt::FileExists(spool));
  EXPECT_LT(kt::ReadFileBytes(home_.File("printed.bin")).size(), 400000u);
}

// A fake clock whose every pause also lets a little real time pass, as the
// real close wait does: the print thread gets to act during the wait.
class YieldingClock final : public plat::TickSource {
 public:
  explicit YieldingClock(DWORD start) : now_(start) { plat::SetTickSource(this); }
  ~YieldingClock() override { plat::SetTickSource(nullptr); }
  DWORD Now() override { return now_.load(); }
  void Pause() override {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
    now_.fetch_add(1);
  }

 private:
  std::atomic<DWORD> now_;
};

TEST_F(ShellTest, QuitWhileAQueuedJobPrintsStartsNoFurtherJob) {
  YieldingClock clock(100000);
  const std::string spool = StartBigJobFollowedByAnother(
      "big\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n");

  boxes_.Answer(IDOK);
  ASSERT_TRUE(ConfirmQuit());
  DocumentClose();
  EXPECT_FALSE(IsPrintRunAlive());
  // The port was opened for the big job only: after OK the next job gets
  // neither its prefix nor a single byte, unlike after a Cancel Print.
  EXPECT_EQ(opener_.opens("LPT1"), 1);
  const std::string printed = kt::ReadFileBytes(home_.File("printed.bin"));
  EXPECT_EQ(printed.find('x'), std::string::npos);
  EXPECT_LT(printed.size(), 400000u);
  // The quit the user confirmed still gives the queue up.
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), "");
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
}

TEST_F(ShellTest, StopFromOutsideKeepsEveryRecordForTheNextStart) {
  const std::string spool = StartBigJobFollowedByAnother(
      "big\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n");
  const std::string queue = kt::ReadFileBytes(QueuePath());
  ASSERT_EQ(ReadRegString("Config File").value_or(""), "Processing");

  StopKeepingQueue();
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_EQ(g_bPrinting, 0);
  EXPECT_EQ(boxes_.count(), 0u);  // nobody was asked anything
  EXPECT_EQ(opener_.opens("LPT1"), 1);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("printed.bin")).find('x'), std::string::npos);
  // Both records and both spool files stay, as submitted (the job start
  // goes to the port, never into the file); the marker says the run was closed, so the next start's recovery
  // has nothing to delete.
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queue);
  EXPECT_EQ(kt::ReadFileBytes(spool).size(), 400000u);
  EXPECT_TRUE(kt::FileExists(home_.File("KLV~1.spl")));
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_FALSE(RecoverQueueFile());
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queue);
  EXPECT_EQ(frontEnd_.timerKills.size(), 1u);
}

TEST_F(ShellTest, StopFromOutsideWhileIdleChangesNothingInTheQueue) {
  const std::string queue = OneJobRecord();
  EnterQueueMode(queue);
  const DWORD start = plat::GetTickCount();
  StopKeepingQueue();
  EXPECT_LT(plat::GetTickCount() - start, 2000u);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), queue);
  EXPECT_FALSE(ReadRegString("Config File").has_value());
}

// A box sink that, while the idle poll's box is up, lets the timer fire
// again (as the box's message loop would), once with the queue still empty
// and once after the driver has queued a job.
class ReenteringBoxes : public plat::MessageBoxSink {
 public:
  explicit ReenteringBoxes(std::function<void()> queueAJob)
      : queueAJob_(std::move(queueAJob)) {
    plat::SetMessageBoxSink(this);
  }
  ~ReenteringBoxes() override { plat::SetMessageBoxSink(nullptr); }
  int Show(HWND, const std::string& text, const std::string&, UINT style) override {
    texts.push_back(text);
    ++depth_;
    maxDepth = std::max(maxDepth, depth_);
    if (depth_ == 1 && !reentered_) {
      reentered_ = true;
      SchedulerTick();
      queueAJob_();
      SchedulerTick();
      runStartedInside = IsPrintRunAlive();
    }
    --depth_;
    return plat::DefaultButton(style);
  }
  std::vector<std::string> texts;
  int maxDepth = 0;
  bool runStartedInside = false;

 private:
  std::function<void()> queueAJob_;
  int depth_ = 0;
  bool reentered_ = false;
};

TEST_F(ShellTest, ATickThatArrivesInsideATicksBoxDoesNothing) {
  EnterQueueMode("");
  CopyField(g_szPortName, "LPT1:");
  printer_.SetOutputFile(home_.File("printed.bin"));
  printer_.QueueMessage("Ribbon low");
  printer_.QueueMessage("Hood open");
  ReenteringBoxes boxes([this] { kt::WriteFileBytes(QueuePath(), OneJobRecord()); });
  SchedulerTick();
  // One box, no box on top of it, and no print thread from inside it.
  EXPECT_EQ(boxes.texts, std::vector<std::string>{"Ribbon low"});
  EXPECT_EQ(boxes.maxDepth, 1);
  EXPECT_FALSE(boxes.runStartedInside);
  EXPECT_FALSE(IsPrintRunAlive());
  // Once the box is answered, the next tick works as ever.
  SchedulerTick();
  EXPECT_TRUE(IsPrintRunAlive() || kt::ReadFileBytes(QueuePath()).empty());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(kt::ReadFileBytes(home_.File("printed.bin")).size(), 306u);
}

TEST_F(ShellTest, DefaultGeometryWithoutAStoredPlacement) {
  const FrameGeometry geometry = PrepareFrameGeometry();
  EXPECT_EQ(geometry.x, 30);
  EXPECT_EQ(geometry.y, 2);
  EXPECT_EQ(geometry.width, 570);
  EXPECT_EQ(geometry.height, 477);
}

// --- the window's publication and the driver's message -----------------------

TEST_F(ShellTest, MainWindowIsPublishedAsSignedDecimal) {
  ASSERT_TRUE(PublishMainWindow(123456));
  EXPECT_EQ(g_hMainWnd, 123456);
  EXPECT_EQ(plat::GetProfileString("Tovrel", "SpoolerHwnd", ""), "123456");
  ASSERT_TRUE(PublishMainWindow(-77));
  EXPECT_EQ(plat::GetProfileString("Tovrel", "SpoolerHwnd", ""), "-77");
#ifndef _WIN32
  // Windows takes a published number only when it names a spooler window.
  EXPECT_EQ(plat::FindSpoolerWindow(), -77);
#endif
}

TEST_F(ShellTest, ChannelRequestsReachTheirHandlers) {
  EXPECT_EQ(DispatchChannelRequest(plat::kBringToFrontRequest, 0, 0), 1);
  EXPECT_EQ(windows_.foregrounds(), 1);
  g_bPrinting = 1;
  EXPECT_EQ(DispatchChannelRequest(WM_SPOOLER_COMMAND, 1, 0), 0);  // refused
  EXPECT_EQ(DispatchChannelRequest(0x1234, 0, 0), 0);
}

}  // namespace

// --- the driver's question and the spooler's own close ------------------------

class WillPrintTest : public ShellTest {
 protected:
  LRESULT Ask(const std::string& queueFile) {
    return DispatchChannelRequest(plat::kWillPrintQueueRequest,
                                  static_cast<WPARAM>(plat::QueueFileKey(queueFile)), 0);
  }
};

TEST_F(WillPrintTest, YesOnlyForOurOwnQueueFileHoweverItIsSpelled) {
  EnterQueueMode("");
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintYes);
  const std::string dir = QueuePath().substr(0, QueuePath().rfind('/'));
  EXPECT_EQ(Ask(dir + "/./queue.txt"), plat::kWillPrintYes);
  // Another queue file: we would never read it.
  EXPECT_EQ(Ask(dir + "/other.txt"), plat::kWillPrintOtherQueue);
  SpoolerLock lock;
  g_bQueueMode = 0;
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintNoQueue);
}

TEST_F(WillPrintTest, NoOnceAnyCloseHasBegun) {
  EnterQueueMode("");
  BeginClose();
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintClosing);
  CancelClose();  // the quit question was answered Cancel
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintYes);
  // A front end that goes straight to the document close.
  DocumentClose();
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintClosing);
}

TEST_F(WillPrintTest, TheSpoolersOwnCloseGoesOnWhenTheQueueIsEmpty) {
  EnterQueueMode("");
  EXPECT_TRUE(BeginSelfClose());
  EXPECT_TRUE(IsClosing());
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintClosing);
}

// The driver was told yes just before the run ended and the close was
// posted: the last look finds its record and prints it instead of closing.
TEST_F(WillPrintTest, ARecordFoundByTheLastLookCancelsTheCloseAndPrints) {
  EnterQueueMode("");
  ASSERT_EQ(Ask(QueuePath()), plat::kWillPrintYes);
  kt::WriteFileBytes(QueuePath(), OneJobRecord("late"));
  EXPECT_FALSE(BeginSelfClose());
  EXPECT_FALSE(IsClosing());
  EXPECT_EQ(Ask(QueuePath()), plat::kWillPrintYes);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(printer_.output().size(), 6u + 300u);
  EXPECT_EQ(kt::ReadFileBytes(QueuePath()), "");
}
