// port_bench: how fast the port channel moves a job, next to dd moving the
// same bytes in the same block size, and how much processor a stalled port
// costs while the engine waits for it. Prints figures; asserts nothing.
//
//   port_bench [MiB]     (default 256)
//
// Sinks: the in-process virtual printer (unlimited rate), the real
// kelvane-printer over a sim: port (when built), and a plain file port.
// Single-threaded.
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/port_channel.h"
#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/profile.h"
#include "tests/support/child_process.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

constexpr DWORD kBlock = 2048;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

double CpuSeconds() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double Mbps(std::uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

// Sends `total` bytes to `portName` in 2048-byte blocks as the print thread
// does; returns MB/s, or a negative value when the port fails.
double SendThroughPort(const std::string& portName, std::uint64_t total) {
  {
    SpoolerLock lock;
    CopyField(g_szPortName, portName.c_str());
    g_nBytesSent = 0;
  }
  HANDLE port = INVALID_HANDLE_VALUE;
  if (!OpenPrinterPort(port)) {
    std::printf("  cannot open %s (error %u)\n", portName.c_str(), plat::GetLastError());
    return -1;
  }
  JobRecord job;
  job.txTimeout = 45000;
  job.dnsTimeout = 30000;
  static BYTE buffer[kBlock];
  for (DWORD i = 0; i < kBlock; ++i) buffer[i] = static_cast<BYTE>(i * 31);

  const auto start = Clock::now();
  std::uint64_t sent = 0;
  while (sent < total) {
    const BYTE* p = buffer;
    DWORD count = kBlock;
    DWORD last = 0;
    std::int32_t code = 0;
    if (!WritePortBlock(port, p, count, last, job, code)) {
      std::printf("  write failed with code %d after %llu bytes\n", code,
                  static_cast<unsigned long long>(sent));
      plat::CloseHandle(port);
      return -1;
    }
    SpoolerLock lock;  // the runner's per-block progress step
    g_nBytesSent += last;
    sent += kBlock;
  }
  const double secs = Seconds(start);
  plat::CloseHandle(port);
  return Mbps(sent, secs);
}

// dd bs=2048 from /dev/zero into `target`; MB/s or negative on failure.
double RunDd(const std::string& target, std::uint64_t total) {
  const std::string cmd = "dd if=/dev/zero of='" + target +
                          "' bs=2048 count=" + std::to_string(total / kBlock) +
                          " status=none";
  const auto start = Clock::now();
  const int rc = std::system(cmd.c_str());
  const double secs = Seconds(start);
  return rc == 0 ? Mbps(total, secs) : -1;
}

void PrintPair(const char* sink, double ours, double dd) {
  std::printf("%-28s port channel %9.1f MB/s", sink, ours);
  if (dd > 0) {
    std::printf("   dd %9.1f MB/s   ratio %.2f\n", dd, ours / dd);
  } else {
    std::printf("   dd: skipped\n");
  }
}

bool WaitForPath(const std::string& path, int ms) {
  for (int i = 0; i < ms / 10; ++i) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    ::usleep(10000);
  }
  return false;
}

