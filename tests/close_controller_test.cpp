// The close controller's decisions: state x reason (x what is up) -> what
// the front end does and where the close stands afterwards, the quit
// question's answers, and the driver's "closing" mark kept by the requests.
// Test thread (as the main thread).
#include "app/shell/close_controller.h"

#include <gtest/gtest.h>

#include "app/shell/shell.h"
#include "app/state/spooler_state.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "tests/support/test_support.h"

namespace {

using D = CloseDecision;
using R = CloseReason;
using S = CloseState;

constexpr CloseCircumstances kQuiet{};
constexpr CloseCircumstances kDialogUp{Dialogs::Open, UnansweredFault::Closes, LastLook::Empty};
constexpr CloseCircumstances kRetrying{Dialogs::None, UnansweredFault::Retries, LastLook::Empty};
constexpr CloseCircumstances kWorkFound{Dialogs::None, UnansweredFault::Closes, LastLook::FoundWork};

struct Row {
  const char* what;
  S state;
  R reason;
  CloseCircumstances now;
  D decision;
  S next;
};

const Row kRows[] = {
    // Every close of a running spooler passes the quit question (which asks
    // only while something prints); a dialog up holds it back.
    {"user close", S::Open, R::Requested, kQuiet, D::Ask, S::Asking},
    {"user close under a dialog", S::Open, R::Requested, kDialogUp, D::Defer, S::CloseWaiting},
    {"run over, queue empty", S::Open, R::RunEnded, kQuiet, D::Ask, S::Asking},
    {"run over, a late record", S::Open, R::RunEnded, kWorkFound, D::Refuse, S::Open},
    {"fault unanswered, closing policy", S::Open, R::FaultUnanswered, kQuiet, D::Ask, S::Asking},
    {"fault unanswered, retrying policy", S::Open, R::FaultUnanswered, kRetrying, D::RetryLater,
     S::Open},
    {"session's end", S::Open, R::Forced, kDialogUp, D::Close, S::Ended},
    {"nothing waits for the dialogs", S::Open, R::DialogsGone, kQuiet, D::Refuse, S::Open},
    // A stop keeps the queue and asks nothing; under a dialog it waits for
    // the dialogs it ends.
    {"stop", S::Open, R::Stop, kQuiet, D::Stop, S::Ended},
    {"stop under a dialog", S::Open, R::Stop, kDialogUp, D::StopUnderDialogs, S::Stopping},
    {"stop during the question", S::Asking, R::Stop, kDialogUp, D::StopUnderDialogs,
     S::Stopping},
    {"stop while a close waits", S::CloseWaiting, R::Stop, kQuiet, D::Stop, S::Ended},
    // A close during the question is not lost, not even the session's end.
    {"close during the question", S::Asking, R::RunEnded, kDialogUp, D::Defer,
     S::AskingWhileCloseWaits},
    {"session's end during the question", S::Asking, R::Forced, kDialogUp, D::Defer,
     S::AskingWhileCloseWaits},
    {"question's own box gone", S::Asking, R::DialogsGone, kQuiet, D::Refuse, S::Asking},
    {"another box gone during the question", S::AskingWhileCloseWaits, R::DialogsGone, kQuiet,
     D::Defer, S::AskingWhileCloseWaits},
    // The close that waited asks once the dialogs are gone, and still waits
    // while another close asks.
    {"dialogs gone", S::CloseWaiting, R::DialogsGone, kQuiet, D::Ask, S::Asking},
    {"one dialog gone, another up", S::CloseWaiting, R::DialogsGone, kDialogUp, D::Defer,
     S::CloseWaiting},
    {"a second close while one waits", S::CloseWaiting, R::Requested, kQuiet, D::Ask,
     S::AskingWhileCloseWaits},
    // A stop under way finishes when the dialogs are gone, and nothing else
    // starts meanwhile.
    {"stop's dialogs gone", S::Stopping, R::DialogsGone, kQuiet, D::FinishStop, S::Ended},
    {"stop's dialogs still up", S::Stopping, R::DialogsGone, kDialogUp, D::Refuse, S::Stopping},
    {"close while stopping", S::Stopping, R::Requested, kQuiet, D::Refuse, S::Stopping},
    {"second stop", S::Stopping, R::Stop, kQuiet, D::Refuse, S::Stopping},
    // Once the teardown has begun nothing is done again.
    {"close after the teardown", S::Ended, R::Requested, kQuiet, D::Refuse, S::Ended},
    {"stop after the teardown", S::Ended, R::Stop, kQuiet, D::Refuse, S::Ended},
    {"dialogs gone after the teardown", S::Ended, R::DialogsGone, kQuiet, D::Refuse, S::Ended},
};

TEST(CloseDecisions, EachStateAndReasonDecidesOneStep) {
  for (const Row& row : kRows) {
    const CloseStep step = DecideClose(row.state, row.reason, row.now);
    EXPECT_EQ(step.decision, row.decision) << row.what;
    EXPECT_EQ(step.next, row.next) << row.what;
  }
}

struct AnswerRow {
  S state;
  QuitAnswer answer;
  D decision;
  S next;
};

TEST(CloseDecisions, TheQuitAnswerClosesOrGivesBackTheCloseThatWaited) {
  const AnswerRow rows[] = {
      {S::Asking, QuitAnswer::Ok, D::Close, S::Ended},
      {S::Asking, QuitAnswer::Cancel, D::Refuse, S::Open},
      {S::AskingWhileCloseWaits, QuitAnswer::Ok, D::Close, S::Ended},
      {S::AskingWhileCloseWaits, QuitAnswer::Cancel, D::Refuse, S::CloseWaiting},
      // A stop ended the question: the stop goes on, not a close.
      {S::Stopping, QuitAnswer::Cancel, D::Refuse, S::Stopping},
      {S::Stopping, QuitAnswer::Ok, D::Refuse, S::Stopping},
  };
  for (const AnswerRow& row : rows) {
    const CloseStep step = DecideQuitAnswer(row.state, row.answer);
    EXPECT_EQ(step.decision, row.decision) << static_cast<int>(row.state);
    EXPECT_EQ(step.next, row.next) << static_cast<int>(row.state);
  }
}

TEST(CloseDecisions, APostedCloseCarriesItsReasonInItsParameter) {
  EXPECT_EQ(CloseReasonOfPost(plat::kCloseRequested), R::Requested);
  EXPECT_EQ(CloseReasonOfPost(plat::kCloseRunEnded), R::RunEnded);
  EXPECT_EQ(CloseReasonOfPost(plat::kCloseFaultUnanswered), R::FaultUnanswered);
  EXPECT_EQ(CloseReasonOfPost(7), R::Requested);
}

class CloseControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetShell();
    SpoolerLock lock;
    g_bQueueMode = 0;
    g_bPrinting = 0;
  }
  void TearDown() override {
    ResetShell();
    SpoolerLock lock;
    g_bPrinting = 0;
  }
};

