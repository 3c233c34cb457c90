// The print thread's life: one run at a time (also before the port opens),
// the thread serial and requested priority, the pause point, Cancel while
// paused, and the shutdown join at process end.
// Test thread drives; the runner runs on its own print thread.
#include "tests/runner_test_fixture.h"

namespace {

using rt::Bytes;
using rt::Prefix;
using rt::QueueText;
using rt::Record;

class PrintThreadTest : public rt::RunnerFixture {};

TEST_F(PrintThreadTest, SecondStartIsRefusedWhileARunIsAliveBeforeThePortOpens) {
  kt::ScriptedMessageBoxes boxes;
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {Spool("a.prn", "abc")}));
  const std::uintptr_t before = Shared(g_hPrintThread);
  {
    // Holding the lock keeps the new run at its very first step, long
    // before it sets g_bPrinting.
    SpoolerLock hold;
    ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
    EXPECT_TRUE(IsPrintRunAlive());
    EXPECT_EQ(g_bPrinting, 0);
    EXPECT_FALSE(StartPrintThread(ThreadPriority::Normal));
    EXPECT_EQ(g_hPrintThread, before + 1);
    EXPECT_EQ(LastRequestedPriority(), ThreadPriority::Highest);
    // A bounded wait on the fake clock gives up instead of hanging.
    EXPECT_FALSE(WaitForPrintRun(100));
  }
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(printer_.output(), Prefix() + "abc");

  // The finished thread is joined by the next start.
  UseQueue(Record("B", "LPT1:", "1", "Ribbon", {Spool("b.prn", "de")}));
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_TRUE(WaitForPrintRun(0));
  EXPECT_EQ(Shared(g_hPrintThread), before + 2);
  EXPECT_EQ(LastRequestedPriority(), ThreadPriority::Normal);
  EXPECT_EQ(printer_.output(), Prefix() + "abc" + Prefix() + "de");
}

TEST_F(PrintThreadTest, PauseHoldsBackEveryBlockUntilResume) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(10000, 30);
  UseManualFile(Spool("hand.prn", data), 1);
  // Pause while the second block goes out: the runner stops at the next
  // block, holding no lock.
  printer_.AtTotalBytes(4096, [](vprinter::VirtualPrinter&) {
    SpoolerLock lock;
    g_bPaused = 1;
  });
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
  EXPECT_EQ(printer_.totalAccepted(), 4096u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(printer_.totalAccepted(), 4096u);
  {
    // The page can still take the lock while the thread is paused.
    SpoolerLock lock;
    EXPECT_EQ(g_bPrinting, 1);
    EXPECT_EQ(g_nBytesSent, 4096u);
  }
  EXPECT_TRUE(IsPrintRunAlive());

  SetPaused(false);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_FALSE(IsPrintThreadPaused());
  EXPECT_EQ(LastPrintRunExitCode(), kExitNormal);
  EXPECT_EQ(printer_.output(), data);
}

TEST_F(PrintThreadTest, PausedBeforeTheFirstBlockSendsNothing) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(3000, 31);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {Spool("a.prn", data)}));
  SetPaused(true);
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  SetPaused(false);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(printer_.output(), Prefix() + data);
}

TEST_F(PrintThreadTest, CancelWhilePausedSendsNothingMore) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(10000, 32);
  const std::string path = Spool("hand.prn", data);
  UseManualFile(path, 1);
  printer_.AtTotalBytes(2048, [](vprinter::VirtualPrinter&) {
    SpoolerLock lock;
    g_bPaused = 1;
  });
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
  CancelPrint();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(LastPrintRunExitCode(), kExitStopped);
  EXPECT_EQ(printer_.output(), data.substr(0, 2048));
  EXPECT_EQ(Shared(g_bPaused), 0);
  EXPECT_EQ(Shared(g_bAbortJob), 0);
  EXPECT_EQ(Shared(g_bPrinting), 0);
}

