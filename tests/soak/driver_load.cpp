// Driver load: while kelvane-headless prints to a fast kelvane-printer,
// several driver processes append records at once, each as fast as the
// queue file's sharing protocol lets it (an exclusive hold per append,
// backing off while the spooler holds the file or the file is at its 65535
// bytes). One driver goes through the real `kelvane-driver submit
// --no-start` for every record; the others append directly.
//
// Checked: every record is printed exactly once, whole and byte-exact, with
// one job prefix, and the records of each driver come out in the order that
// driver appended them; afterwards the queue file is empty and no spool file
// is left. Printed: jobs per second and the count lost (must be 0).
//
// The jobs name the model "VORNA Cantella", which keeps the spooler open
// while the queue runs dry between appends, so that one spooler sees the
// whole load; the scheduler tick is shortened with KELVANE_TIMER_MS.
//
// Usage: driver_load [--drivers N] [--records PER_DRIVER] [--seed S]
//                    [--file-port] [--keep]
// --file-port maps LPT1: to a plain file, which takes every byte at once:
// the spooler's own pace, without the simulated printer in the way.
// One thread in the parent; the drivers are forked copies of it.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/profile.h"
#include "tests/soak/soak_support.h"

#if !defined(KELVANE_HEADLESS_PATH) || !defined(KELVANE_DRIVER_PATH) || \
    !defined(KELVANE_PRINTER_PATH)
#error "driver_load needs the program paths"
#endif

namespace {

constexpr int kJobsPerDriver = 1000000;  // job id = driver * this + sequence

struct Options {
  int drivers = 4;
  int records = 150;
  unsigned seed = 1;
  bool keep = false;
  bool filePort = false;  // LPT1: to a plain file instead of kelvane-printer
};

int DriverOf(int id) { return id / kJobsPerDriver; }
int SequenceOf(int id) { return id % kJobsPerDriver; }

// The body of one driver process: appends its records in order. Returns
// the process exit code.
int RunDriver(int driver, const std::vector<soak::Job>& plan, const std::string& queue,
              const std::string& spoolDir, const std::string& home, bool viaProgram) {
  for (const soak::Job& planned : plan) {
    if (viaProgram) {
      // The real driver spools its own copies of our files.
      soak::Job job = planned;
      const std::string sourceDir = home + "/src-" + std::to_string(driver);
      std::string error;
      if (!soak::CreateJob(job, sourceDir, error)) return 3;
      std::vector<std::string> argv = {KELVANE_DRIVER_PATH, "submit", "--no-start",
                                       "--queue", queue, "--printer", job.printer,
                                       "--name", job.name, "--copies",
                                       std::to_string(job.copies)};
      argv.insert(argv.end(), job.spoolPaths.begin(), job.spoolPaths.end());
      int code = 1;
      for (int attempt = 0; attempt < 2000 && code != 0; ++attempt) {
        code = kt::RunProgram(argv, std::chrono::seconds(30));
        if (code != 0) soak::SleepMs(5);  // full, or held too long: later
      }
      for (const std::string& p : job.spoolPaths) ::unlink(p.c_str());
      if (code != 0) return 4;
      continue;
    }
    soak::Job job = planned;
    std::string error;
    if (!soak::CreateJob(job, spoolDir, error)) return 3;
    for (int attempt = 0;; ++attempt) {
      if (soak::AppendRecord(queue, job.record, error)) break;
      if (error != "full" || attempt > 20000) return 5;
      soak::SleepMs(2);  // the spooler has to make room first
    }
  }
  return 0;
}

int SpoolFilesLeft(const std::string& dir) {
  int count = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    }
    ::closedir(d);
  }
  return count;
}

std::size_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

