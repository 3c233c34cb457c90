// bench_report's command line, read strictly: an unknown flag, a flag
// without its value or a value that is not a whole number where one is
// due stops the report before it measures anything.
// bench_report's main thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace report {

// What a run measures.
enum class ReportScope : std::uint8_t {
  Everything,     // the main table, the side-by-side table and the job's end
  SideBySideOnly, // the side-by-side table and the job's end
  StartUpOnly,    // the start-up rows
};

struct ReportOptions {
  std::string build;  // the build tree with the benchmarks and the programs
  std::string out;    // where the Markdown goes besides standard output ("": nowhere)
  std::string mib = "64";
  int rounds = 5;
  ReportScope scope = ReportScope::Everything;
  bool help = false;  // --help: the usage, nothing measured
};

// The usage, for --help and under an error.
extern const char kReportUsage[];

// Reads the arguments after the program's name into `options`. False with
// `error` saying what is wrong: an unknown flag or a stray argument, a
// flag without its value, a --mib or --rounds that is not a whole number
// from 1 up, both --side-by-side-only and --start-up-only, or no --build.
bool ParseReportOptions(const std::vector<std::string>& args, ReportOptions& options,
                        std::string& error);

}  // namespace report
