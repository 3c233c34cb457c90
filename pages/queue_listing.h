// What the Job Queue page lists: the job names read straight from the queue
// file (which the page never changes) with the status word of each row, and
// the one decision of Delete All Jobs. The page window puts the rows into its
// list control.
// Main thread (the page's thread); takes g_csSpooler briefly itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::size_t kMaxQueueRows = 128;   // size of g_jobRowState
inline constexpr std::size_t kMaxJobNameChars = 127;
// The page reads at most this much of the file; the driver's records are
// far smaller, and a runaway file must not make the page allocate without
// bound on every paint.
inline constexpr std::size_t kMaxQueueListingBytes = 4u << 20;

// Job names of the records in the queue file image, at most 128. A record's
// name is its first line (at most 127 characters); records are separated by
// the bytes LF CR LF; the empty lines before the head record are no record
// (a removal in place leaves them); a last record whose name line has no LF
// is left out, and so is anything after a separator that leaves fewer than
// 3 bytes.
std::vector<std::string> ParseQueueJobNames(std::string_view data);

// "Printing" for kRowPrinting, "Queued" for kRowQueued, "Paused" for
// anything else (app/state/spooler_state.h).
const char* QueueStatusWord(std::uint8_t rowState);

struct QueueRow {
  std::string name;
  std::string status;
};

struct QueueListing {
  // False when the file was missing, empty or stayed locked: the list is
  // empty and the Delete All Jobs button keeps the state it has.
  bool read = false;
  bool printing = false;  // g_bPrinting as copied; enables Delete All Jobs
  std::vector<QueueRow> rows;
};

// One rebuild of the list: copies the queue path and g_bPrinting under the
// lock, reads the file (exclusive open retried for up to 1500 ms), marks
// every row after the first as queued in g_jobRowState and reads each row's
// state under the lock. While the printing job waits for its printer, the
// first row's status is what it waits for ("Out of paper", ...).
QueueListing ReadQueueListing();

// Delete All Jobs: whether the close request goes to the main window, given
// the answer to the warning and whether a job printed when it was asked.
bool ShouldCloseForDeleteAll(int answer, bool printing);
