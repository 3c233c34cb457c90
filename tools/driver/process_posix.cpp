// The driver's process calls on POSIX systems: /proc/self/exe, access(2),
// and a double fork so that the spooler is nobody's child of ours.
// Driver process, main thread.
#include "tools/driver/process.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace driver {

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

bool StartDetached(const std::string& program, const std::vector<std::string>& args,
                   const std::string& logPath) {
  std::vector<const char*> argv = {program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
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
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

bool HasSimPorts() { return true; }

unsigned long CurrentProcessId() { return static_cast<unsigned long>(::getpid()); }

std::string DescribeError(DWORD error) { return std::strerror(static_cast<int>(error)); }

}  // namespace driver
