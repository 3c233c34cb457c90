// Tests of the driver's printer commands and the ink-level query against the
// in-process virtual printer: the exact bytes that reach the printer, the
// profile keys published, and the port opened and closed once. Test thread.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "engine/printer_commands.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "tests/support/test_support.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

using Bytes = std::vector<BYTE>;

const Bytes kCommand1 = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x0A, 0x1D, 0x70};
const Bytes kFirstQuery = {0xA5, 0x00, 0x03, 0x50, 0x04, 0x0A};
const Bytes kBlackForm = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x09, 0x01, 0x01};
const Bytes kColourForm = {0xA5, 0x00, 0x07, 0x50, 0xE0,
                           0x09, 0x03, 0x02, 0x03, 0x04};
const Bytes kCommand3 = {0xA5, 0x00, 0x05, 0x50, 0xE0, 0x0A, 0x01, 0x00};
const Bytes kCommand4 = {0xA5, 0x00, 0x04, 0x50, 0xE0, 0x0D, 0x01};
// Seven bytes, as its length field (4 after the header) says.
const Bytes kLevelQuery = {0xA5, 0x00, 0x04, 0x50, 0x04, 0x0C, 0x00};

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string AsString(const Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A reply of `length` bytes with a frame header, as the printer sends.
Bytes Reply(std::size_t length, BYTE command) {
  Bytes reply(length, 0);
  const BYTE header[] = {0xA5, 0x00, static_cast<BYTE>(length - 3), 0x50, 0x04,
                         command};
  for (std::size_t i = 0; i < length && i < sizeof header; ++i) {
    reply[i] = header[i];
  }
  return reply;
}

Bytes LevelReply(BYTE black, BYTE cyan, BYTE magenta, BYTE yellow,
                 std::size_t length = 24) {
  Bytes reply = Reply(24, 0x0C);
  reply[10] = black;
  reply[14] = cyan;
  reply[18] = magenta;
  reply[22] = yellow;
  reply.resize(length);
  return reply;
}

std::string Ink(const char* key) {
  return plat::GetProfileString("Tovrel", key, "<unset>");
}

// ---- Pure decoding --------------------------------------------------------

TEST(DecodeInkReply, BlackInkTakesOffsetTenAsSignedByte) {
  const Bytes reply = LevelReply(0xFB, 1, 2, 3);
  InkLevels levels = DecodeInkReply(true, reply.data(), reply.size());
  EXPECT_EQ(levels.inkType, kInkTypeBlack);
  EXPECT_EQ(levels.black, -5);
}

TEST(DecodeInkReply, ColourInkTakesOffsetsFourteenEighteenTwentyTwo) {
  const Bytes reply = LevelReply(9, 0x46, 0x80, 0x7F);
  InkLevels levels = DecodeInkReply(false, reply.data(), reply.size());
  EXPECT_EQ(levels.inkType, kInkTypeColour);
  EXPECT_EQ(levels.cyan, 70);
  EXPECT_EQ(levels.magenta, -128);
  EXPECT_EQ(levels.yellow, 127);
}

// A reply that stops before an offset it needs has not told the levels:
// they must not be published as zeros ("empty").
TEST(DecodeInkReply, ReplyThatStopsBeforeItsLevelsIsNoAnswer) {
  const Bytes reply = LevelReply(0x11, 0x22, 0x33, 0x44);
  for (std::size_t size : {1u, 10u, 15u, 19u, 22u}) {
    EXPECT_EQ(DecodeInkReply(false, reply.data(), size).inkType, kInkTypeUnknown) << size;
  }
  EXPECT_EQ(DecodeInkReply(true, reply.data(), 10).inkType, kInkTypeUnknown);
  // Exactly long enough is enough.
  InkLevels colour = DecodeInkReply(false, reply.data(), 23);
  EXPECT_EQ(colour.inkType, kInkTypeColour);
  EXPECT_EQ(colour.cyan, 0x22);
  EXPECT_EQ(colour.magenta, 0x33);
  EXPECT_EQ(colour.yellow, 0x44);
  InkLevels black = DecodeInkReply(true, reply.data(), 11);
  EXPECT_EQ(black.inkType, kInkTypeBlack);
  EXPECT_EQ(black.black, 0x11);
}

TEST(DecodeInkReply, NoBytesIsNoAnswer) {
  EXPECT_EQ(DecodeInkReply(true, nullptr, 0).inkType, kInkTypeUnknown);
  const Bytes reply = LevelReply(1, 2, 3, 4);
  EXPECT_EQ(DecodeInkReply(false, reply.data(), 0).inkType, kInkTypeUnknown);
}

TEST(IsBlackInkReply, MoreThanTwelveBytesMeansBlack) {
  EXPECT_FALSE(IsBlackInkReply(0));
  EXPECT_FALSE(IsBlackInkReply(8));
  EXPECT_FALSE(IsBlackInkReply(12));
  EXPECT_TRUE(IsBlackInkReply(13));
  EXPECT_TRUE(IsBlackInkReply(30));
}

// ---- Against the virtual printer ------------------------------------------

class PrinterCommandsTest : public ::testing::Test {
 protected:
  static constexpr HWND kMainWnd = 4242;

  void SetUp() override {
    opener_.Attach("LPT1:", printer_);
    SpoolerLock lock;
    CopyField(g_szPortName, "LPT1:");
    g_hMainWnd = kMainWnd;
  }

  // Replies only from the test's script: the printer's own answers are off.
  void ScriptReplies() { printer_.MuteQueries(1000); }
  void ReplyAt(std::uint64_t totalBytes, Bytes reply) {
    printer_.AtTotalBytes(totalBytes, [reply](vprinter::VirtualPrinter& p) {
      p.QueueRaw(reply);
    });
  }
  void ExpectPortUsedOnce() {
    EXPECT_EQ(opener_.opens("LPT1:"), 1);
    EXPECT_EQ(opener_.closes("LPT1:"), 1);
    EXPECT_FALSE(opener_.IsOpen("LPT1:"));
  }

  kt::TempHome home_;
  plat::ScopedFakeClock clock_;
  vprinter::VirtualPrinter printer_;
  vprinter::InProcessPortOpener opener_;
  vprinter::ScopedPortOpener openerGuard_{opener_};
  kt::ScriptedMessageBoxes boxes_;
  kt::RecordingWindows windows_;
};

TEST_F(PrinterCommandsTest, FixedFramesGoOutExactly) {
  const struct {
    WPARAM command;
    Bytes frame;
  } cases[] = {{1, kCommand1}, {3, kCommand3}, {4, kCommand4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    printer_.ClearOutput();
    const int opensBefore = opener_.opens("LPT1:");
    EXPECT_EQ(OnSpoolerCommand(c.command), 1);
    EXPECT_EQ(printer_.output(), AsString(c.frame));
    EXPECT_EQ(opener_.opens("LPT1:"), opensBefore + 1);
    EXPECT_FALSE(opener_.IsOpen("LPT1:"));
  }
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(PrinterCommandsTest, RefusedWhilePrinting) {
  {
    SpoolerLock lock;
    g_bPrinting = 1;
  }
  for (WPARAM command : {0, 1, 2, 5, 9}) {
    EXPECT_EQ(OnSpoolerCommand(command), 0);
  }
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  EXPECT_EQ(opener_.opens("LPT1:"), 0);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 0);
  EXPECT_EQ(Ink("InkType"), "<unset>");
}

TEST_F(PrinterCommandsTest, Command2WithLongAnswerSendsTheBlackForm) {
  printer_.SetFirstReplyLength(20);
  EXPECT_EQ(OnSpoolerCommand(2), 1);
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kBlackForm})));
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, Command2WithShortAnswerSendsTheColourForm) {
  printer_.SetFirstReplyLength(8);
  EXPECT_EQ(OnSpoolerCommand(2), 1);
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kColourForm})));
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, Command2WithTwelveByteAnswerIsColour) {
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(12, 0x0A));
  EXPECT_EQ(OnSpoolerCommand(2), 1);
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kColourForm})));
}

