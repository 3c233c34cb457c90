// Tests of the simulated printer and the in-process port over it: flags,
// frames, replies, byte-count hooks, the rate limit and the port's
// time-outs, all on the fake clock. Test thread plus, where named, one
// helper thread.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/posix/polled_port.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

using vprinter::InProcessPort;
using vprinter::InProcessPortOpener;
using vprinter::PrinterState;
using vprinter::VirtualPrinter;

std::string Bytes(const std::vector<BYTE>& v) {
  return std::string(v.begin(), v.end());
}

std::vector<BYTE> TakeAllReplies(VirtualPrinter& printer) {
  std::vector<BYTE> out(printer.pendingReplyBytes());
  out.resize(printer.TakeReply(out.data(), out.size()));
  return out;
}

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
  return data;
}

// A write time-out no test lives to see run out.
constexpr DWORD kLongWriteMs = 3600000;

plat::COMMTIMEOUTS PortSettings(DWORD writeMs, DWORD readMs) {
  plat::COMMTIMEOUTS t;
  t.WriteTotalTimeoutConstant = writeMs;
  t.ReadTotalTimeoutConstant = readMs;
  return t;
}

// --- Flags -----------------------------------------------------------------

TEST(VirtualPrinterFlags, EachFaultStateRaisesItsFlagUntilItEnds) {
  VirtualPrinter printer;
  EXPECT_EQ(printer.TakeFlags(), 0u);

  const struct {
    PrinterState state;
    DWORD flag;
  } cases[] = {{PrinterState::NotSelected, CE_DNS},
               {PrinterState::OutOfPaper, CE_OOP},
               {PrinterState::IoError, CE_IOE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(vprinter::DescribeState(c.state));
    printer.SetState(c.state);
    // Query-and-clear does not make a lasting fault go away.
    EXPECT_EQ(printer.TakeFlags(), c.flag);
    EXPECT_EQ(printer.TakeFlags(), c.flag);
    printer.SetState(PrinterState::Ready);
    EXPECT_EQ(printer.TakeFlags(), 0u);
  }
}

TEST(VirtualPrinterFlags, ShortFaultIsReportedOnceAfterItEnded) {
  VirtualPrinter printer;
  printer.SetState(PrinterState::OutOfPaper);
  printer.SetState(PrinterState::Ready);
  EXPECT_EQ(printer.PeekFlags(), CE_OOP);
  EXPECT_EQ(printer.TakeFlags(), CE_OOP);
  EXPECT_EQ(printer.TakeFlags(), 0u);
}

TEST(VirtualPrinterFlags, StallRaisesNothingAndTakesNothing) {
  VirtualPrinter printer;
  printer.SetState(PrinterState::Stalled);
  EXPECT_EQ(printer.Accept("abc", 3), 0u);
  EXPECT_EQ(printer.TakeFlags(), 0u);
  printer.RaiseFlags(CE_BREAK);
  EXPECT_EQ(printer.TakeFlags(), CE_BREAK);
  EXPECT_EQ(printer.TakeFlags(), 0u);
}

TEST(VirtualPrinterData, FaultStatesTakeNothingAndReadyTakesAll) {
  VirtualPrinter printer;
  for (PrinterState s : {PrinterState::NotSelected, PrinterState::OutOfPaper,
                         PrinterState::IoError}) {
    printer.SetState(s);
    EXPECT_EQ(printer.Accept("data", 4), 0u);
  }
  printer.SetState(PrinterState::Ready);
  const std::string data = Pattern(5000);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), data.size());
  EXPECT_EQ(printer.output(), data);
  EXPECT_EQ(printer.totalAccepted(), 5000u);
}

TEST(VirtualPrinterData, OutputFileIsAppendedToAndPrivate) {
  kt::TempHome home;
  const std::string path = home.File("out.prn");
  kt::WriteFileBytes(path, "old:");
  {
    VirtualPrinter printer;
    ASSERT_TRUE(printer.SetOutputFile(path));
    printer.SetKeepOutput(false);
    printer.Accept("new", 3);
    EXPECT_EQ(printer.output(), "");
  }
  EXPECT_EQ(kt::ReadFileBytes(path), "old:new");

  const std::string fresh = home.File("fresh.prn");
  VirtualPrinter printer;
  ASSERT_TRUE(printer.SetOutputFile(fresh));
  printer.Accept("x", 1);
  struct stat st {};
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_FALSE(printer.SetOutputFile(home.File("no/such/dir/out.prn")));
}

