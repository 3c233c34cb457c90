// bench_report: one table of the figures that matter on this machine. It
// runs port_bench and runner_bench and reads their output, and measures the
// real programs itself: kelvane-headless idling (processor time and
// resident memory from /proc), the time from a start to the first byte at
// kelvane-printer, the ink query round trip through kelvane-driver, the
// desktop spooler's memory under Xvfb when it is built, the time from the
// last byte at the printer until kelvane-headless has gone, and, side by
// side in the same run, how long a raw job takes from its submission to its
// last byte at a loopback TCP printer through the system's print service (a
// private cupsd, `lp -o raw` on a queue with the socket backend) and
// through Kelvane (`kelvane-driver submit` with LPT1: mapped to the same
// printer, the spooler started by the driver).
//
//   bench_report --build DIR [--mib N] [--rounds N] [--out FILE]
//   bench_report --build DIR --side-by-side-only [--rounds N]
//   bench_report --build DIR --start-up-only
//
// DIR is a build tree with the benchmarks and the programs. The table goes
// to standard output, and to FILE as Markdown when given.
// Main thread; the loopback printer reads on a thread of its own. The
// programs run as child processes in a temporary home.
// This file holds main: the command line, the order of the measurements,
// and where the text goes. The parts: report_options (the command line),
// benchmark_output (port_bench and runner_bench read back),
// spooler_figures (the programs idling, starting, answering),
// side_by_side with loopback_printer and print_service (against the
// system's print service, and the job's end), start_up (the start-up rows),
// report_table (the tables and the text), report_support (what they share).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench/report_options.h"
#include "bench/report_table.h"

using namespace report;

int main(int argc, char** argv) {
  ReportOptions options;
  std::string error;
  if (!ParseReportOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "bench_report: %s\n%s", error.c_str(), kReportUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kReportUsage, stdout);
    return 0;
  }
  std::string build = options.build;
  const std::string& mib = options.mib;
  const int rounds = options.rounds;
  const std::string& out = options.out;
  ::signal(SIGPIPE, SIG_IGN);
  // Absolute, so that the desktop spooler is found by its /proc/PID/exe.
  if (char* real = ::realpath(build.c_str(), nullptr)) {
    build = real;
    std::free(real);
  }
  Programs programs{build + "/app/headless/kelvane-headless",
                    build + "/tools/driver/kelvane-driver",
                    build + "/tools/printer/kelvane-printer", build + "/app/wx/kelvane"};
  const StartUpFloors floors{build + "/bench/startup_floor", build + "/bench/startup_threads"};
  constexpr int kStartUpRuns = 41;
  if (options.scope == ReportScope::StartUpOnly) {
    std::fputs(Table(StartUpRows(MeasureStartUps(programs, floors, kStartUpRuns))).c_str(),
               stdout);
    return 0;
  }
  if (options.scope == ReportScope::SideBySideOnly) {
    // A quick look while working on the delivery path: only this table.
    const SideBySide sideBySide = MeasureSideBySide(programs, rounds);
    std::fputs(SideBySideTable(sideBySide).c_str(), stdout);
    std::fputs(JobEndTable(sideBySide).c_str(), stdout);
    return 0;
  }
  char scratchTemplate[] = "/tmp/kelvane-report-out-XXXXXX";
  if (!::mkdtemp(scratchTemplate)) return 1;
  const std::string scratch = scratchTemplate;

  std::fprintf(stderr, "bench_report: port_bench %s MiB...\n", mib.c_str());
  const PortFigures port = ReadPortBench(RunCapture({build + "/bench/port_bench", mib}, scratch));
  std::fprintf(stderr, "bench_report: runner_bench %s MiB...\n", mib.c_str());
  const RunnerFigures runner =
      ReadRunnerBench(RunCapture({build + "/bench/runner_bench", mib}, scratch));
  std::fprintf(stderr, "bench_report: the spooler as processes...\n");
  const SpoolerFigures spooler = MeasureSpooler(programs);
  std::fprintf(stderr, "bench_report: ink levels published: %s\n", spooler.inkLevels.c_str());
  std::fprintf(stderr, "bench_report: start-up...\n");
  const std::vector<StartUp> startUps = MeasureStartUps(programs, floors, kStartUpRuns);
  const SideBySide sideBySide = MeasureSideBySide(programs, rounds);
  [[maybe_unused]] int rc = std::system(("rm -rf '" + scratch + "'").c_str());
  const std::string text = ComposeReport({mib, port, runner, spooler, startUps, sideBySide});
  std::fputs(text.c_str(), stdout);
  if (!out.empty()) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << text;
  }
  return 0;
}
