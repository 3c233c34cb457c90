// Port channel: opening the printer port with the settings the engine relies
// on, writing one block while watching the error flags and the time-outs,
// reading a reply with a time-out, redirecting a share to a free LPT device,
// waiting, and putting the job prefix in front of a spool file.
// WritePortBlock, CaptureNetworkPort, PrependToFile and DelayMs run on the
// print thread; OpenPrinterPort and ReadPortWithTimeout also on the main
// thread. Shared state is touched only under g_csSpooler.
#include "engine/port_channel.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "app/spooler_state.h"
#include "engine/printer_models.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/net_redirect.h"
#include "platform/port_device.h"
#include "platform/posix/descriptor_io.h"
#include "platform/window_messages.h"

namespace {

constexpr DWORD kFirstWriteAllowanceMs = 110;
// A printer working through its buffer takes nothing for a moment and then
// a burst, without any flag; only a pause longer than this is a wait worth
// telling the user about. Flags, and the Cantella's own stall rule, are
// told at once.
constexpr DWORD kQuietShownMs = 2000;

bool QueryErrors(HANDLE port, DWORD& errors) {
  errors = 0;
  if (!plat::ClearCommError(port, &errors)) {
    errors = 0;  // a failed query counts as no flag at all
    return false;
  }
  return true;
}

bool IsStallingPrinter() {
  SpoolerLock lock;
  return std::strcmp(g_szPrinterName, kStallingModel) == 0;
}

// What WritePortBlock has told the rest of the program it waits for. Only
// changes are published (and posted), so a printer that stays out of paper
// for an hour costs nothing per retry. A call that ends with the printer
// not selected, out of paper or not taking data leaves its wait published:
// the job still waits for that printer while its question is up (and a
// print service wants to know), until data moves again or the job ends
// (EndJobCleanup clears it). Any other way out ends the wait.
class PublishedWait {
 public:
  PublishedWait() {
    SpoolerLock lock;
    shown_ = g_nPrinterWait;
  }
  PublishedWait(const PublishedWait&) = delete;
  PublishedWait& operator=(const PublishedWait&) = delete;
  ~PublishedWait() {
    if (!kept_ && shown_ != PrinterWait::None) Publish(PrinterWait::None, 0, 0, resumed_);
  }
  // The call ends on this printer state: it stays the wait.
  // Its time-out, if it had one, has done its work: from now on only the
  // printer or the answer to the question ends the wait.
  void Keep(PrinterWait wait, DWORD since) {
    if (wait == PrinterWait::None) return;
    kept_ = true;
    DWORD shownSince = 0;
    DWORD shownTimeout = 0;
    {
      SpoolerLock lock;
      shownSince = g_dwWaitSince;
      shownTimeout = g_dwWaitTimeout;
    }
    if (wait == shown_ && shownTimeout == 0) return;
    Publish(wait, wait == shown_ ? shownSince : since, 0, true);
  }

  // `since` is the wait's start; `timeoutMs` after it a time-out ends it.
  void Show(PrinterWait wait, DWORD since, DWORD timeoutMs) {
    if (wait == shown_) return;
    Publish(wait, since, timeoutMs, true);
  }
  // The call returns with the whole block written: data moved again.
  void MarkResumed() { resumed_ = true; }

 private:
  void Publish(PrinterWait wait, DWORD since, DWORD timeoutMs, bool moved) {
    shown_ = wait;
    {
      SpoolerLock lock;
      g_nPrinterWait = wait;
      g_dwWaitSince = since;
      g_dwWaitTimeout = timeoutMs;
    }
    // g_hMainWnd is written once before any print thread exists.
    plat::PostMessage(g_hMainWnd, WM_SPOOLER_PRINTERWAIT,
                      static_cast<WPARAM>(wait), moved ? 1 : 0);
  }

