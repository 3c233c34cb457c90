// bench_report: one table of the figures that matter on this machine. It
// runs port_bench and runner_bench and reads their output, and measures the
// real programs itself: kelvane-headless idling (processor time and
// resident memory from /proc), the time from a start to the first byte at
// kelvane-printer, the ink query round trip through kelvane-driver, the
// desktop spooler's memory under Xvfb when it is built, the time from the
// last byte at the printer until kelvane-headless has gone, and, side by
// side in the same run, how long a raw job takes from its submission to its
// last byte at a loopback TCP printer through the system's print service (a
// private cupsd, `lp -o raw` on a queue with the socket backend) and
// through Kelvane (`kelvane-driver submit` with LPT1: mapped to the same
// printer, the spooler started by the driver).
//
//   bench_report --build DIR [--mib N] [--rounds N] [--out FILE]
//   bench_report --build DIR --side-by-side-only [--rounds N]
//   bench_report --build DIR --start-up-only
//
// DIR is a build tree with the benchmarks and the programs. The table goes
// to standard output, and to FILE as Markdown when given.
// Main thread; the loopback printer reads on a thread of its own. The
// programs run as child processes in a temporary home.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "platform/single_instance.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Row {
  std::string what;
  std::string result;
  std::string baseline;
  std::string ratio;
  std::string source;
};

std::string Format(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// A child process; its standard output can be captured into a file.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv, const std::string& out = "/dev/null") {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);  // so that stopping it stops what it started too
      int in = ::open("/dev/null", O_RDONLY);
      int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = ::open("/dev/null", O_WRONLY);
      ::dup2(in, 0);
      ::dup2(o, 1);
      ::dup2(err, 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !done_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // The exit code, or -1 when it has not ended within `limit`.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (Clock::now() > deadline) return -1;
      std::this_thread::sleep_for(2ms);
    }
    return code_;
  }
  void Stop() {
    if (done_) return;
    ::kill(-pid_, SIGTERM);  // the whole group: xvfb-run leaves its X server behind
    if (Wait(5000ms) == -1) {
      ::kill(-pid_, SIGKILL);
      Wait(5000ms);
    }
  }

 private:
  pid_t pid_ = -1;
  bool done_ = false;
  int code_ = -1;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// utime + stime of a process, in seconds; negative when it is gone.
double ProcessCpuSeconds(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  // Fields after the name start at 3 (state); utime is 14, stime 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// VmRSS in KiB; negative when unknown.
double ResidentKiB(pid_t pid) {
  std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6));
  return -1;
}

pid_t ParentOf(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string state;
  pid_t parent = 0;
  fields >> state >> parent;
  return parent;
}

