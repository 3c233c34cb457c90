// The print job runner, PrintThreadProc: one run takes jobs one after
// another (queue mode) or the hand-opened file (manual mode), sends their
// spool files to the port in 2048-byte blocks copy after copy, puts port
// faults to the user, honours the stop and pause requests and decides at the
// end whether the program closes itself.
// Print thread only. Shared state is touched under g_csSpooler for a few
// instructions at a time; no message box, delay, read or write happens
// while the lock is held.
#include "engine/print_job_runner.h"

#include <cstring>
#include <string>

#include "app/spooler_state.h"
#include "engine/port_channel.h"
#include "engine/print_thread.h"
#include "engine/printer_models.h"
#include "engine/printer_commands.h"
#include "engine/printer_status.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/port_device.h"
#include "platform/window_messages.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "res/string_table.h"

namespace {

constexpr const char* kRunnerCaption = kSpoolerErrorCaption;

// The first spool file of a job whose job start was put in front of it by a
// run that never reached the port (a kept fault before it opened). The next
// run that takes the same job does not put a second one there. Guarded by
// g_csSpooler; only print threads use it, one after another.
std::string g_prefixedUnsentFile;

// What the caller of a step does next.
enum class Next {
  Continue,   // go on with the job
  NextJob,    // back to run start for the next (or the same) job
  RunEnd,     // no further job: close the run normally
  Exit,       // the run is over; exit_ holds the code
};

class PrintRun {
 public:
  DWORD Run();

 private:
  void StartRun();
  Next PrintJob();
  Next SendFile();
  Next SendBlock();
  Next EndBlock(bool completed);
  bool CloseRunUnlessAJobArrived();
  DWORD EndRun();
  Next StopForShutdown();

  bool OpenSpoolFile(unsigned index);
  void CloseSpoolFile();
  bool OpenPort();

  int ShowError(const std::string& text, UINT buttons);
  void TellWhatTheRecordLost(const RecordParseNotes& notes);
  Next Abandon(DWORD code, bool purge, bool postClose);
  Next EndKeepingQueue();
  Next FailJob(DWORD code, int answer, bool purge, bool postClose);
  Next KeepQueue(DWORD code, WPARAM closeReason = plat::kCloseFaultUnanswered);

