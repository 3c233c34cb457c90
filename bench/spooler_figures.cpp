// The spooler's own figures as processes (see spooler_figures.h).
// bench_report's main thread; the programs run as child processes in a
// temporary home.
#include "bench/spooler_figures.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "platform/single_instance.h"

namespace report {

using namespace std::chrono_literals;

namespace {

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
    kt::ChildProcess child;
    if (driverStarts) {
      start = Clock::now();
      StartChild(child, {p.driver, "submit", "--spooler", p.headless, job});
    } else {
      kt::ChildProcess queue;
      StartChild(queue, {p.driver, "submit", "--no-start", job});
      if (queue.Wait(20000ms) != 0) return -1;
      start = Clock::now();
      StartChild(child, {p.headless, "-f", home.File("queue.txt")});
    }
    if (!WaitFor([&] { return FileSize(printed) > before; }, 20000ms)) return -1;
    times.push_back(MsSince(start));
    child.Wait(20000ms);
    // The job's end closes the spooler; the next round starts afresh.
    if (!SpoolerEnds(20000ms)) return -1;
  }
  return Median(times);
}

}  // namespace

SpoolerFigures MeasureSpooler(const Programs& p) {
  SpoolerFigures f;
  Home home;
  ::unsetenv("KELVANE_TIMER_MS");  // the real 5-second tick
  {
    kt::ChildProcess install;
    StartChild(install, {p.driver, "install"});
    if (install.Wait(20000ms) != 0) return f;
  }
  const std::string socket = home.File("run/printer.sock");
  const std::string printed = home.File("printed.prn");
  kt::ChildProcess printer;
  StartChild(printer, {p.printer, "--output", printed, socket});
  if (!WaitFor([&] { return Exists(socket); }, 5000ms)) return f;
  { std::ofstream touch(printed, std::ios::app); }

  f.firstByteQueueMs = TimeToFirstByte(p, home, printed, false, 5);
  f.firstByteDriverMs = TimeToFirstByte(p, home, printed, true, 5);

  // Idle in manual mode: the scheduler ticks, nothing prints. Started with
  // "-i" so that it knows the printer's port for the ink queries below.
  {
    kt::ChildProcess spooler;
    StartChild(spooler, {p.headless, "-i", "LPT1:"});
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
      kt::ChildProcess ink;
      StartChild(ink, {p.driver, "command", "5"}, out);
      if (ink.Wait(20000ms) != 0) break;
      times.push_back(MsSince(t0));
      f.inkResult = std::atoi(ReadText(out).c_str());
    }
    f.inkMs = Median(times);
    kt::ChildProcess levels;
    StartChild(levels, {p.driver, "ink"}, home.File("levels.txt"));
    levels.Wait(5000ms);
    f.inkLevels = ReadText(home.File("levels.txt"));
    spooler.Stop(5000ms);
  }

  // The desktop spooler's memory, when it is built and Xvfb is at hand.
  if (p.desktop.empty() || !Exists(p.desktop)) {
    f.desktopNote = "not built";
  } else if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
    f.desktopNote = "xvfb-run not installed";
  } else {
    SpoolerEnds(5000ms);
    kt::ChildProcess xvfb;
    StartChild(xvfb, {"xvfb-run", "-a", p.desktop});
    pid_t desktop = 0;
    WaitFor([&] { return (desktop = FindDescendant(xvfb.pid(), p.desktop)) != 0; }, 15000ms);
    if (desktop) {
      std::this_thread::sleep_for(3000ms);  // windows shown, first ticks done
      f.desktopRssKiB = ResidentKiB(desktop);
      ::kill(desktop, SIGTERM);
    } else {
      f.desktopNote = "did not start under Xvfb";
    }
    if (xvfb.Wait(10000ms) == -1) xvfb.Stop(5000ms);
  }
  printer.Stop(5000ms);
  return f;
}

}  // namespace report