// A process running `exe` below `ancestor`, or 0.
pid_t FindDescendant(pid_t ancestor, const std::string& exe) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  pid_t found = 0;
  while (dirent* entry = ::readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    char target[4096] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    if (::readlink(link.c_str(), target, sizeof target - 1) <= 0 || exe != target) continue;
    for (pid_t p = pid; p > 1; p = ParentOf(p)) {
      if (p == ancestor) {
        found = pid;
        break;
      }
    }
    if (found) break;
  }
  ::closedir(proc);
  return found;
}

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string CpuModel() {
  std::istringstream info(ReadText("/proc/cpuinfo"));
  std::string line;
  while (std::getline(info, line)) {
    if (line.rfind("model name", 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

// --- The existing benchmarks, run and read -------------------------------

struct RunnerFigures {
  // sink -> label -> {MiB/s, ratio against the sink's baseline}
  std::map<std::string, std::map<std::string, std::pair<double, double>>> lines;
  std::map<std::string, std::pair<double, double>> notSelected;  // wall s, CPU s
};

RunnerFigures ReadRunnerBench(const std::string& text) {
  RunnerFigures figures;
  const std::regex sink(R"(^(\S.*) \(port [^)]*\)$)");
  const std::regex line(R"(^  (.+?)\s+([0-9.]+) s\s+([0-9.]+) MiB/s(?:\s+ratio ([0-9.]+))?)");
  const std::regex idle(R"(^not selected, (.+?):?\s+([0-9.]+) s wall, ([0-9.]+) s CPU)");
  std::istringstream in(text);
  std::string l, current;
  std::smatch m;
  while (std::getline(in, l)) {
    if (std::regex_match(l, m, sink)) {
      current = m[1];
    } else if (std::regex_search(l, m, line) && !current.empty()) {
      figures.lines[current][m[1]] = {std::stod(m[3]), m[4].matched ? std::stod(m[4]) : -1};
    } else if (std::regex_search(l, m, idle)) {
      figures.notSelected[m[1]] = {std::stod(m[2]), std::stod(m[3])};
    }
  }
  return figures;
}

struct PortFigures {
  std::map<std::string, double> channel;                     // sink -> MB/s
  std::map<std::string, std::pair<double, double>> dd;       // sink -> dd MB/s, ratio
  std::map<std::string, std::pair<double, double>> stalls;   // sink -> wall s, CPU s
};

PortFigures ReadPortBench(const std::string& text) {
  PortFigures figures;
  const std::regex channel(R"(^(\S.*?)\s+port channel\s+([0-9.]+) MB/s(?:\s+dd\s+([0-9.]+) MB/s\s+ratio ([0-9.]+))?)");
  const std::regex stall(R"(^(\S.*?)\s+stall of ([0-9.]+) s .*: ([0-9.]+) s of CPU)");
  std::istringstream in(text);
  std::string l;
  std::smatch m;
  while (std::getline(in, l)) {
    if (std::regex_search(l, m, channel)) {
      figures.channel[m[1]] = std::stod(m[2]);
      if (m[3].matched) figures.dd[m[1]] = {std::stod(m[3]), std::stod(m[4])};
    } else if (std::regex_search(l, m, stall)) {
      figures.stalls[m[1]] = {std::stod(m[2]), std::stod(m[3])};
    }
  }
  return figures;
}

std::string RunCapture(const std::vector<std::string>& argv, const std::string& scratch) {
  const std::string out = scratch + "/capture.txt";
  Child child(argv, out);
  if (child.Wait(240000ms) != 0) std::fprintf(stderr, "bench_report: %s failed\n", argv[0].c_str());
  return ReadText(out);
}

// --- The real programs ---------------------------------------------------

struct Programs {
  std::string headless, driver, printer, desktop;
};

class Home {
 public:
  Home() {
    char dir[] = "/tmp/kelvane-report-XXXXXX";
    if (!::mkdtemp(dir)) std::exit(1);
    path_ = dir;
    ::setenv("KELVANE_HOME", path_.c_str(), 1);
  }
  ~Home() {
    const std::string command = "rm -rf '" + path_ + "'";
    [[maybe_unused]] int rc = std::system(command.c_str());
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

bool SpoolerEnds(std::chrono::milliseconds limit) {
  return WaitFor([] { return !plat::IsSpoolerRunning(); }, limit);
}

// Median milliseconds from a start to the first new byte at the printer
// (its output file grows), over `rounds` rounds: either the driver queues a
// job and starts the spooler, or the job is queued first and the spooler is
// started with "-f". Each job closes its spooler at its end.
double TimeToFirstByte(const Programs& p, const Home& home, const std::string& printed,
                       bool driverStarts, int rounds) {
  const std::string job = home.File("job.bin");
  {
    std::ofstream out(job, std::ios::binary);
    out << std::string(64 * 1024, 'k');
  }
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const long long before = FileSize(printed);
    Clock::time_point start;
    std::unique_ptr<Child> child;
    if (driverStarts) {
      start = Clock::now();
      child = std::make_unique<Child>(std::vector<std::string>{
          p.driver, "submit", "--spooler", p.headless, job});
    } else {
      Child queue({p.driver, "submit", "--no-start", job});
      if (queue.Wait(20000ms) != 0) return -1;
      start = Clock::now();
      child = std::make_unique<Child>(
          std::vector<std::string>{p.headless, "-f", home.File("queue.txt")});
    }
    if (!WaitFor([&] { return FileSize(printed) > before; }, 20000ms)) return -1;
    times.push_back(MsSince(start));
    child->Wait(20000ms);
    // The job's end closes the spooler; the next round starts afresh.
    if (!SpoolerEnds(20000ms)) return -1;
  }
  return Median(times);
}

struct SpoolerFigures {
  double idleCpuPerSecond = -1;
  double idleSeconds = 0;
  double rssKiB = -1;
  double inkMs = -1;
  int inkResult = -1;
  std::string inkLevels;  // as kelvane-driver ink reports them
  double firstByteQueueMs = -1;
  double firstByteDriverMs = -1;
  double desktopRssKiB = -1;
  std::string desktopNote;
};

SpoolerFigures MeasureSpooler(const Programs& p) {
  SpoolerFigures f;
  Home home;
  ::unsetenv("KELVANE_TIMER_MS");  // the real 5-second tick
  {
    Child install({p.driver, "install"});
    if (install.Wait(20000ms) != 0) return f;
  }
  const std::string socket = home.File("run/printer.sock");
  const std::string printed = home.File("printed.prn");
  Child printer({p.printer, "--output", printed, socket});
  if (!WaitFor([&] { return Exists(socket); }, 5000ms)) return f;
  { std::ofstream touch(printed, std::ios::app); }

  f.firstByteQueueMs = TimeToFirstByte(p, home, printed, false, 5);
  f.firstByteDriverMs = TimeToFirstByte(p, home, printed, true, 5);

  // Idle in manual mode: the scheduler ticks, nothing prints. Started with
  // "-i" so that it knows the printer's port for the ink queries below.
  {
    Child spooler({p.headless, "-i", "LPT1:"});
    std::this_thread::sleep_for(1500ms);  // past the start-up and its ink query
    const double cpu0 = ProcessCpuSeconds(spooler.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(5000ms);
    const double cpu1 = ProcessCpuSeconds(spooler.pid());
    f.idleSeconds = MsSince(start) / 1000.0;
    if (cpu0 >= 0 && cpu1 >= 0) f.idleCpuPerSecond = (cpu1 - cpu0) / f.idleSeconds;
    f.rssKiB = ResidentKiB(spooler.pid());

    // The ink query through the driver, answered by the spooler.
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
      const std::string out = home.File("ink.txt");
      const auto t0 = Clock::now();
      Child ink({p.driver, "command", "5"}, out);
      if (ink.Wait(20000ms) != 0) break;
      times.push_back(MsSince(t0));
      f.inkResult = std::atoi(ReadText(out).c_str());
    }
    f.inkMs = Median(times);
    Child levels({p.driver, "ink"}, home.File("levels.txt"));
    levels.Wait(5000ms);
    f.inkLevels = ReadText(home.File("levels.txt"));
    spooler.Stop();
  }

  // The desktop spooler's memory, when it is built and Xvfb is at hand.
  if (p.desktop.empty() || !Exists(p.desktop)) {
    f.desktopNote = "not built";
  } else if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
    f.desktopNote = "xvfb-run not installed";
  } else {
    SpoolerEnds(5000ms);
    Child xvfb({"xvfb-run", "-a", p.desktop});
    pid_t desktop = 0;
    WaitFor([&] { return (desktop = FindDescendant(xvfb.pid(), p.desktop)) != 0; }, 15000ms);
    if (desktop) {
      std::this_thread::sleep_for(3000ms);  // windows shown, first ticks done
      f.desktopRssKiB = ResidentKiB(desktop);
      ::kill(desktop, SIGTERM);
    } else {
      f.desktopNote = "did not start under Xvfb";
    }
    if (xvfb.Wait(10000ms) == -1) xvfb.Stop();
  }
  printer.Stop();
  return f;
}

// --- Side by side with the print service ---------------------------------

// A raw TCP printer on the loopback for both sides: it reads whatever
// arrives and notes when the byte that completes the expected count came.
class LoopbackPrinter {
 public:
  LoopbackPrinter() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 8) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
      std::fprintf(stderr, "bench_report: no loopback printer\n");
      std::exit(1);
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~LoopbackPrinter() {
    [[maybe_unused]] ssize_t n = ::write(wake_[1], "x", 1);
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::close(listen_);
  }
  LoopbackPrinter(const LoopbackPrinter&) = delete;
  LoopbackPrinter& operator=(const LoopbackPrinter&) = delete;

  std::uint16_t port() const { return port_; }

  // Counts from zero towards `bytes` for the next job.
  void Expect(std::uint64_t bytes) {
    std::lock_guard<std::mutex> g(mutex_);
    expected_ = bytes;
    received_ = 0;
    last_.reset();
    closed_.reset();
  }
  // How long after the sender's end the printer closes its side (a card
  // printer closes when the card is out).
  void SetCloseTime(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(mutex_);
    closeDelay_ = delay;
  }
  // When the printer last closed a connection, if it did since Expect.
  std::optional<Clock::time_point> LastClose() {
    std::lock_guard<std::mutex> g(mutex_);
    return closed_;
  }
  // When the expected count was reached; nothing when it is not within `limit`.
  std::optional<Clock::time_point> WaitForLastByte(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(mutex_);
    cv_.wait_for(g, limit, [this] { return last_.has_value(); });
    return last_;
  }
  // Until the sender has let go of every connection.
  bool WaitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> g(mutex_);
    return cv_.wait_for(g, limit, [this] { return open_ == 0; });
  }

 private:
  void Run() {
    std::vector<int> connections;
    // Connections whose sender has ended, closed by the printer when due.
    std::vector<std::pair<int, Clock::time_point>> closing;
    std::vector<char> buffer(1 << 20);
    for (;;) {
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listen_, POLLIN, 0}};
      for (int c : connections) fds.push_back({c, POLLIN, 0});
      int timeout = -1;
      for (const auto& [fd, due] : closing) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
        timeout = std::max<int>(0, timeout < 0 ? static_cast<int>(left.count())
                                               : std::min<int>(timeout, static_cast<int>(left.count())));
      }
      if (::poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents) break;
      for (auto it = closing.begin(); it != closing.end();) {
        if (Clock::now() < it->second) {
          ++it;
          continue;
        }
        ::close(it->first);
        std::lock_guard<std::mutex> g(mutex_);
        closed_ = Clock::now();
        --open_;
        cv_.notify_all();
        it = closing.erase(it);
      }
      if (fds[1].revents & POLLIN) {
        const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
          connections.push_back(c);
          std::lock_guard<std::mutex> g(mutex_);
          ++open_;
        }
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        std::lock_guard<std::mutex> g(mutex_);
        if (n > 0) {
          received_ += static_cast<std::uint64_t>(n);
          if (!last_ && expected_ > 0 && received_ >= expected_) {
            last_ = Clock::now();
            cv_.notify_all();
          }
          continue;
        }
        // The sender ended its side (the socket backend and Kelvane both
        // wait for the printer's close before they call the job done) or
        // the connection broke: the printer closes after its close time.
        closing.emplace_back(fds[i].fd, Clock::now() + closeDelay_);
        connections.erase(std::find(connections.begin(), connections.end(), fds[i].fd));
      }
    }
    for (int c : connections) ::close(c);
    for (const auto& pending : closing) ::close(pending.first);
  }

  int listen_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;  // guards expected_, received_, last_, open_
  std::condition_variable cv_;
  std::uint64_t expected_ = 0;
  std::uint64_t received_ = 0;
  std::optional<Clock::time_point> last_;
  std::optional<Clock::time_point> closed_;
  int open_ = 0;
  std::chrono::milliseconds closeDelay_{0};
};

