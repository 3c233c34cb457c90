// Port channel: block writes against the flags and time-outs of a simulated
// printer on a scripted clock, the tick arithmetic across the wrap, timed
// reads, share capture and the job prefix. Test thread only.
#include "engine/port_channel.h"
#include "queue/queue_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net_redirect.h"
#include "platform/port_device.h"
#include "support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

using vprinter::PrinterState;

// A fake clock that moves 1 ms per pause and runs scripted actions when it
// reaches their tick, so a test can change the printer or raise a stop
// request at a chosen moment of a write that is under way.
class ScriptedClock final : public plat::TickSource {
 public:
  explicit ScriptedClock(DWORD start) : now_(start) { plat::SetTickSource(this); }
  ~ScriptedClock() override { plat::SetTickSource(nullptr); }
  DWORD Now() override { return now_.load(); }
  void Pause() override {
    const DWORD now = now_.fetch_add(1) + 1;
    std::vector<std::function<void()>> due;
    {
      std::lock_guard<std::mutex> g(mutex_);
      for (auto it = actions_.begin(); it != actions_.end();) {
        if (static_cast<std::int32_t>(now - it->first) >= 0) {
          due.push_back(std::move(it->second));
          it = actions_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& action : due) action();
  }
  // Runs `action` once `ms` have passed since now.
  void After(DWORD ms, std::function<void()> action) {
    std::lock_guard<std::mutex> g(mutex_);
    actions_.emplace_back(now_.load() + ms, std::move(action));
  }
  void Set(DWORD tick) { now_.store(tick); }

 private:
  std::atomic<DWORD> now_;
  std::mutex mutex_;  // guards actions_ (due tick, action)
  std::vector<std::pair<DWORD, std::function<void()>>> actions_;
};

void RequestStop() {
  SpoolerLock lock;
  g_bAbortJob = 1;
}

DWORD BytesSent() {
  SpoolerLock lock;
  return g_nBytesSent;
}

class PortChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    opener_.Attach("LPT1", printer_);
    for (std::size_t i = 0; i < sizeof block_; ++i)
      block_[i] = static_cast<BYTE>(i * 7 + 3);
    job_.txTimeout = 45000;
    job_.dnsTimeout = 30000;
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) plat::CloseHandle(port_);
  }

  void OpenPort() {
    {
      SpoolerLock lock;
      CopyField(g_szPortName, "LPT1:");
    }
    ASSERT_TRUE(OpenPrinterPort(port_));
  }

  void SetPrinterName(const char* name) {
    SpoolerLock lock;
    CopyField(g_szPrinterName, name);
  }

  // One WritePortBlock of the whole block; fills the outcome members.
  bool WriteBlock() {
    pointer_ = block_;
    count_ = sizeof block_;
    const DWORD start = plat::GetTickCount();
    const bool ok = WritePortBlock(port_, pointer_, count_, last_, job_, code_);
    elapsed_ = plat::GetTickCount() - start;
    return ok;
  }

  kt::TempHome home_;
  ScriptedClock clock_{5000};
  vprinter::VirtualPrinter printer_;
  vprinter::InProcessPortOpener opener_;
  vprinter::ScopedPortOpener useOpener_{opener_};
  HANDLE port_ = INVALID_HANDLE_VALUE;
  JobRecord job_;
  BYTE block_[2048];
  const BYTE* pointer_ = nullptr;
  DWORD count_ = 0;
  DWORD last_ = 0;
  std::int32_t code_ = 0;
  DWORD elapsed_ = 0;
};

// ------------------------------------------------------------ settings

