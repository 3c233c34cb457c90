// The spooler window on Windows (see platform/spooler_window.h): a hidden
// top-level window of class "CVorn95App" on a thread of its own, its timer,
// and the door through which the command channel takes its requests.
// OpenSpoolerWindow, the timer calls and the door's opening and closing: any
// thread; WindowProcedure and everything it calls: the window's thread.
#include "platform/spooler_window.h"

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/command_channel.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"
#include "platform/win32/request_door.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

// Asks the window's thread to set or kill the timer: a window's timer is
// its own thread's business.
constexpr UINT kSetTimerMessage = WM_APP + 1;
constexpr UINT kKillTimerMessage = WM_APP + 2;
constexpr UINT_PTR kTimerId = 1;
// The private messages the front end's window takes; above them lie the
// channel's requests.
constexpr UINT kLastPostedPrivateMessage = 0x7EFF;

struct WindowState {
  std::mutex creating;  // one creation at a time; held while the thread starts
  std::mutex mutex;     // protects the fields below
  std::condition_variable idle;  // a call through the door has ended
  W32_HWND window = nullptr;
  win32::RequestDoor door;
  int callsInProgress = 0;
  std::function<void()> sessionEnd;
};

// Never destroyed: the window's thread runs until the process ends, past
// the destructors of static objects.
WindowState& State() {
  static WindowState* state = new WindowState;
  return *state;
}

W32_HWND CurrentWindow() {
  WindowState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.window;
}

// A request through the door, or 0 when none is open.
LRESULT ServeRequest(UINT message, WPARAM wParam, LPARAM lParam) {
  WindowState& state = State();
  win32::RequestDoor door;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.door) return 0;
    door = state.door;
    ++state.callsInProgress;
  }
  LRESULT result = 0;
  if (!door(message, wParam, lParam, result)) result = 0;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    --state.callsInProgress;
  }
  state.idle.notify_all();
  return result;
}

void EndSession() {
  std::function<void()> handler;
  {
    WindowState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    handler = state.sessionEnd;
  }
  if (handler) handler();
}

LRESULT CALLBACK WindowProcedure(W32_HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND self = w32::FromSystem(window);
  switch (message) {
    case kSetTimerMessage:
      ::SetTimer(window, kTimerId, static_cast<UINT>(wParam), nullptr);
      return 0;
    case kKillTimerMessage:
      ::KillTimer(window, kTimerId);
      return 0;
    case WM_TIMER:
      if (wParam == kTimerId) PostToWindowSink(self, WM_TIMER, wParam, 0);
      return 0;
    case WM_CLOSE:
      // The front end decides whether we close; the window itself stays
      // until the process ends.
      PostToWindowSink(self, WM_CLOSE, wParam, lParam);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      if (wParam) EndSession();
      return 0;
    default:
      break;
  }
  if (win32::IsChannelRequest(message)) return ServeRequest(message, wParam, lParam);
  if (message >= WM_USER && message <= kLastPostedPrivateMessage) {
    PostToWindowSink(self, message, wParam, lParam);
    return 0;
  }
  return ::DefWindowProcA(window, message, wParam, lParam);
}

// The window's thread: makes the window, says how that went, then runs its
// message loop for the rest of the process.
void RunWindowThread(std::promise<W32_HWND> made) {
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kMainWindowClass;
  // Registered already by an earlier attempt that could not make the
  // window: the class is still ours.
  if (!::RegisterClassA(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    made.set_value(nullptr);
    return;
  }
  // Never shown: the driver needs a window to find and to talk to, nobody
  // needs to see it.
  W32_HWND window = ::CreateWindowExA(0, kMainWindowClass, "Kelvane", WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                      CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
  made.set_value(window);
  if (!window) return;
  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
}

}  // namespace

HWND OpenSpoolerWindow() {
  WindowState& state = State();
  std::lock_guard<std::mutex> creating(state.creating);
  if (W32_HWND window = CurrentWindow()) return w32::FromSystem(window);
  std::promise<W32_HWND> made;
  std::future<W32_HWND> window = made.get_future();
  std::thread(RunWindowThread, std::move(made)).detach();
  W32_HWND created = window.get();
  if (!created) return 0;
  std::lock_guard<std::mutex> lock(state.mutex);
  state.window = created;
  return w32::FromSystem(created);
}

bool IsSpoolerWindow(HWND window) {
  W32_HWND current = CurrentWindow();
  return window != 0 && current != nullptr && w32::ToSystem(window) == current;
}

bool SetSpoolerWindowTimer(DWORD intervalMs) {
  W32_HWND window = CurrentWindow();
  return window && ::PostMessageA(window, kSetTimerMessage, intervalMs, 0);
}

bool KillSpoolerWindowTimer() {
  W32_HWND window = CurrentWindow();
  return window && ::PostMessageA(window, kKillTimerMessage, 0, 0);
}

void SetSessionEndHandler(std::function<void()> handler) {
  WindowState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sessionEnd = std::move(handler);
}

namespace win32 {

bool IsChannelRequest(UINT message) {
  return message == WM_SPOOLER_COMMAND || message == kBringToFrontRequest ||
         message == kWillPrintQueueRequest || message == kStatusRequest;
}

bool OpenRequestDoor(HWND window, RequestDoor door) {
  WindowState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (window == 0 || w32::ToSystem(window) != state.window || state.door || !door) return false;
  state.door = std::move(door);
  return true;
}

void CloseRequestDoor(HWND window) {
  WindowState& state = State();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (w32::ToSystem(window) != state.window) return;
  state.door = nullptr;
  state.idle.wait(lock, [&state] { return state.callsInProgress == 0; });
}

}  // namespace win32
}  // namespace plat
