// Port channel: opening the printer port with the settings the engine relies
// on, writing one block while watching the error flags and the time-outs,
// reading a reply with a time-out, redirecting a share to a free LPT device,
// waiting, and waiting for the printer to take the whole job.
// WritePortBlock, WaitForPortDelivery, CaptureNetworkPort and DelayMs run on
// the print thread; OpenPrinterPort and ReadPortWithTimeout also on the main
// thread. Shared state is touched only under g_csSpooler.
#include "engine/port_channel.h"

#include <cstring>
#include <string>

#include "app/state/spooler_state.h"
#include "engine/printer_models.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/net_redirect.h"
#include "platform/port_device.h"
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

namespace {

void PublishUnconfirmed(const plat::PortDelivery& delivery) {
  const DWORD unconfirmed = delivery.counted ? delivery.unconfirmed : 0;
  SpoolerLock lock;
  g_nBytesUnconfirmed = unconfirmed;
}

bool IsStopRequested() {
  SpoolerLock lock;
  return g_bAbortJob != 0;
}

}  // namespace

bool WaitForPortDelivery(HANDLE port, const JobRecord& job, std::int32_t& code) {
  PublishedWait published;
  DWORD clock = 0;              // the txTimeout, from the last sign of progress
  DWORD acknowledgedSince = 0;  // 0: not every byte acknowledged yet
  DWORD quietSince = plat::GetTickCount();
  bool haveCount = false;
  DWORD lastUnconfirmed = 0;
  for (;;) {
    plat::PortDelivery delivery;
    if (!plat::DrainPort(port, kWriteTotalTimeoutMs, &delivery)) {
      // No port to ask (closed under us by the clean-up): nothing says the
      // printer has the job.
      code = ERROR_IO_DEVICE;
      return false;
    }
    PublishUnconfirmed(delivery);
    const DWORD now = plat::GetTickCount();
    switch (delivery.state) {
      case plat::DeliveryState::Delivered:
        published.MarkResumed();
        return true;
      case plat::DeliveryState::Lost:
        code = ERROR_IO_DEVICE;
        return false;
      case plat::DeliveryState::Acknowledged:
        if (acknowledgedSince == 0) acknowledgedSince = now ? now : 1;
        if (now - acknowledgedSince >= kAcknowledgedGraceMs) {
          published.MarkResumed();
          return true;
        }
        break;
      case plat::DeliveryState::Sending:
        acknowledgedSince = 0;
        break;
    }
    // A stop that comes once the printer has acknowledged every byte finds
    // the job printed: keeping it would print it again.
    if (IsStopRequested()) {
      if (acknowledgedSince != 0) return true;
      code = WRITE_ABORTED;
      return false;
    }
    // Every byte the printer confirms is progress; the time-out is for a
    // printer that takes nothing at all.
    if (delivery.counted && (!haveCount || delivery.unconfirmed < lastUnconfirmed)) {
      haveCount = true;
      lastUnconfirmed = delivery.unconfirmed;
      clock = 0;
      quietSince = now;
      published.Show(PrinterWait::None, 0, 0);
    }
    if (acknowledgedSince == 0 && HasElapsed(clock, job.txTimeout)) {
      code = ERROR_COUNTER_TIMEOUT;
      published.Keep(PrinterWait::NotAccepting, plat::GetTickCount());
      return false;
    }
    if (acknowledgedSince == 0 && now - quietSince >= kQuietShownMs) {
      published.Show(PrinterWait::NotAccepting, clock != 0 ? clock : now, job.txTimeout);
    }
    // The device waited already; this keeps one that answers at once from
    // spinning the processor (and moves a fake clock on).
    plat::PausePolling();
  }
}

bool IsPortStreamLost(HANDLE port) {
  plat::PortDelivery delivery;
  return plat::QueryPortDelivery(port, &delivery) &&
         delivery.state == plat::DeliveryState::Lost;
}

void PublishUnconfirmedBytes(HANDLE port) {
  plat::PortDelivery delivery;
  if (!plat::QueryPortDelivery(port, &delivery)) delivery = plat::PortDelivery{};
  PublishUnconfirmed(delivery);
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
