// Tests of the status reply decoder and the port fault prompts: the pure
// decoding, and QueryPrinterStatus / PromptPortError against the in-process
// virtual printer with scripted message boxes. Test thread (one helper
// thread in the lock test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "engine/printer_status.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

const std::string kErrorCaption = "Kelvane - Printer Error";
const std::string kStatusCaption = "Kelvane - Printer Status";
const std::string kMessageCaption = "Kelvane - Printer Message";
const std::string kPortCaption = "Kelvane Error";
const std::string kUnknownText =
    "The printer has reported an unknown error.\r\nPress the printer Online "
    "button to retry or the printer Cancel button to cancel the job.";
const std::string kRibbonText =
    "Printer Ribbon Error.  Make sure you have the following ribbon type "
    "installed:\r\n\r\n";

std::vector<BYTE> Bytes(const std::string& s) {
  return std::vector<BYTE>(s.begin(), s.end());
}

std::vector<BYTE> ErrorReply(BYTE code, BYTE count = 0) {
  return {'E', 0x11, 0x22, count, 0x33, code};
}

StatusReplyDecision Decode(const std::vector<BYTE>& reply,
                           std::string_view ribbon = "") {
  return DecodeStatusReply(reply.data(), reply.size(), ribbon);
}

// ---- Decoding --------------------------------------------------------------

TEST(DecodeStatusReply, MessageAndStatusShowTheirTextUnderTheirCaption) {
  StatusReplyDecision a = Decode(Bytes(std::string("AToner low\0junk", 15)));
  EXPECT_EQ(a.kind, StatusReplyKind::Message);
  EXPECT_TRUE(a.showBox);
  EXPECT_EQ(a.text, "Toner low");
  EXPECT_EQ(a.caption, kMessageCaption);
  EXPECT_EQ(a.style, MB_OK | MB_SETFOREGROUND);
  EXPECT_EQ(a.result, STATUS_SHOWN);
  EXPECT_FALSE(a.hasCount);

  StatusReplyDecision s = Decode(Bytes(std::string("Sready\0", 7)));
  EXPECT_EQ(s.kind, StatusReplyKind::Status);
  EXPECT_EQ(s.text, "ready");
  EXPECT_EQ(s.caption, kStatusCaption);
  EXPECT_EQ(s.style, MB_OK | MB_SETFOREGROUND);
  EXPECT_EQ(s.result, STATUS_SHOWN);
}

TEST(DecodeStatusReply, AnyOtherKindIsShownWholeWithItsFirstByte) {
  StatusReplyDecision d = Decode(Bytes(std::string("Xyz warming up\0", 15)));
  EXPECT_EQ(d.kind, StatusReplyKind::Other);
  EXPECT_EQ(d.text, "Xyz warming up");
  EXPECT_EQ(d.caption, kMessageCaption);
  EXPECT_EQ(d.style, MB_OK | MB_SETFOREGROUND);
  EXPECT_EQ(d.result, STATUS_SHOWN);
}

TEST(DecodeStatusReply, TextNeverGoesBeyondTheBytesReceived) {
  // 100 bytes and no NUL anywhere: the text is what arrived, no more.
  std::vector<BYTE> message(100, 'm');
  message[0] = 'A';
  EXPECT_EQ(Decode(message).text, std::string(99, 'm'));

  std::vector<BYTE> other(100, 'q');
  EXPECT_EQ(Decode(other).text, std::string(100, 'q'));

  // A text that is cut short without a NUL ends with the last byte.
  EXPECT_EQ(Decode(Bytes("Sbusy")).text, "busy");
  EXPECT_EQ(Decode(Bytes("S")).text, "");
  EXPECT_EQ(Decode(Bytes(std::string("A\0abc", 5))).text, "");
}

TEST(DecodeStatusReply, NothingReceivedIsNoReply) {
  StatusReplyDecision d = DecodeStatusReply(nullptr, 0, "");
  EXPECT_EQ(d.kind, StatusReplyKind::None);
  EXPECT_FALSE(d.showBox);
  EXPECT_EQ(d.result, STATUS_NONE);
}

