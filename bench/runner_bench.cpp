// Throughput of the print job runner against a plain copy in 2048-byte
// blocks on the same sink, and the processor time the print thread burns
// while a printer stays not selected. Prints figures; not run by ctest.
//
//   runner_bench [MiB [REPEATS]]      (default 256 MiB, best of 3)
//
// Sinks: the virtual printer in process, the same printer behind a "sim:"
// socket (served from this process by the kelvane-printer server code), and
// a plain file named by a [ports] entry. Baselines: `dd bs=2048` for the
// plain file, and the same read-2048/write loop through the port layer for
// every sink. Runs on the real clock.
// Main thread drives; the runner runs on the print thread.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "engine/print_job_runner.h"
#include "engine/print_thread.h"
#include "platform/files.h"
#include "platform/port_device.h"
#include "platform/profile.h"
#include "platform/registry.h"
#include "queue/settings_store.h"
#include "tests/support/child_process.h"
#include "tools/vprinter/in_process_port.h"
#include "tools/vprinter/sim_server.h"
#include "tools/vprinter/virtual_printer.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool MakeSpoolFile(const std::string& path, std::size_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk(1 << 20);
  unsigned x = 12345;
  for (auto& c : chunk) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  for (std::size_t done = 0; done < bytes; done += chunk.size()) {
    const std::size_t n = std::min(chunk.size(), bytes - done);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
  }
  return static_cast<bool>(out);
}

void Truncate(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
}

// Repetitions of every timed step; the best one is reported, so that other
// work on a shared machine spoils fewer figures.
int g_repeats = 3;

// Runs one print run on the print thread and returns its wall time.
double TimeRun(DWORD& exitCode) {
  const auto start = Clock::now();
  if (!StartPrintThread(ThreadPriority::Highest)) {
    std::fprintf(stderr, "could not start the print thread\n");
    std::exit(1);
  }
  while (!WaitForPrintRun(1000)) {
  }
  exitCode = LastPrintRunExitCode();
  return SecondsSince(start);
}

void UseManualJob(const std::string& spool, std::uintmax_t size,
                  const std::string& port) {
  WriteRegString("Port", port.c_str());
  SpoolerLock lock;
  g_bQueueMode = 0;
  CopyField(g_szSpoolFiles[0], spool.c_str());
  g_nCopies = 1;
  g_nFileCount = 1;
  g_nFileSize = static_cast<std::int32_t>(size);
}

void UseQueueJob(const std::string& queue, const std::string& spool,
                 const std::string& port) {
  std::ofstream(queue, std::ios::binary | std::ios::trunc)
      << "Bench\r\n" << port << "\r\n1\r\nRibbon\r\nYMCKO\r\n" << spool << "\r\n";
  SpoolerLock lock;
  g_bQueueMode = 1;
  CopyField(g_szQueueFile, queue.c_str());
}

// The baseline through the port layer: read 2048 bytes, write them, until
// the file ends, as dd does.
double TimeCopyLoop(const std::string& spool, const std::string& port) {
  const auto start = Clock::now();
  HANDLE in = plat::OpenFile(spool, plat::Access::Read, plat::ShareMode::None,
                             plat::Disposition::OpenExisting);
  HANDLE out = plat::OpenPort(port);
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "copy loop: cannot open %s or %s\n", spool.c_str(),
                 port.c_str());
    std::exit(1);
  }
  char block[2048];
  DWORD got = 0;
  while (plat::ReadFile(in, block, sizeof block, &got) && got > 0) {
    DWORD done = 0;
    while (done < got) {
      DWORD written = 0;
      plat::WriteFile(out, block + done, got - done, &written);
      done += written;
    }
  }
  plat::CloseHandle(in);
  plat::CloseHandle(out);
  return SecondsSince(start);
}

