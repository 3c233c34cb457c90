// What the tools need of the operating system's processes: where their own
// program lives, whether a file is a program, the start of a spooler that
// outlives us and whose end we can still learn while we wait for it, and
// the stop request (signals, or the console's events on Windows).
// Bodies: platform/posix/process.cpp, platform/win32/process.cpp.
// A tool's main thread; the stop handler runs where the system calls it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace plat {

// The folder of the running program; "" when the system does not say.
std::string ProgramDirectory();

// Whether `path` names a file we may start.
bool IsExecutable(const std::string& path);

// The file name of program `base` on this system ("kelvane-headless" or
// "kelvane-headless.exe").
std::string ExecutableName(const std::string& base);

// The separator of the PATH list (':' or ';').
char PathListSeparator();

// What became of a program we started, as far as we have seen.
enum class ProgramState {
  Running,  // still runs, or its end could not be learnt
  Exited,   // ended by its own exit; `code` is the exit code
  Killed,   // ended by a signal (POSIX); `code` is the signal's number
};
struct ProgramStatus {
  ProgramState state = ProgramState::Running;
  unsigned long code = 0;
};

// A program started by StartDetached, followed while we live: its end and
// exit code can be asked for until we exit or forget it. Forgetting it does
// not stop it. Move only.
class StartedProgram {
 public:
  StartedProgram() = default;  // nothing started
  ~StartedProgram() { Forget(); }
  StartedProgram(StartedProgram&& other) noexcept : id_(other.id_), end_(other.end_) {
    other.id_ = 0;
  }
  StartedProgram& operator=(StartedProgram&& other) noexcept {
    if (this != &other) {
      Forget();
      id_ = other.id_;
      end_ = other.end_;
      other.id_ = 0;
    }
    return *this;
  }
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  bool started() const { return id_ != 0; }
  // Looks without waiting; once it has ended, the same status every time.
  ProgramStatus Poll();

 private:
  friend StartedProgram StartDetached(const std::string&, const std::vector<std::string>&,
                                      const std::string&);
  explicit StartedProgram(std::intptr_t id) : id_(id) {}
  // Lets go of the process (each system's body).
  void Forget();

  std::intptr_t id_ = 0;  // the process id (POSIX) or the process handle (Windows)
  ProgramStatus end_;     // once it is known to have ended
};

// Starts `program` with `args` (the program's name not included), detached
// from us: its own session or process group, no console of ours, none of
// our handles, standard input empty, standard output and error appended to
// `logPath`. We do not wait for it, but may ask whether it has ended.
// Nothing started (started() false) when it could not be started.
StartedProgram StartDetached(const std::string& program, const std::vector<std::string>& args,
                             const std::string& logPath);

// Appends `line` and this system's line end to the text file at `logPath`,
// created when missing, while others may append to it too. False when it
// cannot be written.
bool AppendLogLine(const std::string& logPath, const std::string& line);

// Whether this system has the simulated printer's "sim:" sockets, which a
// fresh install maps LPT1: to (elsewhere LPT1: stays the system's device).
// A constant: code that serves them is left out where there are none.
#ifdef _WIN32
inline constexpr bool kHasSimPorts = false;
#else
inline constexpr bool kHasSimPorts = true;
#endif

// Calls `stop` on Ctrl+C and a termination request. `stop` must only set a
// flag or write to a pipe.
void OnStopRequest(void (*stop)());

// Makes the files we create our user's alone, where modes exist.
void RestrictNewFiles();

// The calling process's id (names the unfinished spool files).
unsigned long CurrentProcessId();

// Text for an error of the platform's files layer (plat::GetLastError()).
std::string DescribeError(DWORD error);

}  // namespace plat
