// kelvane-headless: the spooler without windows. Same command line and
// behaviour as the desktop spooler; its "main window" is a number (the
// process id) that the command channel answers to, and its message boxes
// are questions on standard input.
// Exit codes: 0 after a normal close or when another instance runs, 2 when
// the start fails (bad command line).
// Besides the spooler's own arguments it takes --on-fault
// ask|retry[=SECONDS]|keep: what to answer when nobody is there to answer
// a fault (see fault_policy.h).
// Main thread; the command channel's listener and the print thread are
// started from here.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/headless/headless_loop.h"
#include "app/shell.h"
#include "platform/command_channel.h"
#include "platform/message_box.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"

namespace {

constexpr int kExitStartFailed = 2;
constexpr DWORD kBringToFrontWaitMs = 2000;
constexpr const char* kUsage =
    "usage: kelvane-headless [--on-fault ask|retry[=SECONDS]|keep] [-f QUEUE_FILE | -i PORT]\n";

// SIGINT, SIGTERM and SIGHUP come from a service manager, a closing terminal
// or Ctrl+C: nobody is there to answer the quit question, and the jobs still
// queued belong to the next start. They stop the spooler with its queue kept
// (WM_SPOOLER_STOP). They are blocked in every thread; this thread takes
// them with sigwait.
// It is joined before the loop it posts to goes away: Stop() wakes it with
// kStopSignal, which it tells from an outside one by the stopping flag.
class SignalThread {
 public:
  static constexpr int kStopSignal = SIGUSR2;

  void Start(sigset_t signals, HWND mainWindow) {
    thread_ = std::thread([this, signals, mainWindow] {
      for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) return;
        if (signal == kStopSignal) {
          if (stopping_.load()) return;
          continue;  // someone else's SIGUSR2 means nothing to us
        }
        plat::PostMessage(mainWindow, WM_SPOOLER_STOP, 0, 0);
      }
    });
  }
  void Stop() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    pthread_kill(thread_.native_handle(), kStopSignal);
    thread_.join();
  }
  ~SignalThread() { Stop(); }

 private:
  std::thread thread_;
  std::atomic<bool> stopping_{false};
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  headless::FaultPolicy policy;
  std::string error;
  if (!headless::TakeFaultPolicyOption(args, policy, error)) {
    std::cerr << "kelvane-headless: " << error << "\n" << kUsage;
    return kExitStartFailed;
  }
  std::vector<const char*> spoolerArgs;
  for (const std::string& arg : args) spoolerArgs.push_back(arg.c_str());
  spoolerArgs.push_back(nullptr);
  // The desktop spooler fails a bad command line silently; on a terminal a
  // word about it costs nothing and saves a search.
  const std::string problem =
      CommandLineProblem(static_cast<int>(args.size()), spoolerArgs.data());
  if (!problem.empty()) {
    std::cerr << "kelvane-headless: " << problem << "\n" << kUsage;
    return kExitStartFailed;
  }

  plat::SingleInstance instance;
  if (!instance.Acquire()) {
    // Another spooler runs: bring it to the front and end; its scheduler
    // picks up whatever the driver queued for us.
    plat::BringRunningInstanceToFront(kBringToFrontWaitMs);
    return 0;
  }

  // A reader of our prompts that goes away must not kill us in the middle of
  // a job (the queue would be left "Processing"): a failed write is enough.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SignalThread::kStopSignal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const HWND mainWindow = static_cast<HWND>(::getpid());
  headless::ConsoleMessageBoxes boxes(policy);
  headless::HeadlessLoop loop(mainWindow, &boxes);
  plat::SetWindowSink(&loop);
  plat::SetMessageBoxSink(&boxes);
  SetShellFrontEnd(&loop);

  // The channel listens before the handle is published, so whoever reads
  // "SpoolerHwnd" finds someone to talk to.
  plat::CommandServer server;
  if (!server.Start(mainWindow, DispatchChannelRequest, [&loop] { loop.WakeChannel(); })) {
    // Printing goes on; only the driver's commands cannot reach us.
    std::cerr << "kelvane-headless: the command channel could not be opened\n";
  }
  PublishMainWindow(mainWindow);
  SignalThread signalThread;
  signalThread.Start(signals, mainWindow);

  int exitCode = 0;
  if (DocumentStart(static_cast<int>(args.size()), spoolerArgs.data())) {
    loop.Run(server);
  } else {
    // A failed start closes the document as the destroyed frame would.
    DocumentClose();
    exitCode = kExitStartFailed;
  }
  server.Stop();
  signalThread.Stop();
  SetShellFrontEnd(nullptr);
  plat::SetMessageBoxSink(nullptr);
  plat::SetWindowSink(nullptr);
  return exitCode;
}
