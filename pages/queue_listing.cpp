// Job Queue page computations (see queue_listing.h).
// Main thread.
#include "pages/queue_listing.h"

#include "pages/printer_wait_text.h"

#include <algorithm>

#include "app/state/spooler_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "queue/queue_file.h"

namespace {

constexpr std::string_view kRecordSeparator = "\n\r\n";

// The whole queue file, or false. The driver and the print thread hold it
// exclusively for short moments, so a refused open is tried again until
// 1500 ms have passed since the first attempt.
bool ReadQueueImage(const std::string& path, std::uint32_t size,
                    std::string& image) {
  const DWORD start = plat::GetTickCount();
  HANDLE h = INVALID_HANDLE_VALUE;
  for (;;) {
    h = plat::OpenFile(path, plat::Access::Read, plat::ShareMode::None,
                       plat::Disposition::OpenExisting);
    if (h != INVALID_HANDLE_VALUE) break;
    if (plat::GetTickCount() - start >= kQueueOpenRetryMs) return false;
    plat::PausePolling();
  }
  const std::size_t want = std::min<std::size_t>(size, kMaxQueueListingBytes);
  image.assign(want, '\0');
  DWORD got = 0;
  const bool ok = plat::ReadFile(h, image.data(), static_cast<DWORD>(want), &got);
  plat::CloseHandle(h);
  if (!ok) return false;
  // The file may have shrunk since its size was taken; keep what was read.
  image.resize(got);
  return true;
}

}  // namespace

std::vector<std::string> ParseQueueJobNames(std::string_view data) {
  std::vector<std::string> names;
  std::size_t pos =
      FindHeadRecordStart(reinterpret_cast<const unsigned char*>(data.data()), data.size());
  while (pos < data.size()) {
    const std::size_t lf = data.find('\n', pos);
    if (lf == std::string_view::npos) break;  // truncated record
    // At most 128 bytes of the line, less the last one: the CR of the line
    // end, or the 128th character of a name that is too long.
    std::size_t copied = std::min<std::size_t>(lf - pos, kMaxJobNameChars + 1);
    if (copied > 0) --copied;
    names.emplace_back(data.substr(pos, copied));
    if (names.size() == kMaxQueueRows) break;
    const std::size_t sep = data.find(kRecordSeparator, pos);
    if (sep == std::string_view::npos) break;
    pos = sep + kRecordSeparator.size();
    if (data.size() - pos < 3) break;
  }
  return names;
}

const char* QueueStatusWord(std::uint8_t rowState) {
  switch (rowState) {
    case kRowPrinting: return "Printing";
    case kRowQueued: return "Queued";
    default: return "Paused";
  }
}

QueueListing ReadQueueListing() {
  QueueListing listing;
  std::string path;
  {
    SpoolerLock lock;
    path = g_szQueueFile;
    listing.printing = g_bPrinting != 0;
  }
  const std::int32_t size = QueryFileSize(path.c_str());
  if (size <= 0) return listing;
  std::string image;
  if (!ReadQueueImage(path, static_cast<std::uint32_t>(size), image))
    return listing;
  listing.read = true;
  const std::vector<std::string> names = ParseQueueJobNames(image);
  for (std::size_t row = 0; row < names.size(); ++row) {
    std::uint8_t state;
    PrinterWait wait;
    {
      SpoolerLock lock;
      if (row != 0) g_jobRowState[row] = kRowQueued;
      state = g_jobRowState[row];
      wait = g_bPrinting ? g_nPrinterWait : PrinterWait::None;
    }
    // The printing job's row says what the printer keeps it waiting for,
    // as long as it does.
    if (row == 0 && state == kRowPrinting && wait != PrinterWait::None) {
      listing.rows.push_back({names[row], PrinterWaitCellWord(wait)});
      continue;
    }
    listing.rows.push_back({names[row], QueueStatusWord(state)});
  }
  return listing;
}

bool ShouldCloseForDeleteAll(int answer, bool printing) {
  return answer == IDOK && printing;
}