TEST_F(PrinterCommandsTest, Command2WithNoAnswerSendsTheColourForm) {
  printer_.MuteQueries(1);
  EXPECT_EQ(OnSpoolerCommand(2), 1);
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kColourForm})));
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, UnknownCommandsOpenAndCloseAndSendNothing) {
  for (WPARAM command : {6, 7, 255, 0x10000}) {
    SCOPED_TRACE(command);
    const int opens = opener_.opens("LPT1:");
    EXPECT_EQ(OnSpoolerCommand(command), 1);
    EXPECT_EQ(opener_.opens("LPT1:"), opens + 1);
    EXPECT_EQ(opener_.closes("LPT1:"), opens + 1);
  }
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  EXPECT_EQ(windows_.posts().size(), 0u);
}

TEST_F(PrinterCommandsTest, Command0ClosesTheProgramEvenWithoutAPort) {
  opener_.FailOpens("LPT1:", 1);
  EXPECT_EQ(OnSpoolerCommand(0), 1);
  ASSERT_EQ(windows_.posts().size(), 1u);
  const kt::RecordedPost post = windows_.posts()[0];
  EXPECT_EQ(post.window, kMainWnd);
  EXPECT_EQ(post.message, WM_CLOSE);
  EXPECT_EQ(post.wParam, 0u);
  EXPECT_EQ(post.lParam, 0);
  EXPECT_EQ(opener_.closes("LPT1:"), 0);
}

