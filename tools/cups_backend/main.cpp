// kelvane: the CUPS backend. The print service runs it
//   without arguments: it lists the ports of the [ports] section, one
//     "direct kelvane:/PORT ..." line each, for lpinfo and the dialogs;
//   with job-id user title copies options [file] and DEVICE_URI
//     kelvane:/PORT[?printer=MODEL&ribbon=TYPE]: it spools the job (the
//     file, or standard input), writes its record to a queue file of its
//     own and runs kelvane-headless on it, relaying the spooler's reports
//     on standard error.
// The shared home is KELVANE_HOME, else /var/lib/kelvane: its win.ini maps
// the ports. Each port has a home of its own under its ports/ folder, with
// that map copied in, where a spooler of its own prints: a printer out of
// paper holds up the queues of that port only. Backends of several queues
// on one port take turns on a lock in the port home's run/ folder, so only
// one spooler runs there at a time and its queue file holds one job.
// SIGTERM (the job was cancelled) stops the spooler within one block, then
// the job's record and spool file are removed and nothing more is said.
// Filters' side channel requests (fd 4) are answered throughout.
// Backend process: the main thread, the side channel's thread
// (side_channel_server.h) and the spooler child.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/home.h"
#include "platform/lock_file.h"
#include "platform/output_file.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "queue/job_record_text.h"
#include "queue/queue_file.h"
#include "queue/spooler_home.h"
#include "tools/cups_backend/backend_ops.h"
#include "tools/cups_backend/side_channel_server.h"

namespace {

using namespace cupsbackend;

constexpr const char* kSystemHome = "/var/lib/kelvane";
constexpr const char* kDefaultFaultPolicy = "retry=30";
constexpr int kPollMs = 500;
constexpr int kForeignSpoolerPollMs = 1000;

volatile sig_atomic_t g_cancelled = 0;
int g_wakePipe[2] = {-1, -1};  // written by the signal handler, polled by the loop

void OnCancel(int) {
  const int saved = errno;
  g_cancelled = 1;
  if (g_wakePipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_wakePipe[1], &byte, 1);
  }
  errno = saved;
}

