// Fault questions in the tests' own words, for suites that feed a front
// end's boxes directly. Any thread.
#pragma once

#include <string>

#include "engine/fault_question.h"
#include "platform/win_types.h"

namespace kt {

// A question of `kind` with the given text, caption and style; a kind that
// may be tried again carries the answer that goes on, as PortFaultQuestion
// sets it (Ignore in a queue's Abort/Retry/Ignore box, else Retry).
inline FaultQuestion Question(QuestionKind kind, const std::string& text,
                              const std::string& caption, UINT style) {
  FaultQuestion question;
  question.kind = kind;
  question.text = text;
  question.caption = caption;
  question.style = style;
  if (UnattendedRuleOf(kind) == UnattendedRule::TryAgainAfterWait)
    question.tryAgain = (style & MB_TYPEMASK) == MB_ABORTRETRYIGNORE ? IDIGNORE : IDRETRY;
  return question;
}

}  // namespace kt
