// The print job runner end to end against the in-process virtual printer:
// what the printer receives byte for byte, copies and files, the progress
// counters, stop requests, the fault prompts and the close rule.
// Test thread drives; the runner runs on its own print thread.
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>

#include "engine/port_channel.h"
#include "platform/files.h"
#include "platform/files_test_support.h"
#include "platform/net_redirect.h"
#include "queue/queue_file.h"
#include "queue/queue_file_test_support.h"
#include "queue/settings_store.h"
#include "tests/runner_test_fixture.h"
#include "platform/port_errors.h"

namespace {

// Windows answers ERROR_NO_NETWORK where no network provider is installed
// (Wine has none): the share cases cannot be set up there. Our POSIX
// redirection table never answers it.
#ifdef _WIN32
constexpr DWORD kNoNetworkError = 1222;
#else
constexpr DWORD kNoNetworkError = 0xFFFFFFFFu;
#endif

using rt::Bytes;
using rt::kMainWnd;
using rt::Prefix;
using rt::QueueText;
using rt::Record;

constexpr UINT kErrorBox = MB_ICONERROR | MB_SETFOREGROUND;

class RunnerTest : public rt::RunnerFixture {};

// --- Copies, files and blocks ----------------------------------------------

TEST_F(RunnerTest, ThreeFilesTwoCopiesSendEachCopyInFileOrderWithTheJobPrefix) {
  kt::ScriptedMessageBoxes boxes;
  const std::string f0 = Bytes(3000, 1), f1 = Bytes(100, 2), f2 = Bytes(2048, 3);
  const std::string p0 = Spool("a0.prn", f0), p1 = Spool("a1.prn", f1),
                    p2 = Spool("a2.prn", f2);
  UseQueue(Record("Job A", "LPT1:", "2", "Ribbon Printer", {p0, p1, p2}));

  const std::size_t copyLen = 6 + f0.size() + f1.size() + f2.size();
  struct Seen {
    std::uint16_t copy;
    DWORD sent;
  };
  std::vector<Seen> seen;
  auto record = [&seen](vprinter::VirtualPrinter&) {
    SpoolerLock lock;
    seen.push_back({g_nCopy, g_nBytesSent});
  };
  printer_.AtTotalBytes(6 + 3000 + 100 + 1, record);   // copy 1, file 2
  printer_.AtTotalBytes(copyLen + 2048 + 1, record);   // copy 2, file 0 block 2

  EXPECT_EQ(RunToEnd(), kExitNormal);

  const std::string copy = Prefix() + f0 + f1 + f2;
  EXPECT_EQ(printer_.output(), copy + copy);
  const std::vector<DWORD> perCopy = {2048, 958, 100, 2048};
  std::vector<DWORD> expected = perCopy;
  expected.insert(expected.end(), perCopy.begin(), perCopy.end());
  EXPECT_EQ(writes_.sizes(), expected);

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].copy, 1);
  EXPECT_EQ(seen[0].sent, 6u + 3000u + 100u);  // all files of the copy so far
  EXPECT_EQ(seen[1].copy, 2);
  EXPECT_EQ(seen[1].sent, 2048u);  // fell back to 0 after the first copy

  EXPECT_EQ(Shared(g_nCopy), 1);
  EXPECT_EQ(Shared(g_nBytesSent), 0u);
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_EQ(Shared(g_bJobDone), 1);
  EXPECT_EQ(Shared(g_hPort), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Shared(g_hSpoolFile), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(kt::FileExists(p0) || kt::FileExists(p1) || kt::FileExists(p2));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_EQ(boxes.count(), 0u);

  auto port = opener_.lastPort("LPT1");
  ASSERT_TRUE(port);
  EXPECT_EQ(port->commMask(), 0x284u);
  EXPECT_EQ(port->timeouts().WriteTotalTimeoutConstant, 110u);
  EXPECT_TRUE(port->closed());
}

TEST_F(RunnerTest, ManualModeSendsTheFileUnchangedAndKeepsIt) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(5000, 4);
  const std::string path = Spool("hand.prn", data);
  UseManualFile(path, 2);

  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), data + data);
  EXPECT_EQ(kt::ReadFileBytes(path), data);  // no prefix, not deleted
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(Shared(g_bJobDone), 1);
  EXPECT_EQ(Shared(g_bQueuePurged), 0);  // manual runs are never purged
}

TEST_F(RunnerTest, CopiesZeroSendsNothingAndTheNextJobFollows) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(700, 5), b = Bytes(900, 6);
  const std::string pa = Spool("a.prn", a), pb = Spool("b.prn", b);
  UseQueue(QueueText({Record("A", "LPT1:", "0", "Ribbon", {pa}),
                      Record("B", "LPT1:", "1", "Ribbon", {pb})}));

  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), Prefix() + b);
  EXPECT_FALSE(kt::FileExists(pa));
  EXPECT_FALSE(kt::FileExists(pb));
}

TEST_F(RunnerTest, CopyCountsPrintExactlyAsOftenAsAsked) {
  kt::ScriptedMessageBoxes boxes;
  const std::string d = Bytes(10, 7);
  // 255 copies from the queue print 255 times; a copies line of 300 reads
  // as one byte (44).
  UseQueue(QueueText({Record("A", "LPT1:", "255", "Ribbon", {Spool("a.prn", d)}),
                      Record("B", "LPT1:", "300", "Ribbon", {Spool("b.prn", d)})}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  std::string expected;
  for (int i = 0; i < 255 + 44; ++i) expected += Prefix() + d;
  EXPECT_EQ(printer_.output(), expected);
  EXPECT_EQ(Shared(g_nCopy), 1);
}

TEST_F(RunnerTest, HandOpenedJobOfMoreThan255CopiesPrintsThemAll) {
  kt::ScriptedMessageBoxes boxes;
  const std::string d = Bytes(33, 8);
  UseManualFile(Spool("hand.prn", d), 300);
  std::uint16_t lastCopy = 0;
  printer_.AtTotalBytes(299 * d.size() + 1, [&lastCopy](vprinter::VirtualPrinter&) {
    SpoolerLock lock;
    lastCopy = g_nCopy;
  });
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.totalAccepted(), 300u * d.size());
  EXPECT_EQ(lastCopy, 300);
}

TEST_F(RunnerTest, EmptyFileSendsNoBlockAndAFullBlockFileSendsOne) {
  kt::ScriptedMessageBoxes boxes;
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {Spool("a.prn", "")}),
                      Record("B", "LPT1:", "1", "Ribbon",
                             {Spool("b.prn", ""), Spool("c.prn", Bytes(2048, 9))})}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  // A: the prefix alone. B: the prefixed empty file, then one full block.
  EXPECT_EQ(writes_.sizes(), (std::vector<DWORD>{6, 6, 2048}));
  EXPECT_EQ(printer_.output(), Prefix() + Prefix() + Bytes(2048, 9));

  printer_.ClearOutput();
  UseManualFile(Spool("empty.prn", ""), 3);
  const std::size_t before = writes_.sizes().size();
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(writes_.sizes().size(), before);
  EXPECT_EQ(printer_.output(), "");
}