std::string FindTool(const std::string& name, const std::string& fallback) {
  const std::string command = "command -v " + name + " 2>/dev/null";
  std::string found;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[4096] = {};
    if (std::fgets(line, sizeof line, pipe)) found = line;
    ::pclose(pipe);
  }
  while (!found.empty() && (found.back() == '\n' || found.back() == '\r')) found.pop_back();
  if (found.empty() && ::access(fallback.c_str(), X_OK) == 0) found = fallback;
  return found;
}

// The system's print service, private to this run: a cupsd of our own on a
// Unix socket in a temporary directory (the machine's print service is not
// touched) with one raw queue on the loopback printer.
class PrintService {
 public:
  explicit PrintService(std::uint16_t printerPort) {
    const std::string cupsd = FindTool("cupsd", "/usr/sbin/cupsd");
    const std::string lpadmin = FindTool("lpadmin", "/usr/sbin/lpadmin");
    lp_ = FindTool("lp", "/usr/bin/lp");
    if (cupsd.empty() || lpadmin.empty() || lp_.empty()) {
      note_ = "n/a (cupsd, lpadmin or lp not installed)";
      return;
    }
    if (!Exists("/usr/lib/cups/backend/socket")) {
      note_ = "n/a (no socket backend: Debian package cups)";
      return;
    }
    char dir[] = "/tmp/kelvane-report-cups-XXXXXX";
    if (!::mkdtemp(dir)) {
      note_ = "n/a (no temporary directory)";
      return;
    }
    work_ = dir;
    // cupsd refuses to run its helpers as root and reaches its files as
    // the user it runs them as.
    ::chmod(work_.c_str(), 0755);
    std::string userLines;
    const passwd* lp = ::geteuid() == 0 ? ::getpwnam("lp") : nullptr;
    for (const char* sub : {"spool", "cache", "state", "log", "tmp"}) {
      const std::string path = work_ + "/" + sub;
      ::mkdir(path.c_str(), 0755);
      if (lp) [[maybe_unused]] int rc = ::chown(path.c_str(), lp->pw_uid, lp->pw_gid);
    }
    if (lp) userLines = "User lp\nGroup lp\n";
    {
      std::ofstream conf(work_ + "/cupsd.conf");
      conf << "Listen " << work_ << "/cups.sock\nLogLevel warn\nBrowsing Off\n"
           << "WebInterface No\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
           << "<Location /admin>\n  Order allow,deny\n  Allow all\n</Location>\n"
           << "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
      std::ofstream files(work_ + "/cups-files.conf");
      files << "ServerRoot " << work_ << "\nRequestRoot " << work_ << "/spool\nCacheDir "
            << work_ << "/cache\nStateDir " << work_ << "/state\nTempDir " << work_
            << "/tmp\nErrorLog " << work_ << "/log/error_log\nAccessLog " << work_
            << "/log/access_log\nPageLog " << work_ << "/log/page_log\nPrintcap " << work_
            << "/printcap\nSystemGroup root\n"
            << userLines;
    }
    cupsd_ = std::make_unique<Child>(std::vector<std::string>{
        cupsd, "-f", "-c", work_ + "/cupsd.conf", "-s", work_ + "/cups-files.conf"});
    const std::string socket = work_ + "/cups.sock";
    if (!WaitFor([&] { return Exists(socket); }, 10000ms)) {
      note_ = "n/a (the private cupsd did not start)";
      return;
    }
    ::setenv("CUPS_SERVER", socket.c_str(), 1);
    Child add({lpadmin, "-p", kQueue, "-v",
               "socket://127.0.0.1:" + std::to_string(printerPort), "-E"});
    if (add.Wait(20000ms) != 0) {
      note_ = "n/a (lpadmin could not add the queue)";
      return;
    }
    ready_ = true;
  }
  ~PrintService() {
    if (cupsd_) cupsd_->Stop();
    ::unsetenv("CUPS_SERVER");
    if (!work_.empty()) {
      [[maybe_unused]] int rc = std::system(("rm -rf '" + work_ + "'").c_str());
    }
  }
  bool ready() const { return ready_; }
  const std::string& note() const { return note_; }
  std::vector<std::string> SubmitCommand(const std::string& file) const {
    return {lp_, "-d", kQueue, "-o", "raw", file};
  }

