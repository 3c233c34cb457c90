// The single-instance marker on Windows: the named semaphore "VORNA
// KELVANE", whose handle the first spooler keeps open for its whole life
// and never waits on; the system drops it when the process ends in any way.
// A second start finds the running spooler's window (by its class, or as
// published in "SpoolerHwnd") and asks it to come to the front.
// SingleInstance: its owner's thread; the free functions: any thread.
#include "platform/single_instance.h"

#include "platform/command_channel.h"
#include "platform/common/single_instance_shared.h"
#include "platform/files.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

bool IsOfOurClass(W32_HWND window) {
  char className[64] = {};
  return ::GetClassNameA(window, className, sizeof className) != 0 &&
         lstrcmpiA(className, kMainWindowClass) == 0;
}

}  // namespace

// No file: the marker is a named object of the system's.
std::string SingleInstanceMarkerPath() { return ""; }

struct SingleInstance::Marker {
  explicit Marker(W32_HANDLE held) : semaphore(held) {}
  ~Marker() { ::CloseHandle(semaphore); }
  Marker(const Marker&) = delete;
  Marker& operator=(const Marker&) = delete;
  const W32_HANDLE semaphore;
};

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() { Release(); }

bool SingleInstance::Acquire() {
  if (marker_) return true;
  // Count 0 of at most 1: nobody ever waits on it; that it exists is all.
  W32_HANDLE semaphore = ::CreateSemaphoreA(nullptr, 0, 1, kSingleInstanceMarker);
  if (!semaphore) {
    SetLastError(::GetLastError());
    return true;  // no marker possible: run as the first instance
  }
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(semaphore);
    return false;
  }
  marker_ = std::make_unique<Marker>(semaphore);
  return true;
}

void SingleInstance::Release() { marker_.reset(); }

bool IsSpoolerRunning() {
  W32_HANDLE semaphore = ::OpenSemaphoreA(SYNCHRONIZE, FALSE, kSingleInstanceMarker);
  if (!semaphore) return false;
  ::CloseHandle(semaphore);
  return true;
}

HWND FindSpoolerWindow() {
  // The value outlives the spooler: once its window is gone, its number may
  // name another program's window, or none.
  const HWND published = PublishedSpoolerWindow();
  W32_HWND system = w32::ToSystem(published);
  if (published != 0 && ::IsWindow(system) && IsOfOurClass(system)) return published;
  if (W32_HWND found = ::FindWindowA(kMainWindowClass, nullptr)) return w32::FromSystem(found);
  // Some other program's window now: not to be talked to.
  if (published != 0 && ::IsWindow(system)) return 0;
  // No window at all: whoever sends there hears nothing, as on POSIX.
  return published;
}

bool AskToComeToFront(HWND window, DWORD waitMs) {
  // Only the program the user just started may hand the foreground on.
  W32_DWORD process = 0;
  if (::GetWindowThreadProcessId(w32::ToSystem(window), &process) != 0)
    ::AllowSetForegroundWindow(process);
  // A window whose channel is not open yet answers 0: still starting.
  LRESULT result = 0;
  return SendSpoolerMessage(window, kBringToFrontRequest, 0, 0, &result, waitMs) &&
         result != 0;
}

}  // namespace plat
