// The figures port_bench and runner_bench print, read back from their
// output, and running such a program with its output captured.
// bench_report's main thread.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace report {

struct RunnerFigures {
  // sink -> label -> {MiB/s, ratio against the sink's baseline}
  std::map<std::string, std::map<std::string, std::pair<double, double>>> lines;
  std::map<std::string, std::pair<double, double>> notSelected;  // wall s, CPU s
};

RunnerFigures ReadRunnerBench(const std::string& text);

struct PortFigures {
  std::map<std::string, double> channel;                     // sink -> MB/s
  std::map<std::string, std::pair<double, double>> dd;       // sink -> dd MB/s, ratio
  std::map<std::string, std::pair<double, double>> stalls;   // sink -> wall s, CPU s
};

PortFigures ReadPortBench(const std::string& text);

// Runs `argv` (up to four minutes) and returns what it printed; the
// capture goes through a file in `scratch`.
std::string RunCapture(const std::vector<std::string>& argv, const std::string& scratch);

}  // namespace report
