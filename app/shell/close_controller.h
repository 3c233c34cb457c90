// The close controller: the one place that decides what becomes of a request
// to close or stop the spooler. Both front ends (the desktop frame and
// kelvane-headless) hand it every close they receive, with the reason, and
// only act on its decision: put the quit question, wait, tear down, or do
// nothing. What the decision depends on is named here as types; the answer
// to the driver's "will you print?" during a close (BeginSelfClose,
// CancelClose in shell.h) is kept by the controller too.
// DecideClose and DecideQuitAnswer are pure (any thread); the rest: main
// thread only (the thread that runs the windows), like the shell.
#pragma once

#include "platform/win_types.h"

// Why a close or stop was asked for.
enum class CloseReason {
  Requested,        // File/Exit, the close box, a WM_CLOSE posted with kCloseRequested
  RunEnded,         // WM_CLOSE kCloseRunEnded: the queue run is over, or idle too long
  FaultUnanswered,  // WM_CLOSE kCloseFaultUnanswered: a fault nobody answered, queue kept
  Forced,           // a close the toolkit does not let us refuse (the session's end)
  Stop,             // WM_SPOOLER_STOP: a signal or the console; queue kept, no question
  DialogsGone,      // the last dialog has gone: a close or stop that waited goes on
};

// Where the main window is in its close.
enum class CloseState {
  Open,                   // no close under way
  Asking,                 // the quit question is up
  AskingWhileCloseWaits,  // the quit question is up, and another close waits for it
  CloseWaiting,           // a close waits for the dialogs to go
  Stopping,               // a stop waits for the dialogs to unwind
  Ended,                  // the teardown has begun: nothing more is done
};

// What the front end does about a request.
enum class CloseDecision {
  Refuse,            // nothing: already going, cancelled, or the last look found work
  Ask,               // put the quit question (AskQuitQuestion) and act on its answer
  Defer,             // a dialog is up: refuse for now; tried again at DialogsGone
  Close,             // tear down now: the document close, queue purged
  Stop,              // tear down now, the queue kept (StopKeepingQueue)
  StopUnderDialogs,  // tell the run to stop and end the dialogs; FinishStop follows
  FinishStop,        // the teardown of a stop that waited for the dialogs
  RetryLater,        // stay: the fault's job is taken again after the retry time-out
};

// Whether a dialog of ours runs a modal loop (the desktop's boxes, File/Open,
// About); the main window cannot go under it.
enum class Dialogs { None, Open };

// What a fault nobody answered leads to under the front end's fault policy.
enum class UnansweredFault { Closes, Retries };

// The last look at the queue file before the spooler's own close (filled in
// by RequestClose for CloseReason::RunEnded).
enum class LastLook { Empty, FoundWork };

// The answer to the quit question.
enum class QuitAnswer { Ok, Cancel };

struct CloseCircumstances {
  Dialogs dialogs = Dialogs::None;
  UnansweredFault unansweredFault = UnansweredFault::Closes;
  LastLook lastLook = LastLook::Empty;
};

struct CloseStep {
  CloseDecision decision;
  CloseState next;
};

// The decision for a request in a state, and the state it leaves.
CloseStep DecideClose(CloseState state, CloseReason reason, const CloseCircumstances& now);
// The decision once the quit question is answered.
CloseStep DecideQuitAnswer(CloseState state, QuitAnswer answer);

// Takes a request: for RunEnded the last look at the queue first
// (BeginSelfClose, which may start a run instead); then the decision, which
// moves the controller on. A close of ours that is refused or deferred lets
// the driver be answered "yes" again.
CloseDecision RequestClose(CloseReason reason, CloseCircumstances now = {});
// Puts the quit question (ConfirmQuit: asked only while something prints)
// and moves the controller on by its answer: Close, or Refuse after Cancel
// (the driver is answered "yes" again).
CloseDecision AskQuitQuestion();

// Maps a posted WM_CLOSE's wParam (plat::kCloseRequested...) to its reason.
CloseReason CloseReasonOfPost(WPARAM wParam);

CloseState CurrentCloseState();
// Back to Open: a document start, and tests (ResetShell).
void ResetCloseController();
