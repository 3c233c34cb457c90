// Pieces every part of the benchmark report uses (see report_support.h).
// bench_report's main thread.
#include "bench/report_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/single_instance.h"

namespace report {

using namespace std::chrono_literals;

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A child process; its standard output can be captured into a file.

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}


double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}


double MinMax::Min() const {
  return values.empty() ? -1 : *std::min_element(values.begin(), values.end());
}

double MinMax::Max() const {
  return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

Home::Home() {
  char dir[] = "/tmp/kelvane-report-XXXXXX";
  if (!::mkdtemp(dir)) std::exit(1);
  path_ = dir;
  ::setenv("KELVANE_HOME", path_.c_str(), 1);
}

Home::~Home() {
  const std::string command = "rm -rf '" + path_ + "'";
  [[maybe_unused]] int rc = std::system(command.c_str());
}

bool SpoolerEnds(std::chrono::milliseconds limit) {
  return WaitFor([] { return !plat::IsSpoolerRunning(); }, limit);
}

void WriteJobFile(const std::string& path, std::size_t bytes) {
  std::string data(bytes, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : data) {  // not compressible, not all one byte
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}


std::string FindTool(const std::string& name, const std::string& fallback) {
  const std::string command = "command -v " + name + " 2>/dev/null";
  std::string found;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[4096] = {};
    if (std::fgets(line, sizeof line, pipe)) found = line;
    ::pclose(pipe);
  }
  while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
  if (found.empty() && ::access(fallback.c_str(), X_OK) == 0) found = fallback;
  return found;
}

void StartChild(kt::ChildProcess& child, const std::vector<std::string>& argv,
                const std::string& out) {
  kt::ChildOptions options;
  if (!out.empty()) {
    options.output = kt::ChildOutput::File;
    options.outputFile = out;
  }
  options.ownGroup = true;
  child.Start(argv, options);
}

}  // namespace report
