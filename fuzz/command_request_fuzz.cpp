// Fuzzes the command channel's server with arbitrary request bytes over a
// real socket: whatever arrives, the server must drop or answer it without
// harm and keep serving; an accepted request must be answered with the
// handler's result. One server for the whole run, in a private home.
// Fuzzer thread sends; a pump thread plays the main thread.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <chrono>

#include "platform/command_channel.h"

namespace {

constexpr HWND kWindow = 4242;

struct Harness {
  Harness() {
    char dir[] = "/tmp/kelvane-fuzz-XXXXXX";
    if (!::mkdtemp(dir)) std::abort();
    home = dir;
    ::setenv("KELVANE_HOME", dir, 1);
    if (!server.Start(kWindow,
                      [](UINT message, WPARAM wParam, LPARAM) -> LRESULT {
                        return static_cast<LRESULT>(message ^ wParam);
                      },
                      [this] {
                        // Listener thread: wake the pump, as a front end's
                        // main loop is woken.
                        std::lock_guard<std::mutex> g(mutex);
                        pending = true;
                        wake.notify_one();
                      })) {
      std::abort();
    }
    pump = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex);
      while (!stop) {
        wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return pending || stop; });
        pending = false;
        lock.unlock();
        while (server.ServePending() != 0) {
        }
        lock.lock();
      }
    });
  }
  ~Harness() {
    {
      std::lock_guard<std::mutex> g(mutex);
      stop = true;
      wake.notify_one();
    }
    pump.join();
    server.Stop();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
  std::string home;
  plat::CommandServer server;
  std::mutex mutex;
  std::condition_variable wake;
  bool pending = false;  // guarded by mutex
  bool stop = false;     // guarded by mutex
  std::thread pump;
};

Harness& GetHarness() {
  static Harness harness;  // lives for the whole run, removed at exit
  return harness;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& harness = GetHarness();
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, harness.server.socketPath().c_str(),
               sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::abort();  // the server stopped serving
  }
  if (size > 0) (void)!::send(fd, data, size, MSG_NOSIGNAL);
  ::shutdown(fd, SHUT_WR);
  plat::CommandAnswer answer{};
  std::size_t got = 0;
  ssize_t n;
  while (got < sizeof answer) {
    n = ::recv(fd, reinterpret_cast<char*>(&answer) + got, sizeof answer - got, 0);
    if (n < 0 && errno == EINTR) continue;  // the fuzzer's watchdog alarm
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);

  plat::CommandRequest request{};
  const bool wellFormed = size == sizeof request;
  if (wellFormed) std::memcpy(&request, data, sizeof request);
  if (wellFormed && plat::IsAcceptableRequest(request)) {
    if (got != sizeof answer || answer.magic != plat::kAnswerMagic ||
        answer.result != static_cast<std::int64_t>(request.message ^ request.wParam)) {
      std::abort();
    }
  } else if (got != 0) {
    std::abort();  // a malformed request was answered
  }
  return 0;
}
