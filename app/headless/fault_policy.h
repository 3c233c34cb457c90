// What kelvane-headless answers when nobody is there to answer a box:
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

#include "platform/win_types.h"
#include "res/string_table.h"

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

// The caption of the runner's own failure boxes. Their Retry (a spool file
// that cannot be read) skips the rest of the file, so no policy gives it.
inline constexpr const char* kRunnerFailureCaption = kSpoolerErrorCaption;

// The button a policy gives a box of `style` and `caption` when nobody
// answers it, or 0 for no answer. Ask answers as Keep (it is asked only when
// nobody is there).
//   Keep:  0 for every box, except the quit question (OK/Cancel), which
//          only a close that was asked for brings up: OK.
//   Retry: Retry on the port's Retry/Cancel questions (out of paper,
//          manual-mode port faults), Ignore on Abort/Retry/Ignore questions
//          (continues the job where it stopped; Retry would print its start
//          twice), OK on the quit question, 0 on the rest (the runner's
//          failure boxes and information boxes).
int PolicyAnswer(FaultPolicyKind kind, UINT style, const std::string& caption);

// Whether the policy's answer to a box of `style` is given only after the
// retry time-out (so an answer can never repeat faster than that).
bool PolicyAnswerWaits(FaultPolicyKind kind, UINT style);

// "ask", "keep", "retry=30".
std::string FaultPolicyName(const FaultPolicy& policy);

}  // namespace headless
