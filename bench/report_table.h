// The benchmark report's tables and its whole text in Markdown, composed
// from the figures a run measured. bench_report's main thread.
#pragma once

#include <string>
#include <vector>

#include "bench/benchmark_output.h"
#include "bench/side_by_side.h"
#include "bench/spooler_figures.h"
#include "bench/start_up.h"

namespace report {

// One row of the main table.
struct Row {
  std::string what;
  std::string result;
  std::string baseline;
  std::string ratio;
  std::string source;
};

// Everything one full run of the report measured.
struct Figures {
  std::string mib;  // the job size port_bench and runner_bench ran with
  PortFigures port;
  RunnerFigures runner;
  SpoolerFigures spooler;
  std::vector<StartUp> startUps;
  SideBySide sideBySide;
};

std::string Table(const std::vector<Row>& rows);
std::string SideBySideTable(const SideBySide& s);
std::string JobEndTable(const SideBySide& s);
// The start-up rows: every program but the floor against the floor, and
// the spooler also against the floor with three threads.
std::vector<Row> StartUpRows(const std::vector<StartUp>& startUps);
// The whole report: the machine, the main table, the side-by-side table
// and the job's end, each with what its figures mean.
std::string ComposeReport(const Figures& figures);

}  // namespace report
