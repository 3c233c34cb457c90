// The close controller (see close_controller.h): the decision tables and the
// main window's close state. DecideClose and DecideQuitAnswer: any thread;
// the rest: main thread only.
#include "app/shell/close_controller.h"

#include "app/shell/shell.h"
#include "platform/window_messages.h"

namespace {

// The main window's close state. Main thread only: every request and every
// answer is taken there, so no lock is needed.
CloseState g_closeState = CloseState::Open;

// A close (not a stop) in a state where nothing else is under way: asked
// for now, or after the dialogs that are up.
CloseStep AskOrDefer(CloseState state, CloseReason reason, const CloseCircumstances& now) {
  if (reason == CloseReason::Forced) return {CloseDecision::Close, CloseState::Ended};
  if (now.dialogs == Dialogs::Open) {
    // A prompt the print thread waits for may be up: tearing the window down
    // under it would strand its answer.
    return {CloseDecision::Defer, CloseState::CloseWaiting};
  }
  // A close that was waiting still waits while this one asks: Cancel refuses
  // only the close that asked.
  return {CloseDecision::Ask, state == CloseState::CloseWaiting
                                  ? CloseState::AskingWhileCloseWaits
                                  : CloseState::Asking};
}

// A close of ours marks the driver's answer "closing" (the self close's last
// look does): one that does not go on takes the mark back.
bool TakesMarkBack(CloseReason reason, CloseDecision decision) {
  return reason == CloseReason::RunEnded &&
         (decision == CloseDecision::Refuse || decision == CloseDecision::Defer);
}

}  // namespace

CloseStep DecideClose(CloseState state, CloseReason reason, const CloseCircumstances& now) {
  if (state == CloseState::Ended) return {CloseDecision::Refuse, state};

  if (reason == CloseReason::Stop) {
    if (state == CloseState::Stopping) return {CloseDecision::Refuse, state};
    // Nobody is there to answer the quit question; a question that is up is
    // ended with the dialogs.
    if (now.dialogs == Dialogs::Open) return {CloseDecision::StopUnderDialogs, CloseState::Stopping};
    return {CloseDecision::Stop, CloseState::Ended};
  }

  if (reason == CloseReason::DialogsGone) {
    switch (state) {
      case CloseState::Stopping:
        if (now.dialogs == Dialogs::Open) return {CloseDecision::Refuse, state};
        return {CloseDecision::FinishStop, CloseState::Ended};
      case CloseState::CloseWaiting:
        // The close that waited is the one that asks now.
        return AskOrDefer(CloseState::Open, reason, now);
      case CloseState::AskingWhileCloseWaits:
        return {CloseDecision::Defer, state};
      default:
        return {CloseDecision::Refuse, state};
    }
  }

  // A close: Requested, RunEnded, FaultUnanswered or Forced.
  if (state == CloseState::Stopping) return {CloseDecision::Refuse, state};
  if (reason == CloseReason::FaultUnanswered &&
      now.unansweredFault == UnansweredFault::Retries)
    return {CloseDecision::RetryLater, state};
  if (reason == CloseReason::RunEnded && now.lastLook == LastLook::FoundWork)
    return {CloseDecision::Refuse, state};
  switch (state) {
    case CloseState::Asking:
    case CloseState::AskingWhileCloseWaits:
      // Not lost: tried again once the question is answered.
      return {CloseDecision::Defer, CloseState::AskingWhileCloseWaits};
    default:
      return AskOrDefer(state, reason, now);
  }
}

CloseStep DecideQuitAnswer(CloseState state, QuitAnswer answer) {
  switch (state) {
    case CloseState::Asking:
      if (answer == QuitAnswer::Ok) return {CloseDecision::Close, CloseState::Ended};
      return {CloseDecision::Refuse, CloseState::Open};
    case CloseState::AskingWhileCloseWaits:
      if (answer == QuitAnswer::Ok) return {CloseDecision::Close, CloseState::Ended};
      // The close that waited goes on when the question's box has gone.
      return {CloseDecision::Refuse, CloseState::CloseWaiting};
    default:
      // A stop that came meanwhile ended the question; it goes on.
      return {CloseDecision::Refuse, state};
  }
}

CloseDecision RequestClose(CloseReason reason, CloseCircumstances now) {
  if (reason == CloseReason::RunEnded) {
    // The last look comes first, whatever the state: a record the driver was
    // promised is printed rather than left behind.
    now.lastLook = BeginSelfClose() ? LastLook::Empty : LastLook::FoundWork;
  }
  const CloseStep step = DecideClose(g_closeState, reason, now);
  g_closeState = step.next;
  if (TakesMarkBack(reason, step.decision)) CancelClose();
  return step.decision;
}

CloseDecision AskQuitQuestion() {
  const QuitAnswer answer = ConfirmQuit() ? QuitAnswer::Ok : QuitAnswer::Cancel;
  const CloseStep step = DecideQuitAnswer(g_closeState, answer);
  g_closeState = step.next;
  // We go on, and answer the driver "yes" again.
  if (answer == QuitAnswer::Cancel) CancelClose();
  return step.decision;
}

CloseReason CloseReasonOfPost(WPARAM wParam) {
  if (wParam == plat::kCloseRunEnded) return CloseReason::RunEnded;
  if (wParam == plat::kCloseFaultUnanswered) return CloseReason::FaultUnanswered;
  return CloseReason::Requested;
}

CloseState CurrentCloseState() { return g_closeState; }

void ResetCloseController() { g_closeState = CloseState::Open; }
