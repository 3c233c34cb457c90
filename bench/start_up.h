// The start-up rows' figures: each program from its start until it has
// gone, wall and processor time, against an empty program's.
// bench_report's main thread.
#pragma once

#include <string>
#include <vector>

#include "bench/report_support.h"

namespace report {

// One program's start: wall and processor time, in ms, medians over runs.
struct StartUp {
  std::string what;
  MinMax wall, cpu;
};

// The programs' start-up against an empty program's: kelvane-headless on
// an empty queue (it starts, finds nothing to print and ends) and
// kelvane-driver queueing a 64 KiB job without starting the spooler, each
// from its start until it has gone. The programs take turns, each going
// first in its turn, so that the machine's other work falls on all alike.
std::vector<StartUp> MeasureStartUps(const Programs& p, const std::string& floorProgram,
                                     int runs);

}  // namespace report
