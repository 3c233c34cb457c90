// Single instance. On POSIX the marker "VORNA KELVANE" is a lock file in
// the run directory held with flock() for the spooler's whole life; on
// Windows it is the named semaphore of that name, kept open as long. Either
// way the system drops it when the process ends in any way, so a crashed
// spooler never blocks the next start. A second start finds the running
// spooler's main window (through "SpoolerHwnd"; on Windows also by its
// window class) and asks it, over the command channel, to come to the front.
// SingleInstance: the main thread of the spooler; the free functions: any
// thread (the driver uses them too).
#pragma once

#include <memory>
#include <string>

#include "platform/win_types.h"

namespace plat {

inline constexpr const char* kSingleInstanceMarker = "VORNA KELVANE";
// The window class of the spooler's main frame and the profile entry that
// publishes its handle.
inline constexpr const char* kMainWindowClass = "CVorn95App";
inline constexpr const char* kHandshakeSection = "Tovrel";
inline constexpr const char* kHandshakeKey = "SpoolerHwnd";

// $KELVANE_HOME/run/VORNA KELVANE; "" when the run directory is unavailable,
// and on Windows, where the marker is no file.
std::string SingleInstanceMarkerPath();

class SingleInstance {
 public:
  SingleInstance();
  ~SingleInstance();  // releases the marker
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // True when this process is the first instance: it holds the marker now,
  // or the marker cannot be made at all (then it runs as the first one).
  // False when another process holds it.
  bool Acquire();
  void Release();
  bool held() const { return marker_ != nullptr; }

 private:
  // The system's hold on the marker; present exactly while it is held.
  struct Marker;
  std::unique_ptr<Marker> marker_;
};

// True while some process holds the marker.
bool IsSpoolerRunning();

// The main window published as "SpoolerHwnd" in section "Tovrel"; 0 when
// there is none or it is not a number. On Windows a published window that
// lives but is of another class is not ours (its number was given out
// again); then, or when the published one is gone, a window of class
// kMainWindowClass is taken when there is one.
HWND FindSpoolerWindow();

// The second start: asks the running spooler's main window to come to the
// front. Retries while the first instance is still starting (it takes the
// marker before it publishes its window), up to `timeoutMs`. True when it
// answered.
bool BringRunningInstanceToFront(DWORD timeoutMs);

}  // namespace plat
