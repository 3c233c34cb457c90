// A lock file that one process at a time holds, on POSIX systems
// (platform/lock_file.h): flock(LOCK_EX) on a descriptor of our own.
// One thread at a time per object.
#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/file_locks.h"

namespace plat {

LockFile::~LockFile() {
  if (file_ >= 0) ::close(static_cast<int>(file_));
}

bool LockFile::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (file_ >= 0) ::close(static_cast<int>(file_));
  file_ = fd;
  return true;
}

bool LockFile::TryTake() {
  if (file_ < 0) {
    errno = EBADF;
    return false;
  }
  return LockDescriptor(static_cast<int>(file_), LOCK_EX | LOCK_NB) == 0;
}

// Not LockDescriptor: it waits on through a signal, and here a signal is
// how a cancel reaches the wait. Each EINTR asks `stop` whether to go on.
LockFile::Wait LockFile::WaitToTake(bool (*stop)()) {
  if (file_ < 0) {
    errno = EBADF;
    return Wait::Failed;
  }
  while (::flock(static_cast<int>(file_), LOCK_EX) != 0) {
    if (errno != EINTR) return Wait::Failed;
    if (stop && stop()) return Wait::Stopped;
  }
  return Wait::Taken;
}

}  // namespace plat
