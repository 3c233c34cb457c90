// The driver's operations: installation, spooling a job and appending its
// record, starting the spooler, and the messages to the running spooler.
// Driver process, one thread.
#include "tools/driver/driver_ops.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "app/state/job_record.h"
#include "engine/spooler_outcomes.h"
#include "platform/clock.h"
#include "platform/command_channel.h"
#include "platform/command_line.h"
#include "platform/desktop_session.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "platform/spool_guard.h"
#include "queue/job_record_text.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "queue/spooler_home.h"

namespace driver {
namespace {

static_assert(kMaxSpoolFiles + 1 <= plat::kMaxGuardedFiles,
              "the spool guard holds a job's files and the one being written");

// The spooler holds the queue file only while it reads or rewrites it; a
// driver waits that out, up to this long.
constexpr DWORD kQueueOpenRetryMs = 5000;
// The spooler's own exit codes are small; a larger one (a Windows exception
// code) is none of them.
constexpr unsigned long kLargestSpoolerExitCode = 255;

Outcome Fail(std::string text) { return Outcome{false, std::move(text)}; }

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Beside us first (a build tree or an install prefix), then on PATH.
std::string FindProgram(const std::string& name) {
  std::string dir = plat::ProgramDirectory();
  const std::string file = plat::ExecutableName(name);
  for (const std::string& candidate :
       {plat::JoinPath(dir, file), plat::JoinPath(dir, "../../app/headless/" + file),
        plat::JoinPath(dir, "../../app/wx/" + file)}) {
    if (plat::IsExecutable(candidate)) return candidate;
  }
  const char* path = std::getenv("PATH");
  std::string list = path ? path : "";
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(plat::PathListSeparator(), start);
    if (end == std::string::npos) end = list.size();
    std::string candidate = plat::JoinPath(list.substr(start, end - start), file);
    if (end > start && plat::IsExecutable(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

}  // namespace

std::string DefaultQueueFile() { return plat::JoinPath(plat::KelvaneHome(), "queue.txt"); }
std::string SpoolDirectory() { return ::SpoolDirectory(); }

Outcome Install() {
  std::string error;
  return InstallSpoolerHome(error) ? Outcome{} : Fail(error);
}

Outcome FormatRecord(const JobSpec& job, const std::vector<std::string>& spoolFiles,
                     std::string& record) {
  RecordFields fields;
  // Unnamed: the first file's base name.
  fields.name = !job.name.empty()      ? job.name
                : !job.files.empty()   ? BaseName(job.files[0])
                : !spoolFiles.empty()  ? BaseName(spoolFiles[0])
                                       : "";
  fields.port = job.port;
  fields.copies = job.copies;
  fields.printer = job.printer;
  fields.ribbon = job.ribbon;
  fields.oldForm = job.oldForm;
  const RecordRefusal refusal = FormatRecordText(fields, spoolFiles, record);
  return refusal.ok() ? Outcome{} : Fail(DescribeRecordRefusal(refusal));
}

std::string SeparatorBefore(const std::string& existing) {
  // No record at all, or nothing but the empty lines that the spooler's
  // removals in place leave: the record goes right behind them, as every
  // reader skips them.
  if (FindHeadRecordStart(reinterpret_cast<const unsigned char*>(existing.data()),
                          existing.size()) == existing.size())
    return "";
  std::size_t n = existing.size();
  if (n >= 4 && existing.compare(n - 4, 4, "\r\n\r\n") == 0) return "";
  if (n >= 2 && existing.compare(n - 2, 2, "\r\n") == 0) return "\r\n";
  // A tail without its line end: end the line, then the record.
  return "\r\n\r\n";
}

Outcome Submit(const JobSpec& job, std::string* queueFileUsed) {
  const std::string queueFile = job.queueFile.empty() ? DefaultQueueFile() : job.queueFile;
  if (queueFileUsed) *queueFileUsed = queueFile;
  if (queueFile.size() >= static_cast<std::size_t>(kQueuePathSize))
    return Fail("the queue file path is longer than 99 characters: " + queueFile);
  if (job.files.empty()) return Fail("nothing to submit: no files given");
  if (!plat::MakeDirectories(SpoolDirectory(), 0700))
    return Fail("cannot create " + SpoolDirectory());

  // Spool files no record names yet: removed on every way out but the
  // append, also when a signal ends us halfway.
  plat::SpoolGuard guard;
  std::vector<std::string> spoolFiles;
  auto removeSpool = [&guard] { guard.RemoveAll(); };
  for (const std::string& file : job.files) {
    std::string error;
    const std::string spool = guard.CopyIn(file, SpoolDirectory(), error);
    if (spool.empty()) {
      removeSpool();
      return Fail(error);
    }
    spoolFiles.push_back(spool);
  }
  // The record may be read by a spooler right after a crash: the names of
  // the spool files must be on disk before it, not only their data.
  plat::SyncDirectory(SpoolDirectory());
  std::string record;
  Outcome formatted = FormatRecord(job, spoolFiles, record);
  if (!formatted.ok) {
    removeSpool();
    return formatted;
  }

  // No sharing: the spooler may not read a half-appended record, and two
  // drivers may not interleave theirs.
  HANDLE queue = plat::OpenWithRetry(queueFile, plat::Access::ReadWrite, plat::ShareMode::None,
                                     plat::Disposition::OpenAlways, kQueueOpenRetryMs);
  if (queue == INVALID_HANDLE_VALUE) {
    removeSpool();
    return Fail("cannot open the queue file " + queueFile + ": " +
                plat::DescribeError(plat::GetLastError()));
  }
  // Read to the end: we need the tail, and the append starts there.
  std::string existing;
  char buffer[4096];
  DWORD got = 0;
  bool readOk = true;
  while ((readOk = plat::ReadFile(queue, buffer, sizeof buffer, &got)) && got > 0)
    existing.append(buffer, got);
  // Only a queue grows: a file named by mistake keeps every byte.
  if (readOk && !IsQueueImage(reinterpret_cast<const unsigned char*>(existing.data()),
                              existing.size())) {
    plat::CloseHandle(queue);
    removeSpool();
    return Fail(queueFile + " is not a print queue (it does not begin with a job record); "
                "nothing was added to it");
  }
  std::string tail = SeparatorBefore(existing) + record;
  if (!readOk || existing.size() + tail.size() > kMaxQueueFileSize) {
    plat::CloseHandle(queue);
    removeSpool();
    return Fail(readOk ? "the queue file would grow beyond 65535 bytes; try again later"
                       : "cannot read the queue file " + queueFile);
  }
  // From the append on the files are the queue's: a signal that arrives
  // meanwhile waits until they are committed (and then ends us as usual).
  guard.HoldSignals();
  DWORD written = 0;
  bool ok = plat::WriteFile(queue, tail.data(), static_cast<DWORD>(tail.size()), &written) &&
            written == tail.size();
  plat::CloseHandle(queue);
  if (!ok) {
    removeSpool();
    return Fail("cannot append to the queue file " + queueFile);
  }
  guard.Commit();
  return {};
}

namespace {

// The spooler we ask may be in the middle of its close (its document close
// alone waits two seconds) or of its start; either is over well within this.
constexpr DWORD kSpoolerChangeWaitMs = 20000;
constexpr DWORD kQuestionTimeoutMs = 1000;
// Between questions to a spooler that has not said yes: from a short
// pause, doubled each time up to the longest. One we have just started
// answers within a few milliseconds, and a small job may be printed and
// the spooler gone soon after; one closing or busy is asked less often.
constexpr auto kFirstAskAgainPause = std::chrono::milliseconds(1);
constexpr auto kAskAgainPause = std::chrono::milliseconds(100);

// "Will you print `queueKey`?" to the spooler that runs now; 0 when none
// answered (still starting, already gone, or one that does not know the
// question).
LRESULT AskRunningSpooler(std::uint64_t queueKey) {
  const HWND window = plat::FindSpoolerWindow();
  if (window == 0) return 0;
  LRESULT answer = 0;
  if (!plat::SendSpoolerMessage(window, plat::kWillPrintQueueRequest,
                                static_cast<WPARAM>(queueKey), 0, &answer,
                                kQuestionTimeoutMs)) {
    return 0;
  }
  return answer;
}

std::string WhyNotPrinted(LRESULT answer, const std::string& queueFile) {
  switch (answer) {
    case plat::kWillPrintClosing:
      return "the running spooler is closing and has not ended";
    case plat::kWillPrintOtherQueue:
      return "another spooler serves a different queue file than " + queueFile +
             " and has not ended";
    case plat::kWillPrintNoQueue:
      return "another spooler runs without a queue file and has not ended";
    default:
      return "the running spooler does not answer";
  }
}

// A spooler we started, and where what it says goes.
struct LaunchedSpooler {
  plat::StartedProgram program;
  std::string logPath;
  DWORD logStart = 0;  // the log's size before it started: its words follow
};

// The most of a spooler's words we repeat; a refusal takes a few lines.
constexpr std::size_t kMaxWordsShown = 4000;

Outcome LaunchSpooler(const std::string& queueFile, const std::string& spooler,
                      const std::string& faultPolicy, LaunchedSpooler& launched) {
  std::string program = spooler;
  if (program.empty()) {
    // The desktop spooler asks the user about faults: only where someone
    // sees its boxes. A service or a session without a display gets the
    // headless one, which answers them by its policy.
    if (plat::HasInteractiveDesktop()) program = FindProgram("kelvane");
    if (program.empty()) program = FindProgram("kelvane-headless");
  }
  if (!plat::IsExecutable(program)) return Fail("no spooler program found to start");
  // Nobody reads the headless spooler's boxes: it answers by a policy that
  // loses nothing. The desktop spooler has someone to ask.
  std::vector<std::string> args;
  std::string programName = BaseName(program);
  const std::string headlessName = plat::ExecutableName("kelvane-headless");
  if (programName == "kelvane-headless" || programName == headlessName)
    args.push_back("--on-fault=" + faultPolicy);
  args.insert(args.end(), {"-f", queueFile});

  // Standard streams go to a log in the run directory, so the spooler does
  // not hold whoever reads our output and asks no one on a terminal.
  launched.logPath = plat::JoinPath(plat::RunDirectory(), "spooler.log");
  // Which spooler ran, and how, is the first thing a reader of the log
  // asks; a log we cannot write fails the start below all the same.
  plat::AppendLogLine(launched.logPath,
                "kelvane-driver: starting " + plat::JoinCommandLine(program, args));
  // No log yet (-1) is an empty one.
  launched.logStart =
      static_cast<DWORD>(std::max<std::int32_t>(QueryFileSize(launched.logPath.c_str()), 0));
  launched.program = plat::StartDetached(program, args, launched.logPath);
  if (!launched.program.started()) return Fail("cannot start the spooler " + program);
  return {};
}

// The spooler we started ended without taking the queue: how it ended and
// what it wrote to its log meanwhile (a refused start says why there).
std::string WhyItDidNotStart(const plat::ProgramStatus& end, const LaunchedSpooler& launched) {
  std::string text = "the spooler did not start: it ";
  text += end.state == plat::ProgramState::Killed
              ? "was ended by signal " + std::to_string(end.code)
              : "ended with exit code " + std::to_string(end.code);
  std::string log;
  std::string words;
  if (plat::ReadWholeFile(launched.logPath, log)) {
    // A log shorter than before was started afresh: all of it is new.
    words = log.size() >= launched.logStart ? log.substr(launched.logStart) : log;
  }
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' ||
                            words.back() == ' '))
    words.pop_back();
  if (words.empty()) return text + " and wrote nothing to " + launched.logPath;
  if (words.size() > kMaxWordsShown)
    words = "...\n" + words.substr(words.size() - kMaxWordsShown);
  return text + "; it wrote to " + launched.logPath + ":\n" + words;
}

}  // namespace

Outcome StartSpoolerIfIdle(const std::string& queueFile, const std::string& spooler,
                           bool* started, const std::string& faultPolicy) {
  if (started) *started = false;
  const std::uint64_t queueKey = plat::QueueFileKey(queueFile);
  DWORD begin = plat::GetTickCount();
  // The one we started, until it has taken the queue or ended.
  LaunchedSpooler ours;
  auto pause = kFirstAskAgainPause;
  for (;;) {
    if (ours.program.started()) {
      const plat::ProgramStatus end = ours.program.Poll();
      // A normal close: it printed what the queue held and closed before we
      // asked (a small job takes a moment; one it could never print it set
      // aside and said so), or it found another spooler running, which is
      // asked below as any other.
      const bool closedNormally =
          end.state == plat::ProgramState::Exited && end.code <= kLargestSpoolerExitCode &&
          CodesOf(SpoolerEndOfExitCode(static_cast<int>(end.code))).driverTakesAsClosed;
      if (closedNormally) {
        ours = LaunchedSpooler{};
        if (!plat::IsSpoolerRunning()) {
          if (started) *started = true;
          return {};
        }
      } else if (end.state != plat::ProgramState::Running) {
        // A refused start (exit code 2) or a crash: the record waits in the
        // queue file for the next start.
        return Fail(WhyItDidNotStart(end, ours));
      }
    } else if (!plat::IsSpoolerRunning()) {
      // The record is in the file already: one started now reads it.
      Outcome launched = LaunchSpooler(queueFile, spooler, faultPolicy, ours);
      if (!launched.ok) return launched;
      // Ours has the whole wait to take the queue.
      begin = plat::GetTickCount();
      pause = kFirstAskAgainPause;
    }
    // A spooler that says yes looks at the file again before it can close.
    const LRESULT answer = AskRunningSpooler(queueKey);
    if (answer == plat::kWillPrintYes) {
      if (started) *started = ours.program.started();
      return {};
    }
    if (plat::GetTickCount() - begin >= kSpoolerChangeWaitMs) {
      // Ours runs but has not said yes: the desktop spooler may sit in a
      // box that waits for someone. It has the queue file all the same.
      if (ours.program.started()) {
        if (started) *started = true;
        return {};
      }
      return Fail("no spooler will print it: " + WhyNotPrinted(answer, queueFile));
    }
    // Ours still starting, or another one closing, serving another queue
    // file or not answering: we wait for it to end and start our own.
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, kAskAgainPause);
  }
}

bool SendCommand(WPARAM command, DWORD timeoutMs, LRESULT* result) {
  HWND window = plat::FindSpoolerWindow();
  if (window == 0) return false;
  return plat::SendSpoolerMessage(window, WM_SPOOLER_COMMAND, command, 0, result,
                                  timeoutMs);
}

bool QueryStatus(DWORD timeoutMs, SpoolerStatus& status) {
  HWND window = plat::FindSpoolerWindow();
  if (window == 0) return false;
  return ReadSpoolerStatus(
      [&](WPARAM part, LRESULT& answer) {
        return plat::SendSpoolerMessage(window, plat::kStatusRequest, part, 0, &answer,
                                        timeoutMs);
      },
      status);
}

std::string InkReport() {
  std::string report;
  for (const char* key :
       {"InkType", "BlackLevel", "CyanLevel", "MagentaLevel", "YellowLevel"}) {
    std::string value = plat::GetProfileString(plat::kHandshakeSection, key, "");
    if (!value.empty()) report += std::string(key) + "=" + value + "\n";
  }
  return report;
}

}  // namespace driver
