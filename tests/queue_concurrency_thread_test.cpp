// The queue file under concurrent use. A forked child appends records with
// the driver's sharing protocol (no-sharing hold, retried while someone else
// holds the file) while this process takes and finishes jobs: every job must
// come out once, in order, with its spool file, and nothing may be left
// behind. And a print thread works through the queue while the main thread
// ticks like the scheduler (TakeNextJob on g_curJob under the lock).
// Runs on the real clock: processes and threads race for real here, and a
// fake clock would spend the retry window in a few microseconds.
// Test threads and the forked child.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/state/spooler_state.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "queue/queue_file.h"
#include "tests/support/test_support.h"

namespace {

constexpr int kJobs = 120;
constexpr DWORD kDeadlineMs = 60000;  // only reached when something hangs

std::string JobName(int i) { return "job-" + std::to_string(i); }
std::string SpoolContent(int i) { return "spool data of " + JobName(i); }

// One append as the driver makes it: hold the file with no sharing, put the
// empty line behind the previous record, then the new record without one.
bool AppendRecord(const std::string& queue, const std::string& record) {
  HANDLE h = INVALID_HANDLE_VALUE;
  const DWORD start = plat::GetTickCount();
  for (;;) {
    h = plat::OpenFile(queue, plat::Access::ReadWrite, plat::ShareMode::None,
                       plat::Disposition::OpenAlways);
    if (h != INVALID_HANDLE_VALUE) break;
    if (plat::GetLastError() != plat::ERROR_SHARING_VIOLATION_CODE) return false;
    if (plat::GetTickCount() - start > kDeadlineMs) return false;
    plat::PausePolling();
  }
  const DWORD size = plat::GetFileSize(h);
  const std::string bytes = (size > 0 ? "\r\n" : "") + record;
  // The hold above is what keeps the spooler out; the bytes go through a
  // descriptor of our own that appends whatever the size is by now.
  int fd = ::open(queue.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  bool ok = fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) ::close(fd);
  plat::CloseHandle(h);
  return ok && size != plat::INVALID_FILE_SIZE;
}

[[noreturn]] void RunDriver(const std::string& home, const std::string& queue) {
  for (int i = 0; i < kJobs; ++i) {
    const std::string spool = home + "/spool-" + std::to_string(i) + ".prn";
    kt::WriteFileBytes(spool, SpoolContent(i));
    const std::string record = JobName(i) + "\r\nLPT1:\r\n1\r\nVORNA Cantella\r\nYMCKO\r\n" +
                               spool + "\r\n";
    if (!AppendRecord(queue, record)) ::_exit(2);
    if (i % 7 == 0) plat::PausePolling();  // let the spooler drain now and then
  }
  ::_exit(0);
}

TEST(QueueConcurrency, DriverAppendsWhileSpoolerTakesAndFinishes) {
  kt::TempHome home;
  kt::ScriptedMessageBoxes boxes;
  kt::RecordingWindows windows;
  const std::string queue = home.File("queue.txt");
  {
    SpoolerLock lock;
    g_bQueueMode = 1;
    CopyField(g_szQueueFile, queue.c_str());
  }

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) RunDriver(home.path(), queue);

  std::vector<std::string> taken;
  bool spoolIntact = true;
  bool driverDone = false;
  int status = 0;
  const DWORD start = plat::GetTickCount();
  JobRecord job;
  while (static_cast<int>(taken.size()) < kJobs &&
         plat::GetTickCount() - start < kDeadlineMs) {
    if (!TakeNextJob(job)) {
      // An empty queue after the driver's last append: whatever is missing
      // by now was lost.
      if (driverDone) break;
      driverDone = ::waitpid(child, &status, WNOHANG) == child;
      if (!driverDone) plat::PausePolling();
      continue;
    }
    taken.emplace_back(job.jobName);
    const int i = static_cast<int>(taken.size()) - 1;
    if (job.fileCount != 1 || kt::ReadFileBytes(job.spoolFiles[0]) != SpoolContent(i) ||
        job.totalSize != static_cast<std::int32_t>(SpoolContent(i).size()))
      spoolIntact = false;
    FinishJob(job);
  }

  if (!driverDone) {
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kJobs));
  for (int i = 0; i < kJobs; ++i) EXPECT_EQ(taken[i], JobName(i)) << "position " << i;
  EXPECT_TRUE(spoolIntact);
  JobRecord after;
  EXPECT_FALSE(TakeNextJob(after));  // nothing duplicated behind the last one
  EXPECT_EQ(kt::ReadFileBytes(queue), "");
  for (int i = 0; i < kJobs; ++i)
    EXPECT_FALSE(kt::FileExists(home.path() + "/spool-" + std::to_string(i) + ".prn")) << i;
  EXPECT_EQ(boxes.count(), 0u);
}

TEST(QueueConcurrency, PrintThreadFinishesWhileSchedulerTicks) {
  kt::TempHome home;
  kt::ScriptedMessageBoxes boxes;
  kt::RecordingWindows windows;
  const std::string queue = home.File("queue.txt");
  std::string image;
  for (int i = 0; i < 40; ++i) {
    const std::string spool = home.File("spool-" + std::to_string(i) + ".prn");
    kt::WriteFileBytes(spool, SpoolContent(i));
    if (i) image += "\r\n";
    image += JobName(i) + "\r\nLPT1:\r\n1\r\nTovrel\r\nBlack\r\n" + spool + "\r\n";
  }
  kt::WriteFileBytes(queue, image);
  {
    SpoolerLock lock;
    g_bQueueMode = 1;
    CopyField(g_szQueueFile, queue.c_str());
  }

  std::atomic<bool> done{false};
  std::vector<std::string> printed;
  std::thread printThread([&] {
    JobRecord job;
    while (TakeNextJob(job)) {
      printed.emplace_back(job.jobName);
      FinishJob(job);
    }
    EndJobCleanup();
    done = true;
  });

  int ticks = 0;
  while (!done) {
    {
      SpoolerLock lock;  // the scheduler holds the lock for its whole tick
      if (TakeNextJob(g_curJob) && g_strFileName != g_curJob.jobName) ADD_FAILURE() << "torn job";
      ++ticks;
    }
    CountQueuedJobs();
    plat::PausePolling();
  }
  printThread.join();

  ASSERT_EQ(printed.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(printed[i], JobName(i));
  EXPECT_EQ(kt::ReadFileBytes(queue), "");
  EXPECT_EQ(boxes.count(), 0u);
  EXPECT_GT(ticks, 0);
}

}  // namespace
