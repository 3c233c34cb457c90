// The life of the print thread, shared by its starters (document start,
// scheduler, Print button): one run at a time, the priority the starter
// asks for, the pause point, and the end of the process.
// Main thread starts; the pause point is called by the print thread.
#pragma once

#include "engine/spooler_outcomes.h"
#include "platform/win_types.h"

enum class ThreadPriority { Normal, Highest };

// Starts RunPrintJobs on a thread of its own when no run is alive (the stretch before the port
// opens counts as alive) and stores its serial in g_hPrintThread under the
// lock. False when a run is alive or the thread cannot be created.
bool StartPrintThread(ThreadPriority priority);
bool IsPrintRunAlive();
// Waits up to `ms` for the run to end; true when no run is alive afterwards.
bool WaitForPrintRun(DWORD ms);
// What becomes of the queue when the program ends: the user's quit (and the
// driver's command 0) gives the rest of it up, a stop from outside (a
// service manager, a closing terminal) keeps every record for the next start.
enum class QueueAtShutdown { Purge, Keep };

// The program is ending: the live run stops at its next block end (or at
// the end of its stalled write), starts no further job, and leaves the
// current job's record where it is; the closer decides about the queue.
// Raised before the closer waits, so the run sees the end of the program,
// not a Cancel Print. Does nothing when no run is alive. Any thread.
void RequestPrintShutdown(QueueAtShutdown queue);
// Process end: asks a live run to stop and joins it. The run leaves at its
// next block end or between two jobs; it neither purges the queue nor posts
// WM_CLOSE on the way out (the closer decides that). A run that waits in a
// message box is joined once the box is answered. Not to be called with
// g_csSpooler held: the run needs the lock to reach its end.
void ShutdownPrintThread();
// How the last finished run ended, and that as its exit code.
RunOutcome LastPrintRunOutcome();
DWORD LastPrintRunExitCode();
// The priority the most recent successful start asked for (the platform may
// not have granted it: raising a thread needs privileges here).
ThreadPriority LastRequestedPriority();

// The pause point: called by the print thread where it holds no lock. Waits,
// sending nothing, while g_bPaused is set; a stop request ends the wait.
// Returns true when a stop request (g_bAbortJob, or a shutdown) is pending,
// so the caller can go to its block end without sending more.
bool WaitWhilePaused();
// The Pause and Cancel Print handlers call this after changing g_bPaused or
// g_bAbortJob so a waiting thread notices at once (without it the thread
// still notices within a few milliseconds).
void NotifyPauseChanged();
// True while the print thread sits in WaitWhilePaused (tests, diagnostics).
bool IsPrintThreadPaused();
// True once the current run has been asked to end with the program; the
// runner tests it at every block end, before every prompt and between jobs.
bool IsPrintShutdownRequested();
// True when that request keeps the queue (no purge, not even by a prompt's
// Abort that the stop itself answered).
bool IsQueueKeptAtShutdown();