// --- Hooks -----------------------------------------------------------------

TEST(VirtualPrinterHooks, StateSwitchAtByteCountStopsExactlyThere) {
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(1500, PrinterState::NotSelected);
  const std::string block = Pattern(2048);
  EXPECT_EQ(printer.Accept(block.data(), block.size()), 1500u);
  EXPECT_EQ(printer.state(), PrinterState::NotSelected);
  EXPECT_EQ(printer.TakeFlags(), CE_DNS);
  EXPECT_EQ(printer.output(), block.substr(0, 1500));

  // Back online, the rest goes through and the hook does not fire again.
  printer.SetState(PrinterState::Ready);
  EXPECT_EQ(printer.Accept(block.data() + 1500, 548), 548u);
  EXPECT_EQ(printer.output(), block);
}

TEST(VirtualPrinterHooks, HooksFireInOrderAcrossWrites) {
  VirtualPrinter printer;
  std::vector<std::uint64_t> seen;
  for (std::uint64_t at : {300u, 100u, 200u}) {
    printer.AtTotalBytes(at, [&seen](VirtualPrinter& p) {
      seen.push_back(p.totalAccepted());
    });
  }
  const std::string data = Pattern(150);
  printer.Accept(data.data(), data.size());
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{100}));
  printer.Accept(data.data(), data.size());
  printer.Accept(data.data(), data.size());
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{100, 200, 300}));
}

TEST(VirtualPrinterHooks, HookAtZeroRunsBeforeTheFirstByte) {
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(0, PrinterState::OutOfPaper);
  EXPECT_EQ(printer.Accept("abc", 3), 0u);
  EXPECT_EQ(printer.state(), PrinterState::OutOfPaper);
}

// --- Frames and replies ----------------------------------------------------

TEST(VirtualPrinterFrames, RecognisesEveryFrameAndLogsIt) {
  VirtualPrinter printer;
  std::vector<std::string> log;
  printer.SetLogSink([&log](const std::string& line) { log.push_back(line); });
  const std::vector<std::vector<BYTE>> all = {
      vprinter::frames::kCommand1,   vprinter::frames::kFirstQuery,
      vprinter::frames::kBlackForm,  vprinter::frames::kColourForm,
      vprinter::frames::kCommand3,   vprinter::frames::kCommand4,
      vprinter::frames::kLevelQuery};
  for (const auto& frame : all) printer.Accept(frame.data(), frame.size());
  EXPECT_EQ(printer.frameNames(),
            (std::vector<std::string>{"command-1", "first-query", "black-form",
                                      "colour-form", "command-3", "command-4",
                                      "level-query"}));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "frame: A5 00 03 50 04 0A first-query"),
            log.end());
}

TEST(VirtualPrinterFrames, LevelQueryWithItsPadIsOneFrame) {
  VirtualPrinter printer;
  std::vector<BYTE> stream = vprinter::frames::kLevelQuery;
  stream.push_back(0x00);  // the seventh byte its length field announces
  stream.insert(stream.end(), vprinter::frames::kFirstQuery.begin(),
                vprinter::frames::kFirstQuery.end());
  printer.Accept(stream.data(), stream.size());
  EXPECT_EQ(printer.frameNames(),
            (std::vector<std::string>{"level-query", "first-query"}));
  EXPECT_EQ(printer.frames()[0].bytes.size(), 7u);
  EXPECT_EQ(printer.pendingReplyBytes(), vprinter::kLevelReplyLength + 20);
}

TEST(VirtualPrinterFrames, FrameSplitAcrossWritesAndInsideDataIsFound) {
  VirtualPrinter printer;
  std::string stream = "\xA5\xA5 noise \xA5\x00";  // false starts
  stream += Bytes(vprinter::frames::kFirstQuery);
  stream += "tail";
  for (char c : stream) printer.Accept(&c, 1);
  EXPECT_EQ(printer.frameNames(), (std::vector<std::string>{"first-query"}));
}

