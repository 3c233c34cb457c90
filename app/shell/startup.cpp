// The shared start-up (see startup.h). The stop signals' thread and the
// other system pieces live in the platform (platform/startup.h).
#include "app/shell/startup.h"

#include <cstdlib>
#include <utility>

#include "app/shell/shell.h"
#include "app/state/spooler_state.h"
#include "platform/startup.h"

namespace app {

bool ClaimSingleInstance(plat::SingleInstance& instance) {
  if (instance.Acquire()) return true;
  plat::BringRunningInstanceToFront(kBringToFrontWaitMs);
  return false;
}

FrontEndBinding::FrontEndBinding(plat::WindowSink* windows, plat::MessageBoxSink* boxes,
                                 ShellFrontEnd* frontEnd) {
  plat::SetWindowSink(windows);
  plat::SetMessageBoxSink(boxes);
  SetShellFrontEnd(frontEnd);
}

FrontEndBinding::~FrontEndBinding() {
  SetShellFrontEnd(nullptr);
  plat::SetMessageBoxSink(nullptr);
  plat::SetWindowSink(nullptr);
}

bool OpenToDriver(plat::CommandServer& server, HWND mainWindow, std::function<void()> wake) {
  // The channel listens before the handle is published.
  const bool listening = server.Start(mainWindow, DispatchChannelRequest, std::move(wake));
  PublishMainWindow(mainWindow);
  return listening;
}

DWORD SchedulerIntervalFromEnvironment(DWORD requested) {
  const char* text = std::getenv("KELVANE_TIMER_MS");
  if (!text || !*text) return requested;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 3600000) return requested;
  return static_cast<DWORD>(value);
}

void TakeStopSignalsUntilExit() {
  plat::StopSignals signals;
  signals.Take(plat::StopSignals::Life::kWholeProcess);
  signals.Start(PublishedMainWindow);
}

HWND PublishedMainWindow() {
  SpoolerLock lock;
  return g_hMainWnd;
}

bool UseSystemMessageBoxes(bool faultPolicyGiven) {
  return plat::SystemMessageBoxSink() != nullptr && !faultPolicyGiven &&
         !plat::StandardInputCanAnswer();
}

}  // namespace app
