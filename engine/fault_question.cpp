// The spooler's questions: each kind's box (the words and buttons the user
// has always seen) and what may be answered with nobody there, and the one
// way they are put to the front end.
// Builders and rules: any thread. AskFaultQuestion: any thread; it takes
// g_csSpooler only to read the sink, never while the question is up.
#include "engine/fault_question.h"

#include <utility>

#include "app/state/job_record.h"
#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/message_box.h"
#include "res/string_ids.h"
#include "res/string_table.h"

namespace {

// The front end's answerer of questions; nullptr: message boxes. Protected
// by g_csSpooler.
FaultQuestionSink* g_pFaultQuestionSink = nullptr;

constexpr UINT kErrorLook = MB_ICONERROR | MB_SETFOREGROUND;
constexpr UINT kWarningLook = MB_ICONWARNING | MB_SETFOREGROUND;
constexpr const char* kQuitText =
    "Do you really want to quit?\r\nAll print jobs will stop and will be lost.";
constexpr const char* kQuitCaption = "WARNING";

FaultQuestion Make(QuestionKind kind, std::string caption, std::string text, UINT style) {
  FaultQuestion question;
  question.kind = kind;
  question.caption = std::move(caption);
  question.text = std::move(text);
  question.style = style;
  return question;
}

FaultQuestion RunFailure(QuestionKind kind, std::string text, UINT buttons) {
  return Make(kind, kSpoolerErrorCaption, std::move(text), buttons | kErrorLook);
}

FaultQuestion JobNotice(QuestionKind kind, std::string text) {
  return Make(kind, kSpoolerErrorCaption, std::move(text), MB_OK | kWarningLook);
}

}  // namespace

UnattendedRule UnattendedRuleOf(QuestionKind kind) {
  switch (kind) {
    case QuestionKind::PortNotReady:
    case QuestionKind::PortOutOfPaper:
    case QuestionKind::PortIoError:
    case QuestionKind::PortNotAccepting:
    case QuestionKind::PortUnknownFault:
      return UnattendedRule::TryAgainAfterWait;
    case QuestionKind::Quit:
      return UnattendedRule::Confirm;
    case QuestionKind::SpoolFileOpenFailed:
    case QuestionKind::PortOpenFailed:
    case QuestionKind::SpoolFileReadFailed:
    case QuestionKind::SpoolFilesLeftOut:
    case QuestionKind::RelativeSpoolPath:
    case QuestionKind::JobSetAside:
    case QuestionKind::PrinterReport:
      break;
  }
  return UnattendedRule::NoAnswer;
}

FaultQuestion PortFaultQuestion(std::int32_t code, bool queueMode) {
  QuestionKind kind = QuestionKind::PortUnknownFault;
  UINT buttons = MB_RETRYCANCEL;
  UINT textId = 0;
  switch (code) {
    case ERROR_NOT_READY:
      kind = QuestionKind::PortNotReady;
      textId = queueMode ? IDS_PORT_NOT_SELECTED_QUEUE : IDS_PORT_NOT_SELECTED;
      if (queueMode) buttons = MB_ABORTRETRYIGNORE;
      break;
    case ERROR_OUT_OF_PAPER:
      kind = QuestionKind::PortOutOfPaper;
      textId = IDS_PORT_OUT_OF_PAPER;  // Retry and Cancel in both modes
      break;
    case ERROR_IO_DEVICE:
      kind = QuestionKind::PortIoError;
      textId = queueMode ? IDS_PORT_IO_ERROR_QUEUE : IDS_PORT_IO_ERROR;
      if (queueMode) buttons = MB_ABORTRETRYIGNORE;
      break;
    case ERROR_COUNTER_TIMEOUT:
      kind = QuestionKind::PortNotAccepting;
      textId = queueMode ? IDS_PORT_NOT_ACCEPTING_QUEUE : IDS_PORT_NOT_ACCEPTING;
      if (queueMode) buttons = MB_ABORTRETRYIGNORE;
      break;
    default:
      break;
  }
  FaultQuestion question =
      Make(kind, LoadResString(IDS_CAPTION_PORT_ERROR, kCaptionLoadMax),
           textId != 0 ? LoadResString(textId, kPromptLoadMax) : std::string("Unknown Printer Error"),
           buttons | kErrorLook);
  // Ignore goes on where the job stopped; the Retry of a queue's fault would
  // start the job over and print its beginning twice.
  question.tryAgain = buttons == MB_ABORTRETRYIGNORE ? IDIGNORE : IDRETRY;
  return question;
}

FaultQuestion SpoolFileOpenFailedQuestion() {
  return RunFailure(QuestionKind::SpoolFileOpenFailed, "Could not open spool file.", MB_OK);
}

FaultQuestion PortOpenFailedQuestion(std::int32_t errorCode) {
  return RunFailure(QuestionKind::PortOpenFailed,
                    "Could not get handle to port. Spooler Error # " + std::to_string(errorCode),
                    MB_OK);
}

FaultQuestion SpoolFileReadFailedQuestion(DWORD errorCode) {
  return RunFailure(QuestionKind::SpoolFileReadFailed,
                    "Spooler Error # " + std::to_string(errorCode) + " in reading spool file",
                    MB_RETRYCANCEL);
}

FaultQuestion SpoolFilesLeftOutNotice(const std::string& jobName, unsigned ignored) {
  return JobNotice(QuestionKind::SpoolFilesLeftOut,
                   "The job \"" + jobName + "\" names more than " +
                       std::to_string(kMaxSpoolFiles) + " spool files; only the first " +
                       std::to_string(kMaxSpoolFiles) + " are printed and " +
                       std::to_string(ignored) + " are left out (and kept).");
}

FaultQuestion RelativeSpoolPathNotice(const std::string& jobName) {
  return JobNotice(QuestionKind::RelativeSpoolPath,
                   "The job \"" + jobName +
                       "\" names a spool file without its full path; the spooler "
                       "opens spool files only by their full path.");
}

FaultQuestion JobSetAsideNotice(const std::string& jobName) {
  return JobNotice(QuestionKind::JobSetAside,
                   "The job \"" + jobName +
                       "\" cannot be printed: a spool file of it is missing or cannot "
                       "be read. It was removed from the queue; the jobs behind it go on.");
}

FaultQuestion PrinterReportNotice(const std::string& caption, const std::string& text,
                                  UINT style) {
  return Make(QuestionKind::PrinterReport, caption, text, style);
}

FaultQuestion QuitQuestion() {
  return Make(QuestionKind::Quit, kQuitCaption, kQuitText, MB_OKCANCEL | MB_SETFOREGROUND);
}

FaultQuestionSink* SetFaultQuestionSink(FaultQuestionSink* sink) {
  SpoolerLock lock;
  FaultQuestionSink* previous = g_pFaultQuestionSink;
  g_pFaultQuestionSink = sink;
  return previous;
}

int AskFaultQuestion(HWND owner, const FaultQuestion& question) {
  FaultQuestionSink* sink = nullptr;
  {
    SpoolerLock lock;
    sink = g_pFaultQuestionSink;
  }
  if (sink) return sink->Ask(owner, question);
  return plat::MessageBox(owner, question.text, question.caption, question.style);
}
