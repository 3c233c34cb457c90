// The string table: every text with an id that the user can read, and
// LoadResString, which hands them out with the cut-off of a fixed buffer.
// Any thread: the table is constant data.
#include "res/string_table.h"

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "res/string_ids.h"

namespace {

struct StringEntry {
  UINT id;
  std::string_view text;
};

// Kept sorted by id so that a lookup is a binary search. 61234 has never
// had a text: code 83 of the cutter falls to the unknown-error text.
constexpr StringEntry kStrings[] = {
    {IDR_MAINFRAME, "Kelvane\n\nTamrel\n\n\nTamrel.Document\nTamrel Document"},
    {AFX_IDS_APP_TITLE, "Tamrel"},
    {AFX_IDS_IDLEMESSAGE, "Ready"},
    {ID_INDICATOR_CAPS, "CAP"},
    {ID_INDICATOR_NUM, "NUM"},
    {ID_INDICATOR_SCRL, "SCRL"},
    {IDS_CAPTION_PRINTER_ERROR, "Kelvane - Printer Error"},
    {IDS_CAPTION_PORT_ERROR, "Kelvane Error"},
    {IDS_CAPTION_PRINTER_STATUS, "Kelvane - Printer Status"},
    {IDS_CAPTION_PRINTER_MESSAGE, "Kelvane - Printer Message"},
    {IDS_PORT_OUT_OF_PAPER,
     "The printer is reporting out of paper.  Check paper supply."},
    {IDS_PORT_NOT_SELECTED_QUEUE,
     "The printer is not selected. Make sure the cable is connected and the "
     "printer is online.\r\n\r\nAbort cancels all jobs.\r\nRetry starts "
     "current job over.\r\nIgnore continues with current job."},
    {IDS_PORT_NOT_SELECTED,
     "The printer is not selected. Make sure the cable is connected and the "
     "printer is online."},
    {IDS_PORT_NOT_ACCEPTING_QUEUE,
     "The printer is not accepting data. Make sure the printer is online and "
     "the cable is connected.\r\n\r\nAbort cancels all jobs.\r\nRetry starts "
     "current job over.\r\nIgnore continues with current job."},
    // The doubled full stop is what users have always seen.
    {IDS_PORT_NOT_ACCEPTING,
     "The printer is not accepting data. Make sure the printer is online and "
     "the cable is connected.."},
    {IDS_PRINTER_PAPER_JAM,
     "The printer has reported a paper jam error.\r\nClear the paper jam from "
     "the printer.\r\nThen press the printer Online button to retry or the "
     "printer Cancel button to cancel the job."},
    {IDS_PRINTER_RIBBON_JAM,
     "The printer has reported a ribbon jam/error.\r\nPress the printer "
     "Online button to retry or the printer Cancel button to cancel the job."},
    // The ribbon type is appended after the two line breaks.
    {IDS_PRINTER_RIBBON_TYPE,
     "Printer Ribbon Error.  Make sure you have the following ribbon type "
     "installed:\r\n\r\n"},
    {IDS_PAUSE_WARNING,
     "Warning:  Choosing to pause a print may degrade the print quality of "
     "the current print.  "},
    {IDS_CAPTION_WARNING, "Kelvane - Warning"},
    {IDS_LABEL_PAUSE, "Pause"},
    {IDS_LABEL_RESUME, "Resume"},
    {IDS_STATUS_COMPLETED, "completed"},
    {IDS_STATUS_IDLE, "idle"},
    {IDS_STATUS_COPY, "Copy "},
    {IDS_STATUS_OF, " of "},
    {IDS_SIZE_KB, " KB"},
    {IDS_CANCEL_WARNING,
     "Warning:  Choosing to cancel the print will cause the current job to "
     "stop."},
    {IDS_PORT_IO_ERROR,
     "A device I/O error has occurred.\r\nMake sure the printer is on and the "
     "cable is connected."},
    {IDS_PRINTER_COMM_ERROR,
     "The printer has reported a communications error."},
    {IDS_PRINTER_HOOD_OPEN,
     "The printer hood is open.\r\nShut the hood and press the printer Online "
     "button."},
    {IDS_PRINTER_FLIPPER,
     "The printer has reported a flipper error.\r\nPress the printer Online "
     "button to retry or the printer Cancel button to cancel the job."},
    {IDS_PRINTER_HEAD_LIFTER, "The printer has reported a head lifter error."},
    {IDS_CUTTER_KNIFE, "The cutter has reported a knife position error."},
    {IDS_CUTTER_CARRIAGE,
     "The cutter has reported a carriage home position error."},
    {IDS_CUTTER_MOTOR_STALL, "The cutter has reported a motor stall."},
    {IDS_CUTTER_DOOR_OPEN,
     "The cutter has reported an open door.\r\nShut the cutter door and press "
     "the cutter Pause button to retry or the cutter Cancel button to cancel "
     "the job."},
    {IDS_PRINTER_UNKNOWN_ERROR,
     "The printer has reported an unknown error.\r\nPress the printer Online "
     "button to retry or the printer Cancel button to cancel the job."},
    {IDS_PORT_IO_ERROR_QUEUE,
     "A device I/O error has occurred.\r\nMake sure the cable is connected "
     "and the printer is on.\r\n\r\nAbort cancels all jobs.  Retry starts "
     "current job over.  Ignore continues with current job."},
    {IDS_DELETE_ALL_WARNING,
     "Warning:  All jobs will be lost, including the currently printing "
     "job."},
    {AFX_IDP_PARSE_INT, "Please enter a positive integer."},
    {AFX_IDP_PARSE_INT_RANGE, "Please enter an integer between %1 and %2."},
};

constexpr bool IsSortedById() {
  for (std::size_t i = 1; i < std::size(kStrings); ++i) {
    if (kStrings[i - 1].id >= kStrings[i].id) return false;
  }
  return true;
}
static_assert(IsSortedById(), "string table must stay sorted by id");

}  // namespace

std::string LoadResString(UINT id, int maxChars) {
  const auto* end = std::end(kStrings);
  const auto* it = std::lower_bound(
      std::begin(kStrings), end, id,
      [](const StringEntry& entry, UINT key) { return entry.id < key; });
  if (it == end || it->id != id || maxChars <= 1) return {};
  // A buffer of maxChars keeps room for the terminating zero.
  const std::size_t limit = static_cast<std::size_t>(maxChars) - 1;
  return std::string(it->text.substr(0, limit));
}