TEST(VirtualPrinterFrames, JobPrefixAndPlainDataAreNotFrames) {
  VirtualPrinter printer;
  const std::string prefix("\x1B\x00\x04\x45\x00\x00", 6);
  printer.Accept(prefix.data(), prefix.size());
  const std::string data = Pattern(4096);
  printer.Accept(data.data(), data.size());
  for (const auto& f : printer.frames()) EXPECT_NE(f.name, "first-query");
  EXPECT_EQ(printer.pendingReplyBytes(), 0u);
}

TEST(VirtualPrinterFrames, UnknownWellFormedFrameIsLoggedButNotAnswered) {
  VirtualPrinter printer;
  const std::vector<BYTE> odd = {0xA5, 0x00, 0x02, 0x50, 0x77};
  printer.Accept(odd.data(), odd.size());
  ASSERT_EQ(printer.frames().size(), 1u);
  EXPECT_EQ(printer.frames()[0].name, "unknown");
  EXPECT_EQ(printer.frames()[0].bytes, odd);
  EXPECT_EQ(printer.pendingReplyBytes(), 0u);
}

TEST(VirtualPrinterReplies, FirstQueryReplyLengthTellsTheInkType) {
  for (std::size_t length : {20u, 13u, 12u, 8u}) {
    SCOPED_TRACE(length);
    VirtualPrinter printer;
    printer.SetFirstReplyLength(length);
    const auto& q = vprinter::frames::kFirstQuery;
    printer.Accept(q.data(), q.size());
    EXPECT_EQ(TakeAllReplies(printer).size(), length);
  }
  VirtualPrinter byDefault;
  const auto& q = vprinter::frames::kFirstQuery;
  byDefault.Accept(q.data(), q.size());
  EXPECT_GT(TakeAllReplies(byDefault).size(), vprinter::kColourReplyMaxLength);
}

TEST(VirtualPrinterReplies, LevelReplyCarriesSignedLevelsAtTheirOffsets) {
  VirtualPrinter printer;
  vprinter::InkLevels levels;
  levels.black = -5;
  levels.cyan = 11;
  levels.magenta = 127;
  levels.yellow = -128;
  printer.SetLevels(levels);
  const auto& q = vprinter::frames::kLevelQuery;
  printer.Accept(q.data(), q.size());
  std::vector<BYTE> reply = TakeAllReplies(printer);
  ASSERT_GE(reply.size(), 23u);
  EXPECT_EQ(reply[10], 0xFB);
  EXPECT_EQ(static_cast<std::int8_t>(reply[14]), 11);
  EXPECT_EQ(static_cast<std::int8_t>(reply[18]), 127);
  EXPECT_EQ(static_cast<std::int8_t>(reply[22]), -128);
}

TEST(VirtualPrinterReplies, MutedQueryGoesUnansweredOnce) {
  VirtualPrinter printer;
  printer.MuteQueries(1);
  const auto& q = vprinter::frames::kFirstQuery;
  printer.Accept(q.data(), q.size());
  EXPECT_EQ(printer.pendingReplyBytes(), 0u);
  printer.Accept(q.data(), q.size());
  EXPECT_EQ(printer.pendingReplyBytes(), 20u);
  EXPECT_EQ(printer.CountFrames("first-query"), 2);
}

TEST(VirtualPrinterReplies, StatusReplyKindsHaveTheirLayout) {
  VirtualPrinter printer;
  printer.QueueMessage("hello");
  EXPECT_EQ(Bytes(TakeAllReplies(printer)), std::string("Ahello\0", 7));
  printer.QueueStatus("ready");
  EXPECT_EQ(Bytes(TakeAllReplies(printer)), std::string("Sready\0", 7));
  printer.QueueError(-3, -2);
  std::vector<BYTE> e = TakeAllReplies(printer);
  ASSERT_EQ(e.size(), 6u);
  EXPECT_EQ(e[0], 'E');
  EXPECT_EQ(static_cast<std::int8_t>(e[3]), -2);
  EXPECT_EQ(static_cast<std::int8_t>(e[5]), -3);
  printer.QueueRaw({1, 2, 3});
  BYTE two[2];
  EXPECT_EQ(printer.TakeReply(two, 2), 2u);
  EXPECT_EQ(printer.pendingReplyBytes(), 1u);
}

