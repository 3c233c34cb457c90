// The start-up rows' figures: each program from its start until it has
// gone, wall and processor time, against an empty program's.
// bench_report's main thread.
#pragma once

#include <string>
#include <vector>

#include "bench/report_support.h"

namespace report {

// What a start-up figure is measured as, and against what.
enum class StartUpRole {
  kFloor,         // the empty program: what any start pays here
  kThreadsFloor,  // the empty program with the spooler's three threads
  kProgram,       // one of ours, against the floor
  kSpooler,       // the spooler, which starts three threads: against both
};

// One program's start: wall and processor time, in ms, medians over runs.
struct StartUp {
  std::string what;
  StartUpRole role = StartUpRole::kProgram;
  MinMax wall, cpu;
};

// The empty programs the start-ups are measured against (bench/startup_*).
struct StartUpFloors {
  std::string empty;         // the floor: returns at once
  std::string threeThreads;  // starts and joins three threads, as the spooler does
};

// The programs' start-up against an empty program's: kelvane-headless on
// an empty queue (it starts, finds nothing to print and ends) and
// kelvane-driver queueing a 64 KiB job without starting the spooler, each
// from its start until it has gone; the empty program with three threads
// beside them. The programs take turns,
// each going first in its turn, so that the machine's other work falls on
// all alike.
std::vector<StartUp> MeasureStartUps(const Programs& p, const StartUpFloors& floors, int runs);

}  // namespace report
