// The status the driver asks the running spooler for: the copy taken from
// the shared state, its parts on the command channel and back, the retry
// when another reader's request came in between, and the report's lines.
// Test thread only.
#include "app/shell/spooler_status.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/shell/shell.h"
#include "app/state/spooler_state_test_support.h"
#include "platform/clock.h"
#include "platform/command_channel.h"
#include "tests/support/test_support.h"

namespace {

class SpoolerStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (tz) savedTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    ResetSpoolerState();
  }
  void TearDown() override {
    ResetSpoolerState();
    if (hadTz_) setenv("TZ", savedTz_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
  void PrintSecondCopyOfPhoto() {
    SpoolerLock lock;
    g_bPrinting = 1;
    CopyField(g_curJob.jobName, "Photo x2");
    g_nCopies = 2;
    g_nCopy = 1;
    g_nFileSize = 10012;
    g_nBytesSent = 4096;
  }
  // The spooler's side served in process, as the channel would.
  static bool AskInProcess(WPARAM part, LRESULT& answer) {
    answer = DispatchChannelRequest(plat::kStatusRequest, part, 0);
    return true;
  }
  // 2026-12-07 14:02:11 UTC.
  static constexpr std::time_t kAt140211 = 1796652131;
  std::string savedTz_;
  bool hadTz_ = false;
};

TEST_F(SpoolerStatusTest, IdleSpoolerSaysNoJobIsPrinting) {
  SpoolerStatus status;
  ASSERT_TRUE(ReadSpoolerStatus(AskInProcess, status));
  EXPECT_FALSE(status.printing);
  EXPECT_EQ(FormatSpoolerStatus(status), "no job is printing\n");
}

TEST_F(SpoolerStatusTest, JobCopyBytesAndAWaitWithoutTimeOut) {
  PrintSecondCopyOfPhoto();
  {
    SpoolerLock lock;
    g_nPrinterWait = PrinterWait::OutOfPaper;
    g_dwWaitSince = 1000;
    g_dwWaitTimeout = 0;
  }
  const SpoolerStatus taken = TakeSpoolerStatus(1000 + 95500, kAt140211 + 95);
  EXPECT_EQ(taken.waitStart, kAt140211);
  EXPECT_FALSE(taken.hasTimeOut);

  // Every part through the wire encoding and back.
  SpoolerStatus read;
  ASSERT_TRUE(ReadSpoolerStatus(
      [&](WPARAM part, LRESULT& answer) {
        answer = part == 0 || part == plat::kStatusTicketPart ? 1 : EncodeStatusPart(taken, part);
        return true;
      },
      read));
  EXPECT_EQ(FormatSpoolerStatus(read),
            "job: Photo x2\n"
            "copy: 1 of 2\n"
            "sent: 4096 of 10012 bytes\n"
            "printer: out of paper (since 14:02:11)\n");
}

TEST_F(SpoolerStatusTest, AWaitWithTimeOutSaysWhatIsLeftAndNoWaitSaysPrinting) {
  PrintSecondCopyOfPhoto();
  {
    SpoolerLock lock;
    g_nPrinterWait = PrinterWait::NotSelected;
    g_dwWaitSince = 5000;
    g_dwWaitTimeout = 500000;
  }
  SpoolerStatus status = TakeSpoolerStatus(5000 + 40000, kAt140211);
  EXPECT_TRUE(status.hasTimeOut);
  EXPECT_EQ(status.msLeft, 460000u);
  EXPECT_NE(FormatSpoolerStatus(status).find("printer: not selected (7 min 40 s left)\n"),
            std::string::npos);

  {
    SpoolerLock lock;
    g_nPrinterWait = PrinterWait::None;
  }
  status = TakeSpoolerStatus(5000, kAt140211);
  EXPECT_NE(FormatSpoolerStatus(status).find("printer: printing\n"), std::string::npos);
}

TEST_F(SpoolerStatusTest, LongNamesComeThroughWholeUpToTheLimit) {
  PrintSecondCopyOfPhoto();
  const std::string name(kJobNameSize - 1, 'n');
  {
    SpoolerLock lock;
    CopyField(g_curJob.jobName, (name.substr(0, 90) + "end!5678").c_str());
  }
  SpoolerStatus status;
  ASSERT_TRUE(ReadSpoolerStatus(AskInProcess, status));
  EXPECT_EQ(status.jobName, name.substr(0, 90) + "end!5678");
  EXPECT_EQ(status.copy, 1);
  EXPECT_EQ(status.copies, 2);
  EXPECT_EQ(status.sent, 4096u);
  EXPECT_EQ(status.total, 10012u);
}

TEST_F(SpoolerStatusTest, AnotherReadersRequestInBetweenMakesUsAskAgain) {
  PrintSecondCopyOfPhoto();
  int interleaved = 0;
  SpoolerStatus status;
  ASSERT_TRUE(ReadSpoolerStatus(
      [&](WPARAM part, LRESULT& answer) {
        // Twice, another reader takes a copy of its own while we read ours;
        // meanwhile the job moves on to its second copy.
        if (part == 2 && interleaved < 2) {
          ++interleaved;
          {
            SpoolerLock lock;
            g_nCopy = 2;
            g_nBytesSent = 100;
          }
          DispatchChannelRequest(plat::kStatusRequest, 0, 0);
        }
        return AskInProcess(part, answer);
      },
      status));
  EXPECT_EQ(interleaved, 2);
  // Not copy 1 with copy 2's byte count: one copy, read whole.
  EXPECT_EQ(status.copy, 2);
  EXPECT_EQ(status.sent, 100u);
}

TEST_F(SpoolerStatusTest, NobodyAnsweringFailsTheRead) {
  SpoolerStatus status;
  EXPECT_FALSE(ReadSpoolerStatus([](WPARAM, LRESULT&) { return false; }, status));
  EXPECT_FALSE(ReadSpoolerStatus(
      [](WPARAM part, LRESULT& answer) {
        answer = part == plat::kStatusTicketPart ? 99 : 1;  // never our ticket
        return true;
      },
      status));
}

TEST(SpoolerStatusChannel, TheStatusRequestIsCarried) {
  plat::CommandRequest request{plat::kCommandMagic, plat::kStatusRequest, 0, 0};
  EXPECT_TRUE(plat::IsAcceptableRequest(request));
  request.magic = plat::kAnswerMagic;
  EXPECT_FALSE(plat::IsAcceptableRequest(request));
  request = {plat::kCommandMagic, plat::kStatusRequest + 1, 0, 0};
  EXPECT_FALSE(plat::IsAcceptableRequest(request));
}

}  // namespace
