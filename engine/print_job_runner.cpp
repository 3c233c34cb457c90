// The print job runner, RunPrintJobs: one run takes jobs one after
// another (queue mode) or the hand-opened file (manual mode), sends their
// spool files to the port in 2048-byte blocks copy after copy, puts port
// faults to the user, honours the stop and pause requests, counts a job
// printed only once the printer has taken all of it, and decides at the end
// whether the program closes itself.
// Print thread only. Shared state is touched under g_csSpooler for a few
// instructions at a time; no message box, delay, read or write happens
// while the lock is held.
#include "engine/print_job_runner.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "engine/print_thread.h"
#include "engine/printer_commands.h"
#include "engine/printer_models.h"
#include "engine/printer_status.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/port_device.h"
#include "platform/window_messages.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "res/string_table.h"

namespace {

// How often, at most, the progress asks the port what the printer has
// confirmed: the pages look every few seconds, and the question is a
// system call.
constexpr DWORD kProgressPublishMs = 100;

// What the caller of a step does next.
enum class Next {
  Continue,   // go on with the job
  NextJob,    // back to run start for the next (or the same) job
  RunEnd,     // no further job: close the run normally
  Exit,       // the run is over; outcome_ says how
};

class PrintRun {
 public:
  RunOutcome Run();

 private:
  void StartRun();
  Next PrintJob();
  Next SendFile();
  Next SendBlock();
  Next EndBlock(bool completed);
  Next EndJob();
  Next StopJob();
  Next AnswerPortFault(std::int32_t code);
  Next StartJobOver();
  bool CloseRunUnlessAJobArrived();
  RunOutcome EndRun();
  Next StopForShutdown();

  bool OpenSpoolFile(unsigned index);
  void CloseSpoolFile();
  bool ReadBlock(DWORD& got);
  bool StepBack(DWORD count);
  bool IsLastBlockOfJob() const;
  void PublishProgress(bool now);
  bool OpenPort();

  int Ask(const FaultQuestion& question);
  void TellWhatTheRecordLost(const RecordParseNotes& notes);
  Next Abandon(RunOutcome outcome, bool purge, bool postClose);
  Next EndKeepingQueue();
  Next FailJob(RunOutcome outcome, int answer, bool purge, bool postClose);
  Next FailSpoolFile(RunOutcome outcome, int answer, bool postClose);
  Next SetJobAside();
  Next KeepQueue(RunOutcome outcome, WPARAM closeReason = plat::kCloseFaultUnanswered);

