// The CUPS backend "kelvane": what it reads from the print service (the
// device URI, the job's copies), what it tells it (the ports it offers, and
// the spooler's reports turned into STATE:/INFO:/ATTR:/DEBUG: lines) and the
// exit codes it ends with. Pure functions and one line-by-line translator,
// so they can be tested without a print service.
// Backend process, one thread.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "engine/spooler_outcomes.h"

namespace cupsbackend {

// The exit codes the print service knows (cups/backend.h); they stand in
// the table of the spooler's ends, which says which one each end gives.
using ::kBackendCancel;
using ::kBackendFailed;
using ::kBackendOk;
using ::kBackendRetry;
using ::kBackendStop;

// How a job ends for the print service, once the spooler has ended (the
// backend columns of kSpoolerEndCodes):
// `printed` when its record is gone from our queue file (the spooler
// removes a record only after its job printed, or after it set the job
// aside as one that can never print: exit 3, the job is cancelled);
// `spoolerStatus` is its waitpid status. Still queued: the spooler refused
// its start (exit 2:
// the home or its files are unsafe or unreadable, which someone must mend:
// stop the queue, keep the job), ended without taking the job (exit 0:
// another spooler held the home; try again later), or died (the queue's
// error policy decides).
int ExitCodeForSpoolerEnd(bool printed, int spoolerStatus);

// kelvane:/PORT[?printer=MODEL&ribbon=TYPE]. PORT is a port name as jobs
// give it ("LPT1:", "FILE:", a "\\host\share" percent-encoded); values are
// percent-encoded ("VORNA%20Cantella", "+" is a blank too).
struct DeviceUri {
  std::string port;
  std::string printer = "VORNA Tamrel";
  std::string ribbon = "Standard";
};

// False with `error` set for another scheme, an empty port, an unknown
// parameter, a bad escape, or a value that no queue record could hold (a
// line break or other control character, a port above 77 characters, a
// printer or ribbon above 49, a "~" in the printer).
bool ParseDeviceUri(const std::string& uri, DeviceUri& parsed, std::string& error);

// The job's own "-o ribbon=TYPE" and "-o model=MODEL" (or printer=) from the print
// service's options argument (name=value pairs between blanks, values
// quoted or with backslash escapes as the print service writes them) over
// the device URI's; other options are not ours and are passed over. False
// with `error` set for a value no queue record could hold (as above).
bool ApplyJobOptions(const std::string& options, DeviceUri& device, std::string& error);

// The folder, under the shared home's ports/, of the home whose spooler
// serves one port: a port's jobs wait for that port's printer only. The
// port as jobs name it, one spelling for one port ("lpt1" and "LPT1:" are
// LPT1, case does not count), with each character a file name should not
// hold as %XX; a long name is cut and ends in a hash of the whole, so that
// the spool paths under it still fit a record line.
inline constexpr std::size_t kMaxPortHomeName = 24;
std::string PortHomeName(const std::string& port);

// What makes a port home's [ports] map names as the shared home's does:
// the entries to write (only those missing or different) and the keys to
// remove (its own that the shared one has not). Keys match as in a lookup:
// without regard to case, with or without a trailing colon.
using IniSection = std::vector<std::pair<std::string, std::string>>;
struct PortsUpdate {
  IniSection write;
  std::vector<std::string> remove;
};
PortsUpdate UpdateOfPorts(const IniSection& shared, const IniSection& own);

// "kelvane:/" and the port name percent-encoded where a URI needs it.
std::string FormatDeviceUri(const std::string& port);

// One listing line for each [ports] entry, in file order, as `lpinfo -v`
// shows them: direct kelvane:/LPT1: "VORNA Tamrel" "Kelvane LPT1: (DEVICE)".
// The model is the first [devices] printer installed on that port, else
// "VORNA printer". Names the spooler could not use as a port are left out;
// a port listed twice (LPT1 and lpt1:) once.
std::vector<std::string> FormatPortListing(const IniSection& ports, const IniSection& devices);

// The copies lines of the job's records: the print service's copies when
// it gave us a file (with standard input its filters made the copies
// already); text that is no number gives 1, a negative number 0. A record
// holds at most 255 copies, so more go to several records (300: 255 and
// 45); empty above kMaxCopies, which the print service itself allows by
// default.
inline constexpr long kMaxCopies = 9999;
std::vector<int> CopiesPerRecord(const std::string& copiesArgument, bool haveFileArgument);

// What a job is when it is not data for the printer ("a PDF document", "a
// PostScript document", "an image", "text"), from the print service's
// CONTENT_TYPE and the job's first bytes; "" for printer-ready data. Our
// printers print what they are sent: anything else comes out as garbage.
std::string NotPrinterReady(const std::string& contentType, const std::string& head);

// The ink levels the spooler published in win.ini [Tovrel].
struct PublishedInk {
  std::string inkType;  // "0" not read, "1" black, "2" colour
  std::string black, cyan, magenta, yellow;
};
// The ink keys of the [Tovrel] section as read from win.ini.
PublishedInk InkFromSection(const IniSection& section);
// What the levels are of: the ink printer ("Tovrel") reports its ink, the
// others the ribbon's panels.
enum class MarkerKind { Ink, Ribbon };
// A level at or below this is low; 100 is full.
inline constexpr int kLowMarkerLevel = 10;
// "ATTR: marker-colors=... marker-levels=... marker-low-levels=...
// marker-high-levels=... marker-names=... marker-types=... marker-message=..."
// or "" when no levels were read (InkType 0 or missing). A level outside
// 0..100 is reported as -1 (unknown), as the print service expects. The
// message names what is low ("Cyan and Yellow ink low"), and is empty when
// nothing is, so that an old warning goes.
std::string FormatMarkerAttributes(const PublishedInk& ink, MarkerKind kind = MarkerKind::Ink);

// Turns what kelvane-headless writes on standard output into the lines a
// backend writes on standard error:
//   "state: out of paper"        -> STATE: +media-empty
//   "state: not selected"        -> STATE: +offline-report
//   "state: not accepting data",
//   "state: stalled"             -> STATE: +other
//   "state: printing"            -> STATE: -REASON for each reason set,
//                                   and the message that the job prints
//   a message box                -> INFO: its text (one line), without
//                                   what its buttons would do (nobody can
//                                   press them); "Could not get handle to
//                                   port." also sets offline-report
//   anything else                -> DEBUG: the line
// A new fault state clears the reason of the one before it.
class StatusRelay {
 public:
  std::vector<std::string> TakeLine(const std::string& line);
  // The spooler was started on a job for `port`: connecting-to-device, and
  // a message saying so, until the port takes the job's first block.
  std::vector<std::string> Connecting(const std::string& port);
  // The port took the job's first block: the reasons go and the message
  // says the job prints (once; again after each fault the printer leaves).
  std::vector<std::string> Printing();
  // The reasons set now; the backend clears them when the job ends.
  std::vector<std::string> ClearAll();
  // The reasons set now, for the side channel's answers.
  const std::set<std::string>& Reasons() const { return reasons_; }

 private:
  enum class BoxPart { None, Caption, Text };
  std::vector<std::string> SetReason(const std::string& reason);

  std::set<std::string> reasons_;
  std::string port_;  // the job's, once the spooler was started on it
  bool printing_ = false;
  BoxPart box_ = BoxPart::None;
  std::string boxText_;
};

// The text with every control character replaced by a blank, so it stays
// one line for the print service.
std::string SanitizeForReport(const std::string& text);
// The text as one quoted field of a listing line: "...", with '"' and '\'
// escaped by a backslash.
std::string QuoteField(const std::string& text);

}  // namespace cupsbackend
