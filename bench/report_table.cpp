// The benchmark report's tables and text (see report_table.h).
// bench_report's main thread.
#include "bench/report_table.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <sstream>

namespace report {

namespace {

std::string CpuModel() {
  std::istringstream info(ReadText("/proc/cpuinfo"));
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}


std::string Mib(double value) { return value < 0 ? "n/a" : Format("%.1f MiB/s", value); }
std::string Ratio(double value) { return value < 0 ? "" : Format("%.2f", value); }
std::string CpuPerSecond(double cpu, double wall) {
  return wall > 0 ? Format("%.4f CPU s/s", cpu / wall) : "n/a";
}

std::string Range(const MinMax& m, const char* format, const char* unit) {
  if (m.values.empty()) return "n/a";
  return Format(format, m.Min()) + "-" + Format(format, m.Max()) + unit + " (median " +
         Format(format, m.Mid()) + ")";
}

}  // namespace

std::string SideBySideTable(const SideBySide& s) {
  std::string out =
      "| Job | Print service | Kelvane | Ratio (service / Kelvane) | dd bs=2048 | Kelvane / dd "
      "| Spooler alone, job queued | Spooler alone / dd |\n";
  out += "| --- | --- | --- | --- | --- | --- | --- | --- |\n";
  for (const SideBySideRow& r : s.rows) {
    out += "| " + r.job + " | " +
           (r.service.values.empty() && !s.serviceNote.empty() ? s.serviceNote
                                                               : Range(r.service, "%.3f", " s")) +
           " | " + Range(r.kelvane, "%.3f", " s") + " | " +
           (r.ratio.values.empty() ? std::string("") : Range(r.ratio, "%.2f", "")) + " | " +
           (r.dd.values.empty() ? std::string("") : Range(r.dd, "%.3f", " s")) + " | " +
           (r.kelvaneOverDd.values.empty() ? std::string("") : Range(r.kelvaneOverDd, "%.2f", "")) +
           " | " + (r.spooler.values.empty() ? std::string("") : Range(r.spooler, "%.3f", " s")) +
           " | " +
           (r.spoolerOverDd.values.empty() ? std::string("") : Range(r.spoolerOverDd, "%.2f", "")) +
           " |\n";
  }
  return out;
}

std::string JobEndTable(const SideBySide& s) {
  std::string text =
      "| Printer's close time | Last byte to printer's close | Last byte to spooler gone | "
      "After the printer's close | Gone / close (medians) |\n| --- | --- | --- | --- | --- |\n";
  for (const JobEnd& end : s.ends) {
    const std::string ratio = end.printerCloseMs > 0 && end.lastToClose.Mid() > 0
                                  ? Format("%.2f", end.lastToGone.Mid() / end.lastToClose.Mid())
                                  : "";
    text += "| " + std::to_string(end.printerCloseMs) + " ms | " +
            (end.note.empty() ? Range(end.lastToClose, "%.1f", " ms") : end.note) + " | " +
            Range(end.lastToGone, "%.1f", " ms") + " | " + Range(end.closeToGone, "%.1f", " ms") +
            " | " + ratio + " |\n";
  }
  return text;
}

std::vector<Row> StartUpRows(const std::vector<StartUp>& startUps) {
  auto find = [&](StartUpRole role) -> const StartUp* {
    for (const StartUp& s : startUps)
      if (s.role == role && !s.cpu.values.empty()) return &s;
    return nullptr;
  };
  const StartUp* floor = find(StartUpRole::kFloor);
  const StartUp* threadsFloor = find(StartUpRole::kThreadsFloor);
  auto times = [](const StartUp& s) {
    return s.cpu.values.empty() ? std::string("n/a")
                                : Format("%.1f ms wall, ", s.wall.Mid()) +
                                      Format("%.1f ms CPU", s.cpu.Mid());
  };
  auto over = [](const StartUp& s, const StartUp* base, const char* what) {
    return base && !s.cpu.values.empty()
               ? Format("%+.1f ms CPU over ", s.cpu.Mid() - base->cpu.Mid()) + what
               : std::string();
  };
  std::vector<Row> rows;
  for (const StartUp& s : startUps) {
    if (s.role == StartUpRole::kFloor) continue;
    std::string result = times(s);
    std::string overs = over(s, floor, "the floor");
    if (s.role == StartUpRole::kSpooler) {
      const std::string overThreads = over(s, threadsFloor, "the floor with three threads");
      if (!overThreads.empty()) overs += (overs.empty() ? "" : ", ") + overThreads;
    }
    if (!overs.empty()) result += " (" + overs + ")";
    const bool ratio = floor && !s.cpu.values.empty() && floor->cpu.Mid() > 0;
    rows.push_back({"Start-up to exit: " + s.what + " (median of " +
                        std::to_string(s.cpu.values.size()) + ", getrusage)",
                    result, floor ? times(*floor) + " (" + floor->what + ")" : "",
                    ratio ? Format("%.2f", s.cpu.Mid() / floor->cpu.Mid()) : "",
                    "bench_report"});
  }
  return rows;
}

std::string Table(const std::vector<Row>& rows) {
  std::string out = "| Measurement | Result | Baseline | Ratio | Source |\n";
  out += "| --- | --- | --- | --- | --- |\n";
  for (const Row& r : rows)
    out += "| " + r.what + " | " + r.result + " | " + r.baseline + " | " + r.ratio + " | " +
           r.source + " |\n";
  return out;
}

std::string ComposeReport(const Figures& figures) {
  const std::string& mib = figures.mib;
  const PortFigures& port = figures.port;
  const RunnerFigures& runner = figures.runner;
  const SpoolerFigures& spooler = figures.spooler;
  const std::vector<StartUp>& startUps = figures.startUps;
  const SideBySide& sideBySide = figures.sideBySide;
  std::vector<Row> rows;
  const std::string job = mib + " MiB job, 2048-byte blocks";
  auto runnerRows = [&](const std::string& sink, const std::string& title) {
    auto s = runner.lines.find(sink);
    if (s == runner.lines.end()) {
      rows.push_back({"Throughput, " + title + ", print job runner", "n/a", "", "", "runner_bench"});
      return;
    }
    const auto& l = s->second;
    std::string baselineName = l.count("dd bs=2048") ? "dd bs=2048" : "copy loop bs=2048 (port layer)";
    const double baseline = l.count(baselineName) ? l.at(baselineName).first : -1;
    const std::string baselineText = Mib(baseline) + " (" +
        (baselineName == "dd bs=2048" ? std::string("dd bs=2048") : std::string("copy loop bs=2048")) + ")";
    for (const auto& [label, figures] : l) {
      if (label.rfind("runner", 0) != 0) continue;
      std::string mode = label;
      if (label == "runner, manual mode") mode = "manual job";
      if (label == "runner, queue mode (with prefix)") mode = "queued job, with prefix";
      rows.push_back({"Throughput, " + title + ", print job runner (" + mode + ")",
                      Mib(figures.first), baselineText, Ratio(figures.second), "runner_bench"});
    }
  };
  runnerRows("virtual printer, in process", "virtual printer in process");
  runnerRows("kelvane-printer via sim:", "kelvane-printer process over sim:");
  runnerRows("plain file via [ports]", "plain file");
  auto channelRow = [&](const std::string& sink, const std::string& title) {
    auto c = port.channel.find(sink);
    if (c == port.channel.end()) return;
    auto d = port.dd.find(sink);
    // port_bench counts MB as MiB (bytes / 1048576).
    rows.push_back({"Throughput, " + title + ", WritePortBlock alone", Mib(c->second),
                    d == port.dd.end() ? "" : Mib(d->second.first) + " (dd bs=2048)",
                    d == port.dd.end() ? "" : Ratio(d->second.second), "port_bench"});
  };
  channelRow("in-process printer", "virtual printer in process");
  channelRow("kelvane-printer (sim:)", "kelvane-printer process over sim:");
  channelRow("plain file", "plain file");

  for (const auto& [sink, figures] : port.stalls)
    rows.push_back({"CPU while the printer stalls (" + sink + ", " + Format("%.1f s", figures.first) + ")",
                    CpuPerSecond(figures.second, figures.first), "", "", "port_bench"});
  for (const auto& [sink, figures] : runner.notSelected)
    rows.push_back({"CPU while the printer is not selected (" + sink + ", " +
                        Format("%.1f s", figures.first) + ")",
                    CpuPerSecond(figures.second, figures.first), "", "", "runner_bench"});
  rows.push_back({"CPU while kelvane-headless idles (manual mode, " +
                      Format("%.1f s", spooler.idleSeconds) + ", /proc utime+stime)",
                  spooler.idleCpuPerSecond < 0 ? "n/a"
                  // /proc counts in clock ticks: nothing counted is less than one tick.
                  : spooler.idleCpuPerSecond == 0
                      ? Format("< %.4f CPU s/s (not one clock tick)",
                               1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) / spooler.idleSeconds)
                      : Format("%.4f CPU s/s", spooler.idleCpuPerSecond),
                  "", "", "bench_report"});
  auto ms = [](double v) { return v < 0 ? std::string("n/a") : Format("%.1f ms", v); };
  rows.push_back({"Start to first byte at the printer: kelvane-headless -f with a queued job (median of 5)",
                  ms(spooler.firstByteQueueMs), "", "", "bench_report"});
  rows.push_back({"Start to first byte at the printer: kelvane-driver submit, spooler started by it (median of 5)",
                  ms(spooler.firstByteDriverMs), "", "", "bench_report"});
  auto mem = [](double kib) { return kib < 0 ? std::string("n/a") : Format("%.1f MiB", kib / 1024.0); };
  rows.push_back({"Resident memory (VmRSS), kelvane-headless idle", mem(spooler.rssKiB), "", "",
                  "bench_report"});
  rows.push_back({"Resident memory (VmRSS), kelvane desktop under Xvfb",
                  spooler.desktopRssKiB < 0 ? spooler.desktopNote : mem(spooler.desktopRssKiB), "", "",
                  "bench_report"});
  for (Row& row : StartUpRows(startUps)) rows.push_back(std::move(row));
  rows.push_back({"Ink query: kelvane-driver command 5 round trip (median of 5, result " +
                      std::to_string(spooler.inkResult) + ")",
                  ms(spooler.inkMs), "", "", "bench_report"});