// No SA_RESTART: a wait for the lock ends with EINTR when the job is
// cancelled.
void InstallCancelHandler() {
  if (::pipe2(g_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wakePipe[0] = g_wakePipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnCancel;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

// Everything we say goes to the print service, one line at a time. After a
// cancel we say nothing more.
void Report(const std::string& line) {
  if (g_cancelled) return;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

void ReportAll(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Report(line);
}

// The reasons we set go again however the job ended, a cancel included:
// left standing, the queue would show "media-empty" (and IPP clients with
// it) through every later job.
void ClearReasons(StatusRelay& relay) {
  for (const std::string& line : relay.ClearAll()) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

// Whether the job was cancelled, for the waits that ask.
bool IsCancelled() { return g_cancelled != 0; }

// Sleeps up to `ms`, waking at once on a cancel.
void PauseUnlessCancelled(int ms) {
  if (g_cancelled) return;
  struct pollfd wake {g_wakePipe[0], POLLIN, 0};
  ::poll(&wake, g_wakePipe[0] >= 0 ? 1 : 0, ms);
}

bool IsExecutable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = '\0';
  return plat::DirectoryOf(buffer);
}

// KELVANE_HEADLESS first (a test's build tree), then beside us, then where
// the package and a hand install put it. The print service's PATH is its
// own, so we do not rely on it.
std::string FindSpooler() {
  const char* chosen = std::getenv("KELVANE_HEADLESS");
  if (chosen && *chosen) return chosen;
  const std::string dir = ProgramDirectory();
  for (const std::string& candidate :
       {dir + "/kelvane-headless", dir + "/../../app/headless/kelvane-headless",
        std::string("/usr/bin/kelvane-headless"),
        std::string("/usr/local/bin/kelvane-headless")}) {
    if (IsExecutable(candidate)) return candidate;
  }
  return "";
}

std::string FaultPolicy() {
  const char* chosen = std::getenv("KELVANE_ON_FAULT");
  return chosen && *chosen ? chosen : kDefaultFaultPolicy;
}

std::string QueueFilePath() { return plat::KelvaneHome() + "/cups-queue.txt"; }

// Removes the record in our queue file and the spool files it names: a job
// that was cancelled, abandoned, or left by a backend that was killed. The
// print service owns the job now; we must never print it on our own later.
void DropQueuedJob() {
  const std::string queue = QueueFilePath();
  std::string image;
  if (plat::ReadWholeFile(queue, image)) {
    const std::string spoolPrefix = SpoolDirectory() + "/KLV~";
    std::size_t at = 0;
    while (at < image.size()) {
      std::size_t end = image.find('\n', at);
      if (end == std::string::npos) end = image.size();
      std::string line = image.substr(at, end - at);
      at = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // Only files we made: a record is text anyone with our rights wrote.
      if (line.rfind(spoolPrefix, 0) == 0 && line.find("/..") == std::string::npos)
        ::unlink(line.c_str());
    }
  }
  const int fd = ::open(queue.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) ::close(fd);
}

// No record left: no file, an empty one, or one with nothing but the empty
// lines that a removal in place leaves where the record was.
bool QueueIsEmpty() {
  const std::string queue = QueueFilePath();
  struct stat st {};
  if (::stat(queue.c_str(), &st) != 0 || st.st_size == 0) return true;
  std::string image;
  if (!plat::ReadWholeFile(queue, image)) return false;
  return FindHeadRecordStart(reinterpret_cast<const unsigned char*>(image.data()),
                             image.size()) == image.size();
}

// Copies the job's data (the file, or standard input) into a new spool file.
bool SpoolJobData(int input, std::string& spoolPath, std::string& error) {
  plat::OutputFile spool;
  if (!spool.CreateUnique(SpoolDirectory() + "/KLV~XXXXXX", spoolPath)) {
    error = "cannot create a spool file in " + SpoolDirectory() + ": " + std::strerror(errno);
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    if (g_cancelled) {
      ok = false;
      break;
    }
    const ssize_t got = ::read(input, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = std::string("cannot read the job's data: ") + std::strerror(errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    if (!spool.WriteAll(buffer, static_cast<std::size_t>(got))) {
      error = "cannot write the spool file " + spoolPath + ": " + std::strerror(errno);
      ok = false;
      break;
    }
  }
  if (ok && !spool.Sync()) {
    error = "cannot write the spool file " + spoolPath;
    ok = false;
  }
  spool.Close();
  if (!ok) ::unlink(spoolPath.c_str());
  return ok;
}

// The first bytes of a file, enough to tell a document's kind by.
std::string FirstBytes(const std::string& path) {
  std::string head(16, '\0');
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  const ssize_t got = ::read(fd, head.data(), head.size());
  ::close(fd);
  head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return head;
}

bool WriteQueueFile(const std::string& record, std::string& error) {
  const std::string queue = QueueFilePath();
  plat::OutputFile file;
  bool ok = file.OpenEmptied(queue) && file.WriteAll(record.data(), record.size());
  if (file.IsOpen() && !file.Close()) ok = false;
  if (!ok) error = "cannot write the queue file " + queue + ": " + std::strerror(errno);
  return ok;
}

// One read of the profile: the spooler writes it under a lock we would
// otherwise take five times on every look.
PublishedInk ReadPublishedInk() {
  return InkFromSection(plat::GetProfileSection(plat::kHandshakeSection));
}

std::string Describe(const PublishedInk& ink) {
  return ink.inkType + "," + ink.black + "," + ink.cyan + "," + ink.magenta + "," + ink.yellow;
}

// From here on KELVANE_HOME is the port's own home, for us and for the
// spooler we start: its settings, queue file, spool folder and run/ folder,
// and the shared home's [ports] map, brought up to date for each job.
bool EnterPortHome(const std::string& port, std::string& error) {
  const IniSection sharedPorts = plat::GetProfileSection("ports");
  const std::string home = plat::KelvaneHome() + "/ports/" + PortHomeName(port);
  if (!plat::MakeDirectories(home, 0700)) {
    error = "cannot create " + home + ": " + std::strerror(errno);
    return false;
  }
  ::setenv("KELVANE_HOME", home.c_str(), 1);
  if (!InstallSpoolerHome(error)) return false;
  const PortsUpdate update = UpdateOfPorts(sharedPorts, plat::GetProfileSection("ports"));
  bool ok = true;
  for (const auto& [key, value] : update.write)
    ok = ok && plat::WriteProfileString("ports", key, value);
  for (const std::string& key : update.remove) ok = ok && plat::DeleteProfileString("ports", key);
  if (!ok) error = "cannot write " + plat::ProfilePath();
  return ok;
}

int ListPorts() {
  const std::vector<std::string> lines = FormatPortListing(
      plat::GetProfileSection("ports"), plat::GetProfileSection("devices"));
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  return kBackendOk;
}

struct SpoolerRun {
  bool started = false;
  int status = 0;  // waitpid status
};

// Runs the spooler on our queue file until it ends, relaying what it says.
// On a cancel: SIGTERM to it, then we wait for it without a word.
SpoolerRun RunSpooler(const std::string& program, const RecordFields& job,
                      const std::string& spoolPath, SideChannelServer& sideChannel) {
  SpoolerRun run;
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return run;
  const std::string policy = "--on-fault=" + FaultPolicy();
  const std::string queue = QueueFilePath();
  const pid_t parent = ::getpid();
  // A cancel that comes between the fork and the child's own handlers
  // would reach our handler in the child, which only notes it there: the
  // spooler would start and print the whole job. So the signals wait,
  // blocked, until the child has its default actions back (then a pending
  // one ends it before it runs anything) and until the parent can pass one
  // on; and once they are blocked, a cancel that came before is seen here.
  sigset_t cancelSignals, previous;
  sigemptyset(&cancelSignals);
  sigaddset(&cancelSignals, SIGTERM);
  sigaddset(&cancelSignals, SIGINT);
  ::sigprocmask(SIG_BLOCK, &cancelSignals, &previous);
  if (g_cancelled) {
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    ::close(output[0]);
    ::close(output[1]);
    return run;
  }
  const pid_t child = ::fork();
  if (child != 0) ::sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) {
    ::close(output[0]);
    ::close(output[1]);
    return run;
  }
  if (child == 0) {
    // A backend killed outright (the print service gives up on a cancel
    // that takes too long) must not leave its spooler printing the job.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    // Nobody answers its boxes: standard input is /dev/null, so the fault
    // policy does. The job's data was read already.
    const int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    ::dup2(output[1], 1);
    ::dup2(output[1], 2);
    // The print service's side and back channels are not the spooler's.
    for (int fd = 3; fd < 10; ++fd) ::close(fd);
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGPIPE, &action, nullptr);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    const char* args[] = {program.c_str(), policy.c_str(), "-f", queue.c_str(), nullptr};
    ::execv(program.c_str(), const_cast<char* const*>(args));
    ::_exit(127);
  }
  run.started = true;
  ::close(output[1]);

  StatusRelay relay;
  ReportAll(relay.Connecting(job.port));
  sideChannel.SetPrinterState(relay.Reasons(), true);
  bool begun = false;
  bool stopAsked = false;
  // The supplies: the levels this port's spooler last published (by an
  // earlier job, or a query someone asked for), at once, so that each job
  // refreshes them; then each new reading while it prints (the spooler
  // reads them before a Tovrel job).
  const bool inkJob = job.printer == "Tovrel";
  const MarkerKind markers = inkJob ? MarkerKind::Ink : MarkerKind::Ribbon;
  const PublishedInk inkAtStart = ReadPublishedInk();
  const std::string inkBefore = Describe(inkAtStart);
  std::string lastInk = inkBefore;
  const std::string attributesBefore = FormatMarkerAttributes(inkAtStart, markers);
  if (!attributesBefore.empty()) Report(attributesBefore);
  std::string pending;
  bool open = true;
  bool signalled = false;
  while (open) {
    if (g_cancelled && !signalled) {
      ::kill(child, SIGTERM);
      signalled = true;
    }
    struct pollfd fds[2] = {{output[0], POLLIN, 0}, {g_wakePipe[0], POLLIN, 0}};
    const int ready = ::poll(fds, g_wakePipe[0] >= 0 ? 2 : 1, kPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[16];
      while (::read(g_wakePipe[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[4096];
      const ssize_t got = ::read(output[0], buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        open = false;
      } else {
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
          ReportAll(relay.TakeLine(pending.substr(0, end)));
          pending.erase(0, end + 1);
        }
        sideChannel.SetPrinterState(relay.Reasons(), true);
      }
    }
    // The print thread notes the job once the port has taken its first
    // block: from then on the printer is reached and the job prints.
    if (!begun && !g_cancelled && IsNotedAsBegun(spoolPath)) {
      begun = true;
      ReportAll(relay.Printing());
      sideChannel.SetPrinterState(relay.Reasons(), true);
    }
    if (!g_cancelled) {
      const PublishedInk ink = ReadPublishedInk();
      const std::string now = Describe(ink);
      if (now != lastInk) {
        lastInk = now;
        const std::string attributes = FormatMarkerAttributes(ink, markers);
        if (!attributes.empty()) Report(attributes);
      }
    }
    // Our job's record is gone once it printed (or was set aside, which
    // the spooler's exit code still says). A "VORNA Cantella" spooler then
    // stays for ten idle minutes, for more jobs that only
    // ever come through another backend: it would hold the print
    // service's job open that long, and the port's next job behind it.
    if (!stopAsked && !g_cancelled && job.printer == "VORNA Cantella" && QueueIsEmpty()) {
      ::kill(child, SIGTERM);
      stopAsked = true;
    }
  }
  if (!pending.empty()) ReportAll(relay.TakeLine(pending));
  ::close(output[0]);
  while (::waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
    if (g_cancelled && !signalled) {
      ::kill(child, SIGTERM);
      signalled = true;
    }
  }
  ClearReasons(relay);
  sideChannel.SetPrinterState({}, false);
  // The levels read for this job, even when they equal the last ones.
  if (inkJob && lastInk == inkBefore) {
    const std::string attributes = FormatMarkerAttributes(ReadPublishedInk(), markers);
    if (!attributes.empty()) Report(attributes);
  }
  return run;
}

int PrintJob(int argc, char** argv) {
  // Our turn on the port: held until the process ends, after everything
  // below, the side channel's server included, has closed.
  plat::LockFile turn;
  // Answered from here on, through every wait below; a job that returns
  // without saying it printed fails the drains that wait.
  SideChannelServer sideChannel;
  const char* uriText = std::getenv("DEVICE_URI");
  const std::string uri = uriText && *uriText ? uriText : argv[0];
  DeviceUri device;
  std::string error;
  if (!ParseDeviceUri(uri, device, error)) {
    Report("ERROR: " + error);
    return kBackendStop;
  }
  // The queue's model and ribbon are defaults a job may override.
  if (!ApplyJobOptions(argv[5], device, error)) {
    Report("ERROR: " + error);
    return kBackendCancel;
  }
  const bool haveFile = argc == 7;
  int input = 0;
  if (haveFile) {
    input = ::open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      Report(std::string("ERROR: cannot open the job's file: ") + std::strerror(errno));
      return kBackendFailed;
    }
  }

  // The homes and their settings: created on the first job, kept
  // afterwards.
  if (!InstallSpoolerHome(error)) {
    Report("ERROR: " + error);
    return kBackendStop;
  }
  if (!EnterPortHome(device.port, error)) {
    Report("ERROR: " + error);
    return kBackendStop;
  }
  const std::string lockPath = plat::RunDirectory() + "/cups-backend.lock";
  if (!turn.Open(lockPath)) {
    Report("ERROR: cannot open " + lockPath + ": " + std::strerror(errno));
    return kBackendStop;
  }
  if (!turn.TryTake()) {
    Report("INFO: Waiting for the job before it on " + SanitizeForReport(device.port) +
           " to end");
    // A cancel cuts the wait short; so does a wait the system refuses.
    if (turn.WaitToTake(IsCancelled) != plat::LockFile::Wait::Taken) return kBackendOk;
  }
  // A spooler that someone started by hand on this home prints its own
  // queue; ours would only bring it to the front and end.
  bool toldForeign = false;
  while (plat::IsSpoolerRunning() && !g_cancelled) {
    if (!toldForeign) Report("INFO: Waiting for the spooler of " + plat::KelvaneHome() + " to end");
    toldForeign = true;
    PauseUnlessCancelled(kForeignSpoolerPollMs);
  }
  if (g_cancelled) return kBackendOk;

  // Whatever a killed backend left is not ours to print.
  DropQueuedJob();
  std::string spoolPath;
  if (!SpoolJobData(input, spoolPath, error)) {
    if (g_cancelled) return kBackendOk;
    Report("ERROR: " + error);
    return kBackendFailed;
  }
  // Only data for the printer goes to it: a document or a picture would
  // come out as a garbled card, and the job would still read "completed".
  const char* contentType = std::getenv("CONTENT_TYPE");
  const std::string what = NotPrinterReady(contentType ? contentType : "", FirstBytes(spoolPath));
  if (!what.empty()) {
    ::unlink(spoolPath.c_str());
    Report("ERROR: the job is " + what + "; this queue takes only jobs made for the printer "
           "(printed through its driver, or sent raw), so it was not printed");
    return kBackendCancel;
  }
  RecordFields job;
  job.name = SanitizeForReport(argv[3]);
  if (job.name.find_first_not_of(' ') == std::string::npos)
    job.name = std::string("job ") + argv[1];
  job.port = device.port;
  job.printer = device.printer;
  job.ribbon = device.ribbon;
  const std::vector<int> copies = CopiesPerRecord(argv[4], haveFile);
  if (copies.empty()) {
    ::unlink(spoolPath.c_str());
    Report("ERROR: at most " + std::to_string(kMaxCopies) + " copies of a job can be printed");
    return kBackendCancel;
  }
  // A record holds at most 255 copies: more go to records of their own,
  // each naming a link of its own to the job's data, as a finished
  // record's spool files are deleted with it.
  std::vector<std::string> spoolPaths{spoolPath};
  std::string records;
  RecordRefusal refusal;
  bool written = true;
  for (std::size_t i = 0; i < copies.size() && refusal.ok() && written; ++i) {
    if (i > 0) {
      spoolPaths.push_back(spoolPath + "-" + std::to_string(i + 1));
      if (::link(spoolPath.c_str(), spoolPaths.back().c_str()) != 0) {
        error = "cannot link " + spoolPaths.back() + ": " + std::strerror(errno);
        spoolPaths.pop_back();
        written = false;
        break;
      }
    }
    job.copies = copies[i];
    std::string record;
    refusal = FormatRecordText(job, {spoolPaths.back()}, record);
    records += (i > 0 ? "\r\n" : "") + record;
  }
  if (!refusal.ok() || !written || !WriteQueueFile(records, error)) {
    for (const std::string& path : spoolPaths) ::unlink(path.c_str());
    Report("ERROR: " + (refusal.ok() ? error : DescribeRecordRefusal(refusal)));
    return refusal.ok() ? kBackendFailed : kBackendStop;
  }
  long totalCopies = 0;
  for (const int n : copies) totalCopies += n;

  const std::string spooler = FindSpooler();
  if (!IsExecutable(spooler)) {
    DropQueuedJob();
    Report("ERROR: kelvane-headless not found (KELVANE_HEADLESS names it)");
    return kBackendStop;
  }
  Report("DEBUG: " + spooler + " --on-fault=" + FaultPolicy() + " -f " + QueueFilePath() +
         " (" + std::to_string(totalCopies) + " copies to " + job.port + ")");
  const SpoolerRun run = RunSpooler(spooler, job, spoolPath, sideChannel);
  if (g_cancelled) {
    DropQueuedJob();
    return kBackendOk;
  }
  if (!run.started) {
    DropQueuedJob();
    Report("ERROR: cannot start " + spooler);
    return kBackendFailed;
  }
  // The spooler's exit code says how it ended (SpoolerEnd): refused to
  // start, set our job aside, crashed, or closed. A close does not say
  // whether the job printed: kelvane-headless exits 0 after printing its
  // queue and also after keeping it (a fault nobody answered under "keep",
  // a stop from outside), and a code of its own for that would change what
  // it exits with for everyone who runs it. So that one question, printed
  // or still queued, is still answered by the queue file.
  const int code = ExitCodeForSpoolerEnd(QueueIsEmpty(), run.status);
  // The spooler has ended: the printer has every byte it will get.
  sideChannel.EndJob(code == kBackendOk);
  // The job is still queued: the spooler gave it up or never began it. The
  // print service keeps it; our copy must not print later.
  if (code != kBackendOk) DropQueuedJob();
  // The cards the printer took, for the page log, the job's
  // job-media-sheets-completed and page quotas: one card per copy.
  if (code == kBackendOk && totalCopies > 0) Report("PAGE: 1 " + std::to_string(totalCopies));
  switch (code) {
    case kBackendStop:
      Report("ERROR: kelvane-headless refused to start on " + plat::KelvaneHome() +
             " (see the lines before)");
      break;
    case kBackendRetry:
      Report("INFO: the spooler ended without printing the job; it will be tried again");
      break;
    case kBackendFailed:
      Report("ERROR: kelvane-headless ended abnormally");
      break;
    case kBackendCancel:
      Report("ERROR: the job cannot be printed: its spool file is missing or unreadable "
             "(see the lines before)");
      break;
    default:
      break;
  }
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("KELVANE_HOME") || !*std::getenv("KELVANE_HOME"))
    ::setenv("KELVANE_HOME", kSystemHome, 1);
  if (argc == 1) return ListPorts();
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr,
                 "Usage: %s job-id user title copies options [file]\n"
                 "(run by the print service with DEVICE_URI=kelvane:/PORT)\n",
                 argv[0]);
    return kBackendFailed;
  }
  InstallCancelHandler();
  return PrintJob(argc, argv);
}
