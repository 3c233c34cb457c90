// Side by side with the system's print service: a raw job from its
// submission to its last byte at a TCP printer on the loopback, through a
// private cupsd (`lp -o raw` on a queue with the socket backend), through
// Kelvane (`kelvane-driver submit` with LPT1: mapped to the same printer,
// the spooler started by the driver) and, for the big job, through a plain
// `dd bs=2048` and through the spooler alone on the job already queued;
// and the job's end: from the last byte at the printer until
// kelvane-headless has gone, against the printer's own close time.
// bench_report's main thread (the loopback printer reads on its own).
#pragma once

#include <string>
#include <vector>

#include "bench/report_support.h"

namespace report {

struct SideBySideRow {
  std::string job;
  MinMax service, kelvane, ratio;  // seconds, seconds, service / Kelvane per pair
  MinMax dd, kelvaneOverDd;        // dd bs=2048 to the printer, where measured
  // Where dd is measured: kelvane-headless -f alone, on the job the driver
  // had already queued (its durable copy not timed), and that over dd.
  MinMax spooler, spoolerOverDd;
};

// One job's end with a printer that closes its side `printerCloseMs`
// after the job, in milliseconds from the last byte at the printer.
struct JobEnd {
  int printerCloseMs = 0;
  MinMax lastToClose;  // -> the printer closed its side
  MinMax lastToGone;   // -> kelvane-headless gone
  MinMax closeToGone;  // the spooler's own part, after the printer's close
  std::string note;
};

struct SideBySide {
  std::vector<SideBySideRow> rows;
  std::string serviceNote;
  int rounds = 0;
  std::vector<JobEnd> ends;
};

// One round's seconds from submission to last byte, a side each; negative
// where the side is not measured or its bytes did not come.
struct RoundSeconds {
  double service = -1, kelvane = -1, dd = -1, spooler = -1;
};
// Adds the round to `row`: each side's time that came, and each ratio whose
// two sides both came.
void AddRound(SideBySideRow& row, const RoundSeconds& round);

SideBySide MeasureSideBySide(const Programs& p, int rounds);

}  // namespace report
