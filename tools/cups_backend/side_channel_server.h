// Answers the print service's side channel (side_channel.h) on a thread of
// its own for as long as the backend has a job: the backend's main thread
// blocks in several places (the lock shared with other queues, a spooler
// someone started by hand, reading the job from standard input, the
// spooler run), and an asker gives up after its own timeout, two seconds
// for most filters.
//
// The thread is started with SIGTERM and SIGINT blocked, so a cancel and
// the EINTR it brings land on the main thread, whose waits end on it. It
// allocates and locks while the main thread forks the spooler; the child
// only calls async-signal-safe functions before execv, so it never needs
// what the thread may hold, and it closes the side channel's descriptor.
//
// Construct and destroy on the backend's main thread; the setters may be
// called from any thread.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "tools/cups_backend/side_channel.h"

namespace cupsbackend {

class SideChannelServer {
 public:
  // Starts serving `fd` when it is a socket, as the print service gives
  // every backend; run by hand a backend has none, and nothing starts.
  explicit SideChannelServer(int fd = kSideChannelFd);
  // Ends the job as not printed unless EndJob(true) came (drains that wait
  // get IO_ERROR), then stops the thread and joins it.
  ~SideChannelServer();
  SideChannelServer(const SideChannelServer&) = delete;
  SideChannelServer& operator=(const SideChannelServer&) = delete;

  bool serving() const { return thread_.joinable(); }

  // The reasons the status relay has set now, and whether the spooler runs
  // our job.
  void SetPrinterState(const std::set<std::string>& reasons, bool printing);
  // The spooler run has ended, with the job printed or not; drains that
  // wait are answered at once, later ones as they come.
  void EndJob(bool printed);

 private:
  void Serve();
  void Wake();
  void Send(const std::string& message);

  const int fd_;
  int wake_[2] = {-1, -1};  // the setters write, the thread polls
  std::mutex mutex_;
  SideChannelSnapshot snapshot_;  // guarded by mutex_
  bool stopping_ = false;         // guarded by mutex_
  std::thread thread_;
};

}  // namespace cupsbackend