// A spool file cut short or removed while the runner holds it open: Windows
// refuses both while the runner's handle is open, so these cases exist only
// where a file can change under an open handle.
#ifndef _WIN32
TEST_F(RunnerTest, FileShorterThanItsSizeEndsWhereTheDataEnds) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(6000, 10);
  const std::string path = Spool("hand.prn", data);
  UseManualFile(path, 1);
  SetPaused(true);
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  // The first block is read; the runner waits before writing it.
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
  std::filesystem::resize_file(path, 3000);
  SetPaused(false);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(LastPrintRunExitCode(), kExitNormal);
  EXPECT_EQ(printer_.output(), data.substr(0, 3000));
  EXPECT_EQ(writes_.sizes(), (std::vector<DWORD>{2048, 952}));
}
#endif

// --- Stop requests ----------------------------------------------------------

TEST_F(RunnerTest, CancelInQueueModeRemovesOnlyTheCurrentJob) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(10000, 11), b = Bytes(500, 12);
  const std::string pa = Spool("a.prn", a), pb = Spool("b.prn", b);
  UseQueue(QueueText({Record("A", "LPT1:", "3", "Ribbon", {pa}),
                      Record("B", "LPT1:", "1", "Ribbon", {pb})}));
  std::shared_ptr<vprinter::InProcessPort> portA;
  printer_.AtTotalBytes(4096, [this, &portA](vprinter::VirtualPrinter&) {
    portA = opener_.lastPort("LPT1");
    CancelPrint();
  });

  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), (Prefix() + a).substr(0, 4096) + Prefix() + b);
  ASSERT_TRUE(portA);
  EXPECT_EQ(portA->ioctlCount(7), 1);
  EXPECT_TRUE(portA->closed());
  EXPECT_FALSE(kt::FileExists(pa));
  EXPECT_FALSE(kt::FileExists(pb));
  EXPECT_EQ(Shared(g_bAbortJob), 0);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
}

TEST_F(RunnerTest, CancelInManualModeEndsTheRunWithExitOne) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(10000, 13);
  const std::string path = Spool("hand.prn", data);
  UseManualFile(path, 1);
  printer_.AtTotalBytes(4096, [](vprinter::VirtualPrinter&) { CancelPrint(); });

  EXPECT_EQ(RunToEnd(), kExitStopped);
  EXPECT_EQ(printer_.output(), data.substr(0, 4096));
  EXPECT_TRUE(kt::FileExists(path));
  EXPECT_EQ(Shared(g_bJobDone), 0);
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_EQ(Shared(g_bAbortJob), 0);
  EXPECT_EQ(opener_.lastPort("LPT1")->ioctlCount(7), 1);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
}

// --- Port faults ------------------------------------------------------------

// The printer goes offline in the middle of the second block (byte 3000).
class NotSelectedTest : public RunnerTest {
 protected:
  void SetUpJob(bool queue) {
    data_ = Bytes(6000, 14);
    path_ = Spool("a.prn", data_);
    if (queue) {
      second_ = Spool("b.prn", Bytes(300, 15));
      UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {path_}),
                          Record("B", "LPT1:", "1", "Ribbon", {second_})}));
    } else {
      UseManualFile(path_, 1);
    }
    printer_.SetStateAtTotalBytes(3000, vprinter::PrinterState::NotSelected);
  }
  // Puts the printer back online and answers.
  rt::ActingBoxes::Responder BringBackAndAnswer(int answer) {
    return [this, answer](const kt::RecordedBox&) {
      printer_.SetState(vprinter::PrinterState::Ready);
      return answer;
    };
  }
  std::string data_, path_, second_;
};

TEST_F(NotSelectedTest, IgnoreContinuesWithTheUnsentRestOfTheBlock) {
  SetUpJob(true);
  rt::ActingBoxes boxes(BringBackAndAnswer(IDIGNORE));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), Prefix() + data_ + Prefix() + Bytes(300, 15));
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, "Kelvane Error");
  EXPECT_EQ(shown[0].style, kErrorBox | MB_ABORTRETRYIGNORE);
  EXPECT_NE(shown[0].text.find("not selected"), std::string::npos);
}

TEST_F(NotSelectedTest, RetryStartsTheSameJobOverFromItsFirstByte) {
  SetUpJob(true);
  rt::ActingBoxes boxes(BringBackAndAnswer(IDRETRY));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  const std::string firstTry = (Prefix() + data_).substr(0, 3000);
  // Taken again from the head of the queue, the job gets one job start of
  // its own, not a second one on top of the first attempt's.
  EXPECT_TRUE(printer_.output() == firstTry + Prefix() + data_ + Prefix() + Bytes(300, 15));
  EXPECT_EQ(opener_.opens("LPT1"), 3);
  EXPECT_EQ(boxes.boxes().size(), 1u);
}

TEST_F(NotSelectedTest, AbortInQueueModePurgesTheQueueAndCloses) {
  SetUpJob(true);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return IDABORT; });
  EXPECT_EQ(RunToEnd(), kExitPortFault);
  EXPECT_EQ(printer_.output(), (Prefix() + data_).substr(0, 3000));
  EXPECT_FALSE(kt::FileExists(second_));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_TRUE(opener_.lastPort("LPT1")->closed());
}

TEST_F(NotSelectedTest, ManualRetryWritesAgainAndCancelEndsTheRun) {
  SetUpJob(false);
  {
    rt::ActingBoxes boxes(BringBackAndAnswer(IDRETRY));
    EXPECT_EQ(RunToEnd(), kExitNormal);
    EXPECT_EQ(printer_.output(), data_);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].style, kErrorBox | MB_RETRYCANCEL);
  }
  printer_.ClearOutput();
  printer_.SetStateAtTotalBytes(printer_.totalAccepted() + 3000,
                                vprinter::PrinterState::NotSelected);
  kt::ScriptedMessageBoxes cancel;
  cancel.Answer(IDCANCEL);
  EXPECT_EQ(RunToEnd(), kExitPortFault);
  EXPECT_EQ(printer_.output(), data_.substr(0, 3000));
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
}

