// Security of what the spooler leaves on disk and reads from others:
//   - every file, directory and socket it creates under $KELVANE_HOME is
//     closed to group and others, even under umask 0 (so nothing relies on
//     the caller's umask);
//   - a queue record whose spool path names no regular file (a directory, a
//     FIFO, a device node, a link to one) fails the job with "Could not open
//     spool file." and the clean-up deletes none of them;
//   - queue lines, command-line paths and registry values longer than their
//     fields are cut or refused inside the fields (run this suite under ASan);
//   - as root, a process running as another user gets no answer from the
//     command socket, even when the file permissions would let it connect.
// Test thread; the programs and the other-user client are child processes.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/shell/shell.h"
#include "app/state/job_record.h"
#include "app/state/spooler_state.h"
#include "platform/command_channel.h"
#include "platform/home.h"
#include "platform/net_redirect.h"
#include "platform/profile.h"
#include "platform/single_instance.h"
#include "platform/window_messages.h"
#include "queue/queue_file.h"
#include "queue/settings_store.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Sets the process umask for the guard's lifetime.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(old_); }

 private:
  mode_t old_;
};

// Every entry below `root` (and `root`) that group or others may write, or
// (for directories) enter and list.
std::vector<std::string> OpenToOthers(const std::string& root) {
  std::vector<std::string> found;
  auto check = [&](const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
    const mode_t forbidden = S_ISDIR(st.st_mode) ? 077 : 022;
    if (st.st_mode & forbidden) {
      char mode[16];
      std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
      found.push_back(p.string() + " mode " + mode);
    }
  };
  check(root);
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    check(it->path());
  }
  return found;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.InstallKey(); }
  void TearDown() override {
    SpoolerLock lock;
    g_bQueueMode = 0;
    g_szQueueFile[0] = '\0';
  }

  // Queue mode on `queue` for the in-process queue operations.
  void UseQueue(const std::string& queue) {
    SpoolerLock lock;
    g_bQueueMode = 1;
    CopyField(g_szQueueFile, queue.c_str());
  }

  kt::TempHome home_;
};

// ------------------------------------------------------------ file modes

TEST_F(SecurityTest, FilesTheSpoolerCreatesStayPrivateUnderUmaskZero) {
  UmaskGuard open(0);
  // The registry rewrite, win.ini, the run directory, the single-instance
  // marker, the redirection table and the command socket.
  ASSERT_TRUE(WriteRegString("Config File", "Processing"));
  ASSERT_TRUE(plat::WriteProfileString("Tovrel", "SpoolerHwnd", "1234"));
  ASSERT_FALSE(plat::RunDirectory().empty());
  plat::SingleInstance instance;
  ASSERT_TRUE(instance.Acquire());
  EXPECT_EQ(plat::AddConnection("LPT7", "\\\\host\\share"), 0u);
  plat::CommandServer server;
  ASSERT_TRUE(server.Start(static_cast<HWND>(4321), [](UINT, WPARAM, LPARAM) { return 1; },
                           [] {}));
  ASSERT_TRUE(kt::FileExists(server.socketPath()));

  const std::vector<std::string> open_ = OpenToOthers(home_.path());
  EXPECT_TRUE(open_.empty()) << Joined(open_);

  // The files are there to be checked at all.
  for (const std::string& path : {plat::RegistryPath(), plat::ProfilePath(),
                                  plat::RunDirectory(), server.socketPath()}) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  }
  plat::CancelConnection("LPT7", true);
  server.Stop();
}

TEST_F(SecurityTest, QueueRewriteAndPrependKeepFilesPrivateUnderUmaskZero) {
  UmaskGuard open(0);
  const std::string queue = home_.File("queue.txt");
  const std::string spool = home_.File("job~1.spl");
  kt::WriteFileBytes(spool, "data");
  ::chmod(spool.c_str(), 0600);
  kt::WriteFileBytes(queue, "a\r\nLPT1:\r\n1\r\n" + spool + "\r\n\r\nb\r\nLPT1:\r\n1\r\n" + spool +
                                "\r\n");
  ::chmod(queue.c_str(), 0600);
  UseQueue(queue);
  kt::ScriptedMessageBoxes boxes;
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  FinishJob(job);  // rewrites the queue file through a temporary
  const std::vector<std::string> open_ = OpenToOthers(home_.path());
  EXPECT_TRUE(open_.empty()) << Joined(open_);
  EXPECT_EQ(boxes.count(), 0u);
}

#if defined(KELVANE_HEADLESS_PATH) && defined(KELVANE_DRIVER_PATH) && \
    defined(KELVANE_PRINTER_PATH)
