// The headless front end's fault policy: the --on-fault option, the answers
// each policy gives, and the console boxes that give them when nobody is
// there to answer (end of input, /dev/null) or a person answers.
// Test thread only; the time-out wait is replaced by a recording waiter.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/headless/fault_policy.h"
#include "app/headless/headless_loop.h"
#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "platform/message_box.h"
#include "platform/startup.h"
#include "tests/support/fault_questions.h"

namespace {

using headless::ConsoleMessageBoxes;
using headless::FaultPolicy;
using headless::FaultPolicyKind;

constexpr UINT kError = MB_ICONERROR | MB_SETFOREGROUND;
constexpr const char* kPortText = "Could not get handle to port. Spooler Error # 2";
constexpr const char* kPaperText =
    "The printer is reporting out of paper.  Check paper supply.";

using kt::Question;

FaultPolicy Policy(FaultPolicyKind kind, unsigned seconds = headless::kDefaultRetrySeconds) {
  FaultPolicy policy;
  policy.kind = kind;
  policy.retrySeconds = seconds;
  return policy;
}

// --- The option ----------------------------------------------------------------

TEST(FaultPolicyParse, NamesAndRetryTimeOuts) {
  FaultPolicy policy;
  ASSERT_TRUE(headless::ParseFaultPolicy("keep", policy));
  EXPECT_EQ(policy.kind, FaultPolicyKind::Keep);
  ASSERT_TRUE(headless::ParseFaultPolicy("ask", policy));
  EXPECT_EQ(policy.kind, FaultPolicyKind::Ask);
  ASSERT_TRUE(headless::ParseFaultPolicy("retry", policy));
  EXPECT_EQ(policy.kind, FaultPolicyKind::Retry);
  EXPECT_EQ(policy.retrySeconds, 30u);
  ASSERT_TRUE(headless::ParseFaultPolicy("retry=1", policy));
  EXPECT_EQ(policy.retrySeconds, 1u);
  ASSERT_TRUE(headless::ParseFaultPolicy("retry=86400", policy));
  EXPECT_EQ(policy.retrySeconds, 86400u);
  EXPECT_EQ(headless::FaultPolicyName(policy), "retry=86400");
}

TEST(FaultPolicyParse, RefusesWhatItDoesNotKnowAndLeavesThePolicyAlone) {
  FaultPolicy policy = Policy(FaultPolicyKind::Keep);
  // 0 would answer without a pause: the flood the time-out is there to stop.
  for (const char* bad : {"", "Keep", "retry=0", "retry=", "retry=x", "retry=-1",
                          "retry=86401", "retry=1s", "retry 5", "abort", "ignore"}) {
    EXPECT_FALSE(headless::ParseFaultPolicy(bad, policy)) << bad;
  }
  EXPECT_EQ(policy.kind, FaultPolicyKind::Keep);
}

TEST(FaultPolicyOption, IsTakenOutOfTheCommandLineInBothForms) {
  std::vector<std::string> args = {"kelvane-headless", "--on-fault", "retry=5", "-f", "q.txt"};
  FaultPolicy policy;
  std::string error;
  ASSERT_TRUE(headless::TakeFaultPolicyOption(args, policy, error)) << error;
  EXPECT_EQ(args, (std::vector<std::string>{"kelvane-headless", "-f", "q.txt"}));
  EXPECT_EQ(policy.kind, FaultPolicyKind::Retry);
  EXPECT_EQ(policy.retrySeconds, 5u);

  args = {"kelvane-headless", "-f", "q.txt", "--on-fault=keep"};
  policy = {};
  ASSERT_TRUE(headless::TakeFaultPolicyOption(args, policy, error)) << error;
  EXPECT_EQ(args, (std::vector<std::string>{"kelvane-headless", "-f", "q.txt"}));
  EXPECT_EQ(policy.kind, FaultPolicyKind::Keep);

  args = {"kelvane-headless", "-f", "q.txt"};
  policy = {};
  ASSERT_TRUE(headless::TakeFaultPolicyOption(args, policy, error));
  EXPECT_EQ(args.size(), 3u);
  EXPECT_EQ(policy.kind, FaultPolicyKind::Ask);
}

TEST(FaultPolicyOption, MissingBadOrRepeatedValuesFailTheStart) {
  FaultPolicy policy;
  std::string error;
  std::vector<std::string> args = {"kelvane-headless", "-f", "q.txt", "--on-fault"};
  EXPECT_FALSE(headless::TakeFaultPolicyOption(args, policy, error));
  EXPECT_NE(error.find("needs a value"), std::string::npos);
  args = {"kelvane-headless", "--on-fault=purge", "-f", "q.txt"};
  EXPECT_FALSE(headless::TakeFaultPolicyOption(args, policy, error));
  EXPECT_NE(error.find("purge"), std::string::npos);
  args = {"kelvane-headless", "--on-fault=keep", "--on-fault", "retry", "-f", "q.txt"};
  EXPECT_FALSE(headless::TakeFaultPolicyOption(args, policy, error));
  EXPECT_NE(error.find("twice"), std::string::npos);
}

// --- The answers ---------------------------------------------------------------

// Every question but the quit, as the spooler asks them.
std::vector<FaultQuestion> FaultQuestions() {
  std::vector<FaultQuestion> questions;
  for (std::int32_t code : {ERROR_NOT_READY, ERROR_OUT_OF_PAPER, ERROR_IO_DEVICE,
                            ERROR_COUNTER_TIMEOUT, 7777}) {
    questions.push_back(PortFaultQuestion(code, true));
    questions.push_back(PortFaultQuestion(code, false));
  }
  questions.push_back(SpoolFileOpenFailedQuestion());
  questions.push_back(PortOpenFailedQuestion(2));
  questions.push_back(SpoolFileReadFailedQuestion(5));
  questions.push_back(SpoolFilesLeftOutNotice("job", 1));
  questions.push_back(RelativeSpoolPathNotice("job"));
  questions.push_back(JobSetAsideNotice("job"));
  questions.push_back(PrinterReportNotice("Kelvane - Printer Error", "Paper jam",
                                          MB_OK | kError));
  return questions;
}

TEST(FaultPolicyAnswer, NoPolicyAnswersAFaultDestructively) {
  for (FaultPolicyKind kind :
       {FaultPolicyKind::Ask, FaultPolicyKind::Keep, FaultPolicyKind::Retry}) {
    for (const FaultQuestion& question : FaultQuestions()) {
      const int answer = headless::PolicyAnswer(kind, question);
      EXPECT_NE(answer, IDOK) << static_cast<int>(kind) << " " << question.text;
      EXPECT_NE(answer, IDABORT);
      EXPECT_NE(answer, IDCANCEL);
    }
  }
}

TEST(FaultPolicyAnswer, KeepGivesNoAnswerRetryRetriesOrIgnores) {
  const FaultQuestion paper = PortFaultQuestion(ERROR_OUT_OF_PAPER, true);
  const FaultQuestion notSelected = PortFaultQuestion(ERROR_NOT_READY, true);
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Keep, paper), 0);
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Keep, notSelected), 0);
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Ask, notSelected), 0);
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Retry, paper), IDRETRY);
  // Ignore goes on where the job stopped; Retry would print its start twice.
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Retry, notSelected), IDIGNORE);
  // The runner's failure boxes: no answer, so the run keeps the queue. The
  // Retry of an unreadable spool file would skip the rest of it.
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Retry, PortOpenFailedQuestion(2)), 0);
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Retry, SpoolFileReadFailedQuestion(5)), 0);
  // The quit question comes only from a close someone asked for.
  EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Keep, QuitQuestion()), IDOK);
  EXPECT_TRUE(headless::PolicyAnswerWaits(FaultPolicyKind::Retry, paper));
  EXPECT_TRUE(headless::PolicyAnswerWaits(FaultPolicyKind::Retry, notSelected));
  EXPECT_FALSE(headless::PolicyAnswerWaits(FaultPolicyKind::Retry, PortOpenFailedQuestion(2)));
  EXPECT_FALSE(headless::PolicyAnswerWaits(FaultPolicyKind::Keep, paper));
}