TEST_F(RunnerTest, OutOfPaperRetryGoesOnAndCancelGivesUp) {
  const std::string data = Bytes(5000, 16);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {Spool("a.prn", data)}));
  printer_.SetStateAtTotalBytes(2048, vprinter::PrinterState::OutOfPaper);
  {
    rt::ActingBoxes boxes([this](const kt::RecordedBox&) {
      printer_.SetState(vprinter::PrinterState::Ready);
      return IDRETRY;
    });
    EXPECT_EQ(RunToEnd(), kExitNormal);
    EXPECT_EQ(printer_.output(), Prefix() + data);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_EQ(boxes.boxes()[0].style, kErrorBox | MB_RETRYCANCEL);
  }

  printer_.ClearOutput();
  const std::string again = Bytes(5000, 17);
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {Spool("c.prn", again)}),
                      Record("B", "LPT1:", "1", "Ribbon", {Spool("d.prn", "x")})}));
  printer_.SetStateAtTotalBytes(printer_.totalAccepted() + 2048,
                                vprinter::PrinterState::OutOfPaper);
  kt::ScriptedMessageBoxes cancel;
  cancel.Answer(IDCANCEL);
  EXPECT_EQ(RunToEnd(), kExitOutOfPaper);
  EXPECT_EQ(printer_.output(), (Prefix() + again).substr(0, 2048));
  EXPECT_FALSE(kt::FileExists(home_.File("d.prn")));
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 2);
}

// The job counts as begun (noted for a start after a crash, which removes
// it) once the port has taken its first block, not before: out of paper
// from the first byte, a crash would keep it. The note goes at the run's end.
TEST_F(RunnerTest, AJobIsNotedAsBegunOnceThePortTookItsFirstBlock) {
  const std::string data = Bytes(9000, 18);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {Spool("a.prn", data)}));
  printer_.SetState(vprinter::PrinterState::OutOfPaper);
  auto noteSize = [] {
    DWORD size = 0;
    ReadRegBinary("Job In Progress", nullptr, &size);
    return size;
  };
  std::vector<DWORD> notes;
  rt::ActingBoxes boxes([&](const kt::RecordedBox&) {
    notes.push_back(noteSize());
    printer_.SetState(vprinter::PrinterState::Ready);
    if (notes.size() == 1)
      printer_.SetStateAtTotalBytes(4096, vprinter::PrinterState::OutOfPaper);
    return IDRETRY;
  });
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), Prefix() + data);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], 0u);
  EXPECT_GT(notes[1], 0u);
  EXPECT_EQ(noteSize(), 0u);
}

// A stalled Cantella that reports an error still gets the rest of the block
// (the design dropped it), and what its reply says it lost goes again: here
// 100 bytes from the middle of the block, then 120 bytes that reach back
// into the block before, and at last a silent error with nothing lost.
TEST_F(RunnerTest, StalledCantellaThatReportsGetsTheRestAndWhatItLostAgain) {
  const std::string data = Bytes(12000, 18);
  UseQueue(Record("A", "LPT1:", "1", "VORNA Cantella", {Spool("a.prn", data)}));
  auto stallLosing = [](std::int8_t code, std::size_t lost) {
    return [code, lost](vprinter::VirtualPrinter& p) {
      p.LoseLastBytes(lost);
      p.SetState(vprinter::PrinterState::Stalled);
      p.QueueError(code, static_cast<std::int8_t>(lost));
    };
  };
  printer_.AtTotalBytes(3000, stallLosing(2, 100));
  printer_.AtTotalBytes(6144 + 100 + 20, stallLosing(1, 120));
  printer_.AtTotalBytes(9000 + 220, stallLosing(127, 0));
  rt::ActingBoxes boxes([this](const kt::RecordedBox&) {
    printer_.SetState(vprinter::PrinterState::Ready);
    return IDOK;
  });
  // The silent error shows no box: the printer is put right by the wait.
  std::thread helper([this] {
    WaitUntil([this] { return printer_.totalAccepted() >= 9220; });
    WaitUntil([this] { return printer_.state() == vprinter::PrinterState::Stalled; });
    WaitUntil([this] { return Shared(g_nPrinterWait) == PrinterWait::None; });
    printer_.SetState(vprinter::PrinterState::Ready);
  });
  EXPECT_EQ(RunToEnd(), kExitNormal);
  helper.join();
  EXPECT_TRUE(printer_.output() == Prefix() + data);
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].caption, "Kelvane - Printer Error");
  // The stall wait is the clock's business, not a sleep: well over 750 +
  // 1250 ms of ticks went by.
  EXPECT_GE(clock_.clock().Now() - 1000u, 2000u);
}

TEST_F(RunnerTest, StalledCantellaWithNothingToSayGetsTheRestOfTheBlock) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(6000, 19);
  UseQueue(Record("A", "LPT1:", "1", "VORNA Cantella", {Spool("a.prn", data)}));
  std::atomic<DWORD> stallTick{0};
  printer_.AtTotalBytes(3000, [this, &stallTick](vprinter::VirtualPrinter& p) {
    p.SetState(vprinter::PrinterState::Stalled);
    stallTick = clock_.clock().Now();
  });
  // Back online only once the stall was reported and the delay has run.
  std::thread helper([this, &stallTick] {
    WaitUntil([this, &stallTick] {
      const DWORD at = stallTick.load();
      return at != 0 && clock_.clock().Now() - at > 2100;
    });
    printer_.SetState(vprinter::PrinterState::Ready);
  });
  EXPECT_EQ(RunToEnd(), kExitNormal);
  helper.join();
  EXPECT_EQ(printer_.output(), Prefix() + data);
  EXPECT_EQ(boxes.count(), 0u);
}

// --- The printer has the job -------------------------------------------------

// A port that buffers (a TCP printer) says at the job's end how much the
// printer has still to take. The job is finished (record removed, spool
// file deleted) only once the printer has it all; meanwhile the progress
// counts what the printer confirmed, not what the port took.
class DeliveryTest : public RunnerTest {
 protected:
  void SetUpJob() {
    data_ = Bytes(5000, 60);
    spool_ = Spool("a.prn", data_);
    UseQueue(Record("A", "LPT1:", "1", "Ribbon", {spool_}));
  }
  static plat::PortDelivery Says(plat::DeliveryState state, DWORD unconfirmed = 0) {
    return plat::PortDelivery{state, true, unconfirmed};
  }
  bool RecordStillQueued() { return !kt::ReadFileBytes(home_.File("queue.txt")).empty(); }