TEST_F(PortChannelTest, OpenPrinterPortAppliesTheSettingsAndKeepsMultipliers) {
  OpenPort();
  auto port = opener_.lastPort("LPT1");
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->commMask(), 0x284u);
  EXPECT_EQ(port->timeouts().ReadIntervalTimeout, 0u);
  EXPECT_EQ(port->timeouts().ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(port->timeouts().WriteTotalTimeoutConstant, 110u);

  plat::COMMTIMEOUTS t;
  t.ReadIntervalTimeout = 9;
  t.ReadTotalTimeoutMultiplier = 3;
  t.ReadTotalTimeoutConstant = 999;
  t.WriteTotalTimeoutMultiplier = 4;
  t.WriteTotalTimeoutConstant = 999;
  ASSERT_TRUE(plat::SetCommTimeouts(port_, &t));
  ApplyPortSettings(port_);
  EXPECT_EQ(port->timeouts().ReadIntervalTimeout, 0u);
  EXPECT_EQ(port->timeouts().ReadTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(port->timeouts().ReadTotalTimeoutConstant, 50u);
  EXPECT_EQ(port->timeouts().WriteTotalTimeoutMultiplier, 4u);
  EXPECT_EQ(port->timeouts().WriteTotalTimeoutConstant, 110u);
}

// Opening a network printer can take seconds (a connection time-out); the
// print thread opens the port for the ink query while the main thread's
// scheduler tick waits for g_csSpooler, so the open must not hold it. The
// port name is still the one the lock protected when the open began.
TEST(OpenPrinterPortLockTest, TheOpenRunsWithoutHoldingTheLock) {
  kt::TempHome home;
  plat::ScopedFakeClock fake;
  struct Opener final : plat::PortOpener {
    std::string seenName;
    bool lockFreeDuringOpen = false;
    std::shared_ptr<plat::PortDevice> Open(const std::string& name,
                                           DWORD& error) override {
      seenName = name;
      // Another thread stands for the scheduler: it must get the lock while
      // the open is still under way.
      std::thread other([this] {
        if (g_csSpooler.TryEnter()) {
          lockFreeDuringOpen = true;
          g_csSpooler.Leave();
        }
      });
      other.join();
      error = ENOENT;
      return nullptr;
    }
  } opener;
  plat::SetPortOpener(&opener);
  {
    SpoolerLock lock;
    CopyField(g_szPortName, "\\\\host\\printer");
  }
  HANDLE port = 1;
  EXPECT_FALSE(OpenPrinterPort(port));
  plat::SetPortOpener(nullptr);
  EXPECT_EQ(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(opener.seenName, "\\\\host\\printer");
  EXPECT_TRUE(opener.lockFreeDuringOpen);
}

TEST_F(PortChannelTest, OpenPrinterPortFailsForAnUnknownOrTakenPort) {
  {
    SpoolerLock lock;
    CopyField(g_szPortName, "LPT7:");
  }
  HANDLE h = 0;
  EXPECT_FALSE(OpenPrinterPort(h));
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);

  OpenPort();
  HANDLE second = 0;
  EXPECT_FALSE(OpenPrinterPort(second));  // no sharing
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
}

// -------------------------------------------------------- block writes

TEST_F(PortChannelTest, ReadyPrinterTakesTheWholeBlock) {
  OpenPort();
  ASSERT_TRUE(WriteBlock());
  EXPECT_EQ(last_, 2048u);
  EXPECT_EQ(printer_.output(), std::string(reinterpret_cast<char*>(block_), 2048));
  // A block written in one call is counted by the runner, not here.
  EXPECT_EQ(BytesSent(), 0u);
}

TEST_F(PortChannelTest, FlagsPresentAtBlockStartFailAtOnceWithoutWriting) {
  OpenPort();
  struct Case {
    PrinterState state;
    std::int32_t code;
  } cases[] = {{PrinterState::NotSelected, ERROR_NOT_READY},
               {PrinterState::OutOfPaper, ERROR_OUT_OF_PAPER},
               {PrinterState::IoError, ERROR_IO_DEVICE}};
  for (const auto& c : cases) {
    printer_.SetState(c.state);
    last_ = 77;
    EXPECT_FALSE(WriteBlock()) << vprinter::DescribeState(c.state);
    EXPECT_EQ(code_, c.code);
    EXPECT_EQ(last_, 0u);
    EXPECT_EQ(elapsed_, 0u);  // no write, no wait
    EXPECT_EQ(count_, 2048u);
  }
  EXPECT_EQ(printer_.totalAccepted(), 0u);
}

TEST_F(PortChannelTest, NotSelectedDuringABlockGivesUpAfterDnsTimeout) {
  OpenPort();
  job_.dnsTimeout = 3000;
  job_.txTimeout = 1000;  // must not apply while the printer is offline
  printer_.SetStateAtTotalBytes(1000, PrinterState::NotSelected);
  const int queriesBefore = opener_.lastPort("LPT1")->flagQueries();

  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_NOT_READY);
  // The clock starts 110 ms before the end of the first failed write, which
  // ends 110 ms after the call starts: the code comes after ~dnsTimeout.
  EXPECT_GE(elapsed_, 3000u);
  EXPECT_LE(elapsed_, 3000u + 115u);
  // Retried about every 110 ms: one error query per failed write.
  const int attempts = opener_.lastPort("LPT1")->flagQueries() - queriesBefore - 1;
  EXPECT_GE(attempts, 3000 / 112);
  EXPECT_LE(attempts, 3000 / 110 + 1);
  EXPECT_EQ(pointer_, block_ + 1000);
  EXPECT_EQ(count_, 1048u);
  EXPECT_EQ(BytesSent(), 1000u);
}