 private:
  static constexpr const char* kQueue = "KelvaneBenchRaw";
  std::string lp_;
  std::string work_;
  std::string note_;
  bool ready_ = false;
  std::unique_ptr<Child> cupsd_;
};

struct MinMax {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Min() const { return values.empty() ? -1 : *std::min_element(values.begin(), values.end()); }
  double Max() const { return values.empty() ? -1 : *std::max_element(values.begin(), values.end()); }
  double Mid() const { return Median(values); }
};

struct SideBySideRow {
  std::string job;
  MinMax service, kelvane, ratio;  // seconds, seconds, service / Kelvane per pair
  MinMax dd, kelvaneOverDd;        // dd bs=2048 to the printer, where measured
};

// One job's end with a printer that closes its side `printerCloseMs`
// after the job, in milliseconds from the last byte at the printer.
struct JobEnd {
  int printerCloseMs = 0;
  MinMax lastToClose;  // -> the printer closed its side
  MinMax lastToGone;   // -> kelvane-headless gone
  MinMax closeToGone;  // the spooler's own part, after the printer's close
  std::string note;
};

struct SideBySide {
  std::vector<SideBySideRow> rows;
  std::string serviceNote;
  int rounds = 0;
  std::vector<JobEnd> ends;
};

// Seconds from the start of `argv` until `bytes` have arrived at `printer`;
// negative when they do not come within a minute.
double TimeToLastByte(LoopbackPrinter& printer, const std::vector<std::string>& argv,
                      std::uint64_t bytes) {
  printer.Expect(bytes);
  const auto start = Clock::now();
  Child submit(argv);
  const auto last = printer.WaitForLastByte(60000ms);
  submit.Wait(60000ms);
  if (!last) return -1;
  return std::chrono::duration<double>(*last - start).count();
}