  std::string data_, spool_;
};

TEST_F(DeliveryTest, TheJobIsFinishedOnlyOnceThePrinterHasItAll) {
  kt::ScriptedMessageBoxes boxes;
  SetUpJob();
  std::vector<DWORD> shown;
  bool keptMeanwhile = true;
  delivery_ = [&](int call) {
    keptMeanwhile = keptMeanwhile && RecordStillQueued() && kt::FileExists(spool_);
    {
      SpoolerLock lock;
      shown.push_back(PrintedBytesOfCopy());
    }
    if (call > 3) return Says(plat::DeliveryState::Delivered);
    return Says(plat::DeliveryState::Sending, 4000 - 1000 * static_cast<DWORD>(call));
  };
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_TRUE(keptMeanwhile);
  // 6 + 5000 bytes written; 3000, 2000, 1000 of them still unconfirmed.
  EXPECT_EQ(shown, (std::vector<DWORD>{5006, 2006, 3006, 4006}));
  EXPECT_FALSE(RecordStillQueued());
  EXPECT_FALSE(kt::FileExists(spool_));
}

// A printer that drops the connection before it has every byte: the job is
// kept and the fault put to the user; the connection cannot go on, so
// Ignore (the unattended policy's answer) starts the job over, with a job
// start of its own. Nobody at all to answer keeps the queue.
TEST_F(DeliveryTest, ADroppedConnectionAtTheEndIsAFaultThatStartsTheJobOver) {
  SetUpJob();
  int drains = 0;  // over every port of both runs
  delivery_ = [&drains](int) {
    return Says(++drains <= 2 ? plat::DeliveryState::Lost : plat::DeliveryState::Delivered);
  };
  {
    rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
    EXPECT_EQ(RunToEnd(), kExitPortFault);
    ASSERT_EQ(boxes.boxes().size(), 1u);
    EXPECT_NE(boxes.boxes()[0].text.find("device I/O error"), std::string::npos);
  }
  EXPECT_TRUE(RecordStillQueued());
  EXPECT_TRUE(kt::FileExists(spool_));
  printer_.ClearOutput();
  {
    rt::ActingBoxes boxes([](const kt::RecordedBox&) { return IDIGNORE; });
    EXPECT_EQ(RunToEnd(), kExitNormal);
  }
  EXPECT_TRUE(printer_.output() == Prefix() + data_ + Prefix() + data_);
  EXPECT_FALSE(RecordStillQueued());
}

// Every byte acknowledged, but the printer keeps its side open: done after
// a short grace. A printer that takes nothing for txTimeout (2000 ms here)
// is a fault like a stalled write.
TEST_F(DeliveryTest, APrinterThatKeepsItsSideOpenIsDoneAfterTheGraceOneThatTakesNothingTimesOut) {
  SetUpJob();
  DWORD acknowledgedAt = 0;
  delivery_ = [&](int) {
    if (acknowledgedAt == 0) acknowledgedAt = plat::GetTickCount();
    return Says(plat::DeliveryState::Acknowledged);
  };
  {
    kt::ScriptedMessageBoxes boxes;
    EXPECT_EQ(RunToEnd(), kExitNormal);
    EXPECT_EQ(boxes.count(), 0u);
  }
  EXPECT_GE(plat::GetTickCount() - acknowledgedAt, kAcknowledgedGraceMs);
  EXPECT_FALSE(RecordStillQueued());

  SetUpJob();
  delivery_ = [](int) { return Says(plat::DeliveryState::Sending, 700); };
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return IDABORT; });
  EXPECT_EQ(RunToEnd(), kExitPortFault);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_NE(boxes.boxes()[0].text.find("not accepting data"), std::string::npos);
}

// The program is stopped while the printer finishes the job. Once it has
// acknowledged every byte, the job is printed: finishing it, not keeping
// it, is what keeps it from printing twice. Before that, it is kept, and
// the port told to drop what it holds of it.
TEST_F(DeliveryTest, AStopOnceThePrinterHasEveryByteFinishesTheJobAStopBeforeKeepsIt) {
  kt::ScriptedMessageBoxes boxes;
  SetUpJob();
  delivery_ = [](int call) {
    if (call == 2) RequestPrintShutdown(QueueAtShutdown::Keep);
    return Says(plat::DeliveryState::Acknowledged);
  };
  EXPECT_TRUE(StartPrintThread(ThreadPriority::Normal));
  EXPECT_TRUE(WaitForRunEnd());
  EXPECT_FALSE(RecordStillQueued());
  EXPECT_FALSE(kt::FileExists(spool_));

  SetUpJob();
  delivery_ = [](int call) {
    if (call == 2) RequestPrintShutdown(QueueAtShutdown::Keep);
    return Says(plat::DeliveryState::Sending, 10);
  };
  EXPECT_TRUE(StartPrintThread(ThreadPriority::Normal));
  EXPECT_TRUE(WaitForRunEnd());
  EXPECT_EQ(LastPrintRunExitCode(), kExitStopped);
  EXPECT_TRUE(RecordStillQueued());
  EXPECT_TRUE(kt::FileExists(spool_));
  EXPECT_EQ(boxes.count(), 0u);
}

// --- Close rule -------------------------------------------------------------

TEST_F(RunnerTest, CloseIsPostedUnlessTheLastJobWasForTheCantella) {
  kt::ScriptedMessageBoxes boxes;
  UseQueue(Record("A", "LPT1:", "1", "VORNA Cantella", {Spool("a.prn", "abc")}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);

  // The last job decides, not the first.
  UseQueue(QueueText({Record("A", "LPT1:", "1", "VORNA Cantella", {Spool("b.prn", "a")}),
                      Record("B", "LPT1:", "1", "vorna cantella", {Spool("c.prn", "b")})}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);

  // An old-form record names no printer.
  const std::string tilde = Spool("job~1.prn", "old");
  std::string old = "Old\r\nLPT1:\r\n1\r\n" + tilde + "\r\n";
  UseQueue(old);
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 2);

  // No job at all in this run.
  UseQueue("");
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 3);
  EXPECT_EQ(printer_.output(), Prefix() + "abc" + Prefix() + "a" + Prefix() + "b" +
                                   Prefix() + "old");
}

// --- Records the driver appends at the run end ------------------------------

