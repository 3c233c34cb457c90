// The application shell's logic: document start and close, File/Open, the
// main frame's publication, scheduler tick, quit question and driver
// message. The front end supplies the timer and the window placement.
// Main thread only; the shared state is touched under g_csSpooler except
// where only the main thread can be running (before the first print thread,
// and File/Open, which is enabled only while nothing prints in manual mode).
#include "app/shell/shell.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "app/shell/close_controller.h"
#include "app/shell/spooler_status.h"
#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/port_channel.h"
#include "engine/print_thread.h"
#include "engine/printer_commands.h"
#include "engine/printer_status.h"
#include "platform/clock.h"
#include "platform/command_channel.h"
#include "platform/file_trust.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/leftovers.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/window_messages.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "res/string_table.h"

namespace {

// A front end that sets no timer and has no window to measure.
class NoFrontEnd final : public ShellFrontEnd {
 public:
  DWORD SetTimer(DWORD) override { return 0; }
  void KillTimer(DWORD) override {}
  bool GetPlacement(WINDOWPLACEMENT&) override { return false; }
};

NoFrontEnd g_noFrontEnd;
ShellFrontEnd* g_frontEnd = &g_noFrontEnd;  // main thread only
bool g_startedWithArguments = false;        // main thread only
// Set once a close has begun; from then on the driver is told that we will
// not print what it queues. Main thread only: the channel's requests are
// served on the same thread, so an answer and a close never overlap.
bool g_closing = false;

constexpr const char* kErrorCaption = kSpoolerErrorCaption;
// The framework's own error box carries the application title.
constexpr const char* kFrameworkCaption = "Tamrel";

// Copies an argument into a fixed field only when it fits whole: a cut
// queue path or port name would address some other file or device.
template <std::size_t N>
bool CopyArgument(char (&field)[N], const char* argument) {
  if (argument == nullptr) return false;
  std::size_t length = std::strlen(argument);
  if (length == 0 || length >= N) return false;
  std::memcpy(field, argument, length + 1);
  return true;
}

// The files that decide what we print and where we write must be ours
// alone (see platform/file_trust.h). Says what is wrong and how to mend it.
bool RefuseUntrustedFile(const std::string& path, const char* what) {
  plat::TrustProblem problem;
  if (plat::CheckFileTrust(path, &problem)) return false;
  std::string text = std::string("Kelvane will not use the ") + what + " " + path + ": ";
  if (problem.path != path) text += "the folder " + problem.path + " ";
  text += problem.reason +
          ".\r\nWhoever can change it could make the spooler print, delete or "
          "overwrite files with the spooler's rights.\r\nTo mend it: " + problem.fix;
  plat::MessageBox(g_hMainWnd, text, kErrorCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  plat::SetForegroundWindow(g_hMainWnd);
  return true;
}

// Only a queue is taken as the queue file: a path typed wrong, or a link
// to some other file, must not be read as jobs and emptied by a purge.
bool RefuseForeignQueueFile(const std::string& path) {
  DWORD error = 0;
  std::string why;
  switch (InspectQueueFile(path.c_str(), &error)) {
    case QueueFileKind::Queue:
    case QueueFileKind::Missing:  // the driver makes it with its first job
    case QueueFileKind::Busy:     // the driver holds it; the queue's own retries wait
      return false;
    case QueueFileKind::NotAFile:
      why = "it is a folder, a pipe or a device, not a file";
      break;
    case QueueFileKind::NotAQueue:
      why = "it does not begin with a print job (a job name, a port, a number of copies "
            "and the full paths of the job's files), so it is not a print queue";
      break;
    case QueueFileKind::Unreadable:
      why = "it cannot be read (error " + std::to_string(error) + ")";
      break;
  }
  const std::string text = "Kelvane will not use " + path + " as its queue file: " + why +
                           ".\r\nNothing in it was changed.";
  plat::MessageBox(g_hMainWnd, text, kErrorCaption, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
  plat::SetForegroundWindow(g_hMainWnd);
  return true;
}

// The settings name the port every job goes to and the devices behind it.
bool RefuseUntrustedSettings() {
  return RefuseUntrustedFile(plat::RegistryPath(), "settings file") ||
         RefuseUntrustedFile(plat::ProfilePath(), "profile");
}

// Only the first instance starts a document, so no other spooler is at work:
// what a killed one left behind can go.
void RemoveLeftoversOfEarlierRuns(const std::string& queueFile) {
  plat::RemoveLeftovers(queueFile, std::time(nullptr),
                        plat::SpoolerSocketPath(g_hMainWnd));
}

// The idle poll: report whatever the printer has said while nothing prints.
// Called with the lock held (the tick holds it throughout).
void PollIdlePrinter() {
  if (g_szPortName[0] == '\0') return;  // no job has named a port yet
  HANDLE port = INVALID_HANDLE_VALUE;
  if (!OpenPrinterPort(port)) return;
  std::int16_t count = 0;
  QueryPrinterStatus(port, count);
  plat::CloseHandle(port);
}

}  // namespace

void SetShellFrontEnd(ShellFrontEnd* frontEnd) {
  g_frontEnd = frontEnd ? frontEnd : &g_noFrontEnd;
}

void ResetShell() {
  g_startedWithArguments = false;
  g_closing = false;
  ResetCloseController();
  g_frontEnd = &g_noFrontEnd;
}

FrameGeometry PrepareFrameGeometry() {
  FrameGeometry geometry;
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  DWORD size = sizeof placement;
  if (ReadRegBinary("Window Placement", &placement, &size) &&
      size == sizeof placement) {
    geometry.x = placement.rcNormalLeft;
    geometry.y = placement.rcNormalTop;
    geometry.width = placement.rcNormalRight - placement.rcNormalLeft;
    geometry.height = placement.rcNormalBottom - placement.rcNormalTop;
  }
  return geometry;
}

bool PublishMainWindow(HWND mainWindow) {
  // No print thread exists yet, but the desktop's stop-signal thread may
  // already read the handle (under the lock) when a signal comes.
  {
    SpoolerLock lock;
    g_hMainWnd = mainWindow;
  }
  return plat::WriteProfileString(kHandshakeSection, kHandshakeKey,
                                  std::to_string(static_cast<long long>(mainWindow)));
}

bool DocumentStart(int argc, const char* const* argv) {
  // The timer comes first: a failing start has set it too, and the close
  // that follows the failure kills it.
  DWORD timerId = g_frontEnd->SetTimer(kSchedulerIntervalMs);
  g_nTimerId = timerId;
  g_bJobDone = 0;
  g_startedWithArguments = argc > 1;
  g_closing = false;
  ResetCloseController();

  if (argc <= 1) {
    g_strFileName = "none";
    if (RefuseUntrustedSettings()) return false;
    RemoveLeftoversOfEarlierRuns("");
    return true;
  }
  const std::string flag = argv[1] ? argv[1] : "";
  const char* argument = argc > 2 ? argv[2] : nullptr;

  if (flag == "-f") {
    char queueFile[kQueuePathSize] = {};
    if (!CopyArgument(queueFile, argument)) return false;
    if (RefuseUntrustedFile(queueFile, "queue file") || RefuseForeignQueueFile(queueFile) ||
        RefuseUntrustedSettings())
      return false;
    RemoveLeftoversOfEarlierRuns(queueFile);
    g_jobRowState[0] = kRowPrinting;
    g_bQueueMode = 1;
    std::memcpy(g_szQueueFile, queueFile, sizeof queueFile);
    RecoverQueueFile();
    // A thread that cannot be created now is retried by the next tick.
    StartPrintThread(ThreadPriority::Highest);
    return true;
  }
  if (flag == "-i") {
    char portName[kPortNameSize] = {};
    if (!CopyArgument(portName, argument)) return false;
    if (RefuseUntrustedSettings()) return false;
    RemoveLeftoversOfEarlierRuns("");
    std::memcpy(g_szPortName, portName, sizeof portName);
    UpdateInkLevels();
    return true;
  }
  return false;
}

std::string CommandLineProblem(int argc, const char* const* argv) {
  if (argc <= 1) return "";
  const std::string flag = argv[1] ? argv[1] : "";
  if (flag != "-f" && flag != "-i") return "unknown argument: " + flag;
  const bool queue = flag == "-f";
  const char* what = queue ? "the queue file's path" : "a port name";
  if (argc < 3 || argv[2] == nullptr || argv[2][0] == '\0') return flag + " needs " + what;
  const std::size_t limit = (queue ? kQueuePathSize : kPortNameSize) - 1;
  if (std::strlen(argv[2]) > limit) {
    return std::string(queue ? "the queue file's path" : "the port name") + " is longer than " +
           std::to_string(limit) + " characters";
  }
  if (argc > 3) return std::string("unexpected argument: ") + (argv[3] ? argv[3] : "");
  return "";
}

bool StartedWithArguments() { return g_startedWithArguments; }

bool FileOpen(const std::string& path) {
  // What the framework's default open does: the file must open for reading.
  HANDLE file = plat::OpenFile(path, plat::Access::Read, plat::ShareMode::ReadWrite,
                               plat::Disposition::OpenExisting);
  if (file == INVALID_HANDLE_VALUE || path.size() >= kSpoolPathSize) {
    if (file != INVALID_HANDLE_VALUE) plat::CloseHandle(file);
    // A path that does not fit entry 0 of the spool files would print some
    // other file; it is refused like one that cannot be opened.
    plat::MessageBox(g_hMainWnd, "Failed to open document.", kFrameworkCaption,
                     MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
    return false;
  }
  plat::CloseHandle(file);

  std::int32_t size = QueryFileSize(path.c_str());
  if (size <= 0) {
    // An empty file, or one that vanished since: nothing to print.
    plat::MessageBox(g_hMainWnd, "Error accessing file.", kErrorCaption,
                     MB_OK | MB_SETFOREGROUND);
    plat::SetForegroundWindow(g_hMainWnd);
    return false;
  }

  HWND jobPage;
  {
    // File/Open runs only while nothing prints, but the lock costs nothing
    // here and keeps the writes ordered for a thread started later.
    SpoolerLock lock;
    g_nFileSize = size;
    g_strFileName = path;
    CopyField(g_szSpoolFiles[0], path.c_str());
    g_nCopies = 1;
    g_nFileCount = 1;
    g_nBytesSent = 0;
    g_nCopy = 1;
    g_bAbortJob = 0;
    g_bJobDone = 0;
    g_bFileLoaded = 1;
    jobPage = g_hJobPageWnd;
  }
  plat::PostMessage(jobPage, WM_TIMER, 0, 0);
  return true;
}

bool IsFileOpenEnabled() {
  SpoolerLock lock;
  return g_bPrinting == 0 && g_bQueueMode == 0 && !IsPrintRunAlive();
}

namespace {

// What the close and the stop share: the placement is stored, the timer
// killed and the run told that the program ends (before the wait, so it
// neither finishes the job as if cancelled nor takes the next one).
void StartShutdown(QueueAtShutdown queue) {
  g_closing = true;  // from now on the driver is told we will print nothing
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (g_frontEnd->GetPlacement(placement)) {
    placement.length = sizeof placement;
    // Never restore a minimized or maximized window from the stored record.
    placement.showCmd = SW_SHOWNORMAL;
    WriteRegBinary("Window Placement", &placement, sizeof placement);
  }

  g_frontEnd->KillTimer(g_nTimerId);

  RequestPrintShutdown(queue);
  {
    SpoolerLock lock;
    g_bAbortJob = 1;
  }
}

// Tidies a run that is still open once no print thread can touch it: the
// job is ended, and in queue mode the queue is purged or, with the queue
// kept, the run closed without removing anything.
void TidyOpenRun(QueueAtShutdown queue) {
  BOOL runOpen;
  BOOL queueMode;
  {
    SpoolerLock lock;
    runOpen = g_bQueuePurged == 0;
    queueMode = g_bQueueMode;
  }
  if (!runOpen) return;
  EndJobCleanup();
  if (!queueMode) return;
  if (queue == QueueAtShutdown::Purge) {
    JobRecord scratch;
    PurgeQueue(scratch);
  } else {
    // The marker says "Purged", so the next start's recovery deletes none
    // of the records, and prints them all, the interrupted job again from
    // its first byte.
    CloseQueueRun();
  }
}

}  // namespace

void DocumentClose() {
  StartShutdown(QueueAtShutdown::Purge);
  // Give a running print thread the time to reach its next block, see the
  // stop request and clean up after itself; with no run alive there is
  // nothing to wait for.
  WaitForPrintRun(kCloseWaitMs);
  TidyOpenRun(QueueAtShutdown::Purge);
  // The thread must not outlive the objects it uses.
  ShutdownPrintThread();
}

void StopKeepingQueue() {
  StartShutdown(QueueAtShutdown::Keep);
  // No 2000 ms bound: tidying up under a run that is still alive would close
  // its port while it writes. The run ends within one block, or one write
  // time-out while the port is stalled; a prompt it waits for is answered by
  // the front end.
  ShutdownPrintThread();
  TidyOpenRun(QueueAtShutdown::Keep);
}

void SchedulerTick() {
  // A box shown by the tick (the idle poll's printer message, a queue error
  // of TakeNextJob) runs a message loop in which the next WM_TIMER arrives:
  // a tick inside the tick would stack another box every 5 seconds or start
  // a print thread under the first tick's feet. Main thread only.
  static bool inTick = false;
  if (inTick) return;
  inTick = true;
  struct TickEnd {
    ~TickEnd() { inTick = false; }
  } tickEnd;

  SpoolerLock lock;
  // A started thread counts as busy until it ends, also before it has
  // opened the port: a second run would print the same head job twice.
  if (g_bPrinting || IsPrintRunAlive()) {
    plat::PostMessage(g_hJobPageWnd, WM_TIMER, 0, 0);
    return;
  }
  if (!g_bQueueMode) return;

  if (TakeNextJob(g_curJob)) {
    if (StartPrintThread(ThreadPriority::Normal)) g_dwIdleSince = 0;
    return;
  }

  const DWORD now = plat::GetTickCount();
  if (g_dwIdleSince == 0) {
    g_dwIdleSince = now;
  } else if (now - g_dwIdleSince > kIdleCloseMs) {
    // Not reset: every later tick asks again until the window closes.
    plat::PostMessage(g_hMainWnd, WM_CLOSE, plat::kCloseRunEnded, 0);
  }
  PollIdlePrinter();
}

bool ConfirmQuit() {
  HWND mainWindow;
  BOOL printing;
  {
    SpoolerLock lock;
    mainWindow = g_hMainWnd;
    printing = g_bPrinting;
  }
  if (!printing) return true;
  return AskFaultQuestion(mainWindow, QuitQuestion()) == IDOK;
}

LRESULT HandleSpoolerCommand(WPARAM command) {
  // A run that has started but not yet opened the port (taking its job,
  // asking a Tovrel printer for its ink) owns the port already: a command
  // that opened it now would make the run's own open fail. Only this thread
  // starts runs, so none can begin between the test and the command.
  if (IsPrintRunAlive()) return 0;
  return OnSpoolerCommand(command);
}

void BeginClose() { g_closing = true; }

void CancelClose() { g_closing = false; }

bool IsClosing() { return g_closing; }

bool BeginSelfClose() {
  g_closing = true;
  std::string queueFile;
  {
    SpoolerLock lock;
    if (!g_bQueueMode) return true;
    queueFile = g_szQueueFile;
  }
  // The last look. Every "yes" we gave the driver came before the mark
  // above (same thread), so its record is in the file by now.
  if (QueryFileSize(queueFile.c_str()) <= 0) return true;
  g_closing = false;
  SpoolerLock lock;
  // A run that is still on its way out: the next tick starts the new one.
  if (g_bPrinting || IsPrintRunAlive()) return false;
  if (TakeNextJob(g_curJob)) {
    if (StartPrintThread(ThreadPriority::Normal)) g_dwIdleSince = 0;
    return false;
  }
  // The file held nothing to take after all.
  g_closing = true;
  return true;
}

LRESULT AnswerWillPrintQueue(WPARAM queueKey) {
  std::string queueFile;
  {
    SpoolerLock lock;
    if (!g_bQueueMode) return plat::kWillPrintNoQueue;
    queueFile = g_szQueueFile;
  }
  if (g_closing) return plat::kWillPrintClosing;
  if (plat::QueueFileKey(queueFile) != static_cast<std::uint64_t>(queueKey)) {
    return plat::kWillPrintOtherQueue;
  }
  return plat::kWillPrintYes;
}

LRESULT DispatchChannelRequest(UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_SPOOLER_COMMAND) return HandleSpoolerCommand(wParam);
  if (message == plat::kWillPrintQueueRequest) return AnswerWillPrintQueue(wParam);
  if (message == plat::kStatusRequest) return AnswerStatusRequest(wParam);
  if (message == plat::kBringToFrontRequest) {
    plat::SetForegroundWindow(g_hMainWnd);
    return 1;
  }
  return 0;
}
