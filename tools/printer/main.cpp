// kelvane-printer: a printer of the Vorna family that lives on a Unix
// socket, for watching the spooler work (and fail) without hardware.
// Point a port at it in win.ini: [ports] LPT1:=sim:/path/to/socket.
// Single-threaded apart from the signal handler, which only wakes Run().
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/vprinter/sim_server.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

const char kUsage[] =
    "usage: kelvane-printer [options] SOCKET\n"
    "       kelvane-printer ctl SOCKET COMMAND [ARGS]\n"
    "\n"
    "Serves a simulated printer on the Unix socket SOCKET (use the port\n"
    "sim:SOCKET) and takes commands on SOCKET.ctl.\n"
    "\n"
    "options:\n"
    "  --output FILE              append everything received to FILE\n"
    "                             (default SOCKET.prn)\n"
    "  --rate BYTES_PER_SEC       take at most this many bytes a second\n"
    "                             (default 0: unlimited)\n"
    "  --first-reply-length N     bytes in the reply to the first query\n"
    "                             (default 20; 12 or fewer means colour ink)\n"
    "  --levels B,C,M,Y           ink levels of the level reply (-128..127)\n"
    "  --script FILE              timed events, one a line:\n"
    "                               after-bytes 4096 paperout\n"
    "                               after-ms 3000 ready\n"
    "  --help                     show this text\n"
    "\n"
    "commands (ctl and scripts):\n"
    "  ready | offline | paperout | ioerror | stall\n"
    "  status TEXT | message TEXT | error CODE [COUNT] | raw HEX\n"
    "  mute N | levels B,C,M,Y | rate BYTES_PER_SEC | first-reply-length N\n";

vprinter::SimServer* g_server = nullptr;

void OnSignal(int) {
  if (g_server) g_server->Stop();
}

void LogLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
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

bool ParseCount(const char* text, unsigned long long most,
                unsigned long long& out) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno || *end || end == text || text[0] == '-' || v > most) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") {
    if (args.size() < 3) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    return RunControl(args[1],
                      std::vector<std::string>(args.begin() + 2, args.end()));
  }

  // Everything this program creates is its user's alone.
  ::umask(077);

  vprinter::VirtualPrinter printer;
  printer.SetKeepOutput(false);  // the output file has it
  printer.SetLogSink(LogLine);
  std::string socketPath, outputPath, scriptPath;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "kelvane-printer: %s needs a value\n", name);
        std::exit(2);
      }
      return args[++i].c_str();
    };
    unsigned long long n = 0;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--output") {
      outputPath = value("--output");
    } else if (a == "--rate") {
      if (!ParseCount(value("--rate"), 0xFFFFFFFFull, n)) {
        std::fputs("kelvane-printer: bad --rate\n", stderr);
        return 2;
      }
      printer.SetRate(static_cast<DWORD>(n));
    } else if (a == "--first-reply-length") {
      if (!ParseCount(value("--first-reply-length"), 4096, n)) {
        std::fputs("kelvane-printer: bad --first-reply-length\n", stderr);
        return 2;
      }
      printer.SetFirstReplyLength(static_cast<std::size_t>(n));
    } else if (a == "--levels") {
      vprinter::InkLevels levels;
      if (!vprinter::ParseLevels(value("--levels"), levels)) {
        std::fputs("kelvane-printer: --levels wants B,C,M,Y\n", stderr);
        return 2;
      }
      printer.SetLevels(levels);
    } else if (a == "--script") {
      scriptPath = value("--script");
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "kelvane-printer: unknown option %s\n%s",
                   a.c_str(), kUsage);
      return 2;
    } else if (socketPath.empty()) {
      socketPath = a;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (socketPath.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (outputPath.empty()) outputPath = socketPath + ".prn";
  if (!printer.SetOutputFile(outputPath)) {
    std::fprintf(stderr, "kelvane-printer: %s: %s\n", outputPath.c_str(),
                 std::strerror(errno));
    return 1;
  }

  vprinter::SimServer server(printer);
  server.SetLogSink(LogLine);
  std::string error;
  if (!scriptPath.empty()) {
    std::string script;
    if (!plat::ReadWholeFile(scriptPath, script)) {
      std::fprintf(stderr, "kelvane-printer: %s: cannot read\n",
                   scriptPath.c_str());
      return 1;
    }
    if (!server.LoadScript(script, error)) {
      std::fprintf(stderr, "kelvane-printer: %s: %s\n", scriptPath.c_str(),
                   error.c_str());
      return 2;
    }
  }
  if (!server.Listen(socketPath, error)) {
    std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
    return 1;
  }

  g_server = &server;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  LogLine("printer: serving " + socketPath + ", output " + outputPath);
  server.Run();
  g_server = nullptr;
  LogLine("printer: stopped");
  return 0;
}