// Plays the driver at the run end: after the `nth` time the print thread
// finds the queue empty, it appends `record` (on the print thread, inside
// the run, so the moment is exact).
class LateAppend {
 public:
  LateAppend(std::string queueFile, std::string record, int nth)
      : queueFile_(std::move(queueFile)), record_(std::move(record)), nth_(nth) {
    SetTakeNextJobObserver([this](bool taken) { Observe(taken); });
  }
  ~LateAppend() { SetTakeNextJobObserver(nullptr); }
  LateAppend(const LateAppend&) = delete;
  LateAppend& operator=(const LateAppend&) = delete;

  int emptyLooks() const { return emptyLooks_.load(); }

 private:
  void Observe(bool taken) {
    if (taken || ++emptyLooks_ != nth_) return;
    std::string text = kt::ReadFileBytes(queueFile_);
    if (!text.empty()) text += "\r\n";
    kt::WriteFileBytes(queueFile_, text + record_);
  }

  std::string queueFile_;
  std::string record_;
  int nth_;
  std::atomic<int> emptyLooks_{0};
};

// The record arrives after the run found the queue empty and before it
// closed: it is printed by this run, not purged with its spool file.
TEST_F(RunnerTest, RecordAppendedAsTheRunEndsIsPrintedNotDeleted) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(3000, 40), b = Bytes(2500, 41);
  const std::string pa = Spool("a.prn", a), pb = Spool("b.prn", b);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {pa}));
  LateAppend driver(home_.File("queue.txt"),
                    Record("B", "LPT1:", "1", "VORNA Cantella", {pb}), 1);
  struct During {
    BOOL purged = -1;
    BOOL printing = -1;
    std::string marker;
  } duringB;
  printer_.AtTotalBytes(6 + a.size() + 6 + 1, [&duringB](vprinter::VirtualPrinter&) {
    {
      SpoolerLock lock;
      duringB.purged = g_bQueuePurged;
      duringB.printing = g_bPrinting;
    }
    duringB.marker = ReadRegString("Config File").value_or("");
  });

  EXPECT_EQ(RunToEnd(), kExitNormal);
  // Compared whole but reported by size: the bytes say nothing to a reader.
  EXPECT_TRUE(printer_.output() == Prefix() + a + Prefix() + b)
      << "received " << printer_.output().size() << " bytes, expected "
      << 2 * Prefix().size() + a.size() + b.size();
  EXPECT_FALSE(kt::FileExists(pa));
  EXPECT_FALSE(kt::FileExists(pb));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_GE(driver.emptyLooks(), 2);
  // B ran as a job of a reopened run.
  EXPECT_EQ(duringB.purged, 0);
  EXPECT_EQ(duringB.printing, 1);
  EXPECT_EQ(duringB.marker, "Processing");
  // The run is closed at its end, and the close rule follows B, the last job.
  EXPECT_EQ(Shared(g_bQueuePurged), 1);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(Shared(g_bPrinting), 0);
  EXPECT_EQ(Shared(g_bJobDone), 1);
  EXPECT_EQ(boxes.count(), 0u);
}

// The record arrives after the run's last look: the run ends without it, and
// it stays queued with its spool file for the next run.
TEST_F(RunnerTest, RecordAppendedAfterTheLastLookStaysForTheNextRun) {
  kt::ScriptedMessageBoxes boxes;
  const std::string a = Bytes(1000, 42), b = Bytes(1200, 43);
  const std::string pa = Spool("a.prn", a), pb = Spool("b.prn", b);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon", {pa}));
  const std::string recordB = Record("B", "LPT1:", "1", "Ribbon", {pb});
  {
    LateAppend driver(home_.File("queue.txt"), recordB, 2);
    EXPECT_EQ(RunToEnd(), kExitNormal);
    EXPECT_EQ(driver.emptyLooks(), 2);
  }
  EXPECT_EQ(printer_.output(), Prefix() + a);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), recordB);
  EXPECT_EQ(kt::ReadFileBytes(pb), b);  // untouched, not even prefixed
  EXPECT_EQ(Shared(g_bQueuePurged), 1);  // the close at quit will not purge it
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);

  // The scheduler's next run prints it.
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), Prefix() + a + Prefix() + b);
  EXPECT_FALSE(kt::FileExists(pb));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
}

// --- A queue file whose head record cannot be removed ----------------------

// Makes the files layer fail at the given points for the queue file, at most
// `rounds` times each, so that a run that keeps taking the same record ends
// the test with a wrong printout instead of hanging it. The hook runs on the
// print thread.
class QueueFileFaults {
 public:
  QueueFileFaults(std::string path, std::vector<std::pair<plat::FileFault, int>> faults,
                  int rounds = 3)
      : path_(std::move(path)), faults_(std::move(faults)), rounds_(rounds) {
    plat::SetFileFaultHook([this](plat::FileFault point, const std::string& path) {
      if (path != path_) return 0;
      std::lock_guard<std::mutex> g(mutex_);
      for (const auto& [at, error] : faults_) {
        if (at != point) continue;
        if (hits_[point] >= rounds_) return 0;
        ++hits_[point];
        return error;
      }
      return 0;
    });
  }
  ~QueueFileFaults() { plat::SetFileFaultHook(nullptr); }
  int hits(plat::FileFault point) {
    std::lock_guard<std::mutex> g(mutex_);
    return hits_[point];
  }

 private:
  std::string path_;
  std::vector<std::pair<plat::FileFault, int>> faults_;
  int rounds_;
  std::mutex mutex_;  // guards hits_
  std::map<plat::FileFault, int> hits_;
};

class KeptRecordTest : public RunnerTest {
 protected:
  void SetUpQueue() {
    a_ = Bytes(5000, 40);
    b_ = Bytes(700, 41);
    pa_ = Spool("a.prn", a_);
    pb_ = Spool("b.prn", b_);
    UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {pa_}),
                        Record("B", "LPT1:", "1", "Ribbon", {pb_})}));
    queue_ = Shared(std::string(g_szQueueFile));
  }
  // The run ended with the queue as it was: both records, their spool
  // files, one message, a closed run that the next start does not recover.
  void ExpectQueueKept(const kt::ScriptedMessageBoxes& boxes) {
    const std::string text = kt::ReadFileBytes(queue_);
    EXPECT_NE(text.find("A\r\nLPT1:"), std::string::npos);
    EXPECT_NE(text.find("B\r\nLPT1:"), std::string::npos);
    EXPECT_TRUE(kt::FileExists(pa_));
    EXPECT_TRUE(kt::FileExists(pb_));
    const auto shown = boxes.boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "Could not save configuration file.");
    EXPECT_EQ(shown[0].caption, "Kelvane Error.");
    EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
    EXPECT_EQ(Shared(g_bQueuePurged), 1);
    EXPECT_EQ(Shared(g_bPrinting), 0);
    EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  }
  std::string a_, b_, pa_, pb_, queue_;
};

