// Crash soak: kelvane-headless prints a queue of recognisable jobs to a slow
// kelvane-printer and is killed with SIGKILL at chosen and random moments
// (during start-up and recovery, while it puts the prefix in front of a
// spool file, mid-block, right when a job's last bytes reach the printer,
// i.e. inside FinishJob's rewrite, and just after the head record went),
// then started again with "-f", as the driver would. After every kill, with
// no spooler running, the state on disk is checked; at the end a last run
// empties the queue and every job is accounted for.
//
// What a crash may and may not do. Recovery is part of the promise: a run
// killed while the registry marker "Config File" reads "Processing" leaves
// that marker, and the next start's RecoverQueueFile removes the job that
// run was printing (the head record, which the print thread noted before
// its first byte) with its spool files, and nothing else ("Previous jobs
// will be deleted."). The invariants are therefore stated against the set
// MAYDROP of the records at the head of the queue at a start that found
// "Processing", one per such start:
//   I1  the queue file always splits into whole records, byte for byte as
//       appended, separated by one empty line, and it is always a suffix of
//       what was appended: records leave from the head only, none is
//       duplicated, reordered, cut or merged;
//   I2  every spool file of every queued record exists; the first holds the
//       original bytes behind zero or more job prefixes, the others the
//       original bytes exactly (no queued job's file is deleted or damaged);
//   I3  the registry file and win.ini always parse, keep the settings key,
//       "Port" and the [ports] mapping, and the marker reads "Processing",
//       "Purged" or nothing;
//   I4  the printer's output is a sequence of print attempts, each a whole
//       job (all its copies) or a job cut off exactly where a kill struck;
//       the job cut at a kill is the head record of the queue that the kill
//       left, so each kill interrupts at most one job;
//   I5  a job outside MAYDROP is printed whole at least once (nothing is
//       lost), and any job is printed whole at most 1 + (kills that left it
//       at the head of the queue) times (a crash before its record was
//       removed may print it once more, never more);
//   I6  only the recovery box ("Configuration/Queue File Error. ...") is
//       ever shown, and only after a start that found "Processing".
//   I7  no spool file outlives its record past the next start that gets as
//       far as its recovery: a kill between a record's removal and the
//       deletion of its files leaves them, the next start deletes them, and
//       none is left at the end.
// A job in MAYDROP that is never printed is counted as "removed by the
// recovery"; a job queued behind the head at such a start as "kept".
//
// Usage: crash_soak [--kills N] [--seed S] [--rate BYTES_PER_SEC]
//                   [--max-seconds T] [--keep]
// Exit 0 when every invariant held for every kill; prints the kills survived.
// One thread; the spooler, the printer and the installer are child processes.
#include <dirent.h>
#include <fcntl.h>
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
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tests/soak/soak_support.h"

#if !defined(KELVANE_HEADLESS_PATH) || !defined(KELVANE_DRIVER_PATH) || \
    !defined(KELVANE_PRINTER_PATH)
#error "crash_soak needs the program paths"
#endif

namespace {

constexpr const char* kRecoveryText = "Configuration/Queue File Error.";

struct Options {
  int kills = 15;
  unsigned seed = 0;
  unsigned rate = 40000;
  int maxSeconds = 55;
  bool keep = false;
};

enum KillMode { kStartup, kMidJob, kJobTail, kHeadRemoved, kRandomDelay, kModeCount };
const char* const kModeNames[kModeCount] = {"start-up", "mid-job", "job's last bytes",
                                            "head record removed", "random delay"};

class CrashSoak {
 public:
  explicit CrashSoak(const Options& options) : options_(options), random_(options.seed) {}

  int Run();

 private:
  bool Setup();
  int NewJob();
  bool AppendJob(int id);
  bool StartSpooler(kt::ChildProcess& spooler, bool expectRecovery);
  void NoteRecoveringStart();
  bool ServeBoxes(kt::ChildProcess& spooler);
  bool KillConditionMet(KillMode mode, std::uint64_t startedMs, std::size_t startOutput,
                        const std::string& startQueue, unsigned param);
  std::size_t StableOutputSize();
  bool CheckAfterKill(const char* when);
  bool CheckQueue(std::vector<int>& queued);
  bool CheckSpoolFiles(const std::vector<int>& queued);
  bool FinalRun();
  bool Account();
  void Violation(const std::string& text);
  std::string ReadQueue() const;
  std::size_t OutputSize() const;
  int CountSpoolLeftovers(bool prefixTemporaries) const;

