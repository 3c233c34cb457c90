// kelvane-printer: a printer of the Vorna family, simulated, for watching
// the spooler work (and fail) without hardware. It lives on a Unix socket
// (point a port at it in win.ini: [ports] LPT1:=sim:/path/to/socket) or, on
// every system, on TCP at 127.0.0.1 (LPT1:=socket://127.0.0.1:PORT), with
// its control commands on SOCKET.ctl or on a TCP control port.
// Single-threaded apart from the stop handler, which only wakes the server.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/sim_control.h"
#include "tools/vprinter/sim_server.h"
#include "tools/vprinter/tcp_server.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

const char kUsage[] =
    "usage: kelvane-printer [options] SOCKET                       (not on Windows)\n"
    "       kelvane-printer [options] --tcp PORT --output FILE     (every system)\n"
    "       kelvane-printer ctl SOCKET COMMAND [ARGS]              (not on Windows)\n"
    "       kelvane-printer ctl tcp:127.0.0.1:PORT COMMAND [ARGS]  (every system)\n"
    "\n"
    "Serves a simulated printer on the Unix socket SOCKET (use the port\n"
    "sim:SOCKET) and takes commands on SOCKET.ctl: Linux and other POSIX\n"
    "systems only. With --tcp, on every system (on Windows the only way),\n"
    "serves a raw TCP printer on 127.0.0.1:PORT (use the port\n"
    "socket://127.0.0.1:PORT) that takes commands on its --control-port.\n"
    "ctl sends one command to a printer and prints its answer: to SOCKET.ctl,\n"
    "or with tcp:127.0.0.1:PORT (or tcp:PORT) to a control port.\n"
    "\n"
    "options:\n"
    "  --output FILE              append everything received to FILE\n"
    "                             (default SOCKET.prn)\n"
    "  --tcp PORT                 serve on TCP, 127.0.0.1:PORT (0: any free\n"
    "                             port)\n"
    "  --port-file FILE           with --tcp: write the port served to FILE\n"
    "  --control-port PORT        with --tcp: take commands on 127.0.0.1:PORT\n"
    "                             (0: any free port)\n"
    "  --control-port-file FILE   write the control port to FILE\n"
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

// How long ctl waits for a printer's answer.
constexpr DWORD kControlPatienceMs = 5000;

// The server that runs, for the stop request: set before the handler is
// installed, cleared once the server has returned.
void* g_server = nullptr;

// The stop handler of a `Server` (a SimServer or a TcpServer): wakes its
// loop, which then returns.
template <typename Server>
void StopServer() {
  if (g_server) static_cast<Server*>(g_server)->Stop();
}

void LogLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
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

// "tcp:PORT" or "tcp:127.0.0.1:PORT" (also "tcp:localhost:PORT"): the
// control port is on the loopback only.
bool ParseControlTarget(const std::string& target, std::uint16_t& port) {
  if (target.rfind("tcp:", 0) != 0) return false;
  std::string rest = target.substr(4);
  for (const char* host : {"127.0.0.1:", "localhost:"}) {
    if (rest.rfind(host, 0) == 0) {
      rest = rest.substr(std::strlen(host));
      break;
    }
  }
  unsigned long long n = 0;
  if (!ParseCount(rest.c_str(), 65535, n) || n == 0) return false;
  port = static_cast<std::uint16_t>(n);
  return true;
}

// "ctl tcp:...": one command line to a --tcp printer's control port.
int RunTcpControl(const std::string& target, const std::vector<std::string>& words) {
  std::uint16_t port = 0;
  if (!ParseControlTarget(target, port)) {
    std::fprintf(stderr, "kelvane-printer: %s: want tcp:127.0.0.1:PORT\n", target.c_str());
    return 2;
  }
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
  std::string answer, error;
  if (!vprinter::SendControlLine(port, line, kControlPatienceMs, answer, error)) {
    std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
    return 1;
  }
  const bool ok = answer.rfind("ok", 0) == 0;
  std::fputs(answer.c_str(), ok ? stdout : stderr);
  return ok ? 0 : 1;
}