// Each kind's answer under each policy, decided on the kind alone: the same
// words and buttons under another kind get that kind's answer.
TEST(FaultPolicyAnswer, ByKindUnderEachPolicy) {
  struct Case {
    QuestionKind kind;
    int tryAgain;  // as the port fault questions carry it
    int ask, keep, retry;
    bool retryWaits;
  };
  const Case cases[] = {
      {QuestionKind::PortNotReady, IDIGNORE, 0, 0, IDIGNORE, true},
      {QuestionKind::PortOutOfPaper, IDRETRY, 0, 0, IDRETRY, true},
      {QuestionKind::PortIoError, IDRETRY, 0, 0, IDRETRY, true},
      {QuestionKind::PortNotAccepting, IDIGNORE, 0, 0, IDIGNORE, true},
      {QuestionKind::PortUnknownFault, IDRETRY, 0, 0, IDRETRY, true},
      {QuestionKind::SpoolFileOpenFailed, 0, 0, 0, 0, false},
      {QuestionKind::PortOpenFailed, 0, 0, 0, 0, false},
      {QuestionKind::SpoolFileReadFailed, 0, 0, 0, 0, false},
      {QuestionKind::SpoolFilesLeftOut, 0, 0, 0, 0, false},
      {QuestionKind::RelativeSpoolPath, 0, 0, 0, 0, false},
      {QuestionKind::JobSetAside, 0, 0, 0, 0, false},
      {QuestionKind::PrinterReport, 0, 0, 0, 0, false},
      {QuestionKind::Quit, 0, IDOK, IDOK, IDOK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    // One box for every kind: an OK/Cancel box is confirmed only as the quit.
    FaultQuestion question;
    question.kind = c.kind;
    question.caption = "WARNING";
    question.text = "text";
    question.style = MB_OKCANCEL | MB_SETFOREGROUND;
    question.tryAgain = c.tryAgain;
    EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Ask, question), c.ask);
    EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Keep, question), c.keep);
    EXPECT_EQ(headless::PolicyAnswer(FaultPolicyKind::Retry, question), c.retry);
    EXPECT_EQ(headless::PolicyAnswerWaits(FaultPolicyKind::Retry, question), c.retryWaits);
    EXPECT_FALSE(headless::PolicyAnswerWaits(FaultPolicyKind::Keep, question));
  }
}