  JobRecord job_;
  // The one block buffer of the run; reused for every block.
  BYTE block_[kBlockSize] = {};
  const BYTE* blockPtr_ = block_;
  DWORD blockCount_ = 0;
  DWORD lastCount_ = 0;
  // Bytes of the file being sent read so far, and its size taken at its
  // opening; both count the job start in front of the first file of a
  // queued job's copy.
  DWORD position_ = 0;
  DWORD fileSize_ = 0;
  // Bytes of JOB_PREFIX in front of the file being sent (0 or 6).
  DWORD prefixLength_ = 0;
  // The error of a failed step back in the file, for the next read to
  // report (0: none).
  DWORD readError_ = 0;
  unsigned fileIndex_ = 0;
  std::uint32_t copy_ = 0;
  bool networkJob_ = false;
  // Whether the job taken last has been noted as begun (EndBlock).
  bool jobNoted_ = false;
  HWND mainWnd_ = 0;
  bool queueMode_ = false;
  std::int32_t errorCode_ = 0;
  HANDLE spool_ = INVALID_HANDLE_VALUE;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  DWORD progressPublished_ = 0;
  // Printer model of the last job taken in this run: it decides the close.
  char lastPrinterName_[kPrinterNameSize] = {};
  RunOutcome outcome_ = RunOutcome::Completed;
};

RunOutcome PrintRun::Run() {
  for (;;) {
    StartRun();
    if (IsPrintShutdownRequested()) {
      // The process is ending: release the port and leave the queue to the
      // closer, which purges it.
      EndJobCleanup();
      return RunOutcome::Stopped;
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
      return RunOutcome::Stopped;
    }
    CopyField(lastPrinterName_, job_.printerName);
    // A job whose record we could not remove afterwards is not sent at all.
    if (queueMode_ && !CheckQueueFileWritable(job_)) {
      EndKeepingQueue();
      return outcome_;
    }
    TellWhatTheRecordLost(notes);
    DWORD dns = 0;
    DWORD tx = 0;
    GetPortTimeouts(&dns, &tx);
    job_.dnsTimeout = dns;
    job_.txTimeout = tx;
    jobNoted_ = false;
    switch (PrintJob()) {
      case Next::Continue:
      case Next::NextJob:
        continue;
      case Next::RunEnd:
        return EndRun();
      case Next::Exit:
        return outcome_;
    }
  }
}

void PrintRun::StartRun() {
  blockPtr_ = block_;
  blockCount_ = 0;
  position_ = 0;
  fileSize_ = 0;
  prefixLength_ = 0;
  readError_ = 0;
  copy_ = 0;
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
  // The printer expects a job start (JOB_PREFIX) in front of each copy of
  // a queued job. It goes to the port in front of the first spool file's
  // bytes (ReadBlock), not into the file: a job taken again, after a start
  // that failed or after the user's Retry, gets one job start per copy of
  // each attempt, whatever became of the one before, and a spool folder we
  // may not write changes nothing.
  if (queueMode_ && std::strcmp(job_.printerName, kInkModel) == 0) {
    if (IsPrintShutdownRequested()) return StopForShutdown();
    UpdateInkLevels();
  }
  // The port is not opened for a job whose program is ending.
  if (IsPrintShutdownRequested()) return StopForShutdown();

  if (!OpenSpoolFile(0)) {
    const int answer = Ask(SpoolFileOpenFailedQuestion());
    return FailSpoolFile(RunOutcome::SpoolOpenFailed, answer, queueMode_);
  }

  if (!OpenPort()) {
    const int answer = Ask(PortOpenFailedQuestion(errorCode_));
    return FailJob(RunOutcome::PortOpenFailed, answer, queueMode_, queueMode_);
  }
  {
    SpoolerLock lock;
    g_bPrinting = 1;
    g_hPort = port_;
  }
  // A share's handle belongs to the network layer, which knows no comm
  // settings.
  if (!networkJob_) ApplyPortSettings(port_);

  // Counted wide: a hand-opened job may ask for up to 9999 copies.
  const std::uint32_t copies = job_.copies;
  for (copy_ = 1; copy_ <= copies; ++copy_) {
    for (fileIndex_ = 0; fileIndex_ < job_.fileCount;) {
      const Next sent = SendFile();
      if (sent != Next::Continue) return sent;
      // File end.
      if (fileIndex_ + 1 < job_.fileCount) {
        CloseSpoolFile();
        if (!OpenSpoolFile(fileIndex_ + 1)) {
          const int answer = Ask(SpoolFileOpenFailedQuestion());
          return FailSpoolFile(RunOutcome::SpoolOpenFailed, answer, false);
        }
      }
      ++fileIndex_;
    }
    // Copy end. The last copy's counters move on once the printer has it
    // (EndJob): until then the page shows it being printed.
    if (copy_ < copies) {
      {
        SpoolerLock lock;
        ++g_nCopy;
        g_nBytesSent = 0;
      }
      CloseSpoolFile();
      if (!OpenSpoolFile(0)) {
        const int answer = Ask(SpoolFileOpenFailedQuestion());
        return FailSpoolFile(RunOutcome::SpoolOpenFailed, answer, false);
      }
    }
  }
  return EndJob();
}

Next PrintRun::SendFile() {
  for (;;) {
    if (position_ >= fileSize_) return Next::Continue;
    DWORD got = 0;
    if (!ReadBlock(got)) {
      const DWORD error = plat::GetLastError();
      const int answer = Ask(SpoolFileReadFailedQuestion(error));
      if (answer == IDRETRY) return Next::Continue;  // skip the rest of it
      if (answer == 0) return FailSpoolFile(RunOutcome::SpoolReadFailed, 0, false);
      return Abandon(RunOutcome::SpoolReadFailed, queueMode_, queueMode_);
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
        const std::uint16_t status = QueryPrinterStatus(port_, count);
        // Whatever the printer says about the stall, it has not taken the
        // rest of the block: that still goes out. An error reply's count
        // is what it lost of the bytes it took: those go again.
        if ((status == STATUS_ERROR_SHOWN || status == STATUS_ERROR_SILENT) && count > 0 &&
            !StepBack(static_cast<DWORD>(count))) {
          return EndBlock(false);  // sent again from further back in the file
        }
        if (blockCount_ == 0) return EndBlock(false);
        break;
      }
      case ERROR_OUT_OF_PAPER: {
        const int answer = PromptPortError(ERROR_OUT_OF_PAPER);
        if (answer == 0) return KeepQueue(RunOutcome::OutOfPaper);
        if (answer != IDRETRY) {
          return Abandon(RunOutcome::OutOfPaper, queueMode_, queueMode_);
        }
        break;
      }
      case WRITE_ABORTED:
        return EndBlock(false);
      default: {
        const Next answered = AnswerPortFault(errorCode_);
        if (answered != Next::Continue) return answered;
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
    if (completed) g_nBytesSent += lastCount_;
  }
  // Once the port has taken a whole block the job has begun: a start after
  // a crash removes it (it alone, and only when it is the one noted). A
  // kill before that keeps it, to be printed again: a job that may not
  // have begun is never deleted.
  if (completed && queueMode_ && !jobNoted_) {
    NoteJobInProgress(job_);
    jobNoted_ = true;
  }
  PublishProgress(false);
  if (!stop) return Next::Continue;
  // Every byte of the job is written: whether the printer has them all is
  // for the wait at the job's end to find out. A job the printer has is
  // finished, not kept to be printed a second time.
  if (completed && IsLastBlockOfJob()) return Next::Continue;
  return StopJob();
}

// Job end: the job counts as printed once the printer has taken all of it,
// not when the last write has handed it to the system.
Next PrintRun::EndJob() {
  for (;;) {
    if (WaitForPortDelivery(port_, job_, errorCode_)) break;
    if (errorCode_ == WRITE_ABORTED || IsPrintShutdownRequested()) return StopJob();
    const Next answered = AnswerPortFault(errorCode_);
    if (answered != Next::Continue) return answered;
    // Ignore: the printer may still take it; wait for it again.
  }
  if (job_.copies > 0) {
    SpoolerLock lock;
    ++g_nCopy;
    g_nBytesSent = 0;
  }
  if (!queueMode_) return Next::RunEnd;
  if (FinishJob(job_) == FinishOutcome::Kept) return EndKeepingQueue();
  return Next::NextJob;
}

// A stop request (Cancel Print, or the end of the program) before the
// printer had the whole job.
Next PrintRun::StopJob() {
  // The port may hold part of the job (a socket's buffer): it is dropped,
  // so the printer does not go on with a job that stops here and may be
  // printed again from its first byte later.
  BYTE out[4] = {};
  DWORD returned = 0;
  (void)plat::DeviceIoControl(port_, plat::kCancelJobIoControl, out, sizeof out,
                              &returned);
  if (IsPrintShutdownRequested()) return StopForShutdown();
  EndJobCleanup();
  if (!queueMode_) {
    outcome_ = RunOutcome::Stopped;
    return Next::Exit;
  }
  // Only the cancelled job goes; the next one in the queue follows.
  if (FinishJob(job_) == FinishOutcome::Kept) return EndKeepingQueue();
  return Next::NextJob;
}

// Puts a port fault (21, 1117, 1121) to the user and acts on the answer.
// Continue: write (or wait for the printer) again where the job stopped.
Next PrintRun::AnswerPortFault(std::int32_t code) {
  const int answer = PromptPortError(code);
  if (answer == 0) return KeepQueue(RunOutcome::PortFault);
  // The printer dropped a connection that carried part of the job: it took
  // that part as a job of its own and will take the next connection as
  // another. The job cannot go on where it stopped; going on means starting
  // it over.
  const bool lost = IsPortStreamLost(port_);
  if (queueMode_) {
    // Retry starts the same job over from its first byte and first copy:
    // it is still at the head of the queue.
    if (answer == IDRETRY || (answer == IDIGNORE && lost)) return StartJobOver();
    if (answer != IDIGNORE) return Abandon(RunOutcome::PortFault, true, true);
  } else {
    if (answer != IDRETRY) return Abandon(RunOutcome::PortFault, false, false);
    if (lost) return StartJobOver();
  }
  return Next::Continue;
}

Next PrintRun::StartJobOver() {
  EndJobCleanup();
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

RunOutcome PrintRun::EndRun() {
  EndJobCleanup();
  // That model stays open for the driver's commands until the scheduler's
  // idle rule closes the program.
  if (queueMode_ && std::strcmp(lastPrinterName_, kStallingModel) != 0) {
    plat::PostMessage(mainWnd_, WM_CLOSE, plat::kCloseRunEnded, 0);
  }
  SpoolerLock lock;
  g_bJobDone = 1;
  return RunOutcome::Completed;
}

// The program is ending: unlike Cancel Print, the job is not finished and
// no further one is taken. Its record and spool files stay; whoever ends the
// program either purges the queue or keeps it for the next start, where
// this job prints again from its first byte.
Next PrintRun::StopForShutdown() {
  EndJobCleanup();
  outcome_ = RunOutcome::Stopped;
  return Next::Exit;
}

bool PrintRun::OpenSpoolFile(unsigned index) {
  spool_ = plat::OpenFile(job_.spoolFiles[index], plat::Access::Read,
                          plat::ShareMode::None, plat::Disposition::OpenExisting);
  if (spool_ == INVALID_HANDLE_VALUE) return false;
  prefixLength_ = queueMode_ && index == 0 ? sizeof JOB_PREFIX : 0;
  const DWORD size = plat::GetFileSize(spool_);
  // A size the system cannot tell stays "read to the end".
  fileSize_ = size > plat::INVALID_FILE_SIZE - prefixLength_ ? size : size + prefixLength_;
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

// The next block of the file being sent, from `position_`: the job start's
// bytes first where it goes in front of the file, then the file's own, so
// the blocks are those of a file that holds the job start.
bool PrintRun::ReadBlock(DWORD& got) {
  got = 0;
  if (readError_ != 0) {
    plat::SetLastError(readError_);
    readError_ = 0;
    return false;
  }
  if (position_ < prefixLength_) {
    got = prefixLength_ - position_;
    std::memcpy(block_, JOB_PREFIX + position_, got);
  }
  DWORD read = 0;
  const bool ok = plat::ReadFile(spool_, block_ + got, kBlockSize - got, &read);
  got += read;
  return ok;
}

// The printer's error reply says it lost the last `count` bytes it took:
// they go again, as far back as the start of the file being sent (what an
// earlier file held is past recall). True when they lie in the block being
// sent, which then goes on from there; false when the file is read again
// from further back (the block is over).
bool PrintRun::StepBack(DWORD count) {
  const auto sentOfBlock = static_cast<DWORD>(blockPtr_ - block_);
  const DWORD sentOfFile = position_ - blockCount_;
  const DWORD back = std::min(count, sentOfFile);
  {
    SpoolerLock lock;
    g_nBytesSent -= std::min(back, g_nBytesSent);
  }
  if (back <= sentOfBlock) {
    blockPtr_ -= back;
    blockCount_ += back;
    return true;
  }
  const DWORD from = sentOfFile - back;
  // A file that cannot be read from there again fails the next read, as a
  // file that cannot be read on does.
  if (!plat::SetFilePointer(spool_, from > prefixLength_ ? from - prefixLength_ : 0))
    readError_ = plat::GetLastError();
  position_ = from;
  blockCount_ = 0;
  return false;
}

bool PrintRun::IsLastBlockOfJob() const {
  return copy_ >= job_.copies && fileIndex_ + 1 >= job_.fileCount && position_ >= fileSize_;
}

// What the printer has confirmed of what was written, for the pages; every
// kProgressPublishMs at most unless `now`.
void PrintRun::PublishProgress(bool now) {
  const DWORD tick = plat::GetTickCount();
  if (!now && tick - progressPublished_ < kProgressPublishMs) return;
  progressPublished_ = tick;
  PublishUnconfirmedBytes(port_);
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

int PrintRun::Ask(const FaultQuestion& question) {
  const int answer = AskFaultQuestion(0, question);
  plat::SetForegroundWindow(mainWnd_);
  return answer;
}

// A record outside the format is printed as far as it can be, but not
// silently: the user learns which spool files were left out and why.
void PrintRun::TellWhatTheRecordLost(const RecordParseNotes& notes) {
  if (notes.ignoredSpoolFiles > 0)
    AskFaultQuestion(0, SpoolFilesLeftOutNotice(job_.jobName, notes.ignoredSpoolFiles));
  if (notes.relativeSpoolPaths > 0) AskFaultQuestion(0, RelativeSpoolPathNotice(job_.jobName));
}

Next PrintRun::Abandon(RunOutcome outcome, bool purge, bool postClose) {
  EndJobCleanup();
  // A stop from outside answers a prompt that is up with its refusing
  // button; that answer must not drop the queue the stop keeps. The program
  // is ending anyway, so no close is asked for either.
  const bool ending = IsPrintShutdownRequested();
  if (purge && !(ending && IsQueueKeptAtShutdown())) PurgeQueue(job_);
  if (postClose && !ending) plat::PostMessage(mainWnd_, WM_CLOSE, plat::kCloseRunEnded, 0);
  outcome_ = outcome;
  return Next::Exit;
}

// A failure box: OK from someone who read it gives the job up as before; no
// answer at all (0: nobody there to read it) must not cost the queue.
Next PrintRun::FailJob(RunOutcome outcome, int answer, bool purge, bool postClose) {
  if (answer == 0) return KeepQueue(outcome);
  return Abandon(outcome, purge, postClose);
}

// A spool file that cannot be opened or read. Someone who reads the box
// decides as before; with nobody there, the job can never print and is set
// aside, so the jobs behind it do not wait for it for ever.
Next PrintRun::FailSpoolFile(RunOutcome outcome, int answer, bool postClose) {
  if (answer == 0 && queueMode_ && !IsPrintShutdownRequested()) return SetJobAside();
  return FailJob(outcome, answer, queueMode_, postClose);
}

// The job leaves the queue unprinted, its spool files with it as after
// Cancel Print, and the run goes on with the next one. The user is told in
// words, and the front end learns it (g_nJobsSetAside) to report the job as
// failed to whoever submitted it.
Next PrintRun::SetJobAside() {
  const std::string name = job_.jobName;
  EndJobCleanup();
  {
    SpoolerLock lock;
    ++g_nJobsSetAside;
  }
  if (FinishJob(job_) == FinishOutcome::Kept) return EndKeepingQueue();
  AskFaultQuestion(0, JobSetAsideNotice(name));
  return Next::NextJob;
}

// Nobody answered a fault: the run ends and every record, the current job's
// too, stays with its spool files. The run is closed like a normal one, so
// the queue marker does not say "Processing" (the next start's recovery
// would delete the older jobs) and the document close purges nothing. The
// front end decides whether the program closes or tries again later.
Next PrintRun::KeepQueue(RunOutcome outcome, WPARAM closeReason) {
  EndJobCleanup();
  if (queueMode_) {
    CloseQueueRun();
    if (!IsPrintShutdownRequested()) plat::PostMessage(mainWnd_, WM_CLOSE, closeReason, 0);
  }
  outcome_ = outcome;
  return Next::Exit;
}

// The head record stays in the queue file (FinishJob has told the user).
// Going on would take that same record again at once and print it without
// end; a purge would meet the same refusal and say so again. So the run
// ends here and leaves the queue as it is: every record and its spool files
// stay. The marker becomes "Purged", not "Processing": at the next start
// "Processing" would make the recovery delete the head job, unprinted,
// while with "Purged" the next start prints the record we could not remove
// once more (the user knows why) and then the rest. Should the
// file still be unwritable then, that run stops before sending anything.
// g_bQueuePurged is set too, so the document close does not purge either.
// The close is an ordinary one (not the retry of a fault nobody answered):
// trying again at the next tick would meet the same refusal.
Next PrintRun::EndKeepingQueue() { return KeepQueue(RunOutcome::QueueKept, 0); }

}  // namespace

RunOutcome RunPrintJobs() {
  // The run's state lives with the thread, not on a shared object.
  PrintRun run;
  return run.Run();
}
