// What the printer driver does around the spooler: install its settings
// key and profile entries, render (here: copy) a job into spool files and
// append its record to the queue file, start a spooler when none runs, and
// talk to the running spooler. Failures come back as text for the caller to
// print.
// Driver process, one thread.
#pragma once

#include <string>
#include <vector>

#include "app/shell/spooler_status.h"
#include "platform/win_types.h"

namespace driver {

struct Outcome {
  bool ok = true;
  std::string error;  // set when !ok
};

// Creates the registry key and a base win.ini; keeps every existing value.
// The printers we serve go into [devices] only where that section is our
// stand-in for the system's printer list (not on Windows).
Outcome Install();

struct JobSpec {
  std::string queueFile;   // "" = $KELVANE_HOME/queue.txt
  std::string name;        // "" = the first file's base name
  std::string port = "LPT1:";
  int copies = 1;
  std::string printer = "VORNA Tamrel";
  std::string ribbon = "Standard";
  bool oldForm = false;
  std::vector<std::string> files;
};

std::string DefaultQueueFile();
std::string SpoolDirectory();

// The record's bytes (CR LF lines, no trailing empty line); fails when a
// field would not read back as written (too long, empty, line breaks, a
// "~" in the printer name, too many files...).
Outcome FormatRecord(const JobSpec& job, const std::vector<std::string>& spoolFiles,
                     std::string& record);
// What must precede a new record given the queue file's current tail: the
// empty line that ends the previous record, if it is missing; nothing when
// the file holds no record (empty, or only the empty lines that removals in
// place leave before the head record).
std::string SeparatorBefore(const std::string& existing);

// Copies the files into the spool directory and appends the record under
// the sharing protocol. The spool copies are removed again on failure.
Outcome Submit(const JobSpec& job, std::string* queueFileUsed);

// After a record was appended to `queueFile`: makes sure a spooler will
// print it. A running spooler is asked whether it will print that queue
// file; yes ends it (`started` false). When none runs, or the running one is
// closing or serves another queue file, we wait (up to 20 s) for it to end
// and start a spooler on `queueFile`, detached from us. Ours has started
// (`started` true) once it says yes to the same question, or has ended
// normally before we asked (it printed and closed), or still runs silent
// after 20 s (the desktop spooler may wait in a box).
// Fails when none will print the record ("no spooler will print it: ...")
// and when ours ends otherwise ("the spooler did not start: ..." with what
// it wrote to its log, where a refused start says why); the record stays
// in the queue file for the next start.
// `spooler` "" chooses kelvane on an interactive desktop
// (plat::HasInteractiveDesktop) and kelvane-headless elsewhere or when
// kelvane is not there; the headless spooler gets
// `--on-fault=<faultPolicy>`, as nobody reads its boxes. The spooler's
// command line goes to the log in the run directory before its own words.
inline constexpr const char* kDefaultFaultPolicy = "retry=30";
Outcome StartSpoolerIfIdle(const std::string& queueFile, const std::string& spooler,
                           bool* started,
                           const std::string& faultPolicy = kDefaultFaultPolicy);

// WM_SPOOLER_COMMAND to the running spooler; false when none answered.
bool SendCommand(WPARAM command, DWORD timeoutMs, LRESULT* result);

// The running spooler's status, asked for in parts on the command channel;
// false when none answered (or its answers never came out whole).
bool QueryStatus(DWORD timeoutMs, SpoolerStatus& status);

// The published ink levels, one "Key=value" line each.
std::string InkReport();

}  // namespace driver