bool WaitForPath(const std::string& path, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct Sink {
  std::string name;
  std::string port;
  std::string file;  // plain file sink: its path (truncated before each run)
  vprinter::VirtualPrinter* printer = nullptr;
  vprinter::InProcessPortOpener* opener = nullptr;  // in-process only
};

// Bytes the sink holds so far; -1 for a printer in another process, which
// does not tell us.
long long Delivered(const Sink& sink) {
  if (!sink.file.empty()) {
    std::error_code ec;
    return static_cast<long long>(std::filesystem::file_size(sink.file, ec));
  }
  if (sink.printer) return static_cast<long long>(sink.printer->totalAccepted());
  return -1;
}

// A figure is only worth something when every byte arrived.
bool CheckDelivered(const Sink& sink, long long before, std::uintmax_t expected) {
  const long long after = Delivered(sink);
  if (after < 0) return true;
  const auto got = static_cast<std::uintmax_t>(after - before);
  if (got != expected) {
    std::printf("  !! the sink received %ju bytes, expected %ju\n", got, expected);
    return false;
  }
  return true;
}

void Report(const char* what, double seconds, double baseline, double mib) {
  std::printf("  %-34s %7.3f s  %8.1f MiB/s  ratio %.3f\n", what, seconds,
              mib / seconds, baseline / seconds);
}

void BenchSink(const Sink& sink, const std::string& master,
               const std::string& work, const std::string& queue,
               std::uintmax_t size) {
  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  plat::SetPortOpener(sink.opener);
  std::printf("%s (port %s)\n", sink.name.c_str(), sink.port.c_str());

  double loop = 1e30, dd = 1e30, manual = 1e30, queued = 1e30;
  bool manualOk = true, queueOk = true;
  for (int round = 0; round < g_repeats; ++round) {
    if (!sink.file.empty()) Truncate(sink.file);
    loop = std::min(loop, TimeCopyLoop(master, sink.port));
    if (!sink.file.empty()) {
      Truncate(sink.file);
      const auto start = Clock::now();
      const std::string cmd = "dd if='" + master + "' of='" + sink.file +
                              "' bs=2048 status=none";
      if (std::system(cmd.c_str()) == 0) dd = std::min(dd, SecondsSince(start));
    }

    if (!sink.file.empty()) Truncate(sink.file);
    UseManualJob(master, size, sink.port);
    long long before = Delivered(sink);
    DWORD code = 0;
    manual = std::min(manual, TimeRun(code));
    manualOk = manualOk && code == kExitNormal && CheckDelivered(sink, before, size);

    // Queue mode deletes the spool file at the end; the copy is made outside
    // the timed stretch. The prefix rewrite is one more pass over the file.
    std::filesystem::copy_file(master, work,
                               std::filesystem::copy_options::overwrite_existing);
    if (!sink.file.empty()) Truncate(sink.file);
    UseQueueJob(queue, work, sink.port);
    before = Delivered(sink);
    queued = std::min(queued, TimeRun(code));
    queueOk = queueOk && code == kExitNormal &&
              CheckDelivered(sink, before, size + sizeof JOB_PREFIX);
  }

  std::printf("  %-34s %7.3f s  %8.1f MiB/s\n", "copy loop bs=2048 (port layer)",
              loop, mib / loop);
  double baseline = loop;
  if (dd < 1e30) {
    std::printf("  %-34s %7.3f s  %8.1f MiB/s\n", "dd bs=2048", dd, mib / dd);
    baseline = dd;
  }
  Report(manualOk ? "runner, manual mode" : "runner, manual (FAILED)", manual,
         baseline, mib);
  Report(queueOk ? "runner, queue mode (with prefix)" : "runner, queue (FAILED)",
         queued, baseline, mib);
}

// Processor time while the printer stays not selected for `seconds`: the
// printer goes offline after the first bytes (armed by the caller), the
// not-selected time-out is far away, and only the stop request ends the
// write. The main thread sleeps meanwhile, so the process's time is the
// print thread's (plus an in-process printer's, where there is one).
void BenchNotSelected(const Sink& sink, const std::string& master,
                      std::uintmax_t size, int seconds,
                      const std::function<bool()>& offline) {
  plat::SetPortOpener(sink.opener);
  WriteRegDword("dnsTimeout", 3600000);
  UseManualJob(master, size, sink.port);
  if (!StartPrintThread(ThreadPriority::Normal)) return;
  // Let the run reach the stall before measuring.
  const auto armed = Clock::now();
  while (!offline() && SecondsSince(armed) < 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double cpu0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double wall = SecondsSince(start);
  {
    SpoolerLock lock;
    g_bAbortJob = 1;
  }
  while (!WaitForPrintRun(1000)) {
  }
  std::printf("not selected, %-28s %.2f s wall, %.4f s CPU (target < 0.05), exit %u\n",
              sink.name.c_str(), wall, cpu, LastPrintRunExitCode());
  WriteRegDword("dnsTimeout", kDefaultDnsTimeout);
}

void BenchNotSelectedHere(const Sink& sink, vprinter::VirtualPrinter& printer,
                          const std::string& master, std::uintmax_t size) {
  printer.SetStateAtTotalBytes(printer.totalAccepted() + 1000,
                               vprinter::PrinterState::NotSelected);
  BenchNotSelected(sink, master, size, 5, [&printer] {
    return printer.state() == vprinter::PrinterState::NotSelected;
  });
  printer.SetState(vprinter::PrinterState::Ready);
}

}  // namespace

int main(int argc, char** argv) {
  const std::uintmax_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  if (argc > 2) g_repeats = std::max(1, std::atoi(argv[2]));
  char dirTemplate[] = "/tmp/kelvane-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  const std::string dir = dirTemplate;
  setenv("KELVANE_HOME", dir.c_str(), 1);
  plat::RegCreateKey(SettingsKeyPath());
  WriteRegDword("dnsTimeout", kDefaultDnsTimeout);
  WriteRegDword("txTimeout", kDefaultTxTimeout);

  const std::string master = dir + "/master.prn";
  const std::string work = dir + "/work.prn";
  const std::string queue = dir + "/queue.txt";
  const std::uintmax_t size = mib * 1024 * 1024;
  if (!MakeSpoolFile(master, size)) return 1;
  std::printf("job of %ju MiB, 2048-byte blocks\n\n", mib);

  // In process.
  vprinter::VirtualPrinter local;
  local.SetKeepOutput(false);
  vprinter::InProcessPortOpener opener;
  opener.Attach("LPT1", local);

  // Behind a sim: socket.
  vprinter::VirtualPrinter served;
  served.SetKeepOutput(false);
  vprinter::SimServer server(served);
  std::string error;
  const std::string socketPath = dir + "/vp.sock";
  const bool simUp = server.Listen(socketPath, error);
  std::thread serverThread;
  if (simUp) {
    serverThread = std::thread([&server] { server.Run(); });
    plat::WriteProfileString("ports", "LPT3", "sim:" + socketPath);
  } else {
    std::printf("sim: server not available (%s)\n", error.c_str());
  }

  // A plain file.
  const std::string sinkFile = dir + "/sink.bin";
  Truncate(sinkFile);
  plat::WriteProfileString("ports", "LPT4", sinkFile);

  {
    SpoolerLock lock;
    g_hMainWnd = 0;
  }

  BenchSink({"virtual printer, in process", "LPT1:", "", &local, &opener},
            master, work, queue, size);
  if (simUp) {
    BenchSink({"virtual printer via sim:", "LPT3:", "", &served, nullptr}, master,
              work, queue, size);
  }
#ifdef KELVANE_PRINTER_PATH
  {
    // The real printer tool, as a person would run it beside the spooler.
    const std::string sock = dir + "/real.sock";
    const std::string script = dir + "/real.script";
    // The tool goes offline shortly after the throughput rounds' bytes.
    const std::uintmax_t offlineAt =
        static_cast<std::uintmax_t>(g_repeats) * (3 * size + sizeof JOB_PREFIX) + 1000;
    std::ofstream(script) << "after-bytes " << offlineAt << " offline\n";
    kt::ChildProcess tool;
    const bool started = tool.Start(
        {KELVANE_PRINTER_PATH, "--output", "/dev/null", "--script", script, sock},
        kt::InheritAllStreams());
    if (started && WaitForPath(sock, 5000)) {
      plat::WriteProfileString("ports", "LPT5", "sim:" + sock);
      const Sink real{"kelvane-printer via sim:", "LPT5:", "", nullptr, nullptr};
      BenchSink(real, master, work, queue, size);
      // Its processor time is its own; ours is the spooler's alone.
      std::fflush(stdout);
      BenchNotSelected(real, master, size, 5, [] { return true; });
    } else {
      std::printf("kelvane-printer via sim: skipped (the tool did not start)\n");
    }
    tool.Signal(SIGTERM);
    tool.Wait();
  }
#else
  std::printf("kelvane-printer via sim: skipped (not built)\n");
#endif
  BenchSink({"plain file via [ports]", "LPT4:", sinkFile, nullptr, nullptr},
            master, work, queue, size);
  std::printf("\n");
  BenchNotSelectedHere({"in process", "LPT1:", "", &local, &opener}, local,
                       master, size);
  if (simUp) {
    BenchNotSelectedHere({"sim: served in process", "LPT3:", "", &served, nullptr},
                         served, master, size);
  }


  ShutdownPrintThread();
  plat::SetPortOpener(nullptr);
  if (simUp) {
    server.Stop();
    serverThread.join();
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
