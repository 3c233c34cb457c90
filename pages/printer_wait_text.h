// What the windows, kelvane-headless and the driver's "status" say about a
// printer that the print thread waits for: the short word, the status bar's
// line with its "since" or "left", and the durations in minutes and
// seconds. Pure functions apart from ReadPrinterWait, which copies the
// shared state under g_csSpooler. Any thread.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "app/state/spooler_state.h"

struct PrinterWaitView {
  PrinterWait wait = PrinterWait::None;
  DWORD since = 0;    // tick at which the wait began
  DWORD timeout = 0;  // ms after `since` at which it ends; 0: none
};

// g_nPrinterWait, g_dwWaitSince and g_dwWaitTimeout as one copy.
PrinterWaitView ReadPrinterWait();

// "out of paper", "not selected", "not accepting data", "stalled"; "" for
// none or an unknown value. The headless state lines are "state: " and this.
const char* PrinterWaitWord(PrinterWait wait);
// The same word for a list cell: "Out of paper", ...; "" for none.
std::string PrinterWaitCellWord(PrinterWait wait);
// The headless line for a change to `wait`; "" when nothing is to be said
// (none after a wait that ended without data moving).
std::string PrinterStateLine(PrinterWait wait, bool dataMoved);

// "45 s", "7 min 40 s", "2 h 5 min 3 s", "0 s".
std::string FormatWaitDuration(std::uint64_t seconds);
// Milliseconds left before the wait's time-out at `now` (ticks, unsigned
// arithmetic); 0 when it is due or the wait has none.
DWORD WaitMsLeft(const PrinterWaitView& view, DWORD now);
// The wall-clock second at which the wait began, from a pair of readings
// of the wall clock and the tick count taken at the same moment.
std::time_t WaitStartTime(const PrinterWaitView& view, DWORD nowTick, std::time_t nowWall);
// "14:02:11" in local time.
std::string FormatTimeOfDay(std::time_t when);

// The status bar's message: "Printer out of paper: waiting since 14:02:11"
// for a wait without a time-out, "Printer not selected: 7 min 40 s left"
// (seconds rounded up) for one with it; "" for none.
std::string PrinterWaitStatusText(const PrinterWaitView& view, DWORD nowTick,
                                  std::time_t nowWall);
// The driver's "printer:" value: "printing" with no wait, "out of paper
// (since 14:02:11)", "not selected (7 min 40 s left)".
std::string PrinterWaitStatusValue(const PrinterWaitView& view, DWORD nowTick,
                                   std::time_t nowWall);

// The main window's message pane: the wait's line while the print thread
// waits for the printer, the idle message ("Ready") otherwise.
std::string StatusPaneText(const PrinterWaitView& view, DWORD nowTick, std::time_t nowWall);

// The desktop notification for a box of the print thread that comes up
// while none of our windows is active: its caption as the title, its text
// with LF line ends as the body.
// A box text with LF line ends, as the toolkit and the desktop's
// notifications want them: CR LF and a lone CR each become one LF.
std::string WithLfLineEnds(const std::string& text);

struct BoxNotice {
  std::string title;
  std::string body;
};
BoxNotice MakeBoxNotice(const std::string& caption, const std::string& text);
