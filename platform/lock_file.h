// A lock file that one process at a time holds, for processes that take
// turns on one place (the CUPS backends of several queues on one port). The
// hold lasts until the object closes the file or the process ends; it is
// the system's whole-file lock, which the system drops with a process that
// dies. A wait for it can be given up: `stop` is asked each time the wait is
// cut short, on POSIX by a signal whose handler did not ask for restarts
// (so that a cancel during the wait ends it at once), on Windows, which has
// no such signal, between tries a tenth of a second apart. A failure
// returns false (or Failed) and leaves its reason in errno, in the C
// library's numbers. One body per
// system (platform/posix/lock_file.cpp: flock; platform/win32/lock_file.cpp:
// LockFileEx).
// One thread at a time per object; `stop` is called on that thread.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

class LockFile {
 public:
  LockFile() = default;
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  // Releases the hold and closes the file.
  ~LockFile();

  // Opens `path`, created (mode 0600) when missing, without taking it.
  bool Open(const std::string& path);
  // Takes the hold if nobody has it; false at once otherwise.
  bool TryTake();

  enum class Wait {
    Taken,    // the hold is ours
    Stopped,  // `stop` said to give up before it was ours
    Failed,   // the system refused the wait (errno says why)
  };
  // Waits until the hold is ours, or until `stop` returns true when asked.
  Wait WaitToTake(bool (*stop)());

 private:
  // The system's number for the open file; -1 when none is open.
  std::intptr_t file_ = -1;
};

}  // namespace plat
