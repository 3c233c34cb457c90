// Current Job page computations and shared-state steps (see
// current_job_display.h).
// Main thread.
#include "pages/current_job_display.h"

#include <algorithm>

#include "app/state/spooler_state.h"
#include "engine/print_thread.h"
#include "res/string_ids.h"
#include "res/string_table.h"

CurrentJobSnapshot SnapshotCurrentJob() {
  CurrentJobSnapshot s;
  {
    SpoolerLock lock;
    s.bytesSent = PrintedBytesOfCopy();
    // The record keeps the size signed; the page reads the same 32 bits
    // unsigned, as the size text and the progress are defined on them.
    s.fileSize = static_cast<std::uint32_t>(g_nFileSize);
    s.copy = g_nCopy;
    s.copies = g_nCopies;
    s.jobDone = g_bJobDone;
    s.printing = g_bPrinting != 0;
    s.queueMode = g_bQueueMode != 0;
    s.fileName = g_strFileName;
  }
  // Only this thread writes it (File/Open).
  s.fileLoaded = g_bFileLoaded != 0;
  return s;
}

std::string FormatSizeText(std::uint32_t fileSize) {
  const std::uint32_t kilobytes = (fileSize + 500u) / 1000u;
  return std::to_string(kilobytes) + LoadResString(IDS_SIZE_KB);
}

std::string FormatStatusLine(bool printing, BOOL jobDone, unsigned copy,
                             unsigned copies) {
  if (!printing)
    return LoadResString(jobDone == 1 ? IDS_STATUS_COMPLETED : IDS_STATUS_IDLE);
  return LoadResString(IDS_STATUS_COPY) + std::to_string(copy) +
         LoadResString(IDS_STATUS_OF) + std::to_string(copies);
}

int ComputeProgress(std::uint32_t bytesSent, std::uint32_t fileSize,
                    bool printing) {
  if (!printing || fileSize == 0) return 0;
  const double percent =
      static_cast<double>(bytesSent) / static_cast<double>(fileSize) * 100.0;
  // A bar past its end would mean a counter ran ahead of the size; show it
  // full rather than hand the control a position outside its range.
  return static_cast<int>(std::min(percent, 100.0));
}

JobButtonStates ComputeJobButtons(const CurrentJobSnapshot& s) {
  JobButtonStates b;
  if (s.printing) {
    b.print = false;
    b.pause = true;
    b.cancelPrint = true;
  } else {
    b.print = !s.queueMode && s.fileLoaded;
    b.pause = false;
    b.cancelPrint = false;
  }
  return b;
}

CurrentJobDisplay BuildCurrentJobDisplay(const CurrentJobSnapshot& s) {
  CurrentJobDisplay d;
  d.fileName = s.fileName;
  d.sizeText = FormatSizeText(s.fileSize);
  d.statusLine = FormatStatusLine(s.printing, s.jobDone, s.copy, s.copies);
  d.progress = ComputeProgress(s.bytesSent, s.fileSize, s.printing);
  d.buttons = ComputeJobButtons(s);
  return d;
}

bool StartManualPrint(unsigned copies) {
  // Checked before the count is stored, so a refused press leaves the
  // running job's copy count alone.
  if (IsPrintRunAlive()) return false;
  {
    SpoolerLock lock;
    g_nCopies = static_cast<std::uint16_t>(std::min(copies, 0xFFFFu));
  }
  return StartPrintThread(ThreadPriority::Highest);
}

unsigned CurrentCopies() {
  SpoolerLock lock;
  return g_nCopies;
}

bool IsPrintPaused() {
  SpoolerLock lock;
  return g_bPaused != 0;
}

std::string PausePrint() {
  {
    SpoolerLock lock;
    g_bPaused = 1;
    g_jobRowState[0] = kRowPaused;
  }
  NotifyPauseChanged();
  return LoadResString(IDS_LABEL_RESUME);
}

std::string ResumePrint() {
  {
    SpoolerLock lock;
    g_bPaused = 0;
    g_jobRowState[0] = kRowPrinting;
  }
  NotifyPauseChanged();
  return LoadResString(IDS_LABEL_PAUSE);
}

bool CancelPrint() {
  bool released = false;
  {
    SpoolerLock lock;
    if (g_bPrinting) g_bAbortJob = 1;
    if (g_bPaused) {
      g_bPaused = 0;
      g_jobRowState[0] = kRowPrinting;
      released = true;
    }
  }
  NotifyPauseChanged();
  return released;
}