  JobRecord job_;
  // The one block buffer of the run; reused for every block.
  BYTE block_[kBlockSize] = {};
  const BYTE* blockPtr_ = block_;
  DWORD blockCount_ = 0;
  DWORD lastCount_ = 0;
  DWORD position_ = 0;
  DWORD fileSize_ = 0;
  unsigned fileIndex_ = 0;
  bool networkJob_ = false;
  HWND mainWnd_ = 0;
  bool queueMode_ = false;
  std::int32_t errorCode_ = 0;
  HANDLE spool_ = INVALID_HANDLE_VALUE;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  // Printer model of the last job taken in this run: it decides the close.
  char lastPrinterName_[kPrinterNameSize] = {};
  DWORD exit_ = kExitNormal;
};

DWORD PrintRun::Run() {
  for (;;) {
    StartRun();
    if (IsPrintShutdownRequested()) {
      // The process is ending: release the port and leave the queue to the
      // closer, which purges it.
      EndJobCleanup();
      return kExitStopped;
    }
    RecordParseNotes notes;
    if (!TakeNextJob(job_, &notes)) {
      if (queueMode_ && CloseRunUnlessAJobArrived()) continue;
      return EndRun();
    }
    // Taking the job can take its 1500 ms of open retries: the program may
    // have begun to end meanwhile. The record stays where it is.
    if (IsPrintShutdownRequested()) {
      EndJobCleanup();
      return kExitStopped;
    }
    CopyField(lastPrinterName_, job_.printerName);
    // A job whose record we could not remove afterwards is not sent at all.
    if (queueMode_ && !CheckQueueFileWritable(job_)) {
      EndKeepingQueue();
      return exit_;
    }
    TellWhatTheRecordLost(notes);
    DWORD dns = 0;
    DWORD tx = 0;
    GetPortTimeouts(&dns, &tx);
    job_.dnsTimeout = dns;
    job_.txTimeout = tx;

    switch (PrintJob()) {
      case Next::Continue:
      case Next::NextJob:
        continue;
      case Next::RunEnd:
        return EndRun();
      case Next::Exit:
        return exit_;
    }
  }
}

void PrintRun::StartRun() {
  blockPtr_ = block_;
  blockCount_ = 0;
  position_ = 0;
  fileSize_ = 0;
  networkJob_ = false;
  spool_ = INVALID_HANDLE_VALUE;
  port_ = INVALID_HANDLE_VALUE;
  SpoolerLock lock;
  mainWnd_ = g_hMainWnd;
  queueMode_ = g_bQueueMode != 0;
  g_bQueuePurged = 0;
  g_hSpoolFile = INVALID_HANDLE_VALUE;
  g_hPort = INVALID_HANDLE_VALUE;
  plat::InvalidateWindow(mainWnd_);
}

Next PrintRun::PrintJob() {
  if (queueMode_) {
    // The driver leaves the prefix to us; a job taken again after a Retry
    // gets it again, as the printer expects a job start before each attempt
    // - but only when the printer has seen the last one.
    bool prefixed = false;
    {
      SpoolerLock lock;
      prefixed = g_prefixedUnsentFile == job_.spoolFiles[0];
    }
    if (!prefixed && PrependToFile(job_.spoolFiles[0], JOB_PREFIX, sizeof JOB_PREFIX)) {
      SpoolerLock lock;
      g_prefixedUnsentFile = job_.spoolFiles[0];
    }
    if (IsPrintShutdownRequested()) return StopForShutdown();
    if (std::strcmp(job_.printerName, kInkModel) == 0) UpdateInkLevels();
  }
  // The port is not opened for a job whose program is ending.
  if (IsPrintShutdownRequested()) return StopForShutdown();

  if (!OpenSpoolFile(0)) {
    const int answer = ShowError("Could not open spool file.", MB_OK);
    return FailJob(kExitSpoolOpen, answer, queueMode_, queueMode_);
  }

  if (!OpenPort()) {
    const int answer = ShowError("Could not get handle to port. Spooler Error # " +
                                     std::to_string(errorCode_),
                                 MB_OK);
    return FailJob(kExitPortOpen, answer, queueMode_, queueMode_);
  }
  {
    SpoolerLock lock;
    g_bPrinting = 1;
    g_hPort = port_;
    // From here on the printer may get part of the job: another attempt
    // needs a job start of its own.
    g_prefixedUnsentFile.clear();
  }
  // A share's handle belongs to the network layer, which knows no comm
  // settings.
  if (!networkJob_) ApplyPortSettings(port_);

  // Counted wide: a hand-opened job may ask for up to 9999 copies.
  const std::uint32_t copies = job_.copies;
  for (std::uint32_t copy = 1; copy <= copies; ++copy) {
    for (fileIndex_ = 0; fileIndex_ < job_.fileCount;) {
      const Next sent = SendFile();
      if (sent != Next::Continue) return sent;
      // File end.
      if (fileIndex_ + 1 < job_.fileCount) {
        CloseSpoolFile();
        if (!OpenSpoolFile(fileIndex_ + 1)) {
          const int answer = ShowError("Could not open spool file.", MB_OK);
          return FailJob(kExitSpoolOpen, answer, queueMode_, false);
        }
      }
      ++fileIndex_;
    }
    // Copy end.
    {
      SpoolerLock lock;
      ++g_nCopy;
      g_nBytesSent = 0;
    }
    if (copy < copies) {
      CloseSpoolFile();
      if (!OpenSpoolFile(0)) {
        const int answer = ShowError("Could not open spool file.", MB_OK);
        return FailJob(kExitSpoolOpen, answer, queueMode_, false);
      }
    }
  }

  // Job end.
  if (!queueMode_) return Next::RunEnd;
  if (FinishJob(job_) == FinishOutcome::Kept) return EndKeepingQueue();
  return Next::NextJob;
}

Next PrintRun::SendFile() {
  for (;;) {
    if (position_ >= fileSize_) return Next::Continue;
    DWORD got = 0;
    if (!plat::ReadFile(spool_, block_, kBlockSize, &got)) {
      const DWORD error = plat::GetLastError();
      const int answer = ShowError(
          "Spooler Error # " + std::to_string(error) + " in reading spool file",
          MB_RETRYCANCEL);
      if (answer == IDRETRY) return Next::Continue;  // skip the rest of it
      if (answer == 0) return KeepQueue(kExitSpoolRead);
      return Abandon(kExitSpoolRead, queueMode_, queueMode_);
    }
    // A file shorter than the size it had at opening ends here.
    if (got == 0) return Next::Continue;
    position_ += got;
    blockPtr_ = block_;
    blockCount_ = got;
    const Next sent = SendBlock();
    if (sent != Next::Continue) return sent;
  }
}

Next PrintRun::SendBlock() {
  if (WaitWhilePaused()) return EndBlock(false);
  for (;;) {
    if (WritePortBlock(port_, blockPtr_, blockCount_, lastCount_, job_,
                       errorCode_)) {
      return EndBlock(true);
    }
    // A fault that shows up while the program ends is not put to anyone:
    // the stop is what counts.
    if (IsPrintShutdownRequested()) return EndBlock(false);
    switch (errorCode_) {
      case WRITE_STALLED: {
        DelayMs(kStallDelayMs);
        std::int16_t count = 0;
        if (QueryPrinterStatus(port_, count) != STATUS_NONE) {
          // The printer said something about the stall; what it kept of the
          // block is its business. The rest of this block is dropped.
          return EndBlock(false);
        }
        // Nothing to report: the printer only needed time. The unsent rest
        // always goes out (comparing it with the last count would drop a
        // short rest without a word).
        if (blockCount_ == 0) return EndBlock(false);
        break;
      }
      case ERROR_OUT_OF_PAPER: {
        const int answer = PromptPortError(ERROR_OUT_OF_PAPER);
        if (answer == 0) return KeepQueue(kExitOutOfPaper);
        if (answer != IDRETRY) {
          return Abandon(kExitOutOfPaper, queueMode_, queueMode_);
        }
        break;
      }
      case WRITE_ABORTED:
        return EndBlock(false);
      default: {
        const int answer = PromptPortError(errorCode_);
        if (answer == 0) return KeepQueue(kExitPortFault);
        if (queueMode_) {
          if (answer == IDRETRY) {
            // Start the same job over from its first byte and first copy:
            // it is still at the head of the queue.
            EndJobCleanup();
            return Next::NextJob;
          }
          if (answer != IDIGNORE) {
            return Abandon(kExitPortFault, true, true);
          }
        } else if (answer != IDRETRY) {
          return Abandon(kExitPortFault, false, false);
        }
        break;
      }
    }
    // Write the unsent rest again, unless the user paused or stopped us
    // while the prompt was up.
    if (WaitWhilePaused()) return EndBlock(false);
  }
}

Next PrintRun::EndBlock(bool completed) {
  blockPtr_ = block_;
  bool stop = false;
  {
    SpoolerLock lock;
    stop = g_bAbortJob != 0 || IsPrintShutdownRequested();
    // Partial writes were counted by WritePortBlock; only the call that
    // completed the block is added here.
    if (!stop && completed) g_nBytesSent += lastCount_;
  }
  if (!stop) return Next::Continue;

  BYTE out[4] = {};
  DWORD returned = 0;
  (void)plat::DeviceIoControl(port_, plat::kCancelJobIoControl, out, sizeof out,
                              &returned);
  if (IsPrintShutdownRequested()) return StopForShutdown();
  EndJobCleanup();
  if (!queueMode_) {
    exit_ = kExitStopped;
    return Next::Exit;
  }
  // Only the cancelled job goes; the next one in the queue follows.
  if (FinishJob(job_) == FinishOutcome::Kept) return EndKeepingQueue();
  return Next::NextJob;
}

// The queue was found empty. Closing the run removes nothing: a purge here
// would take and delete, unprinted, a record the driver appended since that
// look. The run is closed first and the queue looked at once more, so a
// record that came in between is printed by this run (back at run start,
// which opens the run again); one that comes after the last look stays in
// the file for the next run or the next start.
bool PrintRun::CloseRunUnlessAJobArrived() {
  CloseQueueRun();
  return TakeNextJob(job_);
}

DWORD PrintRun::EndRun() {
  EndJobCleanup();
  // That model stays open for the driver's commands until the scheduler's
  // idle rule closes the program.
  if (queueMode_ && std::strcmp(lastPrinterName_, kStallingModel) != 0) {
    plat::PostMessage(mainWnd_, WM_CLOSE, plat::kCloseRunEnded, 0);
  }
  SpoolerLock lock;
  g_bJobDone = 1;
  return kExitNormal;
}

// The program is ending: unlike Cancel Print, the job is not finished and
// no further one is taken. Its record and spool files stay; whoever ends the
// program either purges the queue or keeps it for the next start, where
// this job prints again from its first byte.
Next PrintRun::StopForShutdown() {
  EndJobCleanup();
  exit_ = kExitStopped;
  return Next::Exit;
}

bool PrintRun::OpenSpoolFile(unsigned index) {
  spool_ = plat::OpenFile(job_.spoolFiles[index], plat::Access::Read,
                          plat::ShareMode::None, plat::Disposition::OpenExisting);
  if (spool_ == INVALID_HANDLE_VALUE) return false;
  fileSize_ = plat::GetFileSize(spool_);
  // Every file, also the first one again for the next copy, is sent from
  // its first byte.
  position_ = 0;
  SpoolerLock lock;
  g_hSpoolFile = spool_;
  return true;
}

void PrintRun::CloseSpoolFile() {
  {
    // Mark it closed first, so a clean-up on another thread never closes a
    // handle number that is no longer ours.
    SpoolerLock lock;
    if (g_hSpoolFile == spool_) g_hSpoolFile = INVALID_HANDLE_VALUE;
  }
  if (spool_ != INVALID_HANDLE_VALUE) plat::CloseHandle(spool_);
  spool_ = INVALID_HANDLE_VALUE;
}

bool PrintRun::OpenPort() {
  networkJob_ = job_.portName[0] == '\\' && job_.portName[1] == '\\';
  if (networkJob_) {
    SpoolerLock lock;
    g_bNetConnected = 0;
  }
  errorCode_ = 0;
  port_ = plat::OpenPort(job_.portName);
  if (port_ != INVALID_HANDLE_VALUE) return true;
  errorCode_ = static_cast<std::int32_t>(plat::GetLastError());
  if (networkJob_) {
    errorCode_ = CaptureNetworkPort(job_.portName);
    if (errorCode_ == 0) {
      char device[sizeof g_szNetDevice] = {};
      {
        SpoolerLock lock;
        CopyField(device, g_szNetDevice);
      }
      port_ = plat::OpenPort(device);
      if (port_ != INVALID_HANDLE_VALUE) return true;
      errorCode_ = static_cast<std::int32_t>(plat::GetLastError());
    }
  }
  // A failed open is a failure even when the platform left no error number.
  return false;
}

int PrintRun::ShowError(const std::string& text, UINT buttons) {
  const int answer = plat::MessageBox(
      0, text, kRunnerCaption, MB_ICONERROR | MB_SETFOREGROUND | buttons);
  plat::SetForegroundWindow(mainWnd_);
  return answer;
}

// A record outside the format is printed as far as it can be, but not
// silently: the user learns which spool files were left out and why.
void PrintRun::TellWhatTheRecordLost(const RecordParseNotes& notes) {
  const std::string job = std::string("The job \"") + job_.jobName + "\" ";
  if (notes.ignoredSpoolFiles > 0) {
    plat::MessageBox(0,
                     job + "names more than " + std::to_string(kMaxSpoolFiles) +
                         " spool files; only the first " + std::to_string(kMaxSpoolFiles) +
                         " are printed and " + std::to_string(notes.ignoredSpoolFiles) +
                         " are left out (and kept).",
                     kRunnerCaption, MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
  }
  if (notes.relativeSpoolPaths > 0) {
    plat::MessageBox(0,
                     job + "names a spool file without its full path; the spooler "
                           "opens spool files only by their full path.",
                     kRunnerCaption, MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
  }
}

Next PrintRun::Abandon(DWORD code, bool purge, bool postClose) {
  EndJobCleanup();
  // A stop from outside answers a prompt that is up with its refusing
  // button; that answer must not drop the queue the stop keeps. The program
  // is ending anyway, so no close is asked for either.
  const bool ending = IsPrintShutdownRequested();
  if (purge && !(ending && IsQueueKeptAtShutdown())) PurgeQueue(job_);
  if (postClose && !ending) plat::PostMessage(mainWnd_, WM_CLOSE, plat::kCloseRunEnded, 0);
  exit_ = code;
  return Next::Exit;
}

// A failure box: OK from someone who read it gives the job up as before; no
// answer at all (0: nobody there to read it) must not cost the queue.
Next PrintRun::FailJob(DWORD code, int answer, bool purge, bool postClose) {
  if (answer == 0) return KeepQueue(code);
  return Abandon(code, purge, postClose);
}

// Nobody answered a fault: the run ends and every record, the current job's
// too, stays with its spool files. The run is closed like a normal one, so
// the queue marker does not say "Processing" (the next start's recovery
// would delete the older jobs) and the document close purges nothing. The
// front end decides whether the program closes or tries again later.
Next PrintRun::KeepQueue(DWORD code, WPARAM closeReason) {
  EndJobCleanup();
  if (queueMode_) {
    CloseQueueRun();
    if (!IsPrintShutdownRequested()) plat::PostMessage(mainWnd_, WM_CLOSE, closeReason, 0);
  }
  exit_ = code;
  return Next::Exit;
}

// The head record stays in the queue file (FinishJob has told the user).
// Going on would take that same record again at once and print it without
// end; a purge would meet the same refusal and say so again. So the run
// ends here and leaves the queue as it is: every record and its spool files
// stay. The marker becomes "Purged", not "Processing": at the next start
// "Processing" would make the recovery delete every record but the newest,
// unprinted, while with "Purged" the next start prints the record we could
// not remove once more (the user knows why) and then the rest. Should the
// file still be unwritable then, that run stops before sending anything.
// g_bQueuePurged is set too, so the document close does not purge either.
// The close is an ordinary one (not the retry of a fault nobody answered):
// trying again at the next tick would meet the same refusal.
Next PrintRun::EndKeepingQueue() { return KeepQueue(kExitQueueKept, 0); }

}  // namespace

DWORD PrintThreadProc(void* /*ignored*/) {
  // The run's state lives with the thread, not on a shared object.
  PrintRun run;
  return run.Run();
}
