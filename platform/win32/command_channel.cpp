// The command channel on Windows: requests are window messages sent to the
// spooler window (SendMessageTimeoutA); its procedure queues each one for
// the main thread and waits for the answer, which it returns to the sender.
// CommandServer's public calls: the main thread; the door's wait: the
// spooler window's thread; SendSpoolerMessage and QueueFileKey: any thread.
#include "platform/command_channel.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/files.h"
#include "platform/spooler_window.h"
#include "platform/win32/request_door.h"
#include "platform/win32/windows_api.h"

namespace plat {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The path the system resolves `path` to (links and "." followed), or ""
// when it cannot open it.
std::string FinalPath(const std::string& path) {
  W32_HANDLE file = ::CreateFileA(path.c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == w32::InvalidHandle()) return "";
  std::string final(MAX_PATH, '\0');
  W32_DWORD length = ::GetFinalPathNameByHandleA(file, final.data(),
                                                 static_cast<W32_DWORD>(final.size()), 0);
  if (length >= final.size()) {
    final.resize(length + 1);
    length = ::GetFinalPathNameByHandleA(file, final.data(),
                                         static_cast<W32_DWORD>(final.size()), 0);
  }
  ::CloseHandle(file);
  if (length == 0 || length >= final.size()) return "";
  final.resize(length);
  if (final.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + final.substr(8);
  if (final.rfind("\\\\?\\", 0) == 0) return final.substr(4);
  return final;
}

std::string FullPath(const std::string& path) {
  W32_DWORD length = ::GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::string full(length, '\0');
  length = ::GetFullPathNameA(path.c_str(), static_cast<W32_DWORD>(full.size()), full.data(),
                              nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  return full;
}

// How long the window's thread may wait without looking at its queue: one
// that has not looked for five seconds counts as hung, and a driver's
// SendMessageTimeoutA with SMTO_ABORTIFHUNG would give up on us at once.
constexpr W32_DWORD kQueueLookMs = 1000;

// Waits for `event` up to `timeoutMs` (or kQueueLookMs), serving meanwhile
// what other threads send to this thread's windows: a box owned by the
// spooler window disables it with a message sent from the box's thread,
// which may be the very thread whose answer we wait for.
void WaitServingSentMessages(W32_HANDLE event, W32_DWORD timeoutMs) {
  ::MsgWaitForMultipleObjectsEx(1, &event, std::min(timeoutMs, kQueueLookMs), QS_SENDMESSAGE, 0);
  // Serves the sent messages and leaves every posted one where it is.
  MSG message;
  ::PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

}  // namespace

bool IsAcceptableRequest(const CommandRequest& request) {
  if (request.magic != kCommandMagic) return false;
  return win32::IsChannelRequest(request.message);
}

std::uint64_t QueueFileKey(const std::string& path) {
  const std::string full = FullPath(path);
  std::string canonical = FinalPath(full);
  if (canonical.empty()) {
    // Not there yet: its folder's final path and its name.
    const std::size_t slash = full.find_last_of("\\/");
    if (slash != std::string::npos) {
      const std::string folder = FinalPath(full.substr(0, slash + 1));
      if (!folder.empty()) {
        canonical = folder;
        if (canonical.back() != '\\') canonical += '\\';
        canonical += full.substr(slash + 1);
      }
    }
    if (canonical.empty()) canonical = full;
  }
  // File names on Windows ignore case and take either slash.
  for (char& c : canonical) {
    c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  // FNV-1a, as on the other side of the channel.
  std::uint64_t key = 14695981039346656037ull;
  for (unsigned char c : canonical) {
    key ^= c;
    key *= 1099511628211ull;
  }
  return key;
}

// No socket on Windows: the window itself is the channel.
std::string SpoolerSocketPath(HWND) { return ""; }

bool SendSpoolerMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                        LRESULT* result, DWORD timeoutMs) {
  if (window == 0) return false;
  DWORD_PTR answer = 0;
  // SMTO_BLOCK: this thread's own windows, if any, wait; a spooler that
  // hangs is given up at once.
  if (!::SendMessageTimeoutA(w32::ToSystem(window), message, wParam, lParam,
                             SMTO_ABORTIFHUNG | SMTO_BLOCK, timeoutMs, &answer)) {
    SetLastError(::GetLastError());
    return false;
  }
  if (result) *result = static_cast<LRESULT>(answer);
  return true;
}

struct CommandServer::SystemState {
  HWND window = 0;
  // Set whenever an answer is ready or the server stops; the door's wait
  // looks at its own request each time it wakes.
  W32_HANDLE answered = nullptr;
};

CommandServer::CommandServer() : system_(std::make_unique<SystemState>()) {}

CommandServer::~CommandServer() { Stop(); }

bool CommandServer::Start(HWND window, Handler handler, Wake wake) {
  Stop();
  if (!IsSpoolerWindow(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  W32_HANDLE answered = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!answered) {
    SetLastError(::GetLastError());
    return false;
  }
  system_->answered = answered;
  handler_ = std::move(handler);
  wake_ = std::move(wake);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
  }
  // The door runs on the window's thread: it queues the request, wakes the
  // main thread and waits for ServePending's answer. A request the main
  // thread has not taken within kAnswerWaitMs is withdrawn, so it does not
  // run after its sender has given up; one it has taken is answered.
  auto door = [this, answered](UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    auto pending = std::make_shared<Pending>();
    pending->request = CommandRequest{kCommandMagic, message,
                                      static_cast<std::uint64_t>(wParam),
                                      static_cast<std::int64_t>(lParam)};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
      queue_.push_back(pending);
    }
    if (wake_) wake_();
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    for (;;) {
      W32_DWORD waitMs = INFINITE;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending->done) {
          result = pending->result;
          return true;
        }
        if (!pending->taken) {
          const auto now = SteadyClock::now();
          if (stopping_ || now >= deadline) {
            queue_.erase(std::remove(queue_.begin(), queue_.end(), pending), queue_.end());
            return false;
          }
          waitMs = static_cast<W32_DWORD>(
              std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1);
        }
      }
      WaitServingSentMessages(answered, waitMs);
    }
  };
  system_->window = window;
  if (!win32::OpenRequestDoor(window, std::move(door))) {
    system_->window = 0;
    ::CloseHandle(answered);
    system_->answered = nullptr;
    SetLastError(ERROR_BUSY);
    return false;
  }
  return true;
}

void CommandServer::Stop() {
  if (!system_ || system_->window == 0) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ::SetEvent(system_->answered);
  // Returns once the door's waits have seen the stop: nothing refers to
  // this server from the window's thread afterwards.
  win32::CloseRequestDoor(system_->window);
  ::CloseHandle(system_->answered);
  system_->answered = nullptr;
  system_->window = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.clear();
}

// The door waits on the window's thread for this event.
void CommandServer::SignalAnswered() {
  if (system_->answered) ::SetEvent(system_->answered);
}

}  // namespace plat
