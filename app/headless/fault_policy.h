// What kelvane-headless answers when nobody is there to answer a question:
// --on-fault ask|retry[=SECONDS]|keep. A box nobody answered returns 0, as
// a box that could not be shown does; the runner takes 0 on a fault question
// or failure box as "end the run and keep the queue" (nothing purged, the
// queue marker not left "Processing"). Whether the program then closes
// (keep) or stays for the scheduler to try again (retry) is the front end's
// choice.
// Pure functions; any thread.
#pragma once

#include <string>
#include <vector>

#include "engine/fault_question.h"
#include "platform/win_types.h"

namespace headless {

enum class FaultPolicyKind {
  Ask,    // a person answers on standard input; nobody there: as Keep
  Retry,  // wait, then Retry (out of paper) or Ignore (port faults in a queue)
  Keep,   // no answer: the run ends, the queue is kept, the program closes
};

inline constexpr unsigned kDefaultRetrySeconds = 30;
inline constexpr unsigned kMaxRetrySeconds = 86400;

struct FaultPolicy {
  FaultPolicyKind kind = FaultPolicyKind::Ask;
  unsigned retrySeconds = kDefaultRetrySeconds;
};

// "ask", "keep", "retry" or "retry=SECONDS" (1 to 86400). False for
// anything else; `policy` is then unchanged.
bool ParseFaultPolicy(const std::string& text, FaultPolicy& policy);

// Takes "--on-fault VALUE" / "--on-fault=VALUE" out of the argument vector
// (argv[0] stays first), leaving the spooler's own arguments in order. False
// with `error` set for a missing or bad value or a second --on-fault.
bool TakeFaultPolicyOption(std::vector<std::string>& args, FaultPolicy& policy,
                           std::string& error);

// The button a policy gives a question when nobody answers it, or 0 for
// no answer; decided on the question's kind (its UnattendedRule), never on
// its words or buttons. Ask answers as Keep (it is asked only when nobody
// is there).
//   Keep:  0 for every question, except the quit (asked only for a close
//          that was asked for): OK.
//   Retry: the question's tryAgain answer on a port fault, after the retry
//          time-out (Retry on Retry/Cancel; Ignore on Abort/Retry/Ignore,
//          which continues the job where it stopped: Retry would print its
//          start twice), OK on the quit, 0 on the rest (the run's failures,
//          whose Retry of an unreadable spool file would skip the rest of
//          it, and the notices).
int PolicyAnswer(FaultPolicyKind kind, const FaultQuestion& question);

// Whether the policy's answer to `question` is given only after the retry
// time-out (so an answer can never repeat faster than that).
bool PolicyAnswerWaits(FaultPolicyKind kind, const FaultQuestion& question);

// "ask", "keep", "retry=30".
std::string FaultPolicyName(const FaultPolicy& policy);

}  // namespace headless