TEST_F(KeptRecordTest, RecordThatCannotBeRemovedIsPrintedOnceAndEndsTheRun) {
  kt::ScriptedMessageBoxes boxes;
  SetUpQueue();
  QueueFileFaults faults(queue_, {{plat::FileFault::CreateTemporary, kt::kAccessDeniedError},
                                  {plat::FileFault::RewriteInPlace, kt::kDeviceIoError}});
  EXPECT_EQ(RunToEnd(), kExitQueueKept);
  // A once, B not at all (compared whole, sizes first for a readable failure).
  EXPECT_EQ(printer_.output().size(), Prefix().size() + a_.size());
  EXPECT_TRUE(printer_.output() == Prefix() + a_);
  EXPECT_EQ(faults.hits(plat::FileFault::RewriteInPlace), 1);
  ExpectQueueKept(boxes);
}

TEST_F(KeptRecordTest, CancelledJobWhoseRecordStaysEndsTheRunToo) {
  kt::ScriptedMessageBoxes boxes;
  SetUpQueue();
  QueueFileFaults faults(queue_, {{plat::FileFault::WriteTemporary, kt::kDiskFullError},
                                  {plat::FileFault::RewriteInPlace, kt::kDiskFullError}});
  printer_.AtTotalBytes(2048, [](vprinter::VirtualPrinter&) { CancelPrint(); });
  EXPECT_EQ(RunToEnd(), kExitQueueKept);
  EXPECT_EQ(printer_.output().size(), 2048u);
  EXPECT_TRUE(printer_.output() == (Prefix() + a_).substr(0, 2048));
  ExpectQueueKept(boxes);
}

TEST_F(KeptRecordTest, QueueFileThatCannotBeWrittenStopsTheRunBeforeAnythingIsSent) {
  kt::ScriptedMessageBoxes boxes;
  SetUpQueue();
  QueueFileFaults faults(queue_, {{plat::FileFault::OpenForWriting, kt::kAccessDeniedError}});
  EXPECT_EQ(RunToEnd(), kExitQueueKept);
  EXPECT_EQ(printer_.output(), "");
  EXPECT_EQ(opener_.opens("LPT1"), 0);
  ExpectQueueKept(boxes);
}

#ifndef _WIN32
// A folder the spooler may not write, or a full disk: the record goes by a
// rewrite in place and the queue goes on as usual. (On Windows a held file
// cannot be renamed over: its record is always removed in place, and no
// temporary is there to fail.)
TEST_F(KeptRecordTest, RecordRemovedInPlaceLetsTheQueueGoOn) {
  for (const auto& [point, error] :
       {std::pair{plat::FileFault::CreateTemporary, kt::kAccessDeniedError},
        std::pair{plat::FileFault::WriteTemporary, kt::kDiskFullError}}) {
    kt::ScriptedMessageBoxes boxes;
    printer_.ClearOutput();
    SetUpQueue();
    QueueFileFaults faults(queue_, {{point, error}});
    EXPECT_EQ(RunToEnd(), kExitNormal);
    EXPECT_EQ(printer_.output().size(), 2 * Prefix().size() + a_.size() + b_.size());
    EXPECT_TRUE(printer_.output() == Prefix() + a_ + Prefix() + b_);
    EXPECT_EQ(faults.hits(point), 2);  // once per record
    EXPECT_EQ(kt::ReadFileBytes(queue_), "");
    EXPECT_FALSE(kt::FileExists(pa_));
    EXPECT_FALSE(kt::FileExists(pb_));
    EXPECT_EQ(boxes.count(), 0u);
  }
}
#endif

// --- Network job and ink query ---------------------------------------------

TEST_F(RunnerTest, NetworkShareIsReachedThroughTheFirstFreeLptDevice) {
  kt::ScriptedMessageBoxes boxes;
  vprinter::VirtualPrinter remote;
  opener_.Attach("LPT2", remote);
  const DWORD connected = plat::AddConnection("LPT1", "\\\\elsewhere\\other");
  if (connected == kNoNetworkError) GTEST_SKIP() << "the system offers no network connections here";
  ASSERT_EQ(connected, 0u);
  const std::string data = Bytes(3000, 20);
  UseQueue(Record("Net", "\\\\office\\ribbon", "1", "Ribbon", {Spool("n.prn", data)}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(remote.output(), Prefix() + data);
  EXPECT_EQ(printer_.output(), "");
  // A share's port gets no comm settings, and its redirection is undone.
  EXPECT_EQ(opener_.lastPort("LPT2")->commMask(), 0u);
  EXPECT_FALSE(plat::RedirectedShare("LPT2").has_value());
  EXPECT_EQ(Shared(g_bNetConnected), 0);
}

// A share's port gets no time-outs, yet a write on a printer that takes
// nothing must end within the port's own bound, so that Cancel Print takes
// effect at the next write call instead of never.
TEST_F(RunnerTest, CancelWhileAShareStallsEndsTheJobWithinAWriteCallOrTwo) {
  kt::ScriptedMessageBoxes boxes;
  vprinter::VirtualPrinter remote;
  opener_.Attach("\\\\office\\ribbon", remote);
  const std::string a = Bytes(10000, 22);
  UseQueue(Record("Net", "\\\\office\\ribbon", "1", "Ribbon", {Spool("n.prn", a)}));
  std::size_t callsAtStall = 0;
  remote.AtTotalBytes(3000, [this, &callsAtStall](vprinter::VirtualPrinter& p) {
    p.SetState(vprinter::PrinterState::Stalled);
    callsAtStall = writes_.sizes().size();
    CancelPrint();
  });
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Highest));
  const bool ended = WaitForRunEnd(std::chrono::seconds(30));
  if (!ended) remote.SetState(vprinter::PrinterState::Ready);  // let a hung run go
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_TRUE(ended) << "the stalled write never ended";
  EXPECT_EQ(LastPrintRunExitCode(), kExitNormal);
  EXPECT_EQ(remote.output(), (Prefix() + a).substr(0, 3000));
  EXPECT_LE(writes_.sizes().size(), callsAtStall + 1);
  EXPECT_EQ(opener_.lastPort("\\\\office\\ribbon")->commMask(), 0u);  // still no settings
}