// "ctl SOCKET": one command line to a sim: printer's SOCKET.ctl.
int RunSimControl(const std::string& socketPath, const std::vector<std::string>& words) {
  if constexpr (!plat::kHasSimPorts) {
    std::fputs("kelvane-printer: Windows has no sim: sockets; a --tcp printer takes commands "
               "on its --control-port: ctl tcp:127.0.0.1:PORT COMMAND\n",
               stderr);
    return 2;
  }
  std::string line;
  for (const std::string& w : words) line += (line.empty() ? "" : " ") + w;
  line += "\n";
  std::string answer, error;
  switch (plat::SendSimControl(socketPath + ".ctl", line, answer, error)) {
    case plat::SimControlResult::BadAddress:
      std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
      return 2;
    case plat::SimControlResult::Failed:
      std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
      return 1;
    case plat::SimControlResult::Answered:
      break;
  }
  const bool ok = answer.rfind("ok", 0) == 0;
  std::fputs(answer.c_str(), ok ? stdout : stderr);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && args[0] == "ctl") {
    if (args.size() < 3) {
      std::fputs(kUsage, stderr);
      return 2;
    }
    const std::vector<std::string> words(args.begin() + 2, args.end());
    if (args[1].rfind("tcp:", 0) == 0) return RunTcpControl(args[1], words);
    return RunSimControl(args[1], words);
  }

  // Everything this program creates is its user's alone.
  plat::RestrictNewFiles();

  vprinter::VirtualPrinter printer;
  printer.SetKeepOutput(false);  // the output file has it
  printer.SetLogSink(LogLine);
  std::string socketPath, outputPath, scriptPath, portFile, controlPortFile;
  bool tcp = false, control = false;
  std::uint16_t tcpPort = 0, controlPort = 0;
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
    } else if (a == "--tcp") {
      if (!ParseCount(value("--tcp"), 65535, n)) {
        std::fputs("kelvane-printer: bad --tcp port\n", stderr);
        return 2;
      }
      tcp = true;
      tcpPort = static_cast<std::uint16_t>(n);
    } else if (a == "--control-port") {
      if (!ParseCount(value("--control-port"), 65535, n)) {
        std::fputs("kelvane-printer: bad --control-port\n", stderr);
        return 2;
      }
      control = true;
      controlPort = static_cast<std::uint16_t>(n);
    } else if (a == "--control-port-file") {
      controlPortFile = value("--control-port-file");
    } else if (a == "--port-file") {
      portFile = value("--port-file");
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
  if (tcp ? !socketPath.empty() || outputPath.empty() : socketPath.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (control && !tcp) {
    std::fputs("kelvane-printer: --control-port is for --tcp; a printer on SOCKET takes "
               "commands on SOCKET.ctl\n", stderr);
    return 2;
  }
  if (!controlPortFile.empty() && !control) {
    std::fputs("kelvane-printer: --control-port-file needs --control-port\n", stderr);
    return 2;
  }
  if (!tcp && !plat::kHasSimPorts) {
    std::fputs("kelvane-printer: this system has no sim: sockets; use --tcp PORT\n", stderr);
    return 2;
  }
  if (outputPath.empty()) outputPath = socketPath + ".prn";
  if (!printer.SetOutputFile(outputPath)) {
    std::fprintf(stderr, "kelvane-printer: %s: %s\n", outputPath.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::string script;
  if (!scriptPath.empty() && !plat::ReadWholeFile(scriptPath, script)) {
    std::fprintf(stderr, "kelvane-printer: %s: cannot read\n", scriptPath.c_str());
    return 1;
  }
  // The sim: server exists only where the system has its sockets: left
  // out of the program elsewhere (the check above has refused already).
  if constexpr (plat::kHasSimPorts) {
    if (!tcp) {
      vprinter::SimServer server(printer);
      server.SetLogSink(LogLine);
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
      plat::OnStopRequest(StopServer<vprinter::SimServer>);
      LogLine("printer: serving " + socketPath);
      server.Run();
      g_server = nullptr;
      LogLine("printer: stopped");
      return 0;
    }
  }

  vprinter::TcpServer server(printer);
  server.SetLogSink(LogLine);
  std::string error;
  if (!script.empty() && !server.LoadScript(script, error)) {
    std::fprintf(stderr, "kelvane-printer: %s: %s\n", scriptPath.c_str(), error.c_str());
    return 2;
  }
  if (!server.Listen(tcpPort, error)) {
    std::fprintf(stderr, "kelvane-printer: %s\n", error.c_str());
    return 1;
  }
  if (control && !server.ListenControl(controlPort, error)) {
    std::fprintf(stderr, "kelvane-printer: control port: %s\n", error.c_str());
    return 1;
  }
  // Written whole under another name first: a reader never sees half a
  // port. The control port's file last: once it is there, both ports are.
  const struct {
    const std::string& path;
    std::uint16_t port;
  } portFiles[] = {{portFile, server.port()}, {controlPortFile, server.controlPort()}};
  for (const auto& file : portFiles) {
    if (!file.path.empty() &&
        !plat::WriteFileAtomically(file.path, std::to_string(file.port) + "\n")) {
      std::fprintf(stderr, "kelvane-printer: %s: cannot write\n", file.path.c_str());
      return 1;
    }
  }
  g_server = &server;
  plat::OnStopRequest(StopServer<vprinter::TcpServer>);
  LogLine("printer: serving 127.0.0.1:" + std::to_string(server.port()) + ", output " +
          outputPath);
  if (control)
    LogLine("printer: commands on 127.0.0.1:" + std::to_string(server.controlPort()));
  server.Run();
  g_server = nullptr;
  LogLine("printer: stopped");
  return 0;
}
