// The spool files of a submission that has not yet reached the queue file.
// A driver interrupted before its record is appended must leave nothing
// behind: a spool file no record names would never be printed nor deleted.
//   - Each file is written under a name that says whose it is and that it
//     is unfinished ("KLV~xxxxxx.part<pid>") and renamed to its own name
//     ("KLV~xxxxxx") only when it is whole; a spooler's start removes the
//     unfinished ones of drivers that no longer run (SIGKILL, power loss).
//   - SIGINT, SIGTERM and SIGHUP (on Windows the console's Ctrl+C,
//     Ctrl+Break, close, log-off and shut-down events) while the guard
//     lives remove what it holds (unfinished and finished files alike) and
//     end the driver; once the record is appended (Commit) the files belong
//     to the queue and stay.
// Driver process, main thread; the signal handler (on Windows the console
// control thread) only removes files.
#pragma once

#include <string>

namespace plat {

// The suffix of an unfinished spool file, before the writer's process id.
inline constexpr const char* kUnfinishedSpoolSuffix = ".part";

// How many files one guard holds at the most: a job's spool files and the
// one being written (POSIX keeps them in fixed storage for the handler).
inline constexpr int kMaxGuardedFiles = 21;

class SpoolGuard {
 public:
  SpoolGuard();   // installs the signal handlers
  ~SpoolGuard();  // removes what is not committed, restores the handlers
  SpoolGuard(const SpoolGuard&) = delete;
  SpoolGuard& operator=(const SpoolGuard&) = delete;

  // Copies `source` into a new spool file in `folder` (synced to disk) and
  // returns its final path; "" with `error` set on failure (nothing left).
  std::string CopyIn(const std::string& source, const std::string& folder, std::string& error);
  // Blocks the signals: from here the append of the record and Commit are
  // one step for them. Called right before the record is written.
  void HoldSignals();
  // The record is in the queue file: the files are the queue's now.
  void Commit();
  // Removes every file the guard holds (a failed submission).
  void RemoveAll();
};

}  // namespace plat
