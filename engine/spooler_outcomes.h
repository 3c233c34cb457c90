// How things end, typed, and the one table of the exit codes that say it:
// the end of a print run (what the runner returns), and the end of a spooler
// process as its exit code tells whoever started it: the headless spooler
// exits with it, the driver and the print service's backend read it.
// Plain constants and pure functions; any thread.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

// ---- A print run ----------------------------------------------------------

// How one run of the print thread ended. The values are the run's exit
// codes (LastPrintRunExitCode).
enum class RunOutcome : DWORD {
  Completed = 0,        // no further job: the run closed normally
  Stopped = 1,          // Cancel Print in manual mode, or the program ends
  SpoolOpenFailed = 2,  // a spool file could not be opened
  PortOpenFailed = 3,   // the port could not be opened
  SpoolReadFailed = 4,  // a spool file could not be read
  PortFault = 5,        // a port fault given up or left unanswered
  OutOfPaper = 6,       // out of paper, given up or left unanswered
  // The head record could not be removed from the queue file (or the file
  // cannot be written at all): the run ended with the queue left as it was.
  QueueKept = 7,
  // The runner itself failed unexpectedly: none of its own ends.
  InternalFault = 0xFFFFFFFFu,
};

constexpr DWORD RunExitCode(RunOutcome outcome) { return static_cast<DWORD>(outcome); }

// ---- A spooler process ------------------------------------------------------

// How a spooler process ended.
enum class SpoolerEnd : std::uint8_t {
  // A normal close, or another spooler runs (it prints the queue).
  Closed,
  // The start failed: a bad command line, or a home whose files are unsafe
  // or unreadable (the reason is on standard error).
  StartFailed,
  // A normal close, but a job that could never print (a spool file missing
  // or unreadable) was set aside unprinted with nobody there to answer for
  // it.
  JobsSetAside,
  // Killed by a signal, or an exit code of none of the above.
  Abnormal,
};

// The print service's backend's exit codes.
inline constexpr int kBackendOk = 0;      // the job printed
inline constexpr int kBackendFailed = 1;  // the job failed: the queue's error policy decides
inline constexpr int kBackendStop = 4;    // the queue is wrongly set up: stop it, keep the job
inline constexpr int kBackendCancel = 5;  // the job can never print: cancel it
inline constexpr int kBackendRetry = 6;   // try the job again later

// What one end of the spooler is to each program that deals in it.
struct SpoolerEndCodes {
  SpoolerEnd end;
  // kelvane-headless's exit code; -1 for an end it never exits with.
  int spoolerExit;
  // The driver that started the spooler counts it as having taken the queue
  // and closed (anything else is a start that failed).
  bool driverTakesAsClosed;
  // The backend's exit code while its job is still in the queue file, and
  // once the job has left it.
  int backendJobQueued;
  int backendJobGone;
};

inline constexpr SpoolerEndCodes kSpoolerEndCodes[] = {
    {SpoolerEnd::Closed, 0, true, kBackendRetry, kBackendOk},
    {SpoolerEnd::StartFailed, 2, false, kBackendStop, kBackendOk},
    // The backend's queue file holds one job: the one set aside was its own.
    {SpoolerEnd::JobsSetAside, 3, true, kBackendCancel, kBackendCancel},
    {SpoolerEnd::Abnormal, -1, false, kBackendFailed, kBackendOk},
};

constexpr const SpoolerEndCodes& CodesOf(SpoolerEnd end) {
  for (const SpoolerEndCodes& codes : kSpoolerEndCodes) {
    if (codes.end == end) return codes;
  }
  return kSpoolerEndCodes[3];  // Abnormal
}

constexpr int SpoolerExitCode(SpoolerEnd end) { return CodesOf(end).spoolerExit; }

// The end a spooler that exited with `code` tells of.
constexpr SpoolerEnd SpoolerEndOfExitCode(int code) {
  for (const SpoolerEndCodes& codes : kSpoolerEndCodes) {
    if (codes.spoolerExit >= 0 && codes.spoolerExit == code) return codes.end;
  }
  return SpoolerEnd::Abnormal;
}