// Processor time used while the engine waits out a 5-second stall of the
// port named `portName` (txTimeout 5000 ends it with 1121).
void MeasureStall(const char* what, const std::string& portName) {
  {
    SpoolerLock lock;
    CopyField(g_szPortName, portName.c_str());
  }
  HANDLE port = INVALID_HANDLE_VALUE;
  if (!OpenPrinterPort(port)) {
    std::printf("%-28s cannot open the port\n", what);
    return;
  }
  JobRecord job;
  job.txTimeout = 5000;
  static BYTE buffer[kBlock];
  // Fill whatever buffers lie between us and the printer first, so that
  // the measured call is all stall.
  std::int32_t code = 0;
  for (int i = 0; i < 100000; ++i) {
    const BYTE* p = buffer;
    DWORD count = kBlock;
    DWORD last = 0;
    JobRecord quick;
    quick.txTimeout = 300;
    if (!WritePortBlock(port, p, count, last, quick, code)) break;
  }
  const BYTE* p = buffer;
  DWORD count = kBlock;
  DWORD last = 0;
  const double cpu0 = CpuSeconds();
  const auto start = Clock::now();
  const bool ok = WritePortBlock(port, p, count, last, job, code);
  const double wall = Seconds(start);
  const double cpu = CpuSeconds() - cpu0;
  std::printf("%-28s stall of %.2f s (code %d%s): %.4f s of CPU\n", what, wall,
              ok ? 0 : code, ok ? ", not stalled" : "", cpu);
  plat::CloseHandle(port);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = 256;
  if (argc > 1) mib = std::strtoull(argv[1], nullptr, 10);
  if (mib == 0) mib = 1;
  const std::uint64_t total = mib * 1024 * 1024;
  ::signal(SIGPIPE, SIG_IGN);

  char tmpl[] = "/tmp/kelvane-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string home = tmpl;
  ::setenv("KELVANE_HOME", home.c_str(), 1);
  std::printf("port_bench: %llu MiB in %u-byte blocks (home %s)\n\n",
              static_cast<unsigned long long>(mib), kBlock, home.c_str());

  // In-process virtual printer at unlimited rate.
  {
    vprinter::VirtualPrinter printer;
    printer.SetKeepOutput(false);
    vprinter::InProcessPortOpener opener;
    opener.Attach("LPT1", printer);
    vprinter::ScopedPortOpener use(opener);
    const double ours = SendThroughPort("LPT1:", total);
    if (printer.totalAccepted() != total) std::printf("  (printer took %llu bytes!)\n",
        static_cast<unsigned long long>(printer.totalAccepted()));
    PrintPair("in-process printer", ours, -1);
    std::printf("%-28s (dd has no way into an in-process printer)\n", "");
  }

  // The real kelvane-printer over a sim: port.
#ifdef KELVANE_PRINTER_PATH
  {
    const std::string sock = home + "/printer.sock";
    kt::ChildProcess server;
    const bool started = server.Start({KELVANE_PRINTER_PATH, "--output", "/dev/null", sock},
                                      kt::InheritAllStreams());
    if (started && WaitForPath(sock, 5000)) {
      plat::WriteProfileString("ports", "LPT2", "sim:" + sock);
      const double ours = SendThroughPort("LPT2:", total);
      std::printf("%-28s port channel %9.1f MB/s   dd: skipped (socat is not installed, "
                  "and the printer speaks its own request protocol)\n",
                  "kelvane-printer (sim:)", ours);
    } else {
      std::printf("kelvane-printer (sim:)       skipped: the printer did not start\n");
    }
    server.Signal(SIGTERM);
    server.Wait();
  }
#else
  std::printf("kelvane-printer (sim:)       skipped: not built\n");
#endif

  // A plain file port, and dd into a plain file.
  {
    const std::string out = home + "/port-out.prn";
    const std::string ddOut = home + "/dd-out.prn";
    plat::WriteProfileString("ports", "LPT3", out);
    const double ours = SendThroughPort("LPT3:", total);
    const double dd = RunDd(ddOut, total);
    PrintPair("plain file", ours, dd);
    ::unlink(out.c_str());
    ::unlink(ddOut.c_str());
  }

  std::printf("\nCPU used while a port stalls (target well under 0.05 s):\n");
  {
    vprinter::VirtualPrinter printer;
    printer.SetKeepOutput(false);
    printer.SetState(vprinter::PrinterState::Stalled);
    vprinter::InProcessPortOpener opener;
    opener.Attach("LPT1", printer);
    vprinter::ScopedPortOpener use(opener);
    MeasureStall("in-process printer", "LPT1:");
  }
  {
    // A TCP printer that accepts the connection and then reads nothing.
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
        ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      plat::WriteProfileString("ports", "LPT4",
                               "socket://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
      MeasureStall("TCP printer (socket://)", "LPT4:");
    } else {
      std::printf("TCP printer (socket://)      skipped: no loopback listener\n");
    }
    if (listener >= 0) ::close(listener);
  }

  const std::string cleanup = "rm -rf '" + home + "'";
  [[maybe_unused]] int rc = std::system(cleanup.c_str());
  return 0;
}
