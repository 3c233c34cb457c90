// Texts about what the print thread waits for (see printer_wait_text.h).
#include "pages/printer_wait_text.h"

#include <cctype>

#include "res/string_ids.h"
#include "res/string_table.h"

PrinterWaitView ReadPrinterWait() {
  SpoolerLock lock;
  return {g_nPrinterWait, g_dwWaitSince, g_dwWaitTimeout};
}

const char* PrinterWaitWord(PrinterWait wait) {
  switch (wait) {
    case PrinterWait::OutOfPaper: return "out of paper";
    case PrinterWait::NotSelected: return "not selected";
    case PrinterWait::NotAccepting: return "not accepting data";
    case PrinterWait::Stalled: return "stalled";
    case PrinterWait::None: break;
  }
  return "";
}

std::string PrinterWaitCellWord(PrinterWait wait) {
  std::string word = PrinterWaitWord(wait);
  if (!word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
  return word;
}

std::string PrinterStateLine(PrinterWait wait, bool dataMoved) {
  if (wait == PrinterWait::None) return dataMoved ? "state: printing" : "";
  const char* word = PrinterWaitWord(wait);
  return *word ? std::string("state: ") + word : std::string();
}

std::string FormatWaitDuration(std::uint64_t seconds) {
  const std::uint64_t hours = seconds / 3600;
  const std::uint64_t minutes = seconds / 60 % 60;
  const std::uint64_t rest = seconds % 60;
  std::string text;
  if (hours) text += std::to_string(hours) + " h ";
  if (hours || minutes) text += std::to_string(minutes) + " min ";
  text += std::to_string(rest) + " s";
  return text;
}

DWORD WaitMsLeft(const PrinterWaitView& view, DWORD now) {
  if (view.wait == PrinterWait::None || view.timeout == 0) return 0;
  const DWORD passed = now - view.since;
  return passed >= view.timeout ? 0 : view.timeout - passed;
}

std::time_t WaitStartTime(const PrinterWaitView& view, DWORD nowTick, std::time_t nowWall) {
  return nowWall - static_cast<std::time_t>((nowTick - view.since) / 1000);
}

std::string FormatTimeOfDay(std::time_t when) {
  std::tm parts{};
#ifdef _WIN32
  if (localtime_s(&parts, &when) != 0) return "";  // the C runtime's reentrant form
#else
  if (!localtime_r(&when, &parts)) return "";
#endif
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &parts);
  return text;
}

namespace {

// "waiting since 14:02:11" or "7 min 40 s left".
std::string WaitDetail(const PrinterWaitView& view, DWORD nowTick, std::time_t nowWall,
                       bool brief) {
  if (view.timeout != 0) {
    // Rounded up: "0 s left" would be shown while the wait still lasts.
    const DWORD left = WaitMsLeft(view, nowTick);
    return FormatWaitDuration((static_cast<std::uint64_t>(left) + 999) / 1000) + " left";
  }
  return std::string(brief ? "since " : "waiting since ") +
         FormatTimeOfDay(WaitStartTime(view, nowTick, nowWall));
}

}  // namespace

std::string PrinterWaitStatusText(const PrinterWaitView& view, DWORD nowTick,
                                  std::time_t nowWall) {
  const char* word = PrinterWaitWord(view.wait);
  if (!*word) return "";
  return std::string("Printer ") + word + ": " + WaitDetail(view, nowTick, nowWall, false);
}

std::string PrinterWaitStatusValue(const PrinterWaitView& view, DWORD nowTick,
                                   std::time_t nowWall) {
  const char* word = PrinterWaitWord(view.wait);
  if (!*word) return "printing";
  return std::string(word) + " (" + WaitDetail(view, nowTick, nowWall, true) + ")";
}

std::string StatusPaneText(const PrinterWaitView& view, DWORD nowTick, std::time_t nowWall) {
  std::string text = PrinterWaitStatusText(view, nowTick, nowWall);
  return text.empty() ? LoadResString(AFX_IDS_IDLEMESSAGE) : text;
}

std::string WithLfLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += '\n';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

BoxNotice MakeBoxNotice(const std::string& caption, const std::string& text) {
  return BoxNotice{caption, WithLfLineEnds(text)};
}
