// The tools' process calls on POSIX systems: /proc/self/exe, access(2),
// the spooler's start (a fork into a session of its own, followed with
// waitpid while we wait for it to take the queue), signals as the stop
// request, and the file mode mask.
// A tool's main thread; OnStopSignal runs in a signal handler and only
// calls the tool's `stop`.
#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace plat {
namespace {

void (*g_stop)() = nullptr;  // set before the handlers are installed

void OnStopSignal(int) {
  if (g_stop) g_stop();
}

}  // namespace

std::string ProgramDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  buffer[n] = '\0';
  return plat::DirectoryOf(buffer);
}

bool IsExecutable(const std::string& path) {
  // A folder we may enter passes access(X_OK) too.
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string ExecutableName(const std::string& base) { return base; }

char PathListSeparator() { return ':'; }

StartedProgram StartDetached(const std::string& program,
                             const std::vector<std::string>& args,
                             const std::string& logPath) {
  std::vector<const char*> argv = {program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  // Under an ignored SIGCHLD (inherited from whoever started us) the system
  // reaps our children itself and their exit codes are lost to waitpid.
  struct sigaction childAction {};
  if (::sigaction(SIGCHLD, nullptr, &childAction) == 0 && childAction.sa_handler == SIG_IGN)
    ::signal(SIGCHLD, SIG_DFL);
  // One fork, not two: the spooler stays our child while we live, so that
  // we learn whether it refused its start (and reap it); when we exit, it
  // is adopted like any daemon. In a session of its own it keeps no
  // terminal of ours; as that session's leader it could gain one by opening
  // a terminal, but every device the spooler opens is opened O_NOCTTY.
  pid_t child = ::fork();
  if (child < 0) return {};
  if (child == 0) {
    ::setsid();
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in >= 0) ::dup2(in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    // The spooler runs for minutes; it keeps only its standard streams.
    if (in > 2) ::close(in);
    if (out > 2) ::close(out);
    ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  return StartedProgram(child);
}

// A child that still runs cannot be handed to anyone while we live: one
// that has ended is reaped now; one that ends later is reaped when we exit
// (the driver exits right after its answer) by whoever adopts it.
void StartedProgram::Forget() {
  if (id_ != 0 && end_.state == ProgramState::Running)
    ::waitpid(static_cast<pid_t>(id_), nullptr, WNOHANG);
  id_ = 0;
}

ProgramStatus StartedProgram::Poll() {
  if (id_ == 0 || end_.state != ProgramState::Running) return end_;
  int status = 0;
  pid_t reaped = 0;
  while ((reaped = ::waitpid(static_cast<pid_t>(id_), &status, WNOHANG)) < 0 &&
         errno == EINTR) {
  }
  // 0: still running; -1 (ECHILD): not ours to learn of after all.
  if (reaped != static_cast<pid_t>(id_)) return end_;
  if (WIFEXITED(status)) {
    end_ = {ProgramState::Exited, static_cast<unsigned long>(WEXITSTATUS(status))};
  } else if (WIFSIGNALED(status)) {
    end_ = {ProgramState::Killed, static_cast<unsigned long>(WTERMSIG(status))};
  }
  return end_;
}

// O_APPEND: the line lands at the end even while a spooler writes there.
bool AppendLogLine(const std::string& logPath, const std::string& line) {
  const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string text = line + "\n";
  ssize_t written = 0;
  while ((written = ::write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
  }
  ::close(fd);
  return written == static_cast<ssize_t>(text.size());
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

std::string DescribeError(DWORD error) { return std::strerror(static_cast<int>(error)); }

void OnStopRequest(void (*stop)()) {
  g_stop = stop;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void RestrictNewFiles() { ::umask(077); }

}  // namespace plat