TEST_F(PortChannelTest, NotSelectedWithZeroDnsTimeoutOnlyEndsOnAStopRequest) {
  OpenPort();
  job_.dnsTimeout = 0;
  printer_.SetStateAtTotalBytes(500, PrinterState::NotSelected);
  clock_.After(600000, RequestStop);  // ten minutes of offline printer

  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, WRITE_ABORTED);
  EXPECT_GE(elapsed_, 600000u);
  EXPECT_EQ(count_, 1548u);
}

TEST_F(PortChannelTest, OutOfPaperDuringABlockIsRetriedUntilPaperReturns) {
  OpenPort();
  job_.dnsTimeout = 1000;
  job_.txTimeout = 1000;  // neither limit ends an out-of-paper wait
  printer_.SetStateAtTotalBytes(1200, PrinterState::OutOfPaper);
  printer_.AtTotalBytes(1200, [this](vprinter::VirtualPrinter&) {
    clock_.After(20000, [this] { printer_.SetState(PrinterState::Ready); });
  });

  ASSERT_TRUE(WriteBlock());
  EXPECT_GE(elapsed_, 20000u);
  EXPECT_EQ(printer_.totalAccepted(), 2048u);
  EXPECT_EQ(printer_.output(), std::string(reinterpret_cast<char*>(block_), 2048));
  EXPECT_EQ(last_, 848u);          // the call that completed the block
  EXPECT_EQ(BytesSent(), 1200u);   // the partial write was counted here
}

TEST_F(PortChannelTest, StallOfAnotherPrinterEndsWithCounterTimeout) {
  OpenPort();
  SetPrinterName("Tovrel");
  job_.txTimeout = 1000;
  printer_.SetStateAtTotalBytes(1024, PrinterState::Stalled);

  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_COUNTER_TIMEOUT);
  EXPECT_GE(elapsed_, 1000u);  // not at 750: the stall rule is not this model's
  EXPECT_LE(elapsed_, 1000u + 115u);
  EXPECT_EQ(BytesSent(), 1024u);
  EXPECT_EQ(count_, 1024u);
}

TEST_F(PortChannelTest, StallWithZeroTxTimeoutOnlyEndsOnAStopRequest) {
  OpenPort();
  job_.txTimeout = 0;
  printer_.SetStateAtTotalBytes(100, PrinterState::Stalled);
  clock_.After(300000, RequestStop);

  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, WRITE_ABORTED);
  EXPECT_GE(elapsed_, 300000u);
}

TEST_F(PortChannelTest, StalledPrinterThatResumesCompletesTheBlock) {
  OpenPort();
  job_.txTimeout = 5000;
  printer_.SetStateAtTotalBytes(1024, PrinterState::Stalled);
  printer_.AtTotalBytes(1024, [this](vprinter::VirtualPrinter&) {
    clock_.After(2000, [this] { printer_.SetState(PrinterState::Ready); });
  });
  ASSERT_TRUE(WriteBlock());
  EXPECT_EQ(printer_.totalAccepted(), 2048u);
}

TEST_F(PortChannelTest, CantellaStallEndsAfter750MsMeasuredFrom110MsEarly) {
  for (DWORD tx : {5000u, 0u}) {
    printer_.SetState(PrinterState::Ready);
    printer_.ClearOutput();
    OpenPort();
    SetPrinterName("VORNA Cantella");
    job_.txTimeout = tx;
    printer_.SetStateAtTotalBytes(printer_.totalAccepted() + 1024,
                                  PrinterState::Stalled);

    EXPECT_FALSE(WriteBlock()) << tx;
    EXPECT_EQ(code_, WRITE_STALLED) << tx;
    // First failed write ends at +110 and the clock is set to +0, so the
    // rule fires at the first check at or after +750.
    EXPECT_GE(elapsed_, 750u) << tx;
    EXPECT_LE(elapsed_, 750u + 115u) << tx;
    EXPECT_EQ(count_, 1024u);
    plat::CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
}

TEST_F(PortChannelTest, CantellaNameMustMatchExactly) {
  OpenPort();
  SetPrinterName("vorna cantella");
  job_.txTimeout = 2000;
  printer_.SetStateAtTotalBytes(1024, PrinterState::Stalled);
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_COUNTER_TIMEOUT);
  EXPECT_GE(elapsed_, 2000u);
}