// --- The console boxes ---------------------------------------------------------

class ConsoleBoxesTest : public ::testing::Test {
 protected:
  ConsoleMessageBoxes::Waiter Recording(bool result = true) {
    return [this, result](unsigned seconds) {
      waits_.push_back(seconds);
      return result;
    };
  }
  std::istringstream in_;
  std::ostringstream out_;
  std::vector<unsigned> waits_;
};

// The driver starts the spooler with standard input at its end: before,
// every box took its first button, and OK on "Could not get handle to port"
// or Abort on a port fault deleted the whole queue.
TEST_F(ConsoleBoxesTest, AtTheEndOfInputAskAnswersNothingAndSaysSo) {
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Ask), in_, out_, true, Recording());
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOpenFailed, kPortText, "Kelvane Error.", MB_OK | kError)), 0);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortNotReady, "not selected", "Kelvane Error", MB_ABORTRETRYIGNORE | kError)), 0);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)), 0);
  EXPECT_TRUE(waits_.empty());
  const std::string out = out_.str();
  EXPECT_NE(out.find("text: Could not get handle to port. Spooler Error # 2\n"),
            std::string::npos);
  EXPECT_NE(out.find("answered by policy: none\n"), std::string::npos);
  EXPECT_EQ(out.find("answered: ok"), std::string::npos);
  EXPECT_EQ(out.find("answered: abort"), std::string::npos);
}

// Only the spooler's questions get a policy's answer, on their kind: a box
// without one, OK/Cancel as the quit's, is confirmed by nobody.
TEST_F(ConsoleBoxesTest, APlainBoxGetsNoAnswerFromAnyPolicy) {
  for (FaultPolicyKind kind :
       {FaultPolicyKind::Ask, FaultPolicyKind::Keep, FaultPolicyKind::Retry}) {
    ConsoleMessageBoxes boxes(Policy(kind), in_, out_, false, Recording());
    EXPECT_EQ(boxes.Show(0, "Do you really want to quit?", "WARNING", MB_OKCANCEL), 0);
    EXPECT_EQ(boxes.Ask(0, QuitQuestion()), IDOK);
  }
  EXPECT_TRUE(waits_.empty());
}

TEST_F(ConsoleBoxesTest, WithNobodyAtTheOtherEndAskDoesNotReadAtAll) {
  in_.str("ok\n");  // a file of answers is nobody answering
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Ask), in_, out_, false, Recording());
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOpenFailed, kPortText, "Kelvane Error.", MB_OK | kError)), 0);
  EXPECT_EQ(out_.str().find("answer? "), std::string::npos);
}

TEST_F(ConsoleBoxesTest, APersonStillAnswersOnStandardInput) {
  in_.str("maybe\nABORT\n\n");
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Ask), in_, out_, true, Recording());
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortNotReady, "not selected", "Kelvane Error", MB_ABORTRETRYIGNORE | kError)),
            IDABORT);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOpenFailed, kPortText, "Kelvane Error.", MB_OK | kError)), IDOK);
  const std::string out = out_.str();
  EXPECT_NE(out.find("not a button of this box: maybe\n"), std::string::npos);
  EXPECT_NE(out.find("answered: abort\n"), std::string::npos);
  EXPECT_NE(out.find("answered: ok\n"), std::string::npos);
  EXPECT_EQ(out.find("by policy"), std::string::npos);
}

