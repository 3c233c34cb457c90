// bench_report's command line (see report_options.h).
// bench_report's main thread.
#include "bench/report_options.h"

#include <cerrno>
#include <cstdlib>

namespace report {

const char kReportUsage[] =
    "usage: bench_report --build DIR [--mib N] [--rounds N] [--out FILE]\n"
    "       bench_report --build DIR --side-by-side-only [--rounds N]\n"
    "       bench_report --build DIR --start-up-only\n";

namespace {

// A whole number from 1 up, as the flag's value; false for anything else.
bool ReadCount(const std::string& text, int& count) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || value < 1 || value > 1000000) return false;
  count = static_cast<int>(value);
  return true;
}

}  // namespace

bool ParseReportOptions(const std::vector<std::string>& args, ReportOptions& options,
                        std::string& error) {
  options = ReportOptions{};
  bool sideBySideOnly = false;
  bool startUpOnly = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "-h" || flag == "--help") {
      options.help = true;
      return true;
    }
    if (flag == "--side-by-side-only") {
      sideBySideOnly = true;
      continue;
    }
    if (flag == "--start-up-only") {
      startUpOnly = true;
      continue;
    }
    if (flag != "--build" && flag != "--out" && flag != "--mib" && flag != "--rounds") {
      error = flag.rfind("-", 0) == 0 ? "unknown flag " + flag : "unexpected argument " + flag;
      return false;
    }
    // A value never starts with "--": that is the next flag, this one's
    // value left out.
    if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1].rfind("--", 0) == 0) {
      error = flag + " needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (flag == "--build") {
      options.build = value;
    } else if (flag == "--out") {
      options.out = value;
    } else if (flag == "--mib") {
      int mib = 0;
      if (!ReadCount(value, mib)) {
        error = "--mib needs a whole number of MiB from 1 up, not " + value;
        return false;
      }
      options.mib = value;
    } else if (!ReadCount(value, options.rounds)) {
      error = "--rounds needs a whole number from 1 up, not " + value;
      return false;
    }
  }
  if (sideBySideOnly && startUpOnly) {
    error = "--side-by-side-only and --start-up-only exclude each other";
    return false;
  }
  if (options.build.empty()) {
    error = "--build DIR is required";
    return false;
  }
  options.scope = startUpOnly      ? ReportScope::StartUpOnly
                  : sideBySideOnly ? ReportScope::SideBySideOnly
                                   : ReportScope::Everything;
  return true;
}

}  // namespace report