void WriteJobFile(const std::string& path, std::size_t bytes) {
  std::string data(bytes, '\0');
  std::uint32_t x = 2463534242u;
  for (char& c : data) {  // not compressible, not all one byte
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

SideBySide MeasureSideBySide(const Programs& p, int rounds) {
  SideBySide result;
  result.rounds = rounds;
  LoopbackPrinter printer;
  Home home;
  {
    Child install({p.driver, "install"});
    if (install.Wait(20000ms) != 0) return result;
  }
  const std::string target = "socket://127.0.0.1:" + std::to_string(printer.port());
  if (!plat::WriteProfileString("ports", "LPT1:", target)) return result;
  PrintService service(printer.port());
  result.serviceNote = service.note();

  // Each side is a way to get the same bytes to the printer; it returns
  // the seconds from its first submission to the last byte, negative when
  // they did not come. They take turns, each going first in its turn, so
  // that whatever else loads the machine falls on all alike; one run each
  // before the counted ones is not counted: the first job of a fresh setup
  // pays for things done once (cupsd's first job, Kelvane's default
  // settings written to the registry), and a file fresh in the cache.
  auto measure = [&](SideBySideRow& row, const std::function<double()>& runService,
                     const std::function<double()>& runKelvane,
                     const std::function<double()>& runDd) {
    std::vector<std::function<double()>> sides = {runService, runKelvane};
    if (runDd) sides.push_back(runDd);
    for (auto& side : sides) side();
    for (int i = 0; i < rounds; ++i) {
      std::vector<double> seconds(sides.size(), -1);
      for (std::size_t k = 0; k < sides.size(); ++k) {
        const std::size_t side = (static_cast<std::size_t>(i) + k) % sides.size();
        seconds[side] = sides[side]();
      }
      const double serviceSeconds = seconds[0], kelvaneSeconds = seconds[1];
      std::fprintf(stderr, "bench_report:   service %.3f s, Kelvane %.3f s", serviceSeconds,
                   kelvaneSeconds);
      if (serviceSeconds >= 0) row.service.Add(serviceSeconds);
      if (kelvaneSeconds >= 0) row.kelvane.Add(kelvaneSeconds);
      if (serviceSeconds > 0 && kelvaneSeconds > 0) row.ratio.Add(serviceSeconds / kelvaneSeconds);
      if (runDd) {
        const double ddSeconds = seconds[2];
        std::fprintf(stderr, ", dd %.3f s", ddSeconds);
        if (ddSeconds >= 0) row.dd.Add(ddSeconds);
        if (ddSeconds > 0 && kelvaneSeconds > 0) row.kelvaneOverDd.Add(kelvaneSeconds / ddSeconds);
      }
      std::fprintf(stderr, "\n");
    }
  };

  const std::string bash = FindTool("bash", "/bin/bash");
  const struct {
    const char* label;
    std::size_t bytes;
    bool dd;  // dd bs=2048 straight to the printer too: the copy's own speed
  } sizes[] = {{"64 KiB", 64u << 10, false}, {"1 MiB", 1u << 20, false},
               {"64 MiB", 64u << 20, true}};
  for (const auto& size : sizes) {
    SideBySideRow row;
    row.job = size.label;
    const std::string job = home.File("job.bin");
    WriteJobFile(job, size.bytes);
    std::fprintf(stderr, "bench_report: side by side, %s...\n", size.label);
    auto runService = [&] {
      if (!service.ready()) return -1.0;
      const double seconds = TimeToLastByte(printer, service.SubmitCommand(job), size.bytes);
      printer.WaitUntilIdle(60000ms);  // the backend has finished the job
      return seconds;
    };
    auto runKelvane = [&] {
      // The job prefix comes first at the printer.
      const double seconds = TimeToLastByte(
          printer, {p.driver, "submit", "--spooler", p.headless, job}, size.bytes + 6);
      SpoolerEnds(30000ms);  // the next submission starts a spooler again
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    // bash opens the connection (/dev/tcp) and dd copies into it.
    auto runDd = [&] {
      const double seconds = TimeToLastByte(
          printer,
          {bash, "-c",
           "exec dd if='" + job + "' bs=2048 status=none >/dev/tcp/127.0.0.1/" +
               std::to_string(printer.port())},
          size.bytes);
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    measure(row, runService, runKelvane,
            size.dd && !bash.empty() ? std::function<double()>(runDd) : nullptr);
    result.rows.push_back(row);
  }

  // A batch: 100 small jobs submitted one after the other, each submission
  // returning before the next starts, timed from the first submission to
  // the batch's last byte at the printer.
  {
    constexpr int kJobs = 100;
    constexpr std::size_t kBytes = 8u << 10;
    SideBySideRow row;
    row.job = std::to_string(kJobs) + " jobs of 8 KiB, back to back";
    const std::string job = home.File("batch.bin");
    WriteJobFile(job, kBytes);
    std::fprintf(stderr, "bench_report: side by side, %s...\n", row.job.c_str());
    auto runBatch = [&](const std::vector<std::string>& argv, std::uint64_t bytesPerJob) {
      printer.Expect(bytesPerJob * kJobs);
      const auto start = Clock::now();
      for (int j = 0; j < kJobs; ++j) {
        Child submit(argv);
        if (submit.Wait(60000ms) != 0) return -1.0;
      }
      const auto last = printer.WaitForLastByte(120000ms);
      if (!last) return -1.0;
      return std::chrono::duration<double>(*last - start).count();
    };
    auto runService = [&] {
      if (!service.ready()) return -1.0;
      const double seconds = runBatch(service.SubmitCommand(job), kBytes);
      printer.WaitUntilIdle(60000ms);
      return seconds;
    };
    auto runKelvane = [&] {
      const double seconds =
          runBatch({p.driver, "submit", "--spooler", p.headless, job}, kBytes + 6);
      SpoolerEnds(30000ms);
      printer.WaitUntilIdle(10000ms);
      return seconds;
    };
    measure(row, runService, runKelvane, nullptr);
    result.rows.push_back(row);
  }

  // The close: kelvane-headless started by us, so that its end is its own
  // exit and not a marker. The job is small; only the end is timed. The job
  // is done once the printer has closed its side after the whole job: the
  // wait for that close is timed against the printer's own close time,
  // which a card printer spends printing the card.
  WriteJobFile(home.File("job.bin"), 64u << 10);
  for (const int closeMs : {0, 100}) {
    std::fprintf(stderr, "bench_report: last byte to spooler gone, printer closing after %d ms...\n",
                 closeMs);
    printer.SetCloseTime(std::chrono::milliseconds(closeMs));
    JobEnd end;
    end.printerCloseMs = closeMs;
    for (int i = 0; i < rounds; ++i) {
      Child queue({p.driver, "submit", "--no-start", home.File("job.bin")});
      if (queue.Wait(20000ms) != 0) break;
      printer.Expect((64u << 10) + 6);
      Child spooler({p.headless, "-f", home.File("queue.txt")});
      const auto last = printer.WaitForLastByte(30000ms);
      if (!last) {
        end.note = "n/a (the job did not arrive)";
        break;
      }
      if (spooler.Wait(30000ms) == -1) {
        end.note = "n/a (the spooler did not close within 30 s)";
        break;
      }
      const auto gone = Clock::now();
      printer.WaitUntilIdle(10000ms);
      const auto closed = printer.LastClose();
      if (!closed) {
        end.note = "n/a (the printer did not close)";
        break;
      }
      end.lastToClose.Add(std::chrono::duration<double, std::milli>(*closed - *last).count());
      end.lastToGone.Add(std::chrono::duration<double, std::milli>(gone - *last).count());
      end.closeToGone.Add(std::chrono::duration<double, std::milli>(gone - *closed).count());
    }
    result.ends.push_back(end);
  }
  printer.SetCloseTime(0ms);
  return result;
}

// --- Start-up ------------------------------------------------------------

// One program's start: wall and processor time, in ms, medians over runs.
struct StartUp {
  std::string what;
  MinMax wall, cpu;
};

// Runs `argv` to its end with nothing on its standard streams; false when
// it does not exit 0. posix_spawn, so that the child's processor time is
// its own and not that of a copy of this process before its exec.
bool TimeOneStart(const std::vector<std::string>& argv, double& wallMs, double& cpuMs) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : {0, 1, 2})
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  wallMs = MsSince(start);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void RemoveQueuedJobs(const Home& home) {
  ::unlink(home.File("queue.txt").c_str());
  const std::string spool = home.File("spool");
  if (DIR* dir = ::opendir(spool.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ::unlink((spool + "/" + entry->d_name).c_str());
    ::closedir(dir);
  }
}

// The programs' start-up against an empty program's: kelvane-headless on
// an empty queue (it starts, finds nothing to print and ends) and
// kelvane-driver queueing a 64 KiB job without starting the spooler, each
// from its start until it has gone. The programs take turns, each going
// first in its turn, so that the machine's other work falls on all alike.
std::vector<StartUp> MeasureStartUps(const Programs& p, const std::string& floorProgram,
                                     int runs) {
  Home home;
  {
    Child install({p.driver, "install"});
    if (install.Wait(20000ms) != 0) return {};
  }
  const std::string emptyQueue = home.File("empty-queue.txt");
  { std::ofstream touch(emptyQueue); }
  const std::string job = home.File("job.bin");
  WriteJobFile(job, 64u << 10);
  struct Program {
    std::string what;
    std::vector<std::string> argv;
    bool queues;  // leaves a job behind, removed before the next run
  };
  const std::vector<Program> programs = {
      {"empty C++ program (the floor)", {floorProgram}, false},
      {"kelvane-headless -f on an empty queue", {p.headless, "-f", emptyQueue}, false},
      {"kelvane-driver submit --no-start, 64 KiB", {p.driver, "submit", "--no-start", job}, true}};
  std::vector<StartUp> results(programs.size());
  for (std::size_t k = 0; k < programs.size(); ++k) results[k].what = programs[k].what;
  // Not counted: the files and the programs come into the cache.
  for (const Program& program : programs) {
    double wall = 0, cpu = 0;
    TimeOneStart(program.argv, wall, cpu);
    if (program.queues) RemoveQueuedJobs(home);
  }
  for (int i = 0; i < runs; ++i) {
    for (std::size_t k = 0; k < programs.size(); ++k) {
      const std::size_t which = (static_cast<std::size_t>(i) + k) % programs.size();
      double wall = 0, cpu = 0;
      if (TimeOneStart(programs[which].argv, wall, cpu)) {
        results[which].wall.Add(wall);
        results[which].cpu.Add(cpu);
      }
      if (programs[which].queues) RemoveQueuedJobs(home);
    }
  }
  return results;
}

// --- The table -----------------------------------------------------------

std::string Mib(double value) { return value < 0 ? "n/a" : Format("%.1f MiB/s", value); }
std::string Ratio(double value) { return value < 0 ? "" : Format("%.2f", value); }
std::string CpuPerSecond(double cpu, double wall) {
  return wall > 0 ? Format("%.4f CPU s/s", cpu / wall) : "n/a";
}

std::string Range(const MinMax& m, const char* format, const char* unit) {
  if (m.values.empty()) return "n/a";
  return Format(format, m.Min()) + "-" + Format(format, m.Max()) + unit + " (median " +
         Format(format, m.Mid()) + ")";
}

std::string SideBySideTable(const SideBySide& s) {
  std::string out =
      "| Job | Print service | Kelvane | Ratio (service / Kelvane) | dd bs=2048 | Kelvane / dd |\n";
  out += "| --- | --- | --- | --- | --- | --- |\n";
  for (const SideBySideRow& r : s.rows) {
    out += "| " + r.job + " | " +
           (r.service.values.empty() && !s.serviceNote.empty() ? s.serviceNote
                                                               : Range(r.service, "%.3f", " s")) +
           " | " + Range(r.kelvane, "%.3f", " s") + " | " +
           (r.ratio.values.empty() ? std::string("") : Range(r.ratio, "%.2f", "")) + " | " +
           (r.dd.values.empty() ? std::string("") : Range(r.dd, "%.3f", " s")) + " | " +
           (r.kelvaneOverDd.values.empty() ? std::string("") : Range(r.kelvaneOverDd, "%.2f", "")) +
           " |\n";
  }
  return out;
}

std::string JobEndTable(const SideBySide& s) {
  std::string text =
      "| Printer's close time | Last byte to printer's close | Last byte to spooler gone | "
      "After the printer's close | Gone / close (medians) |\n| --- | --- | --- | --- | --- |\n";
  for (const JobEnd& end : s.ends) {
    const std::string ratio = end.printerCloseMs > 0 && end.lastToClose.Mid() > 0
                                  ? Format("%.2f", end.lastToGone.Mid() / end.lastToClose.Mid())
                                  : "";
    text += "| " + std::to_string(end.printerCloseMs) + " ms | " +
            (end.note.empty() ? Range(end.lastToClose, "%.1f", " ms") : end.note) + " | " +
            Range(end.lastToGone, "%.1f", " ms") + " | " + Range(end.closeToGone, "%.1f", " ms") +
            " | " + ratio + " |\n";
  }
  return text;
}

// The start-up rows: each program against the first, the empty program.
std::vector<Row> StartUpRows(const std::vector<StartUp>& startUps) {
  std::vector<Row> rows;
  if (startUps.empty()) return rows;
  const StartUp& floor = startUps.front();
  auto times = [](const StartUp& s) {
    return s.cpu.values.empty() ? std::string("n/a")
                                : Format("%.1f ms wall, ", s.wall.Mid()) +
                                      Format("%.1f ms CPU", s.cpu.Mid());
  };
  for (std::size_t k = 1; k < startUps.size(); ++k) {
    const StartUp& s = startUps[k];
    const bool both = !s.cpu.values.empty() && !floor.cpu.values.empty();
    rows.push_back({"Start-up to exit: " + s.what + " (median of " +
                        std::to_string(s.cpu.values.size()) + ", getrusage)",
                    times(s) + (both ? Format(" (%+.1f ms CPU over the floor)",
                                              s.cpu.Mid() - floor.cpu.Mid())
                                     : std::string("")),
                    times(floor) + " (" + floor.what + ")",
                    both && floor.cpu.Mid() > 0 ? Format("%.2f", s.cpu.Mid() / floor.cpu.Mid())
                                                : "",
                    "bench_report"});
  }
  return rows;
}

std::string Table(const std::vector<Row>& rows) {
  std::string out = "| Measurement | Result | Baseline | Ratio | Source |\n";
  out += "| --- | --- | --- | --- | --- |\n";
  for (const Row& r : rows)
    out += "| " + r.what + " | " + r.result + " | " + r.baseline + " | " + r.ratio + " | " +
           r.source + " |\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string build, out;
  std::string mib = "64";
  int rounds = 5;
  bool onlySideBySide = false;
  bool onlyStartUp = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--side-by-side-only") {
      onlySideBySide = true;
      continue;
    }
    if (flag == "--start-up-only") {
      onlyStartUp = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (flag == "--build") build = argv[i + 1];
    if (flag == "--out") out = argv[i + 1];
    if (flag == "--mib") mib = argv[i + 1];
    if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    ++i;
  }
  if (build.empty()) {
    std::fprintf(stderr,
                 "usage: bench_report --build DIR [--mib N] [--rounds N] [--out FILE]\n"
                 "       bench_report --build DIR --side-by-side-only [--rounds N]\n"
                 "       bench_report --build DIR --start-up-only\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // Absolute, so that the desktop spooler is found by its /proc/PID/exe.
  if (char* real = ::realpath(build.c_str(), nullptr)) {
    build = real;
    std::free(real);
  }
  Programs programs{build + "/app/headless/kelvane-headless",
                    build + "/tools/driver/kelvane-driver",
                    build + "/tools/printer/kelvane-printer", build + "/app/wx/kelvane"};
  const std::string floorProgram = build + "/bench/startup_floor";
  constexpr int kStartUpRuns = 41;
  if (onlyStartUp) {
    std::fputs(Table(StartUpRows(MeasureStartUps(programs, floorProgram, kStartUpRuns))).c_str(),
               stdout);
    return 0;
  }
  if (onlySideBySide) {
    // A quick look while working on the delivery path: only this table.
    const SideBySide sideBySide = MeasureSideBySide(programs, rounds);
    std::fputs(SideBySideTable(sideBySide).c_str(), stdout);
    std::fputs(JobEndTable(sideBySide).c_str(), stdout);
    return 0;
  }
  char scratchTemplate[] = "/tmp/kelvane-report-out-XXXXXX";
  if (!::mkdtemp(scratchTemplate)) return 1;
  const std::string scratch = scratchTemplate;

  std::fprintf(stderr, "bench_report: port_bench %s MiB...\n", mib.c_str());
  const PortFigures port = ReadPortBench(RunCapture({build + "/bench/port_bench", mib}, scratch));
  std::fprintf(stderr, "bench_report: runner_bench %s MiB...\n", mib.c_str());
  const RunnerFigures runner =
      ReadRunnerBench(RunCapture({build + "/bench/runner_bench", mib}, scratch));
  std::fprintf(stderr, "bench_report: the spooler as processes...\n");
  const SpoolerFigures spooler = MeasureSpooler(programs);
  std::fprintf(stderr, "bench_report: ink levels published: %s\n", spooler.inkLevels.c_str());
  std::fprintf(stderr, "bench_report: start-up...\n");
  const std::vector<StartUp> startUps = MeasureStartUps(programs, floorProgram, kStartUpRuns);
  const SideBySide sideBySide = MeasureSideBySide(programs, rounds);
  [[maybe_unused]] int rc = std::system(("rm -rf '" + scratch + "'").c_str());

  std::vector<Row> rows;
  const std::string job = mib + " MiB job, 2048-byte blocks";
  auto runnerRows = [&](const std::string& sink, const std::string& title) {
    auto s = runner.lines.find(sink);
    if (s == runner.lines.end()) {
      rows.push_back({"Throughput, " + title + ", print job runner", "n/a", "", "", "runner_bench"});
      return;
    }
    const auto& l = s->second;
    std::string baselineName = l.count("dd bs=2048") ? "dd bs=2048" : "copy loop bs=2048 (port layer)";
    const double baseline = l.count(baselineName) ? l.at(baselineName).first : -1;
    const std::string baselineText = Mib(baseline) + " (" +
        (baselineName == "dd bs=2048" ? std::string("dd bs=2048") : std::string("copy loop bs=2048")) + ")";
    for (const auto& [label, figures] : l) {
      if (label.rfind("runner", 0) != 0) continue;
      std::string mode = label;
      if (label == "runner, manual mode") mode = "manual job";
      if (label == "runner, queue mode (with prefix)") mode = "queued job, with prefix";
      rows.push_back({"Throughput, " + title + ", print job runner (" + mode + ")",
                      Mib(figures.first), baselineText, Ratio(figures.second), "runner_bench"});
    }
  };
  runnerRows("virtual printer, in process", "virtual printer in process");
  runnerRows("kelvane-printer via sim:", "kelvane-printer process over sim:");
  runnerRows("plain file via [ports]", "plain file");
  auto channelRow = [&](const std::string& sink, const std::string& title) {
    auto c = port.channel.find(sink);
    if (c == port.channel.end()) return;
    auto d = port.dd.find(sink);
    // port_bench counts MB as MiB (bytes / 1048576).
    rows.push_back({"Throughput, " + title + ", WritePortBlock alone", Mib(c->second),
                    d == port.dd.end() ? "" : Mib(d->second.first) + " (dd bs=2048)",
                    d == port.dd.end() ? "" : Ratio(d->second.second), "port_bench"});
  };
  channelRow("in-process printer", "virtual printer in process");
  channelRow("kelvane-printer (sim:)", "kelvane-printer process over sim:");
  channelRow("plain file", "plain file");

  for (const auto& [sink, figures] : port.stalls)
    rows.push_back({"CPU while the printer stalls (" + sink + ", " + Format("%.1f s", figures.first) + ")",
                    CpuPerSecond(figures.second, figures.first), "", "", "port_bench"});
  for (const auto& [sink, figures] : runner.notSelected)
    rows.push_back({"CPU while the printer is not selected (" + sink + ", " +
                        Format("%.1f s", figures.first) + ")",
                    CpuPerSecond(figures.second, figures.first), "", "", "runner_bench"});
  rows.push_back({"CPU while kelvane-headless idles (manual mode, " +
                      Format("%.1f s", spooler.idleSeconds) + ", /proc utime+stime)",
                  spooler.idleCpuPerSecond < 0 ? "n/a"
                  // /proc counts in clock ticks: nothing counted is less than one tick.
                  : spooler.idleCpuPerSecond == 0
                      ? Format("< %.4f CPU s/s (not one clock tick)",
                               1.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) / spooler.idleSeconds)
                      : Format("%.4f CPU s/s", spooler.idleCpuPerSecond),
                  "", "", "bench_report"});
  auto ms = [](double v) { return v < 0 ? std::string("n/a") : Format("%.1f ms", v); };
  rows.push_back({"Start to first byte at the printer: kelvane-headless -f with a queued job (median of 5)",
                  ms(spooler.firstByteQueueMs), "", "", "bench_report"});
  rows.push_back({"Start to first byte at the printer: kelvane-driver submit, spooler started by it (median of 5)",
                  ms(spooler.firstByteDriverMs), "", "", "bench_report"});
  auto mem = [](double kib) { return kib < 0 ? std::string("n/a") : Format("%.1f MiB", kib / 1024.0); };
  rows.push_back({"Resident memory (VmRSS), kelvane-headless idle", mem(spooler.rssKiB), "", "",
                  "bench_report"});
  rows.push_back({"Resident memory (VmRSS), kelvane desktop under Xvfb",
                  spooler.desktopRssKiB < 0 ? spooler.desktopNote : mem(spooler.desktopRssKiB), "", "",
                  "bench_report"});
  for (Row& row : StartUpRows(startUps)) rows.push_back(std::move(row));
  rows.push_back({"Ink query: kelvane-driver command 5 round trip (median of 5, result " +
                      std::to_string(spooler.inkResult) + ")",
                  ms(spooler.inkMs), "", "", "bench_report"});

  utsname un{};
  ::uname(&un);
  char date[32] = {};
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::string text = "# Kelvane benchmark report\n\n";
  text += "Machine: " + std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " processors (nproc), " +
          CpuModel() + ", " + un.sysname + " " + un.release + " " + un.machine + ". Run " + date +
          ", Release build, " + job + ".\n\n";
  text += Table(rows);
  text += "\nRatios are our throughput over the baseline's on the same sink (1.00: as fast as the\n"
          "baseline). CPU s/s is processor seconds used per wall-clock second. Start-up rows:\n"
          "each program from its start until it has gone, its processor time (user + system)\n"
          "from getrusage, against an empty C++ program built with the same flags (the floor:\n"
          "what any program pays here before main), the programs taking turns; their ratio is\n"
          "of processor times.\n";
  text += "\n## Side by side with the print service\n\n"
          "A raw job from its submission to its last byte at a TCP printer on the loopback,\n" +
          std::to_string(sideBySide.rounds) +
          " runs of each after one that is not counted, the two sides taking turns, each going\n"
          "first every other time; min-max (median). Print service: a private cupsd, `lp -o raw`\n"
          "on a queue with the `socket` backend. Kelvane: `kelvane-driver submit` with\n"
          "`LPT1:=socket://127.0.0.1:PORT` in [ports], the spooler (kelvane-headless) started by\n"
          "the driver; its 6-byte job prefix counts among the bytes awaited. Ratio: the service's\n"
          "time over Kelvane's in each pair of turns (above 1.00: Kelvane is faster). The batch:\n"
          "100 jobs of 8 KiB submitted one after the other (each submission returns before the\n"
          "next), from the first submission to the last byte of the last job. dd: `dd bs=2048`\n"
          "straight into a connection to the same printer (bash's /dev/tcp), in the same turns;\n"
          "Kelvane / dd is Kelvane's time over dd's (1.00: as fast as the plain copy).\n\n";
  text += SideBySideTable(sideBySide);
  text += "\n## The job's end: waiting for the printer to close\n\n"
          "One 64 KiB job, `kelvane-headless -f` on a TCP printer on the loopback that closes its\n"
          "side a set time after the job's end (a card printer closes once the card is out); " +
          std::to_string(sideBySide.rounds) +
          " runs each, min-max (median), in ms from the last byte at the\n"
          "printer. The job counts as printed only once the printer has closed its side, so the\n"
          "spooler's own part is what comes after that close: the job's record removed and\n"
          "the process gone.\n\n";
  text += JobEndTable(sideBySide);
  std::fputs(text.c_str(), stdout);
  if (!out.empty()) {
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << text;
  }
  return 0;
}
