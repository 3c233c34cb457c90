// The whole-file lock (flock) every POSIX body takes, retried when a signal
// cuts the call short: a signal is no answer to whether the lock is ours.
// Any thread; each call works on the descriptor it is given.
#pragma once

#include <sys/file.h>

#include <cerrno>

namespace plat {

// flock(fd, operation), again after EINTR; 0, or -1 with errno set.
inline int LockDescriptor(int fd, int operation) {
  int rc;
  do {
    rc = ::flock(fd, operation);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace plat