TEST_F(PortChannelTest, IoErrorOrBreakDuringABlockStopsAtOnce) {
  OpenPort();
  printer_.SetStateAtTotalBytes(300, PrinterState::IoError);
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_IO_DEVICE);
  EXPECT_LE(elapsed_, 115u);
  EXPECT_EQ(count_, 1748u);

  printer_.SetState(PrinterState::Ready);
  printer_.ClearOutput();
  printer_.TakeFlags();
  printer_.AtTotalBytes(printer_.totalAccepted() + 700, [](vprinter::VirtualPrinter& p) {
    p.SetState(PrinterState::Stalled);
    p.RaiseFlags(CE_BREAK);
  });
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_IO_DEVICE);
  EXPECT_EQ(count_, 1348u);
}

TEST_F(PortChannelTest, StopRequestAfter1500BytesLeavesTheRestForTheRunner) {
  OpenPort();
  printer_.AtTotalBytes(1500, [](vprinter::VirtualPrinter& p) {
    p.SetState(PrinterState::Stalled);
    RequestStop();
  });
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, WRITE_ABORTED);
  EXPECT_EQ(pointer_, block_ + 1500);
  EXPECT_EQ(count_, 548u);
  EXPECT_EQ(last_, 1500u);
  EXPECT_EQ(BytesSent(), 1500u);

  // Writing again sends exactly the unsent rest.
  {
    SpoolerLock lock;
    g_bAbortJob = 0;
  }
  printer_.SetState(PrinterState::Ready);
  DWORD last = 0;
  ASSERT_TRUE(WritePortBlock(port_, pointer_, count_, last, job_, code_));
  EXPECT_EQ(last, 548u);
  EXPECT_EQ(printer_.output(), std::string(reinterpret_cast<char*>(block_), 2048));
}

// ------------------------------------------------------ what we wait for

struct WaitSnapshot {
  PrinterWait wait = PrinterWait::None;
  DWORD since = 0;
  DWORD timeout = 0;
  DWORD at = 0;  // tick when it was taken
};

WaitSnapshot TakeWaitSnapshot() {
  SpoolerLock lock;
  return {g_nPrinterWait, g_dwWaitSince, g_dwWaitTimeout, plat::GetTickCount()};
}

// The waits the port channel posted to the main window, in order.
std::vector<std::pair<PrinterWait, LPARAM>> PostedWaits(const kt::RecordingWindows& windows,
                                                        HWND mainWnd) {
  std::vector<std::pair<PrinterWait, LPARAM>> waits;
  for (const kt::RecordedPost& post : windows.posts())
    if (post.window == mainWnd && post.message == WM_SPOOLER_PRINTERWAIT)
      waits.emplace_back(static_cast<PrinterWait>(post.wParam), post.lParam);
  return waits;
}

class PrinterWaitTest : public PortChannelTest {
 protected:
  void SetUp() override {
    PortChannelTest::SetUp();
    SpoolerLock lock;
    g_hMainWnd = kMainWnd;
    g_nPrinterWait = PrinterWait::None;
  }
  void TearDown() override {
    {
      SpoolerLock lock;
      g_hMainWnd = 0;
      g_bAbortJob = 0;
    }
    PortChannelTest::TearDown();
  }
  // Takes a snapshot of the published wait `ms` after the printer has
  // taken `bytes` in all.
  void SnapshotAfter(std::uint64_t bytes, DWORD ms, WaitSnapshot& into) {
    printer_.AtTotalBytes(bytes, [this, ms, &into](vprinter::VirtualPrinter&) {
      clock_.After(ms, [&into] { into = TakeWaitSnapshot(); });
    });
  }

  static constexpr HWND kMainWnd = 4242;
  kt::RecordingWindows windows_;
};

TEST_F(PrinterWaitTest, OutOfPaperMidBlockIsPublishedWithoutLimitUntilDataMoves) {
  OpenPort();
  job_.dnsTimeout = 1000;
  job_.txTimeout = 1000;
  printer_.SetStateAtTotalBytes(1200, PrinterState::OutOfPaper);
  WaitSnapshot during;
  SnapshotAfter(1200, 5000, during);
  printer_.AtTotalBytes(1200, [this](vprinter::VirtualPrinter&) {
    clock_.After(20000, [this] { printer_.SetState(PrinterState::Ready); });
  });
  const DWORD start = plat::GetTickCount();

  ASSERT_TRUE(WriteBlock());
  EXPECT_EQ(during.wait, PrinterWait::OutOfPaper);
  EXPECT_EQ(during.timeout, 0u);  // only the paper ends this wait
  // It began with the first write that moved nothing, right after the one
  // that took the first 1200 bytes.
  EXPECT_GE(during.since - start, 110u);
  EXPECT_LE(during.since - start, 2u * 115u);
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  const auto posted = PostedWaits(windows_, kMainWnd);
  ASSERT_EQ(posted.size(), 2u);  // once per change, not once per retry
  EXPECT_EQ(posted[0].first, PrinterWait::OutOfPaper);
  EXPECT_EQ(posted[1].first, PrinterWait::None);
  EXPECT_EQ(posted[1].second, 1);  // data moved again
}

