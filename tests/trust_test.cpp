// What the spooler refuses to trust and what it cleans up at start: files
// others can change (the queue file, registry.reg, win.ini), relative spool
// paths, records the parser had to cut, and the leftovers of killed
// spoolers. Test thread (the runner case starts a print thread).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

#include "app/shell/shell.h"
#include "app/state/spooler_state.h"
#include "platform/command_channel.h"
#include "platform/file_trust.h"
#include "platform/home.h"
#include "platform/leftovers.h"
#include "queue/queue_file.h"
#include "tests/runner_test_fixture.h"
#include "tests/support/test_support.h"
#include "tools/driver/driver_ops.h"

namespace {

void MakeDir(const std::string& path, mode_t mode) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

void WriteWithMode(const std::string& path, mode_t mode) {
  kt::WriteFileBytes(path, "");
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

TEST(FileTrust, OnlyFilesAndFoldersNobodyElseCanChangeAreTrusted) {
  kt::TempHome home;
  const std::string own = home.File("queue.txt");
  WriteWithMode(own, 0600);
  plat::TrustProblem problem;
  EXPECT_TRUE(plat::CheckFileTrust(own, &problem)) << problem.path << " " << problem.reason;
  // Not there yet: judged by its folders.
  EXPECT_TRUE(plat::CheckFileTrust(home.File("missing.txt"), &problem));

  const std::string open = home.File("open.txt");
  WriteWithMode(open, 0666);
  ASSERT_FALSE(plat::CheckFileTrust(open, &problem));
  EXPECT_EQ(problem.path, open);
  EXPECT_NE(problem.reason.find("0666"), std::string::npos) << problem.reason;
  EXPECT_EQ(problem.fix, "chmod go-w '" + open + "'");

  WriteWithMode(open, 0620);  // the group may write: others again
  EXPECT_FALSE(plat::CheckFileTrust(open, &problem));

  // A folder others may write without the sticky bit: they could replace
  // the file by one of their own.
  const std::string shared = home.File("shared");
  MakeDir(shared, 0777);
  WriteWithMode(shared + "/queue.txt", 0600);
  ASSERT_FALSE(plat::CheckFileTrust(shared + "/queue.txt", &problem));
  EXPECT_EQ(problem.path, shared);
  EXPECT_FALSE(plat::CheckFileTrust(shared + "/not-yet.txt", &problem));

  // With the sticky bit (like /tmp) they cannot touch what is ours.
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  EXPECT_TRUE(plat::CheckFileTrust(shared + "/queue.txt", &problem)) << problem.reason;
}

TEST(FileTrust, ALinkIsJudgedByWhereItLeads) {
  kt::TempHome home;
  const std::string open = home.File("open");
  MakeDir(open, 0777);
  WriteWithMode(open + "/queue.txt", 0600);
  const std::string link = home.File("queue.txt");
  ASSERT_EQ(::symlink((open + "/queue.txt").c_str(), link.c_str()), 0);
  plat::TrustProblem problem;
  ASSERT_FALSE(plat::CheckFileTrust(link, &problem));
  EXPECT_EQ(problem.path, open);

  ASSERT_EQ(::chmod(open.c_str(), 0700), 0);
  EXPECT_TRUE(plat::CheckFileTrust(link, &problem)) << problem.reason;
}

TEST(FileTrust, AFileOfAnotherUserIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  kt::TempHome home;
  const std::string theirs = home.File("queue.txt");
  WriteWithMode(theirs, 0600);
  ASSERT_EQ(::chown(theirs.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  plat::TrustProblem problem;
  ASSERT_FALSE(plat::CheckFileTrust(theirs, &problem));
  EXPECT_NE(problem.reason.find("another user"), std::string::npos);
}

TEST(FileTrust, SpoolFilesAreNamedByFullPathsOnly) {
  EXPECT_TRUE(plat::IsAbsolutePath("/var/spool/KLV~1"));
  EXPECT_FALSE(plat::IsAbsolutePath("KLV~1"));
  EXPECT_FALSE(plat::IsAbsolutePath("../etc/shadow"));
  EXPECT_FALSE(plat::IsAbsolutePath(""));
}

class RelativePathTest : public rt::RunnerFixture {};

TEST_F(RelativePathTest, ASpoolFileNamedWithoutItsFullPathIsNeitherOpenedNorDeleted) {
  kt::ScriptedMessageBoxes boxes;
  const std::string absolute = Spool("one.prn", "one");
  // A file of that name in the folder the spooler happens to run in.
  ASSERT_EQ(::chdir(home_.path().c_str()), 0);
  kt::WriteFileBytes(home_.File("two.prn"), "two");
  UseQueue(rt::Record("Relative", "LPT1:", "1", "VORNA Tamrel", {absolute, "two.prn"}));
  JobRecord job;
  RecordParseNotes notes;
  ASSERT_TRUE(TakeNextJob(job, &notes));
  EXPECT_EQ(job.fileCount, 2);
  EXPECT_STREQ(job.spoolFiles[0], absolute.c_str());
  EXPECT_STREQ(job.spoolFiles[1], "");  // refused: opens and deletes nothing
  EXPECT_EQ(notes.relativeSpoolPaths, 1);

  RunToEnd();
  EXPECT_EQ(printer_.output().find("two"), std::string::npos);
  EXPECT_TRUE(kt::FileExists(home_.File("two.prn")));
  ASSERT_GE(boxes.count(), 1u);
  EXPECT_NE(boxes.boxes()[0].text.find("without its full path"), std::string::npos);
  ASSERT_EQ(::chdir("/"), 0);
}

// The start refuses files others can change, and says which and how to mend.
class StartTrustTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.InstallKey(); }
  void TearDown() override {
    ShutdownPrintThread();
    ResetShell();
  }
  bool Start(const std::string& flag, const std::string& argument) {
    const char* argv[] = {"kelvane", flag.c_str(), argument.c_str()};
    return DocumentStart(3, argv);
  }
  kt::TempHome home_;
  kt::ScriptedMessageBoxes boxes_;
};

TEST_F(StartTrustTest, AQueueFileOthersCanWriteIsRefusedWithTheFix) {
  const std::string queue = home_.File("queue.txt");
  WriteWithMode(queue, 0666);
  EXPECT_FALSE(Start("-f", queue));
  EXPECT_FALSE(IsPrintRunAlive());
  {
    SpoolerLock lock;
    EXPECT_EQ(g_bQueueMode, 0);
  }
  ASSERT_EQ(boxes_.count(), 1u);
  const kt::RecordedBox box = boxes_.boxes()[0];
  EXPECT_EQ(box.caption, "Kelvane Error.");
  EXPECT_NE(box.text.find(queue), std::string::npos) << box.text;
  EXPECT_NE(box.text.find("chmod go-w"), std::string::npos) << box.text;

  ASSERT_EQ(::chmod(queue.c_str(), 0600), 0);
  EXPECT_TRUE(Start("-f", queue));
}

TEST_F(StartTrustTest, SettingsOthersCanWriteAreRefusedInEveryMode) {
  if (!kt::FileExists(plat::ProfilePath())) kt::WriteFileBytes(plat::ProfilePath(), "");
  ASSERT_EQ(::chmod(plat::ProfilePath().c_str(), 0666), 0);
  EXPECT_FALSE(Start("-i", "LPT1:"));
  const char* none[] = {"kelvane"};
  EXPECT_FALSE(DocumentStart(1, none));
  ASSERT_EQ(boxes_.count(), 2u);
  EXPECT_NE(boxes_.boxes()[0].text.find("win.ini"), std::string::npos);

  ASSERT_EQ(::chmod(plat::ProfilePath().c_str(), 0600), 0);
  ASSERT_EQ(::chmod(plat::RegistryPath().c_str(), 0646), 0);
  EXPECT_FALSE(DocumentStart(1, none));
  EXPECT_NE(boxes_.boxes().back().text.find("registry.reg"), std::string::npos);
}

// A killed spooler leaves its socket, lock files and the temporaries of an
// interrupted rewrite; the next start removes what is provably dead.
TEST(Leftovers, DeadSocketsUnheldLocksAndOldTemporariesGoTheRestStays) {
  kt::TempHome home;
  const std::string run = plat::RunDirectory();
  ASSERT_FALSE(run.empty());
  auto bindSocket = [](const std::string& path, bool listening) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (listening) {
      EXPECT_EQ(::listen(fd, 1), 0);
      return fd;
    }
    ::close(fd);  // the socket file stays, nobody listens
    return -1;
  };
  const std::string dead = run + "/spooler-111.sock";
  const std::string live = run + "/spooler-222.sock";
  const std::string own = run + "/spooler-333.sock";
  bindSocket(dead, false);
  const int liveFd = bindSocket(live, true);
  bindSocket(own, false);

  const std::string freeLock = run + "/port-00000000000000aa.lock";
  const std::string heldLock = run + "/port-00000000000000bb.lock";
  kt::WriteFileBytes(freeLock, "");
  kt::WriteFileBytes(heldLock, "");
  const int holder = ::open(heldLock.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

  ASSERT_TRUE(plat::MakeDirectories(home.File("spool")));
  const std::string queue = home.File("queue.txt");
  const std::vector<std::string> oldTemps = {queue + ".tmpAbC123", home.File("win.ini.tmpx1y2z3"),
                                             home.File("registry.reg.tmpQQQQQQ"),
                                             home.File("spool/~tmA1b2C3")};
  const std::vector<std::string> kept = {home.File("spool/KLV~abcdef"), queue,
                                         home.File("notes.tmpAbC123"), home.File("spool/~tmlonger1")};
  for (const auto& path : oldTemps) kt::WriteFileBytes(path, "half");
  for (const auto& path : kept) kt::WriteFileBytes(path, "data");
  const std::time_t runStart = std::time(nullptr) + 10;  // all of them are older
  const std::string young = queue + ".tmpYoung1";
  kt::WriteFileBytes(young, "a live writer's");
  timespec times[2] = {{runStart + 5, 0}, {runStart + 5, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, young.c_str(), times, 0), 0);

  // A driver's unfinished spool file: gone when its writer is, kept while
  // the writer runs.
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);
  const std::string deadWriter = home.File("spool/KLV~a1b2c3.part" + std::to_string(child));
  const std::string liveWriter = home.File("spool/KLV~d4e5f6.part" + std::to_string(::getpid()));
  kt::WriteFileBytes(deadWriter, "half a job");
  kt::WriteFileBytes(liveWriter, "being written");

  const plat::LeftoversRemoved removed = plat::RemoveLeftovers(queue, runStart, own);
  EXPECT_EQ(removed.sockets, 1);
  EXPECT_EQ(removed.portLocks, 1);
  EXPECT_EQ(removed.temporaries, 5);
  EXPECT_FALSE(kt::FileExists(deadWriter));
  EXPECT_TRUE(kt::FileExists(liveWriter));
  EXPECT_FALSE(kt::FileExists(dead));
  EXPECT_TRUE(kt::FileExists(live));
  EXPECT_TRUE(kt::FileExists(own));
  EXPECT_FALSE(kt::FileExists(freeLock));
  EXPECT_TRUE(kt::FileExists(heldLock));
  for (const auto& path : oldTemps) EXPECT_FALSE(kt::FileExists(path)) << path;
  for (const auto& path : kept) EXPECT_TRUE(kt::FileExists(path)) << path;
  EXPECT_TRUE(kt::FileExists(young));
  ::close(holder);
  ::close(liveFd);
}

TEST(DriverInstall, AHomeTooLongForSpoolPathsIsRefusedAtInstall) {
  kt::TempHome home;
  const std::string longHome = home.File(std::string(70, 'h'));
  ::setenv("KELVANE_HOME", longHome.c_str(), 1);
  const driver::Outcome outcome = driver::Install();
  ::setenv("KELVANE_HOME", home.path().c_str(), 1);
  ASSERT_FALSE(outcome.ok);
  EXPECT_NE(outcome.error.find("KELVANE_HOME is too long"), std::string::npos) << outcome.error;
  EXPECT_FALSE(kt::FileExists(longHome));
}

class RecordCutsTest : public rt::RunnerFixture {};

TEST_F(RecordCutsTest, ARecordOfMoreThanTwentySpoolFilesSaysWhatIsLeftOut) {
  kt::ScriptedMessageBoxes boxes;
  std::vector<std::string> files;
  std::string expected = rt::Prefix();
  for (int i = 0; i < 22; ++i) {
    const std::string bytes = rt::Bytes(10, static_cast<unsigned>(i + 1));
    files.push_back(Spool("f" + std::to_string(i) + ".prn", bytes));
    if (i < 20) expected += bytes;
  }
  UseQueue(rt::Record("Many files", "LPT1:", "1", "VORNA Tamrel", files));
  EXPECT_EQ(RunToEnd(), kExitNormal);
  EXPECT_EQ(printer_.output(), expected);
  ASSERT_EQ(boxes.count(), 1u);
  EXPECT_NE(boxes.boxes()[0].text.find("more than 20 spool files"), std::string::npos);
  EXPECT_NE(boxes.boxes()[0].text.find("Many files"), std::string::npos);
  // The two left out were neither printed nor deleted.
  EXPECT_TRUE(kt::FileExists(files[20]) && kt::FileExists(files[21]));
}

}  // namespace