// Runs a program under umask 0 to its end; its exit code, -1 on time-out.
int RunUnderUmaskZero(const std::vector<std::string>& argv, int limitMs, pid_t* keep = nullptr) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::umask(0);
    int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  if (keep) {
    *keep = pid;
    return 0;
  }
  int status = 0;
  for (int waited = 0; ::waitpid(pid, &status, WNOHANG) == 0; waited += 5) {
    if (waited > limitMs) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SecurityTest, AWholeRunUnderUmaskZeroLeavesNothingOpenToOthers) {
  ASSERT_EQ(RunUnderUmaskZero({KELVANE_DRIVER_PATH, "install"}, 20000), 0);
  const std::string socket = home_.File("run/printer.sock");
  pid_t printer = -1;
  RunUnderUmaskZero({KELVANE_PRINTER_PATH, "--output", home_.File("out.prn"), socket}, 0,
                    &printer);
  for (int i = 0; i < 1000 && !kt::FileExists(socket); ++i) std::this_thread::sleep_for(5ms);
  const std::string data = home_.File("data.bin");
  kt::WriteFileBytes(data, std::string(5000, 'd'));
  ::chmod(data.c_str(), 0600);
  ASSERT_EQ(RunUnderUmaskZero({KELVANE_DRIVER_PATH, "submit", "--no-start", data}, 20000), 0);
  ASSERT_EQ(RunUnderUmaskZero({KELVANE_DRIVER_PATH, "submit", "--no-start", data}, 20000), 0);
  setenv("KELVANE_TIMER_MS", "200", 1);
  EXPECT_EQ(RunUnderUmaskZero({KELVANE_HEADLESS_PATH, "-f", home_.File("queue.txt")}, 30000), 0);
  unsetenv("KELVANE_TIMER_MS");
  ::kill(printer, SIGTERM);
  ::waitpid(printer, nullptr, 0);
  EXPECT_EQ(kt::ReadFileBytes(home_.File("out.prn")).size(), 2u * (6 + 5000));
  const std::vector<std::string> open_ = OpenToOthers(home_.path());
  EXPECT_TRUE(open_.empty()) << Joined(open_);
}
// A shared home as a careless administrator sets it up: another user
// appends a record that names a file only root may read, and a port line
// that is a path. The root spooler must refuse the queue file, and say why,
// instead of printing and deleting the file or writing to the path.
TEST_F(SecurityTest, ARootSpoolerRefusesAQueueFileOthersCanWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to append as another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);
  const std::string shared = home_.File("shared");
  ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  const std::string queue = shared + "/queue.txt";
  kt::WriteFileBytes(queue, "");
  ASSERT_EQ(::chmod(queue.c_str(), 0666), 0);
  const std::string secret = home_.File("secret");
  kt::WriteFileBytes(secret, "root only");
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  const std::string target = home_.File("written-by-the-spooler");

  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
        ::setuid(nobody->pw_uid) != 0) {
      ::_exit(9);
    }
    const std::string record = "steal\r\n" + target + "\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" +
                               secret + "\r\n";
    int fd = ::open(queue.c_str(), O_WRONLY | O_APPEND);
    const bool ok = fd >= 0 && ::write(fd, record.data(), record.size()) ==
                                   static_cast<ssize_t>(record.size());
    ::_exit(ok ? 0 : 8);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the append as nobody failed";

  const int code = RunUnderUmaskZero({KELVANE_HEADLESS_PATH, "-f", queue}, 30000);
  EXPECT_EQ(code, 2);  // the start fails
  EXPECT_EQ(kt::ReadFileBytes(secret), "root only");
  EXPECT_FALSE(kt::FileExists(target));
  EXPECT_NE(kt::ReadFileBytes(queue).find("steal"), std::string::npos);
}

#endif

// ------------------------------------------------- non-regular spool paths

struct OddSpool {
  std::string label;
  std::string path;
  mode_t type;  // S_IFDIR, S_IFIFO, S_IFCHR, S_IFLNK
};

std::vector<OddSpool> MakeOddSpools(const kt::TempHome& home) {
  std::vector<OddSpool> odd;
  const std::string dir = home.File("dir~spool");
  ::mkdir(dir.c_str(), 0700);
  odd.push_back({"directory", dir, S_IFDIR});
  const std::string fifo = home.File("fifo~spool");
  ::mkfifo(fifo.c_str(), 0600);
  odd.push_back({"fifo", fifo, S_IFIFO});
  const std::string nullLink = home.File("null~link");
  ::symlink("/dev/null", nullLink.c_str());
  odd.push_back({"link to /dev/null", nullLink, S_IFLNK});
  const std::string dirLink = home.File("dir~link");
  ::symlink(dir.c_str(), dirLink.c_str());
  odd.push_back({"link to a directory", dirLink, S_IFLNK});
  if (::geteuid() == 0) {
    // Our own node of /dev/null's device: a real device, and a mistake
    // here costs nothing outside the test.
    const std::string node = home.File("null~node");
    if (::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0)
      odd.push_back({"character device", node, S_IFCHR});
  }
  return odd;
}

