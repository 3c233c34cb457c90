// What the Current Job page shows and what its buttons change in the shared
// state, without any widget: the size text, the status line, the progress,
// the button states, and the shared-state steps of Print, Pause and Cancel
// Print. The page window (a toolkit class) puts the results into controls
// and asks the user the warning questions itself.
// Main thread (the page's thread); the functions take g_csSpooler themselves
// and never hold it across a return.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win_types.h"

// Shared values the page copies under the lock at each refresh.
struct CurrentJobSnapshot {
  std::uint32_t bytesSent = 0;
  std::uint32_t fileSize = 0;
  unsigned copy = 0;
  unsigned copies = 0;
  BOOL jobDone = 0;
  bool printing = false;
  bool queueMode = false;
  bool fileLoaded = false;  // written on the page's own thread only
  std::string fileName;
};

struct JobButtonStates {
  bool print = false;
  bool pause = false;
  bool cancelPrint = false;
};

struct CurrentJobDisplay {
  std::string fileName;
  std::string sizeText;
  std::string statusLine;
  int progress = 0;  // 0..100
  JobButtonStates buttons;
};

// Copies the shared values (under g_csSpooler; g_bFileLoaded without it).
CurrentJobSnapshot SnapshotCurrentJob();

// (size + 500) / 1000 in unsigned 32-bit arithmetic, then " KB".
std::string FormatSizeText(std::uint32_t fileSize);
// "completed" / "idle" when not printing, "Copy x of y" while printing.
std::string FormatStatusLine(bool printing, BOOL jobDone, unsigned copy,
                             unsigned copies);
// Percentage of the current copy sent, truncated; 0 when nothing prints or
// the size is 0. Never above 100, even if more than the size was counted.
int ComputeProgress(std::uint32_t bytesSent, std::uint32_t fileSize,
                    bool printing);
JobButtonStates ComputeJobButtons(const CurrentJobSnapshot& snapshot);
CurrentJobDisplay BuildCurrentJobDisplay(const CurrentJobSnapshot& snapshot);

// The Print button after the copies dialog answered OK: stores the count and
// starts the print thread at the highest priority. False (and nothing is
// started) when a run is still alive, which also refuses a second press in
// the moment before the new thread marks itself printing.
bool StartManualPrint(unsigned copies);
// g_nCopies, the copies dialog's initial count.
unsigned CurrentCopies();

// Pause button. IsPrintPaused copies g_bPaused. PausePrint / ResumePrint set
// g_bPaused and row state 0 of the Job Queue page (2 paused, 0 printing)
// and wake the print thread's pause point; they return the new label of the
// Pause button ("Resume" / "Pause").
bool IsPrintPaused();
std::string PausePrint();
std::string ResumePrint();

// Cancel Print after the user confirmed: asks a printing thread to stop and
// releases a paused one. True when the thread was released, so the Pause
// button must read "Pause" again.
bool CancelPrint();