TEST_F(PrinterCommandsTest, Command0ClosesThePortOnceAndSendsNothing) {
  EXPECT_EQ(OnSpoolerCommand(0), 1);
  EXPECT_EQ(windows_.CountPosts(kMainWnd, WM_CLOSE), 1);
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, CommandsWithoutAPortSendNothing) {
  for (WPARAM command : {1, 2, 3, 4, 6}) {
    opener_.FailOpens("LPT1:", 1);
    EXPECT_EQ(OnSpoolerCommand(command), 1) << command;
  }
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  EXPECT_EQ(opener_.opens("LPT1:"), 0);
}

TEST_F(PrinterCommandsTest, Command5PublishesTheLevelsAndClosesThePortOnce) {
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(20, 0x0A));
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(), LevelReply(55, 1, 2, 3));
  EXPECT_EQ(OnSpoolerCommand(5), 1);
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kLevelQuery})));
  EXPECT_EQ(Ink("InkType"), "1");
  EXPECT_EQ(Ink("BlackLevel"), "55");
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, Command5WithoutAPortPublishesInkType0) {
  plat::WriteProfileString("Tovrel", "BlackLevel", "40");
  opener_.FailOpens("LPT1:", 2);
  EXPECT_EQ(OnSpoolerCommand(5), 1);
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(Ink("BlackLevel"), "40");
  EXPECT_EQ(printer_.totalAccepted(), 0u);
}

// ---- UpdateInkLevels ------------------------------------------------------

TEST_F(PrinterCommandsTest, BlackInkLevelIsSignedDecimal) {
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(20, 0x0A));
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(), LevelReply(0xFB, 7, 7, 7));
  UpdateInkLevels();
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kLevelQuery})));
  EXPECT_EQ(Ink("InkType"), "1");
  EXPECT_EQ(Ink("BlackLevel"), "-5");
  EXPECT_EQ(Ink("CyanLevel"), "<unset>");
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, PrinterAnsweringByItselfGetsItsLevelsPublished) {
  vprinter::InkLevels levels;
  levels.black = -5;
  levels.cyan = 31;
  levels.magenta = -1;
  levels.yellow = 100;
  printer_.SetLevels(levels);

  printer_.SetFirstReplyLength(20);
  UpdateInkLevels();
  EXPECT_EQ(printer_.frameNames(),
            (std::vector<std::string>{"first-query", "level-query"}));
  EXPECT_EQ(Ink("InkType"), "1");
  EXPECT_EQ(Ink("BlackLevel"), "-5");

  printer_.SetFirstReplyLength(8);
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "2");
  EXPECT_EQ(Ink("CyanLevel"), "31");
  EXPECT_EQ(Ink("MagentaLevel"), "-1");
  EXPECT_EQ(Ink("YellowLevel"), "100");
  EXPECT_EQ(Ink("BlackLevel"), "-5");
  EXPECT_EQ(printer_.pendingReplyBytes(), 0u);
}

TEST_F(PrinterCommandsTest, ColourAnswerThenBlackAnswerKeepsTheColourLevels) {
  ScriptReplies();
  std::uint64_t total = 0;
  ReplyAt(total += kFirstQuery.size(), Reply(8, 0x0A));
  ReplyAt(total += kLevelQuery.size(), LevelReply(1, 70, 0x80, 0));
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "2");
  EXPECT_EQ(Ink("CyanLevel"), "70");
  EXPECT_EQ(Ink("MagentaLevel"), "-128");
  EXPECT_EQ(Ink("YellowLevel"), "0");
  EXPECT_EQ(Ink("BlackLevel"), "<unset>");

  ReplyAt(total += kFirstQuery.size(), Reply(20, 0x0A));
  ReplyAt(total += kLevelQuery.size(), LevelReply(33, 9, 9, 9));
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "1");
  EXPECT_EQ(Ink("BlackLevel"), "33");
  EXPECT_EQ(Ink("CyanLevel"), "70");
  EXPECT_EQ(Ink("MagentaLevel"), "-128");
  EXPECT_EQ(Ink("YellowLevel"), "0");
}