TEST(DecodeStatusReply, ErrorCodesChooseTheirTexts) {
  const struct {
    BYTE code;
    std::string text;
  } cases[] = {
      {0, "The printer has reported a communications error."},
      {1, "The printer has reported a paper jam error.\r\nClear the paper jam "
          "from the printer.\r\nThen press the printer Online button to retry "
          "or the printer Cancel button to cancel the job."},
      {2, "The printer has reported a ribbon jam/error.\r\nPress the printer "
          "Online button to retry or the printer Cancel button to cancel the "
          "job."},
      {4, "The printer hood is open.\r\nShut the hood and press the printer "
          "Online button."},
      {5, "The printer has reported a flipper error.\r\nPress the printer "
          "Online button to retry or the printer Cancel button to cancel the "
          "job."},
      {6, "The printer has reported a head lifter error."},
      {80, "The cutter has reported a knife position error."},
      {81, "The cutter has reported a carriage home position error."},
      {82, "The cutter has reported a motor stall."},
      {84, "The cutter has reported an open door.\r\nShut the cutter door and "
           "press the cutter Pause button to retry or the cutter Cancel button "
           "to cancel the job."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int{c.code});
    StatusReplyDecision d = Decode(ErrorReply(c.code));
    EXPECT_EQ(d.kind, StatusReplyKind::Error);
    EXPECT_TRUE(d.showBox);
    EXPECT_EQ(d.text, c.text);
    EXPECT_EQ(d.caption, kErrorCaption);
    EXPECT_EQ(d.style, MB_OK | MB_SETFOREGROUND | MB_ICONERROR);
    EXPECT_EQ(d.result, STATUS_ERROR_SHOWN);
  }
}

TEST(DecodeStatusReply, UnlistedCodesAndNegativesAreUnknownErrors) {
  for (BYTE code : {7, 79, 83, 85, 126, 0x80, 0xFF, 0xFE}) {
    SCOPED_TRACE(int{code});
    StatusReplyDecision d = Decode(ErrorReply(code));
    EXPECT_EQ(d.text, kUnknownText);
    EXPECT_EQ(d.result, STATUS_ERROR_SHOWN);
  }
}

TEST(DecodeStatusReply, RibbonErrorQuotesTheRibbonType) {
  EXPECT_EQ(Decode(ErrorReply(3), "YMCKO 250").text, kRibbonText + "YMCKO 250");
  // With no ribbon type the text ends with the two line breaks.
  const std::string empty = Decode(ErrorReply(3), "").text;
  EXPECT_EQ(empty, kRibbonText);
  EXPECT_EQ(empty.substr(empty.size() - 4), "\r\n\r\n");
}

TEST(DecodeStatusReply, Code127IsSilentButDeliversTheCount) {
  StatusReplyDecision d = Decode(ErrorReply(127, 9));
  EXPECT_FALSE(d.showBox);
  EXPECT_EQ(d.result, STATUS_ERROR_SILENT);
  EXPECT_TRUE(d.hasCount);
  EXPECT_EQ(d.count, 9);
}

TEST(DecodeStatusReply, CountIsTheSignedByteAtOffsetThree) {
  EXPECT_EQ(Decode(ErrorReply(2, 0xFE)).count, -2);
  EXPECT_EQ(Decode(ErrorReply(2, 0x7F)).count, 127);
  EXPECT_EQ(Decode(ErrorReply(2, 0x80)).count, -128);
}

TEST(DecodeStatusReply, ShortErrorRepliesReadOnlyWhatArrived) {
  // Without its code an error is still an error: the unknown text.
  for (std::size_t size = 1; size <= 5; ++size) {
    SCOPED_TRACE(size);
    std::vector<BYTE> reply = ErrorReply(127, 0xFD);
    reply.resize(size);
    StatusReplyDecision d = Decode(reply);
    EXPECT_EQ(d.kind, StatusReplyKind::Error);
    EXPECT_TRUE(d.showBox);
    EXPECT_EQ(d.text, kUnknownText);
    EXPECT_EQ(d.result, STATUS_ERROR_SHOWN);
    EXPECT_TRUE(d.hasCount);
    EXPECT_EQ(d.count, size >= 4 ? -3 : 0);
  }
}

TEST(DecodeStatusReply, OnlyCode3NeedsTheRibbonType) {
  const std::vector<BYTE> ribbon = ErrorReply(3);
  EXPECT_TRUE(StatusReplyNeedsRibbonType(ribbon.data(), ribbon.size()));
  EXPECT_FALSE(StatusReplyNeedsRibbonType(ribbon.data(), 5));
  const std::vector<BYTE> jam = ErrorReply(2);
  EXPECT_FALSE(StatusReplyNeedsRibbonType(jam.data(), jam.size()));
  const std::vector<BYTE> text = Bytes("SE\0\0\0\x03");
  EXPECT_FALSE(StatusReplyNeedsRibbonType(text.data(), text.size()));
}

// ---- Port prompts (pure) ---------------------------------------------------

struct PromptCase {
  std::int32_t code;
  bool queueMode;
  std::string text;
  UINT buttons;
};

const std::string kNotSelected =
    "The printer is not selected. Make sure the cable is connected and the "
    "printer is online.";
const std::string kQueueTail =
    "\r\n\r\nAbort cancels all jobs.\r\nRetry starts current job over.\r\n"
    "Ignore continues with current job.";
const std::string kOutOfPaper =
    "The printer is reporting out of paper.  Check paper supply.";
