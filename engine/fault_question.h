// The questions the spooler puts to whoever runs it: a port fault while a
// job is written, a failure of the run, a notice about a job, a printer's
// report, and the quit while a job prints. Each is a FaultQuestion: what
// happened (its kind), the box that says it (caption, text, buttons, look,
// produced here and nowhere else) and what a front end with nobody at it
// may answer. The engine and the shell ask through AskFaultQuestion; a front
// end that answers by policy installs a FaultQuestionSink and decides on the
// kind, any other one sees an ordinary message box (plat::MessageBox).
// Builders and rules: pure, any thread. AskFaultQuestion: any thread, blocks
// until the question is answered; never called with g_csSpooler held.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"

enum class QuestionKind : std::uint8_t {
  // A port fault while a job is written: Retry and Cancel, or in a queue
  // Abort, Retry and Ignore for the faults a person can mend at the printer.
  PortNotReady,
  PortOutOfPaper,
  PortIoError,
  PortNotAccepting,
  PortUnknownFault,
  // The run's own failures: OK (or Cancel) gives the job up; no answer keeps
  // the queue. The Retry of an unreadable spool file skips the rest of it.
  SpoolFileOpenFailed,
  PortOpenFailed,
  SpoolFileReadFailed,
  // Notices, OK alone: the answer changes nothing.
  SpoolFilesLeftOut,
  RelativeSpoolPath,
  JobSetAside,
  PrinterReport,
  // A close asked for while a job prints: OK quits and the job is lost.
  Quit,
};

// What may be answered to a question of a kind when nobody is there.
enum class UnattendedRule : std::uint8_t {
  // No answer (0): the run ends keeping the queue, a notice goes unread.
  NoAnswer,
  // The question's tryAgain answer, and only by a policy that retries, after
  // its wait: the job goes on where the printer left it.
  TryAgainAfterWait,
  // OK: only a close someone asked for raises it, and that request is the
  // answer.
  Confirm,
};

struct FaultQuestion {
  QuestionKind kind = QuestionKind::PrinterReport;
  std::string caption;
  std::string text;
  // The buttons (MB_OK, MB_RETRYCANCEL...: the answers allowed), the icon
  // and MB_SETFOREGROUND, as the box is shown.
  UINT style = 0;
  // The answer that goes on with the job (IDRETRY or IDIGNORE) for a kind
  // whose rule is TryAgainAfterWait; 0 for every other kind.
  int tryAgain = 0;
};

UnattendedRule UnattendedRuleOf(QuestionKind kind);

// The port fault `code` (ERROR_NOT_READY, ERROR_OUT_OF_PAPER,
// ERROR_IO_DEVICE, ERROR_COUNTER_TIMEOUT; anything else is unknown) in
// queue or manual mode.
FaultQuestion PortFaultQuestion(std::int32_t code, bool queueMode);
FaultQuestion SpoolFileOpenFailedQuestion();
FaultQuestion PortOpenFailedQuestion(std::int32_t errorCode);
FaultQuestion SpoolFileReadFailedQuestion(DWORD errorCode);
FaultQuestion SpoolFilesLeftOutNotice(const std::string& jobName, unsigned ignored);
FaultQuestion RelativeSpoolPathNotice(const std::string& jobName);
FaultQuestion JobSetAsideNotice(const std::string& jobName);
// A printer's own words; `style` carries its look (an error has the icon).
FaultQuestion PrinterReportNotice(const std::string& caption, const std::string& text,
                                  UINT style);
FaultQuestion QuitQuestion();

class FaultQuestionSink {
 public:
  virtual ~FaultQuestionSink() = default;
  // The button answered, or 0 for no answer.
  virtual int Ask(HWND owner, const FaultQuestion& question) = 0;
};

// Installs a sink and returns the one it replaces. Without one (nullptr, the
// default) a question is the message box of its caption, text and style.
FaultQuestionSink* SetFaultQuestionSink(FaultQuestionSink* sink);
int AskFaultQuestion(HWND owner, const FaultQuestion& question);

// Installs a sink for its lifetime and puts back the one before.
class ScopedFaultQuestionSink {
 public:
  explicit ScopedFaultQuestionSink(FaultQuestionSink* sink)
      : previous_(SetFaultQuestionSink(sink)) {}
  ~ScopedFaultQuestionSink() { SetFaultQuestionSink(previous_); }
  ScopedFaultQuestionSink(const ScopedFaultQuestionSink&) = delete;
  ScopedFaultQuestionSink& operator=(const ScopedFaultQuestionSink&) = delete;

 private:
  FaultQuestionSink* previous_;
};