TEST_F(PrinterCommandsTest, FirstQueryAnsweredOnlyOnTheSecondTry) {
  ScriptReplies();
  ReplyAt(2 * kFirstQuery.size(), Reply(8, 0x0A));
  ReplyAt(2 * kFirstQuery.size() + kLevelQuery.size(),
          LevelReply(0, 11, 22, 33));
  UpdateInkLevels();
  EXPECT_EQ(printer_.output(),
            AsString(Join({kFirstQuery, kFirstQuery, kLevelQuery})));
  EXPECT_EQ(Ink("InkType"), "2");
  EXPECT_EQ(Ink("CyanLevel"), "11");
  EXPECT_EQ(Ink("MagentaLevel"), "22");
  EXPECT_EQ(Ink("YellowLevel"), "33");
}

TEST_F(PrinterCommandsTest, PrinterThatNeverAnswersPublishesInkType0) {
  plat::WriteProfileString("Tovrel", "CyanLevel", "12");
  ScriptReplies();
  UpdateInkLevels();
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kFirstQuery})));
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(Ink("CyanLevel"), "12");
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, EarlierChatterIsDiscardedBeforeTheQuery) {
  // Left unread, these 30 bytes would pass for a black-ink answer.
  printer_.QueueRaw(Bytes(30, 0x55));
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(8, 0x0A));
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(), LevelReply(0, 4, 5, 6));
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "2");
  EXPECT_EQ(Ink("CyanLevel"), "4");
  EXPECT_EQ(Ink("YellowLevel"), "6");
}

TEST_F(PrinterCommandsTest, ShortLevelReplyPublishesInkType0AndKeepsTheLevels) {
  plat::WriteProfileString("Tovrel", "CyanLevel", "40");
  plat::WriteProfileString("Tovrel", "MagentaLevel", "41");
  plat::WriteProfileString("Tovrel", "YellowLevel", "42");
  ScriptReplies();
  Bytes first = Reply(12, 0x0A);
  ReplyAt(kFirstQuery.size(), first);
  // 16 bytes: cyan arrives, magenta and yellow do not.
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(),
          LevelReply(0, 0x21, 0x55, 0x55, 16));
  printer_.QueueRaw(Bytes(30, 0x66));  // chatter that fills the whole buffer
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(Ink("CyanLevel"), "40");
  EXPECT_EQ(Ink("MagentaLevel"), "41");
  EXPECT_EQ(Ink("YellowLevel"), "42");
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, ShortBlackLevelReplyPublishesInkType0) {
  plat::WriteProfileString("Tovrel", "BlackLevel", "55");
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(20, 0x0A));
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(), LevelReply(0x07, 0, 0, 0, 10));
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(Ink("BlackLevel"), "55");
}

TEST_F(PrinterCommandsTest, SilentLevelQueryPublishesInkType0) {
  plat::WriteProfileString("Tovrel", "BlackLevel", "61");
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(20, 0x0A));
  UpdateInkLevels();
  EXPECT_EQ(printer_.output(), AsString(Join({kFirstQuery, kLevelQuery})));
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(Ink("BlackLevel"), "61");
  ExpectPortUsedOnce();
}

TEST_F(PrinterCommandsTest, PortThatDoesNotOpenPublishesInkType0) {
  opener_.FailOpens("LPT1:", 1);
  UpdateInkLevels();
  EXPECT_EQ(Ink("InkType"), "0");
  EXPECT_EQ(printer_.totalAccepted(), 0u);
}

TEST_F(PrinterCommandsTest, PortPassedInIsClosedAtTheEnd) {
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(OpenPrinterPort(port));
  ScriptReplies();
  ReplyAt(kFirstQuery.size(), Reply(20, 0x0A));
  ReplyAt(kFirstQuery.size() + kLevelQuery.size(), LevelReply(90, 0, 0, 0));
  UpdateInkLevels(port);
  EXPECT_EQ(Ink("BlackLevel"), "90");
  ExpectPortUsedOnce();
  // The handle is gone: closing it again fails.
  EXPECT_FALSE(plat::CloseHandle(port));
}

TEST_F(PrinterCommandsTest, SlowPrinterStillGetsTheWholeFrame) {
  // Twenty bytes a second: each write call moves two or three bytes before its
  // time-out, and the rest follows in later calls.
  printer_.SetRate(20);
  EXPECT_EQ(OnSpoolerCommand(1), 1);
  EXPECT_EQ(printer_.output(), AsString(kCommand1));
}

TEST_F(PrinterCommandsTest, StalledPrinterDoesNotHoldTheCommandForever) {
  printer_.SetState(vprinter::PrinterState::Stalled);
  const DWORD before = plat::GetTickCount();
  EXPECT_EQ(OnSpoolerCommand(4), 1);
  EXPECT_EQ(printer_.totalAccepted(), 0u);
  EXPECT_LT(plat::GetTickCount() - before, 2000u);
  ExpectPortUsedOnce();
}

}  // namespace
