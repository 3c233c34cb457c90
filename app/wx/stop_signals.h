// SIGINT, SIGTERM and SIGHUP for the desktop spooler: a service manager,
// Ctrl+C or the terminal that started us closing. Nobody is there to answer
// the quit question, and the jobs still queued belong to the next start, so
// each of them posts WM_SPOOLER_STOP to the main window, which stops the
// spooler with its queue kept.
// Called by the main thread before any other thread exists.
#pragma once

namespace kwx {

// Blocks the three signals in the calling thread (and so in every thread
// started after it) and starts the thread that takes them with sigwait.
void TakeStopSignals();

}  // namespace kwx
