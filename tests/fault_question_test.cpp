// The spooler's questions: which kind each port fault is, what may be
// answered to it with nobody there, and that a question reaches a front end
// that answers questions as one, and any other front end as its box.
// Test thread only.
#include <gtest/gtest.h>

#include <string>

#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "platform/message_box.h"

namespace {

TEST(FaultQuestionKinds, PortFaultsByCodeAndMode) {
  struct Case {
    std::int32_t code;
    bool queueMode;
    QuestionKind kind;
    int tryAgain;
  };
  const Case cases[] = {
      {ERROR_NOT_READY, true, QuestionKind::PortNotReady, IDIGNORE},
      {ERROR_NOT_READY, false, QuestionKind::PortNotReady, IDRETRY},
      {ERROR_OUT_OF_PAPER, true, QuestionKind::PortOutOfPaper, IDRETRY},
      {ERROR_OUT_OF_PAPER, false, QuestionKind::PortOutOfPaper, IDRETRY},
      {ERROR_IO_DEVICE, true, QuestionKind::PortIoError, IDIGNORE},
      {ERROR_IO_DEVICE, false, QuestionKind::PortIoError, IDRETRY},
      {ERROR_COUNTER_TIMEOUT, true, QuestionKind::PortNotAccepting, IDIGNORE},
      {ERROR_COUNTER_TIMEOUT, false, QuestionKind::PortNotAccepting, IDRETRY},
      {7777, true, QuestionKind::PortUnknownFault, IDRETRY},
      {-21, false, QuestionKind::PortUnknownFault, IDRETRY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.code) + (c.queueMode ? " queue" : " manual"));
    const FaultQuestion question = PortFaultQuestion(c.code, c.queueMode);
    EXPECT_EQ(question.kind, c.kind);
    EXPECT_EQ(question.tryAgain, c.tryAgain);
    EXPECT_EQ(UnattendedRuleOf(question.kind), UnattendedRule::TryAgainAfterWait);
    // The answer that goes on is one of the box's own buttons.
    bool offered = false;
    for (int i = 0; i < plat::ButtonCount(question.style); ++i)
      offered = offered || plat::ButtonAt(question.style, i) == question.tryAgain;
    EXPECT_TRUE(offered);
  }
}

TEST(FaultQuestionKinds, OnlyPortFaultsTryAgainAndOnlyTheQuitConfirms) {
  struct Case {
    FaultQuestion question;
    QuestionKind kind;
    UnattendedRule rule;
  };
  const Case cases[] = {
      {SpoolFileOpenFailedQuestion(), QuestionKind::SpoolFileOpenFailed,
       UnattendedRule::NoAnswer},
      {PortOpenFailedQuestion(2), QuestionKind::PortOpenFailed, UnattendedRule::NoAnswer},
      {SpoolFileReadFailedQuestion(5), QuestionKind::SpoolFileReadFailed,
       UnattendedRule::NoAnswer},
      {SpoolFilesLeftOutNotice("a", 3), QuestionKind::SpoolFilesLeftOut,
       UnattendedRule::NoAnswer},
      {RelativeSpoolPathNotice("a"), QuestionKind::RelativeSpoolPath, UnattendedRule::NoAnswer},
      {JobSetAsideNotice("a"), QuestionKind::JobSetAside, UnattendedRule::NoAnswer},
      {PrinterReportNotice("c", "t", MB_OK), QuestionKind::PrinterReport,
       UnattendedRule::NoAnswer},
      {QuitQuestion(), QuestionKind::Quit, UnattendedRule::Confirm},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.question.text);
    EXPECT_EQ(c.question.kind, c.kind);
    EXPECT_EQ(UnattendedRuleOf(c.question.kind), c.rule);
    EXPECT_EQ(c.question.tryAgain, 0);
  }
}

class RecordingBoxes final : public plat::MessageBoxSink {
 public:
  int Show(HWND owner, const std::string& text, const std::string& caption,
           UINT style) override {
    shown = caption + "|" + text + "|" + std::to_string(style) + "|" +
            std::to_string(static_cast<long long>(owner));
    return IDCANCEL;
  }
  std::string shown;
};

class RecordingQuestions final : public FaultQuestionSink {
 public:
  int Ask(HWND, const FaultQuestion& question) override {
    kind = question.kind;
    return IDOK;
  }
  QuestionKind kind = QuestionKind::PrinterReport;
};

TEST(AskFaultQuestion, AQuestionSinkGetsTheKindOtherwiseTheBoxIsShown) {
  RecordingBoxes boxes;
  plat::MessageBoxSink* previous = plat::SetMessageBoxSink(&boxes);
  EXPECT_EQ(AskFaultQuestion(7, QuitQuestion()), IDCANCEL);
  EXPECT_EQ(boxes.shown, "WARNING|Do you really want to quit?\r\nAll print jobs will stop and "
                         "will be lost.|" +
                             std::to_string(MB_OKCANCEL | MB_SETFOREGROUND) + "|7");
  {
    RecordingQuestions questions;
    const ScopedFaultQuestionSink installed(&questions);
    boxes.shown.clear();
    EXPECT_EQ(AskFaultQuestion(7, QuitQuestion()), IDOK);
    EXPECT_EQ(questions.kind, QuestionKind::Quit);
    EXPECT_TRUE(boxes.shown.empty());
  }
  // Gone with its scope: the box again.
  EXPECT_EQ(AskFaultQuestion(0, SpoolFileOpenFailedQuestion()), IDCANCEL);
  EXPECT_NE(boxes.shown.find("Could not open spool file."), std::string::npos);
  plat::SetMessageBoxSink(previous);
}

}  // namespace
