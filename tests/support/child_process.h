// ChildProcess: the one way the benchmarks and the soak programs start a
// program (or a forked copy of themselves running a function), wait for it
// with a bound, signal or kill it, and collect its exit status and the
// processor time it used. POSIX only; the benchmarks and the soak programs
// do not build on Windows.
// A ChildProcess belongs to the thread that made it. Programs are started
// with posix_spawn, which is safe from a process with threads; StartCopy
// forks, so call it before the caller has started threads of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kt {

// Where the child's standard input comes from.
enum class ChildInput : std::uint8_t {
  Null,     // /dev/null
  Inherit,  // ours
  Pipe,     // a pipe whose writing end we keep (ChildProcess::WriteInput)
};

// Where the child's standard output goes.
enum class ChildOutput : std::uint8_t {
  Null,          // /dev/null
  Inherit,       // ours
  File,          // ChildOptions::outputFile, created or emptied first
  AppendToFile,  // ChildOptions::outputFile, created or appended to
};

// Where the child's standard error goes.
enum class ChildErrors : std::uint8_t {
  Null,        // /dev/null
  Inherit,     // ours
  WithOutput,  // wherever its standard output goes
};

struct ChildOptions {
  ChildInput input = ChildInput::Null;
  ChildOutput output = ChildOutput::Null;
  std::string outputFile;  // for ChildOutput::File and ChildOutput::AppendToFile
  ChildErrors errors = ChildErrors::Null;
  // The child leads a process group of its own and every signal we send
  // goes to the whole group, so that stopping it stops what it started
  // (xvfb-run leaves its X server behind otherwise).
  bool ownGroup = false;
};

// Options for a child that shares all three standard streams with us.
ChildOptions InheritAllStreams();

class ChildProcess {
 public:
  // What Wait returns while the child has not ended.
  static constexpr int kNotEnded = -1;
  // The exit code of a program that could not be started, as a shell
  // reports a command it cannot run.
  static constexpr int kCannotStart = 127;

  ChildProcess() = default;
  ~ChildProcess();  // kills a child that still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up on PATH when it holds no '/'). posix_spawn,
  // so that the child's processor time is its own and not also that of a
  // copy of this process before its exec. False when it cannot start: the
  // child then counts as ended with kCannotStart. A child still running
  // from an earlier start of this object is killed first.
  bool Start(const std::vector<std::string>& argv, const ChildOptions& options = {});
  // Runs `body` in a forked copy of this process, which exits with what
  // `body` returns; its standard streams are ours.
  bool StartCopy(const std::function<int()>& body);

  // True while the child runs; reaps it once it has ended.
  bool Running();
  // The exit code (128 + the signal's number when a signal ended it), or
  // kNotEnded when it has not ended within `limit`.
  int Wait(std::chrono::milliseconds limit);
  // The exit code, waiting as long as it takes; returns the moment the
  // child has ended (no polling), for timing a child to its end.
  int Wait();

  // Sends `signal` to the child (to its group when it has one of its own).
  void Signal(int signal);
  // SIGKILL, and reaps it.
  void Kill();
  // SIGTERM; SIGKILL when it has not ended `grace` later.
  void Stop(std::chrono::milliseconds grace);

  // Writes all of `text` to the child's input pipe (ChildInput::Pipe).
  bool WriteInput(const std::string& text);

  pid_t pid() const { return pid_; }
  // The processor time (user + system) the ended child used, from wait4;
  // zero before its end.
  std::chrono::microseconds CpuTime() const { return cpu_; }

 private:
  void Reset();
  int Reap(bool block);

  pid_t pid_ = -1;
  int input_ = -1;
  bool group_ = false;
  bool ended_ = true;
  int code_ = kNotEnded;
  std::chrono::microseconds cpu_{0};
};

// Runs a program to its end: the exit code, or kNotEnded when it has not
// ended within `limit` (it is killed then).
int RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
               const ChildOptions& options = {});

}  // namespace kt