  Options options_;
  std::mt19937 random_;
  std::string home_, queue_, spoolDir_, socket_, output_;
  kt::ChildProcess printer_;
  std::map<int, soak::Job> jobs_;
  std::map<std::string, int> byRecord_;
  std::vector<int> live_;          // believed queue order
  std::set<int> mayDrop_;
  std::set<int> keptAcross_;  // queued behind the head at a recovering start
  std::map<int, int> headKills_;
  std::vector<std::size_t> boundaries_;
  std::vector<int> headAtBoundary_;
  int nextId_ = 1;
  int runs_ = 0;
  int survived_ = 0;
  int violations_ = 0;
  int recoveries_ = 0;
  int boxesAnswered_ = 0;
  bool recoveryAllowed_ = false;
  int modeCount_[kModeCount] = {};
  int cutMidJob_ = 0;
  int inFinishJob_ = 0;
  std::string logFile_;
  std::size_t logSeen_ = 0;
};

void CrashSoak::Violation(const std::string& text) {
  ++violations_;
  std::printf("VIOLATION after kill %d: %s\n", survived_, text.c_str());
  std::fflush(stdout);
}

std::string CrashSoak::ReadQueue() const {
  std::string text;
  plat::ReadWholeFile(queue_, text);
  return text;
}

std::size_t CrashSoak::OutputSize() const {
  struct stat st {};
  return ::stat(output_.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

bool CrashSoak::Setup() {
  home_ = soak::MakeTempHome("crash-soak");
  if (home_.empty()) return false;
  ::setenv("KELVANE_TIMER_MS", "200", 1);
  queue_ = home_ + "/queue.txt";
  spoolDir_ = home_ + "/spool";
  socket_ = home_ + "/run/printer.sock";
  output_ = home_ + "/printed.prn";
  if (kt::RunProgram({KELVANE_DRIVER_PATH, "install"}, std::chrono::seconds(20)) != 0) {
    std::printf("kelvane-driver install failed\n");
    return false;
  }
  if (!printer_.Start({KELVANE_PRINTER_PATH, "--rate", std::to_string(options_.rate),
                       "--output", output_, socket_},
                      soak::LogTo(home_ + "/printer.log"))) {
    return false;
  }
  const std::uint64_t deadline = soak::NowMs() + 5000;
  while (::access(socket_.c_str(), F_OK) != 0) {
    if (soak::NowMs() > deadline) {
      std::printf("the printer did not come up\n");
      return false;
    }
    soak::SleepMs(5);
  }
  return true;
}

int CrashSoak::NewJob() {
  soak::Job job;
  job.id = nextId_++;
  job.copies = std::uniform_int_distribution<int>(1, 3)(random_);
  job.name = "soak job " + std::to_string(job.id);
  // Mostly the model that closes after the last job; now and then the one
  // that stays open, so both ends of a run are crossed.
  job.printer = random_() % 5 == 0 ? "VORNA Cantella" : "VORNA Tamrel";
  const int files = std::uniform_int_distribution<int>(1, 3)(random_);
  for (int f = 0; f < files; ++f)
    job.sizes.push_back(std::uniform_int_distribution<std::size_t>(200, 7000)(random_));
  std::string error;
  if (!soak::CreateJob(job, spoolDir_, error)) {
    Violation("cannot create a job: " + error);
    return 0;
  }
  byRecord_[job.record] = job.id;
  jobs_[job.id] = job;
  return job.id;
}

bool CrashSoak::AppendJob(int id) {
  std::string error;
  if (!soak::AppendRecord(queue_, jobs_[id].record, error)) {
    Violation("cannot append job " + std::to_string(id) + ": " + error);
    return false;
  }
  live_.push_back(id);
  return true;
}

// Answers the recovery box; anything else is a violation (I6). Boxes are
// read from the spooler's log, where each one ends in "answer? ".
bool CrashSoak::ServeBoxes(kt::ChildProcess& spooler) {
  std::string log;
  plat::ReadWholeFile(logFile_, log);
  for (;;) {
    const std::size_t ask = log.find("answer? ", logSeen_);
    if (ask == std::string::npos) return true;
    const std::string box = log.substr(logSeen_, ask - logSeen_);
    logSeen_ = ask + 8;
    if (box.find(kRecoveryText) != std::string::npos && recoveryAllowed_) {
      recoveryAllowed_ = false;  // once per start
      ++recoveries_;
      ++boxesAnswered_;
      spooler.WriteInput("\n");
    } else {
      Violation("unexpected message box: " + box);
      spooler.WriteInput("\n");
      return false;
    }
  }
}

// A start that finds "Processing" may remove the head job, and only it.
void CrashSoak::NoteRecoveringStart() {
  if (live_.empty()) return;
  mayDrop_.insert(live_.front());
  keptAcross_.insert(live_.begin() + 1, live_.end());
}

bool CrashSoak::StartSpooler(kt::ChildProcess& spooler, bool expectRecovery) {
  ++runs_;
  logFile_ = home_ + "/spooler-" + std::to_string(runs_) + ".log";
  logSeen_ = 0;
  recoveryAllowed_ = expectRecovery;
  return spooler.Start({KELVANE_HEADLESS_PATH, "-f", queue_}, soak::LogTo(logFile_, true));
}

bool CrashSoak::KillConditionMet(KillMode mode, std::uint64_t startedMs,
                                 std::size_t startOutput, const std::string& startQueue,
                                 unsigned param) {
  const std::uint64_t elapsed = soak::NowMs() - startedMs;
  switch (mode) {
    case kStartup:
    case kRandomDelay:
      return elapsed >= param;
    case kMidJob:
      return OutputSize() >= startOutput + param;
    case kHeadRemoved:
      return ReadQueue() != startQueue;
    case kJobTail: {
      // The head job's last bytes have just reached the printer: the
      // spooler is between copies or inside FinishJob.
      const std::size_t size = OutputSize();
      if (size <= startOutput || live_.empty()) return false;
      std::vector<std::string> records;
      std::string error;
      if (!soak::SplitRecords(ReadQueue(), records, error) || records.empty()) return false;
      auto it = byRecord_.find(records.front());
      if (it == byRecord_.end()) return false;
      const soak::Job& job = jobs_[it->second];
      const std::string last = soak::FileContent(
          job.id, static_cast<int>(job.sizes.size() - 1), job.sizes.back());
      const std::size_t tail = std::min<std::size_t>(48, last.size());
      if (size < tail) return false;
      int fd = ::open(output_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return false;
      std::string bytes(tail, '\0');
      const ssize_t n = ::pread(fd, bytes.data(), tail, static_cast<off_t>(size - tail));
      ::close(fd);
      return n == static_cast<ssize_t>(tail) && bytes == last.substr(last.size() - tail);
    }
    default:
      return true;
  }
}

// After a kill the printer may still be taking the last request the dead
// spooler sent; the output is read once it has stopped growing.
std::size_t CrashSoak::StableOutputSize() {
  std::size_t size = OutputSize();
  std::uint64_t since = soak::NowMs();
  const std::uint64_t deadline = since + 3000;
  while (soak::NowMs() - since < 80 && soak::NowMs() < deadline) {
    soak::SleepMs(5);
    const std::size_t now = OutputSize();
    if (now != size) {
      size = now;
      since = soak::NowMs();
    }
  }
  return size;
}

bool CrashSoak::CheckQueue(std::vector<int>& queued) {
  std::vector<std::string> records;
  std::string error;
  if (!soak::SplitRecords(ReadQueue(), records, error)) {
    Violation("I1: the queue file does not parse: " + error);
    return false;
  }
  queued.clear();
  for (const std::string& record : records) {
    auto it = byRecord_.find(record);
    if (it == byRecord_.end()) {
      Violation("I1: the queue holds a record we never appended: " + record);
      return false;
    }
    queued.push_back(it->second);
  }
  // A suffix of what we believe is queued: only the head ever goes.
  if (queued.size() > live_.size() ||
      !std::equal(queued.begin(), queued.end(), live_.end() - queued.size())) {
    std::string text = "I1: queue is not a suffix of the appended records; queued:";
    for (int id : queued) text += " " + std::to_string(id);
    text += "; expected a suffix of:";
    for (int id : live_) text += " " + std::to_string(id);
    Violation(text);
    return false;
  }
  live_ = queued;
  return true;
}

bool CrashSoak::CheckSpoolFiles(const std::vector<int>& queued) {
  bool ok = true;
  for (int id : queued) {
    const soak::Job& job = jobs_[id];
    for (std::size_t f = 0; f < job.spoolPaths.size(); ++f) {
      std::string bytes;
      if (!plat::ReadWholeFile(job.spoolPaths[f], bytes)) {
        Violation("I2: spool file of queued job " + std::to_string(id) + " is gone: " +
                  job.spoolPaths[f]);
        ok = false;
        continue;
      }
      const std::string original = soak::FileContent(id, static_cast<int>(f), job.sizes[f]);
      std::size_t at = 0;
      if (f == 0) {
        while (bytes.compare(at, 6, soak::JobPrefix()) == 0) at += 6;
      }
      if (bytes.compare(at, std::string::npos, original) != 0) {
        Violation("I2: spool file of queued job " + std::to_string(id) + " is damaged: " +
                  job.spoolPaths[f]);
        ok = false;
      }
    }
  }
  return ok;
}

int CrashSoak::CountSpoolLeftovers(bool prefixTemporaries) const {
  std::set<std::string> queuedFiles;
  for (int id : live_) {
    for (const std::string& p : jobs_.at(id).spoolPaths) queuedFiles.insert(p);
  }
  int count = 0;
  DIR* dir = ::opendir(spoolDir_.c_str());
  if (!dir) return 0;
  while (dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const bool temporary = name.rfind("~tm", 0) == 0;
    if (prefixTemporaries ? temporary
                          : (!temporary && !queuedFiles.count(spoolDir_ + "/" + name))) {
      ++count;
    }
  }
  ::closedir(dir);
  return count;
}

bool CrashSoak::CheckAfterKill(const char* when) {
  const std::size_t boundary = StableOutputSize();
  boundaries_.push_back(boundary);
  const int violationsBefore = violations_;

  std::vector<int> queued;
  if (CheckQueue(queued)) CheckSpoolFiles(queued);
  headAtBoundary_.push_back(live_.empty() ? -1 : live_.front());
  if (!live_.empty()) ++headKills_[live_.front()];

  std::string marker, error;
  if (!soak::CheckRegistryFile(marker, error)) Violation(std::string("I3: ") + error);
  if (!soak::CheckProfileFile("sim:" + socket_, error)) Violation(std::string("I3: ") + error);

  std::string output;
  plat::ReadWholeFile(output_, output);
  output.resize(std::min(output.size(), boundary));
  std::vector<soak::Attempt> attempts;
  if (!soak::ParseOutput(output, boundaries_, jobs_, attempts, error)) {
    Violation("I4: " + error);
  } else if (!attempts.empty() && !attempts.back().whole && attempts.back().end == boundary) {
    ++cutMidJob_;
    // Kills that found nothing printing leave the same boundary: the cut
    // belongs to one of them.
    bool matched = attempts.back().job < 0;
    for (std::size_t i = 0; i < boundaries_.size(); ++i)
      matched = matched || (boundaries_[i] == boundary && headAtBoundary_[i] == attempts.back().job);
    if (!matched) {
      Violation("I4: the kill cut job " + std::to_string(attempts.back().job) +
                " but left job " + std::to_string(headAtBoundary_.back()) + " at the head");
    }
  }

  const int leftovers = CountSpoolLeftovers(false);
  const int temporaries = CountSpoolLeftovers(true);
  // A kill inside FinishJob may leave the finished job's files; they must
  // be gone by the time a start has run its recovery. Those of earlier
  // kills that are still here are counted again; only the final count,
  // after a run nobody killed, must be zero.
  if (leftovers > 0) ++inFinishJob_;
  std::printf("kill %3d (%s): output %zu bytes, %zu queued, marker \"%s\"%s%s\n",
              survived_, when, boundary, live_.size(), marker.c_str(),
              leftovers ? ", finished job's spool files left" : "",
              temporaries ? ", prefix temporary left" : "");
  std::fflush(stdout);
  return violations_ == violationsBefore;
}

// One start with nothing killed: runs until the spooler closes by itself.
bool CrashSoak::FinalRun() {
  for (int round = 0; round < 6; ++round) {
    std::string marker, error;
    soak::CheckRegistryFile(marker, error);
    // An empty queue still gets a start after a kill left "Processing": its
    // recovery is what deletes the spool files a cut-short removal left.
    if (live_.empty() && ReadQueue().empty() && marker != "Processing") return true;
    if (marker == "Processing") NoteRecoveringStart();
    kt::ChildProcess spooler;
    if (!StartSpooler(spooler, marker == "Processing")) return false;
    const std::uint64_t deadline = soak::NowMs() + 120000;
    bool cantellaLast = false;
    while (spooler.Running()) {
      ServeBoxes(spooler);
      if (soak::NowMs() > deadline) {
        Violation("the final run did not end");
        spooler.Kill();
        return false;
      }
      // A "VORNA Cantella" last job keeps the spooler open: once the queue
      // is empty and the printer quiet, ask it to close as a user would.
      if (ReadQueue().empty() && !cantellaLast) {
        const std::size_t before = OutputSize();
        soak::SleepMs(600);
        if (ReadQueue().empty() && OutputSize() == before && spooler.Running()) {
          cantellaLast = true;
          spooler.Signal(SIGTERM);
        }
      }
      soak::SleepMs(5);
    }
    ServeBoxes(spooler);
    std::vector<int> queued;
    CheckQueue(queued);
  }
  if (!live_.empty()) Violation("the queue never emptied");
  return live_.empty();
}

bool CrashSoak::Account() {
  std::string output;
  plat::ReadWholeFile(output_, output);
  std::vector<soak::Attempt> attempts;
  std::string error;
  if (!soak::ParseOutput(output, boundaries_, jobs_, attempts, error)) {
    Violation("I4 (final): " + error);
    return false;
  }
  std::map<int, int> whole;
  int interrupted = 0;
  for (const soak::Attempt& a : attempts) {
    if (a.whole) {
      ++whole[a.job];
      continue;
    }
    ++interrupted;
    // I4: a cut attempt ends at a kill, and is the head that kill left.
    const auto it = std::find(boundaries_.begin(), boundaries_.end(), a.end);
    if (it == boundaries_.end()) {
      Violation("I4: an attempt of job " + std::to_string(a.job) + " ends at no kill");
    } else if (a.job >= 0) {
      bool matched = false;
      for (std::size_t i = 0; i < boundaries_.size(); ++i)
        matched = matched || (boundaries_[i] == a.end && headAtBoundary_[i] == a.job);
      if (!matched) {
        Violation("I4: job " + std::to_string(a.job) + " was cut at byte " +
                  std::to_string(a.end) + " but was not the head that kill left");
      }
    }
  }
  int dropped = 0;
  int kept = 0;
  int duplicated = 0;
  for (const auto& [id, job] : jobs_) {
    const int w = whole.count(id) ? whole[id] : 0;
    const int allowed = 1 + (headKills_.count(id) ? headKills_[id] : 0);
    if (w > allowed) {
      Violation("I5: job " + std::to_string(id) + " printed whole " + std::to_string(w) +
                " times, at most " + std::to_string(allowed) + " allowed");
    }
    if (w > 1) ++duplicated;
    if (w > 0 && keptAcross_.count(id)) ++kept;
    if (w == 0) {
      if (mayDrop_.count(id)) {
        ++dropped;
      } else {
        Violation("I5: job " + std::to_string(id) +
                  " was lost: never printed whole, and no recovery could drop it");
      }
    }
  }
  const int leftovers = CountSpoolLeftovers(false) + CountSpoolLeftovers(true);
  if (leftovers > 0)
    Violation("I7: " + std::to_string(leftovers) + " files left in the spool folder at the end");
  std::printf(
      "summary: %d kills survived of %d asked, %d starts, %d recoveries; %zu jobs: "
      "%d printed whole, %d kept across a recovery, %d removed by the recovery "
      "(at most one per recovering start), %d printed whole twice (crash before the record "
      "went); %d attempts cut by a kill; leftovers at the end: %d\n",
      survived_, options_.kills, runs_, recoveries_, jobs_.size(),
      static_cast<int>(whole.size()), kept, dropped, duplicated, interrupted, leftovers);
  std::printf("kill moments:");
  for (int m = 0; m < kModeCount; ++m) std::printf(" %s %d;", kModeNames[m], modeCount_[m]);
  std::printf(" landed mid-job %d, inside FinishJob (spool files left for the next start) %d\n",
              cutMidJob_, inFinishJob_);
  return violations_ == 0;
}

int CrashSoak::Run() {
  if (!Setup()) return 2;
  const std::uint64_t endMs = soak::NowMs() + static_cast<std::uint64_t>(options_.maxSeconds) * 1000;
  for (int i = 0; i < 3; ++i) AppendJob(NewJob());

  while (survived_ < options_.kills && soak::NowMs() < endMs && violations_ == 0) {
    // Before the start: the driver may have queued something new.
    if (live_.empty()) {
      const int n = std::uniform_int_distribution<int>(1, 3)(random_);
      for (int i = 0; i < n; ++i) AppendJob(NewJob());
    } else if (random_() % 4 == 0) {
      AppendJob(NewJob());
    }
    std::string marker, error;
    if (!soak::CheckRegistryFile(marker, error)) Violation("I3: " + error);
    const bool recovery = marker == "Processing";
    if (recovery) NoteRecoveringStart();

    const KillMode mode = static_cast<KillMode>(random_() % kModeCount);
    unsigned param = 0;
    switch (mode) {
      case kStartup: param = random_() % 250; break;
      case kMidJob: param = 1 + random_() % 20000; break;
      case kRandomDelay: param = random_() % 2500; break;
      default: break;
    }
    const std::size_t startOutput = OutputSize();
    const std::string startQueue = ReadQueue();
    // Half the runs get a job appended while they print.
    const std::uint64_t appendAfter = random_() % 2 ? random_() % 1500 : ~0ull;

    kt::ChildProcess spooler;
    if (!StartSpooler(spooler, recovery)) return 2;
    const std::uint64_t started = soak::NowMs();
    bool appended = false;
    bool killed = false;
    while (spooler.Running()) {
      if (!ServeBoxes(spooler)) break;
      if (!appended && soak::NowMs() - started >= appendAfter) {
        appended = true;
        AppendJob(NewJob());
      }
      // An idle spooler (a "VORNA Cantella" run waits for more work) is
      // killed at once: nothing more happens there.
      const bool idle = soak::NowMs() - started > 400 && ReadQueue().empty();
      if (KillConditionMet(mode, started, startOutput, startQueue, param) || idle ||
          soak::NowMs() - started > 6000) {
        spooler.Kill();
        killed = true;
        break;
      }
      soak::SleepMs(1);
    }
    if (killed) {
      ++survived_;
      ++modeCount_[mode];
      CheckAfterKill(kModeNames[mode]);
    } else {
      const int code = spooler.Wait(std::chrono::seconds(10));
      ServeBoxes(spooler);
      if (code != 0) Violation("the spooler ended with code " + std::to_string(code));
      std::vector<int> queued;
      CheckQueue(queued);
      std::string m;
      if (!soak::CheckRegistryFile(m, error)) Violation("I3: " + error);
    }
  }
  FinalRun();
  // The prefix a reprint adds is counted in the summary; stop the printer.
  const bool ok = Account();
  printer_.Signal(SIGTERM);
  printer_.Wait(std::chrono::seconds(5));
  std::printf("crash soak: %d kills survived, %s\n", survived_,
              ok && survived_ >= options_.kills ? "all invariants held" : "FAILED");
  if (ok && !options_.keep) soak::RemoveTree(home_);
  else std::printf("state kept in %s\n", home_.c_str());
  return ok && survived_ >= options_.kills ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.seed = static_cast<unsigned>(soak::NowMs());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : "0"; };
    if (a == "--kills") options.kills = std::atoi(next());
    else if (a == "--seed") options.seed = static_cast<unsigned>(std::strtoul(next(), nullptr, 10));
    else if (a == "--rate") options.rate = static_cast<unsigned>(std::atoi(next()));
    else if (a == "--max-seconds") options.maxSeconds = std::atoi(next());
    else if (a == "--keep") options.keep = true;
    else {
      std::fprintf(stderr,
                   "usage: crash_soak [--kills N] [--seed S] [--rate B/s] "
                   "[--max-seconds T] [--keep]\n");
      return 2;
    }
  }
  std::printf("crash soak: seed %u, %d kills, printer at %u bytes/s\n", options.seed,
              options.kills, options.rate);
  std::fflush(stdout);
  CrashSoak soakRun(options);
  return soakRun.Run();
}
