// kelvane-printer's system calls on POSIX systems: the sim: server on a
// Unix socket, its control client, signals and the file mode mask.
// Main thread; OnSignal runs in a signal handler and only calls `stop`.
#include "tools/printer/printer_host.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/vprinter/sim_server.h"

namespace printer_host {
namespace {

void (*g_stop)() = nullptr;
vprinter::SimServer* g_server = nullptr;

void OnSignal(int) {
  if (g_stop) g_stop();
}

void StopSimServer() {
  if (g_server) g_server->Stop();
}

}  // namespace

bool HasSimSockets() { return true; }

void RestrictNewFiles() { ::umask(077); }

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int RunControl(const std::string& socketPath,
               const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
  line += "\n";
  const std::string path = socketPath + ".ctl";
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "kelvane-printer: %s: path too long\n", path.c_str());
    return 2;
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "kelvane-printer: %s: %s\n", path.c_str(),
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return 1;
  }
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "kelvane-printer: send: %s\n", std::strerror(errno));
    ::close(fd);
    return 1;
  }
  std::string answer;
  char buffer[256];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::fputs(answer.c_str(), answer.rfind("ok", 0) == 0 ? stdout : stderr);
  return answer.rfind("ok", 0) == 0 ? 0 : 1;
}

int ServeSimSocket(vprinter::VirtualPrinter& printer, const std::string& socketPath,
                   const std::string& script, const vprinter::VirtualPrinter::LogSink& log) {
  vprinter::SimServer server(printer);
  server.SetLogSink(log);
  std::string error;
  if (!script.empty() && !server.LoadScript(script, error)) {
    std::fprintf(stderr, "kelvane-printer: script: %s\n", error.c_str());
    return 2;
  }
  if (!server.Listen(socketPath, error)) {
    std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
    return 1;
  }
  g_server = &server;
  OnStopRequest(StopSimServer);
  log("printer: serving " + socketPath);
  server.Run();
  g_server = nullptr;
  return 0;
}

}  // namespace printer_host