TEST_F(PrinterWaitTest, NotSelectedCarriesTheDnsTimeoutFromTheCallsClock) {
  OpenPort();
  job_.dnsTimeout = 3000;
  job_.txTimeout = 1000;
  printer_.SetStateAtTotalBytes(1000, PrinterState::NotSelected);
  WaitSnapshot during;
  SnapshotAfter(1000, 1000, during);

  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_NOT_READY);
  EXPECT_EQ(during.wait, PrinterWait::NotSelected);
  EXPECT_EQ(during.timeout, 3000u);
  // The limit it shows is the one that ended the wait.
  const DWORD endedAt = plat::GetTickCount();
  EXPECT_GE(endedAt - during.since, 3000u);
  EXPECT_LE(endedAt - during.since, 3000u + 115u);
  // The question about the printer follows: the job still waits for it,
  // since the same moment, but no time-out ends that wait any more.
  const WaitSnapshot kept = TakeWaitSnapshot();
  EXPECT_EQ(kept.wait, PrinterWait::NotSelected);
  EXPECT_EQ(kept.since, during.since);
  EXPECT_EQ(kept.timeout, 0u);
  EndJobCleanup();
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  const auto posted = PostedWaits(windows_, kMainWnd);
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].first, PrinterWait::NotSelected);
  EXPECT_EQ(posted[1].first, PrinterWait::NotSelected);
  EXPECT_EQ(posted[2].first, PrinterWait::None);
  EXPECT_EQ(posted[2].second, 0);  // the job ended, nothing moved
}

TEST_F(PrinterWaitTest, NotSelectedPrinterThatComesBackClearsTheWait) {
  OpenPort();
  job_.dnsTimeout = 0;
  printer_.SetStateAtTotalBytes(500, PrinterState::NotSelected);
  WaitSnapshot during;
  SnapshotAfter(500, 3000, during);
  printer_.AtTotalBytes(500, [this](vprinter::VirtualPrinter&) {
    clock_.After(8000, [this] { printer_.SetState(PrinterState::Ready); });
  });

  ASSERT_TRUE(WriteBlock());
  EXPECT_EQ(during.wait, PrinterWait::NotSelected);
  EXPECT_EQ(during.timeout, 0u);  // dnsTimeout 0: no time-out ends it
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  const auto posted = PostedWaits(windows_, kMainWnd);
  ASSERT_EQ(posted.size(), 2u);
  EXPECT_EQ(posted[1].first, PrinterWait::None);
  EXPECT_EQ(posted[1].second, 1);
}

TEST_F(PrinterWaitTest, StallWithoutFlagsIsNotAcceptingOrStalledByModel) {
  {
    SCOPED_TRACE("another printer: txTimeout ends it");
    OpenPort();
    SetPrinterName("Tovrel");
    job_.txTimeout = 4000;
    printer_.SetStateAtTotalBytes(1024, PrinterState::Stalled);
    WaitSnapshot early;
    WaitSnapshot during;
    SnapshotAfter(1024, 1500, early);
    SnapshotAfter(1024, 3000, during);
    EXPECT_FALSE(WriteBlock());
    EXPECT_EQ(code_, ERROR_COUNTER_TIMEOUT);
    // A printer busy with its buffer pauses like this too: only a pause of
    // two seconds is told.
    EXPECT_EQ(early.wait, PrinterWait::None);
    EXPECT_EQ(during.wait, PrinterWait::NotAccepting);
    EXPECT_EQ(during.timeout, 4000u);
    EXPECT_LE(plat::GetTickCount() - during.since, 4000u + 115u);
    EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::NotAccepting);  // its question follows
    plat::CloseHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
  {
    SCOPED_TRACE("VORNA Cantella: stalled, 750 ms");
    printer_.SetState(PrinterState::Ready);
    OpenPort();
    SetPrinterName("VORNA Cantella");
    job_.txTimeout = 0;
    printer_.SetStateAtTotalBytes(printer_.totalAccepted() + 1024, PrinterState::Stalled);
    WaitSnapshot during;
    SnapshotAfter(printer_.totalAccepted() + 1024, 300, during);
    EXPECT_FALSE(WriteBlock());
    EXPECT_EQ(code_, WRITE_STALLED);
    EXPECT_EQ(during.wait, PrinterWait::Stalled);
    EXPECT_EQ(during.timeout, kCantellaStallMs);
    EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  }
  // The kept wait of the first printer ends when the next block's data
  // moves; then the Cantella's stall, which ends without its data moving.
  const auto posted = PostedWaits(windows_, kMainWnd);
  ASSERT_EQ(posted.size(), 5u);
  EXPECT_EQ(posted[0].first, PrinterWait::NotAccepting);
  EXPECT_EQ(posted[1].first, PrinterWait::NotAccepting);
  EXPECT_EQ(posted[2].first, PrinterWait::None);
  EXPECT_EQ(posted[2].second, 1);
  EXPECT_EQ(posted[3].first, PrinterWait::Stalled);
  EXPECT_EQ(posted[4].second, 0);
}