TEST(VirtualPrinterHex, ParsesAndFormats) {
  std::vector<BYTE> out;
  ASSERT_TRUE(vprinter::ParseHex("A5 00 03,50:040a", out));
  EXPECT_EQ(out, vprinter::frames::kFirstQuery);
  EXPECT_EQ(vprinter::FormatHex(out.data(), out.size()), "A5 00 03 50 04 0A");
  EXPECT_FALSE(vprinter::ParseHex("A", out));
  EXPECT_FALSE(vprinter::ParseHex("A 5", out));
  EXPECT_FALSE(vprinter::ParseHex("zz", out));
}

// --- Rate limit ------------------------------------------------------------

TEST(VirtualPrinterRate, TakesNoMoreThanTheRateAllows) {
  plat::ScopedFakeClock fake(5000, 0);
  VirtualPrinter printer;
  printer.SetRate(1000);
  const std::string data = Pattern(4000);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 0u);
  fake.clock().Advance(250);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 250u);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 0u);
  // A long pause banks at most one second's worth.
  fake.clock().Advance(10000);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 1000u);
  printer.SetRate(0);
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 4000u);
}

TEST(VirtualPrinterRate, SurvivesTheTickWrap) {
  plat::ScopedFakeClock fake(0xFFFFFF00u, 0);
  VirtualPrinter printer;
  printer.SetRate(1000);
  const std::string data = Pattern(4000);
  printer.Accept(data.data(), data.size());
  fake.clock().Advance(0x200);  // crosses zero
  EXPECT_EQ(printer.Accept(data.data(), data.size()), 512u);
}

// --- InProcessPort ---------------------------------------------------------

TEST(InProcessPortWrite, WholeBlockToAReadyPrinter) {
  plat::ScopedFakeClock fake;
  VirtualPrinter printer;
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const std::string block = Pattern(2048);
  DWORD written = 0;
  EXPECT_TRUE(port.Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 2048u);
  EXPECT_EQ(printer.output(), block);
}

TEST(InProcessPortWrite, PartialWriteEndsAfterTheWriteTimeout) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(1500, PrinterState::Stalled);
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const std::string block = Pattern(2048);
  DWORD written = 0;
  const DWORD start = plat::GetTickCount();
  EXPECT_FALSE(port.Write(block.data(), 2048, &written));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ETIMEDOUT));
  EXPECT_EQ(written, 1500u);
  const DWORD waited = plat::GetTickCount() - start;
  EXPECT_GE(waited, 110u);
  EXPECT_LT(waited, 120u);
  DWORD flags = 99;
  ASSERT_TRUE(port.ClearCommError(flags));
  EXPECT_EQ(flags, 0u);
}

TEST(InProcessPortWrite, RateLimitedWriteMovesWhatTheTimeAllows) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  printer.SetRate(1000);  // one byte per fake millisecond
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const std::string block = Pattern(2048);
  DWORD written = 0;
  EXPECT_FALSE(port.Write(block.data(), 2048, &written));
  EXPECT_GE(written, 100u);
  EXPECT_LE(written, 120u);
}

TEST(InProcessPortWrite, OfflineMidBlockRaisesDnsForTheCaller) {
  plat::ScopedFakeClock fake;
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(100, PrinterState::NotSelected);
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const std::string block = Pattern(2048);
  DWORD written = 0;
  EXPECT_FALSE(port.Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 100u);
  DWORD flags = 0;
  ASSERT_TRUE(port.ClearCommError(flags));
  EXPECT_EQ(flags, CE_DNS);
}

TEST(InProcessPortRead, SilentPrinterGivesTrueAndNothingAfterTheTimeout) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  char buffer[100];
  DWORD got = 7;
  const DWORD start = plat::GetTickCount();
  EXPECT_TRUE(port.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_GE(plat::GetTickCount() - start, 50u);
}

TEST(InProcessPortRead, PendingReplyComesBackAtOnce) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const auto& q = vprinter::frames::kFirstQuery;
  DWORD written = 0;
  ASSERT_TRUE(port.Write(q.data(), static_cast<DWORD>(q.size()), &written));
  BYTE buffer[30];
  DWORD got = 0;
  EXPECT_TRUE(port.Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 20u);
  EXPECT_EQ(buffer[0], 0xA5);
}

