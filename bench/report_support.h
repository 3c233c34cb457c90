// Pieces every part of the benchmark report uses: numbers as text, files,
// the clock, medians and ranges, the programs it measures, a temporary
// KELVANE_HOME, job files, and how it starts its child processes.
// bench_report's main thread (the loopback printer's thread uses none).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace report {

using Clock = std::chrono::steady_clock;

// The programs of the build tree under measurement, by path.
struct Programs {
  std::string headless, driver, printer, desktop;
};

std::string Format(const char* format, double value);
double MsSince(Clock::time_point start);
std::string ReadText(const std::string& path);
bool Exists(const std::string& path);
// The size in bytes, or -1 when the file is not there.
long long FileSize(const std::string& path);
// Until `condition` holds (true) or `limit` has passed (false).
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit);
// The middle value (the upper one of an even count); -1 for none.
double Median(std::vector<double> values);

// Values of one measurement, for a min-max (median) range; -1 for none.
struct MinMax {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Min() const;
  double Max() const;
  double Mid() const { return Median(values); }
};

// A fresh temporary directory made the KELVANE_HOME of this process and
// of the children it starts; removed with the object.
class Home {
 public:
  Home();
  ~Home();
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Until no spooler runs (true) or `limit` has passed (false).
bool SpoolerEnds(std::chrono::milliseconds limit);

// `bytes` of content that neither compresses nor repeats one byte.
void WriteJobFile(const std::string& path, std::size_t bytes);

// The path of the program `name` on PATH, else `fallback` when it can be
// run, else "".
std::string FindTool(const std::string& name, const std::string& fallback);

// Starts `argv` as the report starts every program: nothing on its input
// and its errors, its output into the file `out` (emptied first) or
// nowhere, in a process group of its own so that stopping it stops what it
// started too. A program that cannot start ends with 127.
void StartChild(kt::ChildProcess& child, const std::vector<std::string>& argv,
                const std::string& out = "");

}  // namespace report