TEST_F(RunnerTest, NetworkJobWithEveryLptDeviceTakenFailsWithErrorOne) {
  kt::ScriptedMessageBoxes boxes;
  for (int n = 1; n <= 9; ++n) {
    const DWORD connected = plat::AddConnection("LPT" + std::to_string(n), "\\\\busy\\q");
    if (connected == kNoNetworkError) GTEST_SKIP() << "the system offers no network connections here";
    ASSERT_EQ(connected, 0u);
  }
  const std::string path = Spool("n.prn", "data");
  UseQueue(Record("Net", "\\\\office\\ribbon", "1", "Ribbon", {path}));
  EXPECT_EQ(RunToEnd(), kExitPortOpen);
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Could not get handle to port. Spooler Error # 1");
  EXPECT_EQ(shown[0].caption, "Kelvane Error.");
  EXPECT_EQ(shown[0].owner, 0);
  EXPECT_EQ(shown[0].style, kErrorBox | MB_OK);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_FALSE(kt::FileExists(path));  // purged with the queue
}

TEST_F(RunnerTest, TovrelJobQueriesTheInkLevelsBeforeItPrints) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(2500, 21);
  UseQueue(Record("Ink", "LPT1:", "1", "Tovrel", {Spool("t.prn", data)}));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  const std::string out = printer_.output();
  const std::string job = Prefix() + data;
  ASSERT_GT(out.size(), job.size());
  EXPECT_EQ(out.substr(out.size() - job.size()), job);
  const auto& query = vprinter::frames::kFirstQuery;
  EXPECT_EQ(out.substr(0, query.size()),
            std::string(query.begin(), query.end()));
  EXPECT_GE(printer_.CountFrames("first-query"), 1);
  EXPECT_EQ(opener_.opens("LPT1"), 2);  // the query's own open, then the job's
}

// --- The runner's own failures ---------------------------------------------

TEST_F(RunnerTest, MissingFirstSpoolFileIsFailureF1) {
  kt::ScriptedMessageBoxes boxes;
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {home_.File("gone.prn")}),
                      Record("B", "LPT1:", "1", "Ribbon", {Spool("b.prn", "b")})}));
  EXPECT_EQ(RunToEnd(), kExitSpoolOpen);
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Could not open spool file.");
  EXPECT_EQ(shown[0].caption, "Kelvane Error.");
  EXPECT_EQ(shown[0].owner, 0);
  EXPECT_EQ(shown[0].style, kErrorBox | MB_OK);
  EXPECT_GE(windows_.foregrounds(), 1);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_EQ(printer_.output(), "");
  EXPECT_FALSE(kt::FileExists(home_.File("b.prn")));
  EXPECT_EQ(opener_.opens("LPT1"), 0);
}

TEST_F(RunnerTest, PortThatDoesNotOpenIsFailureF2WithTheErrorNumber) {
  kt::ScriptedMessageBoxes boxes;
  const std::string path = Spool("hand.prn", "data");
  UseManualFile(path, 1);
  opener_.FailOpens("LPT1", 1);
  EXPECT_EQ(RunToEnd(), kExitPortOpen);
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, "Could not get handle to port. Spooler Error # " +
                               std::to_string(plat::port_errors::kDeviceError));
  EXPECT_EQ(Shared(g_hSpoolFile), INVALID_HANDLE_VALUE);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);  // manual mode
  EXPECT_TRUE(kt::FileExists(path));
}

// The spool file's handle goes bad while the runner waits before its first
// block; the next read fails.
TEST_F(RunnerTest, ReadFailureIsFailureF3RetrySkipsTheFileCancelEnds) {
  const std::string f0 = Bytes(6000, 22), f1 = Bytes(100, 23);
  auto breakHandleWhilePaused = [this] {
    SetPaused(true);
    ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
    ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
    plat::CloseHandle(Shared(g_hSpoolFile));
    SetPaused(false);
    ASSERT_TRUE(WaitForRunEnd());
  };

  {
    kt::ScriptedMessageBoxes boxes;
    boxes.Answer(IDRETRY);
    UseQueue(Record("A", "LPT1:", "1", "Ribbon",
                    {Spool("a0.prn", f0), Spool("a1.prn", f1)}));
    breakHandleWhilePaused();
    EXPECT_EQ(LastPrintRunExitCode(), kExitNormal);
    EXPECT_EQ(printer_.output(), (Prefix() + f0).substr(0, 2048) + f1);
    const auto shown = boxes.boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(std::regex_match(shown[0].text,
                                 std::regex("Spooler Error # [0-9]+ in reading spool file")))
        << shown[0].text;
    EXPECT_EQ(shown[0].caption, "Kelvane Error.");
    EXPECT_EQ(shown[0].style, kErrorBox | MB_RETRYCANCEL);
  }

  printer_.ClearOutput();
  kt::ScriptedMessageBoxes boxes;
  boxes.Answer(IDCANCEL);
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {Spool("c.prn", f0)}),
                      Record("B", "LPT1:", "1", "Ribbon", {Spool("d.prn", f1)})}));
  breakHandleWhilePaused();
  EXPECT_EQ(LastPrintRunExitCode(), kExitSpoolRead);
  EXPECT_EQ(printer_.output(), (Prefix() + f0).substr(0, 2048));
  EXPECT_FALSE(kt::FileExists(home_.File("d.prn")));
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 2);
}

TEST_F(RunnerTest, LaterSpoolFileMissingIsFailureF4WithoutClose) {
  kt::ScriptedMessageBoxes boxes;
  const std::string f0 = Bytes(100, 24);
  UseQueue(Record("A", "LPT1:", "1", "Ribbon",
                  {Spool("a0.prn", f0), home_.File("missing.prn")}));
  EXPECT_EQ(RunToEnd(), kExitSpoolOpen);
  EXPECT_EQ(printer_.output(), Prefix() + f0);
  ASSERT_EQ(boxes.count(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "Could not open spool file.");
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
}

#ifndef _WIN32
TEST_F(RunnerTest, FirstFileGoneBeforeTheNextCopyIsFailureF4) {
  kt::ScriptedMessageBoxes boxes;
  const std::string data = Bytes(1000, 25);
  const std::string path = Spool("hand.prn", data);
  UseManualFile(path, 2);
  SetPaused(true);
  ASSERT_TRUE(StartPrintThread(ThreadPriority::Normal));
  ASSERT_TRUE(WaitUntil([] { return IsPrintThreadPaused(); }));
  std::filesystem::remove(path);
  SetPaused(false);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(LastPrintRunExitCode(), kExitSpoolOpen);
  EXPECT_EQ(printer_.output(), data);
  ASSERT_EQ(boxes.count(), 1u);
  EXPECT_EQ(Shared(g_bPrinting), 0);
}
#endif

}  // namespace

