// The life of the print thread, shared by its starters (document start,
// scheduler, Print button): one run at a time, the priority the starter
// asks for, the pause point, and the end of the process.
// Main thread starts; the pause point is called by the print thread.
#pragma once

#include "platform/win_types.h"

enum class ThreadPriority { Normal, Highest };

// Starts PrintThreadProc when no run is alive (the stretch before the port
// opens counts as alive) and stores its serial in g_hPrintThread under the
// lock. False when a run is alive or the thread cannot be created.
bool StartPrintThread(ThreadPriority priority);
bool IsPrintRunAlive();
// Waits up to `ms` for the run to end; true when no run is alive afterwards.
bool WaitForPrintRun(DWORD ms);
// Process end: asks a live run to stop and joins it.
void ShutdownPrintThread();
// Exit code of the last finished run.
DWORD LastPrintRunExitCode();

// The pause point: called by the print thread where it holds no lock. Waits,
// sending nothing, while g_bPaused is set; a stop request ends the wait.
void WaitWhilePaused();