TEST_F(PrinterWaitTest, ShortPausesOfABusyPrinterAreNotTold) {
  OpenPort();
  job_.txTimeout = 45000;
  // Every 1024 bytes the printer takes nothing for 1.5 s, then goes on.
  for (std::uint64_t at = 1024; at < 2048; at += 512) {
    printer_.SetStateAtTotalBytes(at, PrinterState::Stalled);
    printer_.AtTotalBytes(at, [this](vprinter::VirtualPrinter&) {
      clock_.After(1500, [this] { printer_.SetState(PrinterState::Ready); });
    });
  }
  ASSERT_TRUE(WriteBlock());
  EXPECT_TRUE(PostedWaits(windows_, kMainWnd).empty());
}

TEST_F(PrinterWaitTest, StopRequestDuringAWaitClearsIt) {
  OpenPort();
  printer_.SetStateAtTotalBytes(700, PrinterState::OutOfPaper);
  WaitSnapshot during;
  SnapshotAfter(700, 2000, during);
  printer_.AtTotalBytes(700, [this](vprinter::VirtualPrinter&) {
    clock_.After(4000, RequestStop);
  });
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, WRITE_ABORTED);
  EXPECT_EQ(during.wait, PrinterWait::OutOfPaper);
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
}

TEST_F(PrinterWaitTest, BlocksThatGoThroughPublishNothing) {
  OpenPort();
  EXPECT_TRUE(WriteBlock());
  EXPECT_TRUE(WriteBlock());
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  EXPECT_TRUE(PostedWaits(windows_, kMainWnd).empty());
}

// A printer already out of paper or offline when a block starts gives its
// code at once; the job waits for it all the same while its question is up
// (and a print service is told), until data moves or the job ends.
TEST_F(PrinterWaitTest, AFaultAtBlockStartStaysTheWaitUntilDataMovesOrTheJobEnds) {
  OpenPort();
  printer_.SetState(PrinterState::OutOfPaper);
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_OUT_OF_PAPER);
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::OutOfPaper);
  EXPECT_FALSE(WriteBlock());  // asked again: no second post
  EXPECT_EQ(PostedWaits(windows_, kMainWnd).size(), 1u);
  printer_.SetState(PrinterState::Ready);
  EXPECT_TRUE(WriteBlock());
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  EXPECT_EQ(PostedWaits(windows_, kMainWnd).size(), 2u);

  printer_.SetState(PrinterState::NotSelected);
  EXPECT_FALSE(WriteBlock());
  EXPECT_EQ(code_, ERROR_NOT_READY);
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::NotSelected);
  EndJobCleanup();
  EXPECT_EQ(TakeWaitSnapshot().wait, PrinterWait::None);
  EXPECT_EQ(PostedWaits(windows_, kMainWnd).size(), 4u);
}

// ---------------------------------------------------------------- clock

TEST(PortClockTest, HasElapsedStartsTheClock110MsEarlyAndResetsIt) {
  plat::ScopedFakeClock fake(50000, 0);
  DWORD clock = 0;
  EXPECT_FALSE(HasElapsed(clock, 0));
  EXPECT_EQ(clock, 0u);  // a zero limit does not even start the clock

  EXPECT_FALSE(HasElapsed(clock, 500));
  EXPECT_EQ(clock, 50000u - 110u);
  fake.clock().Advance(389);
  EXPECT_FALSE(HasElapsed(clock, 500));
  fake.clock().Advance(1);
  EXPECT_TRUE(HasElapsed(clock, 500));
  EXPECT_EQ(clock, 0u);
  EXPECT_FALSE(HasElapsed(clock, 500));  // a fresh start
}

