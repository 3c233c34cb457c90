// kelvane-headless: the spooler without windows. Same command line and
// behaviour as the desktop spooler; its "main window" is what the command
// channel answers to (the process id on POSIX, a hidden window on Windows),
// and its message boxes are questions on standard input. On Windows, with
// nobody to answer on standard input and no --on-fault given, they are the
// system's message boxes instead: a person at the desktop answers them.
// Exit codes (SpoolerEnd, engine/spooler_outcomes.h): 0 after a normal close
// or when another instance runs, 2 when the start fails, 3 when a job that
// could never print was set aside.
// Besides the spooler's own arguments it takes --on-fault
// ask|retry[=SECONDS]|keep: what to answer when nobody is there to answer
// a fault (see fault_policy.h).
// Main thread; the command channel's listener and the print thread are
// started from here.
#include <iostream>
#include <string>
#include <vector>

#include "app/headless/headless_loop.h"
#include "app/shell/shell.h"
#include "app/shell/startup.h"
#include "app/state/spooler_state.h"
#include "engine/fault_question.h"
#include "engine/spooler_outcomes.h"
#include "platform/command_channel.h"
#include "platform/startup.h"

namespace {

constexpr int kExitStartFailed = SpoolerExitCode(SpoolerEnd::StartFailed);
constexpr const char* kUsage =
    "usage: kelvane-headless [--on-fault ask|retry[=SECONDS]|keep] [-f QUEUE_FILE | -i PORT]\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  headless::FaultPolicy policy;
  std::string error;
  const std::size_t givenArgs = args.size();
  if (!headless::TakeFaultPolicyOption(args, policy, error)) {
    std::cerr << "kelvane-headless: " << error << "\n" << kUsage;
    return kExitStartFailed;
  }
  const bool policyGiven = args.size() != givenArgs;
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
  if (!app::ClaimSingleInstance(instance)) return SpoolerExitCode(SpoolerEnd::Closed);

  plat::IgnoreBrokenPipes();
  // Joined before the loop it posts to goes away.
  plat::StopSignals stopSignals;
  stopSignals.Take(plat::StopSignals::Life::kJoined);

  const HWND mainWindow = plat::MainWindowHandle();
  headless::ConsoleMessageBoxes consoleBoxes(policy);
  // The system's boxes are the default sink: none is installed for them.
  headless::ConsoleMessageBoxes* boxes =
      app::UseSystemMessageBoxes(policyGiven) ? nullptr : &consoleBoxes;
  headless::HeadlessLoop loop(mainWindow, boxes, plat::SystemTimerOfMainWindow());
  app::FrontEndBinding frontEnd(&loop, boxes, &loop);
  // The spooler's questions reach the console boxes as questions, so the
  // policy answers on their kind; the system's boxes show them as boxes.
  const ScopedFaultQuestionSink questions(boxes);

  plat::CommandServer server;
  if (!app::OpenToDriver(server, mainWindow, [&loop] { loop.WakeChannel(); })) {
    // Printing goes on; only the driver's commands cannot reach us.
    std::cerr << "kelvane-headless: the command channel could not be opened\n";
  }
  stopSignals.Start([mainWindow] { return mainWindow; });

  SpoolerEnd end = SpoolerEnd::Closed;
  if (DocumentStart(static_cast<int>(args.size()), spoolerArgs.data())) {
    loop.Run(server);
    SpoolerLock lock;
    if (g_nJobsSetAside > 0) end = SpoolerEnd::JobsSetAside;
  } else {
    // A failed start closes the document as the destroyed frame would.
    DocumentClose();
    end = SpoolerEnd::StartFailed;
  }
  server.Stop();
  stopSignals.Stop();
  return SpoolerExitCode(end);
}
