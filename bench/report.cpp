// bench_report: one table of the figures that matter on this machine. It
// runs port_bench and runner_bench and reads their output, and measures the
// real programs itself: kelvane-headless idling (processor time and
// resident memory from /proc), the time from a start to the first byte at
// kelvane-printer, the ink query round trip through kelvane-driver, and the
// desktop spooler's memory under Xvfb when it is built.
//
//   bench_report --build DIR [--mib N] [--out FILE]
//
// DIR is a build tree with the benchmarks and the programs. The table goes
// to standard output, and to FILE as Markdown when given.
// One thread; the programs run as child processes in a temporary home.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/single_instance.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Row {
  std::string what;
  std::string result;
  std::string baseline;
  std::string ratio;
  std::string source;
};

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
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& out = "/dev/null") {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);  // so that stopping it stops what it started too
      int in = ::open("/dev/null", O_RDONLY);
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = ::open("/dev/null", O_WRONLY);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !done_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // The exit code, or -1 when it has not ended within `limit`.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(2ms);
    }
    return code_;
  }
  void Stop() {
    if (done_) return;
    ::kill(-pid_, SIGTERM);  // the whole group: xvfb-run leaves its X server behind
    if (Wait(5000ms) == -1) {
      ::kill(-pid_, SIGKILL);
      Wait(5000ms);
    }
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int code_ = -1;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// utime + stime of a process, in seconds; negative when it is gone.
double ProcessCpuSeconds(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// VmRSS in KiB; negative when unknown.
double ResidentKiB(pid_t pid) {
  std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  return -1;
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string state;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

// A process running `exe` below `ancestor`, or 0.
pid_t FindDescendant(pid_t ancestor, const std::string& exe) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = ::readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    char target[4096] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    if (::readlink(link.c_str(), target, sizeof target - 1) <= 0 || exe != target) continue;
    for (pid_t p = pid; p > 1; p = ParentOf(p)) {
      if (p == ancestor) {
        found = pid;
        break;
      }
    }
    if (found) break;
  }
  ::closedir(proc);
  return found;
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

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

// --- The existing benchmarks, run and read -------------------------------

struct RunnerFigures {
  // sink -> label -> {MiB/s, ratio against the sink's baseline}
  std::map<std::string, std::map<std::string, std::pair<double, double>>> lines;
  std::map<std::string, std::pair<double, double>> notSelected;  // wall s, CPU s
};

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

struct PortFigures {
  std::map<std::string, double> channel;                     // sink -> MB/s
  std::map<std::string, std::pair<double, double>> dd;       // sink -> dd MB/s, ratio
  std::map<std::string, std::pair<double, double>> stalls;   // sink -> wall s, CPU s
};

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
  Child child(argv, out);
  if (child.Wait(240000ms) != 0) std::fprintf(stderr, "bench_report: %s failed\n", argv[0].c_str());
  return ReadText(out);
}

// --- The real programs ---------------------------------------------------

struct Programs {
  std::string headless, driver, printer, desktop;
};

class Home {
 public:
  Home() {
    char dir[] = "/tmp/kelvane-report-XXXXXX";
    if (!::mkdtemp(dir)) std::exit(1);
    path_ = dir;
    ::setenv("KELVANE_HOME", path_.c_str(), 1);
  }
  ~Home() {
    const std::string command = "rm -rf '" + path_ + "'";
    [[maybe_unused]] int rc = std::system(command.c_str());
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool SpoolerEnds(std::chrono::milliseconds limit) {
  return WaitFor([] { return !plat::IsSpoolerRunning(); }, limit);
}

// Median milliseconds from a start to the first new byte at the printer
// (its output file grows), over `rounds` rounds: either the driver queues a
// job and starts the spooler, or the job is queued first and the spooler is
// started with "-f". Each job closes its spooler at its end.
double TimeToFirstByte(const Programs& p, const Home& home, const std::string& printed,
                       bool driverStarts, int rounds) {
  const std::string job = home.File("job.bin");
  {
    std::ofstream out(job, std::ios::binary);
    out << std::string(64 * 1024, 'k');
  }
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const long long before = FileSize(printed);
    Clock::time_point start;
    std::unique_ptr<Child> child;
    if (driverStarts) {
      start = Clock::now();
      child = std::make_unique<Child>(std::vector<std::string>{
          p.driver, "submit", "--spooler", p.headless, job});
    } else {
      Child queue({p.driver, "submit", "--no-start", job});
      if (queue.Wait(20000ms) != 0) return -1;
      start = Clock::now();
      child = std::make_unique<Child>(
          std::vector<std::string>{p.headless, "-f", home.File("queue.txt")});
    }
    if (!WaitFor([&] { return FileSize(printed) > before; }, 20000ms)) return -1;
    times.push_back(MsSince(start));
    child->Wait(20000ms);
    // The job's end closes the spooler; the next round starts afresh.
    if (!SpoolerEnds(20000ms)) return -1;
  }
  return Median(times);
}

struct SpoolerFigures {
  double idleCpuPerSecond = -1;
  double idleSeconds = 0;
  double rssKiB = -1;
  double inkMs = -1;
  int inkResult = -1;
  std::string inkLevels;  // as kelvane-driver ink reports them
  double firstByteQueueMs = -1;
  double firstByteDriverMs = -1;
  double desktopRssKiB = -1;
  std::string desktopNote;
};

SpoolerFigures MeasureSpooler(const Programs& p) {
  SpoolerFigures f;
  Home home;
  ::unsetenv("KELVANE_TIMER_MS");  // the real 5-second tick
  {
    Child install({p.driver, "install"});
    if (install.Wait(20000ms) != 0) return f;
  }
  const std::string socket = home.File("run/printer.sock");
  const std::string printed = home.File("printed.prn");
  Child printer({p.printer, "--output", printed, socket});
  if (!WaitFor([&] { return Exists(socket); }, 5000ms)) return f;
  { std::ofstream touch(printed, std::ios::app); }

  f.firstByteQueueMs = TimeToFirstByte(p, home, printed, false, 5);
  f.firstByteDriverMs = TimeToFirstByte(p, home, printed, true, 5);

  // Idle in manual mode: the scheduler ticks, nothing prints. Started with
  // "-i" so that it knows the printer's port for the ink queries below.
  {
    Child spooler({p.headless, "-i", "LPT1:"});
    std::this_thread::sleep_for(1500ms);  // past the start-up and its ink query
    const double cpu0 = ProcessCpuSeconds(spooler.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(5000ms);
    const double cpu1 = ProcessCpuSeconds(spooler.pid());
    f.idleSeconds = MsSince(start) / 1000.0;
    if (cpu0 >= 0 && cpu1 >= 0) f.idleCpuPerSecond = (cpu1 - cpu0) / f.idleSeconds;
    f.rssKiB = ResidentKiB(spooler.pid());

    // The ink query through the driver, answered by the spooler.
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
      const std::string out = home.File("ink.txt");
      const auto t0 = Clock::now();
      Child ink({p.driver, "command", "5"}, out);
      if (ink.Wait(20000ms) != 0) break;
      times.push_back(MsSince(t0));
      f.inkResult = std::atoi(ReadText(out).c_str());
    }
    f.inkMs = Median(times);
    Child levels({p.driver, "ink"}, home.File("levels.txt"));
    levels.Wait(5000ms);
    f.inkLevels = ReadText(home.File("levels.txt"));
    spooler.Stop();
  }

  // The desktop spooler's memory, when it is built and Xvfb is at hand.
  if (p.desktop.empty() || !Exists(p.desktop)) {
    f.desktopNote = "not built";
  } else if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
    f.desktopNote = "xvfb-run not installed";
  } else {
    SpoolerEnds(5000ms);
    Child xvfb({"xvfb-run", "-a", p.desktop});
    pid_t desktop = 0;
    WaitFor([&] { return (desktop = FindDescendant(xvfb.pid(), p.desktop)) != 0; }, 15000ms);
    if (desktop) {
      std::this_thread::sleep_for(3000ms);  // windows shown, first ticks done
      f.desktopRssKiB = ResidentKiB(desktop);
      ::kill(desktop, SIGTERM);
    } else {
      f.desktopNote = "did not start under Xvfb";
    }
    if (xvfb.Wait(10000ms) == -1) xvfb.Stop();
  }
  printer.Stop();
  return f;
}

// --- The table -----------------------------------------------------------

std::string Mib(double value) { return value < 0 ? "n/a" : Format("%.1f MiB/s", value); }
std::string Ratio(double value) { return value < 0 ? "" : Format("%.2f", value); }
std::string CpuPerSecond(double cpu, double wall) {
  return wall > 0 ? Format("%.4f CPU s/s", cpu / wall) : "n/a";
}

std::string Table(const std::vector<Row>& rows) {
  std::string out = "| Measurement | Result | Baseline | Ratio | Source |\n";
  out += "| --- | --- | --- | --- | --- |\n";
  for (const Row& r : rows)
    out += "| " + r.what + " | " + r.result + " | " + r.baseline + " | " + r.ratio + " | " +
           r.source + " |\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string build, out;
  std::string mib = "64";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--build") build = argv[i + 1];
    if (flag == "--out") out = argv[i + 1];
    if (flag == "--mib") mib = argv[i + 1];
  }
  if (build.empty()) {
    std::fprintf(stderr, "usage: bench_report --build DIR [--mib N] [--out FILE]\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Absolute, so that the desktop spooler is found by its /proc/PID/exe.
  if (char* real = ::realpath(build.c_str(), nullptr)) {
    build = real;
    std::free(real);
  }
  Programs programs{build + "/app/headless/kelvane-headless",
                    build + "/tools/driver/kelvane-driver",
                    build + "/tools/printer/kelvane-printer", build + "/app/wx/kelvane"};
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
  [[maybe_unused]] int rc = std::system(("rm -rf '" + scratch + "'").c_str());

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
          "baseline). CPU s/s is processor seconds used per wall-clock second.\n";
  std::fputs(text.c_str(), stdout);
  if (!out.empty()) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << text;
  }
  return 0;
}