const std::string kNotAccepting =
    "The printer is not accepting data. Make sure the printer is online and "
    "the cable is connected.";

std::vector<PromptCase> PromptCases() {
  return {
      {21, true, kNotSelected + kQueueTail, MB_ABORTRETRYIGNORE},
      {21, false, kNotSelected, MB_RETRYCANCEL},
      {28, true, kOutOfPaper, MB_RETRYCANCEL},
      {28, false, kOutOfPaper, MB_RETRYCANCEL},
      {1117, true,
       "A device I/O error has occurred.\r\nMake sure the cable is connected "
       "and the printer is on.\r\n\r\nAbort cancels all jobs.  Retry starts "
       "current job over.  Ignore continues with current job.",
       MB_ABORTRETRYIGNORE},
      {1117, false,
       "A device I/O error has occurred.\r\nMake sure the printer is on and "
       "the cable is connected.",
       MB_RETRYCANCEL},
      {1121, true, kNotAccepting + kQueueTail, MB_ABORTRETRYIGNORE},
      {1121, false, kNotAccepting + ".", MB_RETRYCANCEL},
      {1, true, "Unknown Printer Error", MB_RETRYCANCEL},
      {7777, false, "Unknown Printer Error", MB_RETRYCANCEL},
      {-21, true, "Unknown Printer Error", MB_RETRYCANCEL},
  };
}

TEST(PortFaultQuestion, TextAndButtonsByCodeAndMode) {
  for (const PromptCase& c : PromptCases()) {
    SCOPED_TRACE(std::to_string(c.code) + (c.queueMode ? " queue" : " manual"));
    FaultQuestion p = PortFaultQuestion(c.code, c.queueMode);
    EXPECT_EQ(p.caption, kPortCaption);
    EXPECT_EQ(p.text, c.text);
    EXPECT_EQ(p.style, c.buttons | MB_ICONERROR | MB_SETFOREGROUND);
  }
}

// ---- Against the virtual printer ------------------------------------------

class PrinterStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    opener_.Attach("LPT1:", printer_);
    {
      SpoolerLock lock;
      CopyField(g_szPortName, "LPT1:");
    }
    ASSERT_TRUE(OpenPrinterPort(port_));
  }
  void TearDown() override {
    if (port_ != INVALID_HANDLE_VALUE) plat::CloseHandle(port_);
  }

  std::uint16_t Query(std::int16_t& count) {
    return QueryPrinterStatus(port_, count);
  }

  kt::TempHome home_;
  plat::ScopedFakeClock clock_;
  vprinter::VirtualPrinter printer_;
  vprinter::InProcessPortOpener opener_;
  vprinter::ScopedPortOpener openerGuard_{opener_};
  kt::ScriptedMessageBoxes boxes_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(PrinterStatusTest, SilentPrinterShowsNothing) {
  std::int16_t count = 55;
  const DWORD before = plat::GetTickCount();
  EXPECT_EQ(Query(count), STATUS_NONE);
  EXPECT_EQ(boxes_.count(), 0u);
  EXPECT_EQ(count, 55);
  // It did wait for the reply: about half a second.
  EXPECT_GE(plat::GetTickCount() - before, 500u);
}

TEST_F(PrinterStatusTest, MessageReplyIsShownWithoutOwnerOrIcon) {
  printer_.QueueMessage("Clean the head");
  std::int16_t count = 55;
  EXPECT_EQ(Query(count), STATUS_SHOWN);
  EXPECT_EQ(count, 55);  // only error replies carry a count
  ASSERT_EQ(boxes_.count(), 1u);
  const kt::RecordedBox box = boxes_.boxes()[0];
  EXPECT_EQ(box.owner, 0);
  EXPECT_EQ(box.text, "Clean the head");
  EXPECT_EQ(box.caption, kMessageCaption);
  EXPECT_EQ(box.style, MB_OK | MB_SETFOREGROUND);
}

TEST_F(PrinterStatusTest, StatusReplyShowsItsWord) {
  printer_.QueueStatus("ready");
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "ready");
  EXPECT_EQ(boxes_.boxes()[0].caption, kStatusCaption);
}

TEST_F(PrinterStatusTest, RibbonJamIsAnErrorBox) {
  printer_.QueueError(2, 4);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SHOWN);
  EXPECT_EQ(count, 4);
  ASSERT_EQ(boxes_.count(), 1u);
  const kt::RecordedBox box = boxes_.boxes()[0];
  EXPECT_EQ(box.owner, 0);
  EXPECT_EQ(box.caption, kErrorCaption);
  EXPECT_EQ(box.text,
            "The printer has reported a ribbon jam/error.\r\nPress the printer "
            "Online button to retry or the printer Cancel button to cancel the "
            "job.");
  EXPECT_EQ(box.style, MB_OK | MB_SETFOREGROUND | MB_ICONERROR);
}

