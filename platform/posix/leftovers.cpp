// Removal of stale sockets, lock files and temporaries at start (POSIX).
// Main thread.
#include "platform/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "platform/common/leftover_names.h"
#include "platform/files.h"
#include "platform/home.h"
#include "platform/posix/file_locks.h"

namespace plat {
namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Calls `visit(name, path)` for every entry of `dir`.
void ForEachEntry(const std::string& dir,
                  const std::function<void(const std::string&, const std::string&)>& visit) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  while (dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    visit(name, dir + "/" + name);
  }
  ::closedir(d);
}

bool OwnedByUs(const struct stat& st) { return st.st_uid == ::geteuid(); }

// A socket whose listener is gone refuses a connection at once.
bool NobodyListens(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const bool refused =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno == ECONNREFUSED;
  ::close(fd);
  return refused;
}

// A lock file is removed only while we hold its lock and the name still
// names the inode we locked; whoever claims a port checks the same after
// locking (platform/posix/port_device.cpp), so nobody is left holding a lock on a
// removed file while another locks a new one.
bool RemoveUnheldLockFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool removed = false;
  struct stat held {}, named {};
  if (LockDescriptor(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
      ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
      held.st_ino == named.st_ino && OwnedByUs(held)) {
    removed = ::unlink(path.c_str()) == 0;
  }
  ::close(fd);
  return removed;
}

bool IsOldRegularFileOfOurs(const std::string& path, std::time_t runStart) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && OwnedByUs(st) &&
         st.st_mtime < runStart;
}

int RemoveOldTemporaries(const std::string& dir, std::time_t runStart,
                         const std::function<bool(const std::string&)>& isOurs) {
  int removed = 0;
  ForEachEntry(dir, [&](const std::string& name, const std::string& path) {
    if (isOurs(name) && IsOldRegularFileOfOurs(path, runStart) && ::unlink(path.c_str()) == 0)
      ++removed;
  });
  return removed;
}

bool IsProcessAlive(unsigned long pid) {
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

}  // namespace

LeftoversRemoved RemoveLeftovers(const std::string& queueFile, std::time_t runStart,
                                 const std::string& ownSocket) {
  LeftoversRemoved removed;
  const std::string run = RunDirectory();
  if (!run.empty()) {
    ForEachEntry(run, [&](const std::string& name, const std::string& path) {
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !OwnedByUs(st)) return;
      if (StartsWith(name, "spooler-") && EndsWith(name, ".sock") && S_ISSOCK(st.st_mode) &&
          path != ownSocket && NobodyListens(path) && ::unlink(path.c_str()) == 0) {
        ++removed.sockets;
      } else if (StartsWith(name, "port-") && EndsWith(name, ".lock") && S_ISREG(st.st_mode) &&
                 RemoveUnheldLockFile(path)) {
        ++removed.portLocks;
      }
    });
  }

  const std::string home = KelvaneHome();
  removed.temporaries += RemoveOldTemporaries(home, runStart, IsSettingsTemporary);
  if (!queueFile.empty()) {
    const std::string dir = DirectoryOf(queueFile);
    const std::string base = queueFile.substr(queueFile.find_last_of('/') + 1);
    removed.temporaries += RemoveOldTemporaries(dir, runStart, [&](const std::string& name) {
      return IsRewriteTemporaryOf(name, base);
    });
  }
  // The prefix pass writes "~tm" and six characters beside the spool file.
  removed.temporaries +=
      RemoveOldTemporaries(home + "/spool", runStart, [](const std::string& name) {
        return name.size() == 9 && StartsWith(name, "~tm");
      });
  // A driver writes a spool file as "KLV~" + six characters + ".part" + its
  // process id until the file is whole; one whose writer is gone never will be.
  ForEachEntry(home + "/spool", [&](const std::string& name, const std::string& path) {
    const unsigned long writer = UnfinishedSpoolWriter(name);
    struct stat st {};
    if (writer > 0 && !IsProcessAlive(writer) && ::lstat(path.c_str(), &st) == 0 &&
        S_ISREG(st.st_mode) && OwnedByUs(st) && ::unlink(path.c_str()) == 0) {
      ++removed.temporaries;
    }
  });
  return removed;
}

}  // namespace plat