TEST(InProcessPortSettings, RecordsMaskTimeoutsAndIoctl) {
  VirtualPrinter printer;
  InProcessPort port(printer);
  EXPECT_TRUE(port.SetCommMask(0x284));
  EXPECT_EQ(port.commMask(), 0x284u);
  plat::COMMTIMEOUTS t = PortSettings(110, 50);
  t.WriteTotalTimeoutMultiplier = 3;
  ASSERT_TRUE(port.SetCommTimeouts(t));
  plat::COMMTIMEOUTS back;
  ASSERT_TRUE(port.GetCommTimeouts(back));
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 3u);
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 50u);
  DWORD returned = 9;
  EXPECT_TRUE(port.DeviceIoControl(7, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  EXPECT_FALSE(port.DeviceIoControl(8, nullptr, 0, &returned));
  EXPECT_EQ(port.ioctlCount(7), 1);
}

TEST(InProcessPortClose, CloseFromAnotherThreadEndsAWaitingWrite) {
  // A time-out far beyond the test: only the Close can end the write.
  plat::ScopedFakeClock fake(1000, 0);
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(10, PrinterState::Stalled);
  auto port = std::make_shared<InProcessPort>(printer);
  port->SetCommTimeouts(PortSettings(kLongWriteMs, 0));
  std::atomic<bool> done{false};
  bool result = true;
  DWORD written = 0;
  std::thread writer([&] {
    const std::string block = Pattern(2048);
    result = port->Write(block.data(), 2048, &written);
    done = true;
  });
  while (printer.totalAccepted() < 10) std::this_thread::yield();
  EXPECT_FALSE(done.load());
  port->Close();
  writer.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(written, 10u);
  EXPECT_TRUE(port->closed());
  DWORD flags;
  EXPECT_FALSE(port->ClearCommError(flags));
}

// A share's port gets no time-outs; its write still ends by itself within
// the bound a real port keeps, with the partial count, so that the engine
// gets to test its stop request. Counted in polls of the fake clock.
TEST(InProcessPortClose, WriteWithoutATimeOutEndsWithinTheUnsetBound) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(10, PrinterState::Stalled);
  auto port = std::make_shared<InProcessPort>(printer);
  port->SetCommTimeouts(PortSettings(0, 0));
  std::atomic<bool> done{false};
  bool result = true;
  DWORD written = 0;
  DWORD error = 0;
  std::thread writer([&] {
    const std::string block = Pattern(2048);
    result = port->Write(block.data(), 2048, &written);
    error = plat::GetLastError();
    done = true;
  });
  // Generous: the fake clock runs the bound out in about a hundred polls.
  const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done.load() && std::chrono::steady_clock::now() < guard)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool endedByItself = done.load();
  port->Close();  // ends a write that would wait for ever
  writer.join();
  EXPECT_TRUE(endedByItself);
  EXPECT_FALSE(result);
  EXPECT_EQ(written, 10u);
  if (endedByItself) {
    EXPECT_EQ(error, static_cast<DWORD>(ETIMEDOUT));
    EXPECT_GE(fake.clock().Now() - 1000, plat::kUnsetWriteWaitMs);
  }
}

TEST(InProcessPortClose, CloseFromAnotherThreadEndsAWaitingRead) {
  plat::ScopedFakeClock fake(1000, 1);
  VirtualPrinter printer;
  auto port = std::make_shared<InProcessPort>(printer);
  port->SetCommTimeouts(PortSettings(0, 0));
  std::atomic<bool> started{false};
  bool result = true;
  std::thread reader([&] {
    char buffer[10];
    DWORD got = 0;
    started = true;
    result = port->Read(buffer, sizeof buffer, &got);
  });
  while (!started.load()) std::this_thread::yield();
  port->Close();
  reader.join();
  EXPECT_FALSE(result);
}

// --- Waiting under the real clock ----------------------------------------
// No fake clock here: the port sleeps on the printer's change signal and
// must be woken by what changes, not by a poll. offers() counts the tries,
// which a port polling every millisecond would run up into the hundreds.

