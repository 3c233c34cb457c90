// The print job runner: the body of the print thread. One run takes jobs one
// after another (queue mode) or the hand-opened file (manual mode), sends
// them to the port in 2048-byte blocks, handles faults through the prompts,
// honours the stop and pause requests and decides whether the program
// closes itself at the end.
// Print thread only.
#pragma once

#include <cstdint>

#include "engine/spooler_outcomes.h"
#include "platform/win_types.h"

inline constexpr BYTE JOB_PREFIX[6] = {0x1B, 0x00, 0x04, 0x45, 0x00, 0x00};
inline constexpr DWORD kBlockSize = 2048;
inline constexpr DWORD kStallDelayMs = 1250;

// The run's exit codes, as tests and the benchmark compare them
// (LastPrintRunExitCode): the values of RunOutcome.
inline constexpr DWORD kExitNormal = RunExitCode(RunOutcome::Completed);
inline constexpr DWORD kExitStopped = RunExitCode(RunOutcome::Stopped);
inline constexpr DWORD kExitSpoolOpen = RunExitCode(RunOutcome::SpoolOpenFailed);
inline constexpr DWORD kExitPortOpen = RunExitCode(RunOutcome::PortOpenFailed);
inline constexpr DWORD kExitSpoolRead = RunExitCode(RunOutcome::SpoolReadFailed);
inline constexpr DWORD kExitPortFault = RunExitCode(RunOutcome::PortFault);
inline constexpr DWORD kExitOutOfPaper = RunExitCode(RunOutcome::OutOfPaper);
inline constexpr DWORD kExitQueueKept = RunExitCode(RunOutcome::QueueKept);

// One run, from the first job taken to the run's end; returns how it ended.
RunOutcome RunPrintJobs();