TEST_F(ConsoleBoxesTest, RetryWaitsItsTimeOutThenRetriesOrIgnores) {
  in_.str("retry\n");  // never read: the policy is not "ask"
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Retry, 7), in_, out_, true, Recording());
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)), IDRETRY);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortNotReady, "not selected", "Kelvane Error", MB_ABORTRETRYIGNORE | kError)),
            IDIGNORE);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOpenFailed, kPortText, "Kelvane Error.", MB_OK | kError)), 0);
  EXPECT_EQ(waits_, (std::vector<unsigned>{7, 7}));
  const std::string out = out_.str();
  EXPECT_NE(out.find("answered by policy: retry (after 7 s)\n"), std::string::npos);
  EXPECT_NE(out.find("answered by policy: ignore (after 7 s)\n"), std::string::npos);
  EXPECT_EQ(out.find("answer? "), std::string::npos);
}

// Records what had been flushed: a reader at the other end of a pipe sees
// only that.
class FlushRecordingBuffer : public std::stringbuf {
 public:
  std::string flushed;

 protected:
  int sync() override {
    flushed = str();
    return 0;
  }
};

TEST(ConsoleBoxesFlush, TheBoxIsOutBeforeThePolicyWaits) {
  std::istringstream in;
  FlushRecordingBuffer buffer;
  std::ostream out(&buffer);
  std::string seenDuringWait;
  ConsoleMessageBoxes boxes({FaultPolicyKind::Retry, 30}, in, out, false,
                            [&](unsigned) {
                              seenDuringWait = buffer.flushed;
                              return true;
                            });
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)), IDRETRY);
  // Before, it stayed in the buffer until the answer, 30 s later.
  EXPECT_NE(seenDuringWait.find("text: " + std::string(kPaperText) + "\nbuttons: retry cancel\n"),
            std::string::npos)
      << seenDuringWait;
}

TEST_F(ConsoleBoxesTest, AWaitCutShortByTheCloseKeepsTheQueue) {
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Retry, 30), in_, out_, false,
                            Recording(false));
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)), 0);
  EXPECT_NE(out_.str().find("answered by policy: none"), std::string::npos);
}

TEST_F(ConsoleBoxesTest, TheRealWaitEndsAtOnceWhenTheProgramIsClosing) {
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Retry, headless::kMaxRetrySeconds),
                            in_, out_, false, nullptr);
  boxes.SetClosing(true);
  EXPECT_EQ(boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)), 0);
}

// Paper out on a spooler nobody watches: the same box again and again must
// not write the box each time (the log grew 56 MB in 10 s), nor a line per
// try (95 KB a day at retry=30): the same answer is counted, and the count
// goes out as one line when something else is said.
TEST_F(ConsoleBoxesTest, TheSameBoxAnsweredAgainIsCountedInOneLine) {
  std::optional<ConsoleMessageBoxes> boxes;
  boxes.emplace(Policy(FaultPolicyKind::Retry, 1), in_, out_, false, Recording());
  boxes->Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError));
  const std::string first = out_.str();
  EXPECT_NE(first.find("answered by policy: retry (after 1 s)\n"), std::string::npos) << first;
  for (int i = 0; i < 100; ++i) boxes->Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError));
  EXPECT_EQ(out_.str(), first);
  EXPECT_EQ(waits_.size(), 101u);
  EXPECT_TRUE(boxes->LastBoxRepeated());
  // Another box is shown whole again, after the count.
  boxes->Ask(0, Question(QuestionKind::PortNotReady, "not selected", "Kelvane Error", MB_ABORTRETRYIGNORE | kError));
  const std::string rest = out_.str().substr(first.size());
  EXPECT_EQ(rest.find("answered by policy again, 100 times: retry (after 1 s)\n--- message box"),
            0u)
      << rest;
  EXPECT_FALSE(boxes->LastBoxRepeated());
  // A count still held when the boxes end is not lost.
  boxes->Ask(0, Question(QuestionKind::PortNotReady, "not selected", "Kelvane Error", MB_ABORTRETRYIGNORE | kError));
  const std::size_t before = out_.str().size();
  boxes.reset();
  EXPECT_EQ(out_.str().substr(before), "answered by policy again, 1 time: ignore (after 1 s)\n");
}