int Run(const Options& options) {
  const std::string home = soak::MakeTempHome("driver-load");
  if (home.empty()) return 2;
  ::setenv("KELVANE_TIMER_MS", "50", 1);
  const std::string queue = home + "/queue.txt";
  const std::string spoolDir = home + "/spool";
  const std::string socket = home + "/run/printer.sock";
  const std::string output = home + "/printed.prn";
  if (kt::RunProgram({KELVANE_DRIVER_PATH, "install"}, std::chrono::seconds(20)) != 0) return 2;
  for (int d = 0; d < options.drivers; ++d)
    plat::MakeDirectories(home + "/src-" + std::to_string(d), 0700);

  // The whole plan first, so the parent knows every job the children queue.
  std::mt19937 random(options.seed);
  std::map<int, soak::Job> jobs;
  std::vector<std::vector<soak::Job>> plans(options.drivers);
  std::size_t expectedBytes = 0;
  for (int d = 0; d < options.drivers; ++d) {
    for (int r = 0; r < options.records; ++r) {
      soak::Job job;
      job.id = (d + 1) * kJobsPerDriver + r;
      job.copies = 1;
      job.name = "load " + std::to_string(d + 1) + " " + std::to_string(r);
      job.printer = "VORNA Cantella";
      const int files = 1 + static_cast<int>(random() % 2);
      for (int f = 0; f < files; ++f)
        job.sizes.push_back(std::uniform_int_distribution<std::size_t>(64, 1500)(random));
      expectedBytes += soak::ExpectedPrint(job, 1).size();
      jobs[job.id] = job;
      plans[d].push_back(job);
    }
  }

  kt::ChildProcess printer;
  if (options.filePort) {
    // The spooler appends to the file as it would write to a device.
    if (!plat::WriteProfileString("ports", "LPT1:", output)) return 2;
  } else {
    printer.Start({KELVANE_PRINTER_PATH, "--output", output, socket},
                  soak::LogTo(home + "/printer.log"));
    for (int i = 0; i < 1000 && ::access(socket.c_str(), F_OK) != 0; ++i) soak::SleepMs(5);
  }

  const std::uint64_t started = soak::NowMs();
  std::vector<kt::ChildProcess> drivers(static_cast<std::size_t>(options.drivers));
  for (int d = 0; d < options.drivers; ++d) {
    drivers[static_cast<std::size_t>(d)].StartCopy(
        [&, d] { return RunDriver(d + 1, plans[d], queue, spoolDir, home, d == 0); });
  }
  // As the driver does: the spooler starts once there is a job for it.
  for (int i = 0; i < 10000 && FileSize(queue) == 0; ++i) soak::SleepMs(1);
  const std::string spoolerLog = home + "/spooler.log";
  kt::ChildProcess spooler;
  spooler.Start({KELVANE_HEADLESS_PATH, "-f", queue}, soak::LogTo(spoolerLog));
  int spoolerStarts = 1;
  int failedDrivers = 0;
  for (kt::ChildProcess& driver : drivers) {
    if (driver.Wait() != 0) ++failedDrivers;
  }
  const std::uint64_t appendedAll = soak::NowMs();

  // Wait for the queue to run dry and the printer to go quiet. A spooler
  // that closed with work left (it should not) is started again, as the
  // driver would.
  std::size_t lastSize = 0;
  std::uint64_t quietSince = soak::NowMs();
  const std::uint64_t deadline = soak::NowMs() + 600000;
  for (;;) {
    std::string text;
    plat::ReadWholeFile(queue, text);
    const std::size_t size = FileSize(output);
    if (size != lastSize) {
      lastSize = size;
      quietSince = soak::NowMs();
    }
    if (!spooler.Running() && !text.empty()) {
      spooler.Start({KELVANE_HEADLESS_PATH, "-f", queue}, soak::LogTo(spoolerLog));
      ++spoolerStarts;
    }
    // Quiet for a while: the last job's FinishJob and the run's end are
    // done, so the close below asks no quit question.
    if (text.empty() && soak::NowMs() - quietSince > (size >= expectedBytes ? 700u : 3000u))
      break;
    if (soak::NowMs() > deadline) break;
    soak::SleepMs(5);
  }
  const std::uint64_t finished = quietSince;
  spooler.Signal(SIGTERM);
  const int spoolerCode = spooler.Wait(std::chrono::seconds(20));
  printer.Signal(SIGTERM);
  printer.Wait(std::chrono::seconds(5));

  // Account for every record.
  std::string printed;
  plat::ReadWholeFile(output, printed);
  std::vector<soak::Attempt> attempts;
  std::string error;
  int violations = 0;
  if (!soak::ParseOutput(printed, {}, jobs, attempts, error)) {
    std::printf("VIOLATION: the output does not parse: %s\n", error.c_str());
    ++violations;
  }
  std::map<int, int> times;
  std::map<int, int> lastSequence;
  int outOfOrder = 0;
  int doubledPrefix = 0;
  for (const soak::Attempt& a : attempts) {
    ++times[a.job];
    if (a.prefixes != 1) ++doubledPrefix;
    const int d = DriverOf(a.job);
    auto it = lastSequence.find(d);
    if (it != lastSequence.end() && SequenceOf(a.job) <= it->second) ++outOfOrder;
    lastSequence[d] = SequenceOf(a.job);
  }
  int lost = 0;
  int duplicated = 0;
  std::string lostList;
  for (const auto& [id, job] : jobs) {
    const int n = times.count(id) ? times[id] : 0;
    if (n == 0) {
      ++lost;
      if (lost <= 10) lostList += " " + job.name;
    }
    if (n > 1) ++duplicated;
  }
  std::string log;
  plat::ReadWholeFile(spoolerLog, log);
  const bool boxes = log.find("--- message box ---") != std::string::npos;
  std::string left;
  plat::ReadWholeFile(queue, left);
  const int spoolLeft = SpoolFilesLeft(spoolDir);

  const double seconds = static_cast<double>(finished - started) / 1000.0;
  std::printf("driver load: %d drivers x %d records = %zu jobs, %zu bytes printed in "
              "%.2f s (appends done after %.2f s): %.1f jobs/s\n",
              options.drivers, options.records, jobs.size(), printed.size(), seconds,
              static_cast<double>(appendedAll - started) / 1000.0,
              static_cast<double>(jobs.size() - static_cast<std::size_t>(lost)) / seconds);
  std::printf("lost %d%s, printed twice %d, out of order %d, prefix not single %d, "
              "drivers failed %d, spooler starts %d (exit %d), spool files left %d, "
              "queue bytes left %zu%s\n",
              lost, lost ? (" (first:" + lostList + ")").c_str() : "", duplicated, outOfOrder,
              doubledPrefix, failedDrivers, spoolerStarts, spoolerCode, spoolLeft, left.size(),
              boxes ? ", the spooler showed a message box" : "");
  const bool ok = violations == 0 && lost == 0 && duplicated == 0 && outOfOrder == 0 &&
                  doubledPrefix == 0 && failedDrivers == 0 && spoolLeft == 0 &&
                  left.empty() && !boxes;
  std::printf("driver load: %s\n", ok ? "every record printed exactly once, in order"
                                      : "FAILED");
  if (boxes) std::printf("spooler log:\n%s\n", log.c_str());
  if (ok && !options.keep) soak::RemoveTree(home);
  else std::printf("state kept in %s\n", home.c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : "0"; };
    if (a == "--drivers") options.drivers = std::max(1, std::atoi(next()));
    else if (a == "--records") options.records = std::max(1, std::atoi(next()));
    else if (a == "--seed") options.seed = static_cast<unsigned>(std::strtoul(next(), nullptr, 10));
    else if (a == "--keep") options.keep = true;
    else if (a == "--file-port") options.filePort = true;
    else {
      std::fprintf(stderr, "usage: driver_load [--drivers N] [--records N] [--seed S] [--file-port] [--keep]\n");
      return 2;
    }
  }
  return Run(options);
}