bool SameKind(const std::string& path, mode_t type) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

TEST_F(SecurityTest, CleanUpNeverDeletesWhatIsNotARegularFile) {
  const std::string queue = home_.File("queue.txt");
  UseQueue(queue);
  kt::ScriptedMessageBoxes boxes;
  for (const OddSpool& odd : MakeOddSpools(home_)) {
    SCOPED_TRACE(odd.label);
    kt::WriteFileBytes(queue, "odd\r\nLPT1:\r\n1\r\n" + odd.path + "\r\n");
    JobRecord job;
    ASSERT_TRUE(TakeNextJob(job));
    EXPECT_EQ(job.totalSize, 0);  // nothing readable was counted
    FinishJob(job);
    EXPECT_TRUE(SameKind(odd.path, odd.type));
    EXPECT_EQ(kt::ReadFileBytes(queue), "");  // the record itself went
    JobRecord purge;
    kt::WriteFileBytes(queue, "odd\r\nLPT1:\r\n1\r\n" + odd.path + "\r\n");
    PurgeQueue(purge);
    EXPECT_TRUE(SameKind(odd.path, odd.type));
  }
  EXPECT_EQ(boxes.count(), 0u);
  struct stat st {};
  EXPECT_EQ(::stat("/dev/null", &st), 0);
}

// --------------------------------------------------------- long fields

template <std::size_t N>
bool Terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

TEST_F(SecurityTest, OverlongQueueLinesStayInsideTheirFields) {
  const std::string queue = home_.File("queue.txt");
  UseQueue(queue);
  kt::ScriptedMessageBoxes boxes;
  const std::string huge(5000, 'x');
  std::string record = huge + "\r\n" + huge + "\r\n" + std::string(3000, '7') + "\r\n" +
                       std::string(400, 'P') + "\r\n" + std::string(400, 'R') + "\r\n";
  for (int i = 0; i < 45; ++i) record += home_.File(std::string(300, 'a' + i % 26)) + "\r\n";
  kt::WriteFileBytes(queue, record);

  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_TRUE(Terminated(job.jobName));
  EXPECT_TRUE(Terminated(job.portName));
  EXPECT_TRUE(Terminated(job.printerName));
  EXPECT_TRUE(Terminated(job.ribbonType));
  EXPECT_LE(std::strlen(job.jobName), 77u);
  EXPECT_LE(std::strlen(job.printerName), 49u);
  EXPECT_LE(std::strlen(job.ribbonType), 49u);
  // A cut port or path could name something else: they must not survive.
  EXPECT_EQ(std::string(job.portName), "");
  EXPECT_LE(job.fileCount, kMaxSpoolFiles);
  for (int i = 0; i < job.fileCount; ++i) {
    EXPECT_TRUE(Terminated(job.spoolFiles[i]));
    EXPECT_EQ(std::string(job.spoolFiles[i]), "") << i;
  }
  {
    SpoolerLock lock;
    EXPECT_TRUE(Terminated(g_szPortName));
    EXPECT_TRUE(Terminated(g_szPrinterName));
    EXPECT_TRUE(Terminated(g_szRibbonType));
  }
  FinishJob(job);
  EXPECT_EQ(kt::ReadFileBytes(queue), "");
}

TEST_F(SecurityTest, LinesWithoutLineEndsAndFilesBeyond64KiBAreReadSafely) {
  const std::string queue = home_.File("queue.txt");
  UseQueue(queue);
  kt::ScriptedMessageBoxes boxes;
  // One 200000-byte line with bare LFs, then a well-formed record far
  // behind the 65535-byte horizon.
  std::string text(100000, 'y');
  text += "\n" + std::string(100000, 'z') + "\n\r\n";
  text += "late\r\nLPT1:\r\n1\r\nVORNA Tamrel\r\nStandard\r\n" + home_.File("late.spl") + "\r\n";
  kt::WriteFileBytes(queue, text);
  JobRecord job;
  ASSERT_TRUE(TakeNextJob(job));
  EXPECT_TRUE(Terminated(job.jobName));
  EXPECT_LE(std::strlen(job.jobName), 77u);
  EXPECT_EQ(CountQueuedJobs(), 1);
  FinishJob(job);
  // Only the head went; the record behind it is whole.
  EXPECT_EQ(kt::ReadFileBytes(queue).substr(0, 6), "late\r\n");
  JobRecord parsed;
  const std::string rest = kt::ReadFileBytes(queue);
  ASSERT_TRUE(ParseJobRecord(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(),
                             parsed));
  EXPECT_EQ(std::string(parsed.jobName), "late");
}

