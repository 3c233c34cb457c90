// ChildProcess (see child_process.h): posix_spawn or fork, wait4 for the
// status and the processor time. Called from the thread that owns the
// ChildProcess.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace kt {

namespace {

using Clock = std::chrono::steady_clock;

int ExitCodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::chrono::microseconds CpuTimeOf(const rusage& usage) {
  auto us = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return us(usage.ru_utime) + us(usage.ru_stime);
}

// The file actions that point the child's standard streams where
// `options` says; `pipeEnd` is the reading end of the input pipe.
void AddStreams(posix_spawn_file_actions_t& actions, const ChildOptions& options,
                int pipeEnd) {
  switch (options.input) {
    case ChildInput::Null:
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
      break;
    case ChildInput::Pipe:
      posix_spawn_file_actions_adddup2(&actions, pipeEnd, 0);
      break;
    case ChildInput::Inherit:
      break;
  }
  switch (options.output) {
    case ChildOutput::Null:
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
      break;
    case ChildOutput::File:
      posix_spawn_file_actions_addopen(&actions, 1, options.outputFile.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
      break;
    case ChildOutput::AppendToFile:
      posix_spawn_file_actions_addopen(&actions, 1, options.outputFile.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
      break;
    case ChildOutput::Inherit:
      break;
  }
  switch (options.errors) {
    case ChildErrors::Null:
      posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
      break;
    case ChildErrors::WithOutput:
      posix_spawn_file_actions_adddup2(&actions, 1, 2);
      break;
    case ChildErrors::Inherit:
      break;
  }
}

}  // namespace

ChildOptions InheritAllStreams() {
  ChildOptions options;
  options.input = ChildInput::Inherit;
  options.output = ChildOutput::Inherit;
  options.errors = ChildErrors::Inherit;
  return options;
}

ChildProcess::~ChildProcess() { Reset(); }

void ChildProcess::Reset() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
  Kill();
  pid_ = -1;
  group_ = false;
  ended_ = true;
  code_ = kNotEnded;
  cpu_ = std::chrono::microseconds(0);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options) {
  Reset();
  code_ = kCannotStart;
  if (argv.empty()) return false;
  int pipe[2] = {-1, -1};
  if (options.input == ChildInput::Pipe && ::pipe2(pipe, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  AddStreams(actions, options, pipe[0]);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (options.ownGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);

  if (pipe[0] >= 0) ::close(pipe[0]);
  if (rc != 0) {
    if (pipe[1] >= 0) ::close(pipe[1]);
    return false;
  }
  input_ = pipe[1];
  pid_ = pid;
  group_ = options.ownGroup;
  ended_ = false;
  code_ = kNotEnded;
  return true;
}

bool ChildProcess::StartCopy(const std::function<int()>& body) {
  Reset();
  code_ = kCannotStart;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) ::_exit(body());
  pid_ = pid;
  ended_ = false;
  code_ = kNotEnded;
  return true;
}

// One wait4 for the child: its code once it has ended (noted, with its
// processor time), else kNotEnded.
int ChildProcess::Reap(bool block) {
  for (;;) {
    int status = 0;
    rusage usage{};
    const pid_t r = ::wait4(pid_, &status, block ? 0 : WNOHANG, &usage);
    if (r == pid_) {
      ended_ = true;
      code_ = ExitCodeOf(status);
      cpu_ = CpuTimeOf(usage);
      return code_;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) ended_ = true;  // not ours any more; nothing to wait for
    return code_;
  }
}

bool ChildProcess::Running() { return Wait(std::chrono::milliseconds(0)) == kNotEnded; }

int ChildProcess::Wait(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!ended_) {
    if (Reap(false) != kNotEnded || ended_) break;
    if (Clock::now() >= deadline) return kNotEnded;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return code_;
}

int ChildProcess::Wait() {
  if (!ended_) Reap(true);
  return code_;
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !ended_) ::kill(group_ ? -pid_ : pid_, signal);
}

void ChildProcess::Kill() {
  if (pid_ <= 0 || ended_) return;
  Signal(SIGKILL);
  Wait(std::chrono::seconds(10));
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0 || ended_) return;
  Signal(SIGTERM);
  if (Wait(grace) == kNotEnded) Kill();
}

bool ChildProcess::WriteInput(const std::string& text) {
  if (input_ < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
               const ChildOptions& options) {
  ChildProcess child;
  if (!child.Start(argv, options)) return child.Wait(limit);
  const int code = child.Wait(limit);
  if (code == ChildProcess::kNotEnded) child.Kill();
  return code;
}

}  // namespace kt
