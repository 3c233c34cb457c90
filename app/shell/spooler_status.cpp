// The spooler's status for the driver (see spooler_status.h).
#include "app/shell/spooler_status.h"

#include <algorithm>
#include <cstring>

#include "pages/printer_wait_text.h"
#include "platform/clock.h"
#include "platform/command_channel.h"

namespace {

// The copy being served to readers, and its ticket. Main thread only.
SpoolerStatus g_servedStatus;
std::int64_t g_nStatusTicket = 0;

constexpr int kReadAttempts = 5;

}  // namespace

SpoolerStatus TakeSpoolerStatus(DWORD nowTick, std::time_t nowWall) {
  SpoolerStatus status;
  PrinterWaitView view;
  {
    SpoolerLock lock;
    if (!g_bPrinting) return status;
    status.printing = true;
    status.jobName = g_curJob.jobName[0] ? std::string(g_curJob.jobName) : g_strFileName;
    status.copy = g_nCopy;
    status.copies = g_nCopies;
    status.sent = PrintedBytesOfCopy();
    status.total = g_nFileSize > 0 ? static_cast<std::uint32_t>(g_nFileSize) : 0;
    view = {g_nPrinterWait, g_dwWaitSince, g_dwWaitTimeout};
  }
  if (status.jobName.size() > kStatusNameBytes) status.jobName.resize(kStatusNameBytes);
  status.wait = view.wait;
  if (view.wait != PrinterWait::None) {
    status.hasTimeOut = view.timeout != 0;
    status.msLeft = WaitMsLeft(view, nowTick);
    status.waitStart = WaitStartTime(view, nowTick, nowWall);
  }
  return status;
}

std::int64_t EncodeStatusPart(const SpoolerStatus& s, unsigned part) {
  switch (part) {
    case 1:
      // Bit 63 stays clear: every answer is a plain non-negative number.
      return static_cast<std::int64_t>((s.printing ? 1u : 0u) | (s.hasTimeOut ? 2u : 0u) |
                                       (std::uint64_t{static_cast<std::uint8_t>(s.wait)} << 8) |
                                       (std::uint64_t{s.copy} << 16) |
                                       (std::uint64_t{s.copies} << 32) |
                                       (std::uint64_t{s.jobName.size()} << 48));
    case 2: return static_cast<std::int64_t>(s.sent | (std::uint64_t{s.total} << 32));
    case 3: return s.waitStart;
    case 4: return s.msLeft;
    default: break;
  }
  if (part < kStatusNamePart || part >= kStatusPartCount) return 0;
  const std::size_t offset = (part - kStatusNamePart) * 8;
  std::uint64_t bytes = 0;
  if (offset < s.jobName.size()) {
    const std::size_t n = std::min<std::size_t>(8, s.jobName.size() - offset);
    std::memcpy(&bytes, s.jobName.data() + offset, n);
  }
  return static_cast<std::int64_t>(bytes);
}

LRESULT AnswerStatusRequest(WPARAM part) {
  if (part == 0) {
    g_servedStatus = TakeSpoolerStatus(plat::GetTickCount(), std::time(nullptr));
    return ++g_nStatusTicket;
  }
  if (part == plat::kStatusTicketPart) return g_nStatusTicket;
  return EncodeStatusPart(g_servedStatus, static_cast<unsigned>(part));
}

bool ReadSpoolerStatus(const StatusAsker& ask, SpoolerStatus& status) {
  for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
    LRESULT ticket = 0;
    if (!ask(0, ticket)) return false;
    LRESULT parts[kStatusPartCount] = {};
    for (unsigned part = 1; part < kStatusNamePart; ++part)
      if (!ask(part, parts[part])) return false;
    const auto flags = static_cast<std::uint64_t>(parts[1]);
    const std::size_t nameLength = std::min<std::size_t>((flags >> 48) & 0xFF, kStatusNameBytes);
    const unsigned nameParts = static_cast<unsigned>((nameLength + 7) / 8);
    for (unsigned part = kStatusNamePart; part < kStatusNamePart + nameParts; ++part)
      if (!ask(part, parts[part])) return false;
    LRESULT served = 0;
    if (!ask(plat::kStatusTicketPart, served)) return false;
    if (served != ticket) continue;  // another reader's copy replaced ours

    status = SpoolerStatus{};
    status.printing = flags & 1u;
    status.hasTimeOut = flags & 2u;
    status.wait = static_cast<PrinterWait>((flags >> 8) & 0xFF);
    status.copy = static_cast<std::uint16_t>(flags >> 16);
    status.copies = static_cast<std::uint16_t>(flags >> 32);
    const auto sizes = static_cast<std::uint64_t>(parts[2]);
    status.sent = static_cast<std::uint32_t>(sizes);
    status.total = static_cast<std::uint32_t>(sizes >> 32);
    status.waitStart = parts[3];
    status.msLeft = static_cast<std::uint32_t>(parts[4]);
    char name[kStatusNameBytes] = {};
    for (unsigned i = 0; i < nameParts; ++i) {
      const auto bytes = static_cast<std::uint64_t>(parts[kStatusNamePart + i]);
      std::memcpy(name + i * 8, &bytes, 8);
    }
    status.jobName.assign(name, nameLength);
    return true;
  }
  return false;
}

std::string FormatSpoolerStatus(const SpoolerStatus& s) {
  if (!s.printing) return "no job is printing\n";
  std::string printer = "printing";
  if (const char* word = PrinterWaitWord(s.wait); *word) {
    printer = word;
    if (s.hasTimeOut) {
      printer += " (" + FormatWaitDuration((std::uint64_t{s.msLeft} + 999) / 1000) + " left)";
    } else {
      printer += " (since " + FormatTimeOfDay(static_cast<std::time_t>(s.waitStart)) + ")";
    }
  } else if (s.wait != PrinterWait::None) {
    printer = "waiting";  // a wait this reader does not know yet
  }
  return "job: " + s.jobName + "\n" +
         "copy: " + std::to_string(s.copy) + " of " + std::to_string(s.copies) + "\n" +
         "sent: " + std::to_string(s.sent) + " of " + std::to_string(s.total) + " bytes\n" +
         "printer: " + printer + "\n";
}