TEST_F(SecurityTest, OverlongCommandLineArgumentsFailTheStart) {
  kt::ScriptedMessageBoxes boxes;
  kt::RecordingWindows windows;
  const std::string longPath = "/tmp/" + std::string(200, 'q');
  const char* queueArgs[] = {"kelvane", "-f", longPath.c_str()};
  EXPECT_FALSE(DocumentStart(3, queueArgs));
  const std::string longPort(4000, 'L');
  const char* inkArgs[] = {"kelvane", "-i", longPort.c_str()};
  EXPECT_FALSE(DocumentStart(3, inkArgs));
  SpoolerLock lock;
  EXPECT_TRUE(Terminated(g_szQueueFile));
  EXPECT_TRUE(Terminated(g_szPortName));
  EXPECT_EQ(g_bQueueMode, 0);
  ResetShell();
}

TEST_F(SecurityTest, OverlongRegistryPortStaysInsideTheJobsPortField) {
  kt::ScriptedMessageBoxes boxes;
  const std::string port = std::string(3000, 'M') + ":";
  ASSERT_TRUE(WriteRegString("Port", port.c_str()));
  {
    SpoolerLock lock;
    g_bQueueMode = 0;
    CopyField(g_szSpoolFiles[0], home_.File("manual.prn").c_str());
    g_nCopies = 1;
    g_nFileCount = 1;
  }
  JobRecord job;
  const bool taken = TakeNextJob(job);
  EXPECT_TRUE(Terminated(job.portName));
  if (taken) {
    EXPECT_LE(std::strlen(job.portName), 99u);
  }
}

// ----------------------------------------------- the command socket, as root

// Connects to `path` and sends `request`; 0 when refused (connect fails, or
// the server hangs up without an answer), 1 when an answer came. Only
// async-signal-safe calls: it runs in a forked child of a threaded process.
int TryCommand(const char* path, const plat::CommandRequest& request) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return 2;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::size_t n = 0;
  while (path[n] && n + 1 < sizeof addr.sun_path) {
    addr.sun_path[n] = path[n];
    ++n;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    return 0;
  }
  if (::send(fd, &request, sizeof request, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof request)) {
    return 0;
  }
  ::shutdown(fd, SHUT_WR);  // a request ends where the sender stops
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 5000) <= 0) return 3;  // neither answer nor hang-up
  plat::CommandAnswer answer{};
  return ::read(fd, &answer, sizeof answer) == static_cast<ssize_t>(sizeof answer) ? 1 : 0;
}

class OtherUserTest : public SecurityTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a client as another user";
    SecurityTest::SetUp();
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user \"nobody\"";
    uid_ = nobody->pw_uid;
    gid_ = nobody->pw_gid;
    ASSERT_TRUE(server_.Start(static_cast<HWND>(777),
                              [this](UINT, WPARAM, LPARAM) {
                                ++handled_;
                                return 1;
                              },
                              [this] { woken_ = true; }));
    request_ = {plat::kCommandMagic, WM_SPOOLER_COMMAND, 1, 0};
  }
  void TearDown() override {
    server_.Stop();
    SecurityTest::TearDown();
  }

  // Runs TryCommand in a child as `uid`, serving the channel meanwhile.
  int ClientAs(uid_t uid, gid_t gid) {
    const std::string path = server_.socketPath();
    const plat::CommandRequest request = request_;
    pid_t pid = ::fork();
    if (pid == 0) {
      if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 ||
                       ::setuid(uid) != 0)) {
        ::_exit(9);
      }
      ::_exit(TryCommand(path.c_str(), request));
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (woken_.exchange(false)) server_.ServePending();
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(2ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  plat::CommandServer server_;
  plat::CommandRequest request_{};
  std::atomic<int> handled_{0};
  std::atomic<bool> woken_{false};
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

TEST_F(OtherUserTest, AnotherUserIsRefusedAndTheSameUserAnswered) {
  EXPECT_EQ(ClientAs(uid_, gid_), 0);
  EXPECT_EQ(handled_.load(), 0);
  // The check does not refuse everyone: we ourselves get through.
  EXPECT_EQ(ClientAs(0, 0), 1);
  EXPECT_EQ(handled_.load(), 1);
}

TEST_F(OtherUserTest, PeerCheckRefusesEvenWhenFilePermissionsWouldAllow) {
  // Open the way on disk, as a careless administrator might: the server's
  // own check of the peer's uid must still refuse.
  ::chmod(home_.path().c_str(), 0755);
  ::chmod(plat::RunDirectory().c_str(), 0755);
  ::chmod(server_.socketPath().c_str(), 0777);
  const int droppedBefore = server_.droppedCount();
  EXPECT_EQ(ClientAs(uid_, gid_), 0);
  EXPECT_EQ(handled_.load(), 0);
  EXPECT_GT(server_.droppedCount(), droppedBefore);
  ::chmod(home_.path().c_str(), 0700);
}

}  // namespace