// The spooler's own close marks "closing" for the driver at its last look;
// deferred, it takes the mark back until it is tried again.
TEST_F(CloseControllerTest, ASelfCloseThatWaitsLetsTheDriverBeAnsweredYes) {
  EXPECT_EQ(RequestClose(R::RunEnded, kDialogUp), D::Defer);
  EXPECT_FALSE(IsClosing());
  EXPECT_EQ(CurrentCloseState(), S::CloseWaiting);
  EXPECT_EQ(RequestClose(R::DialogsGone), D::Ask);
  EXPECT_EQ(CurrentCloseState(), S::Asking);
}

TEST_F(CloseControllerTest, ASelfCloseKeepsItsMarkThroughTheQuestionAndCancelTakesItBack) {
  kt::ScriptedMessageBoxes boxes;
  {
    SpoolerLock lock;
    g_bPrinting = 1;  // the question is put
  }
  EXPECT_EQ(RequestClose(R::RunEnded), D::Ask);
  EXPECT_TRUE(IsClosing());
  // Another close during the question leaves the mark alone.
  EXPECT_EQ(RequestClose(R::Requested, kDialogUp), D::Defer);
  EXPECT_TRUE(IsClosing());
  boxes.Answer(IDCANCEL);
  EXPECT_EQ(AskQuitQuestion(), D::Refuse);
  EXPECT_FALSE(IsClosing());
  EXPECT_EQ(CurrentCloseState(), S::CloseWaiting);
  boxes.Answer(IDOK);
  EXPECT_EQ(RequestClose(R::DialogsGone), D::Ask);
  EXPECT_EQ(AskQuitQuestion(), D::Close);
  EXPECT_EQ(boxes.count(), 2u);
  EXPECT_EQ(CurrentCloseState(), S::Ended);
  ResetShell();
  EXPECT_EQ(CurrentCloseState(), S::Open);
}

}  // namespace