TEST(InProcessPortRealClock, StalledWriteSleepsOutItsTimeoutInAFewTries) {
  ASSERT_TRUE(plat::IsRealClockInstalled());
  VirtualPrinter printer;
  printer.SetState(PrinterState::Stalled);
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(110, 50));
  const std::string block = Pattern(2048);
  DWORD written = 7;
  EXPECT_FALSE(port.Write(block.data(), 2048, &written));
  EXPECT_EQ(plat::GetLastError(), static_cast<DWORD>(ETIMEDOUT));
  EXPECT_EQ(written, 0u);
  EXPECT_LE(printer.offers(), 3u);
}

TEST(InProcessPortRealClock, PrinterComingBackWakesAWaitingWrite) {
  VirtualPrinter printer;
  printer.SetStateAtTotalBytes(10, PrinterState::Stalled);
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(kLongWriteMs, 0));
  const std::string block = Pattern(2048);
  bool result = false;
  DWORD written = 0;
  std::thread writer([&] { result = port.Write(block.data(), 2048, &written); });
  while (printer.totalAccepted() < 10) std::this_thread::yield();
  printer.SetState(PrinterState::Ready);
  writer.join();
  EXPECT_TRUE(result);
  EXPECT_EQ(written, 2048u);
  EXPECT_EQ(printer.output(), block);
  // The hook's Accept, the try that found the stall, one after the wake
  // (and a spare for a stall seen twice): never a poll per millisecond.
  EXPECT_LE(printer.offers(), 5u);
}

TEST(InProcessPortRealClock, RateLimitedWriteIsFedInBatchesNotBytes) {
  VirtualPrinter printer;
  printer.SetRate(10000);  // 2048 bytes take about 0.2 s
  InProcessPort port(printer);
  port.SetCommTimeouts(PortSettings(kLongWriteMs, 0));
  const std::string block = Pattern(2048);
  DWORD written = 0;
  EXPECT_TRUE(port.Write(block.data(), 2048, &written));
  EXPECT_EQ(written, 2048u);
  EXPECT_EQ(printer.output(), block);
  // 10 ms batches of 100 bytes, each followed by one try that finds the
  // rate spent: about 40 tries; polling each millisecond would need 200.
  EXPECT_LT(printer.offers(), 120u);
}

TEST(InProcessPortRealClock, ReplyFromAnotherThreadWakesAReadWithoutTimeout) {
  VirtualPrinter printer;
  auto port = std::make_shared<InProcessPort>(printer);
  port->SetCommTimeouts(PortSettings(0, 0));
  std::atomic<bool> started{false};
  bool result = false;
  BYTE buffer[10] = {};
  DWORD got = 0;
  std::thread reader([&] {
    started = true;
    result = port->Read(buffer, sizeof buffer, &got);
  });
  while (!started.load()) std::this_thread::yield();
  printer.QueueStatus("ok");
  reader.join();
  EXPECT_TRUE(result);
  ASSERT_EQ(got, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "Sok");
}

TEST(InProcessPortRealClock, CloseWakesAWriteSleepingOnAStall) {
  VirtualPrinter printer;
  printer.SetState(PrinterState::Stalled);
  auto port = std::make_shared<InProcessPort>(printer);
  port->SetCommTimeouts(PortSettings(kLongWriteMs, 0));
  bool result = true;
  DWORD error = 0;  // the last error is kept per thread
  std::thread writer([&] {
    const std::string block = Pattern(64);
    DWORD written = 0;
    result = port->Write(block.data(), 64, &written);
    error = plat::GetLastError();
  });
  while (printer.offers() == 0) std::this_thread::yield();
  port->Close();
  writer.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(error, static_cast<DWORD>(ECANCELED));
}

TEST(VirtualPrinterWaiting, EveryChangeMovesTheCountAndEndsAWait) {
  VirtualPrinter printer;
  const auto moves = [&](auto&& change) {
    const std::uint64_t before = printer.changeCount();
    change();
    return printer.changeCount() != before;
  };
  EXPECT_TRUE(moves([&] { printer.SetState(PrinterState::NotSelected); }));
  EXPECT_TRUE(moves([&] { printer.RaiseFlags(CE_BREAK); }));
  EXPECT_TRUE(moves([&] { printer.SetRate(5); }));
  EXPECT_TRUE(moves([&] { printer.QueueMessage("hi"); }));
  EXPECT_TRUE(moves([&] { printer.Wake(); }));
  printer.SetState(PrinterState::Ready);
  printer.SetRate(0);
  EXPECT_TRUE(moves([&] { printer.Accept("x", 1); }));
  EXPECT_FALSE(moves([&] { printer.Accept("", 0); }));

  // A waiter on another thread is let go by a change long before its bound.
  const std::uint64_t seen = printer.changeCount();
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    printer.WaitForChange(seen, 60000);
    woke = true;
  });
  printer.SetState(PrinterState::Stalled);
  waiter.join();
  EXPECT_TRUE(woke.load());
}