TEST(PortClockTest, HasElapsedAcrossTheTickWrap) {
  plat::ScopedFakeClock fake(0xFFFFFF00u, 0);
  DWORD clock = 0;
  EXPECT_FALSE(HasElapsed(clock, 1000));
  fake.clock().Advance(0x100);  // wraps to 0
  EXPECT_EQ(plat::GetTickCount(), 0u);
  EXPECT_FALSE(HasElapsed(clock, 1000));
  fake.clock().Advance(1000 - 110 - 0x100 - 1);
  EXPECT_FALSE(HasElapsed(clock, 1000));
  fake.clock().Advance(1);
  EXPECT_TRUE(HasElapsed(clock, 1000));
}

TEST(PortClockTest, HasElapsedStartingAtTick110StillCountsAsStarted) {
  plat::ScopedFakeClock fake(110, 0);
  DWORD clock = 0;
  EXPECT_FALSE(HasElapsed(clock, 300));
  EXPECT_NE(clock, 0u);
  fake.clock().Advance(100);
  EXPECT_FALSE(HasElapsed(clock, 300));  // not restarted by the second call
  fake.clock().Advance(100);
  EXPECT_TRUE(HasElapsed(clock, 300));
}

TEST(PortClockTest, DelayMsLastsTheFullTimeAcrossTheWrap) {
  for (DWORD start : {0xFFFFFFF0u, 0xFFFFFB00u, 1000u}) {
    plat::ScopedFakeClock fake(start, 1);
    DelayMs(1250);
    EXPECT_EQ(plat::GetTickCount() - start, 1250u) << start;
  }
  plat::ScopedFakeClock fake(7, 1);
  DelayMs(0);
  EXPECT_EQ(plat::GetTickCount(), 7u);
}

// ---------------------------------------------------------------- reads

TEST_F(PortChannelTest, ReadOnASilentPortReturnsTrueWithNothingAfterTheTimeout) {
  OpenPort();
  char buf[100];
  DWORD count = 99;
  const DWORD start = plat::GetTickCount();
  EXPECT_TRUE(ReadPortWithTimeout(port_, buf, sizeof buf, count, 500));
  const DWORD took = plat::GetTickCount() - start;
  EXPECT_EQ(count, 0u);
  EXPECT_GT(took, 500u);
  EXPECT_LE(took, 500u + 50u + 5u);  // the time-out plus at most one read
}

TEST_F(PortChannelTest, ReadReturnsAReplyAsSoonAsItArrives) {
  OpenPort();
  clock_.After(200, [this] { printer_.QueueStatus("READY"); });
  char buf[100] = {};
  DWORD count = 0;
  const DWORD start = plat::GetTickCount();
  EXPECT_TRUE(ReadPortWithTimeout(port_, buf, sizeof buf, count, 500));
  EXPECT_LT(plat::GetTickCount() - start, 300u);
  ASSERT_EQ(count, 7u);
  EXPECT_EQ(std::string(buf, count), std::string("SREADY\0", 7));
}

// A port whose read calls play a script: each step says whether the call
// succeeds and which bytes it delivers.
class ScriptedReadPort final : public plat::HandleObject {
 public:
  struct Step {
    bool ok;
    std::string bytes;
  };
  explicit ScriptedReadPort(std::vector<Step> steps) : steps_(std::move(steps)) {}
  bool Read(void* buffer, DWORD size, DWORD* got) override {
    const Step step = next_ < steps_.size() ? steps_[next_++] : Step{true, ""};
    const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(step.bytes.size()));
    std::memcpy(buffer, step.bytes.data(), n);
    *got = n;
    return step.ok;
  }
  bool Write(const void*, DWORD, DWORD* written) override {
    *written = 0;
    return false;
  }
  void Close() override {}
  std::size_t calls() const { return next_; }

 private:
  std::vector<Step> steps_;
  std::size_t next_ = 0;
};

