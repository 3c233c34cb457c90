// The application shell, free of any toolkit: start-up and command line,
// File/Open, the document close, the main frame's 5-second scheduler tick,
// the quit confirmation and the driver's printer-command message. Both
// front ends (the desktop program and kelvane-headless) bind their windows,
// timer and message boxes to these functions; nothing here knows a widget.
//
// Time comes from plat::GetTickCount, windows are reached through
// plat::PostMessage / plat::SetForegroundWindow, and boxes through
// plat::MessageBox, so tests drive all of it with fakes.
// Main thread only (the thread that runs the windows).
#pragma once

#include <string>

#include "platform/single_instance.h"
#include "platform/win_types.h"

// What the shell needs from the front end that owns the main window.
class ShellFrontEnd {
 public:
  virtual ~ShellFrontEnd() = default;
  // Sets the scheduler timer on the main window (its WM_TIMER ticks call
  // SchedulerTick). Returns the timer's identifier, 0 when none was set.
  virtual DWORD SetTimer(DWORD intervalMs) = 0;
  virtual void KillTimer(DWORD timerId) = 0;
  // The main window's current placement; false when the front end has no
  // window to ask (then nothing is stored at close).
  virtual bool GetPlacement(WINDOWPLACEMENT& placement) = 0;
};

// Installs the front end the shell talks to; nullptr leaves a front end
// that sets no timer and gives no placement.
void SetShellFrontEnd(ShellFrontEnd* frontEnd);

inline constexpr DWORD kSchedulerIntervalMs = 5000;
inline constexpr DWORD kIdleCloseMs = 600000;   // strictly more closes
inline constexpr DWORD kCloseWaitMs = 2000;

// Window class of the main frame ("CVorn95App") and the profile entry that
// publishes its handle live with the single-instance marker.
using plat::kHandshakeKey;
using plat::kHandshakeSection;
using plat::kMainWindowClass;

// Initial geometry of the main frame: the stored "Window Placement"'s normal
// rectangle, or 30, 2, 570 x 477.
struct FrameGeometry {
  LONG x = 30;
  LONG y = 2;
  LONG width = 570;
  LONG height = 477;
};
FrameGeometry PrepareFrameGeometry();

// Main frame creation: g_hMainWnd becomes `mainWindow` and is published as
// "SpoolerHwnd" in section "Tovrel" (signed decimal). False when the profile
// could not be written (the driver will not find us; the start goes on).
bool PublishMainWindow(HWND mainWindow);

// The document start with the process's argument vector (argv[0] is the
// program). Sets the timer first, then reads the arguments:
//   none           -> manual mode, g_strFileName "none";
//   "-f" PATH      -> queue mode: RecoverQueueFile, first print thread at
//                     the highest priority;
//   "-i" PORT      -> UpdateInkLevels on PORT, then manual mode;
// anything else, a missing or empty second argument, or one longer than its
// 99-character field, fails (false) without a message.
bool DocumentStart(int argc, const char* const* argv);

// What is wrong with a command line that DocumentStart would refuse for its
// arguments alone, in words for a terminal; "" when nothing is.
std::string CommandLineProblem(int argc, const char* const* argv);

// True when the command line the program started with had arguments (then
// File/Open is not the user's and the recent-file list is not in use).
bool StartedWithArguments();

// File/Open of `path` in manual mode. A file that cannot be opened reports
// "Failed to open document."; an empty one "Error accessing file." (caption
// "Kelvane Error."). On success the shared state holds the file as the
// current job and the Current Job page is asked to repaint.
bool FileOpen(const std::string& path);
// Command state of File/Open: enabled while nothing prints in manual mode.
bool IsFileOpenEnabled();

// The document close: stores the placement (show state 1), kills the timer,
// tells the print thread that the program ends (it stops within one block
// and takes no further job), waits for it at most 2000 ms (not at all when
// no run is alive), tidies a run that is still open (EndJobCleanup;
// PurgeQueue in queue mode) and finally makes sure no print thread outlives
// the call.
void DocumentClose();

// The program is stopped from outside (SIGTERM, SIGINT, SIGHUP: a service
// manager or a closing terminal, nobody to answer a question). Like the
// document close, but the queue is kept: the current job stops within one
// block, every record and spool file stays (the interrupted job's too) and
// the marker says "Purged", so the next start prints them all.
void StopKeepingQueue();

// One WM_TIMER of the main frame.
void SchedulerTick();

// The quit question of a close (AskQuitQuestion in close_controller.h puts
// it): true when the close may go on (nothing prints, or the user answered
// OK to the quit question).
bool ConfirmQuit();

// Closing. From the moment the main thread begins a close, the driver's
// "will you print queue file X?" is answered "no", so it starts a spooler of
// its own rather than leave a record to one that is going away. The front
// ends do not mark it themselves: the close controller (close_controller.h)
// does, for the closes it decides, and the teardown (DocumentClose,
// StopKeepingQueue) marks it for good.
// Marks closing.
void BeginClose();
// The close does not go on (the quit question was answered Cancel): we go
// on and answer "yes" again.
void CancelClose();
bool IsClosing();
// The close the program decided itself (queue run over, idle too long):
// marks closing, then looks at the queue file once more. A record there
// cancels the close (false): a run is started for it, or the next tick
// starts one when the last run is still on its way out. True: go on closing.
bool BeginSelfClose();
// The answer to plat::kWillPrintQueueRequest for the queue file whose
// plat::QueueFileKey is `queueKey`: plat::kWillPrintYes only in queue mode on
// that same file and before a close has begun.
LRESULT AnswerWillPrintQueue(WPARAM queueKey);

// WM_SPOOLER_COMMAND: the message result (0 refused while a print run is
// alive, also before it has opened the port; 1 done).
LRESULT HandleSpoolerCommand(WPARAM command);

// A request that arrived on the command channel, dispatched on the main
// thread: WM_SPOOLER_COMMAND, or the bring-to-front request of a second
// start, or the driver's plat::kWillPrintQueueRequest. Unknown messages
// answer 0.
LRESULT DispatchChannelRequest(UINT message, WPARAM wParam, LPARAM lParam);

// Forgets what DocumentStart remembered (tests).
void ResetShell();
