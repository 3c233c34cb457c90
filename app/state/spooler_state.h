// Shared spooler state: the few process-wide facts that the main thread and
// the print thread both touch, and the one recursive lock g_csSpooler that
// guards them all. Readers copy what they need inside the lock and act on the
// copies outside it; no message box, delay, port write or file read happens
// while the print thread holds it.
// Any thread, under g_csSpooler unless a comment says otherwise.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "app/state/job_record.h"
#include "platform/win_types.h"

// The lock. Recursive for the owning thread: the scheduler holds it for its
// whole tick and the operations it calls take it again.
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  // Takes the lock only if no other thread holds it (TryEnterCriticalSection).
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

extern CriticalSection g_csSpooler;

// RAII holder of g_csSpooler.
class SpoolerLock {
 public:
  SpoolerLock() { g_csSpooler.Enter(); }
  ~SpoolerLock() { g_csSpooler.Leave(); }
  SpoolerLock(const SpoolerLock&) = delete;
  SpoolerLock& operator=(const SpoolerLock&) = delete;
};

// Identities and timer. g_hMainWnd is written once before any print thread
// exists and may be read without the lock afterwards.
extern HWND g_hMainWnd;
extern HWND g_hJobPageWnd;
extern DWORD g_nTimerId;
// Serial number of the most recently started print thread (0: none yet).
// Whether a run is alive is asked of the print thread layer
// (engine/print_thread.h), not read from this value.
extern std::uintptr_t g_hPrintThread;

// Run flags (0 is false).
extern BOOL g_bQueueMode;     // set once by the document start, never cleared
extern BOOL g_bPrinting;      // a job holds the open port
extern BOOL g_bAbortJob;      // stop request for the print thread
extern BOOL g_bPaused;        // the print thread waits at its pause point
extern BOOL g_bFileLoaded;    // main thread only
extern BOOL g_bJobDone;       // the last run ended normally
extern BOOL g_bQueuePurged;   // no print run is open (initially 1)
extern DWORD g_dwIdleSince;   // scheduler only

// Progress.
extern DWORD g_nBytesSent;    // bytes of the current copy sent so far
// Of the bytes handed to the port, those the printer has not acknowledged
// yet, where the port can tell (a TCP printer's unacknowledged bytes); 0
// where it cannot. Set by the print thread.
extern DWORD g_nBytesUnconfirmed;
// The bytes of the current copy the printer has taken, as far as the port
// can tell: what the pages and the driver's status show. Caller holds
// g_csSpooler.
DWORD PrintedBytesOfCopy();
// Copy being printed, from 1. Wide enough for a hand-opened job of up to
// 9999 copies (see JobRecord::copies).
extern std::uint16_t g_nCopy;

// What the port channel waits for while it retries a write that the printer
// does not take, and while the question about a printer that stopped taking
// data is up. Set by the print thread only (WritePortBlock), cleared by it
// when data moves again and by EndJobCleanup; every change is posted to the
// main window as WM_SPOOLER_PRINTERWAIT, so the front ends can say it
// without the print thread touching a window.
enum class PrinterWait : std::uint8_t {
  None = 0,
  OutOfPaper = 1,
  NotSelected = 2,
  NotAccepting = 3,  // no error flag, the printer just takes nothing
  Stalled = 4,       // the same for "VORNA Cantella", which answers a query
};
extern PrinterWait g_nPrinterWait;
// Tick at which the wait began, and the milliseconds after it at which a
// time-out ends the wait (0: nothing but the printer or a stop ends it).
extern DWORD g_dwWaitSince;
extern DWORD g_dwWaitTimeout;

// The current-job record and the names its fields go by.
extern JobRecord g_curJob;
inline auto& g_szSpoolFiles = g_curJob.spoolFiles;
inline auto& g_szQueueFile = g_curJob.queueFile;
inline auto& g_szPortName = g_curJob.portName;
inline auto& g_szPrinterName = g_curJob.printerName;
inline auto& g_szRibbonType = g_curJob.ribbonType;
inline auto& g_nCopies = g_curJob.copies;
inline auto& g_nFileCount = g_curJob.fileCount;
inline auto& g_nFileSize = g_curJob.totalSize;

// Handles of the running job.
extern HANDLE g_hSpoolFile;
extern HANDLE g_hPort;
extern BOOL g_bNetConnected;  // written by the print thread only
extern char g_szNetDevice[8];

// Jobs this process removed from the queue unprinted because nobody was
// there to answer and they could never print (a spool file missing or
// unreadable). Set by the print thread; read by the front end at its end,
// which reports them (a print service takes such a job as failed).
extern DWORD g_nJobsSetAside;

// Display state.
extern std::string g_strFileName;
// What each row of the Job Queue page says, by row: the first row is the
// printing job, the others wait their turn. Held as bytes (QueueRowState
// values) so that a row's state reads the same in every front end.
enum QueueRowState : std::uint8_t {
  kRowPrinting = 0,
  kRowQueued = 1,
  kRowPaused = 2,
};
extern std::uint8_t g_jobRowState[128];