// --- What the printer keeps us waiting for -----------------------------------

class PrinterStateLinesTest : public ConsoleBoxesTest {
 protected:
  static constexpr HWND kMain = 321;
  void PostWait(PrinterWait wait, bool moved) {
    EXPECT_TRUE(loop_.Post(kMain, WM_SPOOLER_PRINTERWAIT, static_cast<WPARAM>(wait),
                           moved ? 1 : 0));
  }
  ConsoleMessageBoxes boxes_{Policy(FaultPolicyKind::Keep), in_, out_, false, Recording()};
  headless::HeadlessLoop loop_{kMain, &boxes_};
};

TEST_F(PrinterStateLinesTest, OneLinePerChangeAndPrintingOnlyWhenDataMovesAgain) {
  PostWait(PrinterWait::OutOfPaper, true);
  PostWait(PrinterWait::OutOfPaper, true);  // the same wait again says nothing
  PostWait(PrinterWait::None, true);
  PostWait(PrinterWait::None, true);
  PostWait(PrinterWait::NotSelected, true);
  PostWait(PrinterWait::None, false);  // the time-out ended it: a box follows
  PostWait(PrinterWait::NotAccepting, true);
  PostWait(PrinterWait::Stalled, true);
  PostWait(PrinterWait::None, true);
  EXPECT_EQ(out_.str(),
            "state: out of paper\n"
            "state: printing\n"
            "state: not selected\n"
            "state: not accepting data\n"
            "state: stalled\n"
            "state: printing\n");
}

TEST_F(PrinterStateLinesTest, ALineIsNotHeldUpByABoxThatWaitsForItsAnswer) {
  // A box on another thread waits out its retry time-out; the state line
  // must come out at once and whole, not after the answer.
  std::mutex mutex;
  std::condition_variable cv;
  bool waiting = false;
  bool release = false;
  ConsoleMessageBoxes boxes(Policy(FaultPolicyKind::Retry, 5), in_, out_, false,
                            [&](unsigned) {
                              std::unique_lock<std::mutex> lock(mutex);
                              waiting = true;
                              cv.notify_all();
                              cv.wait(lock, [&] { return release; });
                              return true;
                            });
  headless::HeadlessLoop loop(kMain, &boxes);
  std::thread box([&] { boxes.Ask(0, Question(QuestionKind::PortOutOfPaper, kPaperText, "Kelvane Error", MB_RETRYCANCEL | kError)); });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return waiting; });
  }
  loop.Post(kMain, WM_SPOOLER_PRINTERWAIT, static_cast<WPARAM>(PrinterWait::NotSelected), 1);
  const std::string before = out_.str();
  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  cv.notify_all();
  box.join();
  EXPECT_NE(before.find("buttons: retry cancel\nstate: not selected\n"), std::string::npos)
      << before;
  EXPECT_NE(out_.str().find("state: not selected\nanswered by policy: retry"),
            std::string::npos);
}

// --- The main window's own timer ---------------------------------------------

// Records what the loop asks of the main window's timer.
class FakeWindowTimer final : public plat::MainWindowTimer {
 public:
  explicit FakeWindowTimer(bool works) : works_(works) {}
  bool Set(DWORD intervalMs) override {
    sets.push_back(intervalMs);
    return works_;
  }
  void Kill() override { ++kills; }
  std::vector<DWORD> sets;
  int kills = 0;

 private:
  bool works_;
};

TEST(HeadlessTimer, TheMainWindowsTimerIsSetAndKilledWhereThereIsOne) {
  FakeWindowTimer timer(true);
  headless::HeadlessLoop loop(321, nullptr, &timer);
  EXPECT_EQ(loop.SetTimer(1234), 1u);
  EXPECT_EQ(timer.sets, std::vector<DWORD>{app::SchedulerIntervalFromEnvironment(1234)});
  loop.KillTimer(1);
  EXPECT_EQ(timer.kills, 1);
}

TEST(HeadlessTimer, ATimerThatCannotBeSetLeavesTheLoopToKeepTimeItself) {
  FakeWindowTimer timer(false);
  headless::HeadlessLoop loop(321, nullptr, &timer);
  EXPECT_EQ(loop.SetTimer(1234), 1u);  // the loop's own clock ticks instead
  EXPECT_EQ(timer.sets.size(), 1u);
  loop.KillTimer(1);
  EXPECT_EQ(timer.kills, 0);
}

}  // namespace
