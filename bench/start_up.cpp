// Timing the programs' start-up (see start_up.h). bench_report's main
// thread; each program runs as a child process in a temporary home.
#include "bench/start_up.h"

#include <dirent.h>
#include <unistd.h>

#include <fstream>

namespace report {

using namespace std::chrono_literals;

namespace {

// Runs `argv` to its end with nothing on its standard streams; false when
// it does not exit 0. The child is started with posix_spawn, so that its
// processor time is its own and not that of a copy of this process before
// its exec, and the wait returns the moment it has ended.
bool TimeOneStart(const std::vector<std::string>& argv, double& wallMs, double& cpuMs) {
  const auto start = Clock::now();
  kt::ChildProcess child;
  if (!child.Start(argv)) return false;
  const int code = child.Wait();
  wallMs = MsSince(start);
  cpuMs = std::chrono::duration<double, std::milli>(child.CpuTime()).count();
  return code == 0;
}

void RemoveQueuedJobs(const Home& home) {
  ::unlink(home.File("queue.txt").c_str());
  const std::string spool = home.File("spool");
  if (DIR* dir = ::opendir(spool.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ::unlink((spool + "/" + entry->d_name).c_str());
    ::closedir(dir);
  }
}

}  // namespace

std::vector<StartUp> MeasureStartUps(const Programs& p, const StartUpFloors& floors, int runs) {
  Home home;
  {
    kt::ChildProcess install;
    StartChild(install, {p.driver, "install"});
    if (install.Wait(20000ms) != 0) return {};
  }
  const std::string emptyQueue = home.File("empty-queue.txt");
  { std::ofstream touch(emptyQueue); }
  const std::string job = home.File("job.bin");
  WriteJobFile(job, 64u << 10);
  struct Program {
    std::string what;
    StartUpRole role;
    std::vector<std::string> argv;
    bool queues;  // leaves a job behind, removed before the next run
  };
  const std::vector<Program> programs = {
      {"empty C++ program (the floor)", StartUpRole::kFloor, {floors.empty}, false},
      {"empty C++ program that starts and joins three threads", StartUpRole::kThreadsFloor,
       {floors.threeThreads}, false},
      {"kelvane-headless -f on an empty queue", StartUpRole::kSpooler,
       {p.headless, "-f", emptyQueue}, false},
      {"kelvane-driver submit --no-start, 64 KiB", StartUpRole::kProgram,
       {p.driver, "submit", "--no-start", job}, true}};
  std::vector<StartUp> results(programs.size());
  for (std::size_t k = 0; k < programs.size(); ++k) {
    results[k].what = programs[k].what;
    results[k].role = programs[k].role;
  }
  // Not counted: the files and the programs come into the cache.
  for (const Program& program : programs) {
    double wall = 0, cpu = 0;
    TimeOneStart(program.argv, wall, cpu);
    if (program.queues) RemoveQueuedJobs(home);
  }
  for (int i = 0; i < runs; ++i) {
    for (std::size_t k = 0; k < programs.size(); ++k) {
      const std::size_t which = (static_cast<std::size_t>(i) + k) % programs.size();
      double wall = 0, cpu = 0;
      if (TimeOneStart(programs[which].argv, wall, cpu)) {
        results[which].wall.Add(wall);
        results[which].cpu.Add(cpu);
      }
      if (programs[which].queues) RemoveQueuedJobs(home);
    }
  }
  return results;
}

}  // namespace report