TEST(VirtualPrinterWaiting, MsUntilAcceptFollowsStateAndRate) {
  plat::ScopedFakeClock fake(5000, 0);
  VirtualPrinter printer;
  EXPECT_EQ(printer.MsUntilAccept(2048), 0u);  // ready, no limit
  printer.SetState(PrinterState::Stalled);
  EXPECT_EQ(printer.MsUntilAccept(2048), VirtualPrinter::kNoAcceptExpected);
  printer.SetState(PrinterState::Ready);
  printer.SetRate(1000);
  printer.Accept("ab", 2);  // starts the rate clock with nothing in hand
  EXPECT_EQ(printer.totalAccepted(), 0u);
  // A batch is 10 ms worth (10 bytes); fewer wanted, fewer ms.
  EXPECT_EQ(printer.MsUntilAccept(2048), 10u);
  EXPECT_EQ(printer.MsUntilAccept(3), 3u);
  fake.clock().Advance(4);
  EXPECT_EQ(printer.MsUntilAccept(2048), 6u);
  fake.clock().Advance(6);
  EXPECT_EQ(printer.MsUntilAccept(2048), 0u);
}

// --- Opener ----------------------------------------------------------------

TEST(InProcessPortOpenerTest, NamesMatchLooselyAndOpenWithoutSharing) {
  VirtualPrinter printer;
  InProcessPortOpener opener;
  opener.Attach("LPT1:", printer);
  DWORD error = 0;
  auto first = opener.Open("lpt1", error);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(opener.IsOpen("LPT1"));
  auto second = opener.Open("LPT1:", error);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(EBUSY));
  first->Close();
  EXPECT_FALSE(opener.IsOpen("lpt1:"));
  EXPECT_EQ(opener.opens("LPT1"), 1);
  EXPECT_EQ(opener.closes("LPT1"), 1);
  EXPECT_EQ(opener.refusedOpens("LPT1"), 1);
  EXPECT_EQ(opener.Open("LPT2", error), nullptr);
  EXPECT_EQ(error, static_cast<DWORD>(ENOENT));
}

TEST(InProcessPortOpenerTest, WorksThroughTheHandleTable) {
  VirtualPrinter printer;
  InProcessPortOpener opener;
  opener.Attach("LPT1", printer);
  vprinter::ScopedPortOpener installed(opener);
  HANDLE h = plat::OpenPort("LPT1:");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(plat::OpenPort("LPT1"), INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(plat::WriteFile(h, "hi", 2, &written));
  EXPECT_TRUE(plat::DeviceIoControl(h, 7, nullptr, 0, nullptr));
  EXPECT_TRUE(plat::CloseHandle(h));
  EXPECT_FALSE(opener.IsOpen("LPT1"));
  EXPECT_EQ(printer.output(), "hi");
  ASSERT_NE(opener.lastPort("LPT1"), nullptr);
  EXPECT_EQ(opener.lastPort("LPT1")->ioctlCount(7), 1);
}

TEST(InProcessPortOpenerTest, FailedOpensAndDroppedPorts) {
  VirtualPrinter printer;
  InProcessPortOpener opener;
  opener.Attach("LPT1", printer);
  opener.FailOpens("LPT1", 1);
  DWORD error = 0;
  EXPECT_EQ(opener.Open("LPT1", error), nullptr);
  EXPECT_NE(error, 0u);
  {
    auto port = opener.Open("LPT1", error);
    ASSERT_NE(port, nullptr);
  }
  // The opener keeps the last port, so it stays open until closed.
  EXPECT_TRUE(opener.IsOpen("LPT1"));
  opener.lastPort("LPT1")->Close();
  EXPECT_FALSE(opener.IsOpen("LPT1"));
}

}  // namespace
