// Reading port_bench's and runner_bench's output (see benchmark_output.h).
// bench_report's main thread.
#include "bench/benchmark_output.h"

#include <cstdio>
#include <regex>
#include <sstream>

#include "bench/report_support.h"

namespace report {

using namespace std::chrono_literals;

RunnerFigures ReadRunnerBench(const std::string& text) {
  RunnerFigures figures;
  const std::regex sink(R"(^(\S.*) \(port [^)]*\)$)");
  const std::regex line(R"(^  (.+?)\s+([0-9.]+) s\s+([0-9.]+) MiB/s(?:\s+ratio ([0-9.]+))?)");
  const std::regex idle(R"(^not selected, (.+?):?\s+([0-9.]+) s wall, ([0-9.]+) s CPU)");
  std::istringstream in(text);
  std::string l, current;
  std::smatch m;
  while (std::getline(in, l)) {
    if (std::regex_match(l, m, sink)) {
      current = m[1];
    } else if (std::regex_search(l, m, line) && !current.empty()) {
      figures.lines[current][m[1]] = {std::stod(m[3]), m[4].matched ? std::stod(m[4]) : -1};
    } else if (std::regex_search(l, m, idle)) {
      figures.notSelected[m[1]] = {std::stod(m[2]), std::stod(m[3])};
    }
  }
  return figures;
}

PortFigures ReadPortBench(const std::string& text) {
  PortFigures figures;
  const std::regex channel(R"(^(\S.*?)\s+port channel\s+([0-9.]+) MB/s(?:\s+dd\s+([0-9.]+) MB/s\s+ratio ([0-9.]+))?)");
  const std::regex stall(R"(^(\S.*?)\s+stall of ([0-9.]+) s .*: ([0-9.]+) s of CPU)");
  std::istringstream in(text);
  std::string l;
  std::smatch m;
  while (std::getline(in, l)) {
    if (std::regex_search(l, m, channel)) {
      figures.channel[m[1]] = std::stod(m[2]);
      if (m[3].matched) figures.dd[m[1]] = {std::stod(m[3]), std::stod(m[4])};
    } else if (std::regex_search(l, m, stall)) {
      figures.stalls[m[1]] = {std::stod(m[2]), std::stod(m[3])};
    }
  }
  return figures;
}

std::string RunCapture(const std::vector<std::string>& argv, const std::string& scratch) {
  const std::string out = scratch + "/capture.txt";
  kt::ChildProcess child;
  StartChild(child, argv, out);
  if (child.Wait(240000ms) != 0) std::fprintf(stderr, "bench_report: %s failed\n", argv[0].c_str());
  return ReadText(out);
}

}  // namespace report