TEST_F(PrintThreadTest, ShutdownStopsARunAndLeavesTheWholeQueueToTheCloser) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(5000, 33);
  const std::string pa = Spool("a.prn", a);
  const std::string pb = Spool("b.prn", "second");
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {pa}),
                      Record("B", "LPT1:", "1", "Ribbon", {pb})}));
  SetPaused(true);
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));

  ShutdownPrintThread();
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_EQ(LastPrintRunExitCode(), kExitStopped);
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  // Unlike Cancel Print, the stopped job is not finished: its record and
  // file stay with the second one, and the run is left open for the closer
  // to purge or keep.
  EXPECT_TRUE(kt::FileExists(pa));
  EXPECT_EQ(kt::ReadFileBytes(pb), "second");  // not even its prefix
  EXPECT_EQ(Shared(g_bQueuePurged), 0);
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_EQ(windows_.CountPosts(rt::kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(Shared(g_bPaused), 0);

  // A later start works again and prints both, the stopped one whole with
  // one job start.
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_TRUE(printer_.output() == Prefix() + a + Prefix() + "second");
}

TEST_F(PrintThreadTest, ShutdownWhilePrintingStopsWithinABlockAndTakesNoFurtherJob) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(20000, 34);
  const std::string pa = Spool("a.prn", a);
  const std::string pb = Spool("b.prn", "second");
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {pa}),
                      Record("B", "LPT1:", "1", "Tovrel", {pb})}));
  // The stop comes in the middle of the third block, from the printer's
  // side, as a close would while the job prints.
  printer_.AtTotalBytes(5000, [](vprinter::VirtualPrinter&) {
    RequestPrintShutdown(QueueAtShutdown::Purge);
  });
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(LastPrintRunExitCode(), kExitStopped);
  // Within the block that was going out: nothing after its end.
  const std::string printed = printer_.output();
  EXPECT_GE(printed.size(), 5000u);
  EXPECT_LE(printed.size(), 3u * 2048u);
  EXPECT_EQ(printed, (Prefix() + a).substr(0, printed.size()));
  // One open only: B's ink query and B itself never happened.
  EXPECT_EQ(opener_.opens("LPT1"), 1);
  EXPECT_EQ(kt::ReadFileBytes(pb), "second");
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")),
            QueueText({Record("A", "LPT1:", "1", "Ribbon", {pa}),
                       Record("B", "LPT1:", "1", "Tovrel", {pb})}));
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_EQ(windows_.CountPosts(rt::kMainWnd, WM_CLOSE), 0);
}

TEST_F(PrintThreadTest, KeepingShutdownIsNotUndoneByTheAbortThatAnswersAPrompt) {
  // The stop from outside answers a fault prompt that is up with its
  // refusing button (Abort); that must not purge the queue the stop keeps.
  const std::string a = Bytes(6000, 35);
  const std::string pa = Spool("a.prn", a);
  const std::string pb = Spool("b.prn", "second");
  const std::string queue = QueueText({Record("A", "LPT1:", "1", "Ribbon", {pa}),
                                       Record("B", "LPT1:", "1", "Ribbon", {pb})});
  UseQueue(queue);
  printer_.SetStateAtTotalBytes(3000, vprinter::PrinterState::NotSelected);
  rt::ActingBoxes prompt([](const kt::RecordedBox&) {
    RequestPrintShutdown(QueueAtShutdown::Keep);
    return IDABORT;
  });
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(prompt.boxes().size(), 1u);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queue);
  EXPECT_TRUE(kt::FileExists(pa));
  EXPECT_EQ(kt::ReadFileBytes(pb), "second");
  EXPECT_EQ(windows_.CountPosts(rt::kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(Shared(g_bPrinting), 0);
}

TEST_F(PrintThreadTest, ShutdownWithNoRunReturnsAtOnce) {
  ShutdownPrintThread();
  EXPECT_FALSE(IsPrintRunAlive());
  EXPECT_TRUE(WaitForPrintRun(0));
}

}  // namespace