TEST_F(PrinterStatusTest, RibbonErrorQuotesTheJobsRibbonType) {
  {
    SpoolerLock lock;
    CopyField(g_szRibbonType, "YMCKO Half Panel");
  }
  printer_.QueueError(3);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, kRibbonText + "YMCKO Half Panel");
}

TEST_F(PrinterStatusTest, RibbonErrorWithNoRibbonTypeEndsWithTheLineBreaks) {
  printer_.QueueError(3);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, kRibbonText);
}

TEST_F(PrinterStatusTest, Code83IsUnknown) {
  printer_.QueueError(83);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, kUnknownText);
}

TEST_F(PrinterStatusTest, Code127IsSilentWithTheCountDelivered) {
  printer_.QueueError(127, -7);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SILENT);
  EXPECT_EQ(count, -7);
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(PrinterStatusTest, ReplyOfAnotherKindIsShownWhole) {
  printer_.QueueRaw(Bytes(std::string("Paper low\0", 10)));
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Paper low");
  EXPECT_EQ(boxes_.boxes()[0].caption, kMessageCaption);
}

TEST_F(PrinterStatusTest, HundredBytesWithoutNulStayWithinTheReply) {
  std::vector<BYTE> reply(100, 'z');
  reply[0] = 'A';
  printer_.QueueRaw(reply);
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, std::string(99, 'z'));
}

TEST_F(PrinterStatusTest, LongerReplyIsCutAtHundredAndTheRestStays) {
  printer_.QueueRaw(std::vector<BYTE>(150, 'w'));
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_SHOWN);
  ASSERT_EQ(boxes_.count(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, std::string(100, 'w'));
  EXPECT_EQ(printer_.pendingReplyBytes(), 50u);
}

// Records, while a box is up, whether another thread can take the lock:
// nobody may wait on g_csSpooler behind a box the user has not answered.
class LockProbeBoxes : public plat::MessageBoxSink {
 public:
  LockProbeBoxes() { plat::SetMessageBoxSink(this); }
  ~LockProbeBoxes() override {
    plat::SetMessageBoxSink(nullptr);
    if (prober_.joinable()) prober_.join();
  }
  int Show(HWND, const std::string&, const std::string&, UINT) override {
    ++shown;
    prober_ = std::thread([this] {
      SpoolerLock lock;
      std::lock_guard<std::mutex> guard(mutex_);
      taken_ = true;
      cv_.notify_all();
    });
    std::unique_lock<std::mutex> guard(mutex_);
    lockFreeDuringBox =
        cv_.wait_for(guard, std::chrono::seconds(5), [this] { return taken_; });
    return IDOK;
  }
  std::atomic<int> shown{0};
  bool lockFreeDuringBox = false;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool taken_ = false;
  std::thread prober_;
};

TEST_F(PrinterStatusTest, RibbonErrorBoxIsShownAfterTheLockIsLeft) {
  printer_.QueueError(3);
  LockProbeBoxes probe;
  std::int16_t count = 0;
  EXPECT_EQ(Query(count), STATUS_ERROR_SHOWN);
  EXPECT_EQ(probe.shown.load(), 1);
  EXPECT_TRUE(probe.lockFreeDuringBox);
}

TEST_F(PrinterStatusTest, PromptsFollowTheModeOfEachCall) {
  for (const PromptCase& c : PromptCases()) {
    SCOPED_TRACE(std::to_string(c.code) + (c.queueMode ? " queue" : " manual"));
    {
      SpoolerLock lock;
      g_bQueueMode = c.queueMode ? 1 : 0;
    }
    const int answer = c.buttons == MB_ABORTRETRYIGNORE ? IDIGNORE : IDCANCEL;
    boxes_.Answer(answer);
    const std::size_t before = boxes_.count();
    EXPECT_EQ(PromptPortError(c.code), answer);
    ASSERT_EQ(boxes_.count(), before + 1);
    const kt::RecordedBox box = boxes_.boxes().back();
    EXPECT_EQ(box.owner, 0);
    EXPECT_EQ(box.caption, kPortCaption);
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.style, c.buttons | MB_ICONERROR | MB_SETFOREGROUND);
  }
}

TEST_F(PrinterStatusTest, PromptReturnsEachButton) {
  {
    SpoolerLock lock;
    g_bQueueMode = 1;
  }
  for (int button : {IDABORT, IDRETRY, IDIGNORE}) {
    boxes_.Answer(button);
    EXPECT_EQ(PromptPortError(21), button);
  }
  {
    SpoolerLock lock;
    g_bQueueMode = 0;
  }
  for (int button : {IDRETRY, IDCANCEL}) {
    boxes_.Answer(button);
    EXPECT_EQ(PromptPortError(21), button);
  }
}

}  // namespace