// A read call that fails but still delivers bytes ends the read with them,
// however few: going round again would read over them. That holds for a
// single byte too (a status reply cut after its kind byte is still a reply).
TEST(PortReadTest, FailedCallWithOneByteKeepsTheByte) {
  plat::ScopedFakeClock fake;
  auto device = std::make_shared<ScriptedReadPort>(
      std::vector<ScriptedReadPort::Step>{{false, "E"}, {true, "later"}});
  HANDLE h = plat::RegisterHandle(device);
  char buf[16] = {};
  DWORD count = 0;
  EXPECT_TRUE(ReadPortWithTimeout(h, buf, sizeof buf, count, 500));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(buf[0], 'E');
  EXPECT_EQ(device->calls(), 1u);
  plat::CloseHandle(h);
}

TEST(PortReadTest, FailedCallsWithoutBytesReportTheLastFailureAfterTheTimeout) {
  plat::ScopedFakeClock fake;
  std::vector<ScriptedReadPort::Step> steps(2000, {false, ""});
  auto device = std::make_shared<ScriptedReadPort>(steps);
  HANDLE h = plat::RegisterHandle(device);
  char buf[16];
  DWORD count = 9;
  const DWORD start = plat::GetTickCount();
  EXPECT_FALSE(ReadPortWithTimeout(h, buf, sizeof buf, count, 100));
  EXPECT_EQ(count, 0u);
  EXPECT_GT(plat::GetTickCount() - start, 100u);
  plat::CloseHandle(h);
}

// A device whose write calls report success but move only part of what
// they were given (at most `step` bytes a call).
class ShortWritePort final : public plat::HandleObject {
 public:
  explicit ShortWritePort(DWORD step) : step_(step) {}
  bool Read(void*, DWORD, DWORD* got) override {
    *got = 0;
    return true;
  }
  bool Write(const void* data, DWORD size, DWORD* written) override {
    const DWORD n = std::min(size, step_);
    taken_.append(static_cast<const char*>(data), n);
    *written = n;
    return true;
  }
  void Close() override {}
  const std::string& taken() const { return taken_; }

 private:
  DWORD step_;
  std::string taken_;
};

// A success that moved only part of the block must not count as the whole
// block: the rest would never reach the printer.
TEST(PortWriteTest, ShortSuccessfulWritesStillSendTheWholeBlock) {
  plat::ScopedFakeClock fake;
  {
    SpoolerLock lock;
    g_bAbortJob = 0;
    g_nBytesSent = 0;
  }
  auto device = std::make_shared<ShortWritePort>(500);
  HANDLE h = plat::RegisterHandle(device);
  std::string data(2048, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13);
  const BYTE* p = reinterpret_cast<const BYTE*>(data.data());
  DWORD count = 2048;
  DWORD last = 0;
  std::int32_t code = 0;
  JobRecord job;
  job.txTimeout = 45000;
  EXPECT_TRUE(WritePortBlock(h, p, count, last, job, code));
  EXPECT_EQ(device->taken(), data);
  EXPECT_EQ(last, 48u);  // the last call's count
  plat::CloseHandle(h);
}

TEST(PortReadTest, ReadOnAClosedHandleFails) {
  plat::ScopedFakeClock fake;
  char buf[4];
  DWORD count = 5;
  EXPECT_FALSE(ReadPortWithTimeout(INVALID_HANDLE_VALUE, buf, sizeof buf, count, 100));
  EXPECT_EQ(count, 0u);
}

// -------------------------------------------------------- share capture

TEST(CaptureNetworkPortTest, UsesTheFirstDeviceThatIsNotTaken) {
  kt::TempHome home;
  plat::ScopedFakeClock fake;
  ASSERT_EQ(plat::AddConnection("LPT1", "\\\\elsewhere\\other"), 0u);
  EXPECT_EQ(CaptureNetworkPort("\\\\office\\ribbon"), 0);
  {
    SpoolerLock lock;
    EXPECT_EQ(g_bNetConnected, 1);
    EXPECT_STREQ(g_szNetDevice, "LPT2");
  }
  EXPECT_EQ(plat::RedirectedShare("LPT2").value_or(""), "\\\\office\\ribbon");
  EXPECT_EQ(plat::RedirectedShare("LPT1").value_or(""), "\\\\elsewhere\\other");
}

TEST(CaptureNetworkPortTest, ReturnsOneWhenAllNineAreTaken) {
  kt::TempHome home;
  plat::ScopedFakeClock fake;
  for (int n = 1; n <= 9; ++n)
    ASSERT_EQ(plat::AddConnection("LPT" + std::to_string(n), "\\\\h\\s"), 0u);
  EXPECT_EQ(CaptureNetworkPort("\\\\office\\ribbon"), 1);
  SpoolerLock lock;
  EXPECT_EQ(g_bNetConnected, 0);
  EXPECT_STREQ(g_szNetDevice, "");
}

}  // namespace