// --- Nobody to answer ---------------------------------------------------------

// A box that nobody answered returns 0 (as a box that cannot be shown does).
// Whatever the fault, that must not cost the queue: the run ends, every
// record (the current job's too) and every spool file stays, the marker does
// not say "Processing" (the next start's recovery would delete the older
// jobs), the document close finds the run closed and purges nothing, and
// the close that is posted says why, so the front end can choose to stay.
class NoAnswerTest : public RunnerTest {
 protected:
  void SetUpQueue() {
    first_ = Spool("a.prn", Bytes(5000, 40));
    second_ = Spool("b.prn", Bytes(300, 41));
    queueText_ = QueueText({Record("A", "LPT1:", "1", "Ribbon", {first_}),
                            Record("B", "LPT1:", "1", "Ribbon", {second_})});
    UseQueue(queueText_);
  }

  void ExpectQueueKept() {
    EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), queueText_);
    EXPECT_TRUE(kt::FileExists(first_));
    EXPECT_TRUE(kt::FileExists(second_));
    EXPECT_EQ(ReadRegString("Config File").value_or(""), "Purged");
    EXPECT_EQ(Shared(g_bQueuePurged), 1);
    EXPECT_EQ(Shared(g_bPrinting), 0);
    int kept = 0;
    for (const kt::RecordedPost& post : windows_.posts()) {
      if (post.window != kMainWnd || post.message != WM_CLOSE) continue;
      EXPECT_EQ(post.wParam, plat::kCloseFaultUnanswered);
      ++kept;
    }
    EXPECT_EQ(kept, 1);
  }

  std::string first_, second_, queueText_;
};

TEST_F(NoAnswerTest, PortThatDoesNotOpenKeepsEveryJob) {
  SetUpQueue();
  opener_.FailOpens("LPT1", 1);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
  EXPECT_EQ(RunToEnd(), kExitPortOpen);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].style, kErrorBox | MB_OK);
  ExpectQueueKept();
  EXPECT_EQ(printer_.output(), "");
}

// A job that can never print (its spool file is gone) with nobody to
// answer: waiting would hold every job behind it for ever. It is set aside
// (its record leaves the queue, the user and the front end are told) and
// the next job prints.
TEST_F(NoAnswerTest, SpoolFileThatDoesNotOpenIsSetAsideAndTheNextJobPrints) {
  second_ = Spool("b.prn", Bytes(300, 41));
  first_ = home_.File("gone.prn");
  const std::string third = Spool("c.prn", Bytes(200, 42));
  UseQueue(QueueText({Record("A", "LPT1:", "1", "Ribbon", {first_}),
                      Record("B", "LPT1:", "1", "Ribbon", {second_}),
                      Record("C", "LPT1:", "1", "Ribbon", {third, home_.File("gone2.prn")})}));
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_TRUE(printer_.output() == Prefix() + Bytes(300, 41) + Prefix() + Bytes(200, 42));
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_FALSE(kt::FileExists(second_) || kt::FileExists(third));
  EXPECT_EQ(Shared(g_nJobsSetAside), 2u);
  const auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0].text, "Could not open spool file.");
  EXPECT_NE(shown[1].text.find("\"A\" cannot be printed"), std::string::npos);
  EXPECT_NE(shown[3].text.find("\"C\" cannot be printed"), std::string::npos);
}

TEST_F(NoAnswerTest, OutOfPaperUnansweredKeepsEveryJob) {
  SetUpQueue();
  printer_.SetStateAtTotalBytes(2048, vprinter::PrinterState::OutOfPaper);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
  EXPECT_EQ(RunToEnd(), kExitOutOfPaper);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].style, kErrorBox | MB_RETRYCANCEL);
  ExpectQueueKept();
}

TEST_F(NoAnswerTest, PortFaultQuestionUnansweredKeepsEveryJob) {
  SetUpQueue();
  printer_.SetStateAtTotalBytes(3000, vprinter::PrinterState::NotSelected);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
  EXPECT_EQ(RunToEnd(), kExitPortFault);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].style, kErrorBox | MB_ABORTRETRYIGNORE);
  ExpectQueueKept();
}

// Someone who reads the box and presses OK still gives the queue up.
TEST_F(NoAnswerTest, PortThatDoesNotOpenAnsweredOkStillPurges) {
  SetUpQueue();
  opener_.FailOpens("LPT1", 1);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return IDOK; });
  EXPECT_EQ(RunToEnd(), kExitPortOpen);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("queue.txt")), "");
  EXPECT_FALSE(kt::FileExists(second_));
  ASSERT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_EQ(windows_.posts().back().wParam, plat::kCloseRunEnded);
}

// The scheduler takes a kept job again later. However often the port stayed
// shut, the spool file stays as the driver wrote it and the job goes out
// with one job start: a port that stays shut for hours must not pile them
// up.
TEST_F(NoAnswerTest, AJobTakenAgainAfterAShutPortGetsOneJobStart) {
  SetUpQueue();
  opener_.FailOpens("LPT1", 3);
  rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(RunToEnd(), kExitPortOpen);
  }
  // Compared as a whole; printed, the bytes would drown the message.
  EXPECT_TRUE(kt::ReadFileBytes(first_) == Bytes(5000, 40));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_TRUE(printer_.output() == Prefix() + Bytes(5000, 40) + Prefix() + Bytes(300, 41));
}

// Once part of a job went out, a new attempt starts with a job start again.
TEST_F(NoAnswerTest, AJobTakenAgainAfterPartOfItWentOutGetsANewJobStart) {
  SetUpQueue();
  printer_.SetStateAtTotalBytes(2048, vprinter::PrinterState::OutOfPaper);
  {
    rt::ActingBoxes boxes([](const kt::RecordedBox&) { return 0; });
    EXPECT_EQ(RunToEnd(), kExitOutOfPaper);
  }
  printer_.SetState(vprinter::PrinterState::Ready);
  EXPECT_EQ(RunToEnd(), kExitNormal);
  const std::string firstTry = (Prefix() + Bytes(5000, 40)).substr(0, 2048);
  EXPECT_TRUE(printer_.output() == firstTry + Prefix() + Bytes(5000, 40) +
                                      Prefix() + Bytes(300, 41));
}
