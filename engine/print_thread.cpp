// The print thread's life: starting one run at a time, its priority, the
// pause point the runner waits at, and joining the thread at process end.
// StartPrintThread, WaitForPrintRun and ShutdownPrintThread belong to the
// main thread; WaitWhilePaused to the print thread; the queries are for
// any thread.
#include "engine/print_thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/state/spooler_state.h"
#include "engine/print_job_runner.h"
#include "platform/clock.h"
#include "platform/threads.h"
#include "queue/queue_file.h"

namespace {

// Set by the starter before the thread exists and cleared as the thread's
// very last act, so a run counts as busy from its start, long before it
// sets g_bPrinting.
std::atomic<bool> g_runAlive{false};
std::atomic<bool> g_shutdownRequested{false};
std::atomic<bool> g_keepQueueAtShutdown{false};
std::atomic<bool> g_waitingInPause{false};
std::atomic<RunOutcome> g_lastOutcome{RunOutcome::Completed};
std::atomic<ThreadPriority> g_requestedPriority{ThreadPriority::Normal};

// Guards the thread object: a start joins the previous thread, and the
// shutdown joins the current one; both may come from different threads in
// tests.
std::mutex g_threadMutex;
std::thread g_thread;            // protected by g_threadMutex
std::uintptr_t g_nextSerial = 0; // protected by g_threadMutex

// Wakes the pause point early; the wait re-checks the shared flags under
// g_csSpooler, so this mutex protects nothing but the wait itself.
std::mutex g_pauseMutex;
std::condition_variable g_pauseChanged;

void ApplyPriority(ThreadPriority priority) {
  if (priority == ThreadPriority::Highest) plat::RaiseCurrentThreadPriority();
}

void RunPrintThread(ThreadPriority priority) {
  ApplyPriority(priority);
  RunOutcome outcome = RunOutcome::InternalFault;
  try {
    outcome = RunPrintJobs();
  } catch (...) {
    // Nothing may cross the thread's edge. Release the port and the spool
    // file so the next run can open them.
    try {
      EndJobCleanup();
    } catch (...) {
    }
  }
  g_lastOutcome.store(outcome, std::memory_order_release);
  g_runAlive.store(false, std::memory_order_release);
}

// Joins a thread whose run has ended (or is about to end). Called with
// g_threadMutex held.
void JoinFinishedThread() {
  if (g_thread.joinable() && g_thread.get_id() != std::this_thread::get_id()) {
    g_thread.join();
  }
}

// Backstop for a front end that forgets ShutdownPrintThread: a joinable
// std::thread destroyed at exit would terminate the process.
struct ThreadReaper {
  ~ThreadReaper() { ShutdownPrintThread(); }
};
ThreadReaper g_reaper;

}  // namespace

bool StartPrintThread(ThreadPriority priority) {
  bool expected = false;
  if (!g_runAlive.compare_exchange_strong(expected, true,
                                          std::memory_order_acq_rel)) {
    return false;
  }
  std::uintptr_t serial = 0;
  {
    // The scheduler calls us holding g_csSpooler, so g_threadMutex is never
    // held while g_csSpooler is taken. Joining here is safe under
    // g_csSpooler: the old thread's last act, clearing g_runAlive, is done.
    std::lock_guard<std::mutex> threadLock(g_threadMutex);
    JoinFinishedThread();
    g_shutdownRequested.store(false, std::memory_order_release);
    g_keepQueueAtShutdown.store(false, std::memory_order_release);
    try {
      g_thread = std::thread(RunPrintThread, priority);
    } catch (...) {
      g_runAlive.store(false, std::memory_order_release);
      return false;
    }
    g_requestedPriority.store(priority, std::memory_order_release);
    serial = ++g_nextSerial;
  }
  SpoolerLock lock;
  g_hPrintThread = serial;
  return true;
}

bool IsPrintRunAlive() { return g_runAlive.load(std::memory_order_acquire); }

bool WaitForPrintRun(DWORD ms) {
  const DWORD start = plat::GetTickCount();
  while (IsPrintRunAlive()) {
    if (plat::GetTickCount() - start >= ms) return !IsPrintRunAlive();
    plat::PausePolling();
  }
  return true;
}

void RequestPrintShutdown(QueueAtShutdown queue) {
  if (!IsPrintRunAlive()) return;
  // A keep request is never turned back into a purge by a later closer of
  // the same run (the front end's close follows a stop from outside).
  if (queue == QueueAtShutdown::Keep)
    g_keepQueueAtShutdown.store(true, std::memory_order_release);
  g_shutdownRequested.store(true, std::memory_order_release);
  {
    // g_bAbortJob too: WritePortBlock tests only that flag between the
    // pieces of a stalled block.
    SpoolerLock lock;
    g_bAbortJob = 1;
    g_bPaused = 0;
  }
  NotifyPauseChanged();
}

void ShutdownPrintThread() {
  RequestPrintShutdown(QueueAtShutdown::Purge);
  std::lock_guard<std::mutex> threadLock(g_threadMutex);
  JoinFinishedThread();
}

RunOutcome LastPrintRunOutcome() { return g_lastOutcome.load(std::memory_order_acquire); }

DWORD LastPrintRunExitCode() { return RunExitCode(LastPrintRunOutcome()); }

ThreadPriority LastRequestedPriority() {
  return g_requestedPriority.load(std::memory_order_acquire);
}

bool IsPrintShutdownRequested() {
  return g_shutdownRequested.load(std::memory_order_acquire);
}

bool IsQueueKeptAtShutdown() {
  return g_keepQueueAtShutdown.load(std::memory_order_acquire);
}

bool IsPrintThreadPaused() {
  return g_waitingInPause.load(std::memory_order_acquire);
}

void NotifyPauseChanged() {
  { std::lock_guard<std::mutex> guard(g_pauseMutex); }
  g_pauseChanged.notify_all();
}

bool WaitWhilePaused() {
  // Reads both flags in one holding of the lock; returns whether to stop.
  auto readFlags = [](bool& paused) {
    SpoolerLock lock;
    paused = g_bPaused != 0;
    return g_bAbortJob != 0 || IsPrintShutdownRequested();
  };
  bool paused = false;
  bool stop = readFlags(paused);
  if (!paused || stop) return stop;

  g_waitingInPause.store(true, std::memory_order_release);
  std::unique_lock<std::mutex> guard(g_pauseMutex);
  while (paused && !stop) {
    // The timed wait covers a handler that changes the flags without
    // calling NotifyPauseChanged; the thread sleeps, it never spins.
    g_pauseChanged.wait_for(guard, std::chrono::milliseconds(5));
    guard.unlock();
    stop = readFlags(paused);
    guard.lock();
  }
  g_waitingInPause.store(false, std::memory_order_release);
  return stop;
}