  PrinterWait shown_ = PrinterWait::None;
  bool resumed_ = false;
  bool kept_ = false;
};

// The wait a fault code leaves published (see PublishedWait).
PrinterWait WaitOfFault(std::int32_t code) {
  switch (code) {
    case ERROR_NOT_READY:
      return PrinterWait::NotSelected;
    case ERROR_OUT_OF_PAPER:
      return PrinterWait::OutOfPaper;
    case ERROR_COUNTER_TIMEOUT:
      return PrinterWait::NotAccepting;
    default:
      return PrinterWait::None;
  }
}

// The earlier of two limits, 0 standing for none.
DWORD EarlierLimit(DWORD a, DWORD b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// Removes the half-built copy of a spool file and reports `error`.
bool AbandonPrepend(int tempFd, const std::string& tempName, HANDLE source,
                    int error) {
  if (tempFd >= 0) ::close(tempFd);
  if (!tempName.empty()) ::unlink(tempName.c_str());
  if (source != INVALID_HANDLE_VALUE) plat::CloseHandle(source);
  plat::SetLastError(static_cast<DWORD>(error));
  return false;
}

}  // namespace

void ApplyPortSettings(HANDLE port) {
  plat::SetCommMask(port, kPortEventMask);
  // Only the three fields we rely on change; the multipliers stay as the
  // port had them.
  plat::COMMTIMEOUTS timeouts;
  plat::GetCommTimeouts(port, &timeouts);
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutConstant = kReadTotalTimeoutMs;
  timeouts.WriteTotalTimeoutConstant = kWriteTotalTimeoutMs;
  plat::SetCommTimeouts(port, &timeouts);
}

bool OpenPrinterPort(HANDLE& port) {
  // The name is copied under the lock so that it agrees with the next-job
  // step that writes it; the open itself may wait for a network printer to
  // answer, and nobody else should wait on the lock meanwhile.
  std::string name;
  {
    SpoolerLock lock;
    name = g_szPortName;
  }
  port = plat::OpenPort(name);
  if (port == INVALID_HANDLE_VALUE) return false;
  ApplyPortSettings(port);
  return true;
}

bool WritePortBlock(HANDLE port, const BYTE*& block, DWORD& blockCount,
                    DWORD& lastCount, const JobRecord& job, std::int32_t& code) {
  // One clock per call: every limit below counts from the first failed write.
  DWORD clock = 0;
  bool stop = false;

  PublishedWait published;
  DWORD errors = 0;
  QueryErrors(port, errors);
  if (errors & (CE_IOE | CE_DNS | CE_OOP)) {
    code = (errors & CE_IOE) ? ERROR_IO_DEVICE
           : (errors & CE_DNS) ? ERROR_NOT_READY
                               : ERROR_OUT_OF_PAPER;
    lastCount = 0;
    published.Keep(WaitOfFault(code), plat::GetTickCount());
    return false;
  }

  DWORD quietSince = 0;  // start of the writes that moved nothing; 0: none
  for (;;) {
    const DWORD writeStart = plat::GetTickCount();
    lastCount = 0;
    const bool wrote = plat::WriteFile(port, block, blockCount, &lastCount);
    if (lastCount > blockCount) lastCount = blockCount;  // never trust more
    // A call that reports success must also have moved the whole block; a
    // short one is treated like a write the time-out ended, so the rest is
    // sent (or the time-outs apply) instead of being dropped unseen.
    if (wrote && lastCount == blockCount) {
      published.MarkResumed();
      return true;
    }

    QueryErrors(port, errors);
    PrinterWait wait;
    DWORD limit = 0;
    if (errors & CE_OOP) {
      code = ERROR_OUT_OF_PAPER;  // retried until the paper is back
      wait = PrinterWait::OutOfPaper;
    } else if (errors & (CE_IOE | CE_BREAK)) {
      code = ERROR_IO_DEVICE;
      stop = true;
      wait = PrinterWait::None;
    } else if (errors & CE_DNS) {
      wait = PrinterWait::NotSelected;
      limit = job.dnsTimeout;
      if (HasElapsed(clock, job.dnsTimeout)) {
        code = ERROR_NOT_READY;
        stop = true;
      }
    } else {
      wait = PrinterWait::NotAccepting;
      limit = job.txTimeout;
      if (HasElapsed(clock, job.txTimeout)) {
        code = ERROR_COUNTER_TIMEOUT;
        stop = true;
      } else if (IsStallingPrinter()) {
        wait = PrinterWait::Stalled;
        limit = EarlierLimit(limit, kCantellaStallMs);
        if (HasElapsed(clock, kCantellaStallMs)) {
          code = WRITE_STALLED;
          stop = true;
        }
      }
    }

    if (lastCount >= blockCount) {  // the rest went out after all
      published.MarkResumed();
      return true;
    }
    // A write that moved something means the printer takes data, however
    // slowly: there is nothing to wait for yet. The limits count from the
    // call's clock, so that is where a wait with a limit began.
    if (lastCount > 0) {
      quietSince = 0;
      published.Show(PrinterWait::None, 0, 0);
    } else {
      if (quietSince == 0) quietSince = writeStart ? writeStart : 1;
      const DWORD now = plat::GetTickCount();
      const bool tell = wait != PrinterWait::NotAccepting || now - quietSince >= kQuietShownMs;
      if (!stop && wait != PrinterWait::None && tell)
        published.Show(wait, limit != 0 && clock != 0 ? clock : now, limit);
    }

    block += lastCount;
    blockCount -= lastCount;
    bool abort;
    {
      SpoolerLock lock;
      abort = g_bAbortJob != 0;
      g_nBytesSent += lastCount;
    }
    if (abort) {
      code = WRITE_ABORTED;
      return false;
    }
    if (stop) {
      published.Keep(WaitOfFault(code), plat::GetTickCount());
      return false;
    }
    // The device waited its write time-out already; this only keeps a
    // device that fails at once from spinning the processor.
    plat::PausePolling();
  }
}

bool HasElapsed(DWORD& clock, DWORD limitMs) {
  if (limitMs == 0) return false;
  const DWORD now = plat::GetTickCount();
  if (clock == 0) {
    // The first write's time-out counts as already spent.
    clock = now - kFirstWriteAllowanceMs;
    if (clock == 0) clock = 0xFFFFFFFFu;  // 0 means "not started"
  }
  if (now - clock < limitMs) return false;
  clock = 0;
  return true;
}

void DelayMs(DWORD ms) {
  // The full time by unsigned tick arithmetic, so a start just before the
  // wrap still waits it all; between polls the processor is given away, as
  // a print thread waiting out a 1250 ms pause has no use for a whole core.
  const DWORD start = plat::GetTickCount();
  while (plat::GetTickCount() - start < ms) plat::PausePolling();
}

bool ReadPortWithTimeout(HANDLE port, void* buffer, DWORD bufferSize,
                         DWORD& count, std::uint16_t timeoutMs) {
  const DWORD start = plat::GetTickCount();
  count = 0;
  for (;;) {
    count = 0;
    const bool ok = plat::ReadFile(port, buffer, bufferSize, &count);
    if (ok && count > 0) return true;
    // A failed call that still delivered bytes: keep them. (Going round
    // again would read over them.)
    if (count > 0) return true;
    if (plat::GetTickCount() - start > timeoutMs) return ok;
    plat::PausePolling();
  }
}

int CaptureNetworkPort(const char* remoteName) {
  const std::string remote = remoteName ? remoteName : "";
  for (int n = 1; n <= 9; ++n) {
    const std::string device = "LPT" + std::to_string(n);
    if (plat::AddConnection(device, remote) == 0) {
      // Only the print thread writes these, but the clean-up may read them
      // from the main thread at close: write them under the lock.
      SpoolerLock lock;
      g_bNetConnected = 1;
      CopyField(g_szNetDevice, device.c_str());
      return 0;
    }
  }
  return 1;
}

bool PrependToFile(const char* path, const void* bytes, DWORD count) {
  if (!path || (!bytes && count != 0)) {
    plat::SetLastError(EINVAL);
    return false;
  }
  const std::string target = path;

  // Held with no sharing until the new file has replaced it, so the driver
  // cannot append to the old one behind our back.
  HANDLE source = plat::OpenFile(target, plat::Access::Read,
                                 plat::ShareMode::None,
                                 plat::Disposition::OpenExisting);
  if (source == INVALID_HANDLE_VALUE) return false;

  struct stat st {};
  if (::stat(target.c_str(), &st) != 0)
    return AbandonPrepend(-1, "", source, errno);

  // The new file is built beside the old one so that the rename stays on
  // one file system and is atomic.
  std::string tmpl = plat::DirectoryOf(target) + "/~tmXXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int tfd = ::mkostemp(name.data(), O_CLOEXEC);
  if (tfd < 0) return AbandonPrepend(-1, "", source, errno);
  const std::string tempName = name.data();
  if (::fchmod(tfd, st.st_mode & 07777) != 0)
    return AbandonPrepend(tfd, tempName, source, errno);

  if (!plat::WriteAllToDescriptor(tfd, bytes, count))
    return AbandonPrepend(tfd, tempName, source, errno);

  // The old contents go over inside the kernel: a job of many megabytes is
  // not carried through our memory twice before its first block can go out.
  if (!plat::CopyHandleToDescriptor(source, tfd))
    return AbandonPrepend(tfd, tempName, source,
                          static_cast<int>(plat::GetLastError()));
  // The new file must be whole on disk before it takes the name: a crash
  // then leaves either the old file or the new one.
  if (::fsync(tfd) != 0) return AbandonPrepend(tfd, tempName, source, errno);

  // Lock the new file before it takes the name, as every writer of a shared
  // file does, so that an opener never sees it half-owned.
  int rc;
  do {
    rc = ::flock(tfd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 || ::rename(tempName.c_str(), target.c_str()) != 0)
    return AbandonPrepend(tfd, tempName, source, errno);

  // No sync of the directory: whichever name a crash leaves, old file or
  // new, is a whole job, and the job is given the prefix again when it is
  // taken again. Waiting for the disk here would only delay the first block.
  ::close(tfd);
  plat::CloseHandle(source);
  return true;
}
