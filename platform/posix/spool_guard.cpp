// The driver's guard over spool files not yet named by a record, on POSIX
// systems: signal handlers, mkostemps and a rename that replaces nothing.
// Driver process, main thread; OnSignal runs in a signal handler and only
// calls async-signal-safe functions on the fixed table below.
#include "platform/spool_guard.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/posix/descriptor_io.h"
#include "platform/spool_names.h"

namespace plat {
namespace {

// Paths the handler removes: fixed storage, written only while the signals
// are blocked, so the handler never sees a half-written entry.
constexpr int kMaxHeld = kMaxGuardedFiles;
char g_held[kMaxHeld][PATH_MAX];
volatile sig_atomic_t g_heldCount = 0;
constexpr int kGuardedSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[3];

sigset_t GuardedSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kGuardedSignals) sigaddset(&set, s);
  return set;
}

extern "C" void OnSignal(int signal) {
  for (int i = 0; i < g_heldCount; ++i) ::unlink(g_held[i]);
  // Die of the signal as we would have without the guard.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Runs `change` with the guarded signals blocked.
template <typename F>
void WithSignalsBlocked(F change) {
  sigset_t set = GuardedSet(), old;
  ::sigprocmask(SIG_BLOCK, &set, &old);
  change();
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
}

void Hold(const std::string& path) {
  WithSignalsBlocked([&] {
    if (g_heldCount >= kMaxHeld || path.size() >= PATH_MAX) return;
    std::memcpy(g_held[g_heldCount], path.c_str(), path.size() + 1);
    g_heldCount = g_heldCount + 1;
  });
}

// Replaces a held path (the unfinished name by the final one).
void Rename(const std::string& from, const std::string& to) {
  WithSignalsBlocked([&] {
    for (int i = 0; i < g_heldCount; ++i) {
      if (from == g_held[i] && to.size() < PATH_MAX) {
        std::memcpy(g_held[i], to.c_str(), to.size() + 1);
      }
    }
  });
}

void Forget(const std::string& path) {
  WithSignalsBlocked([&] {
    for (int i = 0; i < g_heldCount; ++i) {
      if (path != g_held[i]) continue;
      std::memmove(g_held[i], g_held[g_heldCount - 1], PATH_MAX);
      g_heldCount = g_heldCount - 1;
      return;
    }
  });
}

// Gives the finished file its own name without replacing anybody's file.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without it: a link fails too when the name is taken.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

}  // namespace

SpoolGuard::SpoolGuard() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // The handler runs with all guarded signals blocked: a second one waits.
  for (int s : kGuardedSignals) sigaddset(&action.sa_mask, s);
  for (int i = 0; i < 3; ++i) ::sigaction(kGuardedSignals[i], &action, &g_previous[i]);
}

SpoolGuard::~SpoolGuard() {
  RemoveAll();
  for (int i = 0; i < 3; ++i) ::sigaction(kGuardedSignals[i], &g_previous[i], nullptr);
  sigset_t set = GuardedSet();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

std::string SpoolGuard::CopyIn(const std::string& source, const std::string& folder,
                               std::string& error) {
  HANDLE in = plat::OpenWithRetry(source, plat::Access::Read, plat::ShareMode::ReadWrite,
                                  plat::Disposition::OpenExisting);
  if (in == INVALID_HANDLE_VALUE) {
    error = "cannot read " + source;
    return "";
  }
  const std::string suffix = UnfinishedSuffixOf(static_cast<unsigned long>(::getpid()));
  std::string pattern = folder + "/KLV~XXXXXX" + suffix;
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = -1;
  WithSignalsBlocked([&] {
    fd = ::mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd >= 0) Hold(name.data());
  });
  if (fd < 0) {
    error = "cannot create a spool file in " + folder + ": " + std::strerror(errno);
    plat::CloseHandle(in);
    return "";
  }
  const std::string unfinished = name.data();
  const bool copied = plat::CopyHandleToDescriptor(in, fd);
  const int copyError = static_cast<int>(plat::GetLastError());
  plat::CloseHandle(in);
  const bool synced = copied && ::fsync(fd) == 0;
  ::close(fd);
  if (!synced) {
    ::unlink(unfinished.c_str());
    Forget(unfinished);
    error = copied ? "cannot write the spool file " + unfinished
                   : "cannot copy " + source + " to the spool file " + unfinished + ": " +
                         std::strerror(copyError);
    return "";
  }
  std::string lastTried;
  int renameError = 0;
  const std::string finished = NameFinishedSpoolFile(
      unfinished, suffix, folder,
      [](const std::string& from, const std::string& to, int& e) {
        bool renamed = false;
        WithSignalsBlocked([&] {
          renamed = RenameNoReplace(from, to);
          if (renamed) {
            Rename(from, to);
          } else {
            e = errno;
          }
        });
        return renamed;
      },
      [](int e) { return e == EEXIST; }, lastTried, renameError);
  if (!finished.empty()) return finished;
  ::unlink(unfinished.c_str());
  Forget(unfinished);
  error = "cannot name the spool file " + lastTried + ": " + std::strerror(renameError);
  return "";
}

void SpoolGuard::HoldSignals() {
  sigset_t set = GuardedSet();
  ::sigprocmask(SIG_BLOCK, &set, nullptr);
}

void SpoolGuard::Commit() {
  WithSignalsBlocked([] { g_heldCount = 0; });
}

void SpoolGuard::RemoveAll() {
  WithSignalsBlocked([] {
    for (int i = 0; i < g_heldCount; ++i) ::unlink(g_held[i]);
    g_heldCount = 0;
  });
}

}  // namespace plat