  utsname un{};
  ::uname(&un);
  char date[32] = {};
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::string text = "# Kelvane benchmark report\n\n";
  text += "Machine: " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " processors (nproc), " +
          CpuModel() + ", " + un.sysname + " " + un.release + " " + un.machine + ". Run " + date +
          ", Release build, " + job + ".\n\n";
  text += Table(rows);
  text += "\nRatios are our throughput over the baseline's on the same sink (1.00: as fast as the\n"
          "baseline). CPU s/s is processor seconds used per wall-clock second. Start-up rows:\n"
          "each program from its start until it has gone, its processor time (user + system)\n"
          "from getrusage, against an empty C++ program built with the same flags (the floor:\n"
          "what any program pays here before main), the programs taking turns; their ratio is\n"
          "of processor times. The spooler starts three threads on every start (the command\n"
          "channel's listener, the stop signals' and the print thread), so its row also gives\n"
          "its processor time over the empty program that starts and joins three threads.\n";
  text += "\n## Side by side with the print service\n\n"
          "A raw job from its submission to its last byte at a TCP printer on the loopback,\n" +
          std::to_string(sideBySide.rounds) +
          " runs of each after one that is not counted, the two sides taking turns, each going\n"
          "first every other time; min-max (median). Print service: a private cupsd, `lp -o raw`\n"
          "on a queue with the `socket` backend. Kelvane: `kelvane-driver submit` with\n"
          "`LPT1:=socket://127.0.0.1:PORT` in [ports], the spooler (kelvane-headless) started by\n"
          "the driver; its 6-byte job prefix counts among the bytes awaited. Ratio: the service's\n"
          "time over Kelvane's in each pair of turns (above 1.00: Kelvane is faster). The batch:\n"
          "100 jobs of 8 KiB submitted one after the other (each submission returns before the\n"
          "next), from the first submission to the last byte of the last job. dd: `dd bs=2048`\n"
          "straight into a connection to the same printer (bash's /dev/tcp), in the same turns;\n"
          "Kelvane / dd is Kelvane's time over dd's (1.00: as fast as the plain copy). Spooler\n"
          "alone: in the same turns, the driver queues the job (`submit --no-start`, not timed),\n"
          "then `kelvane-headless -f` is timed from its start to the last byte: Kelvane's time\n"
          "less the driver's durable copy of the job into the spool folder.\n\n";
  text += SideBySideTable(sideBySide);
  text += "\n## The job's end: waiting for the printer to close\n\n"
          "One 64 KiB job, `kelvane-headless -f` on a TCP printer on the loopback that closes its\n"
          "side a set time after the job's end (a card printer closes once the card is out); " +
          std::to_string(sideBySide.rounds) +
          " runs each, min-max (median), in ms from the last byte at the\n"
          "printer. The job counts as printed only once the printer has closed its side, so the\n"
          "spooler's own part is what comes after that close: the job's record removed and\n"
          "the process gone.\n\n";
  text += JobEndTable(sideBySide);
  return text;
}

}  // namespace report
